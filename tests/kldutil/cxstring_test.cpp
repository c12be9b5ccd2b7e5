#include <kldutil/cxstring.h>

#include <gtest/gtest.h>

TEST(CXStringText, NarrowTextIsUtf8) {
    EXPECT_EQ(CXString(u"G\u00e9\U0001F600"), CXString("G\xC3\xA9\xF0\x9F\x98\x80"));
    EXPECT_EQ(4, CXString("G\xC3\xA9\xF0\x9F\x98\x80").GetLength());
}
