// The bytes of a part: entries of the package it was read from, or bytes in memory written
// through a write stream. Readers open a fresh ByteSource each time.
#pragma once

#include "package.h"

#include <memory>
#include <mutex>
#include <vector>

namespace platform::xps {

class PartContent {
public:
    virtual ~PartContent() = default;
    virtual std::unique_ptr<ByteSource> Open() const = 0;
    virtual uint64_t StoredSize() const = 0;
    virtual uint64_t FullSize() const = 0;
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
    void Append(const void* bytes, size_t count);
    // Copies up to count bytes from offset; answers how many.
    size_t CopyOut(uint64_t offset, void* buffer, size_t count) const;

private:
    mutable std::mutex mutex_;
    std::vector<unsigned char> bytes_;
};

} // namespace platform::xps
