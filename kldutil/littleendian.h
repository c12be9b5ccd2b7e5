// Little-endian 16- and 32-bit fields at any byte position: the byte order of the driver's
// devmode block and of the persisted attributes. Fields are read and written a byte at a
// time, so neither the host's byte order nor the field's alignment matters; the caller
// guarantees that the two or four bytes lie inside its buffer.
#pragma once

#include <windows.h>

#include <vector>

namespace LittleEndian {

inline WORD ReadWord(const BYTE* p) noexcept {
    return static_cast<WORD>(p[0] | (p[1] << 8));
}

inline DWORD ReadDword(const BYTE* p) noexcept {
    return DWORD{p[0]} | (DWORD{p[1]} << 8) | (DWORD{p[2]} << 16) | (DWORD{p[3]} << 24);
}

inline void PutWord(BYTE* p, WORD value) noexcept {
    p[0] = static_cast<BYTE>(value);
    p[1] = static_cast<BYTE>(value >> 8);
}

inline void PutDword(BYTE* p, DWORD value) noexcept {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<BYTE>(value >> (8 * i));
    }
}

inline void AppendWord(std::vector<BYTE>& out, WORD value) {
    BYTE bytes[2];
    PutWord(bytes, value);
    out.insert(out.end(), bytes, bytes + 2);
}

inline void AppendDword(std::vector<BYTE>& out, DWORD value) {
    BYTE bytes[4];
    PutDword(bytes, value);
    out.insert(out.end(), bytes, bytes + 4);
}

} // namespace LittleEndian
