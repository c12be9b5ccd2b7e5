// WatermarkFont: a font a watermark is drawn with, as the filter embeds it: the file GDI
// matched for the record's LOGFONTW, read back with GetFontData, and written once per job as a
// font part (IResWriter) under a part name of its own.
//
// Contract.
// - Load reads the font selected into a context: the whole file, or, for a font of a TrueType
//   collection, a standalone font built from its tables. It fails (HRESULT) for a font GDI
//   cannot hand out (no TrueType or OpenType data) or whose data is damaged.
// - The part name holds a GUID made for the font when it is loaded; an obfuscated part
//   ("/Resources/Fonts/{GUID}.odttf") has its first 32 bytes XORed with the GUID's bytes, as
//   the package format's font obfuscation asks, a plain one ("/Resources/Fonts/{GUID}.ttf") is
//   the file as it is. The key under which the resource cache shares the part names the GUID
//   and the form, so each form is written once per job.
// - The font's licence (OS/2 fsType) says whether it may be embedded: a font for restricted
//   licence embedding, or for bitmap embedding only, may not be (MayBeEmbedded is false, and
//   the filter must not write it); a font for print and preview embedding is a restricted
//   font, written obfuscated, and the package writer names it as one from the fsType of the
//   bytes written (IPartFont2 reads that restriction back); an editable or installable font
//   has no restriction.
// - The object owns its bytes; it is used by the filter's thread.
#pragma once

#include <filterutilities/reswriter.h>

#include <filterpipeline.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class WatermarkFont final : public IResWriter {
public:
    // Reads the font selected into dc. E_OUTOFMEMORY, or
    // HRESULT_FROM_WIN32(ERROR_INVALID_DATA) for a font whose data cannot be read or is no
    // sound OpenType font.
    static HRESULT Load(HDC dc, WatermarkFont* font);
    // The same over any source that answers as GetFontData does for one selected font.
    using FontDataSource =
        std::function<DWORD(DWORD table, DWORD offset, void* buffer, DWORD size)>;
    static HRESULT Load(const FontDataSource& source, WatermarkFont* font);

    // The part name for the given form.
    const std::u16string& PartName(bool obfuscated) const noexcept {
        return obfuscated ? m_obfuscatedName : m_plainName;
    }
    // Selects the form WriteResourceData and the cache key describe.
    void UseForm(bool obfuscated) noexcept { m_obfuscated = obfuscated; }

    // What the font file says of itself (OS/2 table): its weight class and whether it is
    // italic, so that a drawing can ask the consumer to simulate what the file lacks; and the
    // embedding its licence permits (the least restrictive of fsType's usage bits).
    uint16_t WeightClass() const noexcept { return m_weightClass; }
    bool Italic() const noexcept { return m_italic; }
    EXpsFontRestriction Restriction() const noexcept { return m_restriction; }
    bool MayBeEmbedded() const noexcept { return m_restriction != Xps_Restricted_Font_NoEmbedding; }
    // The embedding an OS/2 fsType permits.
    static EXpsFontRestriction RestrictionOf(uint16_t fsType) noexcept;
    const std::vector<BYTE>& Bytes() const noexcept { return m_bytes; }

    // IResWriter.
    HRESULT WriteResourceData(IUnknown* newPart, IPrintWriteStream* stream) override;
    HRESULT GetResourceKey(BSTR* key) override;
    HRESULT GetResourceUri(BSTR* uri) override;
    REFIID GetResourceInterfaceId() override;

    // The font obfuscation of the package format: the first 32 bytes XORed with the GUID of
    // the part name, read as 16 bytes from its hexadecimal digits and taken from the last to
    // the first. Applying it twice gives the bytes back. guid holds the 32 digits.
    static void Obfuscate(std::u16string_view guidDigits, BYTE* bytes, size_t size);

private:
    std::vector<BYTE> m_bytes;
    std::u16string m_guidDigits; // 32 hexadecimal digits
    std::u16string m_plainName;
    std::u16string m_obfuscatedName;
    bool m_obfuscated = true;
    uint16_t m_weightClass = 400;
    bool m_italic = false;
    EXpsFontRestriction m_restriction = Xps_Restricted_Font_Installable;
};
