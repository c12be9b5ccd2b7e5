// ByteBuffer: a growable vector of bytes with value semantics, in which devmodes and other
// binary payloads travel.
#pragma once

#include <kldutil/cxstring.h>
#include <kldutil/kldutilexport.h>

#include <windows.h>

#include <vector>

class KLDUTIL_API ByteBuffer {
public:
    ByteBuffer() noexcept = default;
    ByteBuffer(DWORD size, BYTE fill);
    ByteBuffer(const BYTE* bytes, DWORD count); // raises KeldanComException(E_POINTER) for null
                                                // bytes with a non-zero count
    ByteBuffer(const ByteBuffer&) = default;
    ByteBuffer(ByteBuffer&&) noexcept = default;
    ByteBuffer& operator=(const ByteBuffer&) = default;
    ByteBuffer& operator=(ByteBuffer&&) noexcept = default;
    ~ByteBuffer() = default;

    // The first byte; null while the buffer is empty. Valid until the size changes.
    LPBYTE getLpbyte() noexcept { return m_bytes.empty() ? nullptr : m_bytes.data(); }
    const BYTE* getLpbyte() const noexcept { return m_bytes.empty() ? nullptr : m_bytes.data(); }
    // The length in bytes.
    DWORD getDword() const noexcept { return static_cast<DWORD>(m_bytes.size()); }
    bool isEmpty() const noexcept { return m_bytes.empty(); }

    // Appends count bytes (nothing for a zero count); null bytes with a non-zero count raise
    // KeldanComException(E_POINTER). The bytes may lie inside this buffer.
    void appendLpbyte(const BYTE* bytes, DWORD count);
    // The bytes read as narrow (UTF-8) text, up to the first zero byte or the end.
    CXString getAsStringValueFromAnsiBuffer() const;

    void clear() noexcept { m_bytes.clear(); }
    // New bytes are zero.
    void resize(DWORD size) { m_bytes.resize(size); }

    friend bool operator==(const ByteBuffer& a, const ByteBuffer& b) noexcept {
        return a.m_bytes == b.m_bytes;
    }

private:
    std::vector<BYTE> m_bytes;
};
