#include "fontembedding.h"

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

namespace platform::xps {
namespace {

using Key = std::array<uint8_t, 16>;

constexpr uint32_t Tag(const char (&text)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) << 24 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[3]));
}

constexpr size_t kMaxTables = 1024;      // far more than any font has
constexpr uint64_t kObfuscatedHead = 32; // bytes XORed with the key

uint16_t Be16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

uint32_t Be32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | static_cast<uint32_t>(bytes[3]);
}

// The key of an obfuscated font: the GUID of its part name's last segment, before the
// extension ("/Resources/0A1B...-....odttf"), its 32 hex digits read in the order written.
std::optional<Key> KeyOf(std::string_view partName) {
    std::string_view stem = partName.substr(partName.find_last_of('/') + 1);
    stem = stem.substr(0, stem.find('.'));
    Key key{};
    size_t digits = 0;
    for (const char c : stem) {
        if (c == '{' || c == '}' || c == '-') {
            continue;
        }
        int value;
        if (c >= '0' && c <= '9') {
            value = c - '0';
        } else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') {
            value = (c | 0x20) - 'a' + 10;
        } else {
            return std::nullopt;
        }
        if (digits == 32) {
            return std::nullopt;
        }
        key[digits / 2] = static_cast<uint8_t>(key[digits / 2] << 4 | value);
        ++digits;
    }
    if (digits != 32) {
        return std::nullopt;
    }
    return key;
}

// The content read at offsets that mostly grow: a read behind the last one starts over.
class FontBytes {
public:
    FontBytes(const PartContent& content, const std::optional<Key>& key)
        : content_(content), key_(key) {}

    // count bytes at offset, deobfuscated; false when the content ends first.
    bool ReadAt(uint64_t offset, uint8_t* out, size_t count) {
        if (!source_ || offset < position_) {
            source_ = content_.Open();
            position_ = 0;
        }
        uint8_t scratch[4096];
        while (position_ < offset) {
            const size_t step =
                static_cast<size_t>(std::min<uint64_t>(sizeof scratch, offset - position_));
            const size_t got = source_->Read(scratch, step);
            if (got == 0) {
                return false;
            }
            position_ += got;
        }
        for (size_t done = 0; done < count;) {
            const size_t got = source_->Read(out + done, count - done);
            if (got == 0) {
                return false;
            }
            done += got;
            position_ += got;
        }
        if (key_) {
            for (uint64_t at = offset; at < kObfuscatedHead && at < offset + count; ++at) {
                out[at - offset] ^= (*key_)[15 - at % 16];
            }
        }
        return true;
    }

private:
    const PartContent& content_;
    std::optional<Key> key_;
    std::unique_ptr<ByteSource> source_;
    uint64_t position_ = 0;
};

} // namespace

EXpsFontRestriction RestrictionOfFsType(uint16_t fsType) noexcept {
    if (fsType & 0x0200) {
        return Xps_Restricted_Font_NoEmbedding;
    }
    if (fsType & 0x0008) {
        return Xps_Restricted_Font_Editable;
    }
    if (fsType & 0x0004) {
        return Xps_Restricted_Font_PreviewPrint;
    }
    if (fsType & 0x0002) {
        return Xps_Restricted_Font_NoEmbedding;
    }
    return Xps_Restricted_Font_Installable;
}

std::optional<uint16_t> ReadFsType(const PartContent& content, std::string_view partName,
                                   bool obfuscated) {
    std::optional<Key> key;
    if (obfuscated) {
        key = KeyOf(partName);
        if (!key) {
            return std::nullopt;
        }
    }
    FontBytes bytes(content, key);
    uint8_t header[12];
    uint64_t face = 0;
    if (!bytes.ReadAt(0, header, sizeof header)) {
        return std::nullopt;
    }
    if (Be32(header) == Tag("ttcf")) {
        // A collection: its first face stands for it.
        if (Be32(header + 8) == 0 || !bytes.ReadAt(12, header, 4)) {
            return std::nullopt;
        }
        face = Be32(header);
        if (!bytes.ReadAt(face, header, sizeof header)) {
            return std::nullopt;
        }
    }
    const uint32_t version = Be32(header);
    if (version != 0x00010000 && version != Tag("OTTO") && version != Tag("true")) {
        return std::nullopt;
    }
    const size_t tables = Be16(header + 4);
    if (tables == 0 || tables > kMaxTables) {
        return std::nullopt;
    }
    std::vector<uint8_t> directory(16 * tables);
    if (!bytes.ReadAt(face + sizeof header, directory.data(), directory.size())) {
        return std::nullopt;
    }
    for (size_t i = 0; i < tables; ++i) {
        const uint8_t* record = directory.data() + 16 * i;
        if (Be32(record) != Tag("OS/2")) {
            continue;
        }
        const uint32_t offset = Be32(record + 8);
        const uint32_t length = Be32(record + 12);
        uint8_t fsType[2];
        if (length < 10 || !bytes.ReadAt(uint64_t{offset} + 8, fsType, sizeof fsType)) {
            return std::nullopt;
        }
        return Be16(fsType);
    }
    return std::nullopt;
}

} // namespace platform::xps
