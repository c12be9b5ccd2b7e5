#include <filterutilities/xpsfilterprintticketwatermarkimpl.h>

#include <filterutilities/errorconvention.h>

#include <kldutil/clientjobdatareaderwriter.h>
#include <kldutil/dimension.h>
#include <kldutil/number.h>
#include <kldutil/printdriver.h>
#include <kldutil/printer.h>
#include <kldutil/setthreadtokenwrapper.h>
#include <kldutil/user.h>
#include <kldutil/utf8ini.h>

#include <datetimeapi.h>
#include <shlwapi.h>
#include <timezoneapi.h>
#include <wingdi.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>

namespace PrintSchema::Watermark {

WatermarkTextData::WatermarkTextData() noexcept : font{} {
    font.lfWeight = FW_NORMAL;
    font.lfOutPrecision = OUT_TT_ONLY_PRECIS;
    font.lfQuality = CLEARTYPE_QUALITY;
    constexpr WCHAR kFace[] = u"Arial";
    std::copy(std::begin(kFace), std::end(kFace), font.lfFaceName);
}

} // namespace PrintSchema::Watermark

namespace {

using PrintSchema::Watermark::WatermarkData;

// Data-model features and values that steer the watermark.
constexpr AttributeBytesFeatureId kDrawModeFeature(156);
constexpr AttributeBytesFeatureId kDataModelWatermarkFeature(157);
constexpr AttributeBytesFeatureId kPagesPerSheetLayoutFeature(311);
constexpr AttributeBytesFeatureId kDataModelAnnotationFeature(931);
constexpr int32_t kDrawModeBehind = 7170;
constexpr int32_t kDrawModeInFront = 7171;
constexpr int32_t kDrawModeOutline = 7172;
constexpr int32_t kDataModelWatermark = 7480;
constexpr int32_t kLayoutNeedingWideMargin = 8011;
constexpr int32_t kDataModelAnnotation = 10185;
// The value read for a feature the data model does not carry: none of the values above.
constexpr int32_t kUndetermined = std::numeric_limits<int32_t>::min();

// The IniDataType values with a meaning of their own.
constexpr int kIniDataTypeCached = 37;
constexpr int kIniDataTypeDrawModeInText = 38;

constexpr int kDateBufferSize = 260;
constexpr int kIniValueSize = 512;

// Settings numbers round halves toward zero.
int IntegerOf(const CXString& text) {
    return Number(text, false).GetIntValue(0.499999);
}

// A length in millimetres as 1/96 inch; nothing for a number beyond the range of double,
// which no page can use.
std::optional<double> PixelsOfMillimetres(const CXString& text) {
    const Dimension length(Number(text, false).GetDoubleValue(), Dimension::Millimetre);
    const double pixels = length.GetValue(Dimension::Inch).GetDoubleValue() * 96.0;
    return std::isfinite(pixels) ? std::optional<double>(pixels) : std::nullopt;
}

// The em height at 96 dots per inch as a LOGFONTW height (negative: the em): MulDiv(points,
// 96, 72), which answers -1 where the result does not fit; computed wide here so that a huge
// size stays huge (GDI then measures at its largest size) rather than becoming one pixel.
LONG FontHeightOfPoints(int points) {
    const int64_t pixels = std::llround(static_cast<double>(points) * 96.0 / 72.0);
    return static_cast<LONG>(std::clamp<int64_t>(-pixels, std::numeric_limits<LONG>::min(),
                                                 std::numeric_limits<LONG>::max()));
}

// A face name into a LOGFONTW: at most 31 units and a zero, never ending on half a
// surrogate pair.
void SetFaceName(LOGFONTW& font, std::u16string_view face) {
    size_t length = std::min<size_t>(face.size(), LF_FACESIZE - 1);
    if (length < face.size() && length > 0 && face[length - 1] >= 0xD800 &&
        face[length - 1] <= 0xDBFF) {
        --length;
    }
    std::copy_n(face.data(), length, font.lfFaceName);
    std::fill(font.lfFaceName + length, std::end(font.lfFaceName), u'\0');
}

// A spooler or GDI call refused for want of memory fails the parse; any other refusal (no such
// printer, no font) only leaves the watermark unmeasured.
void RaiseIfOutOfMemory(DWORD error) {
    if (error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY) {
        FU_THROW_HR(E_OUTOFMEMORY);
    }
}

// An information context, deleted at the end of the scope.
class InformationContext {
public:
    // For the printer's own driver, else for the printer by name alone; null when neither
    // can be made.
    InformationContext(HANDLE printer, const CXString& printerName) {
        CXString driver;
        try {
            driver = PrintDriver::GetDriverName(printer);
        } catch (const KeldanComException&) {
            // The context is made without the driver's name below.
        }
        if (!driver.IsEmpty()) {
            m_dc = CreateICW(driver, printerName, nullptr, nullptr);
        }
        if (!m_dc) {
            m_dc = CreateICW(nullptr, printerName, nullptr, nullptr);
        }
        if (!m_dc) {
            RaiseIfOutOfMemory(GetLastError());
        }
    }
    ~InformationContext() {
        if (m_dc) {
            DeleteDC(m_dc);
        }
    }
    InformationContext(const InformationContext&) = delete;
    InformationContext& operator=(const InformationContext&) = delete;

    HDC Get() const noexcept { return m_dc; }

private:
    HDC m_dc = nullptr;
};

struct TextMeasure {
    SIZE extent{};
    LONG descent = 0;
};

// The text's extent and the font's descent in the context, with the font selected for the
// measurement alone. False when GDI refuses the font or the text; raises E_OUTOFMEMORY when
// it refuses for want of memory.
bool MeasureText(HDC dc, const LOGFONTW& logicalFont, const CComBSTR& text, TextMeasure& measure) {
    const HFONT font = CreateFontIndirectW(&logicalFont);
    if (!font) {
        RaiseIfOutOfMemory(GetLastError());
        return false;
    }
    DWORD error = ERROR_SUCCESS;
    const HGDIOBJ previous = SelectObject(dc, font);
    if (!previous) {
        error = GetLastError();
    } else {
        const unsigned int length = text.Length();
        TEXTMETRICW metrics{};
        if (length > static_cast<unsigned int>(std::numeric_limits<int>::max())) {
            error = ERROR_INVALID_PARAMETER;
        } else if (!GetTextExtentPoint32W(dc, text.m_str ? text.m_str : u"",
                                          static_cast<int>(length), &measure.extent) ||
                   !GetTextMetricsW(dc, &metrics)) {
            error = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_INVALID_PARAMETER;
        }
        measure.descent = metrics.tmDescent;
        SelectObject(dc, previous);
    }
    DeleteObject(font);
    RaiseIfOutOfMemory(error);
    return error == ERROR_SUCCESS;
}

// Reads a job's client job data as the user: false when the user cannot be impersonated,
// when the printer cannot be opened, or when read answers false.
template <class Read>
bool ReadClientJobData(HANDLE user, const CXString& printerName, ULONG jobId, Read&& read) {
    try {
        const SetThreadTokenWrapper asUser(user);
        const Printer printer = Printer::CreateHandle(printerName);
        return printer && read(ClientJobDataReaderWriter(printer.GetHandle(), jobId));
    } catch (const KeldanComException&) {
        return false;
    }
}

// Joins the non-empty pieces with single spaces.
CXString JoinPieces(std::initializer_list<const CXString*> pieces) {
    CXString joined;
    for (const CXString* piece : pieces) {
        if (piece->IsEmpty()) {
            continue;
        }
        if (!joined.IsEmpty()) {
            joined += u' ';
        }
        joined += *piece;
    }
    return joined;
}

// GetDateFormatW or GetTimeFormatW into a text; empty when the call fails.
template <class Formatter>
CXString FormattedTime(Formatter&& format) {
    WCHAR buffer[kDateBufferSize] = {};
    return format(buffer, kDateBufferSize) > 0 ? CXString(buffer) : CXString();
}

} // namespace

XpsFilterPrintTicketWatermarkImpl::XpsFilterPrintTicketWatermarkImpl() = default;

XpsFilterPrintTicketWatermarkImpl::~XpsFilterPrintTicketWatermarkImpl() = default;

const WatermarkData& XpsFilterPrintTicketWatermarkImpl::ParseWatermarkData(CXString* settings,
                                                                           bool* found,
                                                                           HRESULT* status) {
    HRESULT hr = S_OK;
    const bool cached = m_changeCounter.IsInitialized() && m_watermarkCounter == m_changeCounter;
    if (!cached && !settings) {
        hr = E_POINTER;
    } else if (!cached) {
        hr = CatchComException([&] {
            // Parsed into a copy, so that a failure part of the way leaves the record whole.
            WatermarkData record = m_watermark;
            const bool keep = ParseWatermark(*settings, record);
            m_watermark = std::move(record);
            if (keep) {
                m_watermarkCounter = m_changeCounter;
            }
            return S_OK;
        });
    }
    hr = DoStandardStatusReturnProcessing(hr, found, status);
    if (FAILED(hr)) {
        FU_THROW_HR(hr);
    }
    return m_watermark;
}

bool XpsFilterPrintTicketWatermarkImpl::ParseWatermark(CXString& settings, WatermarkData& record) {
    const auto value = [&](const WCHAR* name) {
        CXString opening = CXString(u"<") + name + u">";
        CXString closing = CXString(u"</") + name + u">";
        return ParseStringValue(&settings, &opening, &closing);
    };

    const SetThreadTokenWrapper asUser(m_userToken);
    record.userToken = m_userToken;
    record.type = WatermarkData::None;
    const Printer printer = Printer::CreateHandle(m_printerName);
    if (!printer) {
        RaiseIfOutOfMemory(GetLastError());
        return false;
    }

    // The data model is read from this fill's tickets; a feature it does not carry decides
    // nothing.
    GetAttributeBytesIndexedListRef();
    const int iniDataType = IntegerOf(value(u"IniDataType"));
    int32_t drawMode = kUndetermined;
    if (iniDataType == kIniDataTypeDrawModeInText) {
        const CXString text = value(u"DrawMode");
        if (!text.IsBlank()) {
            drawMode = IntegerOf(text);
        }
    } else {
        drawMode = GetOptionValueFromAttributeBytes(kDrawModeFeature, kUndetermined);
    }
    if (drawMode == kDrawModeInFront || drawMode == kDrawModeOutline) {
        record.drawMode = 1;
    } else if (drawMode == kDrawModeBehind) {
        record.drawMode = 0;
    }
    if (GetOptionValueFromAttributeBytes(kDataModelWatermarkFeature, kUndetermined) ==
        kDataModelWatermark) {
        record.dataModel = true;
    }

    const CXString type = value(u"Type");
    if (!type.IsBlank()) {
        record.type = IntegerOf(type);
        if (record.type == -1) {
            record.type = WatermarkData::Text;
        }
    }

    const auto setInteger = [&](const WCHAR* name, auto& field) {
        const CXString text = value(name);
        if (!text.IsBlank()) {
            field = static_cast<std::remove_reference_t<decltype(field)>>(IntegerOf(text));
        }
    };
    const auto setOffsets = [&] {
        for (auto [name, field] :
             {std::pair{u"XOffset", &record.xOffset}, std::pair{u"YOffset", &record.yOffset}}) {
            const CXString text = value(name);
            if (const std::optional<double> pixels = PixelsOfMillimetres(text);
                pixels && !text.IsBlank()) {
                *field = *pixels;
            }
        }
    };

    if (record.type == WatermarkData::Text || record.type == WatermarkData::DateTimeStamp) {
        const InformationContext context(printer.GetHandle(), m_printerName);
        if (context.Get()) {
            LOGFONTW& font = record.textData.font;
            setOffsets();
            setInteger(u"FontHeight", record.textData.pointSize);
            setInteger(u"Density", record.density);
            font.lfHeight = FontHeightOfPoints(record.textData.pointSize);
            const CXString escapement = value(u"FontEsc");
            if (!escapement.IsBlank()) {
                font.lfEscapement = font.lfOrientation = IntegerOf(escapement);
            }
            setInteger(u"FontWeight", font.lfWeight);
            setInteger(u"FontItalic", font.lfItalic);
            setInteger(u"FontUnderline", font.lfUnderline);
            setInteger(u"FontStrikeOut", font.lfStrikeOut);
            setInteger(u"FontCharSet", font.lfCharSet);
            const CXString face = value(u"FontFace");
            if (!face.IsBlank()) {
                SetFaceName(font, face.View());
            }
            const auto component = [&](const WCHAR* name) {
                return static_cast<BYTE>(IntegerOf(value(name)));
            };
            record.textData.colour = Number::ConvertColorRefToHexString(
                RGB(component(u"Red"), component(u"Green"), component(u"Blue")));
            record.angle = font.lfEscapement / 10;

            const CXString text = value(u"KldWmText");
            if (record.type == WatermarkData::Text) {
                record.textData.text = CComBSTR(text.GetLength(), text.GetString());
            } else {
                const int number = IntegerOf(text);
                const ETimeStampFormat format = number >= Date && number <= DayDateTimeZone
                                                    ? static_cast<ETimeStampFormat>(number)
                                                    : DateTime;
                FILETIME now{};
                GetSystemTimeAsFileTime(&now);
                record.textData.text = GetDateTime(format, &now).GetString();
            }

            TextMeasure measure;
            if (MeasureText(context.Get(), font, record.textData.text, measure)) {
                record.x = static_cast<float>((record.pageWidth - measure.extent.cx) * 0.5);
                record.y = static_cast<float>((record.pageHeight + measure.extent.cy) * 0.5 -
                                              measure.descent);
                record.extentWidth = static_cast<float>(measure.extent.cx);
                record.extentHeight = static_cast<float>(measure.extent.cy);
            }
        }
    } else if (record.type == WatermarkData::Image) {
        const CXString file = value(u"ImageFile");
        if (!file.IsBlank()) {
            record.imageData.imageFile = file.GetString();
        }
        setInteger(u"Density", record.density);
        // A scale of 0, or none, is full size; so is one beyond the range of double.
        const double scale = Number(value(u"Scale"), false).GetDoubleValue();
        record.imageScale = scale == 0.0 || !std::isfinite(scale)
                                ? 1.0f
                                : Number(Dimension(scale, Dimension::TenthMillimetre)
                                             .GetValue(Dimension::Inch)
                                             .GetDoubleValue())
                                      .GetFloatValue();
        setOffsets();
    }

    return iniDataType == kIniDataTypeCached;
}

const WatermarkData&
XpsFilterPrintTicketWatermarkImpl::ParseAnnotationWatermarkData(CXString* text, ByteBuffer* buffer,
                                                                bool* found, HRESULT* status) {
    HRESULT hr = E_POINTER;
    if (text && buffer) {
        hr = CatchComException([&] {
            WatermarkData record = m_annotation;
            ParseAnnotation(*text, record);
            m_annotation = std::move(record);
            return S_OK;
        });
    }
    hr = DoStandardStatusReturnProcessing(hr, found, status);
    if (FAILED(hr)) {
        FU_THROW_HR(hr);
    }
    return m_annotation;
}

void XpsFilterPrintTicketWatermarkImpl::ParseAnnotation(const CXString& text,
                                                        WatermarkData& record) {
    const SetThreadTokenWrapper asUser(m_userToken);
    record.userToken = m_userToken;
    record.type = WatermarkData::Text;
    const Printer printer = Printer::CreateHandle(m_printerName);
    if (!printer) {
        RaiseIfOutOfMemory(GetLastError());
        return;
    }
    const InformationContext context(printer.GetHandle(), m_printerName);
    if (!context.Get()) {
        return;
    }

    GetAttributeBytesIndexedListRef();
    record.dataModel = GetOptionValueFromAttributeBytes(kDataModelAnnotationFeature,
                                                        kUndetermined) == kDataModelAnnotation;
    record.textData.text = CComBSTR(text.GetLength(), text.GetString());
    record.density = 25;
    record.textData.pointSize = 12;
    LOGFONTW& font = record.textData.font;
    font.lfHeight = FontHeightOfPoints(12);
    font.lfEscapement = font.lfOrientation = 900;
    SetFaceName(font, u"Helvetica");
    record.angle = 90;

    TextMeasure measure;
    if (!MeasureText(context.Get(), font, record.textData.text, measure)) {
        return;
    }
    // The page in inches, its height less a margin for the layout.
    const double width = record.pageWidth / 96.0;
    const double margin =
        GetOptionValueFromAttributeBytes(kPagesPerSheetLayoutFeature, kUndetermined) ==
                kLayoutNeedingWideMargin
            ? 2.0
            : 1.0;
    const double height =
        record.pageHeight / 96.0 -
        Dimension(margin, Dimension::Centimetre).GetValue(Dimension::Inch).GetDoubleValue();
    const auto pixelsOfMicrometres = [](int32_t micrometres) {
        return Dimension(micrometres, Dimension::Micrometre)
                   .GetValue(Dimension::Inch)
                   .GetDoubleValue() *
               96.0;
    };
    record.x = static_cast<float>(pixelsOfMicrometres(record.imageableArea.originWidth));
    record.y = static_cast<float>(pixelsOfMicrometres(record.imageableArea.originHeight) +
                                  measure.extent.cy);
    record.xOffset = std::fabs(width - height) * 0.5 * 96.0;
    record.extentWidth = static_cast<float>(measure.extent.cx);
    record.extentHeight = static_cast<float>(measure.extent.cy);
}

void XpsFilterPrintTicketWatermarkImpl::SetPageSize(
    double width, double height,
    const PrintSchema::PageImageableSize::PageImageableData& imageableArea) {
    for (WatermarkData* record : {&m_watermark, &m_annotation}) {
        record->pageWidth = width;
        record->pageHeight = height;
        record->imageableArea = imageableArea;
    }
}

bool XpsFilterPrintTicketWatermarkImpl::GetClientJobDataAsString(ULONG jobId, int parameter,
                                                                 CXString* out) {
    return out && ReadClientJobData(m_userToken, m_printerName, jobId,
                                    [&](const ClientJobDataReaderWriter& job) {
                                        return job.GetStringFromParameterList(parameter, out);
                                    });
}

bool XpsFilterPrintTicketWatermarkImpl::GetClientJobDataAsByteBuffer(ULONG jobId, int parameter,
                                                                     ByteBuffer* out) {
    return out && ReadClientJobData(m_userToken, m_printerName, jobId,
                                    [&](const ClientJobDataReaderWriter& job) {
                                        return job.GetByteBufferFromParameterList(parameter, out);
                                    });
}

CXString XpsFilterPrintTicketWatermarkImpl::GetDateTime(ETimeStampFormat format,
                                                        FILETIME* /*time*/) const {
    SYSTEMTIME universal{};
    GetSystemTime(&universal);
    TIME_ZONE_INFORMATION zone{};
    const DWORD zoneId = GetTimeZoneInformation(&zone);
    SYSTEMTIME local{};
    CXString zoneName;
    if (zoneId != TIME_ZONE_ID_INVALID &&
        SystemTimeToTzSpecificLocalTime(&zone, &universal, &local)) {
        zoneName = zoneId == TIME_ZONE_ID_DAYLIGHT ? zone.DaylightName : zone.StandardName;
    } else {
        // Without the zone the stamp tells universal time, and says so.
        local = universal;
        zoneName = u"UTC";
    }

    const CXString date = FormattedTime([&](WCHAR* buffer, int size) {
        return GetDateFormatW(0, 0, &local, nullptr, buffer, size);
    });
    const CXString time = FormattedTime([&](WCHAR* buffer, int size) {
        return GetTimeFormatW(0, 0, &local, nullptr, buffer, size);
    });
    const CXString day = FormattedTime([&](WCHAR* buffer, int size) {
        return GetDateFormatW(0, 0, &local, u"ddd", buffer, size);
    });

    switch (format) {
    case Date:
        return date;
    case Time:
        return time;
    case DayDateTime:
        return JoinPieces({&day, &date, &time});
    case DayDate:
        return JoinPieces({&day, &date});
    case DateTimeZone:
        return JoinPieces({&date, &time, &zoneName});
    case TimeZone:
        return JoinPieces({&time, &zoneName});
    case DayDateTimeZone:
        return JoinPieces({&day, &date, &time, &zoneName});
    case DateTime:
        break;
    }
    return JoinPieces({&date, &time});
}

CXString XpsFilterPrintTicketWatermarkImpl::WmIniSectionName(int section) {
    CXString name;
    name.Format(u"%d", section);
    return name;
}

CXString XpsFilterPrintTicketWatermarkImpl::GetWatermarkINIPath() {
    try {
        const SetThreadTokenWrapper asUser(m_userToken);
        if (m_iniPath.IsEmpty()) {
            const CXString folder = User(u"PrinterDriver").GetUserApplicationDirectory();
            WCHAR path[MAX_PATH] = {};
            if (folder.GetLength() < MAX_PATH) {
                std::copy_n(folder.GetString(), folder.GetLength(), path);
                if (PathAppendW(path, u"Keldan") && PathAppendW(path, u"KldWmV5.ini")) {
                    m_iniPath = path;
                }
            }
        }
        if (!m_iniPath.IsEmpty() && PathFileExistsW(m_iniPath)) {
            return m_iniPath;
        }
    } catch (const ExceptionUserFailure&) {
        // No folder for the user: no settings file.
    } catch (const KeldanComException&) {
        // The user could not be impersonated: the file is not the process's to read.
    }
    return CXString();
}

CXString XpsFilterPrintTicketWatermarkImpl::GetWmIniString(int section, const CXString& key,
                                                           bool /*unused*/) {
    try {
        const SetThreadTokenWrapper asUser(m_userToken);
        const CXString path = GetWatermarkINIPath();
        WCHAR buffer[kIniValueSize] = {};
        UTF8Ini::GetPrivateProfileStringW(WmIniSectionName(section), key, m_missingValueMarker,
                                          buffer, kIniValueSize, path);
        return CXString(buffer);
    } catch (const KeldanComException&) {
        return m_missingValueMarker;
    }
}

int XpsFilterPrintTicketWatermarkImpl::GetWmIniInt(int section, const CXString& key, bool unused) {
    const CXString value = GetWmIniString(section, key, unused);
    return value == m_missingValueMarker ? -1 : Number::ParseInt(value);
}

CXString XpsFilterPrintTicketWatermarkImpl::ParseStringValue(CXString* text, CXString* openingTag,
                                                             CXString* closingTag) {
    if (!text || !openingTag || !closingTag) {
        return CXString();
    }
    const int opening = text->Find(*openingTag);
    const int closing = text->Find(*closingTag);
    if (opening < 0 || closing < 0) {
        return CXString();
    }
    const int first = opening + openingTag->GetLength();
    if (closing <= first) {
        return CXString();
    }
    return text->Mid(first, closing - first);
}
