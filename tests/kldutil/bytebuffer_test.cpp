#include <kldutil/bytebuffer.h>

#include <gtest/gtest.h>

TEST(ByteBuffer, AppendsAndReadsAsText) {
    ByteBuffer buffer;
    const BYTE text[] = {'a', 'b', 'c'};
    buffer.appendLpbyte(text, 3);
    EXPECT_EQ(3u, buffer.getDword());
    EXPECT_EQ(CXString(u"abc"), buffer.getAsStringValueFromAnsiBuffer());
}
