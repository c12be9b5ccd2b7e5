// The watermark filter's embedded font: a font file read back as GDI hands it out, a font of a
// collection made standalone from its tables, damaged data refused, and the package format's
// obfuscation.
#include <watermark/watermarkfont.h>

#include "platformprinters.h"

#include <wingdi.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

uint32_t Read32(const BYTE* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
void Write32(BYTE* p, uint32_t v) {
    p[0] = static_cast<BYTE>(v >> 24);
    p[1] = static_cast<BYTE>(v >> 16);
    p[2] = static_cast<BYTE>(v >> 8);
    p[3] = static_cast<BYTE>(v);
}
unsigned TableCount(const Bytes& font, size_t start = 0) {
    return unsigned{font[start + 4]} << 8 | font[start + 5];
}

// The tables of the font whose offset table starts at start, by tag.
std::vector<std::pair<std::string, Bytes>> TablesOf(const Bytes& file, size_t start = 0) {
    std::vector<std::pair<std::string, Bytes>> tables;
    for (unsigned i = 0; i < TableCount(file, start); ++i) {
        const BYTE* record = file.data() + start + 12 + 16 * i;
        const uint32_t offset = Read32(record + 8);
        tables.emplace_back(
            std::string(reinterpret_cast<const char*>(record), 4),
            Bytes(file.begin() + offset, file.begin() + offset + Read32(record + 12)));
    }
    return tables;
}

// Liberation Sans as GDI hands it out for Arial.
Bytes ArialFile() {
    HDC dc = CreateICW(nullptr, platformprinters::kBuiltinPrinterName, nullptr, nullptr);
    LOGFONTW logical{};
    logical.lfHeight = -20;
    std::u16string_view(u"Arial").copy(logical.lfFaceName, LF_FACESIZE - 1);
    HFONT font = CreateFontIndirectW(&logical);
    HGDIOBJ old = SelectObject(dc, font);
    Bytes bytes(GetFontData(dc, 0, 0, nullptr, 0));
    EXPECT_EQ(bytes.size(), GetFontData(dc, 0, 0, bytes.data(), static_cast<DWORD>(bytes.size())));
    SelectObject(dc, old);
    DeleteObject(font);
    DeleteDC(dc);
    return bytes;
}

// Answers as GDI does for the font at start of file, a collection when start is not 0.
WatermarkFont::FontDataSource SourceOver(const Bytes& file, size_t start) {
    return [&file, start](DWORD table, DWORD offset, void* buffer, DWORD size) -> DWORD {
        size_t from = 0;
        size_t length = 0;
        if (table == 0) {
            from = start;
            length = file.size() - start;
        } else if (table == 0x66637474) {
            if (start == 0) {
                return GDI_ERROR;
            }
            length = file.size();
        } else {
            const char tag[4] = {char(table), char(table >> 8), char(table >> 16),
                                 char(table >> 24)};
            for (unsigned i = 0; i < TableCount(file, start); ++i) {
                const BYTE* record = file.data() + start + 12 + 16 * i;
                if (std::memcmp(record, tag, 4) == 0) {
                    from = Read32(record + 8);
                    length = Read32(record + 12);
                }
            }
            if (length == 0) {
                return GDI_ERROR;
            }
        }
        if (from > file.size() || length > file.size() - from || offset > length) {
            return GDI_ERROR; // as GDI, never reading past the file
        }
        const size_t count = buffer ? std::min<size_t>(size, length - offset) : length - offset;
        if (buffer) {
            std::memcpy(buffer, file.data() + from + offset, count);
        }
        return static_cast<DWORD>(count);
    };
}

// A collection of one font: its header, the font's offset table, then the tables moved.
Bytes CollectionOf(const Bytes& font, size_t* start) {
    *start = 16;
    const size_t directory = 12 + 16 * size_t{TableCount(font)};
    Bytes file = {'t', 't', 'c', 'f', 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 16};
    file.insert(file.end(), font.begin(), font.begin() + static_cast<std::ptrdiff_t>(directory));
    const size_t shift = file.size() - directory + 64; // the tables stand elsewhere
    file.resize(file.size() + 64, 0xEE);
    file.insert(file.end(), font.begin() + static_cast<std::ptrdiff_t>(directory), font.end());
    for (unsigned i = 0; i < TableCount(font); ++i) {
        BYTE* record = file.data() + *start + 12 + 16 * i;
        Write32(record + 8, static_cast<uint32_t>(Read32(record + 8) + shift));
    }
    return file;
}

TEST(WatermarkFontTest, AFontFileIsEmbeddedAsGdiHandsItOut) {
    const Bytes file = ArialFile();
    ASSERT_GT(file.size(), 1000u);
    WatermarkFont font;
    ASSERT_EQ(S_OK, WatermarkFont::Load(SourceOver(file, 0), &font));
    EXPECT_EQ(file, font.Bytes());
    EXPECT_EQ(400, font.WeightClass());
    EXPECT_FALSE(font.Italic());
    EXPECT_EQ(Xps_Restricted_Font_Installable, font.Restriction());
    // A name of its own for each form, one GUID for both.
    const std::u16string plain = font.PartName(false);
    const std::u16string obfuscated = font.PartName(true);
    ASSERT_EQ(57u, plain.size()) << std::string(plain.begin(), plain.end());
    EXPECT_EQ(u"/Resources/Fonts/", plain.substr(0, 17));
    EXPECT_EQ(u".ttf", plain.substr(53));
    EXPECT_EQ(plain.substr(0, 53) + u".odttf", obfuscated);
    WatermarkFont other;
    ASSERT_EQ(S_OK, WatermarkFont::Load(SourceOver(file, 0), &other));
    EXPECT_NE(plain, other.PartName(false));
}

// The embedding a licence permits: of several usage bits the least restrictive; a font for
// bitmap embedding only may not have its outlines embedded, whatever else it says.
TEST(WatermarkFontTest, TheLicenceSaysWhatEmbeddingIsPermitted) {
    const struct {
        uint16_t fsType;
        EXpsFontRestriction expected;
    } cases[] = {
        {0x0000, Xps_Restricted_Font_Installable},  {0x0002, Xps_Restricted_Font_NoEmbedding},
        {0x0004, Xps_Restricted_Font_PreviewPrint}, {0x0008, Xps_Restricted_Font_Editable},
        {0x0006, Xps_Restricted_Font_PreviewPrint}, {0x000E, Xps_Restricted_Font_Editable},
        {0x0100, Xps_Restricted_Font_Installable},  {0x0208, Xps_Restricted_Font_NoEmbedding},
        {0x0001, Xps_Restricted_Font_Installable},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fsType);
        EXPECT_EQ(c.expected, WatermarkFont::RestrictionOf(c.fsType));
    }
}

TEST(WatermarkFontTest, AFontOfACollectionIsMadeStandalone) {
    const Bytes file = ArialFile();
    size_t start = 0;
    const Bytes collection = CollectionOf(file, &start);
    ASSERT_EQ(TablesOf(file), TablesOf(collection, start));
    WatermarkFont font;
    ASSERT_EQ(S_OK, WatermarkFont::Load(SourceOver(collection, start), &font));
    const Bytes& made = font.Bytes();
    EXPECT_EQ(Read32(file.data()), Read32(made.data()));
    EXPECT_EQ(TablesOf(file), TablesOf(made));
    for (unsigned i = 0; i < TableCount(made); ++i) {
        EXPECT_EQ(0u, Read32(made.data() + 12 + 16 * i + 8) % 4) << "table " << i;
    }
}

TEST(WatermarkFontTest, DamagedFontsAreRefused) {
    const Bytes file = ArialFile();
    Bytes noTables(file.begin(), file.begin() + 12);
    noTables[4] = 0;
    noTables[5] = 0;
    Bytes tooManyRecords = file;
    tooManyRecords[4] = 0xFF; // records beyond the data
    const Bytes text = {'n', 'o', 't', ' ', 'a', ' ', 'f', 'o', 'n', 't', '!', '!', '!', '!'};
    size_t start = 0;
    Bytes collection = CollectionOf(file, &start);
    collection[start + 5] = 200; // records the font's own offset table does not hold
    const struct {
        const char* name;
        WatermarkFont::FontDataSource source;
    } cases[] = {
        {"nothing to read", [](DWORD, DWORD, void*, DWORD) -> DWORD { return GDI_ERROR; }},
        {"no table at all", SourceOver(noTables, 0)},
        {"records beyond the data", SourceOver(tooManyRecords, 0)},
        {"no OpenType data", SourceOver(text, 0)},
        {"a collection's font with tables it lacks", SourceOver(collection, start)},
        {"a short read",
         [&file](DWORD, DWORD, void* buffer, DWORD) -> DWORD {
             return buffer ? 10 : static_cast<DWORD>(file.size());
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WatermarkFont font;
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), WatermarkFont::Load(c.source, &font));
    }
    WatermarkFont font;
    EXPECT_EQ(E_POINTER, WatermarkFont::Load(WatermarkFont::FontDataSource(), &font));
}

TEST(WatermarkFontTest, ObfuscationXorsTheFirst32BytesWithTheGuidReversed) {
    Bytes bytes(40, 0);
    const std::u16string digits = u"00112233445566778899AABBCCDDEEFF";
    WatermarkFont::Obfuscate(digits, bytes.data(), bytes.size());
    for (size_t i = 0; i < 32; ++i) {
        EXPECT_EQ(0xFF - 0x11 * (i % 16), bytes[i]) << i;
    }
    EXPECT_EQ(Bytes(8, 0), Bytes(bytes.begin() + 32, bytes.end()));
    WatermarkFont::Obfuscate(u"00112233445566778899aabbccddeeff", bytes.data(), bytes.size());
    EXPECT_EQ(Bytes(40, 0), bytes); // lower-case digits are the same key: undone
    Bytes shortFont(5, 0x5A);
    WatermarkFont::Obfuscate(digits, shortFont.data(), shortFont.size());
    EXPECT_EQ((Bytes{0xA5, 0xB4, 0x87, 0x96, 0xE1}), shortFont);
}

} // namespace
