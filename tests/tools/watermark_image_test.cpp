// The image watermark's picture: its kind told by its signature, its pixel size and resolution
// read from PNG, JPEG and TIFF headers, and whether its pixels are compressed; damaged or
// foreign files refused.
#include <watermark/watermarkimage.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

void Big(Bytes& b, uint32_t v, int size) {
    for (int i = size - 1; i >= 0; --i) {
        b.push_back(static_cast<BYTE>(v >> (8 * i)));
    }
}
void Little(Bytes& b, uint32_t v, int size) {
    for (int i = 0; i < size; ++i) {
        b.push_back(static_cast<BYTE>(v >> (8 * i)));
    }
}

// A PNG's header chunks (CRCs are not read), with pHYs when perMetre is not 0.
Bytes Png(uint32_t width, uint32_t height, uint32_t perMetre) {
    Bytes b = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Big(b, 13, 4);
    b.insert(b.end(), {'I', 'H', 'D', 'R'});
    Big(b, width, 4);
    Big(b, height, 4);
    b.insert(b.end(), {8, 2, 0, 0, 0, 0, 0, 0, 0});
    if (perMetre) {
        Big(b, 9, 4);
        b.insert(b.end(), {'p', 'H', 'Y', 's'});
        Big(b, perMetre, 4);
        Big(b, perMetre, 4);
        b.insert(b.end(), {1, 0, 0, 0, 0});
    }
    Big(b, 0, 4);
    b.insert(b.end(), {'I', 'E', 'N', 'D', 0, 0, 0, 0});
    return b;
}

// A JPEG's JFIF header (unit 1 per inch, 2 per centimetre) and frame header.
Bytes Jpeg(uint16_t width, uint16_t height, BYTE unit, uint16_t density) {
    Bytes b = {0xFF, 0xD8, 0xFF, 0xE0};
    Big(b, 16, 2);
    b.insert(b.end(), {'J', 'F', 'I', 'F', 0, 1, 2, unit});
    Big(b, density, 2);
    Big(b, density, 2);
    b.insert(b.end(), {0, 0});
    b.insert(b.end(), {0xFF, 0xC0});
    Big(b, 11, 2);
    b.push_back(8);
    Big(b, height, 2);
    Big(b, width, 2);
    b.insert(b.end(), {1, 1, 0x11, 0, 0xFF, 0xD9});
    return b;
}

// A little- or big-endian TIFF with width, length, a resolution of dpi/1 and its unit, and the
// compression, when not 0.
Bytes Tiff(bool little, uint32_t width, uint32_t height, uint32_t dpi, uint16_t unit,
           uint16_t compression = 0) {
    Bytes b;
    const auto put = [&](uint32_t v, int size) { little ? Little(b, v, size) : Big(b, v, size); };
    b.insert(b.end(), little ? std::initializer_list<BYTE>{'I', 'I'}
                             : std::initializer_list<BYTE>{'M', 'M'});
    put(42, 2);
    put(8, 4);
    const uint32_t entries = compression ? 6 : 5;
    const uint32_t rational = 8 + 2 + entries * 12 + 4;
    put(entries, 2);
    const auto entry = [&](uint16_t tag, uint16_t type, uint32_t value) {
        put(tag, 2);
        put(type, 2);
        put(1, 4);
        if (type == 3) {
            put(value, 2);
            put(0, 2);
        } else {
            put(value, 4);
        }
    };
    entry(256, 3, width);
    entry(257, 4, height);
    if (compression) {
        entry(259, 3, compression);
    }
    entry(282, 5, rational);
    entry(283, 5, rational);
    entry(296, 3, unit);
    put(0, 4);
    put(dpi, 4);
    put(1, 4);
    return b;
}

// So does whether its pixels are compressed already, which has the part stored, not deflated.
TEST(WatermarkImageTest, KindSizeAndResolutionComeFromTheFile) {
    const struct {
        const char* name;
        Bytes bytes;
        const char16_t* contentType;
        uint32_t width, height;
        double dpi;
        bool compressed;
    } cases[] = {
        {"PNG with pHYs", Png(60, 40, 5906), u"image/png", 60, 40, 150.01, true},
        {"PNG without", Png(7, 9, 0), u"image/png", 7, 9, 96, true},
        {"JPEG per inch", Jpeg(80, 50, 1, 72), u"image/jpeg", 80, 50, 72, true},
        {"JPEG per centimetre", Jpeg(80, 50, 2, 118), u"image/jpeg", 80, 50, 299.72, true},
        {"JPEG without density", Jpeg(3, 4, 0, 1), u"image/jpeg", 3, 4, 96, true},
        {"TIFF little-endian", Tiff(true, 300, 200, 300, 2), u"image/tiff", 300, 200, 300, false},
        {"TIFF big-endian, cm", Tiff(false, 5, 6, 100, 3), u"image/tiff", 5, 6, 254, false},
        {"TIFF without unit", Tiff(true, 5, 6, 100, 1), u"image/tiff", 5, 6, 96, false},
        {"TIFF uncompressed", Tiff(false, 5, 6, 100, 2, 1), u"image/tiff", 5, 6, 100, false},
        {"TIFF LZW", Tiff(true, 5, 6, 100, 2, 5), u"image/tiff", 5, 6, 100, true},
        {"TIFF deflated, big-endian", Tiff(false, 5, 6, 100, 2, 8), u"image/tiff", 5, 6, 100, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WatermarkImage image;
        ASSERT_EQ(S_OK, WatermarkImage::Parse(c.bytes, &image));
        EXPECT_EQ(c.contentType, image.ContentType());
        EXPECT_EQ(c.width, image.PixelWidth());
        EXPECT_EQ(c.height, image.PixelHeight());
        EXPECT_NEAR(c.dpi, image.DotsPerInchX(), 0.01);
        EXPECT_NEAR(c.width * 96 / c.dpi, image.Width(), 0.01);
        EXPECT_EQ(c.bytes, image.Bytes());
        EXPECT_EQ(c.compressed, image.IsCompressed());
    }
}

TEST(WatermarkImageTest, FilesOfNoKnownKindOrDamagedAreRefused) {
    Bytes truncated = Png(60, 40, 0);
    truncated.resize(20);
    Bytes noFrame = Jpeg(80, 50, 1, 72);
    noFrame.erase(noFrame.begin() + 20, noFrame.end() - 2); // the frame header cut out
    Bytes farDirectory = Tiff(true, 5, 6, 100, 2);
    farDirectory[4] = 0xF0;
    const struct {
        const char* name;
        Bytes bytes;
    } cases[] = {
        {"empty", {}},
        {"text", {'h', 'e', 'l', 'l', 'o'}},
        {"GIF", {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0}},
        {"a PNG cut in its header", truncated},
        {"a PNG of no pixels", Png(0, 40, 0)},
        {"a JPEG without a frame", noFrame},
        {"a TIFF whose directory lies outside it", farDirectory},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WatermarkImage image;
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), WatermarkImage::Parse(c.bytes, &image));
        EXPECT_TRUE(image.Bytes().empty());
    }
    WatermarkImage image;
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
              WatermarkImage::Load(u"/nonexistent/picture.png", &image));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), WatermarkImage::Load(u"/dev/zero", &image));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), WatermarkImage::Load(u"/tmp", &image));
}

} // namespace
