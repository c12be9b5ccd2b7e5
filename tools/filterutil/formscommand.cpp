// filterutil forms: the forms a printer's driver reports, as a filter sees them: each with its
// kind, size, whether a print ticket may name it, and its Print Schema PageMediaSize option.
//
//   forms [--printer P] [--json]
#include "commands.h"

#include "formtext.h"
#include "jsonwriter.h"
#include "outputfile.h"
#include "printeruser.h"
#include "text.h"
#include "toolerror.h"

#include <filterutilities/pagemediasizeptpchelper.h>

#include <kldcore/pagesizedictionary.h>

#include <kldutil/keldanexception.h>
#include <kldutil/setthreadtokenwrapper.h>

#include <map>
#include <optional>
#include <sstream>

namespace filterutil {
namespace {

using Helper = PageMediaSizePtPcHelper;

// One form with what a filter makes of it.
struct FormAnswer {
    _tag_FormsInfoRec record{};
    bool kept = false;
    std::optional<std::string> option; // the qualified option name, when the form has one
    std::string namespaceName;         // "keywords" or "private", with an option
    std::string problem;               // why the form has no option, when it has none
};

std::vector<FormAnswer> AskForms(const std::u16string& printer) {
    const CurrentUserToken token;
    CXString name(printer.c_str());
    std::vector<_tag_FormsInfoRec> forms;
    {
        const SetThreadTokenWrapper asUser(token.Get());
        forms = Helper::GetPaperInfoForAnXpsFilter(name);
    }
    const std::vector<_tag_FormsInfoRec> kept = Helper::FilterPaperSizeListForPrintTicket(forms);
    std::vector<FormAnswer> answers;
    for (const _tag_FormsInfoRec& form : forms) {
        FormAnswer answer;
        answer.record = form;
        answers.push_back(std::move(answer));
    }
    // Identical records are interchangeable: each kept one marks the first unmarked copy.
    std::map<std::string, size_t> keptCopies;
    const auto bytesOf = [](const _tag_FormsInfoRec& form) {
        return std::string(reinterpret_cast<const char*>(&form), sizeof form);
    };
    for (const _tag_FormsInfoRec& keptForm : kept) {
        ++keptCopies[bytesOf(keptForm)];
    }
    for (FormAnswer& answer : answers) {
        const auto found = keptCopies.find(bytesOf(answer.record));
        if (found != keptCopies.end() && found->second > 0) {
            answer.kept = true;
            --found->second;
        }
    }
    // One dictionary for every form, as a filter naming many forms would keep one.
    PageSizeDictionary dictionary(nullptr);
    for (FormAnswer& answer : answers) {
        CXString option;
        auto ns = PrintSchema::KeywordsNs;
        try {
            Helper::GetMsPageMediaSizeOptionName(answer.record.formNumber ==
                                                     Helper::kCustomFormNumber,
                                                 false, dictionary, answer.record, &option, &ns);
        } catch (const KeldanComException& e) {
            answer.problem = "the library cannot name it: " + DescribeHresult(e.GetHresult());
            continue;
        }
        if (option.IsEmpty()) {
            answer.problem = "the page size dictionary has no name for it";
            continue;
        }
        const bool keyword = ns == PrintSchema::KeywordsNs;
        answer.option = (keyword ? "psk:" : "pk:") + option.ToUtf8();
        answer.namespaceName = keyword ? "keywords" : "private";
    }
    return answers;
}

void WriteText(std::ostream& out, const std::u16string& printer,
               const std::vector<FormAnswer>& answers) {
    out << "printer: " << Printable(ToUtf8(printer)) << "\n"
        << "forms (number, width x height in tenths of a millimetre, paper size id, kind, "
           "whether a ticket may name it, option):\n";
    for (const FormAnswer& a : answers) {
        const _tag_FormsInfoRec& r = a.record;
        out << "  " << Printable(FormName(r)) << ": " << r.formNumber << ", " << r.width << " x "
            << r.height << ", " << r.paperSizeValueId << ", " << r.formKind << " ("
            << FormKindName(r.formKind) << "), " << (a.kept ? "kept" : "dropped") << ", "
            << (a.option ? *a.option + " (" + a.namespaceName + ")" : "no option: " + a.problem)
            << "\n";
    }
}

void WriteJson(std::ostream& out, const std::u16string& printer,
               const std::vector<FormAnswer>& answers) {
    JsonWriter json(out);
    json.BeginObject().Key("printer").String(ToUtf8(printer)).Key("forms").BeginArray();
    for (const FormAnswer& a : answers) {
        const _tag_FormsInfoRec& r = a.record;
        json.BeginObject();
        json.Key("number").Number(int64_t{r.formNumber});
        json.Key("name").String(FormName(r));
        json.Key("width").Number(int64_t{r.width});
        json.Key("height").Number(int64_t{r.height});
        json.Key("paperSizeId").Number(int64_t{r.paperSizeValueId});
        json.Key("kind").Number(int64_t{r.formKind});
        json.Key("kindName").String(FormKindName(r.formKind));
        json.Key("kept").Bool(a.kept);
        json.Key("option");
        if (a.option) {
            json.String(*a.option);
            json.Key("namespace").String(a.namespaceName);
        } else {
            json.Null();
            json.Key("namespace").Null();
            json.Key("problem").String(a.problem);
        }
        json.EndObject();
    }
    json.EndArray().EndObject();
}

} // namespace

int Forms(const Arguments& arguments) {
    bool json = false;
    std::optional<std::string> printerName;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--json") {
            json = true;
        } else if (argument == "--printer") {
            if (printerName) {
                throw ToolError("forms: --printer is given twice");
            }
            if (i + 1 >= arguments.size()) {
                throw ToolError("forms: --printer needs a value");
            }
            printerName = arguments[++i];
        } else {
            throw ToolError("forms: unknown argument " + Printable(argument));
        }
    }
    const std::u16string printer = ResolvePrinter("forms", printerName);
    const std::vector<FormAnswer> answers = AskForms(printer);
    std::ostringstream out;
    if (json) {
        WriteJson(out, printer, answers);
    } else {
        WriteText(out, printer, answers);
    }
    WriteStandardOutput(out.str());
    return kExitOk;
}

} // namespace filterutil
