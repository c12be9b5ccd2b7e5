// The UTF-8 writer: the bytes of a conversion, and writes that go wrong in every way a stream
// can make them go wrong.
#include <filterutilities/widetoutf8.h>

#include <kldutil/keldanexception.h>

#include <platformtest.h>

#include <gtest/gtest.h>

#include "writestreamdoubles.h"

#include <functional>
#include <new>
#include <string>

using pipelinetest::Make;
using writestreamtest::Behaviour;
using writestreamtest::PrintWriteStream;
using writestreamtest::SequentialStream;

namespace {

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (const unsigned char byte : bytes) {
        text += {digits[byte >> 4], digits[byte & 15], ' '};
    }
    return text;
}

// The HRESULT of the KeldanComException an operation raises; S_OK when it raises nothing.
HRESULT RaisedBy(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const KeldanComException& exception) {
        return exception.GetHresult();
    }
    return S_OK;
}

std::string Converted(CWideToUTF8& converter, HRESULT expected = S_OK) {
    void* bytes = reinterpret_cast<void*>(1);
    ULONG count = 99;
    EXPECT_EQ(expected, converter.GetBuffer(&bytes, &count));
    if (FAILED(expected)) {
        EXPECT_EQ(nullptr, bytes);
        EXPECT_EQ(0u, count);
        return {};
    }
    return std::string(static_cast<const char*>(bytes), count);
}

TEST(CWideToUTF8, ConvertsTextToExactlyItsUtf8Bytes) {
    const struct {
        const char* name;
        std::u16string text;
        std::string utf8;
    } cases[] = {
        {"ASCII", u"AB", "AB"},
        {"two-byte", u"\u00E9", "\xC3\xA9"},
        {"three-byte", u"\u20AC", "\xE2\x82\xAC"},
        {"surrogate pair", u"\U0001D11E", "\xF0\x9D\x84\x9E"},
        {"embedded zero", std::u16string(u"a\0b", 3), std::string("a\0b", 3)},
        // UTF-8 cannot carry a surrogate without its pair: each becomes U+FFFD.
        {"lone high surrogate", u"\xD800", "\xEF\xBF\xBD"},
        {"lone low surrogate", u"\xDC00", "\xEF\xBF\xBD"},
        {"high surrogate before a letter",
         u"\xD83D"
         u"a",
         "\xEF\xBF\xBD"
         "a"},
        {"high surrogate at the end", u"a\xD83D", "a\xEF\xBF\xBD"},
        {"pair in the wrong order", u"\xDE00\xD83D", "\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const CXString text(c.text);
        CWideToUTF8 converter(&text);
        EXPECT_EQ(Hex(c.utf8), Hex(Converted(converter))) << "no terminator, no byte order mark";
        CComPtr<PrintWriteStream> stream = Make<PrintWriteStream>();
        EXPECT_EQ(S_OK, CWideToUTF8::WriteToPrintStream(&text, stream));
        EXPECT_EQ(Hex(c.utf8), Hex(stream->bytes));
    }
}

TEST(CWideToUTF8, EachConversionReadsTheSourceAsItStandsThen) {
    CXString text(u"A");
    CWideToUTF8 converter(&text);
    EXPECT_EQ("A", Converted(converter));
    text = u"B\u00E9";
    const unsigned long before = platformtest::AllocationCount();
    EXPECT_EQ("B\xC3\xA9", Converted(converter));
    EXPECT_EQ(before + 1, platformtest::AllocationCount()) << "one buffer, exactly as long";
    EXPECT_EQ("B\xC3\xA9", Converted(converter));
}

TEST(CWideToUTF8, EmptyTextHasNoConversionAndWritesNothing) {
    const CXString empty;
    CWideToUTF8 converter(&empty);
    Converted(converter, E_FAIL);
    CComPtr<PrintWriteStream> printStream = Make<PrintWriteStream>();
    CComPtr<SequentialStream> comStream = Make<SequentialStream>();
    EXPECT_EQ(E_FAIL, converter.WriteToPrintStream(printStream.p));
    EXPECT_EQ(E_FAIL, converter.WriteToPrintStream(comStream.p));
    EXPECT_EQ(E_FAIL, CWideToUTF8::WriteToPrintStream(&empty, printStream));
    EXPECT_EQ(0, printStream->writes);
    EXPECT_EQ(0, comStream->writes);
}

TEST(CWideToUTF8, NullArgumentsAreRefused) {
    const CXString text(u"x");
    EXPECT_EQ(E_POINTER, RaisedBy([] { CWideToUTF8 converter(nullptr); }));
    CComPtr<PrintWriteStream> stream = Make<PrintWriteStream>();
    EXPECT_EQ(E_POINTER, RaisedBy([&] { CWideToUTF8::WriteToPrintStream(nullptr, stream); }));
    EXPECT_EQ(E_POINTER, CWideToUTF8::WriteToPrintStream(&text, nullptr));

    CWideToUTF8 converter(&text);
    void* bytes = nullptr;
    ULONG count = 0;
    EXPECT_EQ(E_POINTER, converter.GetBuffer(nullptr, &count));
    EXPECT_EQ(E_POINTER, converter.GetBuffer(&bytes, nullptr));
    EXPECT_EQ(E_POINTER, converter.WriteToPrintStream(static_cast<IPrintWriteStream*>(nullptr)));
    EXPECT_EQ(E_POINTER, converter.WriteToPrintStream(static_cast<ISequentialStream*>(nullptr)));
    EXPECT_EQ(0, stream->writes);
}

// Seven bytes: a (1), e acute (2), a character outside the Basic Multilingual Plane (4).
const std::u16string kSevenBytes = u"a\u00E9\U0001F600";
const std::string kSevenBytesUtf8 = "a\xC3\xA9\xF0\x9F\x98\x80";

struct WriteCase {
    const char* name;
    Behaviour behaviour;
    HRESULT result;
    std::string written; // what the stream holds afterwards
    int writes;
};

const WriteCase kWriteCases[] = {
    {"taken whole", {}, S_OK, kSevenBytesUtf8, 1},
    {"taken a byte a write", {.chunk = 1}, S_OK, kSevenBytesUtf8, 7},
    {"taken three bytes a write", {.chunk = 3}, S_OK, kSevenBytesUtf8, 3},
    {"first write fails", {.failAt = 1, .failure = STG_E_MEDIUMFULL}, STG_E_MEDIUMFULL, "", 1},
    {"second write fails",
     {.chunk = 2, .failAt = 2, .failure = E_ACCESSDENIED},
     E_ACCESSDENIED,
     "a\xC3",
     2},
    {"a write takes nothing", {.chunk = 0}, HRESULT_FROM_WIN32(ERROR_WRITE_FAULT), "", 1},
    {"a write claims more than it was given",
     {.chunk = 4, .overstatement = 4},
     E_UNEXPECTED,
     "a\xC3\xA9\xF0",
     1},
};

template <class Stream>
void ExpectWrites(const std::function<HRESULT(const CXString&, Stream*)>& write) {
    const CXString text(kSevenBytes);
    for (const WriteCase& c : kWriteCases) {
        SCOPED_TRACE(c.name);
        CComPtr<Stream> stream = Make<Stream>();
        stream->behaviour = c.behaviour;
        EXPECT_EQ(c.result, write(text, stream));
        EXPECT_EQ(Hex(c.written), Hex(stream->bytes));
        EXPECT_EQ(c.writes, stream->writes);
    }
}

TEST(CWideToUTF8, WritesAllOfTheTextOrSaysWhyNot) {
    {
        SCOPED_TRACE("pipeline stream");
        ExpectWrites<PrintWriteStream>([](const CXString& text, PrintWriteStream* stream) {
            CWideToUTF8 converter(&text);
            return converter.WriteToPrintStream(static_cast<IPrintWriteStream*>(stream));
        });
    }
    {
        SCOPED_TRACE("COM stream");
        ExpectWrites<SequentialStream>([](const CXString& text, SequentialStream* stream) {
            CWideToUTF8 converter(&text);
            return converter.WriteToPrintStream(static_cast<ISequentialStream*>(stream));
        });
    }
}

TEST(CWideToUTF8, ABufferThatCannotBeAllocatedRaisesBadAllocAndWritesNothing) {
    const CXString text(kSevenBytes);
    CWideToUTF8 converter(&text);
    CComPtr<PrintWriteStream> stream = Make<PrintWriteStream>();
    {
        platformtest::AllocationFailure failure(1);
        EXPECT_THROW(converter.WriteToPrintStream(static_cast<IPrintWriteStream*>(stream)),
                     std::bad_alloc);
    }
    EXPECT_EQ(0, stream->writes);
    EXPECT_EQ(kSevenBytesUtf8, Converted(converter)) << "the converter still works";
}

} // namespace
