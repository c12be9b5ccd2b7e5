// GUIDs as the text registry entries and configuration files hold.
#include <objbase.h>

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(GuidText, ReadsAndWritesTheBracedForm) {
    CLSID clsid{};
    ASSERT_EQ(S_OK, CLSIDFromString(u"{5f1d7e00-0000-4000-8000-0000000000aB}", &clsid));
    EXPECT_TRUE(
        IsEqualCLSID(CLSID{0x5F1D7E00, 0x0000, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0xAB}}, clsid));
    WCHAR text[39];
    EXPECT_EQ(0, StringFromGUID2(clsid, text, 38));
    ASSERT_EQ(39, StringFromGUID2(clsid, text, 39));
    EXPECT_EQ(std::u16string(u"{5F1D7E00-0000-4000-8000-0000000000AB}"), text);
    for (const char16_t* bad :
         {u"", u"{5F1D7E00-0000-4000-8000-0000000000AB", u"5F1D7E00-0000-4000-8000-0000000000AB",
          u"{5F1D7E00-0000-4000-8000-0000000000AB}x", u"{5F1D7E00+0000-4000-8000-0000000000AB}",
          u"{5F1D7E0G-0000-4000-8000-0000000000AB}"}) {
        EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromString(bad, &clsid));
    }
    EXPECT_EQ(E_INVALIDARG, IIDFromString(u"{}", &clsid));
}

} // namespace
