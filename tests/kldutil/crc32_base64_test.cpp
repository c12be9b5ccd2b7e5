#include "kldutil/datamodeltesthelpers.h"

#include <kldutil/crc32.h>
#include <kldutil/keldanutilities.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const BYTE* Ptr(const std::string& s) {
    return reinterpret_cast<const BYTE*>(s.data());
}

std::u16string Encode(const std::string& bytes, DWORD flags) {
    int length =
        KeldanUtilities::Base64EncodeGetRequiredLength(static_cast<int>(bytes.size()), flags);
    std::u16string text(static_cast<size_t>(length), u'\0');
    EXPECT_TRUE(KeldanUtilities::Base64Encode(Ptr(bytes), static_cast<int>(bytes.size()),
                                              text.data(), &length, flags));
    text.resize(static_cast<size_t>(length));
    return text;
}

struct Decoded {
    BOOL ok;
    std::string bytes;
};

Decoded Decode(const std::u16string& text) {
    int length = KeldanUtilities::Base64DecodeGetRequiredLength(static_cast<int>(text.size()));
    std::string bytes(static_cast<size_t>(length), '\0');
    const BOOL ok = KeldanUtilities::Base64Decode(text.data(), static_cast<int>(text.size()),
                                                  reinterpret_cast<BYTE*>(bytes.data()), &length);
    bytes.resize(static_cast<size_t>(length));
    return {ok, bytes};
}

} // namespace

TEST(Crc32, KnownVectorsAndChaining) {
    struct Case {
        std::string data;
        DWORD crc;
    };
    const Case cases[] = {
        {"", 0x00000000},
        {"a", 0xE8B7BE43},
        {"123456789", 0xCBF43926},
        {"The quick brown fox jumps over the lazy dog", 0x414FA339},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.data);
        EXPECT_EQ(c.crc, Crc32::GetCrc(Ptr(c.data), static_cast<DWORD>(c.data.size())));
    }
    const std::string whole = "123456789";
    EXPECT_EQ(0xCBF43926u, Crc32::GetCrc(Ptr(whole) + 4, 5, Crc32::GetCrc(Ptr(whole), 4)));
    // Split anywhere, the pieces checksum as the whole: no split lines up with the eight-byte
    // steps by luck.
    const std::string fox = cases[3].data;
    for (DWORD split = 0; split <= fox.size(); ++split) {
        SCOPED_TRACE(split);
        const DWORD head = Crc32::GetCrc(Ptr(fox), split);
        EXPECT_EQ(0x414FA339u,
                  Crc32::GetCrc(Ptr(fox) + split, static_cast<DWORD>(fox.size()) - split, head));
    }
    EXPECT_EQ(0u, Crc32::GetCrc(nullptr, 0));
    EXPECT_THROW(Crc32::GetCrc(nullptr, 1), ExceptionInvalidArgumentNullPointer);
}

// RFC 4648 section 10.
TEST(Base64, Rfc4648VectorsEncodeAndDecode) {
    struct Case {
        std::string bytes;
        std::string padded;
        std::string unpadded;
    };
    const Case cases[] = {
        {"", "", ""},
        {"f", "Zg==", "Zg"},
        {"fo", "Zm8=", "Zm8"},
        {"foo", "Zm9v", "Zm9v"},
        {"foob", "Zm9vYg==", "Zm9vYg"},
        {"fooba", "Zm9vYmE=", "Zm9vYmE"},
        {"foobar", "Zm9vYmFy", "Zm9vYmFy"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(Widen(c.padded), Encode(c.bytes, KeldanUtilities::Base64FlagNoCrLf));
        EXPECT_EQ(Widen(c.unpadded), Encode(c.bytes, KeldanUtilities::Base64FlagNoCrLf |
                                                         KeldanUtilities::Base64FlagNoPad));
        for (const auto& text : {c.padded, c.unpadded}) {
            const Decoded d = Decode(Widen(text));
            EXPECT_TRUE(d.ok);
            EXPECT_EQ(c.bytes, d.bytes);
        }
    }
}

TEST(Base64, AllByteValuesRoundTripWithAndWithoutLineBreaks) {
    std::string bytes;
    for (int i = 0; i < 256 * 3 + 1; ++i) {
        bytes.push_back(static_cast<char>(i * 7 + 3));
    }
    const std::u16string oneLine = Encode(bytes, KeldanUtilities::Base64FlagNoCrLf);
    EXPECT_EQ(std::u16string::npos, oneLine.find(u'\n'));
    const std::u16string lines = Encode(bytes, 0);
    // Lines of 76 characters joined by CR LF, none after the last.
    size_t start = 0;
    for (size_t end; (end = lines.find(u"\r\n", start)) != std::u16string::npos; start = end + 2) {
        EXPECT_EQ(76u, end - start);
    }
    EXPECT_GT(lines.size() - start, 0u);
    EXPECT_LE(lines.size() - start, 76u);
    for (const auto& text : {oneLine, lines}) {
        const Decoded d = Decode(text);
        EXPECT_TRUE(d.ok);
        EXPECT_EQ(bytes, d.bytes);
    }
}

TEST(Base64, EncoderRefusesBadArgumentsAndShortDestination) {
    const BYTE bytes[] = {1, 2, 3, 4};
    WCHAR text[8] = {};
    int length = 7;
    EXPECT_FALSE(KeldanUtilities::Base64Encode(bytes, 4, text, &length, 2));
    EXPECT_EQ(8, length) << "a short destination reports the length needed";
    EXPECT_EQ(u'\0', text[0]) << "and nothing is written";
    length = 8;
    EXPECT_FALSE(KeldanUtilities::Base64Encode(nullptr, 4, text, &length, 2));
    EXPECT_FALSE(KeldanUtilities::Base64Encode(bytes, -1, text, &length, 2));
    EXPECT_FALSE(KeldanUtilities::Base64Encode(bytes, 4, text, nullptr, 2));
    EXPECT_EQ(0, KeldanUtilities::Base64EncodeGetRequiredLength(-1, 2));
    EXPECT_EQ(0, KeldanUtilities::Base64EncodeGetRequiredLength(0x7FFFFFFF, 2));
    EXPECT_EQ(0, KeldanUtilities::Base64DecodeGetRequiredLength(-4));
}

// Malformed text stops the decoder cleanly: FALSE, and the length says how many bytes of
// complete groups came before the fault.
TEST(Base64, DecoderStopsCleanlyOnMalformedText) {
    struct Case {
        std::u16string text;
        BOOL ok;
        std::string bytes;
    };
    const Case cases[] = {
        {u"Zm 9v\r\n  Ym\tFy", TRUE, "foobar"},
        {u"Zg=", TRUE, "f"},
        {u"Zm9v!mFy", FALSE, "foo"},
        {u"Zm9v\u00E9mFy", FALSE, "foo"},
        {u"Zm9v-_", FALSE, "foo"}, // the URL alphabet is not this one
        {u"Z", FALSE, ""},
        {u"Zm9vY", FALSE, "foo"},
        {u"=Zg=", FALSE, ""},
        {u"Z===", FALSE, ""},
        {u"Zm9v=", FALSE, "foo"},
        {u"Zg===", FALSE, "f"},
        {u"Zm8==", FALSE, "fo"},
        {u"Zg==Zg==", FALSE, "f"},
        {std::u16string(u"Zm9v\0Zm9v", 9), FALSE, "foo"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text.begin(), c.text.end()));
        const Decoded d = Decode(c.text);
        EXPECT_EQ(c.ok, d.ok);
        EXPECT_EQ(c.bytes, d.bytes);
    }
}

TEST(Base64, DecoderNeverWritesPastItsDestination) {
    const std::u16string text = u"Zm9vYmFy";
    BYTE bytes[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    int length = 4;
    EXPECT_FALSE(KeldanUtilities::Base64Decode(text.data(), 8, bytes, &length));
    EXPECT_EQ(3, length);
    EXPECT_EQ(0xEE, bytes[3]);
    length = 4;
    EXPECT_FALSE(KeldanUtilities::Base64Decode(nullptr, 8, bytes, &length));
    EXPECT_EQ(0, length);
    length = 4;
    EXPECT_FALSE(KeldanUtilities::Base64Decode(text.data(), -1, bytes, &length));
    EXPECT_EQ(0, length);
    EXPECT_FALSE(KeldanUtilities::Base64Decode(text.data(), 8, bytes, nullptr));
}

// A devmode written by Windows 11 for the Generic / Text Only driver, as a print
// capabilities document carries it: Base64 after a newline and indentation.
TEST(Base64, DecodesTheRealDevmodeSnapshot) {
    std::ifstream file(FILTERUTILITIES_TEST_DATA "/printschema/capabilities-generic-text-only.xml",
                       std::ios::binary);
    ASSERT_TRUE(file);
    std::stringstream content;
    content << file.rdbuf();
    const std::string xml = content.str();
    const std::string open = "<psf:Value xsi:type=\"xsd:string\">";
    const size_t def = xml.find("name=\"psf:DefaultValue\"", xml.find("PageDevmodeSnapshot"));
    ASSERT_NE(std::string::npos, def);
    const size_t start = xml.find(open, def) + open.size();
    const size_t end = xml.find("</psf:Value>", start);
    const std::u16string text = Widen(xml.substr(start, end - start));
    ASSERT_EQ(u'\n', text[0]);

    const Decoded d = Decode(text);
    EXPECT_TRUE(d.ok);
    ASSERT_EQ(1000u, d.bytes.size());
    DEVMODEW devmode;
    std::memcpy(&devmode, d.bytes.data(), sizeof(devmode));
    EXPECT_EQ(220, devmode.dmSize);
    EXPECT_EQ(780, devmode.dmDriverExtra);
    EXPECT_EQ(DM_SPECVERSION, devmode.dmSpecVersion);
    EXPECT_EQ(std::u16string(u"winprint-rs-null-printer"), std::u16string(devmode.dmDeviceName));
    EXPECT_EQ(0x418D6EBBu, Crc32::GetCrc(Ptr(d.bytes), 1000)); // zlib's crc32 of the bytes

    // Our encoder writes the same text without the white space.
    std::u16string compact;
    for (char16_t c : text) {
        if (c != u' ' && c != u'\n' && c != u'\r' && c != u'\t') {
            compact.push_back(c);
        }
    }
    EXPECT_EQ(compact, Encode(d.bytes, KeldanUtilities::Base64FlagNoCrLf));
}
