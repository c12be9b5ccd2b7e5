#include "ziparchive.h"

#include "zipcrc.h"
#include "zipformat.h"
#include "zlibmemory.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <optional>

namespace platform::xps {

using namespace zipformat;

// An entry's stored bytes, read at their offset in the file.
class RawEntrySource final : public ByteSource {
public:
    RawEntrySource(std::shared_ptr<ZipArchive> archive, uint64_t offset, uint64_t size)
        : archive_(std::move(archive)), next_(offset), left_(size) {}

    size_t Read(void* buffer, size_t count) override {
        if (left_ == 0 || count == 0) {
            return 0;
        }
        const size_t wanted = static_cast<size_t>(count < left_ ? count : left_);
        const size_t got = archive_->file_.ReadAt(next_, buffer, wanted);
        if (got == 0) {
            Fail(kBadPackage, archive_->file_.Path() +
                                  ": the package is truncated or damaged: entry data ends early");
        }
        next_ += got;
        left_ -= got;
        return got;
    }

private:
    std::shared_ptr<ZipArchive> archive_;
    uint64_t next_;
    uint64_t left_;
};

namespace {

// Inflates (or passes through) an entry, checking what the central directory declared: the
// content must be exactly fullSize bytes long and match its CRC.
class CheckedContentSource final : public ByteSource {
public:
    CheckedContentSource(std::shared_ptr<ZipArchive> archive, std::unique_ptr<ByteSource> raw,
                         const ZipEntry& entry, std::string name, Charge charge)
        : archive_(std::move(archive)), raw_(std::move(raw)), entry_(entry), name_(std::move(name)),
          charge_(charge) {
        if (entry_.method == Z_DEFLATED) {
            // Small entries get a small buffer: most parts of a job are a few KiB.
            inputSize_ = static_cast<size_t>(
                std::min<uint64_t>(std::max<uint64_t>(entry_.storedSize, 1), 16 * 1024));
            input_.reset(new Bytef[inputSize_]);
            UsePlatformAllocator(stream_);
            if (inflateInit2(&stream_, -MAX_WBITS) != Z_OK) {
                throw std::bad_alloc();
            }
            inflating_ = true;
        }
    }
    ~CheckedContentSource() override {
        if (inflating_) {
            inflateEnd(&stream_);
        }
    }

    size_t Read(void* buffer, size_t count) override {
        if (damage_) {
            throw *damage_; // read again after the damage showed
        }
        try {
            return ReadChecked(buffer, count);
        } catch (const PackageError& error) {
            damage_ = error;
            throw;
        }
    }

private:
    size_t ReadChecked(void* buffer, size_t count) {
        if (finished_ || count == 0) {
            return 0;
        }
        size_t produced =
            entry_.method == Z_DEFLATED ? Inflate(buffer, count) : raw_->Read(buffer, count);
        if (produced == 0) {
            Finish();
            return 0;
        }
        if (produced > entry_.fullSize - done_) {
            Fail(kBadPackage, name_ + ": the content is longer than the package declares");
        }
        done_ += produced;
        if (charge_ == Charge::kJob) {
            archive_->ChargeJob(produced, name_);
        }
        crc_ = ZipCrc32(crc_, buffer, produced);
        return produced;
    }

    size_t Inflate(void* buffer, size_t count) {
        if (streamEnded_) {
            return 0;
        }
        stream_.next_out = static_cast<Bytef*>(buffer);
        stream_.avail_out = static_cast<uInt>(count > (1u << 30) ? (1u << 30) : count);
        while (stream_.avail_out > 0) {
            if (stream_.avail_in == 0) {
                const size_t got = raw_->Read(input_.get(), inputSize_);
                if (got == 0) {
                    Fail(kBadPackage, name_ + ": the compressed data ends early");
                }
                stream_.next_in = input_.get();
                stream_.avail_in = static_cast<uInt>(got);
            }
            const int status = inflate(&stream_, Z_NO_FLUSH);
            if (status == Z_STREAM_END) {
                streamEnded_ = true;
                break;
            }
            if (status == Z_MEM_ERROR) {
                throw std::bad_alloc();
            }
            if (status != Z_OK && status != Z_BUF_ERROR) {
                Fail(kBadPackage, name_ + ": the compressed data is damaged");
            }
            if (status == Z_BUF_ERROR && stream_.avail_in != 0) {
                Fail(kBadPackage, name_ + ": the compressed data is damaged");
            }
            // Hand out what is there rather than waiting for a full buffer.
            if (stream_.next_out != static_cast<Bytef*>(buffer)) {
                break;
            }
        }
        return static_cast<size_t>(stream_.next_out - static_cast<Bytef*>(buffer));
    }

    void Finish() {
        finished_ = true;
        if (done_ != entry_.fullSize) {
            Fail(kBadPackage, name_ + ": the content is shorter than the package declares");
        }
        if (crc_ != entry_.crc) {
            Fail(kBadPackage, name_ + ": the content does not match its CRC");
        }
    }

    std::shared_ptr<ZipArchive> archive_;
    std::unique_ptr<ByteSource> raw_;
    ZipEntry entry_;
    std::string name_;
    Charge charge_;
    z_stream stream_{};
    bool inflating_ = false;
    bool streamEnded_ = false;
    bool finished_ = false;
    uint64_t done_ = 0;
    uint32_t crc_ = 0;
    std::unique_ptr<Bytef[]> input_;
    size_t inputSize_ = 0;
    std::optional<PackageError> damage_;
};

// A small deflated entry, inflated whole on the first read (EntryInflater: libdeflate, with
// zlib's last word on a stream it refuses) and then handed out from memory: for the pages and
// other small parts read as streams, whose streaming inflate would cost a window and tables
// of its own. Checks what CheckedContentSource checks.
class WholeContentSource final : public ByteSource {
public:
    WholeContentSource(std::shared_ptr<ZipArchive> archive, const ZipEntry& entry, std::string name,
                       Charge charge)
        : archive_(std::move(archive)), entry_(entry), name_(std::move(name)), charge_(charge) {}

    size_t Read(void* buffer, size_t count) override {
        if (damage_) {
            throw *damage_; // read again after the damage showed
        }
        if (!inflated_) {
            try {
                archive_->ReadWhole(entry_, name_, content_, charge_);
            } catch (const PackageError& error) {
                content_.clear();
                damage_ = error;
                throw;
            }
            inflated_ = true;
        }
        const size_t n = std::min(count, content_.size() - next_);
        std::memcpy(buffer, content_.data() + next_, n);
        next_ += n;
        return n;
    }

private:
    std::shared_ptr<ZipArchive> archive_;
    ZipEntry entry_;
    std::string name_;
    Charge charge_;
    std::string content_;
    size_t next_ = 0;
    bool inflated_ = false;
    std::optional<PackageError> damage_;
};

} // namespace

ZipArchive::ZipArchive(const std::string& path, const XpsPackageLimits& limits)
    : file_(path), directory_(file_), limits_(limits) {}

std::shared_ptr<ZipArchive> ZipArchive::Open(const std::string& path,
                                             const XpsPackageLimits& limits) {
    return std::shared_ptr<ZipArchive>(new ZipArchive(path, limits));
}

ZipArchive::~ZipArchive() {
    delete spareInflater_.load();
}

ZipEntry ZipArchive::EntryAt(uint64_t index) const {
    return directory_.EntryAt(index);
}

namespace {

// A local header and its name read in one go: on the stack for the names a package has, on
// the heap for longer ones.
class LocalHeaderBuffer {
public:
    explicit LocalHeaderBuffer(size_t size) : size_(size) {
        if (size_ > sizeof small_) {
            large_.resize(size_);
        }
    }
    unsigned char* Data() { return size_ > sizeof small_ ? large_.data() : small_; }
    size_t Size() const { return size_; }

private:
    unsigned char small_[kLocalHeaderSize + 226];
    std::vector<unsigned char> large_;
    size_t size_;
};

// Stored bytes read together with their local header when there are no more than this.
constexpr uint64_t kOneReadBytes = 256 * 1024;
// Deflated entries whose stored and full sizes are no more than this are inflated whole when
// read as a stream.
constexpr uint64_t kWholeContentBytes = 256 * 1024;
// Room left for a local header's extra field in that read; a longer one costs a second read.
constexpr size_t kExtraRoom = 64;

} // namespace

uint64_t ZipArchive::DataOffset(const ZipEntry& entry, const unsigned char* head,
                                size_t got) const {
    // The local header repeats the name; its own name and extra lengths say where the bytes
    // start, and they must end before the central directory.
    const std::string_view name = directory_.NameOf(entry.index);
    if (got < kLocalHeaderSize + name.size() || Get32(head) != kLocalHeaderSignature) {
        Fail(kBadPackage, std::string(name) + ": the entry's local header is missing or damaged");
    }
    if (Get16(head + 26) != name.size() ||
        std::string_view(reinterpret_cast<const char*>(head) + kLocalHeaderSize, name.size()) !=
            name) {
        Fail(kBadPackage, std::string(name) + ": the entry's local header names another entry");
    }
    const uint64_t start = directory_.LocalHeaderOffset(entry.index) + kLocalHeaderSize +
                           name.size() + Get16(head + 28);
    const uint64_t limit = directory_.DataLimit();
    if (start > limit || entry.storedSize > limit - start) {
        Fail(kBadPackage, std::string(name) + ": the entry's stored size of " +
                              std::to_string(entry.storedSize) +
                              " bytes runs past the entries of the file");
    }
    return start;
}

std::unique_ptr<ByteSource> ZipArchive::OpenRaw(const ZipEntry& entry) {
    LocalHeaderBuffer head(kLocalHeaderSize + directory_.NameOf(entry.index).size());
    const size_t got =
        file_.ReadAt(directory_.LocalHeaderOffset(entry.index), head.Data(), head.Size());
    const uint64_t start = DataOffset(entry, head.Data(), got);
    return std::make_unique<RawEntrySource>(shared_from_this(), start, entry.storedSize);
}

size_t ZipArchive::ReadStored(const ZipEntry& entry, std::vector<unsigned char>& out) {
    const uint64_t offset = directory_.LocalHeaderOffset(entry.index);
    const size_t head = kLocalHeaderSize + directory_.NameOf(entry.index).size();
    // The directory saw to it that the header and name lie before its start.
    const uint64_t room = directory_.DataLimit() - offset;
    const uint64_t guess =
        entry.storedSize <= kOneReadBytes ? head + kExtraRoom + entry.storedSize : head;
    out.resize(static_cast<size_t>(std::min(guess, room)));
    const size_t got = file_.ReadAt(offset, out.data(), out.size());
    const uint64_t skip = DataOffset(entry, out.data(), got) - offset;
    if (skip + entry.storedSize <= got) {
        return static_cast<size_t>(skip);
    }
    // A long extra field, or more bytes than one read takes.
    out.resize(static_cast<size_t>(entry.storedSize));
    if (!file_.ReadExactly(offset + skip, out.data(), out.size())) {
        Fail(kBadPackage,
             file_.Path() + ": the package is truncated or damaged: entry data ends early");
    }
    return 0;
}

void ZipArchive::CheckContent(const ZipEntry& entry, const std::string& name) const {
    if (entry.method != kStored && entry.method != kDeflated) {
        Fail(kBadPackage,
             name + ": compression method " + std::to_string(entry.method) + " is not supported");
    }
    if (entry.method == kStored && entry.storedSize != entry.fullSize) {
        Fail(kBadPackage, name + ": a stored entry declares two different sizes");
    }
    if (entry.fullSize > limits_.maxPartBytes) {
        Fail(kTooLarge,
             name + ": " + std::to_string(entry.fullSize) + " bytes is more than a part may hold");
    }
    if (entry.fullSize > limits_.ratioFloor &&
        entry.fullSize / (entry.storedSize ? entry.storedSize : 1) >= limits_.maxRatio) {
        Fail(kTooLarge, name + ": compressed more than " + std::to_string(limits_.maxRatio) +
                            " to 1, refused as a decompression bomb");
    }
}

std::unique_ptr<ByteSource> ZipArchive::OpenContent(const ZipEntry& entry, const std::string& name,
                                                    Charge charge) {
    CheckContent(entry, name);
    if (entry.method == kDeflated && entry.fullSize <= kWholeContentBytes &&
        entry.storedSize <= kWholeContentBytes) {
        return std::make_unique<WholeContentSource>(shared_from_this(), entry, name, charge);
    }
    return std::make_unique<CheckedContentSource>(shared_from_this(), OpenRaw(entry), entry, name,
                                                  charge);
}

void ZipArchive::ReadWhole(const ZipEntry& entry, const std::string& name, std::string& out,
                           Charge charge) {
    std::unique_ptr<EntryInflater> inflater(spareInflater_.exchange(nullptr));
    if (!inflater) {
        inflater = std::make_unique<EntryInflater>();
    }
    out.clear();
    inflater->Append(*this, entry, name, out, charge);
    EntryInflater* none = nullptr;
    if (spareInflater_.compare_exchange_strong(none, inflater.get())) {
        inflater.release();
    }
}

void ZipArchive::ChargeJob(uint64_t bytes, const std::string& name) {
    if (inflated_.fetch_add(bytes) + bytes > limits_.maxJobBytes) {
        Fail(kTooLarge, name + ": the job inflates to more than " +
                            std::to_string(limits_.maxJobBytes) + " bytes");
    }
}

namespace {

// Room past an entry's declared size: the inflater takes its fast path up to the last byte
// when the output has room for a longest match and a few words more, and content longer than
// declared shows.
constexpr size_t kOutputSlack = 320;

} // namespace

struct EntryInflater::Stream {
    z_stream z{};
    ~Stream() { inflateEnd(&z); }
};

EntryInflater::EntryInflater() = default;
EntryInflater::~EntryInflater() = default;

void EntryInflater::Append(ZipArchive& archive, const ZipEntry& entry, const std::string& name,
                           std::string& out, Charge charge) {
    archive.CheckContent(entry, name);
    if (entry.fullSize > UINT32_MAX / 2 || entry.storedSize > UINT32_MAX / 2) {
        Fail(kTooLarge, name + ": too large to be read whole");
    }
    const size_t start = archive.ReadStored(entry, input_);
    const size_t base = out.size();
    out.resize(base + static_cast<size_t>(entry.fullSize) + kOutputSlack);
    size_t produced = static_cast<size_t>(entry.storedSize);
    if (entry.method == kStored) {
        std::memcpy(out.data() + base, input_.data() + start, produced);
    } else {
        produced = Inflate(input_.data() + start, entry, name, out, base);
    }
    out.resize(base + produced);
    if (charge == Charge::kJob) {
        archive.ChargeJob(produced, name);
    }
    if (produced < entry.fullSize) {
        Fail(kBadPackage, name + ": the content is shorter than the package declares");
    }
    if (ZipCrc32(0, out.data() + base, produced) != entry.crc) {
        Fail(kBadPackage, name + ": the content does not match its CRC");
    }
}

size_t EntryInflater::Inflate(const unsigned char* stored, const ZipEntry& entry,
                              const std::string& name, std::string& out, size_t base) {
    size_t produced = 0;
    switch (whole_.Inflate(stored, static_cast<size_t>(entry.storedSize), out.data() + base,
                           static_cast<size_t>(entry.fullSize) + kOutputSlack, produced)) {
    case WholeInflater::Result::kDone:
        if (produced > entry.fullSize) {
            Fail(kBadPackage, name + ": the content is longer than the package declares");
        }
        return produced;
    case WholeInflater::Result::kTooLong:
        Fail(kBadPackage, name + ": the content is longer than the package declares");
    case WholeInflater::Result::kDamaged:
        break;
    }
    return InflateWithZlib(stored, entry, name, out, base);
}

size_t EntryInflater::InflateWithZlib(const unsigned char* stored, const ZipEntry& entry,
                                      const std::string& name, std::string& out, size_t base) {
    if (!stream_) {
        auto stream = std::make_unique<Stream>();
        UsePlatformAllocator(stream->z);
        if (inflateInit2(&stream->z, -MAX_WBITS) != Z_OK) {
            throw std::bad_alloc();
        }
        stream_ = std::move(stream);
    } else if (inflateReset(&stream_->z) != Z_OK) {
        Fail(E_UNEXPECTED, name + ": the inflate state cannot be reset");
    }
    // One byte of room past the declared size tells content that is longer than declared.
    out.resize(base + static_cast<size_t>(entry.fullSize) + 1);
    auto* target = reinterpret_cast<Bytef*>(out.data() + base);
    z_stream& z = stream_->z;
    z.next_in = const_cast<Bytef*>(stored);
    z.avail_in = static_cast<uInt>(entry.storedSize);
    z.next_out = target;
    z.avail_out = static_cast<uInt>(entry.fullSize + 1);
    const int status = inflate(&z, Z_FINISH);
    const size_t produced = static_cast<size_t>(z.next_out - target);
    if (status == Z_MEM_ERROR) {
        throw std::bad_alloc();
    }
    if (produced > entry.fullSize) {
        Fail(kBadPackage, name + ": the content is longer than the package declares");
    }
    if (status == Z_STREAM_END) {
        return produced;
    }
    Fail(kBadPackage,
         name + (status == Z_BUF_ERROR && z.avail_in == 0 ? ": the compressed data ends early"
                                                          : ": the compressed data is damaged"));
}

} // namespace platform::xps
