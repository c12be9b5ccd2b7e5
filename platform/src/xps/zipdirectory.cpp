#include "zipdirectory.h"

#include "xps.h"
#include "zipformat.h"

#include <algorithm>
#include <memory>

namespace platform::xps {

using namespace zipformat;

namespace {

// Reads a run of records front to back through a window of the file, never past limit.
class DirectoryCursor {
public:
    DirectoryCursor(const InputFile& file, uint64_t offset, uint64_t limit)
        : file_(file), next_(offset), limit_(limit), window_(64 * 1024) {}

    // The next count bytes, valid until the next call; null when they would pass the limit or
    // the file ends first.
    const unsigned char* Take(size_t count) {
        if (count > end_ - start_) {
            if (count > limit_ - (next_ - (end_ - start_))) {
                return nullptr;
            }
            std::copy(window_.begin() + static_cast<std::ptrdiff_t>(start_),
                      window_.begin() + static_cast<std::ptrdiff_t>(end_), window_.begin());
            end_ -= start_;
            start_ = 0;
            if (count > window_.size()) {
                window_.resize(count);
            }
            const uint64_t room = std::min<uint64_t>(window_.size() - end_, limit_ - next_);
            const size_t got =
                file_.ReadAt(next_, window_.data() + end_, static_cast<size_t>(room));
            next_ += got;
            end_ += got;
            if (count > end_) {
                return nullptr;
            }
        }
        const unsigned char* at = window_.data() + start_;
        start_ += count;
        return at;
    }

    bool Skip(size_t count) {
        if (count <= end_ - start_) {
            start_ += count;
            return true;
        }
        const uint64_t beyond = count - (end_ - start_);
        start_ = end_ = 0;
        if (beyond > limit_ - next_) {
            return false;
        }
        next_ += beyond;
        return true;
    }

private:
    const InputFile& file_;
    uint64_t next_;  // the file offset just after the window's bytes
    uint64_t limit_; // no byte at or after it is read
    std::vector<unsigned char> window_;
    size_t start_ = 0;
    size_t end_ = 0;
};

// The ZIP64 fields of an entry: each present, in this order, only where its 32-bit field is
// the marker.
struct Zip64Fields {
    uint64_t* fullSize;
    uint64_t* storedSize;
    uint64_t* localOffset;
};

bool ReadZip64Extra(const unsigned char* extra, size_t size, const Zip64Fields& fields) {
    const bool wanted[] = {*fields.fullSize == kMarker32, *fields.storedSize == kMarker32,
                           *fields.localOffset == kMarker32};
    uint64_t* const targets[] = {fields.fullSize, fields.storedSize, fields.localOffset};
    if (!wanted[0] && !wanted[1] && !wanted[2]) {
        return true;
    }
    for (size_t at = 0; at + 4 <= size;) {
        const uint16_t id = Get16(extra + at);
        const size_t length = Get16(extra + at + 2);
        if (length > size - at - 4) {
            return false;
        }
        if (id == kZip64ExtraId) {
            size_t field = at + 4;
            for (int i = 0; i < 3; ++i) {
                if (!wanted[i]) {
                    continue;
                }
                if (field + 8 > at + 4 + length) {
                    return false;
                }
                *targets[i] = Get64(extra + field);
                field += 8;
            }
            return true;
        }
        at += 4 + length;
    }
    return false;
}

} // namespace

ZipDirectory::ZipDirectory(const InputFile& file) : path_(file.Path()) {
    const Extent directory = FindDirectory(file);
    dataLimit_ = directory.offset;
    ReadRecords(file, directory);
}

void ZipDirectory::Damaged(const std::string& why) const {
    Fail(kBadPackage, path_ + ": not a readable ZIP package: " + why);
}

ZipDirectory::Extent ZipDirectory::FindDirectory(const InputFile& file) const {
    // The end record is the last thing in the file but for a comment of up to 64 KiB.
    const uint64_t size = file.Size();
    const size_t tailSize =
        static_cast<size_t>(std::min<uint64_t>(size, kEndSize + kMaxCommentSize));
    std::vector<unsigned char> tail(tailSize);
    if (!file.ReadExactly(size - tailSize, tail.data(), tailSize)) {
        Damaged("the file changed while it was read");
    }
    // The end record whose comment reaches the end of the file, so that a comment holding
    // what looks like an end record misleads nothing; failing that, the last one that fits.
    size_t end = tailSize;
    for (size_t at = tailSize >= kEndSize ? tailSize - kEndSize + 1 : 0; at-- > 0;) {
        if (Get32(&tail[at]) != kEndSignature) {
            continue;
        }
        const size_t reach = at + kEndSize + Get16(&tail[at + 20]);
        if (reach == tailSize) {
            end = at;
            break;
        }
        if (reach < tailSize && end == tailSize) {
            end = at;
        }
    }
    if (end == tailSize) {
        Damaged("it has no end of central directory record (not a ZIP file, or cut short)");
    }
    const unsigned char* record = &tail[end];
    const uint64_t endOffset = size - tailSize + end;
    Extent directory{Get16(record + 10), Get32(record + 16), Get32(record + 12)};
    uint64_t directoryLimit = endOffset;
    if (Get16(record + 4) != 0 || Get16(record + 6) != 0 ||
        Get16(record + 8) != Get16(record + 10)) {
        Damaged("it spans several disks");
    }

    // A ZIP64 locator just before the end record points at the ZIP64 end record.
    unsigned char locator[kZip64LocatorSize];
    if (endOffset >= kZip64LocatorSize &&
        file.ReadExactly(endOffset - kZip64LocatorSize, locator, sizeof locator) &&
        Get32(locator) == kZip64LocatorSignature) {
        const uint64_t zip64Offset = Get64(locator + 8);
        unsigned char zip64[kZip64EndSize];
        if (Get32(locator + 4) != 0 || Get32(locator + 16) > 1) {
            Damaged("it spans several disks");
        }
        if (zip64Offset > endOffset - kZip64LocatorSize ||
            endOffset - kZip64LocatorSize - zip64Offset < kZip64EndSize ||
            !file.ReadExactly(zip64Offset, zip64, sizeof zip64) ||
            Get32(zip64) != kZip64EndSignature) {
            Damaged("its ZIP64 end of central directory record is missing or damaged");
        }
        if (Get32(zip64 + 16) != 0 || Get32(zip64 + 20) != 0 ||
            Get64(zip64 + 24) != Get64(zip64 + 32)) {
            Damaged("it spans several disks");
        }
        directory = {Get64(zip64 + 32), Get64(zip64 + 48), Get64(zip64 + 40)};
        directoryLimit = zip64Offset;
    }
    if (directory.offset > directoryLimit || directory.size > directoryLimit - directory.offset) {
        Damaged("its central directory lies outside the file");
    }
    if (directory.count > directory.size / kCentralHeaderSize) {
        Damaged("its central directory is cut short");
    }
    if (directory.count > 0xFFFFFFF0u) {
        Damaged("it has too many entries");
    }
    return directory;
}

void ZipDirectory::ReadRecords(const InputFile& file, const Extent& directory) {
    records_.reserve(static_cast<size_t>(directory.count));
    // The names take what the fixed parts leave of the directory, less extras and comments.
    names_.reserve(static_cast<size_t>(std::min<uint64_t>(
        directory.size - directory.count * kCentralHeaderSize, uint64_t{16} << 20)));
    DirectoryCursor cursor(file, directory.offset, directory.offset + directory.size);
    for (uint64_t index = 0; index < directory.count; ++index) {
        const unsigned char* header = cursor.Take(kCentralHeaderSize);
        if (!header || Get32(header) != kCentralHeaderSignature) {
            Damaged("its central directory is cut short or damaged at entry " +
                    std::to_string(index));
        }
        Record record{};
        record.flags = Get16(header + 8);
        record.method = Get16(header + 10);
        record.crc = Get32(header + 16);
        record.storedSize = Get32(header + 20);
        record.fullSize = Get32(header + 24);
        record.nameLength = Get16(header + 28);
        const size_t extraLength = Get16(header + 30);
        const size_t commentLength = Get16(header + 32);
        const uint16_t disk = Get16(header + 34);
        record.localOffset = Get32(header + 42);
        if (disk != 0 && disk != kMarker16) {
            Damaged("it spans several disks");
        }
        if (names_.size() + record.nameLength > 0xFFFFFFFFu) {
            Damaged("its entry names are too long");
        }
        record.nameOffset = static_cast<uint32_t>(names_.size());
        const unsigned char* name = cursor.Take(record.nameLength);
        if (!name) {
            Damaged("its central directory is cut short at entry " + std::to_string(index));
        }
        names_.append(reinterpret_cast<const char*>(name), record.nameLength);
        const unsigned char* extra = cursor.Take(extraLength);
        if (!extra || !cursor.Skip(commentLength)) {
            Damaged("its central directory is cut short at entry " + std::to_string(index));
        }
        if (!ReadZip64Extra(extra, extraLength,
                            {&record.fullSize, &record.storedSize, &record.localOffset})) {
            Damaged("entry \"" + std::string(NameOfRecord(record)) + "\" has damaged ZIP64 fields");
        }
        if (record.localOffset > dataLimit_ ||
            dataLimit_ - record.localOffset < kLocalHeaderSize + record.nameLength) {
            Damaged("entry \"" + std::string(NameOfRecord(record)) +
                    "\" lies outside the file's entries");
        }
        records_.push_back(record);
    }
    if (names_.capacity() - names_.size() > names_.size() / 8) {
        names_.shrink_to_fit();
    }
}

ZipEntry ZipDirectory::EntryAt(uint64_t index) const {
    const Record& record = records_[index];
    if (record.flags & (kFlagEncrypted | kFlagStrongEncryption)) {
        Fail(kBadPackage, std::string(NameOf(index)) + ": encrypted entries are not allowed");
    }
    ZipEntry entry;
    entry.index = index;
    entry.method = record.method;
    entry.storedSize = record.storedSize;
    entry.fullSize = record.fullSize;
    entry.crc = record.crc;
    return entry;
}

} // namespace platform::xps
