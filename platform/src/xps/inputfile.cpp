#include "inputfile.h"

#include "xps.h"

#include <algorithm>
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
    if (count == 0) {
        return 0;
    }
    return count <= kWindowedRead ? ReadFromWindow(offset, buffer, count)
                                  : ReadFile(offset, buffer, count);
}

size_t InputFile::ReadFromWindow(uint64_t offset, void* buffer, size_t count) const {
    const auto holds = [&](const Window& window) {
        return window.bytes && offset >= window.offset && offset - window.offset < window.length &&
               count <= window.length - (offset - window.offset);
    };
    std::lock_guard lock(windowsLock_);
    Window* window = std::find_if(windows_.begin(), windows_.end(), holds);
    if (window == windows_.end()) {
        // The least recently used window is filled from offset on (to the end of the file at
        // most, so a read there answers fewer bytes, as the file does).
        window = std::min_element(
            windows_.begin(), windows_.end(),
            [](const Window& a, const Window& b) { return a.lastUse < b.lastUse; });
        if (!window->bytes) {
            window->bytes = std::make_unique_for_overwrite<unsigned char[]>(kWindowBytes);
        }
        window->length = 0;
        window->offset = offset;
        window->length = ReadFile(offset, window->bytes.get(), kWindowBytes);
    }
    window->lastUse = ++uses_;
    const size_t got =
        std::min(count, window->length - static_cast<size_t>(offset - window->offset));
    std::memcpy(buffer, window->bytes.get() + (offset - window->offset), got);
    return got;
}

size_t InputFile::ReadFile(uint64_t offset, void* buffer, size_t count) const {
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
