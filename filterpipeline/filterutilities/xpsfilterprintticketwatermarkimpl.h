// XpsFilterPrintTicketWatermarkImpl: the view of one scope's tickets that also reads the
// driver's watermark settings (the tagged settings text of the job, the per-user watermark
// file, client job data) into records a filter can draw.
//
// Contract.
// - The records live in the view: the references that the parse operations hand out stay
//   valid while the view lives and change on the next parse. SetPageSize must come before a
//   parse for the positions to be those of the page (816 x 1056, US Letter, otherwise).
// - Every call that asks the spooler or the user's folders (the parses, the client job data
//   readers, the INI path) runs as the view's user (the token of the last Initialize) and
//   gives the thread back the impersonation it had before, also when it throws.
// - The watermark record is parsed again on every call unless its settings text says
//   IniDataType 37; then it is kept until the view is filled again. The annotation record is
//   never kept.
// - The parses report through found and status as the typed getters do
//   (DoStandardStatusReturnProcessing): with a status pointer nothing is raised. A failed
//   BSTR allocation raises ATL::CAtlException(E_OUTOFMEMORY) whatever is given. A parse that
//   fails part of the way leaves its record as it was.
// - No printer of the view's name, or no information context or font for it, is not a
//   failure: the record keeps what it had and the text is not measured. Only a refusal for
//   want of memory fails the parse (E_OUTOFMEMORY).
// - The view holds GDI+ started for its lifetime (GetGdiPlus).
#pragma once

#include <filterutilities/filterutilitiesexport.h>
#include <filterutilities/gdiplus.h>
#include <filterutilities/xpsfilterprintticketbase.h>

#include <kldutil/bytebuffer.h>
#include <kldutil/cxstring.h>

#include <atlbase.h>
#include <windows.h>

namespace PrintSchema {

namespace PageImageableSize {

// The imageable area of a page, in micrometres.
struct PageImageableData {
    int32_t imageableSizeWidth = 0;
    int32_t imageableSizeHeight = 0;
    int32_t originWidth = 0;
    int32_t originHeight = 0;
    int32_t extentWidth = 0;
    int32_t extentHeight = 0;
};

} // namespace PageImageableSize

namespace Watermark {

// The font, size, text and colour of a text or date stamp watermark.
struct WatermarkTextData {
    WatermarkTextData() noexcept;

    LOGFONTW font; // Arial, weight 400, height from the point size at 96 dpi
    int32_t pointSize = 72;
    CComBSTR text;                // what is drawn
    CXString colour = u"#000000"; // "#RRGGBB"
    CXString reservedText;        // kept for the driver; nothing here writes it
};

// The picture of an image watermark.
struct WatermarkImageData {
    CComBSTR imageFile;
    int32_t reserved1 = 0; // kept for the driver; nothing here writes them
    int32_t reserved2 = 0;
    float resolutionX = 96.0f;
    float resolutionY = 96.0f;
};

// What a filter draws. Positions and sizes are in 1/96 inch.
struct WatermarkData {
    enum EType : int32_t {
        Text = 0,
        DateTimeStamp = 1,
        Image = 2,
        None = 4, // this and any other value draws nothing
    };

    int32_t type = None;
    float x = 0.0f; // start of the text's baseline
    float y = 0.0f;
    float extentWidth = 816.0f; // measured size of the text
    float extentHeight = 1056.0f;
    double xOffset = 0.0; // offsets asked for by the settings
    double yOffset = 0.0;
    double pageWidth = 816.0;
    double pageHeight = 1056.0;
    int32_t density = 25;
    int32_t angle = 0; // degrees: the font's escapement / 10
    float imageScale = 0.0f;
    int32_t drawMode = 1;
    bool dataModel = false;
    WatermarkTextData textData;
    WatermarkImageData imageData;
    HANDLE userToken = nullptr; // the token in force when the record was built
    PageImageableSize::PageImageableData imageableArea;
};

} // namespace Watermark
} // namespace PrintSchema

class FILTERUTILITIES_API XpsFilterPrintTicketWatermarkImpl : public XpsFilterPrintTicketBase {
public:
    // The date stamp's pieces.
    enum ETimeStampFormat : int32_t {
        DateTime = 0, // also the answer for any value outside 0 to 7
        Date = 1,
        Time = 2,
        DayDateTime = 3,
        DayDate = 4,
        DateTimeZone = 5,
        TimeZone = 6,
        DayDateTimeZone = 7,
    };

    // What the INI reads answer for a key that is missing.
    static constexpr const WCHAR* kMissingValueMarker = u"!@*^%&$#";

    XpsFilterPrintTicketWatermarkImpl();
    ~XpsFilterPrintTicketWatermarkImpl() override;

    // The watermark described by a tagged settings text ("<Type>0</Type><KldWmText>Draft
    // </KldWmText>..."), measured for the view's printer: E_POINTER for a null text, the
    // Win32 error as HRESULT when the view's user cannot be impersonated.
    const PrintSchema::Watermark::WatermarkData&
    ParseWatermarkData(CXString* settings, bool* found = nullptr, HRESULT* status = nullptr);
    // The annotation line: text in 12-point Helvetica turned by 90 degrees, placed at the
    // imageable origin. buffer must not be null and is not read. Fails as ParseWatermarkData
    // does.
    const PrintSchema::Watermark::WatermarkData&
    ParseAnnotationWatermarkData(CXString* text, ByteBuffer* buffer, bool* found = nullptr,
                                 HRESULT* status = nullptr);

    // The page the records are placed on, in 1/96 inch, and its imageable area; both records.
    void SetPageSize(double width, double height,
                     const PrintSchema::PageImageableSize::PageImageableData& imageableArea);

    // A parameter of the client job data of a job of the view's printer, read as the view's
    // user. False for a null out, no printer, or a parameter that is missing or of the other
    // kind.
    bool GetClientJobDataAsString(ULONG jobId, int parameter, CXString* out);
    bool GetClientJobDataAsByteBuffer(ULONG jobId, int parameter, ByteBuffer* out);

    const PrintSchema::Watermark::WatermarkData& GetWatermarkData() const noexcept {
        return m_watermark;
    }
    const PrintSchema::Watermark::WatermarkData& GetAnnotationData() const noexcept {
        return m_annotation;
    }
    const GDIPlus& GetGdiPlus() const noexcept { return m_gdiPlus; }

protected:
    // The current local time as a date stamp (the time argument is not used).
    CXString GetDateTime(ETimeStampFormat format, FILETIME* time) const;
    // The name of the INI section of a watermark: its number in decimal.
    static CXString WmIniSectionName(int section);
    // A value of the per-user watermark file, or kMissingValueMarker when the file, the
    // section or the key is missing.
    CXString GetWmIniString(int section, const CXString& key, bool unused = false);
    // The same read as a number (as _wtoi reads it); -1 when missing.
    int GetWmIniInt(int section, const CXString& key, bool unused = false);
    // The per-user watermark file (<application data>/Keldan/KldWmV5.ini with the
    // platform's separator), or an empty string while it does not exist.
    CXString GetWatermarkINIPath();
    // What stands between the first opening tag and the first closing tag of the text; empty
    // when either tag is missing, when the closing tag comes first, or for a null argument.
    static CXString ParseStringValue(CXString* text, CXString* openingTag, CXString* closingTag);

private:
    // The parse bodies: they fill record as the view's user and report failures by raising.
    // ParseWatermark answers whether the record is to be kept for the rest of the fill.
    bool ParseWatermark(CXString& settings, PrintSchema::Watermark::WatermarkData& record);
    void ParseAnnotation(const CXString& text, PrintSchema::Watermark::WatermarkData& record);

    PtChangeCounter m_watermarkCounter;
    PrintSchema::Watermark::WatermarkData m_watermark;
    PrintSchema::Watermark::WatermarkData m_annotation;
    GDIPlus m_gdiPlus;
    CXString m_iniPath;
    CXString m_missingValueMarker = kMissingValueMarker;
};
