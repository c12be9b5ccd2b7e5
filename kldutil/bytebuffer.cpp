#include <kldutil/bytebuffer.h>

#include <kldutil/printfformat.h>
#include <kldutil/raise.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <utility>

ByteBuffer::ByteBuffer(DWORD size, BYTE fill) : m_bytes(size, fill) {}

ByteBuffer::ByteBuffer(const BYTE* bytes, DWORD count) {
    appendLpbyte(bytes, count);
}

void ByteBuffer::appendLpbyte(const BYTE* bytes, DWORD count) {
    if (count == 0) {
        return;
    }
    if (!bytes) {
        kldutil::RaiseComError(E_POINTER, __FILE__, __LINE__, "ByteBuffer::appendLpbyte");
    }
    const size_t oldSize = m_bytes.size();
    if (oldSize + count > UINT32_MAX) {
        throw std::length_error("ByteBuffer: more than 4 GB");
    }
    // The bytes may lie inside this buffer, where growing would move them.
    const std::less_equal<const BYTE*> before;
    const bool inside =
        oldSize != 0 && before(m_bytes.data(), bytes) && !before(m_bytes.data() + oldSize, bytes);
    const size_t offset = inside ? static_cast<size_t>(bytes - m_bytes.data()) : 0;
    m_bytes.resize(oldSize + count);
    std::memcpy(m_bytes.data() + oldSize, inside ? m_bytes.data() + offset : bytes, count);
}

CXString ByteBuffer::getAsStringValueFromAnsiBuffer() const {
    const void* zero = m_bytes.empty() ? nullptr : std::memchr(m_bytes.data(), 0, m_bytes.size());
    const size_t length = zero
                              ? static_cast<size_t>(static_cast<const BYTE*>(zero) - m_bytes.data())
                              : m_bytes.size();
    std::u16string text;
    kldutil::AppendUtf8AsUtf16(text, reinterpret_cast<const char*>(m_bytes.data()), length);
    return CXString(std::move(text));
}
