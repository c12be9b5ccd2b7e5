#include "zipwriter.h"

#include "zipcrc.h"
#include "zipformat.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace platform::xps {

using namespace zipformat;

namespace {

// Whether an entry of content size hint may need ZIP64 fields: deflate may grow incompressible
// content a little (zlib's deflateBound).
bool MayNeedZip64(uint64_t sizeHint, bool deflating) {
    const uint64_t bound =
        deflating ? sizeHint + (sizeHint >> 12) + (sizeHint >> 14) + (sizeHint >> 25) + 64
                  : sizeHint;
    return sizeHint >= kMarker32 || bound >= kMarker32;
}

uint16_t VersionNeeded(uint16_t method, bool zip64) {
    return zip64 ? kVersionZip64 : method == kDeflated ? kVersionDeflate : 10;
}

} // namespace

struct ZipWriter::OpenEntry {
    std::string name;
    uint64_t headerOffset = 0;
    uint16_t method = kStored;
    bool deflating = false;
    bool raw = false;
    bool zip64 = false; // the local header has ZIP64 sizes
    uint32_t crc = 0;
    uint64_t storedSize = 0;
    uint64_t fullSize = 0;
    uint64_t declaredStored = 0; // for raw copies: what must come
};

// What the central directory says of an entry.
struct ZipWriter::DirectoryEntry {
    std::string_view name;
    uint16_t method = kStored;
    bool zip64 = false; // the local header has ZIP64 sizes
    uint32_t crc = 0;
    uint64_t storedSize = 0;
    uint64_t fullSize = 0;
    uint64_t headerOffset = 0;
};

// The central directory's entries, kept compactly until the package is finished: 19 bytes
// and the name each (31 when a size or offset passes 4 GiB), in blocks that never move. A
// record never spans two blocks.
class ZipWriter::CentralDirectory {
public:
    using Entry = DirectoryEntry;

    // Answers where the record lies: its block in the high half, its offset in the low.
    uint64_t Add(const Entry& entry) {
        const bool wide = (entry.storedSize | entry.fullSize | entry.headerOffset) > kMarker32;
        const size_t size = kFixedSize + (wide ? 24 : 12) + entry.name.size();
        if (blocks_.empty() || blocks_.back().size - blocks_.back().used < size) {
            const size_t blockSize = std::max(kBlockSize, size);
            blocks_.push_back(
                {std::unique_ptr<unsigned char[]>(new unsigned char[blockSize]), blockSize, 0});
        }
        Block& block = blocks_.back();
        unsigned char* at = block.bytes.get() + block.used;
        at[0] = static_cast<unsigned char>((entry.zip64 ? kZip64 : 0) | (wide ? kWide : 0) |
                                           (entry.method == kDeflated ? kDeflate : 0));
        Put16(at + 1, static_cast<uint16_t>(entry.name.size()));
        Put32(at + 3, entry.crc);
        at += kFixedSize;
        for (const uint64_t value : {entry.storedSize, entry.fullSize, entry.headerOffset}) {
            if (wide) {
                Put64(at, value);
                at += 8;
            } else {
                Put32(at, static_cast<uint32_t>(value));
                at += 4;
            }
        }
        std::memcpy(at, entry.name.data(), entry.name.size());
        const uint64_t id = (static_cast<uint64_t>(blocks_.size() - 1) << 32) | block.used;
        block.used += size;
        ++count_;
        return id;
    }

    std::string_view NameAt(uint64_t id) const {
        const unsigned char* at = blocks_[id >> 32].bytes.get() + (id & 0xFFFFFFFFu);
        const size_t nameLength = Get16(at + 1);
        at += kFixedSize + (at[0] & kWide ? 24 : 12);
        return std::string_view(reinterpret_cast<const char*>(at), nameLength);
    }

    // Calls visit with each entry in the order they were added.
    template <class Visit>
    void ForEach(Visit&& visit) const {
        for (const Block& block : blocks_) {
            for (size_t offset = 0; offset < block.used;) {
                const unsigned char* at = block.bytes.get() + offset;
                Entry entry;
                const bool wide = at[0] & kWide;
                entry.zip64 = at[0] & kZip64;
                entry.method = at[0] & kDeflate ? kDeflated : kStored;
                const size_t nameLength = Get16(at + 1);
                entry.crc = Get32(at + 3);
                at += kFixedSize;
                for (uint64_t* value : {&entry.storedSize, &entry.fullSize, &entry.headerOffset}) {
                    *value = wide ? Get64(at) : Get32(at);
                    at += wide ? 8 : 4;
                }
                entry.name = std::string_view(reinterpret_cast<const char*>(at), nameLength);
                offset = static_cast<size_t>(at + nameLength - block.bytes.get());
                visit(entry);
            }
        }
    }

    uint64_t Count() const { return count_; }

private:
    static constexpr size_t kBlockSize = 64 * 1024;
    static constexpr size_t kFixedSize = 7; // flags, name length, CRC
    static constexpr unsigned char kZip64 = 1;
    static constexpr unsigned char kWide = 2;
    static constexpr unsigned char kDeflate = 4;
    struct Block {
        std::unique_ptr<unsigned char[]> bytes;
        size_t size;
        size_t used;
    };
    std::vector<Block> blocks_;
    uint64_t count_ = 0;
};

ZipWriter::ZipWriter(const std::string& target, size_t gatherLimit)
    : file_(target), entryState_(std::make_unique<OpenEntry>()),
      central_(std::make_unique<CentralDirectory>()), gatherLimit_(gatherLimit) {}

ZipWriter::~ZipWriter() = default;

void ZipWriter::WriteLocalHeader(const std::string& name, uint16_t method, bool zip64, uint32_t crc,
                                 uint64_t storedSize, uint64_t fullSize) {
    if (entry_) {
        Fail(E_UNEXPECTED, name + ": an entry was begun before the last one ended");
    }
    if (name.size() > kMarker16) {
        Fail(E_INVALIDARG, name.substr(0, 64) + "...: the name is too long for a ZIP entry");
    }
    OpenEntry& entry = *entryState_;
    entry = OpenEntry{std::move(entry.name)}; // keeps the name's buffer for the next entry
    entry.name = name;
    entry.headerOffset = file_.Position();
    entry.method = method;
    entry.zip64 = zip64;
    std::string& header = record_;
    header.clear();
    RecordBuilder record(header);
    record.U32(kLocalHeaderSignature)
        .U16(VersionNeeded(method, zip64))
        .U16(0)
        .U16(method)
        .U16(kFixedDosTime)
        .U16(kFixedDosDate)
        .U32(crc)
        .U32(zip64 ? kMarker32 : static_cast<uint32_t>(storedSize))
        .U32(zip64 ? kMarker32 : static_cast<uint32_t>(fullSize))
        .U16(static_cast<uint16_t>(name.size()))
        .U16(zip64 ? 20 : 0)
        .Text(name);
    if (zip64) {
        record.U16(kZip64ExtraId).U16(16).U64(fullSize).U64(storedSize);
    }
    file_.Write(header.data(), header.size());
    entry_ = &entry;
}

void ZipWriter::Begin(const std::string& name, int level, uint64_t sizeHint) {
    const bool deflating = level > 0;
    if (deflating && !entry_) {
        if (!deflater_) {
            deflater_ = std::make_unique<EntryDeflater>(file_, gatherLimit_);
        }
        deflater_->Begin(level);
    }
    // The CRC and sizes are filled in when the entry ends.
    WriteLocalHeader(name, deflating ? kDeflated : kStored, MayNeedZip64(sizeHint, deflating), 0, 0,
                     0);
    entry_->deflating = deflating;
}

void ZipWriter::BeginRaw(const std::string& name, uint16_t method, uint64_t storedSize,
                         uint64_t fullSize, uint32_t crc) {
    if (method != kStored && method != kDeflated) {
        Fail(E_INVALIDARG,
             name + ": compression method " + std::to_string(method) + " is not supported");
    }
    WriteLocalHeader(name, method, storedSize >= kMarker32 || fullSize >= kMarker32, crc,
                     storedSize, fullSize);
    entry_->raw = true;
    entry_->declaredStored = storedSize;
    entry_->fullSize = fullSize;
    entry_->crc = crc;
}

void ZipWriter::Write(const void* bytes, size_t count) {
    if (!entry_) {
        Fail(E_UNEXPECTED, Target() + ": bytes written outside an entry");
    }
    OpenEntry& entry = *entry_;
    if (entry.raw) {
        if (count > entry.declaredStored - entry.storedSize) {
            Fail(kBadPackage, entry.name + ": more stored bytes came than were declared");
        }
    } else {
        entry.crc = ZipCrc32(entry.crc, bytes, count);
        entry.fullSize += count;
    }
    if (entry.deflating) {
        entry.storedSize += deflater_->Write(bytes, count);
    } else {
        file_.Write(bytes, count);
        entry.storedSize += count;
    }
}

ZipWriter::EntryId ZipWriter::End() {
    if (!entry_) {
        Fail(E_UNEXPECTED, Target() + ": an entry was ended that was never begun");
    }
    OpenEntry& entry = *entry_;
    if (entry.deflating) {
        entry.storedSize += deflater_->Finish();
    }
    if (entry.raw) {
        if (entry.storedSize != entry.declaredStored) {
            Fail(kBadPackage, entry.name + ": the stored bytes end early");
        }
    } else {
        if (!entry.zip64 && (entry.storedSize >= kMarker32 || entry.fullSize >= kMarker32)) {
            Fail(kTooLarge, entry.name + ": the content is larger than its size said, past "
                                         "what an entry without ZIP64 fields can hold");
        }
        // The CRC and sizes go into the local header written at the start.
        unsigned char fields[16];
        Put32(fields, entry.crc);
        file_.Patch(entry.headerOffset + 14, fields, 4);
        if (entry.zip64) {
            Put64(fields, entry.fullSize);
            Put64(fields + 8, entry.storedSize);
            file_.Patch(entry.headerOffset + kLocalHeaderSize + entry.name.size() + 4, fields, 16);
        } else {
            Put32(fields, static_cast<uint32_t>(entry.storedSize));
            Put32(fields + 4, static_cast<uint32_t>(entry.fullSize));
            file_.Patch(entry.headerOffset + 18, fields, 8);
        }
    }
    DirectoryEntry remembered;
    remembered.name = entry.name;
    remembered.method = entry.method;
    remembered.zip64 = entry.zip64;
    remembered.crc = entry.crc;
    remembered.storedSize = entry.storedSize;
    remembered.fullSize = entry.fullSize;
    remembered.headerOffset = entry.headerOffset;
    const EntryId id = central_->Add(remembered);
    entry_ = nullptr;
    return id;
}

std::string_view ZipWriter::NameOf(EntryId entry) const {
    return central_->NameAt(entry);
}

void ZipWriter::WriteCentralRecord(const DirectoryEntry& entry) {
    const bool fullMarker = entry.zip64 || entry.fullSize >= kMarker32;
    const bool storedMarker = entry.zip64 || entry.storedSize >= kMarker32;
    const bool offsetMarker = entry.headerOffset >= kMarker32;
    const uint16_t extraSize =
        static_cast<uint16_t>((fullMarker || storedMarker || offsetMarker ? 4 : 0) +
                              8 * (fullMarker + storedMarker + offsetMarker));
    const bool zip64 = extraSize != 0;
    std::string& central = record_;
    central.clear();
    RecordBuilder record(central);
    record.U32(kCentralHeaderSignature)
        .U16(VersionNeeded(entry.method, zip64)) // made by MS-DOS tools of that version
        .U16(VersionNeeded(entry.method, zip64))
        .U16(0)
        .U16(entry.method)
        .U16(kFixedDosTime)
        .U16(kFixedDosDate)
        .U32(entry.crc)
        .U32(storedMarker ? kMarker32 : static_cast<uint32_t>(entry.storedSize))
        .U32(fullMarker ? kMarker32 : static_cast<uint32_t>(entry.fullSize))
        .U16(static_cast<uint16_t>(entry.name.size()))
        .U16(extraSize)
        .U16(0) // comment
        .U16(0) // disk
        .U16(0) // internal attributes
        .U32(0) // external attributes
        .U32(offsetMarker ? kMarker32 : static_cast<uint32_t>(entry.headerOffset))
        .Text(entry.name);
    if (zip64) {
        record.U16(kZip64ExtraId).U16(static_cast<uint16_t>(extraSize - 4));
        if (fullMarker) {
            record.U64(entry.fullSize);
        }
        if (storedMarker) {
            record.U64(entry.storedSize);
        }
        if (offsetMarker) {
            record.U64(entry.headerOffset);
        }
    }
    file_.Write(central.data(), central.size());
}

void ZipWriter::Commit() {
    if (entry_) {
        Fail(E_UNEXPECTED, entry_->name + ": the package was finished inside an entry");
    }
    const uint64_t offset = file_.Position();
    central_->ForEach([&](const DirectoryEntry& entry) { WriteCentralRecord(entry); });
    const uint64_t size = file_.Position() - offset;
    const uint64_t count = central_->Count();
    std::string end;
    RecordBuilder record(end);
    if (count >= kMarker16 || offset >= kMarker32 || size >= kMarker32) {
        const uint64_t zip64End = file_.Position();
        record.U32(kZip64EndSignature)
            .U64(kZip64EndSize - 12)
            .U16(kVersionZip64)
            .U16(kVersionZip64)
            .U32(0)
            .U32(0)
            .U64(count)
            .U64(count)
            .U64(size)
            .U64(offset);
        record.U32(kZip64LocatorSignature).U32(0).U64(zip64End).U32(1);
    }
    const auto field16 = [](uint64_t value) {
        return static_cast<uint16_t>(value >= kMarker16 ? kMarker16 : value);
    };
    const auto field32 = [](uint64_t value) {
        return static_cast<uint32_t>(value >= kMarker32 ? kMarker32 : value);
    };
    record.U32(kEndSignature)
        .U16(0)
        .U16(0)
        .U16(field16(count))
        .U16(field16(count))
        .U32(field32(size))
        .U32(field32(offset))
        .U16(0);
    file_.Write(end.data(), end.size());
    file_.Commit();
}

} // namespace platform::xps
