#include "package.h"

#include "markupreader.h"
#include "partcontent.h"
#include "partname.h"

#include <algorithm>
#include <functional>

namespace platform::xps {
namespace {

char Folded(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// "[3].piece" or "[3].last.piece": the piece number and whether it is the last.
bool ParsePiece(std::string_view segment, uint32_t& number, bool& last) {
    if (segment.size() < 9 || segment.front() != '[') {
        return false;
    }
    const size_t close = segment.find(']');
    if (close == std::string_view::npos || close == 1 || close > 10) {
        return false;
    }
    uint64_t value = 0;
    for (size_t i = 1; i < close; ++i) {
        if (segment[i] < '0' || segment[i] > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(segment[i] - '0');
    }
    const std::string rest = FoldPartName(segment.substr(close + 1));
    if (rest == ".piece") {
        last = false;
    } else if (rest == ".last.piece") {
        last = true;
    } else {
        return false;
    }
    if (value > 0xFFFFFFu) {
        return false;
    }
    number = static_cast<uint32_t>(value);
    return true;
}

} // namespace

std::shared_ptr<Package> Package::Open(const std::string& path, const XpsPackageLimits& limits) {
    auto package = std::make_shared<Package>();
    package->archive_ = ZipArchive::Open(path, limits);
    package->identities_ = ReserveContentIdentities(package->archive_->EntryCount());
    package->Index();
    return package;
}

void Package::Index() {
    const uint64_t count = archive_->EntryCount();
    if (count > 0xFFFFFFF0u) {
        Fail(kBadPackage, "the package has too many entries");
    }
    struct Piece {
        uint64_t hash;
        uint32_t number;
        bool last;
        uint32_t entry;
    };
    std::vector<Piece> pieces;
    uint64_t contentTypes = count;
    items_.reserve(static_cast<size_t>(count));
    std::string partName; // reused for every entry
    for (uint64_t index = 0; index < count; ++index) {
        const std::string_view name = archive_->NameOf(index);
        if (SamePartName(name, "[Content_Types].xml")) {
            if (contentTypes != count) {
                Fail(kBadPackage, "the package has two [Content_Types].xml entries");
            }
            contentTypes = index;
            continue;
        }
        if (!name.empty() && name.back() == '/' && archive_->EntryAt(index).fullSize == 0) {
            continue; // a folder entry some ZIP tools add; it names no part
        }
        partName.assign(1, '/').append(name);
        const size_t slash = partName.rfind('/');
        uint32_t number = 0;
        bool last = false;
        const bool piece =
            slash > 0 && ParsePiece(std::string_view(partName).substr(slash + 1), number, last);
        if (piece) {
            partName.resize(slash);
        }
        const std::string problem = PartNameProblem(partName);
        if (!problem.empty()) {
            Fail(kBadPackage,
                 "entry \"" + std::string(name) + "\" is not a part name: it " + problem);
        }
        const uint64_t hash = PartNameKey(partName); // collisions are told apart by name
        if (piece) {
            pieces.push_back({hash, number, last, static_cast<uint32_t>(index)});
        } else {
            items_.push_back({hash, static_cast<uint32_t>(index), 0});
        }
    }
    if (contentTypes == count) {
        Fail(kBadPackage, "the package has no [Content_Types].xml");
    }

    // Names whose keys collide are told apart by the names themselves: sorted by key, then by
    // name, so that the pieces of one part and the duplicates of one name lie together.
    const FoldedLess less;
    const auto pieceName = [&](const Piece& piece) {
        const std::string_view name = archive_->NameOf(piece.entry);
        return name.substr(0, name.rfind('/'));
    };
    // Group the pieces by part; a run must be numbered 0..n with only its last marked last.
    std::sort(pieces.begin(), pieces.end(), [&](const Piece& a, const Piece& b) {
        if (a.hash != b.hash) {
            return a.hash < b.hash;
        }
        if (less(pieceName(a), pieceName(b))) {
            return true;
        }
        return !less(pieceName(b), pieceName(a)) && a.number < b.number;
    });
    for (size_t start = 0; start < pieces.size();) {
        size_t end = start;
        while (end < pieces.size() && pieces[end].hash == pieces[start].hash &&
               SamePartName(pieceName(pieces[end]), pieceName(pieces[start]))) {
            ++end;
        }
        PieceRun run;
        for (size_t i = start; i < end; ++i) {
            const Piece& piece = pieces[i];
            if (piece.number != i - start) {
                run.problem = piece.number < i - start
                                  ? "has two pieces numbered " + std::to_string(piece.number)
                                  : "misses piece " + std::to_string(i - start);
                break;
            }
            if (piece.last != (i + 1 == end)) {
                run.problem =
                    piece.last ? "has pieces after its last piece" : "misses its last piece";
                break;
            }
            run.entries.push_back(piece.entry);
        }
        pieceRuns_.push_back(std::move(run));
        items_.push_back(
            {pieces[start].hash, pieces[start].entry, static_cast<uint32_t>(pieceRuns_.size())});
        start = end;
    }

    std::sort(items_.begin(), items_.end(), [&](const IndexItem& a, const IndexItem& b) {
        return a.hash != b.hash ? a.hash < b.hash : less(EntryPartName(a), EntryPartName(b));
    });
    for (size_t i = 1; i < items_.size(); ++i) {
        if (items_[i].hash == items_[i - 1].hash) {
            const std::string_view first = EntryPartName(items_[i - 1]);
            const std::string_view second = EntryPartName(items_[i]);
            if (SamePartName(first, second)) {
                Fail(kBadPackage, "the package holds part /" + std::string(second) +
                                      " twice (as \"/" + std::string(first) + "\" and \"/" +
                                      std::string(second) + "\")");
            }
        }
    }
    size_t slotCount = 16;
    while (slotCount < 2 * items_.size()) {
        slotCount *= 2;
    }
    slots_.assign(slotCount, 0);
    for (size_t i = 0; i < items_.size(); ++i) {
        if (i > 0 && items_[i].hash == items_[i - 1].hash) {
            continue; // found through the first item of its hash
        }
        size_t slot = static_cast<size_t>(items_[i].hash) & (slotCount - 1);
        while (slots_[slot] != 0) {
            slot = (slot + 1) & (slotCount - 1);
        }
        slots_[slot] = static_cast<uint32_t>(i + 1);
    }
    ReadContentTypes(contentTypes);
}

std::string_view Package::EntryPartName(const IndexItem& item) const {
    std::string_view name = archive_->NameOf(item.entry);
    if (item.pieceRun) {
        name = name.substr(0, name.rfind('/'));
    }
    return name;
}

void Package::ReadContentTypes(uint64_t entry) {
    const std::string name = "[Content_Types].xml";
    MarkupReader reader(archive_->OpenContent(archive_->EntryAt(entry), name), name);
    if (!reader.NextElement() || reader.LocalName() != "Types" ||
        reader.NamespaceUri() != kContentTypesNamespace) {
        Fail(kBadPackage, name + " is not a content types part");
    }
    while (reader.NextElement()) {
        if (reader.Depth() != 1 || reader.NamespaceUri() != kContentTypesNamespace) {
            continue;
        }
        const std::string element(reader.LocalName());
        auto contentType = reader.Attribute("ContentType");
        if (element == "Default") {
            auto extension = reader.Attribute("Extension");
            if (!extension || !contentType) {
                Fail(kBadPackage, name + " has a Default without Extension or ContentType");
            }
            defaults_[std::string(*extension)] = *contentType;
        } else if (element == "Override") {
            auto partName = reader.Attribute("PartName");
            if (!partName || !contentType) {
                Fail(kBadPackage, name + " has an Override without PartName or ContentType");
            }
            overrides_[std::string(*partName)] = *contentType;
        }
    }
}

const Package::IndexItem* Package::FindItem(std::string_view partName) const {
    if (partName.empty() || partName.front() != '/') {
        return nullptr;
    }
    const uint64_t hash = PartNameKey(partName);
    const size_t mask = slots_.size() - 1;
    for (size_t slot = static_cast<size_t>(hash) & mask; slots_[slot] != 0;
         slot = (slot + 1) & mask) {
        auto it = items_.begin() + (slots_[slot] - 1);
        if (it->hash != hash) {
            continue;
        }
        for (; it != items_.end() && it->hash == hash; ++it) {
            if (SamePartName(EntryPartName(*it), partName.substr(1))) {
                return &*it;
            }
        }
        return nullptr;
    }
    return nullptr;
}

bool Package::Contains(std::string_view partName) const {
    return FindItem(partName) != nullptr;
}

bool Package::TryLocate(std::string_view partName, PartLocation& location) const {
    const IndexItem* item = FindItem(partName);
    if (!item) {
        return false;
    }
    location = PartLocation();
    if (item->pieceRun) {
        const PieceRun& run = pieceRuns_[item->pieceRun - 1];
        if (!run.problem.empty()) {
            Fail(kBadPackage, "part " + std::string(partName) + " " + run.problem);
        }
        for (const uint32_t entry : run.entries) {
            location.entries.Add(archive_->EntryAt(entry));
        }
    } else {
        location.entries.Add(archive_->EntryAt(item->entry));
    }
    for (const ZipEntry& entry : location.entries) {
        location.storedSize += entry.storedSize;
        location.fullSize += entry.fullSize;
    }
    return true;
}

bool Package::TryLocateReference(std::string_view sourcePart, std::string_view target,
                                 std::string& name, PartLocation& location) const {
    if (JoinPartReference(sourcePart, target, name) && TryLocate(name, location)) {
        return true;
    }
    name = ResolvePartReference(sourcePart, target);
    return TryLocate(name, location);
}

PartLocation Package::Locate(std::string_view partName) const {
    PartLocation location;
    if (!TryLocate(partName, location)) {
        Fail(kMissingPart, "part " + std::string(partName) + " is missing from the package");
    }
    return location;
}

size_t Package::FoldedHash::operator()(std::string_view name) const {
    return static_cast<size_t>(PartNameKey(name));
}

bool Package::FoldedEqual::operator()(std::string_view a, std::string_view b) const {
    return SamePartName(a, b);
}

bool Package::FoldedLess::operator()(std::string_view a, std::string_view b) const {
    const size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        const char x = Folded(a[i]);
        const char y = Folded(b[i]);
        if (x != y) {
            return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
        }
    }
    return a.size() < b.size();
}

const std::string& Package::ContentTypeOf(std::string_view partName) const {
    if (!overrides_.empty()) {
        auto override = overrides_.find(partName);
        if (override != overrides_.end()) {
            return override->second;
        }
    }
    const size_t slash = partName.rfind('/');
    const size_t dot = partName.rfind('.');
    const std::string_view extension =
        dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)
            ? std::string_view()
            : partName.substr(dot + 1);
    auto fallback = defaults_.find(extension);
    if (fallback != defaults_.end()) {
        return fallback->second;
    }
    Fail(kBadPackage, "part " + std::string(partName) + " has no content type");
}

namespace {

// The pieces of an interleaved part read one after the other.
class PiecesSource final : public ByteSource {
public:
    PiecesSource(std::shared_ptr<ZipArchive> archive, PartLocation location, std::string name,
                 Charge charge)
        : archive_(std::move(archive)), location_(std::move(location)), name_(std::move(name)),
          charge_(charge) {}

    size_t Read(void* buffer, size_t count) override {
        while (true) {
            if (!current_) {
                if (next_ == location_.entries.size()) {
                    return 0;
                }
                const ZipEntry& entry = location_.entries[next_++];
                if (location_.entries.size() > 1 &&
                    (charged_ += entry.fullSize) > archive_->Limits().maxPartBytes) {
                    Fail(kTooLarge, name_ + ": its pieces hold more than a part may");
                }
                current_ = archive_->OpenContent(entry, name_, charge_);
            }
            if (const size_t got = current_->Read(buffer, count)) {
                return got;
            }
            current_.reset();
        }
    }

private:
    std::shared_ptr<ZipArchive> archive_;
    PartLocation location_;
    std::string name_;
    Charge charge_;
    std::unique_ptr<ByteSource> current_;
    size_t next_ = 0;
    uint64_t charged_ = 0;
};

} // namespace

std::unique_ptr<ByteSource> Package::OpenPart(const PartLocation& location,
                                              const std::string& partName, Charge charge) const {
    return std::make_unique<PiecesSource>(archive_, location, partName, charge);
}

bool Package::IsSmall(const PartLocation& location) {
    constexpr uint64_t kSmallPartBytes = 64 * 1024;
    uint64_t stored = 0;
    for (const ZipEntry& entry : location.entries) {
        // Sizes as declared, so each is bounded before they are added up.
        if (entry.storedSize > kSmallPartBytes || entry.fullSize > kSmallPartBytes) {
            return false;
        }
        stored += entry.storedSize;
    }
    return stored <= kSmallPartBytes && location.fullSize <= kSmallPartBytes;
}

void Package::ReadWhole(const PartLocation& location, const std::string& partName,
                        EntryInflater& inflater, std::string& out, Charge charge) const {
    out.clear();
    uint64_t charged = 0;
    for (const ZipEntry& entry : location.entries) {
        if (location.entries.size() > 1 &&
            (charged += entry.fullSize) > archive_->Limits().maxPartBytes) {
            Fail(kTooLarge, partName + ": its pieces hold more than a part may");
        }
        inflater.Append(*archive_, entry, partName, out, charge);
    }
}

std::unique_ptr<ByteSource> Package::OpenPart(std::string_view partName) const {
    return OpenPart(Locate(partName), std::string(partName));
}

} // namespace platform::xps
