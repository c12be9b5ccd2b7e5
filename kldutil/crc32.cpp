#include <kldutil/crc32.h>

#include <kldutil/raise.h>

#include <array>
#include <cstdint>

namespace {

// The reflected polynomial's remainder of every byte value, eight bytes at a time: table[k][b]
// is the CRC contribution of byte b followed by k zero bytes.
constexpr std::array<std::array<uint32_t, 256>, 8> MakeTables() {
    std::array<std::array<uint32_t, 256>, 8> tables{};
    for (uint32_t byte = 0; byte < 256; ++byte) {
        uint32_t crc = byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        }
        tables[0][byte] = crc;
    }
    for (size_t k = 1; k < tables.size(); ++k) {
        for (uint32_t byte = 0; byte < 256; ++byte) {
            const uint32_t previous = tables[k - 1][byte];
            tables[k][byte] = (previous >> 8) ^ tables[0][previous & 0xFF];
        }
    }
    return tables;
}

constexpr auto kTables = MakeTables();

uint32_t Update(uint32_t crc, const BYTE* data, DWORD size) {
    crc = ~crc;
    for (; size >= 8; size -= 8, data += 8) {
        const uint32_t low =
            crc ^ (static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                   static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24);
        crc = kTables[7][low & 0xFF] ^ kTables[6][(low >> 8) & 0xFF] ^
              kTables[5][(low >> 16) & 0xFF] ^ kTables[4][low >> 24] ^ kTables[3][data[4]] ^
              kTables[2][data[5]] ^ kTables[1][data[6]] ^ kTables[0][data[7]];
    }
    for (; size > 0; --size, ++data) {
        crc = (crc >> 8) ^ kTables[0][(crc ^ *data) & 0xFF];
    }
    return ~crc;
}

} // namespace

DWORD Crc32::GetCrc(const BYTE* data, DWORD size, DWORD previous) {
    if (size == 0) {
        return previous;
    }
    if (data == nullptr) {
        kldutil::RaiseNullPointer(__FILE__, __LINE__, "Crc32::GetCrc");
    }
    return Update(previous, data, size);
}
