#include "watermarkimage.h"

#include "watermarkglyphs.h"
#include "watermarkguid.h"
#include "watermarkpagewriter.h"

#include <atlbase.h>
#include <filterpipeline.h>
#include <oleauto.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <stdexcept>

namespace {

constexpr HRESULT kBadImage = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
constexpr double kMetresPerInch = 0.0254;
constexpr double kCentimetresPerInch = 2.54;

uint16_t Big16(const BYTE* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t Big32(const BYTE* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// The UTF-8 form of a path, for the C library.
std::string Utf8(std::u16string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

struct Header {
    uint32_t width = 0;
    uint32_t height = 0;
    double dpiX = 0; // 0: not stated
    double dpiY = 0;
    bool compressed = true; // the pixels are compressed in the file: deflating gains nothing
};

// IHDR gives the size; pHYs, when it comes before the image data, the resolution (pixels per
// metre, unit 1).
bool ReadPng(const std::vector<BYTE>& b, Header& h) {
    size_t at = 8;
    while (at + 12 <= b.size()) {
        const uint32_t length = Big32(&b[at]);
        const BYTE* type = &b[at + 4];
        if (length > b.size() - at - 12) {
            return false;
        }
        const BYTE* data = &b[at + 8];
        if (std::memcmp(type, "IHDR", 4) == 0) {
            if (length < 8) {
                return false;
            }
            h.width = Big32(data);
            h.height = Big32(data + 4);
        } else if (std::memcmp(type, "pHYs", 4) == 0 && length >= 9 && data[8] == 1) {
            h.dpiX = Big32(data) * kMetresPerInch;
            h.dpiY = Big32(data + 4) * kMetresPerInch;
        } else if (std::memcmp(type, "IDAT", 4) == 0 || std::memcmp(type, "IEND", 4) == 0) {
            break;
        }
        at += 12 + size_t{length};
    }
    return h.width != 0 && h.height != 0;
}

// A start-of-frame marker gives the size; a JFIF APP0 segment the density (unit 1 dots per
// inch, 2 per centimetre).
bool ReadJpeg(const std::vector<BYTE>& b, Header& h) {
    size_t at = 2;
    while (at + 4 <= b.size()) {
        if (b[at] != 0xFF) {
            return false;
        }
        const BYTE marker = b[at + 1];
        if (marker == 0xFF) {
            ++at; // fill byte
            continue;
        }
        if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            at += 2;
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA) {
            break; // end of image, or the scan: no frame header before it
        }
        const size_t length = Big16(&b[at + 2]);
        if (length < 2 || length > b.size() - at - 2) {
            return false;
        }
        const BYTE* data = &b[at + 4];
        const bool frame =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (length < 7) {
                return false;
            }
            h.height = Big16(data + 1);
            h.width = Big16(data + 3);
            return h.width != 0 && h.height != 0;
        }
        if (marker == 0xE0 && length >= 14 && std::memcmp(data, "JFIF\0", 5) == 0) {
            const BYTE unit = data[7];
            const double x = Big16(data + 8);
            const double y = Big16(data + 10);
            if (unit == 1 || unit == 2) {
                const double perInch = unit == 1 ? 1 : kCentimetresPerInch;
                h.dpiX = x * perInch;
                h.dpiY = y * perInch;
            }
        }
        at += 2 + length;
    }
    return false;
}

// The first image file directory: width (256), length (257), resolutions (282, 283) and their
// unit (296: 2 inch, the default, 3 centimetre), and whether its pixels are compressed (259:
// 1, the default, for none).
bool ReadTiff(const std::vector<BYTE>& b, Header& h) {
    h.compressed = false;
    const bool little = b[0] == 'I';
    const auto u16 = [&](size_t at) -> uint32_t {
        return little ? uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 : Big16(&b[at]);
    };
    const auto u32 = [&](size_t at) -> uint32_t {
        return little ? uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
                            uint32_t{b[at + 3]} << 24
                      : Big32(&b[at]);
    };
    const uint32_t directory = u32(4);
    if (directory > b.size() - 2) {
        return false;
    }
    const uint32_t count = u16(directory);
    if (count > (b.size() - directory - 2) / 12) {
        return false;
    }
    double resolution[2] = {0, 0};
    uint32_t unit = 2;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t entry = directory + 2 + 12 * size_t{i};
        const uint32_t tag = u16(entry);
        const uint32_t type = u16(entry + 2);
        const uint32_t value = type == 3 ? u16(entry + 8) : u32(entry + 8);
        if (tag == 256) {
            h.width = value;
        } else if (tag == 257) {
            h.height = value;
        } else if ((tag == 282 || tag == 283) && type == 5) {
            if (value > b.size() - 8) {
                return false;
            }
            const uint32_t denominator = u32(value + 4);
            if (denominator != 0) {
                resolution[tag - 282] = double(u32(value)) / denominator;
            }
        } else if (tag == 296) {
            unit = value;
        } else if (tag == 259) {
            h.compressed = value != 1;
        }
    }
    if (unit == 2 || unit == 3) {
        const double perInch = unit == 2 ? 1 : kCentimetresPerInch;
        h.dpiX = resolution[0] * perInch;
        h.dpiY = resolution[1] * perInch;
    }
    return h.width != 0 && h.height != 0;
}

HRESULT HandBstr(const std::u16string& text, BSTR* out) {
    if (!out) {
        return E_POINTER;
    }
    *out = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

} // namespace

HRESULT WatermarkImage::Load(std::u16string_view path, WatermarkImage* image) {
    if (!image) {
        return E_POINTER;
    }
    try {
        // Only a regular file: a FIFO or a device would hold the job up, or never end.
        const std::filesystem::path name(Utf8(path));
        std::error_code error;
        const std::filesystem::file_status status = std::filesystem::status(name, error);
        if (error || !std::filesystem::exists(status)) {
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        }
        if (!std::filesystem::is_regular_file(status)) {
            return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
        }
        const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(name.c_str(), "rb"));
        if (!file) {
            return errno == ENOENT ? HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
                                   : HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
        }
        std::vector<BYTE> bytes;
        BYTE chunk[64 * 1024];
        while (const size_t got = std::fread(chunk, 1, sizeof chunk, file.get())) {
            if (bytes.size() + got > kMaxBytes) {
                return HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
            }
            bytes.insert(bytes.end(), chunk, chunk + got);
        }
        if (std::ferror(file.get())) {
            return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
        }
        return Parse(std::move(bytes), image);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const std::length_error&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT WatermarkImage::Parse(std::vector<BYTE> bytes, WatermarkImage* image) {
    if (!image) {
        return E_POINTER;
    }
    static constexpr BYTE kPng[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Header header;
    const char16_t* contentType = nullptr;
    const char16_t* extension = nullptr;
    const auto startsWith = [&](const BYTE* signature, size_t size) {
        return bytes.size() >= size && std::memcmp(bytes.data(), signature, size) == 0;
    };
    static constexpr BYTE kJpeg[] = {0xFF, 0xD8, 0xFF};
    static constexpr BYTE kTiffLittle[] = {'I', 'I', 42, 0};
    static constexpr BYTE kTiffBig[] = {'M', 'M', 0, 42};
    if (startsWith(kPng, sizeof kPng)) {
        if (!ReadPng(bytes, header)) {
            return kBadImage;
        }
        contentType = u"image/png";
        extension = u".png";
    } else if (startsWith(kJpeg, sizeof kJpeg)) {
        if (!ReadJpeg(bytes, header)) {
            return kBadImage;
        }
        contentType = u"image/jpeg";
        extension = u".jpg";
    } else if (bytes.size() >= 8 && (startsWith(kTiffLittle, sizeof kTiffLittle) ||
                                     startsWith(kTiffBig, sizeof kTiffBig))) {
        if (!ReadTiff(bytes, header)) {
            return kBadImage;
        }
        contentType = u"image/tiff";
        extension = u".tif";
    } else {
        return kBadImage;
    }
    // A resolution that is not stated, or not believable, is the page's own.
    const auto believable = [](double dpi) { return dpi >= 1 && dpi <= 100000; };
    try {
        std::u16string digits = NewGuidDigits();
        image->m_partName = u"/Resources/Images/" + GuidText(digits) + extension;
        image->m_guidDigits = std::move(digits);
        image->m_contentType = contentType;
        image->m_bytes = std::move(bytes);
        image->m_width = header.width;
        image->m_height = header.height;
        image->m_dpiX = believable(header.dpiX) ? header.dpiX : 96;
        image->m_dpiY = believable(header.dpiY) ? header.dpiY : 96;
        image->m_compressed = header.compressed;
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const std::exception&) {
        return E_FAIL; // no random device for the part name's GUID
    }
}

std::u16string WatermarkImage::Markup(std::u16string_view prefix, const Placement& at) const {
    using N = WatermarkGlyphs;
    const std::u16string left = N::Number(at.left);
    const std::u16string top = N::Number(at.top);
    const std::u16string right = N::Number(at.left + at.width);
    const std::u16string bottom = N::Number(at.top + at.height);
    std::u16string p(prefix);
    std::u16string out = u'<' + p + u"Path Data=\"M " + left + u',' + top + u" L " + right + u',' +
                         top + u' ' + right + u',' + bottom + u' ' + left + u',' + bottom +
                         u" Z\" Opacity=\"" + N::Number(at.opacity) + u"\"><" + p + u"Path.Fill><" +
                         p + u"ImageBrush ImageSource=\"";
    WatermarkPageWriter::AppendEscaped(out, m_partName);
    out += u"\" Viewbox=\"0,0," + N::Number(Width()) + u',' + N::Number(Height()) +
           u"\" ViewboxUnits=\"Absolute\" Viewport=\"" + left + u',' + top + u',' +
           N::Number(at.width) + u',' + N::Number(at.height) +
           u"\" ViewportUnits=\"Absolute\"/></" + p + u"Path.Fill></" + p + u"Path>";
    return out;
}

HRESULT WatermarkImage::WriteResourceData(IUnknown* newPart, IPrintWriteStream* stream) {
    if (!newPart || !stream) {
        return E_POINTER;
    }
    CComPtr<IPartImage> part;
    HRESULT hr = newPart->QueryInterface(IID_IPartImage, reinterpret_cast<void**>(&part));
    if (SUCCEEDED(hr)) {
        hr = part->SetImageContent(m_contentType.c_str());
    }
    if (SUCCEEDED(hr) && m_compressed) {
        // Deflating compressed pixels costs time and gains nothing: the writer stores them.
        hr = part->SetPartCompression(Compression_NotCompressed);
    }
    constexpr size_t kSlice = 1 << 20;
    for (size_t at = 0; SUCCEEDED(hr) && at < m_bytes.size(); at += kSlice) {
        const size_t count = std::min(kSlice, m_bytes.size() - at);
        ULONG written = 0;
        hr = stream->WriteBytes(m_bytes.data() + at, static_cast<ULONG>(count), &written);
        if (SUCCEEDED(hr) && written != count) {
            hr = HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
        }
    }
    return hr;
}

HRESULT WatermarkImage::GetResourceKey(BSTR* key) {
    return HandBstr(u"watermark-image:" + m_guidDigits, key);
}

HRESULT WatermarkImage::GetResourceUri(BSTR* uri) {
    return HandBstr(m_partName, uri);
}

REFIID WatermarkImage::GetResourceInterfaceId() {
    return IID_IPartImage;
}
