// Test doubles of the pipeline's stream and part interfaces. A double answers the calls its
// test arranged and fails the test on any other: a call nobody expected is a fault.
#pragma once

#include <atlbase.h>
#include <filterpipeline.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

namespace pipelinetest {

// The reference counting and QueryInterface of a double answering one interface (and the
// ones it derives from, listed in Bases).
template <class Interface, class... Bases>
class Double : public Interface {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (!object) {
            return E_POINTER;
        }
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, __uuidof(Interface)) ||
            (IsEqualIID(iid, __uuidof(Bases)) || ...)) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_count; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG count = --m_count;
        if (count == 0) {
            delete this;
        }
        return count;
    }

protected:
    virtual ~Double() = default;

private:
    ULONG m_count = 1;
};

// Makes a double with its one reference owned by the answer.
template <class T, class... Arguments>
CComPtr<T> Make(Arguments&&... arguments) {
    CComPtr<T> made;
    made.Attach(new T(std::forward<Arguments>(arguments)...));
    return made;
}

// A pipeline read stream over bytes, as a part or the property bag hands one out. It reads at
// most chunk bytes a call (so readers must loop), counts its calls, and can be told to fail.
class MemoryReadStream : public Double<IPrintReadStream> {
public:
    explicit MemoryReadStream(std::string bytes, ULONG chunk = 0x10000)
        : m_bytes(std::move(bytes)), m_chunk(chunk) {}

    STDMETHODIMP Seek(LONGLONG offset, DWORD origin, ULONGLONG* newPosition) override {
        ++seeks;
        if (FAILED(seekFailure)) {
            return seekFailure;
        }
        LONGLONG base = 0;
        switch (origin) {
        case STREAM_SEEK_SET:
            break;
        case STREAM_SEEK_CUR:
            base = static_cast<LONGLONG>(position);
            break;
        case STREAM_SEEK_END:
            base = static_cast<LONGLONG>(m_bytes.size());
            break;
        default:
            return E_INVALIDARG;
        }
        if (base + offset < 0) {
            return E_INVALIDARG;
        }
        position = static_cast<ULONGLONG>(base + offset);
        if (newPosition) {
            *newPosition = position;
        }
        return S_OK;
    }

    STDMETHODIMP ReadBytes(void* buffer, ULONG count, ULONG* read, BOOL* endOfFile) override {
        ++reads;
        EXPECT_NE(nullptr, buffer);
        EXPECT_NE(nullptr, read);
        EXPECT_NE(nullptr, endOfFile);
        if (FAILED(readFailure)) {
            return readFailure;
        }
        const ULONGLONG left = position < m_bytes.size() ? m_bytes.size() - position : 0;
        const ULONG n = static_cast<ULONG>(std::min<ULONGLONG>({left, count, m_chunk}));
        std::copy_n(m_bytes.data() + position, n, static_cast<char*>(buffer));
        position += n;
        *read = n + overstatement;
        *endOfFile = position >= m_bytes.size();
        return S_OK;
    }

    ULONGLONG position = 0;
    int seeks = 0;
    int reads = 0;
    HRESULT seekFailure = S_OK;
    HRESULT readFailure = S_OK;
    ULONG overstatement = 0; // added to the count of bytes a read reports

private:
    std::string m_bytes;
    ULONG m_chunk;
};

// A part ticket whose URI and stream the test gives; nothing else may be asked of it.
class PartTicket : public Double<IPartPrintTicket, IPartBase> {
public:
    PartTicket(std::u16string uri, std::string bytes)
        : m_uri(std::move(uri)), m_bytes(std::move(bytes)) {}

    STDMETHODIMP GetUri(BSTR* uri) override {
        if (FAILED(uriFailure)) {
            return uriFailure;
        }
        *uri = ::SysAllocString(m_uri.c_str());
        return *uri ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP GetStream(IPrintReadStream** stream) override {
        if (FAILED(streamFailure)) {
            return streamFailure;
        }
        *stream = Make<MemoryReadStream>(m_bytes).Detach();
        return S_OK;
    }
    STDMETHODIMP GetPartCompression(EXpsCompressionOptions*) override { return Unexpected(); }
    STDMETHODIMP SetPartCompression(EXpsCompressionOptions) override { return Unexpected(); }

    HRESULT uriFailure = S_OK;
    HRESULT streamFailure = S_OK;

private:
    static HRESULT Unexpected() {
        ADD_FAILURE() << "unexpected call on a part ticket";
        return E_UNEXPECTED;
    }
    std::u16string m_uri;
    std::string m_bytes;
};

// A sequence or fixed document whose GetPrintTicket answers what the test set; nothing else
// may be asked of it.
template <class Interface>
class StructurePart : public Double<Interface> {
public:
    StructurePart(HRESULT answer, IPartPrintTicket* ticket) : m_answer(answer), m_ticket(ticket) {}

    STDMETHODIMP GetUri(BSTR*) override { return Unexpected(); }
    STDMETHODIMP GetPrintTicket(IPartPrintTicket** ticket) override {
        ++ticketRequests;
        *ticket = nullptr;
        if (SUCCEEDED(m_answer)) {
            m_ticket.CopyTo(ticket);
        }
        return m_answer;
    }
    STDMETHODIMP SetPrintTicket(IPartPrintTicket*) override { return Unexpected(); }

    int ticketRequests = 0;

private:
    static HRESULT Unexpected() {
        ADD_FAILURE() << "unexpected call on a sequence or document";
        return E_UNEXPECTED;
    }
    HRESULT m_answer;
    CComPtr<IPartPrintTicket> m_ticket;
};
using Sequence = StructurePart<IFixedDocumentSequence>;
using Document = StructurePart<IFixedDocument>;

// A fixed page whose GetPrintTicket answers what the test set; nothing else may be asked.
class Page : public Double<IFixedPage, IPartBase> {
public:
    Page(HRESULT answer, IPartPrintTicket* ticket) : m_answer(answer), m_ticket(ticket) {}

    STDMETHODIMP GetUri(BSTR*) override { return Unexpected(); }
    STDMETHODIMP GetStream(IPrintReadStream**) override { return Unexpected(); }
    STDMETHODIMP GetPartCompression(EXpsCompressionOptions*) override { return Unexpected(); }
    STDMETHODIMP SetPartCompression(EXpsCompressionOptions) override { return Unexpected(); }
    STDMETHODIMP GetPrintTicket(IPartPrintTicket** ticket) override {
        *ticket = nullptr;
        if (SUCCEEDED(m_answer)) {
            m_ticket.CopyTo(ticket);
        }
        return m_answer;
    }
    STDMETHODIMP GetPagePart(const WCHAR*, IUnknown**) override { return Unexpected(); }
    STDMETHODIMP GetWriteStream(IPrintWriteStream**) override { return Unexpected(); }
    STDMETHODIMP SetPrintTicket(IPartPrintTicket*) override { return Unexpected(); }
    STDMETHODIMP SetPagePart(IUnknown*) override { return Unexpected(); }
    STDMETHODIMP DeleteResource(const WCHAR*) override { return Unexpected(); }
    STDMETHODIMP GetXpsPartIterator(IXpsPartIterator**) override { return Unexpected(); }

private:
    static HRESULT Unexpected() {
        ADD_FAILURE() << "unexpected call on a page";
        return E_UNEXPECTED;
    }
    HRESULT m_answer;
    CComPtr<IPartPrintTicket> m_ticket;
};

} // namespace pipelinetest
