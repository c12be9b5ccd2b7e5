// filterutil printers: the printers the spooler knows, from the descriptions on its search
// path and the built-in one. A description that cannot be read is named on standard error
// and skipped.
//
//   printers [--json]
#include "commands.h"

#include "jsonwriter.h"
#include "outputfile.h"
#include "text.h"
#include "toolerror.h"

#include <platformprinters.h>
#include <winspool.h>

#include <iostream>
#include <sstream>

namespace filterutil {
namespace {

std::u16string DefaultPrinterName() {
    WCHAR name[256];
    DWORD size = 256;
    return GetDefaultPrinterW(name, &size) ? std::u16string(name, size - 1) : std::u16string();
}

void WriteText(std::ostream& out, const std::vector<platformprinters::Listing>& listings,
               const std::u16string& defaultName) {
    for (const auto& listing : listings) {
        if (!listing.printer) {
            continue;
        }
        const auto& p = *listing.printer;
        out << Printable(ToUtf8(p.name)) << (p.name == defaultName ? " (default)" : "") << '\n'
            << "  source: " << Printable(p.source) << '\n'
            << "  driver: " << Printable(ToUtf8(p.driverName)) << '\n'
            << "  driver directory: " << Printable(p.driverDirectory) << '\n'
            << "  margins (micrometres, left top right bottom): " << p.margins.left << ' '
            << p.margins.top << ' ' << p.margins.right << ' ' << p.margins.bottom << '\n'
            << "  forms (number, width x height in tenths of a millimetre, paper size id, "
               "kind, name):\n";
        for (const auto& form : p.forms) {
            out << "    " << form.number << ' ' << form.width << " x " << form.height << ' '
                << form.paperSizeId << ' ' << form.kind << ' ' << Printable(ToUtf8(form.name))
                << '\n';
        }
    }
}

void WriteJson(std::ostream& out, const std::vector<platformprinters::Listing>& listings,
               const std::u16string& defaultName) {
    JsonWriter json(out);
    json.BeginObject().Key("printers").BeginArray();
    for (const auto& listing : listings) {
        if (!listing.printer) {
            continue;
        }
        const auto& p = *listing.printer;
        json.BeginObject()
            .Key("name")
            .String(ToUtf8(p.name))
            .Key("default")
            .Bool(p.name == defaultName)
            .Key("source")
            .String(p.source)
            .Key("driver")
            .String(ToUtf8(p.driverName))
            .Key("driverDirectory")
            .String(p.driverDirectory)
            .Key("margins")
            .BeginObject()
            .Key("left")
            .Number(int64_t{p.margins.left})
            .Key("top")
            .Number(int64_t{p.margins.top})
            .Key("right")
            .Number(int64_t{p.margins.right})
            .Key("bottom")
            .Number(int64_t{p.margins.bottom})
            .EndObject()
            .Key("forms")
            .BeginArray();
        for (const auto& form : p.forms) {
            json.BeginObject()
                .Key("number")
                .Number(int64_t{form.number})
                .Key("name")
                .String(ToUtf8(form.name))
                .Key("width")
                .Number(int64_t{form.width})
                .Key("height")
                .Number(int64_t{form.height})
                .Key("paperSizeId")
                .Number(int64_t{form.paperSizeId})
                .Key("kind")
                .Number(int64_t{form.kind})
                .EndObject();
        }
        json.EndArray().EndObject();
    }
    json.EndArray().Key("skipped").BeginArray();
    for (const auto& listing : listings) {
        if (!listing.printer) {
            json.BeginObject()
                .Key("source")
                .String(listing.source)
                .Key("problem")
                .String(listing.problem)
                .EndObject();
        }
    }
    json.EndArray().EndObject();
}

} // namespace

int Printers(const Arguments& arguments) {
    bool json = false;
    for (const std::string& argument : arguments) {
        if (argument == "--json") {
            json = true;
        } else {
            throw ToolError("printers: unknown argument " + argument);
        }
    }
    const auto listings = platformprinters::ListPrinters();
    const std::u16string defaultName = DefaultPrinterName();
    for (const auto& listing : listings) {
        if (!listing.printer) {
            std::cerr << "filterutil: " << Printable(listing.source + ": " + listing.problem)
                      << " (skipped)\n";
        }
    }
    std::ostringstream out;
    if (json) {
        WriteJson(out, listings, defaultName);
    } else {
        WriteText(out, listings, defaultName);
    }
    WriteStandardOutput(out.str());
    return kExitOk;
}

} // namespace filterutil
