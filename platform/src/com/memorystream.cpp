// CreateStreamOnHGlobal: a growable memory stream. Clones share the bytes and keep their own
// position, as streams on one HGLOBAL do.
#include "objbase.h"

#include "allocator.h"
#include "comobject.h"
#include "deferredcontent.h"

#include <cstring>
#include <memory>
#include <string>

namespace {

class SharedBytes {
public:
    SharedBytes() = default;
    SharedBytes(const SharedBytes&) = delete;
    SharedBytes& operator=(const SharedBytes&) = delete;
    ~SharedBytes() { platform::Free(data_); }

    // Bytes not written yet (see deferredcontent.h): the stream is empty until they are.
    std::unique_ptr<platform::com::DeferredContent> deferred;

    BYTE* Data() { return data_; }
    ULONGLONG Size() const { return size_; }

    // Grows or shrinks to newSize; new bytes are zero. False when memory runs out.
    bool Resize(ULONGLONG newSize) {
        if (newSize > capacity_) {
            ULONGLONG wanted = capacity_ ? capacity_ : 256;
            while (wanted < newSize) {
                wanted *= 2;
            }
            if (wanted > SIZE_MAX / 2) {
                return false;
            }
            void* grown = platform::Reallocate(data_, static_cast<size_t>(wanted));
            if (!grown) {
                return false;
            }
            data_ = static_cast<BYTE*>(grown);
            capacity_ = wanted;
        }
        if (newSize > size_) {
            std::memset(data_ + size_, 0, static_cast<size_t>(newSize - size_));
        }
        size_ = newSize;
        return true;
    }

private:
    BYTE* data_ = nullptr;
    ULONGLONG size_ = 0;
    ULONGLONG capacity_ = 0;
};

class MemoryStream final
    : public platform::com::Object<MemoryStream, IStream, platform::com::DeferredStream> {
public:
    using Interfaces =
        platform::com::InterfaceTable<IStream, ISequentialStream, platform::com::DeferredStream>;

    explicit MemoryStream(std::shared_ptr<SharedBytes> bytes) : bytes_(std::move(bytes)) {}

    bool Defer(std::unique_ptr<platform::com::DeferredContent>& content) override {
        if (bytes_->deferred || bytes_->Size() != 0 || position_ != 0 || readToEnd_) {
            return false;
        }
        bytes_->deferred = std::move(content);
        return true;
    }
    const platform::com::DeferredContent* Deferred() override {
        return position_ == 0 && !readToEnd_ ? bytes_->deferred.get() : nullptr;
    }
    void MarkReadToEnd() override { readToEnd_ = true; }

    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG count, ULONG* read) override {
        if (!buffer && count) {
            return STG_E_INVALIDPOINTER;
        }
        if (const HRESULT hr = Materialise(); FAILED(hr)) {
            return hr;
        }
        const ULONGLONG size = bytes_->Size();
        const ULONGLONG available = position_ < size ? size - position_ : 0;
        const ULONG n = static_cast<ULONG>(available < count ? available : count);
        if (n) {
            std::memcpy(buffer, bytes_->Data() + position_, n);
        }
        position_ += n;
        if (read) {
            *read = n;
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Write(const void* buffer, ULONG count, ULONG* written) override {
        if (written) {
            *written = 0;
        }
        if (!buffer && count) {
            return STG_E_INVALIDPOINTER;
        }
        if (count == 0) {
            return S_OK;
        }
        if (const HRESULT hr = Materialise(); FAILED(hr)) {
            return hr;
        }
        const ULONGLONG end = position_ + count;
        if (end > bytes_->Size() && !bytes_->Resize(end)) {
            return STG_E_MEDIUMFULL;
        }
        std::memcpy(bytes_->Data() + position_, buffer, count);
        position_ = end;
        if (written) {
            *written = count;
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                   ULARGE_INTEGER* newPosition) override {
        // Content left in the stream keeps waiting while nothing needs its size.
        if (origin == STREAM_SEEK_END || readToEnd_) {
            if (const HRESULT hr = Materialise(); FAILED(hr)) {
                return hr;
            }
        }
        LONGLONG base = 0;
        switch (origin) {
        case STREAM_SEEK_SET:
            base = 0;
            break;
        case STREAM_SEEK_CUR:
            base = static_cast<LONGLONG>(position_);
            break;
        case STREAM_SEEK_END:
            base = static_cast<LONGLONG>(bytes_->Size());
            break;
        default:
            return STG_E_INVALIDFUNCTION;
        }
        LONGLONG target = 0;
        if (__builtin_add_overflow(base, move.QuadPart, &target) || target < 0) {
            return STG_E_INVALIDFUNCTION;
        }
        position_ = static_cast<ULONGLONG>(target);
        if (newPosition) {
            newPosition->QuadPart = position_;
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER newSize) override {
        if (const HRESULT hr = Materialise(); FAILED(hr)) {
            return hr;
        }
        return bytes_->Resize(newSize.QuadPart) ? S_OK : STG_E_MEDIUMFULL;
    }

    HRESULT STDMETHODCALLTYPE CopyTo(IStream* target, ULARGE_INTEGER count, ULARGE_INTEGER* read,
                                     ULARGE_INTEGER* written) override {
        if (!target) {
            return STG_E_INVALIDPOINTER;
        }
        if (const HRESULT hr = Materialise(); FAILED(hr)) {
            return hr;
        }
        const ULONGLONG size = bytes_->Size();
        const ULONGLONG available = position_ < size ? size - position_ : 0;
        ULONGLONG left = available < count.QuadPart ? available : count.QuadPart;
        ULONGLONG totalRead = 0;
        ULONGLONG totalWritten = 0;
        HRESULT hr = S_OK;
        while (left > 0) {
            const ULONG chunk = static_cast<ULONG>(left < 0x10000000u ? left : 0x10000000u);
            ULONG chunkWritten = 0;
            hr = target->Write(bytes_->Data() + position_, chunk, &chunkWritten);
            totalRead += chunk;
            position_ += chunk;
            totalWritten += chunkWritten;
            left -= chunk;
            if (FAILED(hr)) {
                break;
            }
        }
        if (read) {
            read->QuadPart = totalRead;
        }
        if (written) {
            written->QuadPart = totalWritten;
        }
        return hr;
    }

    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Revert() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return STG_E_INVALIDFUNCTION;
    }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return STG_E_INVALIDFUNCTION;
    }

    HRESULT STDMETHODCALLTYPE Stat(STATSTG* statstg, DWORD) override {
        if (!statstg) {
            return STG_E_INVALIDPOINTER;
        }
        if (const HRESULT hr = Materialise(); FAILED(hr)) {
            return hr;
        }
        std::memset(statstg, 0, sizeof(*statstg));
        statstg->type = STGTY_STREAM;
        statstg->cbSize.QuadPart = bytes_->Size();
        statstg->grfMode = STGM_READWRITE;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Clone(IStream** clone) override {
        if (!clone) {
            return STG_E_INVALIDPOINTER;
        }
        auto* copy = platform::com::New<MemoryStream>(bytes_);
        if (!copy) {
            *clone = nullptr;
            return E_OUTOFMEMORY;
        }
        copy->position_ = position_;
        copy->readToEnd_ = readToEnd_;
        *clone = copy;
        return S_OK;
    }

private:
    // Writes out content left in the stream, and moves a stream whose content a reader took
    // to its end.
    HRESULT Materialise() {
        if (bytes_->deferred) {
            std::string text;
            try {
                bytes_->deferred->Write(text);
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
            if (!bytes_->Resize(text.size())) {
                return E_OUTOFMEMORY;
            }
            if (!text.empty()) {
                std::memcpy(bytes_->Data(), text.data(), text.size());
            }
            bytes_->deferred.reset();
        }
        if (readToEnd_) {
            position_ = bytes_->Size();
            readToEnd_ = false;
        }
        return S_OK;
    }

    std::shared_ptr<SharedBytes> bytes_;
    ULONGLONG position_ = 0;
    bool readToEnd_ = false;
};

} // namespace

extern "C" HRESULT WINAPI CreateStreamOnHGlobal(HGLOBAL global, BOOL, LPSTREAM* stream) {
    if (!stream) {
        return E_INVALIDARG;
    }
    *stream = nullptr;
    if (global) {
        return E_INVALIDARG;
    }
    return platform::com::Guarded([&]() -> HRESULT {
        *stream = platform::com::Require(
            platform::com::New<MemoryStream>(std::make_shared<SharedBytes>()));
        return S_OK;
    });
}
