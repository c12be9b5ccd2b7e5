#include "ziparchive.h"

#include <zip.h>
#include <zlib.h>

#include <cstring>

namespace platform::xps {

class RawEntrySource final : public ByteSource {
public:
    RawEntrySource(std::shared_ptr<ZipArchive> archive, zip_file_t* file, uint64_t size)
        : archive_(std::move(archive)), file_(file), left_(size) {}
    ~RawEntrySource() override {
        std::lock_guard lock(archive_->mutex_);
        zip_fclose(file_);
    }

    size_t Read(void* buffer, size_t count) override {
        if (left_ == 0 || count == 0) {
            return 0;
        }
        const uint64_t wanted = count < left_ ? count : left_;
        zip_int64_t got;
        {
            std::lock_guard lock(archive_->mutex_);
            got = zip_fread(file_, buffer, wanted);
        }
        if (got <= 0) {
            Fail(kBadPackage, std::string("the package is truncated or damaged: ") +
                                  (got < 0 ? zip_file_strerror(file_) : "entry data ends early"));
        }
        left_ -= static_cast<uint64_t>(got);
        return static_cast<size_t>(got);
    }

private:
    std::shared_ptr<ZipArchive> archive_;
    zip_file_t* file_;
    uint64_t left_;
};

namespace {

// Inflates (or passes through) an entry, checking what the central directory declared: the
// content must be exactly fullSize bytes long and match its CRC.
class CheckedContentSource final : public ByteSource {
public:
    CheckedContentSource(std::shared_ptr<ZipArchive> archive, std::unique_ptr<ByteSource> raw,
                         const ZipEntry& entry, std::string name)
        : archive_(std::move(archive)), raw_(std::move(raw)), entry_(entry),
          name_(std::move(name)) {
        if (entry_.method == Z_DEFLATED) {
            std::memset(&stream_, 0, sizeof stream_);
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
        archive_->ChargeJob(produced, name_);
        crc_ = crc32(crc_, static_cast<const Bytef*>(buffer), static_cast<uInt>(produced));
        return produced;
    }

private:
    size_t Inflate(void* buffer, size_t count) {
        if (streamEnded_) {
            return 0;
        }
        stream_.next_out = static_cast<Bytef*>(buffer);
        stream_.avail_out = static_cast<uInt>(count > (1u << 30) ? (1u << 30) : count);
        while (stream_.avail_out > 0) {
            if (stream_.avail_in == 0) {
                const size_t got = raw_->Read(input_, sizeof input_);
                if (got == 0) {
                    Fail(kBadPackage, name_ + ": the compressed data ends early");
                }
                stream_.next_in = input_;
                stream_.avail_in = static_cast<uInt>(got);
            }
            const int status = inflate(&stream_, Z_NO_FLUSH);
            if (status == Z_STREAM_END) {
                streamEnded_ = true;
                break;
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
    z_stream stream_{};
    bool inflating_ = false;
    bool streamEnded_ = false;
    bool finished_ = false;
    uint64_t done_ = 0;
    uLong crc_ = crc32(0, nullptr, 0);
    Bytef input_[16 * 1024];
};

} // namespace

ZipArchive::ZipArchive(zip* archive, const XpsPackageLimits& limits)
    : archive_(archive), count_(static_cast<uint64_t>(zip_get_num_entries(archive, 0))),
      limits_(limits) {}

ZipArchive::~ZipArchive() {
    zip_discard(archive_);
}

std::shared_ptr<ZipArchive> ZipArchive::Open(const std::string& path,
                                             const XpsPackageLimits& limits) {
    int error = 0;
    zip* archive = zip_open(path.c_str(), ZIP_RDONLY, &error);
    if (!archive) {
        zip_error_t detail;
        zip_error_init_with_code(&detail, error);
        const std::string message = zip_error_strerror(&detail);
        zip_error_fini(&detail);
        const HRESULT hr = error == ZIP_ER_NOENT    ? kMissingPart
                           : error == ZIP_ER_MEMORY ? E_OUTOFMEMORY
                                                    : kBadPackage;
        Fail(hr, path + ": not a readable ZIP package: " + message);
    }
    return std::shared_ptr<ZipArchive>(new ZipArchive(archive, limits));
}

std::string_view ZipArchive::NameOf(uint64_t index) const {
    const char* name = zip_get_name(archive_, index, ZIP_FL_ENC_RAW);
    return name ? std::string_view(name) : std::string_view();
}

ZipEntry ZipArchive::EntryAt(uint64_t index) const {
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive_, index, ZIP_FL_ENC_RAW, &stat) != 0) {
        Fail(kBadPackage, "ZIP entry " + std::to_string(index) + " cannot be read");
    }
    ZipEntry entry;
    entry.index = index;
    entry.method = static_cast<uint16_t>(stat.comp_method);
    entry.storedSize = stat.comp_size;
    entry.fullSize = stat.size;
    entry.crc = stat.crc;
    if ((stat.valid & ZIP_STAT_ENCRYPTION_METHOD) && stat.encryption_method != ZIP_EM_NONE) {
        Fail(kBadPackage, std::string(NameOf(index)) + ": encrypted entries are not allowed");
    }
    return entry;
}

std::unique_ptr<ByteSource> ZipArchive::OpenRaw(const ZipEntry& entry) {
    zip_file_t* file;
    {
        std::lock_guard lock(mutex_);
        file = zip_fopen_index(archive_, entry.index, ZIP_FL_COMPRESSED);
        if (!file) {
            Fail(kBadPackage, std::string(NameOf(entry.index)) + ": the entry cannot be opened: " +
                                  zip_error_strerror(zip_get_error(archive_)));
        }
    }
    return std::make_unique<RawEntrySource>(shared_from_this(), file, entry.storedSize);
}

std::unique_ptr<ByteSource> ZipArchive::OpenContent(const ZipEntry& entry,
                                                    const std::string& name) {
    if (entry.method != 0 && entry.method != Z_DEFLATED) {
        Fail(kBadPackage,
             name + ": compression method " + std::to_string(entry.method) + " is not supported");
    }
    if (entry.method == 0 && entry.storedSize != entry.fullSize) {
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
    return std::make_unique<CheckedContentSource>(shared_from_this(), OpenRaw(entry), entry, name);
}

void ZipArchive::ChargeJob(uint64_t bytes, const std::string& name) {
    if (inflated_.fetch_add(bytes) + bytes > limits_.maxJobBytes) {
        Fail(kTooLarge, name + ": the job inflates to more than " +
                            std::to_string(limits_.maxJobBytes) + " bytes");
    }
}

} // namespace platform::xps
