#include "bytepipe.h"

#include "files.h"

#include "../com/comobject.h"

#include <algorithm>
#include <vector>

namespace platform::pipeline {
namespace {

class BytePipe final : public Link, public std::enable_shared_from_this<BytePipe> {
public:
    explicit BytePipe(size_t capacity) : buffer_(capacity ? capacity : 1) {}

    // Waits for room until every byte is in.
    HRESULT Write(const unsigned char* bytes, size_t count, ULONG* written) {
        std::unique_lock lock(mutex_);
        size_t done = 0;
        while (done < count) {
            changed_.wait(lock, [&] { return used_ < buffer_.size() || Stopped(); });
            if (cancelled_) {
                return kCancelled;
            }
            if (readerGone_) {
                return kBrokenPipe;
            }
            if (closed_) {
                return E_UNEXPECTED;
            }
            const size_t tail = (head_ + used_) % buffer_.size();
            const size_t room = std::min(buffer_.size() - used_, buffer_.size() - tail);
            const size_t chunk = std::min(room, count - done);
            std::copy_n(bytes + done, chunk, buffer_.begin() + static_cast<ptrdiff_t>(tail));
            used_ += chunk;
            done += chunk;
            if (written) {
                *written = static_cast<ULONG>(done);
            }
            changed_.notify_all();
        }
        return S_OK;
    }

    // Waits until count bytes are there or the writer closed; bytes may be null to skip.
    HRESULT Read(unsigned char* bytes, size_t count, size_t& got, bool& ended) {
        got = 0;
        ended = false;
        std::unique_lock lock(mutex_);
        while (got < count) {
            changed_.wait(lock, [&] { return used_ > 0 || closed_ || writerGone_ || cancelled_; });
            if (cancelled_) {
                return kCancelled;
            }
            if (used_ == 0) {
                if (!closed_) {
                    return kBrokenPipe; // the writer ended without Close
                }
                ended = readToEnd_ = true;
                break;
            }
            const size_t chunk = std::min({used_, buffer_.size() - head_, count - got});
            if (bytes) {
                std::copy_n(buffer_.begin() + static_cast<ptrdiff_t>(head_), chunk, bytes + got);
            }
            head_ = (head_ + chunk) % buffer_.size();
            used_ -= chunk;
            got += chunk;
            position_ += chunk;
            changed_.notify_all();
        }
        if (used_ == 0 && closed_) {
            ended = readToEnd_ = true;
        }
        return S_OK;
    }

    void Close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
        changed_.notify_all();
    }
    uint64_t Position() {
        std::lock_guard lock(mutex_);
        return position_;
    }

    void Cancel() override {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        changed_.notify_all();
    }
    bool ReadToEnd() override {
        std::lock_guard lock(mutex_);
        return readToEnd_;
    }
    bool WriterClosed() override {
        std::lock_guard lock(mutex_);
        return closed_;
    }
    void ReaderReturned() override {
        std::lock_guard lock(mutex_);
        readerGone_ = true;
        changed_.notify_all();
    }
    void WriterReturned() override {
        std::lock_guard lock(mutex_);
        writerGone_ = true;
        changed_.notify_all();
    }
    ATL::CComPtr<IUnknown> Reader() override;
    ATL::CComPtr<IUnknown> Writer() override;

private:
    bool Stopped() const { return cancelled_ || readerGone_ || closed_; }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<unsigned char> buffer_;
    size_t head_ = 0;
    size_t used_ = 0;
    uint64_t position_ = 0; // bytes read so far
    bool closed_ = false;
    bool writerGone_ = false;
    bool readerGone_ = false;
    bool readToEnd_ = false;
    bool cancelled_ = false;
};

class PipeReadStream final : public com::Object<PipeReadStream, IPrintReadStream> {
public:
    using Interfaces = com::InterfaceTable<IPrintReadStream>;
    explicit PipeReadStream(std::shared_ptr<BytePipe> pipe) : pipe_(std::move(pipe)) {}

    HRESULT STDMETHODCALLTYPE Seek(LONGLONG offset, DWORD origin, ULONGLONG* newPosition) override {
        const uint64_t position = pipe_->Position();
        ULONGLONG target = 0;
        // The end is not known before the writer closes, and bytes read are gone.
        const HRESULT hr = origin == STREAM_SEEK_END
                               ? STG_E_INVALIDFUNCTION
                               : SeekTarget(offset, origin, position, 0, target);
        if (FAILED(hr) || target < position) {
            return FAILED(hr) ? hr : STG_E_INVALIDFUNCTION;
        }
        const ULONGLONG forward = target - position;
        size_t skipped = 0;
        bool ended = false;
        const HRESULT skip = pipe_->Read(nullptr, static_cast<size_t>(forward), skipped, ended);
        if (FAILED(skip)) {
            return skip;
        }
        if (newPosition) {
            *newPosition = position + skipped;
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE ReadBytes(void* buffer, ULONG count, ULONG* read,
                                        BOOL* endOfFile) override {
        if (read) {
            *read = 0;
        }
        if (!buffer && count) {
            return E_POINTER;
        }
        size_t got = 0;
        bool ended = false;
        const HRESULT hr = pipe_->Read(static_cast<unsigned char*>(buffer), count, got, ended);
        if (read) {
            *read = static_cast<ULONG>(got);
        }
        if (endOfFile) {
            *endOfFile = ended;
        }
        return hr;
    }

private:
    std::shared_ptr<BytePipe> pipe_;
};

class PipeWriteStream final : public com::Object<PipeWriteStream, IPrintWriteStream> {
public:
    using Interfaces = com::InterfaceTable<IPrintWriteStream>;
    explicit PipeWriteStream(std::shared_ptr<BytePipe> pipe) : pipe_(std::move(pipe)) {}

    HRESULT STDMETHODCALLTYPE WriteBytes(const void* buffer, ULONG count, ULONG* written) override {
        if (written) {
            *written = 0;
        }
        if (!buffer && count) {
            return E_POINTER;
        }
        return pipe_->Write(static_cast<const unsigned char*>(buffer), count, written);
    }
    void STDMETHODCALLTYPE Close() override { pipe_->Close(); }

private:
    std::shared_ptr<BytePipe> pipe_;
};

ATL::CComPtr<IUnknown> BytePipe::Reader() {
    return NewObject<IPrintReadStream, PipeReadStream>(shared_from_this());
}

ATL::CComPtr<IUnknown> BytePipe::Writer() {
    return NewObject<IPrintWriteStream, PipeWriteStream>(shared_from_this());
}

} // namespace

std::shared_ptr<Link> MakeBytePipe(size_t capacity) {
    return std::make_shared<BytePipe>(capacity);
}

} // namespace platform::pipeline
