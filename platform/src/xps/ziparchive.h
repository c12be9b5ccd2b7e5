// A ZIP file opened for reading: its central directory indexed once (ZipDirectory), and the
// bytes of its entries read on demand: raw as stored, or inflated under the package's limits
// with the declared size and CRC checked.
#pragma once

#include "inputfile.h"
#include "wholeinflater.h"
#include "xps.h"
#include "zipdirectory.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform::xps {

// A source of bytes read front to back. Read answers 0 at the end and throws PackageError
// when the bytes are damaged.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual size_t Read(void* buffer, size_t count) = 0;
};

class EntryInflater;

// Whether the bytes a read inflates count against the job's limit. Bytes read ahead of the walk
// do not: the reader counts them when the walk reaches them, so the limit is passed at the same
// part whether or not anything was read ahead.
enum class Charge { kJob, kNone };

// Entry streams hold the archive, so it lives as long as the last of them; they read the file
// at offsets of their own and may be used on different threads.
class PLATFORM_EXPORT ZipArchive : public std::enable_shared_from_this<ZipArchive> {
public:
    // Throws PackageError when path is not a readable ZIP file.
    static std::shared_ptr<ZipArchive> Open(const std::string& path,
                                            const XpsPackageLimits& limits);
    ~ZipArchive();
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
    std::unique_ptr<ByteSource> OpenContent(const ZipEntry& entry, const std::string& name,
                                            Charge charge = Charge::kJob);
    // Throws what OpenContent throws when the entry's content may not be read: a method other
    // than stored or deflated, sizes that disagree, a part too large or a decompression bomb.
    void CheckContent(const ZipEntry& entry, const std::string& name) const;
    // Replaces out by the entry's content, inflated whole and checked as OpenContent checks it,
    // by an EntryInflater the archive keeps for the next call. Any thread.
    void ReadWhole(const ZipEntry& entry, const std::string& name, std::string& out,
                   Charge charge = Charge::kJob);
    // Reads the entry's stored bytes into out, with its local header in one go where they are
    // small, and answers where in out they start; throws as OpenRaw does.
    size_t ReadStored(const ZipEntry& entry, std::vector<unsigned char>& out);

    const XpsPackageLimits& Limits() const { return limits_; }
    // Counts inflated bytes against the job's limit; throws when it is passed.
    void ChargeJob(uint64_t bytes, const std::string& name);

private:
    ZipArchive(const std::string& path, const XpsPackageLimits& limits);
    friend class RawEntrySource;

    // Checks the local header (at the start of head, got bytes of it read) and answers the
    // offset of the entry's stored bytes.
    uint64_t DataOffset(const ZipEntry& entry, const unsigned char* head, size_t got) const;

    InputFile file_;
    ZipDirectory directory_;
    XpsPackageLimits limits_;
    std::atomic<uint64_t> inflated_{0};
    std::atomic<EntryInflater*> spareInflater_{nullptr}; // owned; lent by ReadWhole
};

// Inflates whole entries into memory, one after another: for the many small parts a reader
// parses whole (a page's relationships). Each is inflated in one call into a buffer of its
// declared size (WholeInflater); a stream it refuses is inflated again by zlib, which has the
// last word and names the damage (cut short or corrupt). Checks what OpenContent checks. One
// thread at a time.
class PLATFORM_EXPORT EntryInflater {
public:
    EntryInflater();
    ~EntryInflater();
    EntryInflater(const EntryInflater&) = delete;
    EntryInflater& operator=(const EntryInflater&) = delete;

    // Appends the entry's content to out. name is used in messages.
    void Append(ZipArchive& archive, const ZipEntry& entry, const std::string& name,
                std::string& out, Charge charge = Charge::kJob);

private:
    struct Stream;
    // Inflates the deflated stored bytes into out from base on and answers how many came
    // (never more than the declared size); throws when the stream is longer or damaged.
    size_t Inflate(const unsigned char* stored, const ZipEntry& entry, const std::string& name,
                   std::string& out, size_t base);
    size_t InflateWithZlib(const unsigned char* stored, const ZipEntry& entry,
                           const std::string& name, std::string& out, size_t base);

    WholeInflater whole_;
    std::unique_ptr<Stream> stream_;   // zlib, made for the first refused entry
    std::vector<unsigned char> input_; // stored bytes, reused
};

} // namespace platform::xps
