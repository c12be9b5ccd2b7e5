// GetFontData: the selected font's bytes, held against the file fontconfig matches for the same
// face, read here on its own.
#include "wingdi.h"

#include "platformprinters.h"

#include <fontconfig/fontconfig.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

// The file fontconfig matches for a family (regular weight, upright), without the platform.
std::string MatchedFile(const char* family) {
    FcConfig* config = FcInitLoadConfigAndFonts();
    FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>(family));
    FcConfigSubstitute(config, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(config, pattern, &result);
    std::string file;
    FcChar8* name = nullptr;
    if (match && FcPatternGetString(match, FC_FILE, 0, &name) == FcResultMatch) {
        file = reinterpret_cast<const char*>(name);
    }
    if (match) {
        FcPatternDestroy(match);
    }
    FcPatternDestroy(pattern);
    FcConfigDestroy(config);
    return file;
}

uint32_t BigEndian32(const unsigned char* bytes) {
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

// A table of an OpenType file, found through its table directory.
std::vector<unsigned char> Table(const std::vector<unsigned char>& file, const char tag[4]) {
    const unsigned count = unsigned{file[4]} << 8 | file[5];
    for (unsigned i = 0; i < count; ++i) {
        const unsigned char* record = file.data() + 12 + 16 * i;
        if (std::equal(tag, tag + 4, record)) {
            const uint32_t offset = BigEndian32(record + 8);
            return std::vector<unsigned char>(file.begin() + offset,
                                              file.begin() + offset + BigEndian32(record + 12));
        }
    }
    return {};
}

// GDI's packing of a tag: the first letter in the low byte.
constexpr DWORD Tag(const char (&tag)[5]) {
    return DWORD(uint8_t(tag[0])) | DWORD(uint8_t(tag[1])) << 8 | DWORD(uint8_t(tag[2])) << 16 |
           DWORD(uint8_t(tag[3])) << 24;
}

// A context on the built-in printer with a face selected, released at the end.
class SelectedFace {
public:
    explicit SelectedFace(std::u16string_view face, LONG height = -96) {
        LOGFONTW logical{};
        logical.lfHeight = height;
        logical.lfWeight = FW_NORMAL;
        face.copy(logical.lfFaceName, LF_FACESIZE - 1);
        dc_ = CreateICW(nullptr, platformprinters::kBuiltinPrinterName, nullptr, nullptr);
        font_ = CreateFontIndirectW(&logical);
        old_ = SelectObject(dc_, font_);
        EXPECT_NE(nullptr, old_);
    }
    ~SelectedFace() {
        SelectObject(dc_, old_);
        DeleteObject(font_);
        DeleteDC(dc_);
    }
    HDC dc() const { return dc_; }
    std::vector<unsigned char> Read(DWORD table, DWORD offset = 0) const {
        const DWORD size = GetFontData(dc_, table, offset, nullptr, 0);
        if (size == GDI_ERROR) {
            ADD_FAILURE() << "no data for table " << std::hex << table;
            return {};
        }
        std::vector<unsigned char> bytes(size);
        EXPECT_EQ(size, GetFontData(dc_, table, offset, bytes.data(), size));
        return bytes;
    }

private:
    HDC dc_ = nullptr;
    HFONT font_ = nullptr;
    HGDIOBJ old_ = nullptr;
};

TEST(FontData, TheFontFileAndItsTablesAreThoseOfTheMatchedFile) {
    // Arial is measured with its metric-compatible face, so that face's file is embedded.
    const struct {
        std::u16string_view face;
        const char* family;
    } cases[] = {
        {u"Arial", "Liberation Sans"},
        {u"Helvetica", "Liberation Sans"},
        {u"DejaVu Sans", "DejaVu Sans"},
        {u"Nimbus Roman", "Nimbus Roman"}, // OpenType with CFF outlines
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.family);
        const std::string path = MatchedFile(c.family);
        ASSERT_FALSE(path.empty());
        const std::vector<unsigned char> file = FileBytes(path);
        ASSERT_GT(file.size(), 12u);
        const SelectedFace selected(c.face);
        EXPECT_EQ(file, selected.Read(0));
        for (const char* tag : {"head", "cmap", "OS/2", "name"}) {
            SCOPED_TRACE(tag);
            const std::vector<unsigned char> table = Table(file, tag);
            ASSERT_FALSE(table.empty());
            EXPECT_EQ(table, selected.Read(Tag({tag[0], tag[1], tag[2], tag[3], 0})));
        }
    }
}

TEST(FontData, PartsOfATableAndWhatCannotBeRead) {
    const SelectedFace selected(u"Arial");
    const DWORD head = Tag("head");
    const DWORD headSize = GetFontData(selected.dc(), head, 0, nullptr, 0);
    ASSERT_EQ(54u, headSize);

    // The head table's magic number stands at offset 12; a short buffer takes what fits.
    unsigned char magic[8] = {};
    EXPECT_EQ(4u, GetFontData(selected.dc(), head, 12, magic, 4));
    EXPECT_EQ(0x5F0F3CF5u, BigEndian32(magic));
    EXPECT_EQ(headSize - 12, GetFontData(selected.dc(), head, 12, nullptr, 0));
    EXPECT_EQ(2u, GetFontData(selected.dc(), head, headSize - 2, magic, sizeof magic));
    EXPECT_EQ(0u, GetFontData(selected.dc(), head, headSize, magic, sizeof magic));

    const struct {
        const char* what;
        HDC dc;
        DWORD table;
        DWORD offset;
        DWORD error;
    } failures[] = {
        {"a table the font lacks", selected.dc(), Tag("zzzz"), 0, ERROR_INVALID_PARAMETER},
        {"the collection of a font of none", selected.dc(), Tag("ttcf"), 0,
         ERROR_INVALID_PARAMETER},
        {"an offset beyond the table", selected.dc(), head, headSize + 1, ERROR_INVALID_PARAMETER},
        {"an offset beyond the file", selected.dc(), 0, 0xFFFFFFF0u, ERROR_INVALID_PARAMETER},
        {"no context", nullptr, 0, 0, ERROR_INVALID_HANDLE},
        {"a made-up context", reinterpret_cast<HDC>(0x1234), 0, 0, ERROR_INVALID_HANDLE},
    };
    for (const auto& f : failures) {
        SCOPED_TRACE(f.what);
        SetLastError(0);
        EXPECT_EQ(GDI_ERROR, GetFontData(f.dc, f.table, f.offset, magic, sizeof magic));
        EXPECT_EQ(f.error, GetLastError());
    }
}

} // namespace
