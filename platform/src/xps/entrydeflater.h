// Deflates the content of one ZIP entry after another into raw deflate streams written to a
// file. An entry's bytes are gathered while they are few and deflated in one call when the
// entry ends (WholeDeflater); an entry that outgrows the gathering buffer goes on through
// zlib's streaming deflate, fed what was gathered first, so memory is bounded by the buffer
// and never by the entry. Either way the stream means what zlib makes of the same level.
//
// The gathering buffer, the output buffer and the compressors are made on first use through
// the platform's allocator and kept for the entries that follow; one thread at a time.
#pragma once

#include "replacementfile.h"
#include "wholedeflater.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace platform::xps {

class EntryDeflater {
public:
    // Entries up to this many bytes are deflated in one call.
    static constexpr size_t kGatherLimit = 1 << 20;

    explicit EntryDeflater(ReplacementFile& out, size_t gatherLimit = kGatherLimit);
    ~EntryDeflater();
    EntryDeflater(const EntryDeflater&) = delete;
    EntryDeflater& operator=(const EntryDeflater&) = delete;

    // Starts a new stream at level 1 to 9; what an unfinished one gathered is dropped.
    void Begin(int level);
    // Deflates count more bytes of content; answers how many stored bytes went to the file
    // (none while they are gathered).
    uint64_t Write(const void* bytes, size_t count);
    // Ends the stream; answers how many stored bytes went to the file.
    uint64_t Finish();

private:
    class Stream;
    struct Free {
        void operator()(unsigned char* block) const noexcept;
    };
    using Buffer = std::unique_ptr<unsigned char[], Free>;

    void Gather(const void* bytes, size_t count);
    uint64_t StartStreaming(const void* bytes, size_t count);

    ReplacementFile& out_;
    const size_t gatherLimit_;
    int level_ = 0;
    bool streaming_ = false; // this entry outgrew the gathering buffer
    Buffer gathered_;
    size_t gatheredSize_ = 0;
    size_t gatheredRoom_ = 0;
    Buffer output_;
    size_t outputRoom_ = 0;
    WholeDeflater whole_;
    std::unique_ptr<Stream> stream_; // made for the first entry that outgrows the buffer
};

} // namespace platform::xps
