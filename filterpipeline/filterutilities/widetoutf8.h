// CWideToUTF8: one UTF-16 text converted to UTF-8 bytes and written to a stream.
//
// Contract. A converter reads a CXString that its creator owns and that must outlive it; it
// owns the buffer of its last conversion alone (it is not copied) and frees it when it goes or
// converts again. The buffer holds exactly the converted bytes: no terminating zero and no
// byte order mark. A lone surrogate, which UTF-8 cannot carry, becomes U+FFFD (EF BF BD), as
// WideCharToMultiByte converts it with flags 0. An empty text has no conversion (E_FAIL) and
// writes nothing.
//
// Writing hands the whole buffer to the stream and goes on with the rest when a write takes
// only part of it. A write that answers success having taken nothing fails with
// HRESULT_FROM_WIN32(ERROR_WRITE_FAULT), one that claims more than it was given with
// E_UNEXPECTED, and a failing write's HRESULT is the result: text is never lost quietly.
//
// Failures. Operations answer HRESULTs; a conversion buffer that cannot be allocated raises
// std::bad_alloc to the caller (the library's error convention lets it pass).
#pragma once

#include <filterutilities/filterutilitiesexport.h>

#include <kldutil/cxstring.h>

#include <filterpipeline.h>
#include <objidl.h>
#include <windows.h>

class FILTERUTILITIES_API CWideToUTF8 {
public:
    // A null source raises KeldanComException(E_POINTER).
    explicit CWideToUTF8(const CXString* source);
    virtual ~CWideToUTF8();
    CWideToUTF8(const CWideToUTF8&) = delete;
    CWideToUTF8& operator=(const CWideToUTF8&) = delete;

    // Converts the source again and hands out the bytes and their count. The bytes stay owned
    // by the converter, valid until the next GetBuffer or its destruction. E_POINTER for a
    // null output; E_FAIL for an empty source or a text too long to convert, with *bytes null
    // and *count 0.
    HRESULT GetBuffer(void** bytes, ULONG* count);

    // Converts the source and writes all of it. E_POINTER for a null stream.
    HRESULT WriteToPrintStream(IPrintWriteStream* stream);
    HRESULT WriteToPrintStream(ISequentialStream* stream);

    // Writes text through a converter of its own. A null text raises
    // KeldanComException(E_POINTER); a null stream gives E_POINTER.
    static HRESULT WriteToPrintStream(const CXString* text, IPrintWriteStream* stream);

    // Writes bytes already converted the way a conversion is written: all of them or a
    // failure. Nothing to write answers S_OK; E_POINTER for a null stream, or for null bytes
    // with a count.
    static HRESULT WriteBytes(const BYTE* bytes, ULONG count, IPrintWriteStream* stream);

private:
    void FreeBuffer() noexcept;

    const CXString* m_source;
    BYTE* m_buffer = nullptr;
};
