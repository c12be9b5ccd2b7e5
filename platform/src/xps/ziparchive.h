// A ZIP file opened for reading: its central directory indexed once (ZipDirectory), and the
// bytes of its entries read on demand: raw as stored, or inflated under the package's limits
// with the declared size and CRC checked.
#pragma once

#include "inputfile.h"
#include "xps.h"
#include "zipdirectory.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace platform::xps {

// A source of bytes read front to back. Read answers 0 at the end and throws PackageError
// when the bytes are damaged.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual size_t Read(void* buffer, size_t count) = 0;
};

// Entry streams hold the archive, so it lives as long as the last of them; they read the file
// at offsets of their own and may be used on different threads.
class PLATFORM_EXPORT ZipArchive : public std::enable_shared_from_this<ZipArchive> {
public:
    // Throws PackageError when path is not a readable ZIP file.
    static std::shared_ptr<ZipArchive> Open(const std::string& path,
                                            const XpsPackageLimits& limits);
    ZipArchive(const ZipArchive&) = delete;
    ZipArchive& operator=(const ZipArchive&) = delete;

    uint64_t EntryCount() const { return directory_.Count(); }
    // The stored name of an entry (valid while the archive is open).
    std::string_view NameOf(uint64_t index) const { return directory_.NameOf(index); }
    // Throws PackageError when the entry is encrypted.
    ZipEntry EntryAt(uint64_t index) const;

    // The entry's bytes as stored in the file (compressed for deflated entries). Throws when
    // its local header is damaged or its bytes would run into the central directory.
    std::unique_ptr<ByteSource> OpenRaw(const ZipEntry& entry);
    // The entry's content, inflated and checked. name is used in messages.
    std::unique_ptr<ByteSource> OpenContent(const ZipEntry& entry, const std::string& name);

    const XpsPackageLimits& Limits() const { return limits_; }
    // Counts inflated bytes against the job's limit; throws when it is passed.
    void ChargeJob(uint64_t bytes, const std::string& name);

private:
    ZipArchive(const std::string& path, const XpsPackageLimits& limits);
    friend class RawEntrySource;

    InputFile file_;
    ZipDirectory directory_;
    XpsPackageLimits limits_;
    std::atomic<uint64_t> inflated_{0};
};

} // namespace platform::xps
