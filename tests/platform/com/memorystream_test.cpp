// The memory stream of CreateStreamOnHGlobal.
#include "atlbase.h"
#include "platformtest.h"

#include <gtest/gtest.h>

#include <string>

namespace {

CComPtr<IStream> NewStream() {
    CComPtr<IStream> stream;
    EXPECT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, &stream));
    return stream;
}

ULONGLONG SeekTo(IStream* stream, LONGLONG offset, DWORD origin, HRESULT expected = S_OK) {
    LARGE_INTEGER move{};
    move.QuadPart = offset;
    ULARGE_INTEGER position{};
    EXPECT_EQ(expected, stream->Seek(move, origin, &position));
    return position.QuadPart;
}

std::string ReadAll(IStream* stream) {
    std::string out;
    char buffer[7];
    ULONG read = 0;
    while (SUCCEEDED(stream->Read(buffer, sizeof buffer, &read)) && read > 0) {
        out.append(buffer, read);
    }
    return out;
}

TEST(MemoryStream, WriteSeekReadStat) {
    CComPtr<IStream> stream = NewStream();
    ULONG written = 0;
    ASSERT_EQ(S_OK, stream->Write("hello, world", 12, &written));
    EXPECT_EQ(12u, written);

    EXPECT_EQ(0u, SeekTo(stream, 0, STREAM_SEEK_SET));
    EXPECT_EQ("hello, world", ReadAll(stream));

    EXPECT_EQ(7u, SeekTo(stream, -5, STREAM_SEEK_END));
    EXPECT_EQ(9u, SeekTo(stream, 2, STREAM_SEEK_CUR));
    EXPECT_EQ("rld", ReadAll(stream));

    // A failed seek leaves the position where it was.
    SeekTo(stream, -13, STREAM_SEEK_END, STG_E_INVALIDFUNCTION);
    SeekTo(stream, 0, 7, STG_E_INVALIDFUNCTION);
    EXPECT_EQ(12u, SeekTo(stream, 0, STREAM_SEEK_CUR));

    STATSTG stat{};
    ASSERT_EQ(S_OK, stream->Stat(&stat, STATFLAG_NONAME));
    EXPECT_EQ(static_cast<DWORD>(STGTY_STREAM), stat.type);
    EXPECT_EQ(12u, stat.cbSize.QuadPart);
    EXPECT_EQ(nullptr, stat.pwcsName);
}

TEST(MemoryStream, WritingPastTheEndFillsTheGapWithZeros) {
    CComPtr<IStream> stream = NewStream();
    SeekTo(stream, 4, STREAM_SEEK_SET);
    ASSERT_EQ(S_OK, stream->Write("x", 1, nullptr));
    SeekTo(stream, 0, STREAM_SEEK_SET);
    EXPECT_EQ(std::string("\0\0\0\0x", 5), ReadAll(stream));

    // Reading at the end answers S_OK with nothing read.
    char byte = 0;
    ULONG read = 99;
    EXPECT_EQ(S_OK, stream->Read(&byte, 1, &read));
    EXPECT_EQ(0u, read);
}

TEST(MemoryStream, GrowsAcrossManyWrites) {
    CComPtr<IStream> stream = NewStream();
    std::string expected;
    for (int i = 0; i < 5000; ++i) {
        const std::string piece = std::to_string(i) + ";";
        expected += piece;
        ASSERT_EQ(S_OK, stream->Write(piece.data(), static_cast<ULONG>(piece.size()), nullptr));
    }
    SeekTo(stream, 0, STREAM_SEEK_SET);
    EXPECT_EQ(expected, ReadAll(stream));
}

TEST(MemoryStream, CloneSharesBytesButNotPosition) {
    CComPtr<IStream> stream = NewStream();
    stream->Write("abcdef", 6, nullptr);
    SeekTo(stream, 2, STREAM_SEEK_SET);
    CComPtr<IStream> clone;
    ASSERT_EQ(S_OK, stream->Clone(&clone));
    EXPECT_EQ("cdef", ReadAll(clone));
    EXPECT_EQ(2u, SeekTo(stream, 0, STREAM_SEEK_CUR));
    SeekTo(clone, 0, STREAM_SEEK_END);
    clone->Write("g", 1, nullptr);
    EXPECT_EQ("cdefg", ReadAll(stream));
}

TEST(MemoryStream, CopyToAnotherStream) {
    CComPtr<IStream> source = NewStream();
    source->Write("0123456789", 10, nullptr);
    SeekTo(source, 3, STREAM_SEEK_SET);
    CComPtr<IStream> target = NewStream();
    ULARGE_INTEGER count{};
    count.QuadPart = 4;
    ULARGE_INTEGER read{};
    ULARGE_INTEGER written{};
    ASSERT_EQ(S_OK, source->CopyTo(target, count, &read, &written));
    EXPECT_EQ(4u, read.QuadPart);
    EXPECT_EQ(4u, written.QuadPart);
    SeekTo(target, 0, STREAM_SEEK_SET);
    EXPECT_EQ("3456", ReadAll(target));
}

TEST(MemoryStream, InterfacesAndOutOfMemory) {
    CComPtr<IStream> stream = NewStream();
    CComPtr<ISequentialStream> sequential;
    EXPECT_EQ(S_OK, stream.QueryInterface(&sequential));
    CComPtr<IUnknown> unknown;
    EXPECT_EQ(S_OK, stream.QueryInterface(&unknown));
    EXPECT_TRUE(stream.IsEqualObject(sequential));

    CComPtr<IStream> onHandle;
    EXPECT_EQ(E_INVALIDARG, CreateStreamOnHGlobal(reinterpret_cast<HGLOBAL>(1), TRUE, &onHandle));
    EXPECT_EQ(nullptr, onHandle.p);
    {
        platformtest::AllocationFailure failNext(1);
        IStream* none = reinterpret_cast<IStream*>(1);
        EXPECT_EQ(E_OUTOFMEMORY, CreateStreamOnHGlobal(nullptr, TRUE, &none));
        EXPECT_EQ(nullptr, none);
    }
    CComPtr<IStream> fresh = NewStream();
    platformtest::AllocationFailure failNext(1);
    ULONG written = 99;
    EXPECT_EQ(STG_E_MEDIUMFULL, fresh->Write("abc", 3, &written));
    EXPECT_EQ(0u, written);
}

} // namespace
