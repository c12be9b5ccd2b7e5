// filterutil ticket show [--json] FILE: what a print ticket or capabilities document holds,
// read through the library.
#include "commands.h"

#include "jsonwriter.h"
#include "outputfile.h"
#include "printschemafile.h"
#include "schemareader.h"
#include "text.h"
#include "toolerror.h"

#include <optional>
#include <sstream>
#include <string_view>
#include <unordered_set>
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
    std::optional<std::string> unreadable; // why the library refuses the option
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

std::vector<NamedValue> ScoredProperties(SchemaReader& reader, IXMLDOMNode* option) {
    std::vector<NamedValue> values;
    for (const auto& scored : FrameworkChildren(option, u"ScoredProperty")) {
        values.push_back({Utf8(NameAttribute(scored)).value_or(""), Utf8(reader.Value(scored))});
    }
    return values;
}

FeatureView ReadFeature(PrintSchemaFile& file, SchemaReader& reader, IXMLDOMNode* feature,
                        bool nested) {
    FeatureView view;
    view.name = Utf8(NameAttribute(feature));
    const auto options = FrameworkChildren(feature, u"Option");
    if (file.kind == PrintSchemaKind::Ticket) {
        const OptionReading selected =
            nested ? reader.SubFeatureOption(feature) : reader.FeatureOption(feature);
        if (selected.state == OptionReading::State::Read) {
            view.option.name = ToUtf8(selected.name);
        } else if (selected.state == OptionReading::State::Unreadable) {
            view.option.unreadable = selected.reason;
        }
        if (!options.empty()) {
            view.option.scoredProperties = ScoredProperties(reader, options.front());
        }
    } else {
        for (const auto& option : options) {
            view.options.push_back(
                {Utf8(NameAttribute(option)), std::nullopt, ScoredProperties(reader, option)});
        }
    }
    for (const auto& child : FrameworkChildren(feature, u"Feature")) {
        view.features.push_back(ReadFeature(file, reader, child, true));
    }
    return view;
}

DocumentView ReadDocument(PrintSchemaFile& file) {
    PrintSchemaXmlDocument& document = file.Document();
    SchemaReader reader(document);
    DocumentView view{file.kind,
                      Utf8(document.GetFrameworkNsPrefix()),
                      Utf8(document.GetKeywordsNsPrefix()),
                      Utf8(document.GetUserKeywordsNsPrefix()),
                      {},
                      {}};
    IXMLDOMNode* root = document.GetRootNode();
    for (const auto& feature : FrameworkChildren(root, u"Feature")) {
        view.features.push_back(ReadFeature(file, reader, feature, false));
    }
    if (file.kind == PrintSchemaKind::Ticket) {
        for (const auto& init : FrameworkChildren(root, u"ParameterInit")) {
            view.parameters.push_back(
                {Utf8(NameAttribute(init)).value_or(""), Utf8(reader.Value(init))});
        }
    } else {
        for (const auto& definition : FrameworkChildren(root, u"ParameterDef")) {
            NamedValue parameter{Utf8(NameAttribute(definition)).value_or(""), std::nullopt};
            for (const auto& property : FrameworkChildren(definition, u"Property")) {
                const auto name = NameAttribute(property);
                if (name && name->size() > 12 &&
                    name->compare(name->size() - 12, 12, u"DefaultValue") == 0) {
                    parameter.value = Utf8(reader.Value(property));
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
    std::unordered_set<std::string_view> written;
    for (const NamedValue& value : values) {
        if (!written.insert(value.name).second) {
            continue;
        }
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
        if (feature.option.unreadable) {
            json.Key("optionUnreadable").String(*feature.option.unreadable);
        }
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

void PrintJson(std::ostream& out, const DocumentView& view) {
    JsonWriter json(out);
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

// Text from the document, escaped so that it cannot act on the terminal.
std::string Shown(const OptionalText& text) {
    return text ? Printable(*text) : "(none)";
}

std::string ShownOption(const OptionView& option) {
    if (option.unreadable) {
        return "(unreadable: " + Printable(*option.unreadable) + ")";
    }
    return Shown(option.name);
}

void PrintScoredText(std::ostream& out, const std::vector<NamedValue>& scoredProperties,
                     const std::string& indent) {
    for (const NamedValue& scored : scoredProperties) {
        out << indent << Printable(scored.name) << " = " << Shown(scored.value) << '\n';
    }
}

void PrintFeatureText(std::ostream& out, const FeatureView& feature, PrintSchemaKind kind,
                      int depth) {
    const std::string indent(static_cast<size_t>(depth) * 2, ' ');
    out << indent << "feature " << Shown(feature.name);
    if (kind == PrintSchemaKind::Ticket) {
        out << ": " << ShownOption(feature.option) << '\n';
        PrintScoredText(out, feature.option.scoredProperties, indent + "    ");
    } else {
        out << " (" << feature.options.size() << " options)\n";
        for (const OptionView& option : feature.options) {
            out << indent << "    option " << Shown(option.name) << '\n';
            PrintScoredText(out, option.scoredProperties, indent + "      ");
        }
    }
    for (const FeatureView& child : feature.features) {
        PrintFeatureText(out, child, kind, depth + 1);
    }
}

void PrintText(std::ostream& out, const DocumentView& view) {
    const bool ticket = view.kind == PrintSchemaKind::Ticket;
    out << (ticket ? "PrintTicket" : "PrintCapabilities") << '\n'
        << "prefixes: framework " << Shown(view.frameworkPrefix) << ", keywords "
        << Shown(view.keywordsPrefix) << ", user keywords " << Shown(view.userKeywordsPrefix)
        << '\n';
    for (const FeatureView& feature : view.features) {
        PrintFeatureText(out, feature, view.kind, 0);
    }
    for (const NamedValue& parameter : view.parameters) {
        out << (ticket ? "parameter " : "parameter definition ") << Printable(parameter.name)
            << " = " << Shown(parameter.value) << '\n';
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
    std::ostringstream out;
    if (json) {
        PrintJson(out, view);
    } else {
        PrintText(out, view);
    }
    WriteStandardOutput(out.str());
    return kExitOk;
}

} // namespace filterutil
