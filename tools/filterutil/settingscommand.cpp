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
#include "typedsettings.h"

#include <filterutilities/pageimageablepchandler.h>
#include <filterutilities/xpsfilterprintticket.h>

#include <kldutil/keldanexception.h>

#include <handleapi.h>
#include <processthreadsapi.h>
#include <winspool.h>

#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <utility>

namespace filterutil {
namespace {

using View = XpsFilterPrintTicket;

// Where the watermark settings text comes from: given on the command line, or stored by the
// driver's user interface for a job as client job data of the printer.
struct WatermarkSource {
    std::optional<std::u16string> text;
    std::optional<std::pair<ULONG, int>> clientJobData; // job id, parameter
};

struct Parsed {
    std::optional<std::string> paths[View::kTicketCount];
    std::u16string printer;
    WatermarkSource watermark;
    bool json = false;
};

// "JOB:PARAMETER", two decimal numbers, the job id above 0.
std::optional<std::pair<ULONG, int>> JobAndParameter(const std::string& text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) {
        return std::nullopt;
    }
    const auto number = [](const std::string& digits,
                           unsigned long long limit) -> std::optional<unsigned long long> {
        if (digits.empty() || digits.size() > 10 ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            return std::nullopt;
        }
        const unsigned long long value = std::stoull(digits);
        return value <= limit ? std::optional(value) : std::nullopt;
    };
    const auto job = number(text.substr(0, colon), 0xFFFFFFFFull);
    const auto parameter = number(text.substr(colon + 1), 0x7FFFFFFFull);
    if (!job || !parameter || *job == 0) {
        return std::nullopt;
    }
    return std::pair(static_cast<ULONG>(*job), static_cast<int>(*parameter));
}

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
        } else if (argument == "--watermark") {
            if (parsed.watermark.text || parsed.watermark.clientJobData) {
                throw ToolError("ticket settings: one watermark settings text only");
            }
            const std::string text = value();
            const auto wide = FromUtf8Strict(text);
            if (!wide) {
                throw ToolError("ticket settings: the watermark settings text is not UTF-8 text");
            }
            parsed.watermark.text = *wide;
        } else if (argument == "--watermark-job") {
            if (parsed.watermark.text || parsed.watermark.clientJobData) {
                throw ToolError("ticket settings: one watermark settings text only");
            }
            const std::string text = value();
            parsed.watermark.clientJobData = JobAndParameter(text);
            if (!parsed.watermark.clientJobData) {
                throw ToolError("ticket settings: --watermark-job takes JOB:PARAMETER, a job id "
                                "above 0 and a parameter number (not \"" +
                                Printable(text) + "\")");
            }
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

// The watermark of the page as the view parsed it, and where its pieces came from.
struct WatermarkAnswer {
    // A copy of the view's record (the tool makes no record of its own).
    std::optional<PrintSchema::Watermark::WatermarkData> record;
    bool found = false;
    HRESULT status = E_FAIL;
    std::string settingsFrom; // where the settings text came from, in words
};

std::string SettingsTextSource(const Parsed& parsed) {
    if (parsed.watermark.text) {
        return "--watermark";
    }
    if (parsed.watermark.clientJobData) {
        return "client job data " + std::to_string(parsed.watermark.clientJobData->first) + ":" +
               std::to_string(parsed.watermark.clientJobData->second);
    }
    return "none";
}

// The page's imageable area: the printer driver's margins on the page media size, turned for
// the orientation, asked as the view's user.
struct ImageableAnswer {
    PrintSchema::PageImageableSize::PageImageableData area;
    HRESULT status = E_FAIL;
};

ImageableAnswer AskImageableArea(View& view, const Parsed& parsed) {
    HRESULT status = S_OK;
    const PrintSchema::PageMediaSize::PageMediaSizeData media =
        view.GetPageMediaSize(nullptr, &status);
    ImageableAnswer answer;
    answer.status = CPageImageablePCHandler(&view).GetData(
        parsed.printer.c_str(), view.GetUserToken(), &media, &answer.area);
    return answer;
}

void WriteImageableText(std::ostream& out, const ImageableAnswer& answer) {
    const auto& a = answer.area;
    out << "imageable area: ";
    if (FAILED(answer.status)) {
        out << "unreadable: " << DescribeHresult(answer.status) << "\n";
        return;
    }
    out << "origin " << a.originWidth << " x " << a.originHeight << ", extent " << a.extentWidth
        << " x " << a.extentHeight << " on a page of " << a.imageableSizeWidth << " x "
        << a.imageableSizeHeight << " um\n";
}

void WriteImageableJson(JsonWriter& w, const ImageableAnswer& answer) {
    const auto& a = answer.area;
    w.BeginObject();
    w.Key("value").BeginObject();
    w.Key("width").Number(int64_t{a.imageableSizeWidth});
    w.Key("height").Number(int64_t{a.imageableSizeHeight});
    w.Key("originWidth").Number(int64_t{a.originWidth});
    w.Key("originHeight").Number(int64_t{a.originHeight});
    w.Key("extentWidth").Number(int64_t{a.extentWidth});
    w.Key("extentHeight").Number(int64_t{a.extentHeight});
    w.EndObject();
    w.Key("state").String(FAILED(answer.status) ? "unreadable" : "read");
    if (FAILED(answer.status)) {
        w.Key("error").String(DescribeHresult(answer.status));
    }
    w.EndObject();
}

// Parses the watermark settings text for a page of the view's media size (turned for a
// landscape orientation), as a filter does for each page.
WatermarkAnswer AskWatermark(View& view, const Parsed& parsed,
                             const PrintSchema::PageImageableSize::PageImageableData& area) {
    WatermarkAnswer answer;
    answer.settingsFrom = SettingsTextSource(parsed);
    CXString settings;
    if (parsed.watermark.text) {
        settings = CXString(parsed.watermark.text->c_str(),
                            static_cast<int>(parsed.watermark.text->size()));
    } else if (const auto& job = parsed.watermark.clientJobData) {
        if (!view.GetClientJobDataAsString(job->first, job->second, &settings)) {
            throw ToolError("ticket settings: printer \"" + ToUtf8(parsed.printer) +
                            "\" has no client job data text " + std::to_string(job->second) +
                            " for job " + std::to_string(job->first));
        }
    }
    HRESULT status = S_OK;
    const PrintSchema::PageMediaSize::PageMediaSizeData media =
        view.GetPageMediaSize(nullptr, &status);
    const auto orientation = view.GetOrientation(nullptr, &status);
    double width = media.width * 96.0 / 25400.0;
    double height = media.height * 96.0 / 25400.0;
    if (orientation == PrintSchema::PageOrientation::Landscape ||
        orientation == PrintSchema::PageOrientation::ReverseLandscape) {
        std::swap(width, height);
    }
    view.SetPageSize(width, height, area);
    answer.record.emplace(view.ParseWatermarkData(&settings, &answer.found, &answer.status));
    return answer;
}

const char* WatermarkKind(int32_t type) {
    switch (type) {
    case PrintSchema::Watermark::WatermarkData::Text:
        return "text";
    case PrintSchema::Watermark::WatermarkData::DateTimeStamp:
        return "dateTimeStamp";
    case PrintSchema::Watermark::WatermarkData::Image:
        return "image";
    default:
        return "none";
    }
}

std::string TextOf(const CComBSTR& text) {
    return ToUtf8(std::u16string_view(text.m_str ? text.m_str : u"", text.Length()));
}

std::string FaceOf(const LOGFONTW& font) {
    const std::u16string_view face(font.lfFaceName, std::size(font.lfFaceName));
    return ToUtf8(face.substr(0, face.find(u'\0')));
}

std::string Decimal(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

void WriteWatermarkText(std::ostream& out, const WatermarkAnswer& answer,
                        const std::string& dataModelFrom) {
    using PrintSchema::Watermark::WatermarkData;
    const WatermarkData& r = *answer.record;
    const std::string sources =
        "settings text: " + answer.settingsFrom + "; data model: " + dataModelFrom;
    if (FAILED(answer.status)) {
        out << "watermark: unreadable: " << DescribeHresult(answer.status) << " (" << sources
            << ")\n";
        return;
    }
    const std::string kind = WatermarkKind(r.type);
    out << "watermark: ";
    if (kind == "text" || kind == "dateTimeStamp") {
        const LOGFONTW& f = r.textData.font;
        out << (kind == "text" ? "text" : "date and time stamp") << " \""
            << Printable(TextOf(r.textData.text)) << "\" (" << sources << ")\n"
            << "  font: " << Printable(FaceOf(f)) << ", " << r.textData.pointSize << " pt (height "
            << f.lfHeight << "), weight " << f.lfWeight << ", italic " << int{f.lfItalic}
            << ", underline " << int{f.lfUnderline} << ", strike-out " << int{f.lfStrikeOut}
            << ", character set " << int{f.lfCharSet} << ", escapement " << f.lfEscapement << "\n"
            << "  colour " << Printable(ToUtf8(r.textData.colour.View())) << ", density "
            << r.density << ", angle " << r.angle << "\n"
            << "  position " << Decimal(r.x) << " x " << Decimal(r.y) << ", extent "
            << Decimal(r.extentWidth) << " x " << Decimal(r.extentHeight);
    } else if (kind == "image") {
        out << "image \"" << Printable(TextOf(r.imageData.imageFile)) << "\" (" << sources << ")\n"
            << "  scale " << Decimal(r.imageScale) << ", density " << r.density << "\n"
            << " ";
    } else {
        out << "none (type " << r.type << ") (" << sources << ")\n"
            << " ";
    }
    out << (kind == "text" || kind == "dateTimeStamp" ? ", offset " : " offset ")
        << Decimal(r.xOffset) << " x " << Decimal(r.yOffset) << " (1/96 in), on a page of "
        << Decimal(r.pageWidth) << " x " << Decimal(r.pageHeight) << "\n"
        << "  draw mode " << r.drawMode << ", data-model watermark " << (r.dataModel ? "yes" : "no")
        << "\n";
}

void WriteWatermarkJson(JsonWriter& w, const WatermarkAnswer& answer,
                        const std::optional<std::string>& dataModelFrom) {
    const PrintSchema::Watermark::WatermarkData& r = *answer.record;
    w.BeginObject();
    w.Key("type").String(WatermarkKind(r.type));
    w.Key("typeNumber").Number(int64_t{r.type});
    w.Key("text").String(TextOf(r.textData.text));
    const LOGFONTW& f = r.textData.font;
    w.Key("font").BeginObject();
    w.Key("face").String(FaceOf(f));
    w.Key("pointSize").Number(int64_t{r.textData.pointSize});
    w.Key("height").Number(int64_t{f.lfHeight});
    w.Key("weight").Number(int64_t{f.lfWeight});
    w.Key("italic").Number(int64_t{f.lfItalic});
    w.Key("underline").Number(int64_t{f.lfUnderline});
    w.Key("strikeOut").Number(int64_t{f.lfStrikeOut});
    w.Key("charSet").Number(int64_t{f.lfCharSet});
    w.Key("escapement").Number(int64_t{f.lfEscapement});
    w.EndObject();
    w.Key("colour").String(ToUtf8(r.textData.colour.View()));
    w.Key("density").Number(int64_t{r.density});
    w.Key("angle").Number(int64_t{r.angle});
    w.Key("x").Number(double{r.x});
    w.Key("y").Number(double{r.y});
    w.Key("extentWidth").Number(double{r.extentWidth});
    w.Key("extentHeight").Number(double{r.extentHeight});
    w.Key("xOffset").Number(r.xOffset);
    w.Key("yOffset").Number(r.yOffset);
    w.Key("pageWidth").Number(r.pageWidth);
    w.Key("pageHeight").Number(r.pageHeight);
    w.Key("imageFile").String(TextOf(r.imageData.imageFile));
    w.Key("imageScale").Number(double{r.imageScale});
    w.Key("drawMode").Number(int64_t{r.drawMode});
    w.Key("dataModelWatermark").Bool(r.dataModel);
    w.Key("state").String(FAILED(answer.status) ? "unreadable" : "read");
    if (FAILED(answer.status)) {
        w.Key("error").String(DescribeHresult(answer.status));
    }
    w.Key("settingsFrom").String(answer.settingsFrom);
    w.Key("from");
    if (dataModelFrom) {
        w.String(*dataModelFrom);
    } else {
        w.Null();
    }
    w.EndObject();
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
    const ImageableAnswer imageable = AskImageableArea(view, parsed);
    const WatermarkAnswer watermark = AskWatermark(view, parsed, imageable.area);
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
            writer.Key(answer.name);
            WriteAnswerJson(writer, answer);
        }
        writer.Key("imageableArea");
        WriteImageableJson(writer, imageable);
        writer.Key("watermark");
        WriteWatermarkJson(writer, watermark,
                           dataModel ? std::optional<std::string>(ScopeName(dataModelTicket))
                                     : std::nullopt);
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
        WriteImageableText(out, imageable);
        WriteWatermarkText(out, watermark,
                           dataModel ? std::string("the ") + ScopeName(dataModelTicket) + " ticket"
                                     : std::string("none"));
    }
    WriteStandardOutput(out.str());
    return kExitOk;
}

} // namespace filterutil
