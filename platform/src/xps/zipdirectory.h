// The central directory of a ZIP file, read once into a compact index: the names of all
// entries in one pool and, per entry, one fixed-size record of where its bytes lie, how they
// are stored, their sizes and CRC. That is 40 bytes an entry besides its name; nothing else
// of the directory stays in memory, and the directory itself is read through a small window.
// ZIP64 end records and ZIP64 fields of entries are followed where the 16- and 32-bit fields
// say so.
#pragma once

#include "inputfile.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform::xps {

struct ZipEntry {
    uint64_t index = 0;
    uint16_t method = 0; // 0 stored, 8 deflated
    uint64_t storedSize = 0;
    uint64_t fullSize = 0;
    uint32_t crc = 0;
};

class ZipDirectory {
public:
    // Reads the directory of file; throws PackageError (kBadPackage) when the file has none or
    // it is damaged: no end record, a directory outside the file or cut short, several disks,
    // an entry whose local header cannot lie before the directory, damaged ZIP64 fields.
    explicit ZipDirectory(const InputFile& file);

    uint64_t Count() const { return records_.size(); }
    // The stored name of an entry (valid while the directory lives).
    std::string_view NameOf(uint64_t index) const { return NameOfRecord(records_[index]); }
    // Throws PackageError when the entry is encrypted.
    ZipEntry EntryAt(uint64_t index) const;
    uint64_t LocalHeaderOffset(uint64_t index) const { return records_[index].localOffset; }
    // Entries' bytes lie before this offset: the start of the central directory.
    uint64_t DataLimit() const { return dataLimit_; }

private:
    struct Record {
        uint64_t localOffset;
        uint64_t storedSize;
        uint64_t fullSize;
        uint32_t crc;
        uint32_t nameOffset;
        uint16_t nameLength;
        uint16_t method;
        uint16_t flags;
    };
    static_assert(sizeof(Record) == 40);

    struct Extent {
        uint64_t count;
        uint64_t offset;
        uint64_t size;
    };
    Extent FindDirectory(const InputFile& file) const;
    void ReadRecords(const InputFile& file, const Extent& directory);
    std::string_view NameOfRecord(const Record& record) const {
        return std::string_view(names_).substr(record.nameOffset, record.nameLength);
    }
    [[noreturn]] void Damaged(const std::string& why) const;

    std::string path_;
    std::vector<Record> records_;
    std::string names_;
    uint64_t dataLimit_ = 0;
};

} // namespace platform::xps
