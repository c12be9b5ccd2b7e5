#include "partcontent.h"

#include <atomic>
#include <cstring>

namespace platform::xps {
namespace {

class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::shared_ptr<const MemoryPartContent> content)
        : content_(std::move(content)) {}
    size_t Read(void* buffer, size_t count) override {
        const size_t got = content_->CopyOut(offset_, buffer, count);
        offset_ += got;
        return got;
    }

private:
    std::shared_ptr<const MemoryPartContent> content_;
    uint64_t offset_ = 0;
};

} // namespace

uint64_t ReserveContentIdentities(uint64_t count) {
    static std::atomic<uint64_t> next{1};
    return next.fetch_add(count, std::memory_order_relaxed);
}

std::unique_ptr<ByteSource> MemoryPartContent::Open() const {
    return std::make_unique<MemorySource>(shared_from_this());
}

uint64_t MemoryPartContent::FullSize() const {
    std::lock_guard lock(mutex_);
    return bytes_.size();
}

void MemoryPartContent::Append(const void* bytes, size_t count) {
    std::lock_guard lock(mutex_);
    const auto* first = static_cast<const unsigned char*>(bytes);
    bytes_.insert(bytes_.end(), first, first + count);
    identity_.store(ReserveContentIdentities(1), std::memory_order_relaxed);
}

size_t MemoryPartContent::CopyOut(uint64_t offset, void* buffer, size_t count) const {
    std::lock_guard lock(mutex_);
    if (offset >= bytes_.size()) {
        return 0;
    }
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count, bytes_.size() - offset));
    std::memcpy(buffer, bytes_.data() + offset, n);
    return n;
}

} // namespace platform::xps
