#include <kldutil/cxstring.h>

#include <kldutil/keldanexception.h>

#include <gtest/gtest.h>

#include "textprinters.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace {

CXString Formatted(const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    CXString text(u"previous text");
    text.FormatV(format, args);
    va_end(args);
    return text;
}

std::string Utf8(const CXString& text) {
    return text.ToUtf8();
}

struct FormatCase {
    const char* what;
    CXString actual;
    const char16_t* expected;
};

TEST(CXStringFormat, ProducesPrintfText) {
    const WCHAR* nullText = nullptr;
    const std::vector<FormatCase> cases = {
        {"signed", Formatted(u"%d|%i|%d", -42, 7, INT_MIN), u"-42|7|-2147483648"},
        {"widths and flags", Formatted(u"[%5d][%-5d][%05d][%+d][% d]", 42, 42, -42, 5, 5),
         u"[   42][42   ][-0042][+5][ 5]"},
        {"unsigned", Formatted(u"%u", -1), u"4294967295"},
        {"hex", Formatted(u"%x|%X|%#x|%08x|%x", 255, 255, 255, 0xBEEF, -1),
         u"ff|FF|0xff|0000beef|ffffffff"},
        {"octal", Formatted(u"%o|%#o", 8, 8), u"10|010"},
        {"integer precision", Formatted(u"%.3d|%.0d|%5.3d", 5, 0, -7), u"005|| -007"},
        // l is 32-bit as on Windows; ll and I64 are 64-bit.
        {"long is 32-bit", Formatted(u"%lu %ld", DWORD{4000000000u}, LONG{-5}), u"4000000000 -5"},
        {"64-bit", Formatted(u"%lld %I64u", INT64_MIN, UINT64_MAX),
         u"-9223372036854775808 18446744073709551615"},
        {"narrowed", Formatted(u"%hhd|%hd|%hu", 0x1FF, 0x18000, 0x1FFFF), u"-1|-32768|65535"},
        {"two decimals", Formatted(u"%.2f|%.2f|%.2f|%.2f", 0.5, 2.675, -1.005, 1e6),
         u"0.50|2.67|-1.00|1000000.00"},
        {"real widths", Formatted(u"[%8.2f][%-8.2f][%08.2f]", 3.14159, 3.14159, -3.14159),
         u"[    3.14][3.14    ][-0003.14]"},
        {"real defaults", Formatted(u"%f|%e|%E|%g|%g|%G", 1.0, 12345.678, 0.5, 0.0001, 1e20, 1e-10),
         u"1.000000|1.234568e+04|5.000000E-01|0.0001|1e+20|1E-10"},
        {"zero precision", Formatted(u"%.0f|%#.0f|%.0e", 2.5, 2.5, 3.0), u"2|2.|3e+00"},
        {"not finite", Formatted(u"%f|%F|%f|%5.1f", INFINITY, INFINITY, -INFINITY, NAN),
         u"inf|INF|-inf|  nan"},
        {"star width and precision",
         Formatted(u"[%*d][%-*d][%.*f][%*d]", 4, 7, 3, 7, 1, 2.25, -3, 1),
         u"[   7][7  ][2.2][1  ]"},
        {"wide strings", Formatted(u"%s and %s", u"wide", u"text"), u"wide and text"},
        {"null string is empty", Formatted(u"[%s][%3s]", nullText, nullText), u"[][   ]"},
        {"string width and precision", Formatted(u"[%5s][%-5s][%.2s]", u"ab", u"ab", u"abc"),
         u"[   ab][ab   ][ab]"},
        {"surrogate pair passes whole", Formatted(u"<%s>", u"\U0001F600x"), u"<\U0001F600x>"},
        {"precision never splits a pair",
         Formatted(u"[%.1s][%.2s][%.3s]", u"\U0001F600", u"\U0001F600", u"a\U0001F600"),
         u"[][\U0001F600][a\U0001F600]"},
        {"narrow string is UTF-8", Formatted(u"%hs|%S", "caf\xC3\xA9", "\xF0\x9F\x98\x80"),
         u"caf\u00e9|\U0001F600"},
        {"characters", Formatted(u"%c%c%hc", u'A', 0x263A, 'z'), u"A\u263Az"},
        {"percent", Formatted(u"100%%"), u"100%"},
        {"empty format", Formatted(u""), u""},
    };
    for (const FormatCase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Utf8(CXString(c.expected)), Utf8(c.actual));
    }
}

TEST(CXStringFormat, RefusesMalformedFormatsAndKeepsText) {
    for (const char16_t* format :
         {u"%", u"abc%", u"%n", u"%q", u"%a", u"%#g", u"%5", u"%99999999999d"}) {
        SCOPED_TRACE(Utf8(CXString(format)));
        CXString text(u"kept");
        int sink = 0;
        try {
            text.Format(format, &sink);
            ADD_FAILURE() << "no exception";
        } catch (const KeldanComException& e) {
            EXPECT_EQ(E_INVALIDARG, e.GetHresult());
        }
        EXPECT_EQ(CXString(u"kept"), text);
        EXPECT_EQ(0, sink);
    }
}

TEST(CXStringFormat, AppendFormatAppends) {
    CXString text(u"Job_");
    text.AppendFormat(u"%u_%x", 12u, 255u);
    EXPECT_EQ(CXString(u"Job_12_ff"), text);
}

TEST(CXStringText, ConstructionFromNarrowAndWideText) {
    const WCHAR* nullWide = nullptr;
    const char* nullNarrow = nullptr;
    EXPECT_EQ(CXString(u"G\u00e9\U0001F600"), CXString("G\xC3\xA9\xF0\x9F\x98\x80"));
    EXPECT_EQ(4, CXString("G\xC3\xA9\xF0\x9F\x98\x80").GetLength()); // the pair counts twice
    EXPECT_EQ(CXString(u"a\uFFFDb"), CXString("a\xFF"
                                              "b")); // malformed byte
    EXPECT_TRUE(CXString(nullWide).IsEmpty());
    EXPECT_TRUE(CXString(nullNarrow).IsEmpty());
    EXPECT_EQ(CXString(u"ab"), CXString(u"abc", 2));
    EXPECT_EQ(CXString(u"--"), CXString(u'-', 2));
    EXPECT_EQ("G\xC3\xA9\xF0\x9F\x98\x80", CXString(u"G\u00e9\U0001F600").ToUtf8());
    EXPECT_EQ(0, *static_cast<const WCHAR*>(CXString()));
}

TEST(CXStringText, HasValueSemantics) {
    CXString original(u"abc");
    CXString copy = original;
    original += u"def";
    original.SetAt(0, u'X');
    EXPECT_EQ(CXString(u"abc"), copy);
    EXPECT_EQ(CXString(u"Xbcdef"), original);

    CXString self(u"ab");
    self += self;
    self = self.GetString() + 1; // assigning from its own text
    EXPECT_EQ(CXString(u"bab"), self);

    EXPECT_EQ(CXString(u"a-b!c"), CXString(u"a") + u"-" + CXString(u"b") + u'!' + u"c");
    EXPECT_EQ(CXString(u"xa"), u"x" + CXString(u"a"));
    EXPECT_THROW(copy.GetAt(3), KeldanComException);
    EXPECT_THROW(copy.SetAt(-1, u'a'), KeldanComException);
}

TEST(CXStringSearch, FindAndReverseFind) {
    struct Case {
        const char16_t* text;
        const char16_t* sub;
        int start;
        int expected;
    };
    const Case cases[] = {
        {u"abcabc", u"bc", 0, 1},
        {u"abcabc", u"bc", 2, 4},
        {u"abcabc", u"x", 0, -1},
        {u"abc", u"abcd", 0, -1},
        {u"abc", u"", 1, 1},
        {u"abc", u"", 4, -1},
        {u"abc", u"c", -3, 2},
        {u"abc", u"a", 1, -1},
        {u"", u"a", 0, -1},
        {u"a\U0001F600b", u"\U0001F600", 0, 1},
        {u"a\U0001F600b", u"b", 0, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf8(CXString(c.text)) + " / " + Utf8(CXString(c.sub)));
        EXPECT_EQ(c.expected, CXString(c.text).Find(c.sub, c.start));
    }
    const CXString path(u"a/b/c");
    EXPECT_EQ(1, path.Find(u'/'));
    EXPECT_EQ(3, path.Find(u'/', 2));
    EXPECT_EQ(-1, path.Find(u'/', 99));
    EXPECT_EQ(-1, path.Find(u'x'));
    EXPECT_EQ(3, path.ReverseFind(u'/'));
    EXPECT_EQ(-1, path.ReverseFind(u'x'));
    EXPECT_EQ(-1, CXString().ReverseFind(u'/'));
}

TEST(CXStringEdit, ExtractionClampsToTheText) {
    const CXString text(u"abcde");
    struct Case {
        const char* what;
        CXString actual;
        const char16_t* expected;
    };
    const Case cases[] = {
        {"Left(2)", text.Left(2), u"ab"},
        {"Left(-1)", text.Left(-1), u""},
        {"Left(99)", text.Left(99), u"abcde"},
        {"Mid(1)", text.Mid(1), u"bcde"},
        {"Mid(1, 2)", text.Mid(1, 2), u"bc"},
        {"Mid(4, 99)", text.Mid(4, 99), u"e"},
        {"Mid(9)", text.Mid(9), u""},
        {"Mid(-2, 2)", text.Mid(-2, 2), u"ab"},
        {"Mid(2, -1)", text.Mid(2, -1), u""},
        {"Right(2)", text.Right(2), u"de"},
        {"Right(9)", text.Right(9), u"abcde"},
        {"Right(-1)", text.Right(-1), u""},
        {"Mid(INT_MAX, INT_MAX)", text.Mid(INT_MAX, INT_MAX), u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(CXString(c.expected), c.actual);
    }
}

TEST(CXStringEdit, DeleteRemovesWhatIsThere) {
    struct Case {
        int index;
        int count;
        const char16_t* expected;
    };
    const Case cases[] = {
        {1, 2, u"adef"},    {4, 99, u"abcd"},
        {10, 1, u"abcdef"}, {6, 1, u"abcdef"},
        {-1, 1, u"bcdef"},  {2, 0, u"abcdef"},
        {2, -5, u"abcdef"}, {0, INT_MAX, u""},
        {5, 1, u"abcde"},   {INT_MAX, INT_MAX, u"abcdef"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "Delete(" << c.index << ", " << c.count << ")");
        CXString text(u"abcdef");
        EXPECT_EQ(CXString(c.expected).GetLength(), text.Delete(c.index, c.count));
        EXPECT_EQ(CXString(c.expected), text);
    }
}

TEST(CXStringEdit, ReplaceEveryOccurrence) {
    struct Case {
        const char16_t* text;
        const char16_t* from;
        const char16_t* to;
        int replaced;
        const char16_t* expected;
    };
    const Case cases[] = {
        {u"a.b.c", u".", u"::", 2, u"a::b::c"},
        {u"aaaa", u"aa", u"b", 2, u"bb"},
        {u"aaa", u"aa", u"a", 1, u"aa"},
        {u"abc", u"", u"x", 0, u"abc"},
        {u"abc", u"b", u"", 1, u"ac"},
        {u"abc", u"x", u"y", 0, u"abc"},
        {u"pkx:Name", u"pkx:", u"pk:", 1, u"pk:Name"},
        {u"\U0001F600\U0001F600", u"\U0001F600", u"=", 2, u"=="},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf8(CXString(c.text)));
        CXString text(c.text);
        EXPECT_EQ(c.replaced, text.Replace(c.from, c.to));
        EXPECT_EQ(CXString(c.expected), text);
    }

    // Markup escaping: the ampersand goes first so later entities are not escaped again.
    CXString markup(u"a&<b>\"'");
    markup.Replace(u"&", u"&amp;");
    markup.Replace(u"<", u"&lt;");
    markup.Replace(u">", u"&gt;");
    EXPECT_EQ(CXString(u"a&amp;&lt;b&gt;\"'"), markup);

    CXString self(u"abab");
    EXPECT_EQ(2, self.Replace(self.GetString() + 2, self.GetString())); // arguments inside it
    EXPECT_EQ(CXString(u"abababab"), self);

    CXString units(u"a-b-c");
    EXPECT_EQ(2, units.Replace(u'-', u'+'));
    EXPECT_EQ(CXString(u"a+b+c"), units);
}

TEST(CXStringCompare, IsATotalOrdinalOrder) {
    const WCHAR* nullText = nullptr;
    struct Case {
        const char16_t* a;
        const char16_t* b;
        int expected;
    };
    const Case cases[] = {
        {u"a", u"b", -1},
        {u"b", u"a", 1},
        {u"a", u"a", 0},
        {u"a", u"ab", -1},
        {u"B", u"a", -1},
        {u"", u"", 0},
        {u"", u"a", -1},
        {u"\uFFFF", u"\U0001F600", 1}, // code unit order: 0xFFFF follows the high surrogate
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf8(CXString(c.a)) + " vs " + Utf8(CXString(c.b)));
        EXPECT_EQ(c.expected, CXString(c.a).Compare(c.b));
        EXPECT_EQ(-c.expected, CXString(c.b).Compare(CXString(c.a)));
        EXPECT_EQ(c.expected < 0, CXString(c.a) < CXString(c.b));
        EXPECT_EQ(c.expected == 0, CXString(c.a) == c.b);
    }
    EXPECT_EQ(0, CXString().Compare(nullText));

    std::map<CXString, int> ordered{{CXString(u"b"), 2}, {CXString(u"a"), 1}, {CXString(u"ab"), 3}};
    std::vector<CXString> keys;
    for (const auto& entry : ordered) {
        keys.push_back(entry.first);
    }
    EXPECT_EQ((std::vector<CXString>{CXString(u"a"), CXString(u"ab"), CXString(u"b")}), keys);
}

TEST(CXStringEdit, SpanExcludingAndBlankness) {
    EXPECT_EQ(CXString(u"key"), CXString(u"key=value;").SpanExcluding(u"=;"));
    EXPECT_EQ(CXString(u"abc"), CXString(u"abc").SpanExcluding(u"xyz"));
    EXPECT_EQ(CXString(u"abc"), CXString(u"abc").SpanExcluding(u""));
    EXPECT_EQ(CXString(u""), CXString(u"=x").SpanExcluding(u"="));

    EXPECT_TRUE(CXString().IsBlank());
    EXPECT_TRUE(CXString(u" \t\r\n").IsBlank());
    EXPECT_FALSE(CXString(u" x ").IsBlank());
    CXString text(u"x");
    text.Empty();
    EXPECT_TRUE(text.IsEmpty());
}

TEST(CXStringBuffer, WritesThroughTheBuffer) {
    CXString text(u"ab");
    WCHAR* buffer = text.GetBuffer(10);
    EXPECT_EQ(u'a', buffer[0]);
    const std::u16string hello = u"hello";
    hello.copy(buffer, hello.size());
    buffer[5] = 0;
    text.ReleaseBuffer();
    EXPECT_EQ(CXString(u"hello"), text);

    buffer = text.GetBuffer(0); // never smaller than the text
    EXPECT_EQ(u'h', buffer[0]);
    text.ReleaseBuffer(2);
    EXPECT_EQ(CXString(u"he"), text);

    CXString sized(u"abcdef");
    sized.GetBufferSetLength(3);
    EXPECT_EQ(CXString(u"abc"), sized);
    WCHAR* grown = sized.GetBufferSetLength(5);
    EXPECT_EQ(5, sized.GetLength());
    EXPECT_EQ(0, grown[3]);
    EXPECT_EQ(0, grown[5]); // still terminated
}

} // namespace
