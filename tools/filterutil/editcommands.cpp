// filterutil ticket set / param / prune: edits of a print ticket made through the library.
// The result goes to -o OUT, or to standard output; the input file is never changed unless
// -o names it.
#include "commands.h"

#include "outputfile.h"
#include "printschemafile.h"
#include "schemareader.h"
#include "text.h"
#include "ticketedits.h"
#include "toolerror.h"
#include "xmlfile.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>

namespace filterutil {
namespace {

// The positional arguments and the -o target of an edit command.
struct EditArguments {
    std::vector<std::string> positional;
    std::optional<std::string> output;
    bool integer = false;
};

EditArguments ParseEditArguments(const std::string& command, const Arguments& arguments,
                                 bool allowInteger) {
    EditArguments parsed;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "-o" || argument == "--output") {
            if (i + 1 >= arguments.size() || arguments[i + 1].empty()) {
                throw ToolError(command + ": -o needs a file name");
            }
            parsed.output = arguments[++i];
        } else if (allowInteger && argument == "--integer") {
            parsed.integer = true;
        } else if (argument.size() > 1 && argument[0] == '-' &&
                   !(argument[1] >= '0' && argument[1] <= '9')) {
            throw ToolError(command + ": unknown option " + argument);
        } else {
            parsed.positional.push_back(argument);
        }
    }
    return parsed;
}

void WriteResult(PrintSchemaFile& file, const EditArguments& arguments) {
    std::string bytes = SerialiseDocument(file.dom);
    if (arguments.output) {
        WriteOutputFile(*arguments.output, bytes);
        return;
    }
    if (!bytes.empty() && bytes.back() != '\n') {
        bytes += '\n';
    }
    WriteStandardOutput(bytes);
}

// The prefix that names the driver's private keywords namespace on the command line, whatever
// the ticket declares.
constexpr std::u16string_view kPrivatePrefix = u"pk:";

// A name as the command line gives it, split at its colon: "psk:PageMediaSize" gives the
// prefix "psk:" (with its colon, as the library holds prefixes) and "PageMediaSize".
struct QualifiedName {
    std::u16string prefix;
    std::u16string local;

    bool IsPrivate() const { return prefix == kPrivatePrefix; }
    std::string Shown() const { return Printable(ToUtf8(prefix + local)); }
};

// Checks the name's form before any document is read: a prefix and a local name, each an XML
// name without a colon, so that it can stand in a name attribute and in the library's queries.
QualifiedName ParseName(const std::string& command, const std::string& text) {
    const auto wide = FromUtf8Strict(text);
    if (!wide) {
        throw ToolError(command + ": \"" + Printable(text) + "\" is not UTF-8 text");
    }
    const size_t colon = wide->find(u':');
    if (colon == std::u16string::npos) {
        throw ToolError(command + ": \"" + Printable(text) +
                        "\" is not a prefixed name such as psk:PageMediaSize");
    }
    QualifiedName name{wide->substr(0, colon + 1), wide->substr(colon + 1)};
    if (!IsNcName(std::u16string_view(name.prefix).substr(0, colon)) || !IsNcName(name.local)) {
        throw ToolError(command + ": \"" + Printable(text) +
                        "\" is not a name XML can carry (PREFIX:NAME, each an XML name "
                        "without a colon)");
    }
    return name;
}

bool RootDeclaresPrefix(PrintSchemaXmlDocument& document, const std::u16string& prefix) {
    CComPtr<IXMLDOMNamedNodeMap> attributes;
    if (FAILED(document.GetRootNode()->get_attributes(&attributes)) || !attributes) {
        return false;
    }
    const std::u16string declaration = u"xmlns:" + prefix.substr(0, prefix.size() - 1);
    CComBSTR name(declaration.c_str());
    CComPtr<IXMLDOMNode> found;
    return attributes->getNamedItem(name, &found) == S_OK && found;
}

// Makes the names' prefixes usable in the ticket: pk: is bound to the driver's namespace
// (declared when the ticket does not declare it); any other prefix must be declared on the
// root.
void PreparePrefixes(PrintSchemaFile& file, const std::string& command,
                     const std::vector<QualifiedName>& names) {
    for (const QualifiedName& name : names) {
        if (name.IsPrivate()) {
            try {
                BindPrivateNamespace(file);
            } catch (const ToolError& e) {
                throw ToolError(command + ": " + e.what(), e.Status());
            }
        }
    }
    for (const QualifiedName& name : names) {
        if (!name.IsPrivate() && !RootDeclaresPrefix(*file.ticket, name.prefix)) {
            throw ToolError(command + ": the document does not declare the prefix \"" +
                            Printable(ToUtf8(name.prefix.substr(0, name.prefix.size() - 1))) +
                            "\"");
        }
    }
}

bool SamePrefix(const std::u16string& prefix, const CComBSTR& held) {
    return held.m_str && prefix == std::u16string_view(held.m_str, held.Length());
}

// CreateFeatureOptionPair names features and options in the Print Schema keywords namespace
// or in the driver's private one; true for keywords, false for private.
bool IsKeywordPrefix(PrintSchemaXmlDocument& document, const std::string& command,
                     const QualifiedName& name) {
    if (name.IsPrivate()) {
        return false;
    }
    if (SamePrefix(name.prefix, document.GetKeywordsNsPrefix())) {
        return true;
    }
    throw ToolError(command +
                    ": only names in the Print Schema keywords namespace or the "
                    "driver's private keywords namespace (pk:) can be set, not " +
                    name.Shown());
}

std::string RequirePositional(const EditArguments& arguments, const std::string& command,
                              size_t count, const char* usage) {
    if (arguments.positional.size() != count) {
        throw ToolError(command + ": usage: filterutil " + usage);
    }
    return arguments.positional[0];
}

} // namespace

int TicketSet(const Arguments& arguments) {
    const std::string command = "ticket set";
    const EditArguments parsed = ParseEditArguments(command, arguments, false);
    const std::string path =
        RequirePositional(parsed, command, 3, "ticket set FILE FEATURE OPTION [-o OUT]");
    const QualifiedName feature = ParseName(command, parsed.positional[1]);
    const QualifiedName option = ParseName(command, parsed.positional[2]);
    PrintSchemaFile file = LoadPrintTicketFile(path);
    PreparePrefixes(file, command, {feature, option});
    PrintTicketXmlDocument& ticket = *file.ticket;
    const bool featureKeyword = IsKeywordPrefix(ticket, command, feature);
    const bool optionKeyword = IsKeywordPrefix(ticket, command, option);

    CComBSTR featurePrefix(feature.prefix.c_str());
    CComBSTR featureName(feature.local.c_str());
    CComBSTR optionName(option.local.c_str());
    try {
        SelectFeatureOption(ticket, featurePrefix, featureKeyword, featureName, optionKeyword,
                            optionName);
    } catch (const ToolError& e) {
        throw ToolError(command + ": " + e.what(), e.Status());
    }
    WriteResult(file, parsed);
    return kExitOk;
}

// The value of a string ParameterInit, refused when XML cannot carry it.
std::u16string ParameterText(const std::string& command, const std::string& text) {
    const auto wide = FromUtf8Strict(text);
    if (!wide) {
        throw ToolError(command + ": the value is not UTF-8 text");
    }
    if (wide->empty()) {
        throw ToolError(command + ": the value is empty; a ParameterInit needs one");
    }
    if (const auto character = CharacterXmlCannotCarry(*wide)) {
        throw ToolError(command + ": the value holds " + *character +
                        ", a character XML cannot carry");
    }
    return *wide;
}

int TicketParam(const Arguments& arguments) {
    const std::string command = "ticket param";
    const EditArguments parsed = ParseEditArguments(command, arguments, true);
    const std::string path =
        RequirePositional(parsed, command, 3, "ticket param FILE NAME VALUE [--integer] [-o OUT]");
    const QualifiedName name = ParseName(command, parsed.positional[1]);
    const std::string& valueText = parsed.positional[2];
    std::optional<int> integer;
    std::u16string text;
    if (parsed.integer) {
        errno = 0;
        char* end = nullptr;
        const long long value = std::strtoll(valueText.c_str(), &end, 10);
        if (valueText.empty() || *end != '\0' || errno == ERANGE || value < INT_MIN ||
            value > INT_MAX) {
            throw ToolError(command + ": \"" + Printable(valueText) + "\" is not a 32-bit integer");
        }
        integer = static_cast<int>(value);
    } else {
        text = ParameterText(command, valueText);
    }
    PrintSchemaFile file = LoadPrintTicketFile(path);
    PreparePrefixes(file, command, {name});
    PrintTicketXmlDocument& ticket = *file.ticket;

    CComBSTR prefix(name.prefix.c_str());
    CComBSTR local(name.local.c_str());
    CComBSTR value(text.c_str());
    SetParameterInit(ticket, prefix, local, integer, value);
    WriteResult(file, parsed);
    return kExitOk;
}

int TicketPrune(const Arguments& arguments) {
    const std::string command = "ticket prune";
    const EditArguments parsed = ParseEditArguments(command, arguments, false);
    const std::string path = RequirePositional(parsed, command, 1, "ticket prune FILE [-o OUT]");
    PrintSchemaFile file = LoadPrintTicketFile(path);
    if (FAILED(file.ticket->DeleteOrphanedParameterInits())) {
        throw ToolError(command + ": the library could not remove the initialisers", kExitFailure);
    }
    WriteResult(file, parsed);
    return kExitOk;
}

} // namespace filterutil
