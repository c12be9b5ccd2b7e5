#include "zipwriter.h"

#include <minizip/zip.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::xps {
namespace {

// The file a target names: a symbolic link is followed, so that the link stays and the file
// it names is replaced.
std::string ResolveTarget(const std::string& target) {
    std::string path = target;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat status;
        if (lstat(path.c_str(), &status) != 0) {
            if (errno == ENOENT) {
                return path;
            }
            Fail(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), target + ": " + std::strerror(errno));
        }
        if (S_ISLNK(status.st_mode)) {
            char link[PATH_MAX];
            const ssize_t length = readlink(path.c_str(), link, sizeof link - 1);
            if (length < 0) {
                Fail(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), target + ": " + std::strerror(errno));
            }
            link[length] = '\0';
            if (link[0] == '/') {
                path = link;
            } else {
                const size_t slash = path.rfind('/');
                path =
                    (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + link;
            }
            continue;
        }
        if (!S_ISREG(status.st_mode)) {
            Fail(E_INVALIDARG,
                 target + ": not a regular file; an XPS package is written only to a file");
        }
        return path;
    }
    Fail(E_INVALIDARG, target + ": too many symbolic links");
}

zip_fileinfo FixedTime() {
    zip_fileinfo info{};
    info.tmz_date.tm_year = 1980; // a fixed time keeps equal jobs byte for byte equal
    info.tmz_date.tm_mday = 1;
    return info;
}

} // namespace

ZipWriter::ZipWriter(const std::string& target) : target_(ResolveTarget(target)) {
    const size_t slash = target_.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
    // A new name beside the target, made with O_EXCL so that no file is ever shared; the
    // mode is the one a new file gets under the process's umask.
    std::random_device random;
    int fd = -1;
    std::string name;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(random()));
        name = folder + "." + base + suffix;
        fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        Fail(HRESULT_FROM_WIN32(errno == ENOSPC ? ERROR_DISK_FULL : ERROR_ACCESS_DENIED),
             target + ": cannot create a file beside it: " + std::strerror(errno));
    }
    close(fd);
    temporary_ = name;
    zip_ = zipOpen64(temporary_.c_str(), APPEND_STATUS_CREATE);
    if (!zip_) {
        unlink(temporary_.c_str());
        Fail(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), target + ": cannot be written");
    }
}

ZipWriter::~ZipWriter() {
    if (!committed_) {
        if (zip_) {
            zipClose(static_cast<zipFile>(zip_), nullptr);
        }
        unlink(temporary_.c_str());
    }
}

void ZipWriter::WriteFailed(const char* what) {
    const int error = errno;
    const HRESULT hr = HRESULT_FROM_WIN32(error == ENOSPC || error == EDQUOT ? ERROR_DISK_FULL
                                                                             : ERROR_WRITE_FAULT);
    Fail(hr, target_ + ": " + what + (error ? std::string(": ") + std::strerror(error) : ""));
}

void ZipWriter::Begin(const std::string& name, int level, uint64_t sizeHint) {
    const zip_fileinfo info = FixedTime();
    errno = 0;
    if (zipOpenNewFileInZip4_64(static_cast<zipFile>(zip_), name.c_str(), &info, nullptr, 0,
                                nullptr, 0, nullptr, level ? Z_DEFLATED : 0, level, 0, -MAX_WBITS,
                                8, Z_DEFAULT_STRATEGY, nullptr, 0, 0, 0,
                                sizeHint >= 0xFFFFFFFFull ? 1 : 0) != ZIP_OK) {
        WriteFailed("cannot add an entry");
    }
}

void ZipWriter::Write(const void* bytes, size_t count) {
    const auto* next = static_cast<const char*>(bytes);
    while (count) {
        const unsigned chunk = count > (1u << 30) ? (1u << 30) : static_cast<unsigned>(count);
        errno = 0;
        if (zipWriteInFileInZip(static_cast<zipFile>(zip_), next, chunk) != ZIP_OK) {
            WriteFailed("cannot write");
        }
        next += chunk;
        count -= chunk;
    }
}

void ZipWriter::End() {
    errno = 0;
    if (zipCloseFileInZip(static_cast<zipFile>(zip_)) != ZIP_OK) {
        WriteFailed("cannot finish an entry");
    }
}

void ZipWriter::BeginRaw(const std::string& name, uint16_t method, uint64_t fullSize) {
    const zip_fileinfo info = FixedTime();
    errno = 0;
    if (zipOpenNewFileInZip4_64(static_cast<zipFile>(zip_), name.c_str(), &info, nullptr, 0,
                                nullptr, 0, nullptr, method, Z_DEFAULT_COMPRESSION, 1, -MAX_WBITS,
                                8, Z_DEFAULT_STRATEGY, nullptr, 0, 0, 0,
                                fullSize >= 0xFFFFFFFFull ? 1 : 0) != ZIP_OK) {
        WriteFailed("cannot add an entry");
    }
}

void ZipWriter::EndRaw(uint64_t fullSize, uint32_t crc) {
    errno = 0;
    if (zipCloseFileInZipRaw64(static_cast<zipFile>(zip_), fullSize, crc) != ZIP_OK) {
        WriteFailed("cannot finish an entry");
    }
}

void ZipWriter::Commit() {
    errno = 0;
    const int closed = zipClose(static_cast<zipFile>(zip_), nullptr);
    zip_ = nullptr;
    if (closed != ZIP_OK) {
        WriteFailed("cannot finish the package");
    }
    const int fd = open(temporary_.c_str(), O_RDONLY);
    if (fd < 0 || fsync(fd) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        WriteFailed("cannot flush the package");
    }
    close(fd);
    if (rename(temporary_.c_str(), target_.c_str()) != 0) {
        WriteFailed("cannot move the package into place");
    }
    committed_ = true;
}

} // namespace platform::xps
