#include "inputfile.h"

#include "xps.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::xps {

InputFile::InputFile(const std::string& path) : path_(path) {
    // O_NONBLOCK keeps a FIFO from holding the open until a writer comes; it is refused below.
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) {
        const int error = errno;
        Fail(error == ENOENT || error == ENOTDIR ? kMissingPart : kBadPackage,
             path + ": not a readable ZIP package: " + std::strerror(error));
    }
    struct stat status {};
    const bool known = fstat(fd_, &status) == 0;
    if (!known || !S_ISREG(status.st_mode)) {
        const std::string why = !known                    ? std::strerror(errno)
                                : S_ISDIR(status.st_mode) ? "a folder"
                                                          : "not a regular file";
        close(fd_);
        fd_ = -1;
        Fail(kBadPackage, path + ": not a readable ZIP package: " + why);
    }
    size_ = static_cast<uint64_t>(status.st_size);
}

InputFile::~InputFile() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

size_t InputFile::ReadAt(uint64_t offset, void* buffer, size_t count) const {
    auto* next = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    while (done < count) {
        if (offset + done > static_cast<uint64_t>(INT64_MAX)) {
            break;
        }
        const ssize_t got =
            pread(fd_, next + done, count - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail(kBadPackage, path_ + ": cannot be read: " + std::strerror(errno));
        }
        if (got == 0) {
            break;
        }
        done += static_cast<size_t>(got);
    }
    return done;
}

} // namespace platform::xps
