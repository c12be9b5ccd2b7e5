// BSTR allocation, lengths and comparisons, and VARIANT clean-up.
#include "atlbase.h"
#include "oleauto.h"
#include "platformtest.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::u16string Text(BSTR text) {
    return std::u16string(text, SysStringLen(text));
}

TEST(Bstr, LengthsComeFromThePrefixNotTheTerminator) {
    const char16_t withNull[] = {u'a', 0, u'b'};
    BSTR text = SysAllocStringLen(withNull, 3);
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(3u, SysStringLen(text));
    EXPECT_EQ(6u, SysStringByteLen(text));
    EXPECT_EQ(0, text[3]); // terminated after the counted text
    EXPECT_EQ(u'b', text[2]);
    SysFreeString(text);
}

TEST(Bstr, NullCountsAsEmpty) {
    EXPECT_EQ(nullptr, SysAllocString(nullptr));
    EXPECT_EQ(0u, SysStringLen(nullptr));
    EXPECT_EQ(0u, SysStringByteLen(nullptr));
    SysFreeString(nullptr); // harmless

    BSTR empty = SysAllocString(u"");
    ASSERT_NE(nullptr, empty);
    EXPECT_EQ(0u, SysStringLen(empty));
    EXPECT_EQ(VARCMP_EQ, VarBstrCmp(nullptr, empty, LOCALE_USER_DEFAULT, 0));
    SysFreeString(empty);

    BSTR zeroed = SysAllocStringLen(nullptr, 4);
    ASSERT_NE(nullptr, zeroed);
    EXPECT_EQ(4u, SysStringLen(zeroed));
    EXPECT_EQ(0, zeroed[0]);
    SysFreeString(zeroed);
}

TEST(Bstr, ByteLengthKeepsOddCounts) {
    BSTR bytes = SysAllocStringByteLen("abc", 3);
    ASSERT_NE(nullptr, bytes);
    EXPECT_EQ(3u, SysStringByteLen(bytes));
    EXPECT_EQ(1u, SysStringLen(bytes));
    EXPECT_EQ('c', reinterpret_cast<const char*>(bytes)[2]);
    EXPECT_EQ(0, reinterpret_cast<const char*>(bytes)[3]);
    SysFreeString(bytes);
}

TEST(Bstr, ReAllocateFromItsOwnText) {
    BSTR text = SysAllocString(u"hello world");
    ASSERT_TRUE(SysReAllocString(&text, text + 6));
    EXPECT_EQ(u"world", Text(text));
    ASSERT_TRUE(SysReAllocStringLen(&text, u"abc", 2));
    EXPECT_EQ(u"ab", Text(text));
    EXPECT_FALSE(SysReAllocString(nullptr, u"x"));
    SysFreeString(text);
}

TEST(Bstr, AllocationFailureGivesNull) {
    platformtest::AllocationFailure failNext(1);
    EXPECT_EQ(nullptr, SysAllocString(u"x"));
    BSTR next = SysAllocString(u"y"); // only the one call fails
    EXPECT_NE(nullptr, next);
    SysFreeString(next);
}

TEST(Bstr, CComBstrCopyThatCannotAllocateThrows) {
    CComBSTR original(u"text");
    platformtest::AllocationFailure failNext(1);
    try {
        CComBSTR copy(original);
        FAIL() << "copy should have thrown";
    } catch (const ATL::CAtlException& e) {
        EXPECT_EQ(E_OUTOFMEMORY, static_cast<HRESULT>(e));
    }
}

TEST(VarBstrCmp, OrdersByCodeUnit) {
    struct Case {
        const char16_t* left;
        const char16_t* right;
        ULONG flags;
        HRESULT expected;
    };
    const Case cases[] = {
        {u"abc", u"abc", 0, VARCMP_EQ},
        {u"abc", u"abd", 0, VARCMP_LT},
        {u"abd", u"abc", 0, VARCMP_GT},
        {u"ab", u"abc", 0, VARCMP_LT}, // a prefix sorts first
        {u"abc", u"ab", 0, VARCMP_GT},
        {u"ABC", u"abc", 0, VARCMP_LT}, // case-sensitive: 'A' < 'a'
        {u"ABC", u"abc", NORM_IGNORECASE, VARCMP_EQ},
        {u"", nullptr, 0, VARCMP_EQ},
        {nullptr, u"a", 0, VARCMP_LT},
        {u"\xD83D\xDE00", u"\xFFFD", 0, VARCMP_LT}, // surrogates sort as code units
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "case " << (&c - cases));
        CComBSTR left(c.left);
        CComBSTR right(c.right);
        EXPECT_EQ(c.expected, VarBstrCmp(left, right, LOCALE_USER_DEFAULT, c.flags));
    }
}

TEST(VarBstrCat, JoinsAndHandlesNull) {
    CComBSTR left(u"print");
    CComBSTR right(u"ticket");
    BSTR joined = nullptr;
    ASSERT_EQ(S_OK, VarBstrCat(left, right, &joined));
    EXPECT_EQ(u"printticket", Text(joined));
    SysFreeString(joined);

    ASSERT_EQ(S_OK, VarBstrCat(nullptr, nullptr, &joined));
    EXPECT_NE(nullptr, joined);
    EXPECT_EQ(0u, SysStringLen(joined));
    SysFreeString(joined);

    EXPECT_EQ(E_INVALIDARG, VarBstrCat(left, right, nullptr));
}

TEST(Variant, ClearFreesWhatItHolds) {
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(u"owned");
    EXPECT_EQ(S_OK, VariantClear(&text)); // ASan reports the leak otherwise
    EXPECT_EQ(VT_EMPTY, text.vt);

    VARIANT copy;
    VariantInit(&copy);
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_BSTR;
    source.bstrVal = SysAllocString(u"copied");
    ASSERT_EQ(S_OK, VariantCopy(&copy, &source));
    EXPECT_NE(source.bstrVal, copy.bstrVal);
    EXPECT_EQ(u"copied", Text(copy.bstrVal));
    VariantClear(&source);
    VariantClear(&copy);

    BSTR kept = SysAllocString(u"by reference");
    VARIANT byRef;
    VariantInit(&byRef);
    byRef.vt = VT_BSTR | VT_BYREF;
    byRef.pbstrVal = &kept;
    VariantClear(&byRef); // does not free what it only refers to
    EXPECT_EQ(u"by reference", Text(kept));
    SysFreeString(kept);
}

} // namespace
