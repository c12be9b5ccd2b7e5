#include <kldutil/littleendian.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

// Each value written at an odd position of a buffer, where an aligned access would fault on
// some hosts: the bytes come out lowest first, the value reads back whole (no sign extension
// from a high bit), and the neighbouring bytes stay.
TEST(LittleEndian, FieldsAtOddPositionsRoundTripWithTheirHighBits) {
    struct Case {
        DWORD value;
        std::vector<BYTE> bytes;
    };
    const Case words[] = {{0x0000, {0x00, 0x00}},
                          {0x1234, {0x34, 0x12}},
                          {0x8000, {0x00, 0x80}},
                          {0xFFFF, {0xFF, 0xFF}}};
    for (const Case& c : words) {
        SCOPED_TRACE(c.value);
        std::vector<BYTE> buffer(5, 0xAA);
        LittleEndian::PutWord(buffer.data() + 1, static_cast<WORD>(c.value));
        EXPECT_EQ((std::vector<BYTE>{0xAA, c.bytes[0], c.bytes[1], 0xAA, 0xAA}), buffer);
        EXPECT_EQ(c.value, LittleEndian::ReadWord(buffer.data() + 1));
        std::vector<BYTE> appended{0xAA};
        LittleEndian::AppendWord(appended, static_cast<WORD>(c.value));
        EXPECT_EQ(std::vector<BYTE>(buffer.begin(), buffer.begin() + 3), appended);
    }
    const Case dwords[] = {{0x00000000, {0x00, 0x00, 0x00, 0x00}},
                           {0x12345678, {0x78, 0x56, 0x34, 0x12}},
                           {0x80000000, {0x00, 0x00, 0x00, 0x80}},
                           {0xFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF}}};
    for (const Case& c : dwords) {
        SCOPED_TRACE(c.value);
        std::vector<BYTE> buffer(7, 0xAA);
        LittleEndian::PutDword(buffer.data() + 1, c.value);
        EXPECT_EQ(
            (std::vector<BYTE>{0xAA, c.bytes[0], c.bytes[1], c.bytes[2], c.bytes[3], 0xAA, 0xAA}),
            buffer);
        EXPECT_EQ(c.value, LittleEndian::ReadDword(buffer.data() + 1));
        std::vector<BYTE> appended{0xAA};
        LittleEndian::AppendDword(appended, c.value);
        EXPECT_EQ(std::vector<BYTE>(buffer.begin(), buffer.begin() + 5), appended);
    }
}

} // namespace
