#include "watermarkguid.h"

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <random>

std::u16string NewGuidDigits() {
    std::random_device device;
    BYTE bytes[16];
    for (size_t i = 0; i < sizeof bytes; i += 4) {
        const uint32_t value = device();
        std::memcpy(bytes + i, &value, 4);
    }
    bytes[6] = static_cast<BYTE>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<BYTE>((bytes[8] & 0x3F) | 0x80);
    static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
    std::u16string digits;
    for (BYTE b : bytes) {
        digits += kDigits[b >> 4];
        digits += kDigits[b & 0x0F];
    }
    return digits;
}

std::u16string GuidText(const std::u16string& digits) {
    return digits.substr(0, 8) + u'-' + digits.substr(8, 4) + u'-' + digits.substr(12, 4) + u'-' +
           digits.substr(16, 4) + u'-' + digits.substr(20);
}
