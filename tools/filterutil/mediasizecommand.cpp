// filterutil ticket mediasize: writes one of the printer's forms into a ticket as its
// PageMediaSize, as a filter does: the form named, or the form of a size (the printer's custom
// size when it has no form of that size).
//
//   ticket mediasize TICKET (--form NAME | --size WIDTHxHEIGHT[mm|in]) [--postscript]
//                    [--printer P] [-o OUT]
#include "commands.h"

#include "formtext.h"
#include "outputfile.h"
#include "printeruser.h"
#include "printschemafile.h"
#include "text.h"
#include "toolerror.h"
#include "xmlfile.h"

#include <filterutilities/pagemediasizeptpchelper.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <optional>

namespace filterutil {
namespace {

using Helper = PageMediaSizePtPcHelper;
const std::string kCommand = "ticket mediasize";

struct Parsed {
    std::optional<std::string> ticket;
    std::optional<std::string> form;
    std::optional<std::string> size;
    std::optional<std::string> printer;
    std::optional<std::string> output;
    bool postScript = false;
};

Parsed Parse(const Arguments& arguments) {
    Parsed parsed;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const auto once = [&](std::optional<std::string>& slot) {
            if (slot) {
                throw ToolError(kCommand + ": " + argument + " is given twice");
            }
            if (i + 1 >= arguments.size() || arguments[i + 1].empty()) {
                throw ToolError(kCommand + ": " + argument + " needs a value");
            }
            slot = arguments[++i];
        };
        if (argument == "--form") {
            once(parsed.form);
        } else if (argument == "--size") {
            once(parsed.size);
        } else if (argument == "--printer") {
            once(parsed.printer);
        } else if (argument == "-o" || argument == "--output") {
            once(parsed.output);
        } else if (argument == "--postscript") {
            parsed.postScript = true;
        } else if (argument.size() > 1 && argument[0] == '-') {
            throw ToolError(kCommand + ": unknown option " + Printable(argument));
        } else if (parsed.ticket) {
            throw ToolError(kCommand + ": one TICKET only (\"" + Printable(argument) +
                            "\" is a second)");
        } else {
            parsed.ticket = argument;
        }
    }
    if (!parsed.ticket || parsed.form.has_value() == parsed.size.has_value()) {
        throw ToolError(kCommand + ": usage: filterutil ticket mediasize TICKET (--form NAME | "
                                   "--size WIDTHxHEIGHT[mm|in]) [--postscript] [--printer P] "
                                   "[-o OUT]");
    }
    return parsed;
}

// One length of a size: a positive decimal number in the unit, as micrometres.
int Micrometres(const std::string& text, double micrometresPerUnit, const std::string& size) {
    const auto refuse = [&]() -> int {
        throw ToolError(kCommand + ": \"" + Printable(size) +
                        "\" is not a size WIDTHxHEIGHT with positive numbers, in millimetres "
                        "or with the unit mm or in (at most 10 metres a side)");
    };
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) {
        return refuse();
    }
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || errno == ERANGE || !std::isfinite(value)) {
        return refuse();
    }
    const double micrometres = std::round(value * micrometresPerUnit);
    if (micrometres < 100 || micrometres > 10'000'000) {
        return refuse();
    }
    return static_cast<int>(micrometres);
}

std::pair<int, int> ParseSize(const std::string& size) {
    std::string text = size;
    double perUnit = 1000.0;
    if (text.size() > 2 && text.compare(text.size() - 2, 2, "mm") == 0) {
        text.resize(text.size() - 2);
    } else if (text.size() > 2 && text.compare(text.size() - 2, 2, "in") == 0) {
        text.resize(text.size() - 2);
        perUnit = 25400.0;
    }
    const size_t x = text.find('x');
    if (x == std::string::npos) {
        Micrometres("", perUnit, size);
    }
    return {Micrometres(text.substr(0, x), perUnit, size),
            Micrometres(text.substr(x + 1), perUnit, size)};
}

// The form to write: the one named, among the forms a ticket may name, or the form of the size.
_tag_FormsInfoRec ChooseForm(const Parsed& parsed, const std::u16string& printer) {
    const CurrentUserToken token;
    CXString name(printer.c_str());
    const std::vector<_tag_FormsInfoRec> forms =
        Helper::GetFilteredPaperInfoForAnXpsFilter(name, token.Get());
    const std::string printerText = "printer \"" + Printable(ToUtf8(printer)) + "\"";
    if (parsed.form) {
        for (const _tag_FormsInfoRec& form : forms) {
            if (FormName(form) == *parsed.form) {
                return form;
            }
        }
        throw ToolError(kCommand + ": " + printerText + " has no form \"" +
                        Printable(*parsed.form) +
                        "\" that a ticket may name (see filterutil forms)");
    }
    const auto [width, height] = ParseSize(*parsed.size);
    _tag_FormsInfoRec form{};
    const HRESULT found = Helper::FindFormInfoRect(
        forms, width, height, DataModelIds::tagValueEnum{Helper::kAnyPaperSize}, &form);
    if (found == S_FALSE && form.formKind != Helper::CustomSizeRecord) {
        throw ToolError(kCommand + ": " + printerText +
                        " has no form of that size and no custom size");
    }
    if (FAILED(found)) {
        throw ToolError(kCommand +
                            ": the library could not match the size: " + DescribeHresult(found),
                        kExitFailure);
    }
    return form;
}

} // namespace

int TicketMediaSize(const Arguments& arguments) {
    const Parsed parsed = Parse(arguments);
    if (parsed.size) {
        ParseSize(*parsed.size); // refused before anything is read
    }
    const std::u16string printer = ResolvePrinter(kCommand, parsed.printer);
    PrintSchemaFile file = LoadPrintTicketFile(*parsed.ticket);
    _tag_FormsInfoRec form = ChooseForm(parsed, printer);
    const HRESULT written =
        Helper::AddOrReplacePageMediaSize(*file.ticket, parsed.postScript, form);
    if (FAILED(written)) {
        throw ToolError(kCommand + ": the form \"" + Printable(FormName(form)) +
                            "\" cannot be written into a ticket: " + DescribeHresult(written),
                        written == E_OUTOFMEMORY ? kExitFailure : kExitBadInput);
    }
    std::string bytes = SerialiseDocument(file.dom);
    if (parsed.output) {
        WriteOutputFile(*parsed.output, bytes);
    } else {
        if (!bytes.empty() && bytes.back() != '\n') {
            bytes += '\n';
        }
        WriteStandardOutput(bytes);
    }
    return kExitOk;
}

} // namespace filterutil
