#include <filterutilities/widetoutf8.h>

#include <filterutilities/errorconvention.h>

#include <objbase.h>

#include <new>

namespace {

const CXString* Required(const CXString* source) {
    if (!source) {
        FU_THROW_HR(E_POINTER);
    }
    return source;
}

// Hands bytes to write(bytes, count, &written) until all are taken. A stream may take part of
// a write (a pipe, a socket, a stream at a block boundary); one that stops taking anything,
// or claims to have taken more than it was given, is broken, and saying so is better than
// losing text.
template <class Write>
HRESULT WriteWhole(const BYTE* bytes, ULONG count, Write&& write) {
    HRESULT hr = S_OK;
    while (count > 0) {
        ULONG written = 0;
        hr = write(bytes, count, &written);
        if (FAILED(hr)) {
            return hr;
        }
        if (written > count) {
            return E_UNEXPECTED;
        }
        if (written == 0) {
            return HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
        }
        bytes += written;
        count -= written;
    }
    return hr;
}

} // namespace

CWideToUTF8::CWideToUTF8(const CXString* source) : m_source(Required(source)) {}

CWideToUTF8::~CWideToUTF8() {
    FreeBuffer();
}

void CWideToUTF8::FreeBuffer() noexcept {
    ::CoTaskMemFree(m_buffer);
    m_buffer = nullptr;
}

HRESULT CWideToUTF8::GetBuffer(void** bytes, ULONG* count) {
    if (!bytes || !count) {
        return E_POINTER;
    }
    *bytes = nullptr;
    *count = 0;
    FreeBuffer();
    const int length = m_source->GetLength();
    if (length == 0) {
        return E_FAIL;
    }
    const WCHAR* text = m_source->GetString();
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size < 1) {
        return E_FAIL;
    }
    m_buffer = static_cast<BYTE*>(::CoTaskMemAlloc(static_cast<SIZE_T>(size)));
    if (!m_buffer) {
        throw std::bad_alloc();
    }
    const int converted = ::WideCharToMultiByte(
        CP_UTF8, 0, text, length, reinterpret_cast<char*>(m_buffer), size, nullptr, nullptr);
    if (converted < 1) {
        return E_FAIL;
    }
    *bytes = m_buffer;
    *count = static_cast<ULONG>(converted);
    return S_OK;
}

HRESULT CWideToUTF8::WriteToPrintStream(IPrintWriteStream* stream) {
    if (!stream) {
        return E_POINTER;
    }
    void* bytes = nullptr;
    ULONG count = 0;
    const HRESULT hr = GetBuffer(&bytes, &count);
    if (FAILED(hr)) {
        return hr;
    }
    return WriteWhole(static_cast<const BYTE*>(bytes), count,
                      [stream](const BYTE* at, ULONG left, ULONG* written) {
                          return stream->WriteBytes(at, left, written);
                      });
}

HRESULT CWideToUTF8::WriteToPrintStream(ISequentialStream* stream) {
    if (!stream) {
        return E_POINTER;
    }
    void* bytes = nullptr;
    ULONG count = 0;
    const HRESULT hr = GetBuffer(&bytes, &count);
    if (FAILED(hr)) {
        return hr;
    }
    return WriteWhole(static_cast<const BYTE*>(bytes), count,
                      [stream](const BYTE* at, ULONG left, ULONG* written) {
                          return stream->Write(at, left, written);
                      });
}

HRESULT CWideToUTF8::WriteToPrintStream(const CXString* text, IPrintWriteStream* stream) {
    CWideToUTF8 converter(text);
    return converter.WriteToPrintStream(stream);
}

HRESULT CWideToUTF8::WriteBytes(const BYTE* bytes, ULONG count, IPrintWriteStream* stream) {
    if (!stream || (!bytes && count > 0)) {
        return E_POINTER;
    }
    return WriteWhole(bytes, count, [stream](const BYTE* at, ULONG left, ULONG* written) {
        return stream->WriteBytes(at, left, written);
    });
}
