#include <filterutilities/printreadstreamtoistream.h>

#include <filterutilities/errorconvention.h>

#include <objbase.h>

#include <cstring>

namespace {

constexpr char16_t kStreamName[] = u"PrintReadStream";

IPrintReadStream* Held(IPrintReadStream* stream) {
    if (!stream) {
        FU_THROW_HR(E_POINTER);
    }
    stream->AddRef();
    return stream;
}

// The end-of-file flag is the source's business: a short read tells a COM reader the same.
HRESULT ReadFrom(IPrintReadStream* stream, void* buffer, ULONG count, ULONG* read) {
    if (!buffer || !read) {
        return E_POINTER;
    }
    *read = 0;
    if (count == 0) {
        return S_OK;
    }
    BOOL endOfFile = FALSE;
    const HRESULT hr = stream->ReadBytes(buffer, count, read, &endOfFile);
    // A source that claims more than was asked for would send the reader past its buffer.
    if (SUCCEEDED(hr) && *read > count) {
        *read = 0;
        return E_UNEXPECTED;
    }
    return hr;
}

FILETIME Now() {
    FILETIME now{};
    ::CoFileTimeNow(&now);
    return now;
}

} // namespace

CPrintReadStreamToIStream::CPrintReadStreamToIStream(IPrintReadStream* stream)
    : CUnknown<IStream>(IID_IStream), m_stream(Held(stream)), m_modified(Now()),
      m_created(m_modified), m_accessed(m_modified) {}

CPrintReadStreamToIStream::~CPrintReadStreamToIStream() {
    m_stream->Release();
}

STDMETHODIMP CPrintReadStreamToIStream::QueryInterface(REFIID iid, void** object) {
    // A reader that wants only to read asks for the base interface an IStream is.
    if (object && IsEqualIID(iid, IID_ISequentialStream)) {
        *object = static_cast<ISequentialStream*>(this);
        AddRef();
        return S_OK;
    }
    return CUnknown<IStream>::QueryInterface(iid, object);
}

STDMETHODIMP CPrintReadStreamToIStream::Read(void* buffer, ULONG count, ULONG* read) {
    if (!buffer || !read) {
        return E_POINTER;
    }
    m_accessed = Now();
    return ReadFrom(m_stream, buffer, count, read);
}

STDMETHODIMP CPrintReadStreamToIStream::Write(const void*, ULONG, ULONG*) {
    return E_NOTIMPL;
}

STDMETHODIMP CPrintReadStreamToIStream::Seek(LARGE_INTEGER move, DWORD origin,
                                             ULARGE_INTEGER* newPosition) {
    ULONGLONG position = 0;
    const HRESULT hr = m_stream->Seek(move.QuadPart, origin, &position);
    if (SUCCEEDED(hr) && newPosition) {
        newPosition->QuadPart = position;
    }
    return hr;
}

STDMETHODIMP CPrintReadStreamToIStream::SetSize(ULARGE_INTEGER) {
    return E_NOTIMPL;
}

STDMETHODIMP CPrintReadStreamToIStream::CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*,
                                               ULARGE_INTEGER*) {
    return E_NOTIMPL;
}

STDMETHODIMP CPrintReadStreamToIStream::Commit(DWORD) {
    return E_NOTIMPL;
}

STDMETHODIMP CPrintReadStreamToIStream::Revert() {
    return E_NOTIMPL;
}

STDMETHODIMP CPrintReadStreamToIStream::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
    return E_NOTIMPL;
}

STDMETHODIMP CPrintReadStreamToIStream::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
    return E_NOTIMPL;
}

HRESULT CPrintReadStreamToIStream::MeasureSize() {
    if (m_size != 0) {
        return S_OK;
    }
    ULONGLONG position = 0;
    HRESULT hr = m_stream->Seek(0, STREAM_SEEK_CUR, &position);
    if (FAILED(hr)) {
        return hr;
    }
    ULONGLONG size = 0;
    hr = m_stream->Seek(0, STREAM_SEEK_END, &size);
    // The source goes back to where it stood even when the end could not be found.
    const HRESULT back = m_stream->Seek(static_cast<LONGLONG>(position), STREAM_SEEK_SET, nullptr);
    if (FAILED(hr)) {
        return hr;
    }
    if (FAILED(back)) {
        return back;
    }
    m_size = size;
    return S_OK;
}

STDMETHODIMP CPrintReadStreamToIStream::Stat(STATSTG* statstg, DWORD flags) {
    if (!statstg) {
        return E_POINTER;
    }
    const HRESULT hr = MeasureSize();
    if (FAILED(hr)) {
        return hr;
    }
    LPOLESTR name = nullptr;
    if (flags == STATFLAG_DEFAULT) {
        name = static_cast<LPOLESTR>(::CoTaskMemAlloc(sizeof(kStreamName)));
        if (!name) {
            return E_OUTOFMEMORY;
        }
        std::memcpy(name, kStreamName, sizeof(kStreamName));
    }
    *statstg = STATSTG{};
    statstg->pwcsName = name;
    statstg->type = STGTY_STREAM;
    statstg->cbSize.QuadPart = m_size;
    statstg->mtime = m_modified;
    statstg->ctime = m_created;
    statstg->atime = m_accessed;
    statstg->grfMode = STGM_SHARE_DENY_WRITE;
    statstg->grfLocksSupported = LOCK_WRITE;
    return S_OK;
}

STDMETHODIMP CPrintReadStreamToIStream::Clone(IStream**) {
    return E_NOTIMPL;
}

namespace pfp {

PrintReadStreamToSeqStream::PrintReadStreamToSeqStream(IPrintReadStream* stream)
    : m_stream(Held(stream)) {}

PrintReadStreamToSeqStream::~PrintReadStreamToSeqStream() {
    m_stream->Release();
}

STDMETHODIMP PrintReadStreamToSeqStream::QueryInterface(REFIID iid, void** object) {
    if (!object) {
        return E_POINTER;
    }
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ISequentialStream)) {
        *object = static_cast<ISequentialStream*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) PrintReadStreamToSeqStream::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&m_refCount));
}

STDMETHODIMP_(ULONG) PrintReadStreamToSeqStream::Release() {
    const LONG count = InterlockedDecrement(&m_refCount);
    if (count == 0) {
        delete this;
    }
    return static_cast<ULONG>(count);
}

STDMETHODIMP PrintReadStreamToSeqStream::Read(void* buffer, ULONG count, ULONG* read) {
    return ReadFrom(m_stream, buffer, count, read);
}

STDMETHODIMP PrintReadStreamToSeqStream::Write(const void*, ULONG, ULONG*) {
    return E_NOTIMPL;
}

} // namespace pfp
