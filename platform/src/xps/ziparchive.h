// A ZIP file opened for random access (libzip), and the bytes of its entries: raw as stored,
// or inflated under the package's limits with the declared size and CRC checked.
#pragma once

#include "xps.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct zip;

namespace platform::xps {

struct ZipEntry {
    uint64_t index = 0;
    uint16_t method = 0; // 0 stored, 8 deflated
    uint64_t storedSize = 0;
    uint64_t fullSize = 0;
    uint32_t crc = 0;
};

// A source of bytes read front to back. Read answers 0 at the end and throws PackageError
// when the bytes are damaged.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual size_t Read(void* buffer, size_t count) = 0;
};

class ZipArchive : public std::enable_shared_from_this<ZipArchive> {
public:
    // Throws PackageError when path is not a readable ZIP file.
    static std::shared_ptr<ZipArchive> Open(const std::string& path,
                                            const XpsPackageLimits& limits);
    ~ZipArchive();
    ZipArchive(const ZipArchive&) = delete;
    ZipArchive& operator=(const ZipArchive&) = delete;

    uint64_t EntryCount() const { return count_; }
    // The stored name of an entry (valid while the archive is open).
    std::string_view NameOf(uint64_t index) const;
    ZipEntry EntryAt(uint64_t index) const;

    // The entry's bytes as stored in the file (compressed for deflated entries).
    std::unique_ptr<ByteSource> OpenRaw(const ZipEntry& entry);
    // The entry's content, inflated and checked. name is used in messages.
    std::unique_ptr<ByteSource> OpenContent(const ZipEntry& entry, const std::string& name);

    const XpsPackageLimits& Limits() const { return limits_; }
    // Counts inflated bytes against the job's limit; throws when it is passed.
    void ChargeJob(uint64_t bytes, const std::string& name);

private:
    ZipArchive(zip* archive, const XpsPackageLimits& limits);
    friend class RawEntrySource;

    zip* archive_;
    uint64_t count_;
    XpsPackageLimits limits_;
    std::mutex mutex_; // libzip's archive is not safe across threads
    std::atomic<uint64_t> inflated_{0};
};

} // namespace platform::xps
