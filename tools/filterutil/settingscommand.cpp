// filterutil ticket settings: the typed settings a filter reads from its page view of a job's
// tickets (duplex, orientation, page scaling, media size, booklet binding, pages per sheet,
// output paper size), each with the ticket it came from.
//
//   ticket settings [--json] [--printer P] [--job J] [--document D] [--page P] DEFAULT
#include "commands.h"

#include "jsonwriter.h"
#include "outputfile.h"
#include "printschemafile.h"
#include "text.h"
#include "toolerror.h"

#include <filterutilities/xpsfilterprintticket.h>

#include <kldutil/keldanexception.h>

#include <handleapi.h>
#include <processthreadsapi.h>
#include <winspool.h>

#include <functional>
#include <optional>
#include <sstream>

namespace filterutil {
namespace {

using View = XpsFilterPrintTicket;

const char* ScopeName(View::EFilterPtScope scope) {
    switch (scope) {
    case View::PagePtScope:
        return "page";
    case View::DocumentPtScope:
        return "document";
    case View::JobPtScope:
        return "job";
    default:
        return "default";
    }
}

template <class Names>
std::string NameOf(const Names& names, int value) {
    return value >= 0 && static_cast<size_t>(value) < names.size()
               ? ToUtf8(names[static_cast<size_t>(value)])
               : std::to_string(value);
}

// One typed setting as the view answered it.
struct Answer {
    const char* name;                      // the JSON key
    const char* label;                     // the text output's
    std::string text;                      // the value, for the text output
    std::function<void(JsonWriter&)> json; // the value, for the JSON output
    bool found = false;
    HRESULT status = E_FAIL;
    std::optional<View::EFilterPtScope> source;

    // "read": from a ticket; "defaults": the view's defaults stand (no data model of this
    // driver, or nothing to read); "absent": not set; "unreadable": the view failed.
    const char* State() const {
        if (FAILED(status)) {
            return "unreadable";
        }
        if (!found) {
            return "absent";
        }
        return status == S_FALSE || !source ? "defaults" : "read";
    }
};

// Asks one getter with every out-parameter, so that nothing is raised.
template <class Getter>
Answer Ask(const char* name, const char* label, Getter&& getter) {
    Answer answer;
    answer.name = name;
    answer.label = label;
    auto source = static_cast<View::EFilterPtScope>(-1);
    getter(answer, &answer.found, &answer.status, &source);
    if (source >= View::DefaultPtScope && source <= View::PagePtScope) {
        answer.source = source;
    }
    return answer;
}

struct Parsed {
    std::optional<std::string> paths[View::kTicketCount];
    std::u16string printer;
    bool json = false;
};

Parsed Parse(const Arguments& arguments) {
    Parsed parsed;
    bool printerGiven = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= arguments.size()) {
                throw ToolError("ticket settings: " + argument + " needs a value");
            }
            return arguments[++i];
        };
        const auto once = [&](std::optional<std::string>& slot) {
            if (slot) {
                throw ToolError("ticket settings: " + argument + " is given twice");
            }
            slot = value();
        };
        if (argument == "--job") {
            once(parsed.paths[View::JobPtScope]);
        } else if (argument == "--document") {
            once(parsed.paths[View::DocumentPtScope]);
        } else if (argument == "--page") {
            once(parsed.paths[View::PagePtScope]);
        } else if (argument == "--printer") {
            if (printerGiven) {
                throw ToolError("ticket settings: --printer is given twice");
            }
            const std::string name = value();
            const auto wide = FromUtf8Strict(name);
            if (!wide || wide->empty()) {
                throw ToolError("ticket settings: \"" + Printable(name) +
                                "\" cannot name a printer");
            }
            parsed.printer = *wide;
            printerGiven = true;
        } else if (argument == "--json") {
            parsed.json = true;
        } else if (argument.size() > 1 && argument[0] == '-') {
            throw ToolError("ticket settings: unknown option " + argument);
        } else if (parsed.paths[View::DefaultPtScope]) {
            throw ToolError("ticket settings: one DEFAULT ticket only (\"" + Printable(argument) +
                            "\" is a second)");
        } else {
            parsed.paths[View::DefaultPtScope] = argument;
        }
    }
    if (!parsed.paths[View::DefaultPtScope]) {
        throw ToolError("ticket settings: name the user's DEFAULT ticket");
    }
    int fromStandardInput = 0;
    for (const auto& path : parsed.paths) {
        fromStandardInput += path && *path == "-";
    }
    if (fromStandardInput > 1) {
        throw ToolError("ticket settings: only one ticket can be read from standard input");
    }
    if (!printerGiven) {
        WCHAR name[256] = {};
        DWORD size = 256;
        if (!GetDefaultPrinterW(name, &size)) {
            throw ToolError("ticket settings: there is no default printer; name one with "
                            "--printer");
        }
        parsed.printer.assign(name, size - 1);
    }
    // The view opens the printer by name for what it asks the spooler; one that cannot be
    // opened would leave those answers quietly empty.
    HANDLE printer = nullptr;
    if (!OpenPrinterW(parsed.printer.data(), &printer, nullptr)) {
        throw ToolError("ticket settings: no printer is named \"" + ToUtf8(parsed.printer) +
                        "\" (see filterutil printers)");
    }
    ClosePrinter(printer);
    return parsed;
}

// The token of the user running the tool, for the view, as a filter gets the printing user's.
class UserToken {
public:
    UserToken() {
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_IMPERSONATE | TOKEN_QUERY, &token_)) {
            throw ToolError("cannot act as the current user (" +
                                HexCode(HRESULT_FROM_WIN32(GetLastError())) + ")",
                            kExitFailure);
        }
    }
    ~UserToken() { CloseHandle(token_); }
    UserToken(const UserToken&) = delete;
    UserToken& operator=(const UserToken&) = delete;
    HANDLE Get() const { return token_; }

private:
    HANDLE token_ = nullptr;
};

std::vector<Answer> AskAll(View& view) {
    using namespace PrintSchema;
    std::vector<Answer> answers;
    answers.push_back(Ask("duplex", "duplex", [&](Answer& a, bool* f, HRESULT* s, auto* from) {
        const auto value = view.GetDuplex(f, s, from);
        a.text = NameOf(JobDuplexAllDocumentsContiguously::kOptionNames, value);
        a.json = [text = a.text](JsonWriter& w) { w.String(text); };
    }));
    answers.push_back(
        Ask("orientation", "orientation", [&](Answer& a, bool* f, HRESULT* s, auto* from) {
            const auto value = view.GetOrientation(f, s, from);
            a.text = NameOf(PageOrientation::kOptionNames, value);
            a.json = [text = a.text](JsonWriter& w) { w.String(text); };
        }));
    answers.push_back(
        Ask("pageScaling", "page scaling", [&](Answer& a, bool* f, HRESULT* s, auto* from) {
            const PageScaling::PageScalingData d = view.GetPageScaling(f, s, from);
            const std::string option = NameOf(PageScaling::kScaleOptionNames, d.scalingOption);
            const std::string alignment = NameOf(PageScaling::kAlignmentNames, d.alignment);
            std::ostringstream text;
            text << option << ", " << d.scaleWidth << " % x " << d.scaleHeight << " %, offset "
                 << d.offsetWidth << " x " << d.offsetHeight << ", alignment " << alignment << ", "
                 << (d.scalingActive ? "active" : "inactive") << ", value ids " << d.scalingValueId
                 << " and " << d.secondValueId;
            a.text = text.str();
            a.json = [d, option, alignment](JsonWriter& w) {
                w.BeginObject();
                w.Key("option").String(option);
                w.Key("scaleWidth").Number(int64_t{d.scaleWidth});
                w.Key("scaleHeight").Number(int64_t{d.scaleHeight});
                w.Key("offsetWidth").Number(int64_t{d.offsetWidth});
                w.Key("offsetHeight").Number(int64_t{d.offsetHeight});
                w.Key("alignment").String(alignment);
                w.Key("active").Bool(d.scalingActive);
                w.Key("scalingValueId").Number(int64_t{d.scalingValueId});
                w.Key("secondValueId").Number(int64_t{d.secondValueId});
                w.EndObject();
            };
        }));
    answers.push_back(
        Ask("pageMediaSize", "page media size", [&](Answer& a, bool* f, HRESULT* s, auto* from) {
            const PageMediaSize::PageMediaSizeData d = view.GetPageMediaSize(f, s, from);
            a.text = std::to_string(d.width) + " x " + std::to_string(d.height) + " um";
            a.json = [d](JsonWriter& w) {
                w.BeginObject();
                w.Key("width").Number(int64_t{d.width});
                w.Key("height").Number(int64_t{d.height});
                w.EndObject();
            };
        }));
    answers.push_back(
        Ask("bookletBinding", "booklet binding", [&](Answer& a, bool* f, HRESULT* s, auto* from) {
            const Binding::BindingData d = view.GetBookletBinding(f, s, from);
            const std::string option = NameOf(Binding::kBindingOptionNames, d.bindingOption);
            a.text = option + ", measures " + std::to_string(d.firstBookletMeasure) +
                     " (1/600 in) and " + std::to_string(d.secondBookletMeasure) + " (1/1200 in)";
            a.json = [d, option](JsonWriter& w) {
                w.BeginObject();
                w.Key("option").String(option);
                w.Key("firstMeasure").Number(int64_t{d.firstBookletMeasure});
                w.Key("secondMeasure").Number(int64_t{d.secondBookletMeasure});
                w.EndObject();
            };
        }));
    answers.push_back(
        Ask("nUp", "pages per sheet", [&](Answer& a, bool* f, HRESULT* s, auto* from) {
            const NUp::NUpData d = view.GetNUp(f, s, from);
            a.text = std::to_string(d.pagesPerSheet) + ", value ids " +
                     std::to_string(d.firstValueId) + " and " + std::to_string(d.secondValueId);
            a.json = [d](JsonWriter& w) {
                w.BeginObject();
                w.Key("pagesPerSheet").Number(int64_t{d.pagesPerSheet});
                w.Key("firstValueId").Number(int64_t{d.firstValueId});
                w.Key("secondValueId").Number(int64_t{d.secondValueId});
                w.EndObject();
            };
        }));
    answers.push_back(Ask(
        "outputPaperSize", "output paper size", [&](Answer& a, bool* f, HRESULT* s, auto* from) {
            const OutputPaperSize::OutputPaperSizeData d = view.GetOutputPaperSize(f, s, from);
            a.text = std::to_string(d.width) + " x " + std::to_string(d.height) + " um, value id " +
                     std::to_string(d.outputSizeValueId) +
                     (d.fromDataModel ? ", the data model's own" : ", the page media size");
            a.json = [d](JsonWriter& w) {
                w.BeginObject();
                w.Key("width").Number(int64_t{d.width});
                w.Key("height").Number(int64_t{d.height});
                w.Key("valueId").Number(int64_t{d.outputSizeValueId});
                w.Key("fromDataModel").Bool(d.fromDataModel);
                w.EndObject();
            };
        }));
    return answers;
}

std::string Where(const Answer& answer) {
    const std::string state = answer.State();
    if (state == "unreadable") {
        return "unreadable: " + DescribeHresult(answer.status);
    }
    if (state == "absent") {
        return "not set";
    }
    if (state == "defaults") {
        return "defaults";
    }
    return std::string("from the ") + ScopeName(*answer.source) + " ticket";
}

} // namespace

int TicketSettings(const Arguments& arguments) {
    const Parsed parsed = Parse(arguments);
    PrintSchemaFile files[View::kTicketCount];
    IXMLDOMDocument2* doms[View::kTicketCount] = {};
    for (int scope = 0; scope < View::kTicketCount; ++scope) {
        if (parsed.paths[scope]) {
            files[scope] = LoadPrintTicketFile(*parsed.paths[scope]);
            doms[scope] = files[scope].dom;
        }
    }
    const UserToken token;
    View view;
    view.Initialize(kPTPageScope, doms[View::DefaultPtScope], doms[View::JobPtScope],
                    doms[View::DocumentPtScope], doms[View::PagePtScope], nullptr,
                    CXString(parsed.printer.c_str()), token.Get());
    const std::vector<Answer> answers = AskAll(view);
    // Where the data-model settings were read: the narrowest ticket with this driver's devmode.
    View::EFilterPtScope dataModelTicket = View::DefaultPtScope;
    const bool dataModel = !view.GetAttributeBytesIndexedListRef().IsEmpty() &&
                           view.GetAttributeBytesSource(&dataModelTicket);

    std::ostringstream out;
    if (parsed.json) {
        JsonWriter writer(out);
        writer.BeginObject();
        writer.Key("dataModel");
        if (dataModel) {
            writer.String(ScopeName(dataModelTicket));
        } else {
            writer.Null();
        }
        for (const Answer& answer : answers) {
            writer.Key(answer.name).BeginObject();
            writer.Key("value");
            answer.json(writer);
            writer.Key("state").String(answer.State());
            writer.Key("from");
            if (std::string(answer.State()) == "read") {
                writer.String(ScopeName(*answer.source));
            } else {
                writer.Null();
            }
            if (FAILED(answer.status)) {
                writer.Key("error").String(DescribeHresult(answer.status));
            }
            writer.EndObject();
        }
        writer.EndObject();
    } else {
        out << "data model: "
            << (dataModel
                    ? std::string("the devmode of the ") + ScopeName(dataModelTicket) + " ticket"
                    : std::string("none (no ticket carries a devmode of this driver)"))
            << "\n";
        for (const Answer& answer : answers) {
            out << answer.label << ": " << answer.text << " (" << Where(answer) << ")\n";
        }
    }
    WriteStandardOutput(out.str());
    return kExitOk;
}

} // namespace filterutil
