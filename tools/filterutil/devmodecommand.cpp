// filterutil ticket devmode: the driver's devmode carried in a ticket's page devmode
// snapshot, decoded, and its data-model settings changed through the library.
//
//   ticket devmode [--json] FILE
//   ticket devmode [--new] --set FEATURE=VALUE... FILE -o OUT
//   ticket devmode --new FILE -o OUT
#include "commands.h"

#include "jsonwriter.h"
#include "outputfile.h"
#include "printschemafile.h"
#include "text.h"
#include "toolerror.h"
#include "xmlfile.h"

#include <filterutilities/printticketattributebytesreaderwriter.h>

#include <kldutil/attributebytesindexedlist.h>
#include <kldutil/attributebytesrawlist.h>
#include <kldutil/kdevmode.h>
#include <kldutil/keldanexception.h>
#include <kldutil/persistentattributes.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <sstream>

namespace filterutil {
namespace {

constexpr HRESULT kNotBase64 = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

struct Setting {
    WORD feature;
    int32_t value;
};

struct DevmodeArguments {
    std::string path;
    std::optional<std::string> output;
    std::map<WORD, int32_t> settings; // a feature named twice takes the last value
    bool json = false;
    bool fresh = false;
};

Setting ParseSetting(const std::string& text) {
    const size_t equals = text.find('=');
    const auto number = [&](const std::string& part, long long low, long long high) {
        errno = 0;
        char* end = nullptr;
        const long long value = std::strtoll(part.c_str(), &end, 10);
        if (part.empty() || *end != '\0' || errno == ERANGE || value < low || value > high) {
            throw ToolError("ticket devmode: \"" + text +
                            "\" is not FEATURE=VALUE with a feature id 0 to 65535 and a 32-bit "
                            "value");
        }
        return value;
    };
    if (equals == std::string::npos) {
        number("", 0, 0); // reports the malformed setting
    }
    return {static_cast<WORD>(number(text.substr(0, equals), 0, 65535)),
            static_cast<int32_t>(number(text.substr(equals + 1), INT32_MIN, INT32_MAX))};
}

DevmodeArguments ParseArguments(const Arguments& arguments) {
    DevmodeArguments parsed;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--json") {
            parsed.json = true;
        } else if (argument == "--new") {
            parsed.fresh = true;
        } else if (argument == "--set" || argument == "-o" || argument == "--output") {
            if (i + 1 >= arguments.size()) {
                throw ToolError("ticket devmode: " + argument + " needs a value");
            }
            if (argument == "--set") {
                // Further FEATURE=VALUE words belong to the same --set.
                do {
                    const Setting setting = ParseSetting(arguments[++i]);
                    parsed.settings[setting.feature] = setting.value;
                } while (i + 1 < arguments.size() &&
                         arguments[i + 1].find('=') != std::string::npos &&
                         arguments[i + 1][0] != '-');
            } else {
                if (arguments[i + 1].empty()) {
                    throw ToolError("ticket devmode: -o needs a file name");
                }
                parsed.output = arguments[++i];
            }
        } else if (argument.size() > 1 && argument[0] == '-') {
            throw ToolError("ticket devmode: unknown option " + argument);
        } else if (parsed.path.empty()) {
            parsed.path = argument;
        } else {
            throw ToolError("ticket devmode: one FILE only");
        }
    }
    if (parsed.path.empty()) {
        throw ToolError("ticket devmode: FILE is missing");
    }
    const bool edits = parsed.fresh || !parsed.settings.empty();
    if (edits && !parsed.output) {
        throw ToolError("ticket devmode: --new and --set write the ticket to -o OUT");
    }
    if (!edits && parsed.output) {
        throw ToolError("ticket devmode: -o goes with --new or --set");
    }
    return parsed;
}

// --- The private block, as the library finds it ---

struct BlockReport {
    bool present = false; // a block of the driver's size and signature
    DWORD version = 0;
    bool checksumOk = false;
    std::unique_ptr<PersistentAttributes> attributes; // null when the state cannot be read
};

BlockReport InspectBlock(ByteBuffer& devmode) {
    BlockReport report;
    const tagOEMDEV* block = PrintTicketAttributeBytesReaderWriter::GetOemDevmodeFromDevmode(
        reinterpret_cast<DEVMODEW*>(devmode.getLpbyte()), devmode.getDword());
    if (!block) {
        return report;
    }
    report.present = true;
    report.version = block->dwVersion;
    report.checksumOk = block->dwChecksummedSize == KDevmode::kChecksummedSize &&
                        block->dwChecksum == KDevmode::ComputeChecksum(*block);
    if (report.checksumOk) {
        report.attributes = PrintTicketAttributeBytesReaderWriter::ReadPersistedAttributes(*block);
    }
    return report;
}

// --- Printing ---

void WriteList(JsonWriter& json, const AttributeBytesIndexedList& list) {
    json.BeginObject();
    for (const AttributeBytesIndexedList::Attribute& attribute : list) {
        json.Key(std::to_string(attribute.GetFeatureId().GetId()));
        switch (attribute.GetKind()) {
        case AttributeBytesKind::Boolean:
            json.Bool(attribute.GetValue() != 0);
            break;
        case AttributeBytesKind::Collection:
            WriteList(json, attribute.GetCollection());
            break;
        default:
            json.Number(static_cast<int64_t>(attribute.GetValue()));
        }
    }
    json.EndObject();
}

void PrintList(std::ostream& out, const AttributeBytesIndexedList& list,
               const std::string& indent) {
    for (const AttributeBytesIndexedList::Attribute& attribute : list) {
        out << indent << "feature " << attribute.GetFeatureId().GetId() << " = ";
        switch (attribute.GetKind()) {
        case AttributeBytesKind::Boolean:
            out << (attribute.GetValue() ? "true" : "false") << " (boolean)\n";
            break;
        case AttributeBytesKind::Collection:
            out << "(collection)\n";
            PrintList(out, attribute.GetCollection(), indent + "  ");
            break;
        case AttributeBytesKind::Integer:
            out << attribute.GetValue() << " (integer)\n";
            break;
        default:
            out << attribute.GetValue() << " (option)\n";
        }
    }
}

std::string Narrow(const WCHAR* text, size_t capacity) {
    size_t length = 0;
    while (length < capacity && text[length]) {
        ++length;
    }
    return ToUtf8(std::u16string_view(text, length));
}

struct PublicField {
    const char* name;
    size_t end; // the field lies inside the devmode when dmSize reaches this offset
    int64_t value;
};

std::vector<PublicField> PublicFields(const DEVMODEW& d) {
    return {
        {"dmSpecVersion", offsetof(DEVMODEW, dmSpecVersion) + 2, d.dmSpecVersion},
        {"dmDriverVersion", offsetof(DEVMODEW, dmDriverVersion) + 2, d.dmDriverVersion},
        {"dmSize", offsetof(DEVMODEW, dmSize) + 2, d.dmSize},
        {"dmDriverExtra", offsetof(DEVMODEW, dmDriverExtra) + 2, d.dmDriverExtra},
        {"dmFields", offsetof(DEVMODEW, dmFields) + 4, d.dmFields},
        {"dmOrientation", offsetof(DEVMODEW, dmOrientation) + 2, d.dmOrientation},
        {"dmPaperSize", offsetof(DEVMODEW, dmPaperSize) + 2, d.dmPaperSize},
        {"dmPaperLength", offsetof(DEVMODEW, dmPaperLength) + 2, d.dmPaperLength},
        {"dmPaperWidth", offsetof(DEVMODEW, dmPaperWidth) + 2, d.dmPaperWidth},
        {"dmScale", offsetof(DEVMODEW, dmScale) + 2, d.dmScale},
        {"dmCopies", offsetof(DEVMODEW, dmCopies) + 2, d.dmCopies},
        {"dmDefaultSource", offsetof(DEVMODEW, dmDefaultSource) + 2, d.dmDefaultSource},
        {"dmPrintQuality", offsetof(DEVMODEW, dmPrintQuality) + 2, d.dmPrintQuality},
        {"dmColor", offsetof(DEVMODEW, dmColor) + 2, d.dmColor},
        {"dmDuplex", offsetof(DEVMODEW, dmDuplex) + 2, d.dmDuplex},
        {"dmYResolution", offsetof(DEVMODEW, dmYResolution) + 2, d.dmYResolution},
        {"dmTTOption", offsetof(DEVMODEW, dmTTOption) + 2, d.dmTTOption},
        {"dmCollate", offsetof(DEVMODEW, dmCollate) + 2, d.dmCollate},
        {"dmLogPixels", offsetof(DEVMODEW, dmLogPixels) + 2, d.dmLogPixels},
        {"dmNup", offsetof(DEVMODEW, dmNup) + 4, d.dmNup},
        {"dmMediaType", offsetof(DEVMODEW, dmMediaType) + 4, d.dmMediaType},
        {"dmDitherType", offsetof(DEVMODEW, dmDitherType) + 4, d.dmDitherType},
    };
}

struct DevmodeReport {
    DEVMODEW publicPart{};
    size_t publicBytes = 0; // how much of the public record the devmode holds
    BlockReport block;
};

// The caller has made sure the devmode holds its two size fields.
DevmodeReport Inspect(ByteBuffer& devmode) {
    DevmodeReport report;
    WORD dmSize = 0;
    std::memcpy(&dmSize, devmode.getLpbyte() + offsetof(DEVMODEW, dmSize), sizeof dmSize);
    report.publicBytes = std::min<size_t>({dmSize, sizeof(DEVMODEW), devmode.getDword()});
    std::memcpy(&report.publicPart, devmode.getLpbyte(), report.publicBytes);
    report.block = InspectBlock(devmode);
    return report;
}

void PrintJson(std::ostream& out, const DevmodeReport& report) {
    JsonWriter json(out);
    json.BeginObject().Key("devmode").BeginObject();
    const DEVMODEW& d = report.publicPart;
    if (report.publicBytes >= offsetof(DEVMODEW, dmSpecVersion)) {
        json.Key("dmDeviceName").String(Narrow(d.dmDeviceName, CCHDEVICENAME));
    }
    for (const PublicField& field : PublicFields(d)) {
        if (field.end <= report.publicBytes) {
            json.Key(field.name).Number(field.value);
        }
    }
    if (offsetof(DEVMODEW, dmFormName) + sizeof d.dmFormName <= report.publicBytes) {
        json.Key("dmFormName").String(Narrow(d.dmFormName, CCHFORMNAME));
    }
    json.EndObject();
    json.Key("privateBlock").BeginObject();
    json.Key("present").Bool(report.block.present);
    json.Key("signature").Bool(report.block.present); // the block is found by its signature
    json.Key("version").Number(static_cast<int64_t>(report.block.version));
    json.Key("checksumOk").Bool(report.block.checksumOk);
    json.EndObject();
    json.Key("attributes").BeginObject();
    if (report.block.attributes) {
        for (const auto& entry : report.block.attributes->GetAttributeBytesNameSpaces()) {
            AttributeBytesIndexedList list;
            list.ImportFromRawList(entry.second);
            json.Key(std::to_string(entry.first.GetId()));
            WriteList(json, list);
        }
    }
    json.EndObject();
    json.EndObject();
}

void PrintText(std::ostream& out, const DevmodeReport& report) {
    const DEVMODEW& d = report.publicPart;
    out << "devmode \"" << Printable(Narrow(d.dmDeviceName, CCHDEVICENAME)) << "\"\n";
    for (const PublicField& field : PublicFields(d)) {
        if (field.end <= report.publicBytes) {
            out << "  " << field.name << " = " << field.value << '\n';
        }
    }
    if (offsetof(DEVMODEW, dmFormName) + sizeof d.dmFormName <= report.publicBytes) {
        out << "  dmFormName = \"" << Printable(Narrow(d.dmFormName, CCHFORMNAME)) << "\"\n";
    }
    const BlockReport& block = report.block;
    out << "private block: "
        << (!block.present ? "absent"
                           : "version " + std::to_string(block.version) + ", checksum " +
                                 (block.checksumOk ? "ok" : "wrong"))
        << '\n';
    if (block.present && block.checksumOk && !block.attributes) {
        out << "settings: cannot be read\n";
    }
    if (block.attributes) {
        for (const auto& entry : block.attributes->GetAttributeBytesNameSpaces()) {
            AttributeBytesIndexedList list;
            list.ImportFromRawList(entry.second);
            out << "namespace " << entry.first.GetId() << '\n';
            PrintList(out, list, "  ");
        }
    }
}

// The ticket's devmode, refused when it is not one of this driver's.
ByteBuffer DriverDevmode(PrintTicketXmlDocument& ticket, const std::string& path) {
    ByteBuffer devmode;
    HRESULT hr = S_OK;
    try {
        hr = ticket.GetDevmodeFromPrintTicket(devmode);
    } catch (const KeldanComException& e) {
        hr = e.GetHresult();
    }
    if (hr == S_FALSE) {
        throw ToolError(path + ": the ticket carries no page devmode snapshot");
    }
    if (hr == kNotBase64) {
        throw ToolError(path + ": the page devmode snapshot is not Base64");
    }
    if (hr == E_FAIL) {
        throw ToolError(path + ": the page devmode snapshot is not a devmode of this driver");
    }
    if (FAILED(hr)) {
        throw ToolError(path + ": the snapshot could not be read: " + DescribeHresult(hr),
                        kExitFailure);
    }
    return devmode;
}

int Show(PrintSchemaFile& file, const DevmodeArguments& arguments) {
    PrintTicketXmlDocument& ticket = *file.ticket;
    ByteBuffer snapshot;
    try {
        ticket.GetPageDevmodeSnapshotFromPrintTicket(snapshot);
    } catch (const KeldanComException& e) {
        if (e.GetHresult() == kNotBase64) {
            throw ToolError(arguments.path + ": the page devmode snapshot is not Base64");
        }
        throw;
    }
    if (snapshot.getDword() == 0) {
        throw ToolError(arguments.path + ": the ticket carries no page devmode snapshot");
    }
    if (snapshot.getDword() < offsetof(DEVMODEW, dmDriverExtra) + sizeof(WORD)) {
        throw ToolError(arguments.path + ": the page devmode snapshot is not a devmode (" +
                        std::to_string(snapshot.getDword()) + " bytes)");
    }
    const DevmodeReport report = Inspect(snapshot);
    std::ostringstream out;
    if (arguments.json) {
        PrintJson(out, report);
    } else {
        PrintText(out, report);
    }
    WriteStandardOutput(out.str());
    // The library decides whether this is the driver's devmode; the report above says why not.
    DriverDevmode(ticket, arguments.path);
    return kExitOk;
}

void Apply(AttributeBytesIndexedList& list, const std::map<WORD, int32_t>& settings) {
    for (const auto& [id, value] : settings) {
        const AttributeBytesFeatureId feature(id);
        const AttributeBytesIndexedList::Attribute* existing = list.Find(feature);
        const AttributeBytesKind kind = existing ? existing->GetKind() : AttributeBytesKind::Option;
        switch (kind) {
        case AttributeBytesKind::Integer:
            list.SetIntegerValue(feature, value);
            break;
        case AttributeBytesKind::Boolean:
            if (value != 0 && value != 1) {
                throw ToolError("ticket devmode: feature " + std::to_string(id) +
                                " is a boolean: give 0 or 1");
            }
            list.SetBooleanValue(feature, value != 0);
            break;
        case AttributeBytesKind::Collection:
            throw ToolError("ticket devmode: feature " + std::to_string(id) +
                            " is a collection and cannot be set to a number");
        default:
            list.SetOptionValue(feature, value);
        }
    }
}

int Edit(PrintSchemaFile& file, const DevmodeArguments& arguments) {
    PrintTicketXmlDocument& ticket = *file.ticket;
    if (arguments.fresh) {
        // A devmode as the driver's user interface makes it, with its default settings.
        const ByteBuffer devmode = KDevmode::Build(AttributeBytesIndexedList());
        const HRESULT hr = ticket.AddOrReplacePageDevmodeSnapshotInPrintTicket(
            reinterpret_cast<const DEVMODEW*>(devmode.getLpbyte()));
        if (FAILED(hr)) {
            throw ToolError("ticket devmode: the snapshot could not be embedded: " +
                                DescribeHresult(hr),
                            kExitFailure);
        }
    }
    if (!arguments.settings.empty()) {
        ByteBuffer devmode = DriverDevmode(ticket, arguments.path);
        if (!InspectBlock(devmode).attributes) {
            throw ToolError(arguments.path + ": the settings in the devmode cannot be read");
        }
        PrintTicketAttributeBytesReaderWriter view(&ticket, true);
        Apply(view.GetAttributeBytesIndexedListRef(), arguments.settings);
        view.CommitChangesToPrintTicket();

        // The commit leaves the devmode as it was when the settings do not fit its block.
        PrintTicketAttributeBytesReaderWriter check(&ticket, true);
        const AttributeBytesIndexedList& committed = check.GetAttributeBytesIndexedListRef();
        for (const auto& [feature, value] : arguments.settings) {
            const auto* attribute = committed.Find(AttributeBytesFeatureId(feature));
            if (!attribute || attribute->GetValue() != value) {
                throw ToolError("ticket devmode: the settings do not fit the devmode's block");
            }
        }
    }
    WriteOutputFile(*arguments.output, SerialiseDocument(file.dom));
    return kExitOk;
}

} // namespace

int TicketDevmode(const Arguments& arguments) {
    const DevmodeArguments parsed = ParseArguments(arguments);
    PrintSchemaFile file = LoadPrintTicketFile(parsed.path);
    if (parsed.fresh || !parsed.settings.empty()) {
        return Edit(file, parsed);
    }
    return Show(file, parsed);
}

} // namespace filterutil
