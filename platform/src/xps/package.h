// An XPS package opened for reading: its ZIP archive, the index of its parts (a part is one
// entry or a run of interleaved pieces) and its content types. The index keeps 16 bytes a
// part and a hash table of 8 to 16 bytes a part besides the archive's directory (40 bytes and
// the name an entry), so it stays small for jobs of many thousand pages.
#pragma once

#include "ziparchive.h"

#include <string>
#include <unordered_map>
#include <vector>

namespace platform::xps {

// The entries of a part: one, or its pieces in order. Most parts have one, kept in place.
class PartEntries {
public:
    void Add(const ZipEntry& entry) {
        if (count_ == 1) {
            pieces_.push_back(single_);
        }
        if (count_ == 0) {
            single_ = entry;
        } else {
            pieces_.push_back(entry);
        }
        ++count_;
    }
    size_t size() const { return count_; }
    const ZipEntry* begin() const { return count_ > 1 ? pieces_.data() : &single_; }
    const ZipEntry* end() const { return begin() + count_; }
    const ZipEntry& operator[](size_t index) const { return begin()[index]; }
    const ZipEntry& front() const { return *begin(); }

private:
    ZipEntry single_;
    std::vector<ZipEntry> pieces_; // all of them, once there are two
    size_t count_ = 0;
};

struct PartLocation {
    PartEntries entries;
    uint64_t storedSize = 0;
    uint64_t fullSize = 0;
};

class Package {
public:
    // Opens path and indexes it; throws PackageError when it is no OPC package or an entry
    // name is not a part name or appears twice.
    static std::shared_ptr<Package> Open(const std::string& path, const XpsPackageLimits& limits);

    bool Contains(std::string_view partName) const;
    // Where the part's bytes are, or false when there is no such part: one lookup where
    // Contains and Locate take two. Throws when its pieces are damaged.
    bool TryLocate(std::string_view partName, PartLocation& location) const;
    // The part that target names from sourcePart (see ResolvePartReference) into name, and
    // where its bytes are, or false when the package has no such part. A reference that joins
    // to a name of the package is that part without further checks: the name was checked
    // when the package was indexed. Throws as ResolvePartReference and TryLocate do.
    bool TryLocateReference(std::string_view sourcePart, std::string_view target, std::string& name,
                            PartLocation& location) const;
    // Where the part's bytes are; throws when there is no such part or its pieces are damaged.
    PartLocation Locate(std::string_view partName) const;
    // The content type of a part by the package's [Content_Types].xml; throws when none applies.
    const std::string& ContentTypeOf(std::string_view partName) const;
    // The part's content, checked while it is read.
    std::unique_ptr<ByteSource> OpenPart(std::string_view partName) const;
    std::unique_ptr<ByteSource> OpenPart(const PartLocation& location, const std::string& partName,
                                         Charge charge = Charge::kJob) const;
    // Replaces out by the part's whole content, checked as OpenPart checks it, inflated with
    // inflater; for small parts (see IsSmall).
    void ReadWhole(const PartLocation& location, const std::string& partName,
                   EntryInflater& inflater, std::string& out, Charge charge = Charge::kJob) const;
    // Whether a part is small enough to be read whole rather than streamed.
    static bool IsSmall(const PartLocation& location);
    // The identity of a part's content (see PartContent::Identity): one per entry of the
    // package, the first piece's for a part in pieces.
    uint64_t IdentityOf(const PartLocation& location) const {
        return identities_ + location.entries.front().index;
    }

    ZipArchive& Archive() const { return *archive_; }
    const std::shared_ptr<ZipArchive>& SharedArchive() const { return archive_; }

private:
    struct IndexItem {
        uint64_t hash;     // of the folded part name
        uint32_t entry;    // the entry, or the first piece
        uint32_t pieceRun; // index into pieceRuns_ + 1, or 0 for a plain entry
    };
    struct PieceRun {
        std::vector<uint32_t> entries; // by piece number
        std::string problem;           // why the run is unusable, or empty
    };

    void Index();
    void ReadContentTypes(uint64_t entry);
    const IndexItem* FindItem(std::string_view partName) const;
    // The part name of an item as its entry holds it: without the leading "/" or a piece's
    // last segment.
    std::string_view EntryPartName(const IndexItem& item) const;

    std::shared_ptr<ZipArchive> archive_;
    uint64_t identities_ = 0;      // the first of the entries' content identities
    std::vector<IndexItem> items_; // sorted by hash, then by folded name
    // An open-addressing table over items_ by hash: 1 + the index of the first item of each
    // hash, 0 for an empty slot. Its size is a power of two at least twice the items'.
    std::vector<uint32_t> slots_;
    std::vector<PieceRun> pieceRuns_;
    // Part names and extensions compare without regard to ASCII case, so that a name is found
    // as it is written.
    struct FoldedLess {
        bool operator()(std::string_view a, std::string_view b) const;
    };
    struct FoldedHash {
        using is_transparent = void;
        size_t operator()(std::string_view name) const;
    };
    struct FoldedEqual {
        using is_transparent = void;
        bool operator()(std::string_view a, std::string_view b) const;
    };
    using ContentTypes = std::unordered_map<std::string, std::string, FoldedHash, FoldedEqual>;
    ContentTypes defaults_;  // extension -> content type
    ContentTypes overrides_; // part name -> content type
};

} // namespace platform::xps
