// The records of the ZIP file format as this folder reads and writes them (PKWARE's
// APPNOTE.TXT 6.3): their signatures and fixed sizes, little-endian fields, and the ZIP64
// markers that send a reader to the ZIP64 records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform::xps::zipformat {

inline constexpr uint32_t kLocalHeaderSignature = 0x04034b50;   // "PK\3\4"
inline constexpr uint32_t kCentralHeaderSignature = 0x02014b50; // "PK\1\2"
inline constexpr uint32_t kEndSignature = 0x06054b50;           // "PK\5\6"
inline constexpr uint32_t kZip64EndSignature = 0x06064b50;      // "PK\6\6"
inline constexpr uint32_t kZip64LocatorSignature = 0x07064b50;  // "PK\6\7"

inline constexpr size_t kLocalHeaderSize = 30;
inline constexpr size_t kCentralHeaderSize = 46;
inline constexpr size_t kEndSize = 22;
inline constexpr size_t kZip64EndSize = 56;
inline constexpr size_t kZip64LocatorSize = 20;
inline constexpr size_t kMaxCommentSize = 0xFFFF;

inline constexpr uint16_t kZip64ExtraId = 0x0001;
// A 16- or 32-bit field holding this says "see the ZIP64 record".
inline constexpr uint16_t kMarker16 = 0xFFFF;
inline constexpr uint32_t kMarker32 = 0xFFFFFFFF;

inline constexpr uint16_t kStored = 0;
inline constexpr uint16_t kDeflated = 8;

// General purpose flags.
inline constexpr uint16_t kFlagEncrypted = 1u << 0;
inline constexpr uint16_t kFlagDataDescriptor = 1u << 3;
inline constexpr uint16_t kFlagStrongEncryption = 1u << 6;

// Version needed to extract: 2.0 for deflate, 4.5 for ZIP64 records.
inline constexpr uint16_t kVersionDeflate = 20;
inline constexpr uint16_t kVersionZip64 = 45;

// 1980-01-01 00:00, the earliest MS-DOS time: a fixed time keeps equal jobs byte for byte
// equal.
inline constexpr uint16_t kFixedDosTime = 0;
inline constexpr uint16_t kFixedDosDate = (0 << 9) | (1 << 5) | 1;

inline uint16_t Get16(const unsigned char* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}
inline uint32_t Get32(const unsigned char* at) {
    return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
           (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}
inline uint64_t Get64(const unsigned char* at) {
    return static_cast<uint64_t>(Get32(at)) | (static_cast<uint64_t>(Get32(at + 4)) << 32);
}

inline void Put16(unsigned char* at, uint16_t value) {
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
}
inline void Put32(unsigned char* at, uint32_t value) {
    Put16(at, static_cast<uint16_t>(value));
    Put16(at + 2, static_cast<uint16_t>(value >> 16));
}
inline void Put64(unsigned char* at, uint64_t value) {
    Put32(at, static_cast<uint32_t>(value));
    Put32(at + 4, static_cast<uint32_t>(value >> 32));
}

// Appends little-endian fields to a record being built.
class RecordBuilder {
public:
    explicit RecordBuilder(std::string& out) : out_(out) {}
    RecordBuilder& U16(uint16_t value) { return Bytes(value, 2); }
    RecordBuilder& U32(uint32_t value) { return Bytes(value, 4); }
    RecordBuilder& U64(uint64_t value) { return Bytes(value, 8); }
    RecordBuilder& Text(std::string_view text) {
        out_ += text;
        return *this;
    }

private:
    RecordBuilder& Bytes(uint64_t value, int count) {
        for (int i = 0; i < count; ++i) {
            out_ += static_cast<char>((value >> (8 * i)) & 0xFF);
        }
        return *this;
    }
    std::string& out_;
};

} // namespace platform::xps::zipformat
