// A ZIP file written entry by entry as it goes, to a ReplacementFile that becomes the target
// only on Commit. Entries are deflated here (EntryDeflater: in one call while they are small,
// streamed past its gathering limit), stored, or copied as the compressed bytes another
// package stored. Each local header is written first and its CRC and sizes filled in
// when the entry ends, so no data descriptors are needed. Per entry only what its central
// directory record needs stays in memory (19 bytes and its name, 31 past 4 GiB), in blocks
// that never move, until Commit writes the directory; ZIP64 records are written where sizes,
// offsets or the number of entries need them.
#pragma once

#include "entrydeflater.h"
#include "replacementfile.h"
#include "xps.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform::xps {

class PLATFORM_EXPORT ZipWriter {
public:
    // Throws PackageError when the target cannot be written (a folder, a device, a FIFO, a
    // folder that does not exist or cannot be written). Deflated entries of up to gatherLimit
    // bytes are held in memory and deflated in one call when they end.
    explicit ZipWriter(const std::string& target, size_t gatherLimit = EntryDeflater::kGatherLimit);
    ~ZipWriter();
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;

    // An entry written from content bytes; level 0 stores, 1-9 deflate. sizeHint is the
    // content's size as far as it is known: past 4 GiB the entry gets ZIP64 fields.
    void Begin(const std::string& name, int level, uint64_t sizeHint);
    // An entry written from the stored bytes of another package's entry (method 0 or 8),
    // whose sizes and CRC are known.
    void BeginRaw(const std::string& name, uint16_t method, uint64_t storedSize, uint64_t fullSize,
                  uint32_t crc);
    // The content (after Begin) or the stored bytes (after BeginRaw).
    void Write(const void* bytes, size_t count);
    // Identifies an entry that has ended, for NameOf.
    using EntryId = uint64_t;
    // Finishes the entry and answers its id; after BeginRaw, throws when fewer or more bytes
    // came than declared.
    EntryId End();
    // The name of an entry that has ended, kept for the central directory (valid while the
    // writer lives): callers that must tell names apart need not keep copies of their own.
    std::string_view NameOf(EntryId entry) const;

    // Writes the central directory and moves the file to the target.
    void Commit();

    const std::string& Target() const { return file_.Target(); }

private:
    struct OpenEntry;
    struct DirectoryEntry;
    class CentralDirectory;

    void WriteLocalHeader(const std::string& name, uint16_t method, bool zip64, uint32_t crc,
                          uint64_t storedSize, uint64_t fullSize);
    void WriteCentralRecord(const DirectoryEntry& entry);

    ReplacementFile file_;
    std::unique_ptr<OpenEntry> entryState_; // reused for every entry
    OpenEntry* entry_ = nullptr;            // the entry being written, or none
    std::string record_;                    // a header being built
    std::unique_ptr<CentralDirectory> central_;
    size_t gatherLimit_;
    std::unique_ptr<EntryDeflater> deflater_; // made for the first deflated entry, then reused
};

} // namespace platform::xps
