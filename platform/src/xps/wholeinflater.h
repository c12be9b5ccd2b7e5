// Inflates a complete raw deflate stream into a buffer of known size in one call (libdeflate):
// no sliding window of its own and much cheaper Huffman tables than zlib's streaming inflate,
// which counts for the many small parts of a job that are read whole. Parts read piece by
// piece keep zlib's streaming inflate.
//
// The decompressor is made on the first call through the platform's allocation count (so
// tests can make it fail) and reused; one thread at a time.
#pragma once

#include <cstddef>
#include <memory>

struct libdeflate_decompressor;

namespace platform::xps {

class WholeInflater {
public:
    enum class Result {
        kDone,    // the stream ended within the room given; produced says how much came
        kTooLong, // the stream holds more than the room given
        kDamaged, // the stream is damaged or cut short (zlib tells which)
    };

    WholeInflater();
    ~WholeInflater();
    WholeInflater(const WholeInflater&) = delete;
    WholeInflater& operator=(const WholeInflater&) = delete;

    // Inflates the raw deflate stream in[0, inSize) into out[0, room). Bytes after the
    // stream's last block are ignored, as zlib ignores them. Throws std::bad_alloc when the
    // decompressor cannot be made.
    Result Inflate(const void* in, size_t inSize, void* out, size_t room, size_t& produced);

private:
    struct Free {
        void operator()(libdeflate_decompressor* decompressor) const noexcept;
    };
    std::unique_ptr<libdeflate_decompressor, Free> decompressor_;
};

} // namespace platform::xps
