// The bytes of a part: entries of the package it was read from, or bytes in memory written
// through a write stream. Readers open a fresh ByteSource each time.
#pragma once

#include "package.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace platform::xps {

// Reserves count identities of contents, never handed out again in the process; answers the
// first. Identities start at 1.
uint64_t ReserveContentIdentities(uint64_t count);

class PartContent {
public:
    virtual ~PartContent() = default;
    virtual std::unique_ptr<ByteSource> Open() const = 0;
    virtual uint64_t StoredSize() const = 0;
    virtual uint64_t FullSize() const = 0;
    // Tells contents apart: the same for two contents of one package entry (a resource read
    // again for each page that names it), different for any two others, never 0.
    virtual uint64_t Identity() const = 0;
};

// A part as the package holds it; the writer copies its stored bytes as they are.
class PackagePartContent final : public PartContent {
public:
    PackagePartContent(std::shared_ptr<const Package> package, std::string name,
                       PartLocation location)
        : package_(std::move(package)), name_(std::move(name)), location_(std::move(location)) {}

    std::unique_ptr<ByteSource> Open() const override {
        return package_->OpenPart(location_, name_);
    }
    uint64_t StoredSize() const override { return location_.storedSize; }
    uint64_t FullSize() const override { return location_.fullSize; }
    uint64_t Identity() const override { return package_->IdentityOf(location_); }
    const PartLocation& Location() const { return location_; }
    ZipArchive& Archive() const { return package_->Archive(); }
    const std::string& Name() const { return name_; }

private:
    std::shared_ptr<const Package> package_;
    std::string name_;
    PartLocation location_;
};

// Bytes written by a filter. Appending and reading may come from different threads.
class MemoryPartContent final : public PartContent,
                                public std::enable_shared_from_this<MemoryPartContent> {
public:
    std::unique_ptr<ByteSource> Open() const override;
    uint64_t StoredSize() const override { return 0; }
    uint64_t FullSize() const override;
    // Bytes appended make another content: a part sent, written to and sent again is not the
    // part that was written.
    uint64_t Identity() const override { return identity_.load(std::memory_order_relaxed); }
    void Append(const void* bytes, size_t count);
    // Copies up to count bytes from offset; answers how many.
    size_t CopyOut(uint64_t offset, void* buffer, size_t count) const;

private:
    mutable std::mutex mutex_;
    std::vector<unsigned char> bytes_;
    std::atomic<uint64_t> identity_{ReserveContentIdentities(1)};
};

} // namespace platform::xps
