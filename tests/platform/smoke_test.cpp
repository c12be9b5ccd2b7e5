#include "oleauto.h"

#include <gtest/gtest.h>

TEST(Bstr, HoldsLength) {
    BSTR text = SysAllocString(u"abc");
    EXPECT_EQ(3u, SysStringLen(text));
    SysFreeString(text);
}
