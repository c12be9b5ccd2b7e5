#include <kldutil/bytebuffer.h>

#include <kldutil/keldanexception.h>

#include <gtest/gtest.h>

#include "textprinters.h"

#include <string>

namespace {

TEST(ByteBuffer, GrowsAndKeepsItsBytes) {
    ByteBuffer buffer(3, 0xAB);
    EXPECT_EQ(3u, buffer.getDword());
    EXPECT_EQ(0xAB, buffer.getLpbyte()[2]);

    const BYTE more[] = {1, 2};
    buffer.appendLpbyte(more, 2);
    buffer.appendLpbyte(nullptr, 0);
    const BYTE expected[] = {0xAB, 0xAB, 0xAB, 1, 2};
    EXPECT_EQ(ByteBuffer(expected, 5), buffer);

    // Appending its own bytes: growing moves them, the copy must still be right.
    buffer.appendLpbyte(buffer.getLpbyte() + 3, 2);
    EXPECT_EQ(7u, buffer.getDword());
    EXPECT_EQ(1, buffer.getLpbyte()[5]);
    EXPECT_EQ(2, buffer.getLpbyte()[6]);

    ByteBuffer copy = buffer;
    buffer.resize(9);
    EXPECT_EQ(0, buffer.getLpbyte()[8]);
    EXPECT_EQ(7u, copy.getDword());
    buffer.clear();
    EXPECT_EQ(0u, buffer.getDword());
    EXPECT_EQ(nullptr, buffer.getLpbyte());
}

TEST(ByteBuffer, NullBytesWithACountAreRefused) {
    ByteBuffer buffer;
    try {
        buffer.appendLpbyte(nullptr, 4);
        ADD_FAILURE() << "no exception";
    } catch (const KeldanComException& e) {
        EXPECT_EQ(E_POINTER, e.GetHresult());
    }
    EXPECT_EQ(0u, buffer.getDword());
}

TEST(ByteBuffer, ReadsAnsiBytesAsText) {
    struct Case {
        std::string bytes;
        const char16_t* expected;
    };
    const Case cases[] = {
        {"abc", u"abc"},
        {std::string("ab\0cd", 5), u"ab"}, // ends at the first zero byte
        {"caf\xC3\xA9 \xF0\x9F\x98\x80", u"caf\u00e9 \U0001F600"},
        {"", u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        const ByteBuffer buffer(reinterpret_cast<const BYTE*>(c.bytes.data()),
                                static_cast<DWORD>(c.bytes.size()));
        EXPECT_EQ(CXString(c.expected), buffer.getAsStringValueFromAnsiBuffer());
    }
}

} // namespace
