// Reading a printer description: "key = value" lines, then the documents it names.
#include "printers.h"

#include "builtinfiles.h"
#include "filereader.h"
#include "msxml/domloader.h"
#include "msxml/xmltext.h"
#include "textutf.h"

#include <charconv>
#include <climits>
#include <libxml/tree.h>
#include <set>

namespace platform::spooler {
namespace {

constexpr size_t kMaxNameLength = 220;
constexpr char kFrameworkUri[] =
    "http://schemas.microsoft.com/windows/2003/08/printing/printschemaframework";

[[noreturn]] void Fail(const std::string& message) {
    throw DescriptionError{message};
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

std::u16string Utf16(std::string_view utf8, const std::string& where) {
    std::u16string text;
    if (!StrictUtf16(utf8, text)) {
        Fail(where + ": not UTF-8");
    }
    return text;
}

template <typename Number>
Number ParseNumber(std::string_view& rest, const std::string& where, const char* what, Number low,
                   Number high) {
    rest = Trim(rest);
    const size_t end = std::min(rest.find_first_of(" \t"), rest.size());
    const std::string_view word = rest.substr(0, end);
    int64_t value = 0;
    const auto [stop, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (word.empty() || error != std::errc() || stop != word.data() + word.size() || value < low ||
        value > high) {
        Fail(where + ": " + what + " must be a whole number from " + std::to_string(low) + " to " +
             std::to_string(high));
    }
    rest.remove_prefix(end);
    return static_cast<Number>(value);
}

void CheckPrinterName(const std::u16string& name, const std::string& where) {
    if (name.empty() || name.size() > kMaxNameLength) {
        Fail(where + ": a printer name has 1 to 220 characters");
    }
    for (char16_t c : name) {
        if (c < 0x20 || c == u',' || c == u'!' || c == u'\\' || c == 0x7F) {
            Fail(where + ": a printer name holds no control character, ',', '!' or '\\'");
        }
    }
}

// Reads one of the documents a description names and checks that it is the Print Schema
// document it should be.
std::string ReadDocument(const std::string& key, std::string_view file, const std::string& folder,
                         const char* root, StampedFiles* files) {
    std::string bytes;
    std::string where = key + " " + std::string(file);
    if (folder.empty()) {
        const EmbeddedFile* found = nullptr;
        for (size_t i = 0; i < kBuiltinPrinterFileCount; ++i) {
            if (file == kBuiltinPrinterFiles[i].name) {
                found = &kBuiltinPrinterFiles[i];
            }
        }
        if (!found) {
            Fail(where + ": not inside the library");
        }
        bytes.assign(reinterpret_cast<const char*>(found->bytes), found->size);
    } else {
        const std::string path =
            file.front() == '/' ? std::string(file) : folder + "/" + std::string(file);
        std::string problem;
        FileStamp stamp;
        if (!ReadRegularFile(path, msxml::kMaxDocumentBytes, bytes, problem, &stamp)) {
            Fail(where + ": " + problem);
        }
        if (files) {
            files->emplace_back(path, stamp);
        }
    }
    msxml::ParseFailure failure;
    xmlDocPtr doc = msxml::ParseDocument(bytes, msxml::ParseOptions{}, failure);
    if (!doc) {
        std::string reason = "not well-formed XML";
        if (failure.line > 0) {
            reason += " (line " + std::to_string(failure.line) + ": " + failure.reason + ")";
        } else if (!failure.reason.empty()) {
            reason += " (" + failure.reason + ")";
        }
        Fail(where + ": " + reason);
    }
    const xmlNode* element = xmlDocGetRootElement(doc);
    const bool right = element && element->ns && msxml::Equal(element->ns->href, kFrameworkUri) &&
                       msxml::Equal(element->name, root);
    xmlFreeDoc(doc);
    if (!right) {
        Fail(where + ": not a Print Schema " + root + " document");
    }
    return bytes;
}

} // namespace

bool SameName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i];
        char16_t y = b[i];
        if (x >= u'A' && x <= u'Z') {
            x = static_cast<char16_t>(x - u'A' + u'a');
        }
        if (y >= u'A' && y <= u'Z') {
            y = static_cast<char16_t>(y - u'A' + u'a');
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

Printer ReadDescription(std::string_view text, const std::string& source, const std::string& folder,
                        StampedFiles* documents) {
    auto printer = std::make_shared<platformprinters::PrinterDescription>();
    printer->source = source;
    std::set<std::string, std::less<>> seen;
    std::string capabilities;
    std::string defaultTicket;
    std::string driverDirectory;
    size_t lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line = Trim(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const std::string where = "line " + std::to_string(lineNumber);
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            Fail(where + ": not \"key = value\"");
        }
        const std::string key(Trim(line.substr(0, equals)));
        std::string_view value = Trim(line.substr(equals + 1));
        if (key != "form" && !seen.insert(key).second) {
            Fail(where + ": " + key + " given twice");
        }
        if (value.find('\0') != std::string_view::npos) {
            Fail(where + ": a zero byte in the value");
        }
        if (key == "name") {
            printer->name = Utf16(value, where);
            CheckPrinterName(printer->name, where);
        } else if (key == "driver") {
            printer->driverName = Utf16(value, where);
            if (printer->driverName.empty()) {
                Fail(where + ": the driver needs a name");
            }
        } else if (key == "capabilities" || key == "default-ticket" || key == "driver-directory") {
            if (value.empty()) {
                Fail(where + ": " + key + " needs a file name");
            }
            Utf16(value, where);
            (key == "capabilities"     ? capabilities
             : key == "default-ticket" ? defaultTicket
                                       : driverDirectory) = std::string(value);
        } else if (key == "margins") {
            auto& m = printer->margins;
            for (int32_t* margin : {&m.left, &m.top, &m.right, &m.bottom}) {
                *margin = ParseNumber<int32_t>(value, where, "a margin", 0, 10'000'000);
            }
            if (!Trim(value).empty()) {
                Fail(where + ": margins are four numbers: left top right bottom");
            }
        } else if (key == "form") {
            platformprinters::Form form;
            form.number = ParseNumber<uint16_t>(value, where, "a form number", 0, 65535);
            form.width = ParseNumber<int32_t>(value, where, "a form width", 0, INT32_MAX);
            form.height = ParseNumber<int32_t>(value, where, "a form height", 0, INT32_MAX);
            form.paperSizeId =
                ParseNumber<int32_t>(value, where, "a paper size id", INT32_MIN, INT32_MAX);
            form.kind = ParseNumber<int32_t>(value, where, "a form kind", INT32_MIN, INT32_MAX);
            form.name = Utf16(Trim(value), where);
            printer->forms.push_back(std::move(form));
        } else {
            Fail(where + ": unknown key \"" + key + "\"");
        }
    }
    for (const char* required : {"name", "driver", "capabilities", "default-ticket"}) {
        if (!seen.count(required)) {
            Fail(std::string("no ") + required + " given");
        }
    }
    printer->capabilities =
        ReadDocument("capabilities", capabilities, folder, "PrintCapabilities", documents);
    printer->defaultTicket =
        ReadDocument("default-ticket", defaultTicket, folder, "PrintTicket", documents);
    if (driverDirectory.empty()) {
        printer->driverDirectory = MachineDriverDirectory();
    } else {
        printer->driverDirectory = driverDirectory.front() == '/' || folder.empty()
                                       ? driverDirectory
                                       : folder + "/" + driverDirectory;
    }
    return printer;
}

} // namespace platform::spooler
