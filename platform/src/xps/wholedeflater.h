// Deflates a whole buffer into a raw deflate stream in one call (libdeflate): faster than
// zlib's streaming deflate at the same level and with no per-stream state to clear, which
// counts for the many small parts of a job (a page's markup, its relationships). Levels mean
// what zlib's mean (1 fastest, 6 the default, 9 the smallest output).
//
// One compressor per level is made on its first use through the platform's allocation count
// (so tests can make it fail) and kept; one thread at a time.
#pragma once

#include <array>
#include <cstddef>
#include <memory>

struct libdeflate_compressor;

namespace platform::xps {

class WholeDeflater {
public:
    static constexpr int kMaxLevel = 9;

    WholeDeflater();
    ~WholeDeflater();
    WholeDeflater(const WholeDeflater&) = delete;
    WholeDeflater& operator=(const WholeDeflater&) = delete;

    // The most bytes Deflate may write for size bytes of content, at any level.
    static size_t Bound(size_t size);
    // Deflates in[0, size) at level (1 to 9) into out, which has room for Bound(size) bytes,
    // and answers how many bytes the stream took. Throws std::bad_alloc when the compressor
    // cannot be made.
    size_t Deflate(int level, const void* in, size_t size, void* out);

private:
    struct Free {
        void operator()(libdeflate_compressor* compressor) const noexcept;
    };
    std::array<std::unique_ptr<libdeflate_compressor, Free>, kMaxLevel + 1> compressors_;
};

} // namespace platform::xps
