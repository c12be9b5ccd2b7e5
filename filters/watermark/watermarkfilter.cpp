#include "watermarkfilter.h"

#include "watermarkfont.h"
#include "watermarkglyphs.h"
#include "watermarkimage.h"
#include "watermarkpagewriter.h"

#include <filterutilities/cunknown.h>
#include <filterutilities/debugoutput.h>
#include <filterutilities/pageimageablepchandler.h>
#include <filterutilities/printreadstreamtoistream.h>
#include <filterutilities/xpsfilterbase.h>
#include <filterutilities/xpsfilterprintticket.h>

#include <kldutil/bytebuffer.h>
#include <kldutil/cxstring.h>

#include <atlbase.h>
#include <msxml6.h>
#include <objbase.h>
#include <wingdi.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <numbers>
#include <utility>
#include <vector>

namespace {

using PrintSchema::Watermark::WatermarkData;

// Factories, filters and server locks alive (WatermarkFilterInUse).
std::atomic<LONG> g_objectsAlive{0};

// A font the filter draws with: GDI's font for a LOGFONTW and the file it embeds.
struct DrawingFont {
    LOGFONTW logical{}; // as the record asks for it
    HFONT handle = nullptr;
    TEXTMETRICW metrics{};
    // Shared by the fonts GDI matched to one file; null when no font that may be embedded
    // could be had for the record's: nothing is drawn with it.
    WatermarkFont* file = nullptr;
    std::u16string lastText; // the advances of the text measured last
    std::vector<int> lastAdvances;
};

// One watermark of the page being written: a line of text and the font it needs, or a
// picture and where it goes.
struct PageDrawing {
    WatermarkGlyphs glyphs;
    DrawingFont* font = nullptr;
    WatermarkImage* image = nullptr; // for a picture; then font is null
    WatermarkImage::Placement placement;
    bool under = false;
    // The markup built last, and the page prefix and font form it was built for: the pages
    // that share the drawing share it while their vocabulary is the same.
    std::u16string markup;
    std::u16string markupPrefix;
    bool markupObfuscated = false;
};

bool SameLogicalFont(const LOGFONTW& a, const LOGFONTW& b) {
    // The face name up to its terminator; whatever follows it is not part of the font.
    const auto faceLength = [](const LOGFONTW& f) {
        return std::find(f.lfFaceName, f.lfFaceName + LF_FACESIZE, u'\0') - f.lfFaceName;
    };
    return std::memcmp(&a, &b, offsetof(LOGFONTW, lfFaceName)) == 0 &&
           faceLength(a) == faceLength(b) &&
           std::equal(a.lfFaceName, a.lfFaceName + faceLength(a), b.lfFaceName);
}

bool IsColour(std::u16string_view text) {
    return text.size() == 7 && text[0] == u'#' &&
           std::all_of(text.begin() + 1, text.end(), [](char16_t c) {
               return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F') ||
                      (c >= u'a' && c <= u'f');
           });
}

// The marks of one page: the drawings' markup in the page's vocabulary. Which fonts the page
// names, and in which form, is known once the page's root has been read.
class PageMarks final : public IWatermarkMarks {
public:
    explicit PageMarks(std::vector<PageDrawing>& drawings) : m_drawings(drawings) {}

    HRESULT MarksFor(std::u16string_view namespaceUri, std::u16string_view prefix,
                     std::u16string* under, std::u16string* over) override {
        try {
            m_openXps = namespaceUri == WatermarkPageWriter::kOpenXpsNamespace;
            for (PageDrawing& drawing : m_drawings) {
                std::u16string& marks = drawing.under ? *under : *over;
                if (drawing.image) {
                    marks += drawing.image->Markup(prefix, drawing.placement);
                    continue;
                }
                const bool obfuscated = Obfuscated(*drawing.font->file);
                if (drawing.markup.empty() || drawing.markupPrefix != prefix ||
                    drawing.markupObfuscated != obfuscated) {
                    // Emptied first: a markup is kept only beside the vocabulary it is for.
                    drawing.markup.clear();
                    drawing.markupPrefix = prefix;
                    drawing.markupObfuscated = obfuscated;
                    drawing.markup =
                        drawing.glyphs.Markup(prefix, drawing.font->file->PartName(obfuscated));
                }
                marks += drawing.markup;
            }
            m_read = true;
            return S_OK;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }

    // Microsoft XPS packages carry embedded fonts obfuscated, as the Windows print path writes
    // them; OpenXPS packages carry them as plain OpenType, except a restricted font (print and
    // preview embedding), which is obfuscated in either.
    bool Obfuscated(const WatermarkFont& font) const {
        return !m_openXps || font.Restriction() == Xps_Restricted_Font_PreviewPrint;
    }
    bool Read() const { return m_read; }

private:
    std::vector<PageDrawing>& m_drawings;
    bool m_openXps = false;
    bool m_read = false;
};

class WatermarkFilter final : public XpsFilterBase {
public:
    explicit WatermarkFilter(const WatermarkFilterOptions& options) : m_options(options) {
        m_printTicketManager.m_mergeEnabled = true;
        ++g_objectsAlive;
    }
    ~WatermarkFilter() override {
        if (m_dc) {
            if (m_stockFont) {
                SelectObject(m_dc, m_stockFont);
            }
            for (const auto& font : m_fonts) {
                DeleteObject(font->handle);
            }
            DeleteDC(m_dc);
        }
        --g_objectsAlive;
    }

protected:
    HRESULT OnFixedPage(IFixedPage* page) override {
        if (!page) {
            return E_POINTER;
        }
        if (m_settingsRead && m_settings.GetLength() == 0 && m_options.annotation.empty()) {
            return XpsFilterBase::OnFixedPage(page); // a job with nothing to draw
        }
        XpsFilterPrintTicket* view = nullptr;
        HRESULT hr = m_printTicketManager.InitializeWithPrintTicket(page);
        if (SUCCEEDED(hr)) {
            hr = m_printTicketManager.GetTicket(kPTPageScope, &view);
        }
        if (SUCCEEDED(hr)) {
            hr = PrepareDrawings(*view);
        }
        if (SUCCEEDED(hr) && !m_drawings.empty()) {
            hr = DrawOn(page);
        }
        return FAILED(hr) ? hr : XpsFilterBase::OnFixedPage(page);
    }

private:
    // The job's settings text, read once: the options' own, or the job's client job data.
    const CXString& Settings(XpsFilterPrintTicket& view) {
        if (!m_settingsRead) {
            m_settingsRead = true;
            if (!m_options.settings.empty()) {
                m_settings = CXString(std::u16string_view(m_options.settings));
            } else {
                ULONG jobId = 0;
                CXString text;
                if (SUCCEEDED(GetJobIdFromPropertyBag(&jobId)) &&
                    view.GetClientJobDataAsString(jobId, m_options.settingsParameter, &text)) {
                    m_settings = std::move(text);
                }
            }
        }
        return m_settings;
    }

    // The page's drawings: those of the page before while the page's view reads as it did
    // for them and no date stamp among them has passed into another second; else new ones.
    HRESULT PrepareDrawings(XpsFilterPrintTicket& view) {
        // The clock is read before a stamp's text is formed: a second that ends while it is
        // formed makes the next page form it again.
        const ULONGLONG second = CurrentSecond();
        if (m_prepared.valid && m_prepared.content == view.GetContentCounter() &&
            (!m_prepared.stamped || m_prepared.second == second)) {
            return S_OK;
        }
        m_prepared.valid = false;
        m_prepared.stamped = false;
        const HRESULT hr = PrepareNewDrawings(view);
        if (SUCCEEDED(hr)) {
            m_prepared.valid = true;
            m_prepared.content = view.GetContentCounter();
            m_prepared.second = second;
        }
        return hr;
    }

    static ULONGLONG CurrentSecond() {
        FILETIME now{};
        GetSystemTimeAsFileTime(&now);
        return ((static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime) /
               10'000'000u;
    }

    // The watermark and the annotation that draw something, from the page's view.
    HRESULT PrepareNewDrawings(XpsFilterPrintTicket& view) {
        m_drawings.clear();
        CXString settings = Settings(view);
        if (settings.GetLength() == 0 && m_options.annotation.empty()) {
            return S_OK;
        }
        // The page the records are placed on: the ticket's media, turned for a landscape
        // orientation, in 1/96 inch.
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
        PrintSchema::PageImageableSize::PageImageableData area;
        if (!m_options.annotation.empty()) {
            // The area is filled also when the driver does not answer (E_FAIL).
            const HRESULT hr = CPageImageablePCHandler(&view).GetData(
                view.GetPrinterName(), view.GetUserToken(), &media, &area);
            if (FAILED(hr) && hr != E_FAIL) {
                return hr;
            }
        }
        view.SetPageSize(width, height, area);

        if (settings.GetLength() > 0) {
            status = S_OK;
            const WatermarkData& record = view.ParseWatermarkData(&settings, nullptr, &status);
            if (FAILED(status)) {
                return status;
            }
            const HRESULT hr = AddDrawing(view, record, false);
            if (FAILED(hr)) {
                return hr;
            }
        }
        if (!m_options.annotation.empty()) {
            CXString text(std::u16string_view(m_options.annotation));
            ByteBuffer unused;
            status = S_OK;
            const WatermarkData& record =
                view.ParseAnnotationWatermarkData(&text, &unused, nullptr, &status);
            if (FAILED(status)) {
                return status;
            }
            return AddDrawing(view, record, true);
        }
        return S_OK;
    }

    HRESULT AddDrawing(XpsFilterPrintTicket& view, const WatermarkData& record, bool annotation) {
        if (record.type == WatermarkData::Image && !annotation) {
            return AddPicture(record);
        }
        if ((record.type != WatermarkData::Text && record.type != WatermarkData::DateTimeStamp) ||
            record.textData.text.Length() == 0 || record.density <= 0) {
            return S_OK;
        }
        PageDrawing drawing;
        HRESULT hr = FontFor(view, record.textData.font, &drawing.font);
        if (FAILED(hr)) {
            return hr;
        }
        if (!drawing.font->file) {
            return S_OK; // no font may be embedded for it: the page goes on without it
        }
        WatermarkGlyphs& g = drawing.glyphs;
        g.text = WatermarkGlyphs::FitForXml(
            std::u16string_view(record.textData.text.m_str, record.textData.text.Length()));
        hr = Advances(*drawing.font, g.text, &g.advances);
        if (FAILED(hr)) {
            return hr;
        }
        const LOGFONTW& logical = record.textData.font;
        const TEXTMETRICW& metrics = drawing.font->metrics;
        // The em GDI measured with: the height asked for, unless GDI could not honour it (a
        // cell height, or a size beyond what it measures), then the one its metrics give.
        const double measuredEm = metrics.tmHeight - metrics.tmInternalLeading;
        g.emSize = logical.lfHeight < 0 &&
                           std::abs(-static_cast<double>(logical.lfHeight) - measuredEm) <= 1
                       ? -static_cast<double>(logical.lfHeight)
                       : measuredEm;
        g.originX = record.x;
        g.originY = record.y;
        const double width = record.extentWidth;
        const double height = record.extentHeight;
        const double top = record.y + metrics.tmDescent - height;
        g.box[0] = record.x;
        g.box[1] = top;
        g.box[2] = width;
        g.box[3] = height;
        if (annotation) {
            // The record's frame is the page turned by 90 degrees: its x runs up the page from
            // the bottom edge, its y across from the left edge.
            const double pageHeight = record.pageHeight;
            const double turned[6] = {0, -1, 1, 0, 0, pageHeight};
            std::copy(turned, turned + 6, g.matrix);
        } else if (record.angle != 0 || record.xOffset != 0 || record.yOffset != 0) {
            const double radians = record.angle * std::numbers::pi / 180.0;
            const double c = std::cos(radians);
            const double s = std::sin(radians);
            const double cx = record.x + width / 2;
            const double cy = top + height / 2;
            // Counter-clockwise on the page (whose y runs down) about the box's centre.
            const double turned[6] = {c,
                                      -s,
                                      s,
                                      c,
                                      cx - cx * c - cy * s + record.xOffset,
                                      cy + cx * s - cy * c + record.yOffset};
            std::copy(turned, turned + 6, g.matrix);
        }
        const std::u16string_view colour = record.textData.colour.View();
        g.fill = IsColour(colour) ? std::u16string(colour) : u"#000000";
        g.opacity = std::min(record.density, 100) / 100.0;
        const WatermarkFont& file = *drawing.font->file;
        g.bold = logical.lfWeight >= FW_SEMIBOLD && file.WeightClass() < FW_SEMIBOLD;
        g.italic = logical.lfItalic && !file.Italic();
        // The annotation stays over the page's content; the watermark goes under it when its
        // draw mode says so (0), over it otherwise.
        drawing.under = !annotation && record.drawMode == 0;
        m_drawings.push_back(std::move(drawing));
        m_prepared.stamped = m_prepared.stamped || record.type == WatermarkData::DateTimeStamp;
        return S_OK;
    }

    // A picture: the record's image file at its own size times the scale, centred on the page
    // and moved by the offsets as a text watermark is, its density the opacity. A file that
    // cannot be drawn leaves the page as it is; why is said once, on the debugger.
    HRESULT AddPicture(const WatermarkData& record) {
        if (record.density <= 0 || record.imageData.imageFile.Length() == 0) {
            return S_OK;
        }
        WatermarkImage* image = ImageFor(std::u16string_view(record.imageData.imageFile.m_str,
                                                             record.imageData.imageFile.Length()));
        if (!image) {
            return S_OK;
        }
        const double scale = record.imageScale > 0 ? record.imageScale : 1.0;
        PageDrawing drawing;
        drawing.image = image;
        WatermarkImage::Placement& at = drawing.placement;
        at.width = image->Width() * scale;
        at.height = image->Height() * scale;
        at.left = (record.pageWidth - at.width) / 2 + record.xOffset;
        at.top = (record.pageHeight - at.height) / 2 + record.yOffset;
        at.opacity = std::min(record.density, 100) / 100.0;
        if (!(at.width > 0 && at.height > 0 && std::isfinite(at.left) && std::isfinite(at.top) &&
              std::isfinite(at.width) && std::isfinite(at.height))) {
            return S_OK;
        }
        drawing.under = record.drawMode == 0;
        m_drawings.push_back(std::move(drawing));
        return S_OK;
    }

    // The image file at path, read on first use and kept for the job; null (said once) when it
    // cannot be drawn.
    WatermarkImage* ImageFor(std::u16string_view path) {
        for (const auto& [known, image] : m_images) {
            if (known == path) {
                return image.get();
            }
        }
        auto image = std::make_unique<WatermarkImage>();
        const HRESULT hr = WatermarkImage::Load(path, image.get());
        if (FAILED(hr)) {
            std::string name;
            for (char16_t c : path) {
                name += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
            }
            DbgPrint("watermark: the image file \"%s\" cannot be drawn (0x%08X: %s); pages go "
                     "on without it\n",
                     name.c_str(), static_cast<unsigned>(hr),
                     hr == HRESULT_FROM_WIN32(ERROR_INVALID_DATA)
                         ? "not a PNG, JPEG or TIFF image, or a damaged one"
                         : "it cannot be read");
            image.reset();
        }
        m_images.emplace_back(std::u16string(path), std::move(image));
        return m_images.back().second.get();
    }

    // The font for a LOGFONTW, made and read on first use, then kept for the job. A font whose
    // licence forbids embedding is not embedded: the face GDI gives for no name (its default)
    // stands in for it when that one may be, else the font draws nothing. Either is said once,
    // on the debugger.
    HRESULT FontFor(XpsFilterPrintTicket& view, const LOGFONTW& logical, DrawingFont** out) {
        for (const auto& font : m_fonts) {
            if (SameLogicalFont(font->logical, logical)) {
                *out = font.get();
                return S_OK;
            }
        }
        if (!m_dc) {
            m_dc = CreateICW(nullptr, view.GetPrinterName(), nullptr, nullptr);
            if (!m_dc) {
                return HRESULT_FROM_WIN32(GetLastError());
            }
        }
        auto font = std::make_unique<DrawingFont>();
        font->logical = logical;
        HRESULT hr = Open(logical, *font);
        if (SUCCEEDED(hr) && !font->file->MayBeEmbedded()) {
            const std::string face = FaceOf(logical);
            LOGFONTW standIn = logical;
            std::fill(std::begin(standIn.lfFaceName), std::end(standIn.lfFaceName), u'\0');
            hr = Open(standIn, *font);
            if (SUCCEEDED(hr) && font->file->MayBeEmbedded()) {
                DbgPrint("watermark: the font matched for \"%s\" may not be embedded (its licence "
                         "restricts embedding); the watermark is drawn with the default face\n",
                         face.c_str());
            } else if (SUCCEEDED(hr)) {
                DbgPrint("watermark: the font matched for \"%s\" may not be embedded (its licence "
                         "restricts embedding), nor may the default face; what it would draw is "
                         "left out\n",
                         face.c_str());
                font->file = nullptr;
            }
        }
        if (FAILED(hr)) {
            return hr;
        }
        m_fonts.push_back(std::move(font));
        *out = m_fonts.back().get();
        return S_OK;
    }

    // Makes GDI's font for logical into font (the handle, its metrics and its file), in place
    // of whatever font held.
    HRESULT Open(const LOGFONTW& logical, DrawingFont& font) {
        if (font.handle) {
            if (m_stockFont) {
                SelectObject(m_dc, m_stockFont);
            }
            DeleteObject(font.handle);
        }
        font.file = nullptr;
        font.handle = CreateFontIndirectW(&logical);
        if (!font.handle) {
            return HRESULT_FROM_WIN32(GetLastError());
        }
        HRESULT hr = Select(font);
        if (SUCCEEDED(hr) && !GetTextMetricsW(m_dc, &font.metrics)) {
            hr = HRESULT_FROM_WIN32(GetLastError());
        }
        if (SUCCEEDED(hr)) {
            hr = FileOf(&font.file);
        }
        if (FAILED(hr)) {
            if (m_stockFont) {
                SelectObject(m_dc, m_stockFont);
            }
            DeleteObject(font.handle);
            font.handle = nullptr;
        }
        return hr;
    }

    static std::string FaceOf(const LOGFONTW& logical) {
        std::string face;
        for (const WCHAR* c = logical.lfFaceName; c < logical.lfFaceName + LF_FACESIZE && *c; ++c) {
            face += *c >= 0x20 && *c < 0x7F ? static_cast<char>(*c) : '?';
        }
        return face;
    }

    // The file of the font selected now, embedded once however many logical fonts GDI
    // matches to it ("Arial" and "Helvetica" both to one face).
    HRESULT FileOf(WatermarkFont** out) {
        auto file = std::make_unique<WatermarkFont>();
        const HRESULT hr = WatermarkFont::Load(m_dc, file.get());
        if (FAILED(hr)) {
            return hr;
        }
        for (const auto& known : m_files) {
            if (known->Bytes() == file->Bytes()) {
                *out = known.get();
                return S_OK;
            }
        }
        m_files.push_back(std::move(file));
        *out = m_files.back().get();
        return S_OK;
    }

    HRESULT Select(const DrawingFont& font) {
        HGDIOBJ previous = SelectObject(m_dc, font.handle);
        if (!previous) {
            return HRESULT_FROM_WIN32(GetLastError());
        }
        if (!m_stockFont) {
            m_stockFont = previous; // the context's own font, put back before it is deleted
        }
        return S_OK;
    }

    // Each UTF-16 unit's advance as GDI measures it; a pair's second unit gets 0.
    HRESULT Advances(DrawingFont& font, const std::u16string& text, std::vector<int>* out) {
        if (font.lastText == text && !font.lastAdvances.empty()) {
            *out = font.lastAdvances;
            return S_OK;
        }
        HRESULT hr = Select(font);
        std::vector<int> advances(text.size(), 0);
        for (size_t i = 0; SUCCEEDED(hr) && i < text.size(); ++i) {
            const bool pair = text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size();
            SIZE size{};
            if (!GetTextExtentPoint32W(m_dc, text.data() + i, pair ? 2 : 1, &size)) {
                hr = HRESULT_FROM_WIN32(GetLastError());
            }
            advances[i] = size.cx;
            i += pair ? 1 : 0;
        }
        if (FAILED(hr)) {
            return hr;
        }
        font.lastText = text;
        font.lastAdvances = advances;
        *out = std::move(advances);
        return S_OK;
    }

    // Writes the page again with its drawings and names their fonts as its resources.
    HRESULT DrawOn(IFixedPage* page) {
        if (!m_reader) {
            const HRESULT hr =
                ::CoCreateInstance(CLSID_SAXXMLReader60, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_ISAXXMLReader, reinterpret_cast<void**>(&m_reader));
            if (FAILED(hr)) {
                return hr;
            }
        }
        // The markup is read before the page is given new content.
        CComPtr<IPrintReadStream> markup;
        HRESULT hr = page->GetStream(&markup);
        if (FAILED(hr)) {
            return hr;
        }
        // Forward only: the SAX reader reads the markup once from its start.
        CComPtr<ISequentialStream> input;
        input.Attach(new pfp::PrintReadStreamToSeqStream(markup));
        CComPtr<IPrintWriteStream> output;
        hr = page->GetWriteStream(&output);
        if (FAILED(hr)) {
            return hr;
        }
        PageMarks marks(m_drawings);
        CComPtr<WatermarkPageWriter> writer;
        writer.Attach(new WatermarkPageWriter(output, &marks));
        hr = m_reader->putContentHandler(writer);
        if (SUCCEEDED(hr)) {
            VARIANT source{};
            source.vt = VT_UNKNOWN;
            source.punkVal = input;
            hr = m_reader->parse(source);
            m_reader->putContentHandler(nullptr);
        }
        output->Close();
        if (SUCCEEDED(hr) && !marks.Read()) {
            hr = HRESULT_FROM_WIN32(ERROR_INVALID_DATA); // no root element
        }
        for (size_t i = 0; SUCCEEDED(hr) && i < m_drawings.size(); ++i) {
            if (m_drawings[i].image) {
                hr = m_resourceCache.WriteResource(m_xpsWriter, page, m_drawings[i].image);
                continue;
            }
            WatermarkFont& file = *m_drawings[i].font->file;
            file.UseForm(marks.Obfuscated(file));
            hr = m_resourceCache.WriteResource(m_xpsWriter, page, &file);
        }
        return hr;
    }

    WatermarkFilterOptions m_options;
    bool m_settingsRead = false;
    CXString m_settings;
    CComPtr<ISAXXMLReader> m_reader;
    HDC m_dc = nullptr;
    HGDIOBJ m_stockFont = nullptr;
    std::vector<std::unique_ptr<WatermarkFont>> m_files;
    std::vector<std::unique_ptr<DrawingFont>> m_fonts;
    std::vector<std::pair<std::u16string, std::unique_ptr<WatermarkImage>>> m_images;
    std::vector<PageDrawing> m_drawings;
    // What m_drawings were prepared from.
    struct {
        bool valid = false;
        XpsFilterPrintTicketBase::PtChangeCounter content; // the page view's content counter
        bool stamped = false;                              // a date stamp is among them
        ULONGLONG second = 0;                              // the second before its text
    } m_prepared;
};

class WatermarkFilterFactory final : public CUnknown<IClassFactory> {
public:
    explicit WatermarkFilterFactory(const WatermarkFilterOptions& options)
        : CUnknown(IID_IClassFactory), m_options(options) {
        ++g_objectsAlive;
    }
    ~WatermarkFilterFactory() override { --g_objectsAlive; }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        if (!object) {
            return E_POINTER;
        }
        *object = nullptr;
        if (outer) {
            return CLASS_E_NOAGGREGATION;
        }
        WatermarkFilter* filter = nullptr;
        try {
            filter = new WatermarkFilter(m_options);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = filter->QueryInterface(riid, object);
        filter->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        g_objectsAlive += lock ? 1 : -1;
        return S_OK;
    }

private:
    WatermarkFilterOptions m_options;
};

} // namespace

HRESULT MakeWatermarkFilterFactory(const WatermarkFilterOptions& options, IClassFactory** factory) {
    if (!factory) {
        return E_POINTER;
    }
    *factory = nullptr;
    try {
        *factory = new WatermarkFilterFactory(options);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

bool WatermarkFilterInUse() noexcept {
    return g_objectsAlive.load() != 0;
}
