#include "entrydeflater.h"

#include "../com/allocator.h"
#include "xps.h"
#include "zlibmemory.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace platform::xps {

namespace {

// The gathering buffer starts at this size and doubles up to the limit.
constexpr size_t kFirstGatherRoom = 16 * 1024;

} // namespace

// One zlib raw deflate stream at one level, reset for every entry of that level that streams.
class EntryDeflater::Stream {
public:
    explicit Stream(int level) : level_(level) {
        UsePlatformAllocator(stream_);
        const int status =
            deflateInit2(&stream_, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
        if (status != Z_OK) {
            if (status == Z_MEM_ERROR) {
                throw std::bad_alloc();
            }
            Fail(E_UNEXPECTED, "the deflate stream cannot be made");
        }
        output_.reset(static_cast<unsigned char*>(Allocate(kOutputSize)));
        if (!output_) {
            deflateEnd(&stream_);
            throw std::bad_alloc();
        }
    }
    ~Stream() { deflateEnd(&stream_); }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    int Level() const { return level_; }
    void Reset() {
        if (deflateReset(&stream_) != Z_OK) {
            Fail(E_UNEXPECTED, "the deflate stream cannot be reset");
        }
    }

    // Deflates bytes (all of them, or what is left when finishing) and writes each piece of
    // output to out; answers how many bytes were written.
    uint64_t Run(const void* bytes, size_t count, bool finish, ReplacementFile& out) {
        uint64_t written = 0;
        stream_.next_in = static_cast<Bytef*>(const_cast<void*>(bytes));
        while (true) {
            const uInt chunk = count > (1u << 30) ? (1u << 30) : static_cast<uInt>(count);
            stream_.avail_in = chunk;
            stream_.next_out = output_.get();
            stream_.avail_out = kOutputSize;
            const int status = deflate(&stream_, finish && chunk == count ? Z_FINISH : Z_NO_FLUSH);
            if (status == Z_STREAM_ERROR) {
                Fail(E_UNEXPECTED, "the deflate stream is broken");
            }
            count -= chunk - stream_.avail_in;
            if (const size_t produced = kOutputSize - stream_.avail_out) {
                out.Write(output_.get(), produced);
                written += produced;
            }
            if (finish ? status == Z_STREAM_END : count == 0 && stream_.avail_out != 0) {
                return written;
            }
        }
    }

private:
    static constexpr uInt kOutputSize = 64 * 1024;
    z_stream stream_{};
    int level_;
    Buffer output_;
};

void EntryDeflater::Free::operator()(unsigned char* block) const noexcept {
    platform::Free(block);
}

EntryDeflater::EntryDeflater(ReplacementFile& out, size_t gatherLimit)
    : out_(out), gatherLimit_(gatherLimit) {}

EntryDeflater::~EntryDeflater() = default;

void EntryDeflater::Begin(int level) {
    if (level < 1 || level > WholeDeflater::kMaxLevel) {
        Fail(E_INVALIDARG, "deflate level " + std::to_string(level) + " is not one of 1 to 9");
    }
    level_ = level;
    streaming_ = false;
    gatheredSize_ = 0;
}

uint64_t EntryDeflater::Write(const void* bytes, size_t count) {
    if (streaming_) {
        return stream_->Run(bytes, count, false, out_);
    }
    if (count <= gatherLimit_ - gatheredSize_) {
        Gather(bytes, count);
        return 0;
    }
    return StartStreaming(bytes, count);
}

void EntryDeflater::Gather(const void* bytes, size_t count) {
    const size_t needed = gatheredSize_ + count;
    if (needed > gatheredRoom_) {
        size_t room = std::max(gatheredRoom_, std::min(kFirstGatherRoom, gatherLimit_));
        while (room < needed) {
            room = room > gatherLimit_ / 2 ? gatherLimit_ : room * 2;
        }
        auto* grown = static_cast<unsigned char*>(Reallocate(gathered_.get(), room));
        if (!grown) {
            throw std::bad_alloc();
        }
        gathered_.release();
        gathered_.reset(grown);
        gatheredRoom_ = room;
    }
    if (count != 0) {
        std::memcpy(gathered_.get() + gatheredSize_, bytes, count);
        gatheredSize_ += count;
    }
}

uint64_t EntryDeflater::StartStreaming(const void* bytes, size_t count) {
    if (stream_ && stream_->Level() == level_) {
        stream_->Reset();
    } else {
        stream_.reset();
        stream_ = std::make_unique<Stream>(level_);
    }
    streaming_ = true;
    uint64_t written = 0;
    if (gatheredSize_ != 0) {
        written += stream_->Run(gathered_.get(), gatheredSize_, false, out_);
        gatheredSize_ = 0;
    }
    return written + stream_->Run(bytes, count, false, out_);
}

uint64_t EntryDeflater::Finish() {
    if (streaming_) {
        streaming_ = false;
        return stream_->Run(nullptr, 0, true, out_);
    }
    if (WholeDeflater::Bound(gatheredSize_) > outputRoom_) {
        // Room for as much as the gathering buffer holds, so that it is made again only when
        // that buffer grows.
        const size_t room = WholeDeflater::Bound(std::max(gatheredRoom_, gatheredSize_));
        output_.reset(static_cast<unsigned char*>(Allocate(room)));
        outputRoom_ = output_ ? room : 0;
        if (!output_) {
            throw std::bad_alloc();
        }
    }
    static const unsigned char kNothing = 0;
    const size_t produced = whole_.Deflate(level_, gatheredSize_ ? gathered_.get() : &kNothing,
                                           gatheredSize_, output_.get());
    gatheredSize_ = 0;
    out_.Write(output_.get(), produced);
    return produced;
}

} // namespace platform::xps
