#include "watermarkfont.h"

#include "watermarkguid.h"

#include <atlbase.h>
#include <filterpipeline.h>
#include <oleauto.h>
#include <wingdi.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {

constexpr DWORD kCollectionTag = 0x66637474; // "ttcf" as GDI packs a tag
constexpr HRESULT kBadFont = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
constexpr WCHAR kObfuscatedContentType[] = u"application/vnd.ms-package.obfuscated-opentype";
constexpr WCHAR kPlainContentType[] = u"application/vnd.ms-opentype";

uint16_t Read16(const BYTE* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t Read32(const BYTE* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
void Write32(BYTE* p, uint32_t v) {
    p[0] = static_cast<BYTE>(v >> 24);
    p[1] = static_cast<BYTE>(v >> 16);
    p[2] = static_cast<BYTE>(v >> 8);
    p[3] = static_cast<BYTE>(v);
}

// GDI packs a tag with its first letter in the low byte; the file stores it first.
DWORD GdiTag(const BYTE* fileTag) {
    return DWORD{fileTag[0]} | DWORD{fileTag[1]} << 8 | DWORD{fileTag[2]} << 16 |
           DWORD{fileTag[3]} << 24;
}

using Source = WatermarkFont::FontDataSource;

// The data of one table (or of the font, for table 0) of the font.
HRESULT ReadFontData(const Source& source, DWORD table, std::vector<BYTE>& out) {
    const DWORD size = source(table, 0, nullptr, 0);
    if (size == GDI_ERROR) {
        return kBadFont;
    }
    out.resize(size);
    if (size > 0 && source(table, 0, out.data(), size) != size) {
        return kBadFont;
    }
    return S_OK;
}

// Whether the font's table directory fits the data and every table lies inside it: what a
// consumer checks before it draws with the font.
bool SoundDirectory(const std::vector<BYTE>& font) {
    if (font.size() < 12) {
        return false;
    }
    const size_t count = Read16(font.data() + 4);
    if (count == 0 || 12 + 16 * count > font.size()) {
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        const BYTE* record = font.data() + 12 + 16 * i;
        const uint64_t offset = Read32(record + 8);
        const uint64_t length = Read32(record + 12);
        if (offset + length > font.size()) {
            return false;
        }
    }
    return true;
}

// A table of an OpenType font in memory, or an empty view when it has none.
struct TableView {
    const BYTE* data = nullptr;
    uint32_t size = 0;
};
TableView FindTable(const std::vector<BYTE>& font, const char tag[4]) {
    if (font.size() < 12) {
        return {};
    }
    const uint32_t count = Read16(font.data() + 4);
    for (uint32_t i = 0; i < count; ++i) {
        const size_t record = 12 + 16 * size_t{i};
        if (record + 16 > font.size()) {
            return {};
        }
        if (std::memcmp(font.data() + record, tag, 4) == 0) {
            const uint32_t offset = Read32(font.data() + record + 8);
            const uint32_t length = Read32(font.data() + record + 12);
            if (offset > font.size() || length > font.size() - offset) {
                return {};
            }
            return {font.data() + offset, length};
        }
    }
    return {};
}

// A standalone font made of the tables of a font of a collection: GDI hands out the font's
// own offset table (table 0) whose table records give file offsets of the collection, so the
// tables are read one by one and laid out again, each on a four-byte boundary.
HRESULT BuildStandaloneFont(const Source& source, std::vector<BYTE>& out) {
    BYTE header[12];
    if (source(0, 0, header, sizeof header) != sizeof header) {
        return kBadFont;
    }
    const uint32_t count = Read16(header + 4);
    if (count == 0 || count > 1024) {
        return kBadFont;
    }
    std::vector<BYTE> records(16 * size_t{count});
    if (source(0, 12, records.data(), static_cast<DWORD>(records.size())) != records.size()) {
        return kBadFont;
    }
    out.assign(header, header + sizeof header);
    out.resize(12 + records.size());
    std::vector<BYTE> table;
    for (uint32_t i = 0; i < count; ++i) {
        BYTE* record = out.data() + 12 + 16 * size_t{i};
        std::memcpy(record, records.data() + 16 * size_t{i}, 16);
        const HRESULT hr = ReadFontData(source, GdiTag(record), table);
        if (FAILED(hr)) {
            return hr;
        }
        if (out.size() + table.size() + 3 > 0x7FFFFFFFu) {
            return kBadFont;
        }
        record = out.data() + 12 + 16 * size_t{i}; // out may have moved
        Write32(record + 8, static_cast<uint32_t>(out.size()));
        Write32(record + 12, static_cast<uint32_t>(table.size()));
        out.insert(out.end(), table.begin(), table.end());
        out.resize((out.size() + 3) & ~size_t{3}, 0);
    }
    return S_OK;
}

HRESULT HandBstr(const std::u16string& text, BSTR* out) {
    if (!out) {
        return E_POINTER;
    }
    *out = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

} // namespace

HRESULT WatermarkFont::Load(HDC dc, WatermarkFont* font) {
    return Load([dc](DWORD table, DWORD offset, void* buffer,
                     DWORD size) { return GetFontData(dc, table, offset, buffer, size); },
                font);
}

HRESULT WatermarkFont::Load(const FontDataSource& source, WatermarkFont* font) {
    if (!font || !source) {
        return E_POINTER;
    }
    try {
        std::vector<BYTE> bytes;
        // A font of a collection answers for the collection's tag; its own data (table 0)
        // then starts with its offset table but keeps the collection's offsets.
        const bool collection = source(kCollectionTag, 0, nullptr, 0) != GDI_ERROR;
        HRESULT hr =
            collection ? BuildStandaloneFont(source, bytes) : ReadFontData(source, 0, bytes);
        if (FAILED(hr)) {
            return hr;
        }
        const uint32_t version = bytes.size() >= 12 ? Read32(bytes.data()) : 0;
        if (version != 0x00010000 && version != 0x4F54544F /* OTTO */ &&
            version != 0x74727565 /* true */) {
            return kBadFont;
        }
        if (!SoundDirectory(bytes) || !FindTable(bytes, "cmap").data ||
            !FindTable(bytes, "head").data) {
            return kBadFont;
        }
        const TableView os2 = FindTable(bytes, "OS/2");
        font->m_weightClass = 400;
        font->m_italic = false;
        font->m_restriction = Xps_Restricted_Font_Installable;
        if (os2.data && os2.size >= 64) {
            font->m_weightClass = Read16(os2.data + 4);
            font->m_restriction = RestrictionOf(Read16(os2.data + 8));
            font->m_italic = (Read16(os2.data + 62) & 0x0001) != 0;
        }
        font->m_bytes = std::move(bytes);
        font->m_guidDigits = NewGuidDigits();
        const std::u16string guid = GuidText(font->m_guidDigits);
        font->m_plainName = u"/Resources/Fonts/" + guid + u".ttf";
        font->m_obfuscatedName = u"/Resources/Fonts/" + guid + u".odttf";
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const std::length_error&) {
        return E_OUTOFMEMORY;
    } catch (const std::exception&) {
        return E_FAIL; // no random device for the part name's GUID
    }
}

EXpsFontRestriction WatermarkFont::RestrictionOf(uint16_t fsType) noexcept {
    // Outlines may not be embedded from a font for bitmap embedding only.
    if (fsType & 0x0200) {
        return Xps_Restricted_Font_NoEmbedding;
    }
    // The usage bits should be one at most; of several, the least restrictive counts.
    if (fsType & 0x0008) {
        return Xps_Restricted_Font_Editable;
    }
    if (fsType & 0x0004) {
        return Xps_Restricted_Font_PreviewPrint;
    }
    if (fsType & 0x0002) {
        return Xps_Restricted_Font_NoEmbedding;
    }
    return Xps_Restricted_Font_Installable;
}

void WatermarkFont::Obfuscate(std::u16string_view guidDigits, BYTE* bytes, size_t size) {
    if (guidDigits.size() != 32) {
        return;
    }
    const auto nibble = [](char16_t c) -> BYTE {
        return static_cast<BYTE>(c <= u'9' ? c - u'0' : (c | 0x20) - u'a' + 10);
    };
    BYTE key[16];
    for (size_t i = 0; i < 16; ++i) {
        key[i] = static_cast<BYTE>(nibble(guidDigits[2 * i]) << 4 | nibble(guidDigits[2 * i + 1]));
    }
    for (size_t i = 0; i < 32 && i < size; ++i) {
        bytes[i] ^= key[15 - i % 16];
    }
}

HRESULT WatermarkFont::WriteResourceData(IUnknown* newPart, IPrintWriteStream* stream) {
    if (!newPart || !stream) {
        return E_POINTER;
    }
    CComPtr<IPartFont> part;
    HRESULT hr = newPart->QueryInterface(IID_IPartFont, reinterpret_cast<void**>(&part));
    if (SUCCEEDED(hr)) {
        hr = part->SetFontContent(m_obfuscated ? kObfuscatedContentType : kPlainContentType);
    }
    if (SUCCEEDED(hr)) {
        hr = part->SetFontOptions(m_obfuscated ? Font_Obfuscate : Font_Normal);
    }
    if (SUCCEEDED(hr)) {
        // Written once per job, and large: the fast level deflates it in half the time for
        // about 8% more bytes.
        hr = part->SetPartCompression(Compression_Fast);
    }
    if (SUCCEEDED(hr) && !MayBeEmbedded()) {
        hr = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED); // its licence forbids it
    }
    if (FAILED(hr)) {
        return hr;
    }
    // The first 32 bytes are obfuscated in a copy; the rest goes as it is, in slices a write
    // call can take.
    const size_t head = std::min<size_t>(32, m_bytes.size());
    BYTE first[32];
    std::memcpy(first, m_bytes.data(), head);
    if (m_obfuscated) {
        Obfuscate(m_guidDigits, first, head);
    }
    ULONG written = 0;
    hr = stream->WriteBytes(first, static_cast<ULONG>(head), &written);
    if (SUCCEEDED(hr) && written != head) {
        hr = HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
    }
    constexpr size_t kSlice = 1 << 20;
    for (size_t at = head; SUCCEEDED(hr) && at < m_bytes.size(); at += kSlice) {
        const size_t count = std::min(kSlice, m_bytes.size() - at);
        hr = stream->WriteBytes(m_bytes.data() + at, static_cast<ULONG>(count), &written);
        if (SUCCEEDED(hr) && written != count) {
            hr = HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
        }
    }
    return hr;
}

HRESULT WatermarkFont::GetResourceKey(BSTR* key) {
    return HandBstr(u"watermark-font:" + m_guidDigits + (m_obfuscated ? u":odttf" : u":ttf"), key);
}

HRESULT WatermarkFont::GetResourceUri(BSTR* uri) {
    return HandBstr(PartName(m_obfuscated), uri);
}

REFIID WatermarkFont::GetResourceInterfaceId() {
    return IID_IPartFont;
}
