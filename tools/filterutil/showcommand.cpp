// filterutil ticket show [--json] FILE: what a print ticket or capabilities document holds,
// read through the library.
#include "commands.h"

#include "domwalk.h"
#include "jsonwriter.h"
#include "printschemafile.h"
#include "text.h"
#include "toolerror.h"

#include <algorithm>
#include <iostream>
#include <optional>
#include <utility>

namespace filterutil {
namespace {

using OptionalText = std::optional<std::string>;

struct NamedValue {
    std::string name;
    OptionalText value;
};

struct OptionView {
    OptionalText name;
    std::vector<NamedValue> scoredProperties;
};

struct FeatureView {
    OptionalText name;
    OptionView option;               // print ticket: the selected option
    std::vector<OptionView> options; // print capabilities: every option
    std::vector<FeatureView> features;
};

struct DocumentView {
    PrintSchemaKind kind;
    OptionalText frameworkPrefix;
    OptionalText keywordsPrefix;
    OptionalText userKeywordsPrefix;
    std::vector<FeatureView> features;
    std::vector<NamedValue> parameters; // initialisers of a ticket, definitions of capabilities
};

OptionalText Utf8(const std::optional<std::u16string>& text) {
    if (!text) {
        return std::nullopt;
    }
    return ToUtf8(*text);
}

OptionalText Utf8(const CComBSTR& text) {
    if (!text.m_str) {
        return std::nullopt;
    }
    return ToUtf8(std::u16string_view(text.m_str, text.Length()));
}

// The value of the element at the node, as the library's value query reads it (the text of
// its Value child, or of the ParameterInit its ParameterRef names).
OptionalText LibraryValue(PrintSchemaXmlDocument& document, IXMLDOMNode* element) {
    CComBSTR query(PositionalPath(element).c_str());
    CComBSTR value;
    if (document.QueryNodeValue(query, &value) != S_OK) {
        return std::nullopt;
    }
    return Utf8(value);
}

OptionView ReadOption(PrintSchemaFile& file, IXMLDOMNode* option) {
    OptionView view{Utf8(NameAttribute(option)), {}};
    for (const auto& scored : FrameworkChildren(option, u"ScoredProperty")) {
        view.scoredProperties.push_back(
            {Utf8(NameAttribute(scored)).value_or(""), LibraryValue(file.Document(), scored)});
    }
    return view;
}

FeatureView ReadFeature(PrintSchemaFile& file, IXMLDOMNode* feature) {
    FeatureView view;
    view.name = Utf8(NameAttribute(feature));
    const auto options = FrameworkChildren(feature, u"Option");
    if (file.kind == PrintSchemaKind::Ticket) {
        if (!options.empty()) {
            view.option = ReadOption(file, options.front());
        }
    } else {
        for (const auto& option : options) {
            view.options.push_back(ReadOption(file, option));
        }
    }
    for (const auto& child : FrameworkChildren(feature, u"Feature")) {
        view.features.push_back(ReadFeature(file, child));
    }
    return view;
}

DocumentView ReadDocument(PrintSchemaFile& file) {
    PrintSchemaXmlDocument& document = file.Document();
    DocumentView view{file.kind,
                      Utf8(document.GetFrameworkNsPrefix()),
                      Utf8(document.GetKeywordsNsPrefix()),
                      Utf8(document.GetUserKeywordsNsPrefix()),
                      {},
                      {}};
    IXMLDOMNode* root = document.GetRootNode();
    for (const auto& feature : FrameworkChildren(root, u"Feature")) {
        view.features.push_back(ReadFeature(file, feature));
    }
    if (file.kind == PrintSchemaKind::Ticket) {
        for (const auto& init : FrameworkChildren(root, u"ParameterInit")) {
            view.parameters.push_back(
                {Utf8(NameAttribute(init)).value_or(""), LibraryValue(document, init)});
        }
    } else {
        for (const auto& definition : FrameworkChildren(root, u"ParameterDef")) {
            NamedValue parameter{Utf8(NameAttribute(definition)).value_or(""), std::nullopt};
            for (const auto& property : FrameworkChildren(definition, u"Property")) {
                const auto name = NameAttribute(property);
                if (name && name->size() > 12 &&
                    name->compare(name->size() - 12, 12, u"DefaultValue") == 0) {
                    parameter.value = LibraryValue(document, property);
                    break;
                }
            }
            view.parameters.push_back(std::move(parameter));
        }
    }
    return view;
}

void WriteText(JsonWriter& json, const OptionalText& text) {
    if (text) {
        json.String(*text);
    } else {
        json.Null();
    }
}

// JSON objects keep the first of repeated names, as the library's look-ups find the first.
void WriteNamedValues(JsonWriter& json, const std::vector<NamedValue>& values) {
    json.BeginObject();
    std::vector<std::string> written;
    for (const NamedValue& value : values) {
        if (std::find(written.begin(), written.end(), value.name) != written.end()) {
            continue;
        }
        written.push_back(value.name);
        json.Key(value.name);
        WriteText(json, value.value);
    }
    json.EndObject();
}

void WriteFeatureJson(JsonWriter& json, const FeatureView& feature, PrintSchemaKind kind) {
    json.BeginObject();
    json.Key("name");
    WriteText(json, feature.name);
    if (kind == PrintSchemaKind::Ticket) {
        json.Key("option");
        WriteText(json, feature.option.name);
        json.Key("scoredProperties");
        WriteNamedValues(json, feature.option.scoredProperties);
    } else {
        json.Key("options").BeginArray();
        for (const OptionView& option : feature.options) {
            json.BeginObject().Key("name");
            WriteText(json, option.name);
            json.Key("scoredProperties");
            WriteNamedValues(json, option.scoredProperties);
            json.EndObject();
        }
        json.EndArray();
    }
    json.Key("features").BeginArray();
    for (const FeatureView& child : feature.features) {
        WriteFeatureJson(json, child, kind);
    }
    json.EndArray();
    json.EndObject();
}

void PrintJson(const DocumentView& view) {
    JsonWriter json(std::cout);
    const bool ticket = view.kind == PrintSchemaKind::Ticket;
    json.BeginObject();
    json.Key("root").String(ticket ? "PrintTicket" : "PrintCapabilities");
    json.Key("prefixes").BeginObject();
    json.Key("framework");
    WriteText(json, view.frameworkPrefix);
    json.Key("keywords");
    WriteText(json, view.keywordsPrefix);
    json.Key("userKeywords");
    WriteText(json, view.userKeywordsPrefix);
    json.EndObject();
    json.Key("features").BeginArray();
    for (const FeatureView& feature : view.features) {
        WriteFeatureJson(json, feature, view.kind);
    }
    json.EndArray();
    json.Key(ticket ? "parameterInits" : "parameterDefs");
    WriteNamedValues(json, view.parameters);
    json.EndObject();
}

std::string Shown(const OptionalText& text) {
    return text ? *text : "(none)";
}

void PrintScoredText(const std::vector<NamedValue>& scoredProperties, const std::string& indent) {
    for (const NamedValue& scored : scoredProperties) {
        std::cout << indent << scored.name << " = " << Shown(scored.value) << '\n';
    }
}

void PrintFeatureText(const FeatureView& feature, PrintSchemaKind kind, int depth) {
    const std::string indent(static_cast<size_t>(depth) * 2, ' ');
    std::cout << indent << "feature " << Shown(feature.name);
    if (kind == PrintSchemaKind::Ticket) {
        std::cout << ": " << Shown(feature.option.name) << '\n';
        PrintScoredText(feature.option.scoredProperties, indent + "    ");
    } else {
        std::cout << " (" << feature.options.size() << " options)\n";
        for (const OptionView& option : feature.options) {
            std::cout << indent << "    option " << Shown(option.name) << '\n';
            PrintScoredText(option.scoredProperties, indent + "      ");
        }
    }
    for (const FeatureView& child : feature.features) {
        PrintFeatureText(child, kind, depth + 1);
    }
}

void PrintText(const DocumentView& view) {
    const bool ticket = view.kind == PrintSchemaKind::Ticket;
    std::cout << (ticket ? "PrintTicket" : "PrintCapabilities") << '\n'
              << "prefixes: framework " << Shown(view.frameworkPrefix) << ", keywords "
              << Shown(view.keywordsPrefix) << ", user keywords " << Shown(view.userKeywordsPrefix)
              << '\n';
    for (const FeatureView& feature : view.features) {
        PrintFeatureText(feature, view.kind, 0);
    }
    for (const NamedValue& parameter : view.parameters) {
        std::cout << (ticket ? "parameter " : "parameter definition ") << parameter.name << " = "
                  << Shown(parameter.value) << '\n';
    }
}

} // namespace

int TicketShow(const Arguments& arguments) {
    bool json = false;
    std::string path;
    for (const std::string& argument : arguments) {
        if (argument == "--json") {
            json = true;
        } else if (!argument.empty() && argument[0] == '-' && argument != "-") {
            throw ToolError("ticket show: unknown option " + argument);
        } else if (path.empty()) {
            path = argument;
        } else {
            throw ToolError("ticket show: one FILE only");
        }
    }
    if (path.empty()) {
        throw ToolError("ticket show: FILE is missing");
    }
    PrintSchemaFile file = LoadPrintSchemaFile(path);
    const DocumentView view = ReadDocument(file);
    if (json) {
        PrintJson(view);
    } else {
        PrintText(view);
    }
    return kExitOk;
}

} // namespace filterutil
