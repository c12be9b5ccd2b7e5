#include <kldutil/crc32.h>

#include <kldutil/raise.h>

#include <zlib.h>

DWORD Crc32::GetCrc(const BYTE* data, DWORD size, DWORD previous) {
    if (size == 0) {
        return previous;
    }
    if (data == nullptr) {
        kldutil::RaiseNullPointer(__FILE__, __LINE__, "Crc32::GetCrc");
    }
    return static_cast<DWORD>(crc32_z(previous, data, size));
}
