// Two adapters that let MSXML (and anything else that reads COM streams) read a pipeline
// IPrintReadStream.
//
// Contract (both). An adapter is made with new over a stream it holds one reference to; it
// starts with one reference, owned by its creator, and the last Release deletes it and
// releases the stream. Building one over a null stream raises KeldanComException(E_POINTER).
// Reading forwards to IPrintReadStream::ReadBytes; the end-of-file flag is not passed on (a
// read of fewer bytes than asked, or none, tells the reader the stream has ended). Writing and
// every other change of the stream give E_NOTIMPL. A source that answers a read with more bytes
// than were asked for is refused with E_UNEXPECTED.
#pragma once

#include <filterutilities/cunknown.h>
#include <filterutilities/filterutilitiesexport.h>

#include <filterpipeline.h>
#include <objidl.h>
#include <windows.h>

// A read-only IStream over an IPrintReadStream, with seeking and Stat.
class FILTERUTILITIES_API CPrintReadStreamToIStream : public CUnknown<IStream> {
public:
    explicit CPrintReadStreamToIStream(IPrintReadStream* stream);
    CPrintReadStreamToIStream(const CPrintReadStreamToIStream&) = delete;
    CPrintReadStreamToIStream& operator=(const CPrintReadStreamToIStream&) = delete;

    using CUnknown<IStream>::QueryInterface;
    // IUnknown, IStream and ISequentialStream (which IStream extends), each the same object.
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override;

    // E_POINTER for a null buffer or a null count; a request of 0 bytes reads nothing.
    STDMETHODIMP Read(void* buffer, ULONG count, ULONG* read) override;
    STDMETHODIMP Write(const void* buffer, ULONG count, ULONG* written) override;
    // Moves the source; *newPosition (when given) receives where it stands after a success.
    STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override;
    STDMETHODIMP SetSize(ULARGE_INTEGER newSize) override;
    STDMETHODIMP CopyTo(IStream* target, ULARGE_INTEGER count, ULARGE_INTEGER* read,
                        ULARGE_INTEGER* written) override;
    STDMETHODIMP Commit(DWORD flags) override;
    STDMETHODIMP Revert() override;
    STDMETHODIMP LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count, DWORD lockType) override;
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count, DWORD lockType) override;
    // The size is measured once, by seeking to the end and back to where the source stood,
    // and then remembered. With STATFLAG_DEFAULT the name "PrintReadStream" is a
    // CoTaskMemAlloc copy for the caller (E_OUTOFMEMORY when it cannot be made); with any
    // other flag there is no name. A failed measurement is returned and leaves *statstg as it
    // was.
    STDMETHODIMP Stat(STATSTG* statstg, DWORD flags) override;
    STDMETHODIMP Clone(IStream** clone) override;

private:
    ~CPrintReadStreamToIStream() override;
    HRESULT MeasureSize();

    IPrintReadStream* m_stream;
    ULONGLONG m_size = 0; // 0: not measured yet
    FILETIME m_modified{};
    FILETIME m_created{};
    FILETIME m_accessed{};
};

namespace pfp {

// A forward-only ISequentialStream over an IPrintReadStream, read from where it stands.
class FILTERUTILITIES_API PrintReadStreamToSeqStream : public ISequentialStream {
public:
    explicit PrintReadStreamToSeqStream(IPrintReadStream* stream);
    PrintReadStreamToSeqStream(const PrintReadStreamToSeqStream&) = delete;
    PrintReadStreamToSeqStream& operator=(const PrintReadStreamToSeqStream&) = delete;

    using ISequentialStream::QueryInterface;
    // IUnknown and ISequentialStream only.
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // E_POINTER for a null buffer or a null count; a request of 0 bytes reads nothing.
    STDMETHODIMP Read(void* buffer, ULONG count, ULONG* read) override;
    STDMETHODIMP Write(const void* buffer, ULONG count, ULONG* written) override;

private:
    virtual ~PrintReadStreamToSeqStream();

    LONG volatile m_refCount = 1;
    IPrintReadStream* m_stream;
};

} // namespace pfp
