// fuzz-links: platform
// fuzz-internals: platform/src
//
// A font part's embedding permission read from the font a job carries: its offset table (or
// a collection's, then its first face's), its table directory and the fsType of its OS/2
// table, through the obfuscation of an .odttf part. The first input byte says whether the part
// is obfuscated (bit 0) and how many bytes a read of the part gives at most (the other bits);
// the rest is the part's content. Whatever the bytes, the answer is a permission or none; the
// same font obfuscated with its part name's key reads the same.
#include "fuzzcheck.h"

#include "xps/fontembedding.h"
#include "xps/partcontent.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view kPartName =
    "/Resources/Fonts/0B3E2D4C-5A69-4B78-8C9D-AEBFC0D1E2F3.odttf";
// The key of kPartName, byte i of the 32 digits as written, applied to byte 15 - i % 16.
constexpr uint8_t kKey[16] = {0x0B, 0x3E, 0x2D, 0x4C, 0x5A, 0x69, 0x4B, 0x78,
                              0x8C, 0x9D, 0xAE, 0xBF, 0xC0, 0xD1, 0xE2, 0xF3};

// Bytes in memory, read at most step bytes at a time, as an inflating entry may give them.
class Content final : public platform::xps::PartContent {
public:
    Content(std::vector<uint8_t> bytes, size_t step) : bytes_(std::move(bytes)), step_(step) {}

    std::unique_ptr<platform::xps::ByteSource> Open() const override {
        return std::make_unique<Source>(bytes_, step_);
    }
    uint64_t StoredSize() const override { return bytes_.size(); }
    uint64_t FullSize() const override { return bytes_.size(); }
    uint64_t Identity() const override { return 1; }

private:
    class Source final : public platform::xps::ByteSource {
    public:
        Source(const std::vector<uint8_t>& bytes, size_t step) : bytes_(bytes), step_(step) {}
        size_t Read(void* buffer, size_t count) override {
            const size_t got = std::min({count, step_, bytes_.size() - at_});
            if (got > 0) {
                std::memcpy(buffer, bytes_.data() + at_, got);
            }
            at_ += got;
            return got;
        }

    private:
        const std::vector<uint8_t>& bytes_;
        size_t step_;
        size_t at_ = 0;
    };

    std::vector<uint8_t> bytes_;
    size_t step_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool obfuscated = data[0] & 1;
    const size_t step = data[0] & 0x80 ? SIZE_MAX : 1 + (data[0] >> 1);
    const Content content(std::vector<uint8_t>(data + 1, data + size), step);
    const std::optional<uint16_t> fsType =
        platform::xps::ReadFsType(content, kPartName, obfuscated);
    if (fsType) {
        (void)platform::xps::RestrictionOfFsType(*fsType);
    }
    if (!obfuscated) {
        // The same font obfuscated as a producer writes it reads the same through the key.
        std::vector<uint8_t> hidden(data + 1, data + size);
        for (size_t at = 0; at < hidden.size() && at < 32; ++at) {
            hidden[at] ^= kKey[15 - at % 16];
        }
        const Content hiddenContent(std::move(hidden), step);
        FUZZ_REQUIRE(platform::xps::ReadFsType(hiddenContent, kPartName, true) == fsType);
        FUZZ_REQUIRE(
            !platform::xps::ReadFsType(hiddenContent, "/Resources/Fonts/font.odttf", true));
    }
    return 0;
}
