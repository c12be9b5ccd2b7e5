#include "filereader.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::spooler {

FileStamp StampOf(const struct stat& status) {
    return {status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
}

bool StampOf(const std::string& path, FileStamp& stamp) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        return false;
    }
    stamp = StampOf(status);
    return true;
}

bool ReadRegularFile(const std::string& path, size_t maxBytes, std::string& bytes,
                     std::string& problem, FileStamp* stamp) {
    bytes.clear();
    // O_NONBLOCK: opening a FIFO with no writer would otherwise wait for one.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        problem = std::string("cannot open: ") + std::strerror(errno);
        return false;
    }
    struct stat status {};
    bool ok = fstat(fd, &status) == 0;
    if (ok && stamp) {
        *stamp = StampOf(status);
    }
    if (!ok) {
        problem = std::string("cannot read: ") + std::strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
        problem = "not a regular file";
        ok = false;
    } else if (static_cast<uint64_t>(status.st_size) > maxBytes) {
        problem = "larger than " + std::to_string(maxBytes) + " bytes";
        ok = false;
    }
    char buffer[65536];
    while (ok) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            problem = std::string("cannot read: ") + std::strerror(errno);
            ok = false;
        } else if (got == 0) {
            break;
        } else if (bytes.size() + static_cast<size_t>(got) > maxBytes) {
            problem = "larger than " + std::to_string(maxBytes) + " bytes";
            ok = false;
        } else {
            bytes.append(buffer, static_cast<size_t>(got));
        }
    }
    close(fd);
    if (!ok) {
        bytes.clear();
    }
    return ok;
}

} // namespace platform::spooler
