// The adapters that let MSXML read a pipeline read stream: a real DOM load through each, the
// size and name that Stat gives, and what the read-only adapter refuses.
#include "comtest.h"
#include "devmodetestsupport.h"
#include "pipelinetestdoubles.h"
#include "printschematestsupport.h"

#include <filterutilities/printreadstreamtoistream.h>

#include <kldutil/keldanexception.h>

#include <platformtest.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

using namespace printschematest;
using pipelinetest::Make;
using pipelinetest::MemoryReadStream;

namespace {

class ReadStreamAdapters : public DomTest {};

// A ticket long enough that the DOM reads it in several calls.
std::string LongTicket() {
    std::string body;
    for (int i = 0; i < 300; ++i) {
        body +=
            devmodetest::FeatureXml("Feature" + std::to_string(i), "Option" + std::to_string(i));
    }
    return devmodetest::TicketXml(body);
}

TEST_F(ReadStreamAdapters, TheDomLoadsATicketThroughEither) {
    const std::string ticket = LongTicket();
    const std::function<CComPtr<IUnknown>(IPrintReadStream*)> adapters[] = {
        [](IPrintReadStream* source) {
            CComPtr<IUnknown> adapter;
            adapter.Attach(static_cast<IStream*>(new CPrintReadStreamToIStream(source)));
            return adapter;
        },
        [](IPrintReadStream* source) {
            CComPtr<IUnknown> adapter;
            adapter.Attach(new pfp::PrintReadStreamToSeqStream(source));
            return adapter;
        },
    };
    for (const auto& makeAdapter : adapters) {
        for (ULONG chunk : {1u, 7u, 4096u}) {
            SCOPED_TRACE("chunk " + std::to_string(chunk));
            CComPtr<MemoryReadStream> source = Make<MemoryReadStream>(ticket, chunk);
            CComPtr<IXMLDOMDocument2> dom = NewDom();
            {
                CComPtr<IUnknown> adapter = makeAdapter(source);
                VARIANT input;
                ::VariantInit(&input);
                input.vt = VT_UNKNOWN;
                input.punkVal = adapter;
                VARIANT_BOOL loaded = VARIANT_FALSE;
                ASSERT_EQ(S_OK, dom->load(input, &loaded));
                EXPECT_EQ(VARIANT_TRUE, loaded);
                EXPECT_REF(source.p, 2); // the adapter's own reference
            }
            EXPECT_REF(source.p, 1); // the last Release of the adapter let the source go
            EXPECT_EQ(Canonical(ticket), Canonical(StreamBytesOf(dom)));
        }
    }
}

TEST_F(ReadStreamAdapters, ReadTheSourceFromWhereItStandsAndRefuseNullBuffers) {
    CComPtr<MemoryReadStream> source = Make<MemoryReadStream>("0123456789");
    source->position = 4;
    CComPtr<IStream> stream;
    stream.Attach(new CPrintReadStreamToIStream(source));
    CComPtr<ISequentialStream> sequential;
    sequential.Attach(new pfp::PrintReadStreamToSeqStream(source));
    for (ISequentialStream* reader : {static_cast<ISequentialStream*>(stream.p), sequential.p}) {
        char buffer[4] = {};
        ULONG read = 99;
        EXPECT_EQ(E_POINTER, reader->Read(nullptr, 4, &read));
        EXPECT_EQ(E_POINTER, reader->Read(buffer, 4, nullptr));
        const int readsBefore = source->reads;
        EXPECT_EQ(S_OK, reader->Read(buffer, 0, &read));
        EXPECT_EQ(0u, read);
        EXPECT_EQ(readsBefore, source->reads); // nothing asked of the source
        EXPECT_EQ(S_OK, reader->Read(buffer, 3, &read));
        EXPECT_EQ("456", std::string(buffer, read));
        EXPECT_EQ(E_NOTIMPL, reader->Write(buffer, 1, &read));
        source->position = 4;
    }
    char buffer[4];
    ULONG read = 0;
    source->overstatement = 1;
    EXPECT_EQ(E_UNEXPECTED, stream->Read(buffer, 2, &read));
    EXPECT_EQ(0u, read);
    EXPECT_EQ(E_UNEXPECTED, sequential->Read(buffer, 2, &read));
    EXPECT_EQ(0u, read);
    source->overstatement = 0;
    source->readFailure = E_ACCESSDENIED;
    EXPECT_EQ(E_ACCESSDENIED, stream->Read(buffer, 4, &read));
    EXPECT_EQ(E_ACCESSDENIED, sequential->Read(buffer, 4, &read));
}

TEST_F(ReadStreamAdapters, AnswerTheirOwnInterfacesOnly) {
    CComPtr<MemoryReadStream> source = Make<MemoryReadStream>("x");
    CComPtr<IStream> stream;
    stream.Attach(new CPrintReadStreamToIStream(source));
    CComPtr<ISequentialStream> sequential;
    sequential.Attach(new pfp::PrintReadStreamToSeqStream(source));
    struct Case {
        IUnknown* object;
        IID iid;
        HRESULT expected;
    };
    const Case cases[] = {
        {stream, IID_IUnknown, S_OK},
        {stream, IID_IStream, S_OK},
        {stream, IID_ISequentialStream, S_OK},
        {stream, IID_IPrintReadStream, E_NOINTERFACE},
        {sequential, IID_IUnknown, S_OK},
        {sequential, IID_ISequentialStream, S_OK},
        {sequential, IID_IStream, E_NOINTERFACE},
        {sequential, IID_IPrintReadStream, E_NOINTERFACE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        void* answer = &answer;
        EXPECT_EQ(c.expected, c.object->QueryInterface(c.iid, &answer));
        if (c.expected == S_OK) {
            EXPECT_REF(c.object, 2);
            // One object: each interface is the one pointer, and gives back the same IUnknown.
            EXPECT_EQ(static_cast<void*>(c.object), answer);
            CComPtr<IUnknown> identity;
            ASSERT_EQ(S_OK, static_cast<IUnknown*>(answer)->QueryInterface(
                                IID_IUnknown, reinterpret_cast<void**>(&identity)));
            EXPECT_EQ(c.object, identity.p);
            EXPECT_REF(c.object, 3);
            identity.Release();
            static_cast<IUnknown*>(answer)->Release();
        } else {
            EXPECT_EQ(nullptr, answer);
        }
        EXPECT_EQ(E_POINTER, c.object->QueryInterface(c.iid, nullptr));
        EXPECT_REF(c.object, 1);
    }
}

TEST_F(ReadStreamAdapters, RefuseANullSource) {
    for (const std::function<void()>& make : std::initializer_list<std::function<void()>>{
             [] { CComPtr<IStream>().Attach(new CPrintReadStreamToIStream(nullptr)); },
             [] {
                 CComPtr<ISequentialStream>().Attach(new pfp::PrintReadStreamToSeqStream(nullptr));
             }}) {
        EXPECT_EQ(E_POINTER, RaisedBy(make));
    }
}

TEST_F(ReadStreamAdapters, StatMeasuresTheSizeOnceAndLeavesThePosition) {
    CComPtr<MemoryReadStream> source = Make<MemoryReadStream>(std::string(1234, 'x'));
    source->position = 100;
    CComPtr<IStream> stream;
    stream.Attach(new CPrintReadStreamToIStream(source));

    STATSTG stat{};
    ASSERT_EQ(S_OK, stream->Stat(&stat, STATFLAG_DEFAULT));
    EXPECT_EQ(1234u, stat.cbSize.QuadPart);
    EXPECT_EQ(100u, source->position);
    ASSERT_NE(nullptr, stat.pwcsName);
    EXPECT_EQ(u"PrintReadStream", std::u16string(stat.pwcsName));
    ::CoTaskMemFree(stat.pwcsName);
    EXPECT_EQ(static_cast<DWORD>(STGTY_STREAM), stat.type);
    EXPECT_EQ(0x20u, stat.grfMode);
    EXPECT_EQ(1u, stat.grfLocksSupported);
    EXPECT_EQ(0u, stat.grfStateBits);
    EXPECT_TRUE(IsEqualGUID(GUID{}, stat.clsid));
    EXPECT_NE(0u, stat.ctime.dwLowDateTime | stat.ctime.dwHighDateTime);

    const int seeks = source->seeks;
    ASSERT_EQ(S_OK, stream->Stat(&stat, STATFLAG_NONAME));
    EXPECT_EQ(nullptr, stat.pwcsName);
    EXPECT_EQ(1234u, stat.cbSize.QuadPart);
    EXPECT_EQ(seeks, source->seeks); // measured once

    EXPECT_EQ(E_POINTER, stream->Stat(nullptr, STATFLAG_DEFAULT));
}

TEST_F(ReadStreamAdapters, StatReportsWhatItCouldNotDo) {
    CComPtr<MemoryReadStream> source = Make<MemoryReadStream>("abc");
    CComPtr<IStream> stream;
    stream.Attach(new CPrintReadStreamToIStream(source));
    STATSTG stat{};
    stat.type = 77;
    source->seekFailure = E_ACCESSDENIED;
    EXPECT_EQ(E_ACCESSDENIED, stream->Stat(&stat, STATFLAG_NONAME));
    EXPECT_EQ(77u, stat.type);
    source->seekFailure = S_OK;
    {
        platformtest::AllocationFailure failure(1); // the name's copy
        EXPECT_EQ(E_OUTOFMEMORY, stream->Stat(&stat, STATFLAG_DEFAULT));
    }
    EXPECT_EQ(77u, stat.type);
}

TEST_F(ReadStreamAdapters, SeekMovesTheSourceAndTheRestIsNotImplemented) {
    CComPtr<MemoryReadStream> source = Make<MemoryReadStream>("0123456789");
    CComPtr<IStream> stream;
    stream.Attach(new CPrintReadStreamToIStream(source));
    LARGE_INTEGER move{};
    move.QuadPart = -3;
    ULARGE_INTEGER position{};
    ASSERT_EQ(S_OK, stream->Seek(move, STREAM_SEEK_END, &position));
    EXPECT_EQ(7u, position.QuadPart);
    EXPECT_EQ(7u, source->position);
    move.QuadPart = 2;
    EXPECT_EQ(S_OK, stream->Seek(move, STREAM_SEEK_SET, nullptr));
    EXPECT_EQ(2u, source->position);
    source->seekFailure = E_FAIL;
    position.QuadPart = 55;
    EXPECT_EQ(E_FAIL, stream->Seek(move, STREAM_SEEK_SET, &position));
    EXPECT_EQ(55u, position.QuadPart);

    ULARGE_INTEGER size{};
    IStream* clone = nullptr;
    EXPECT_EQ(E_NOTIMPL, stream->SetSize(size));
    EXPECT_EQ(E_NOTIMPL, stream->CopyTo(stream, size, nullptr, nullptr));
    EXPECT_EQ(E_NOTIMPL, stream->Commit(0));
    EXPECT_EQ(E_NOTIMPL, stream->Revert());
    EXPECT_EQ(E_NOTIMPL, stream->LockRegion(size, size, 1));
    EXPECT_EQ(E_NOTIMPL, stream->UnlockRegion(size, size, 1));
    EXPECT_EQ(E_NOTIMPL, stream->Clone(&clone));
}

} // namespace
