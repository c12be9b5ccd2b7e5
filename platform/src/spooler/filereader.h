// Reading a whole file that must be a regular file of bounded size: a FIFO, a device or a
// folder is refused without blocking on it.
#pragma once

#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace platform::spooler {

// What tells that a file changed: the file itself, its size, and its change and modification
// times.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};

    bool operator==(const FileStamp& other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec &&
               changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
};
using StampedFiles = std::vector<std::pair<std::string, FileStamp>>;

FileStamp StampOf(const struct stat& status);
// False when the file cannot be asked.
bool StampOf(const std::string& path, FileStamp& stamp);

// False with problem set ("cannot open: ...", "not a regular file", "larger than ..."). The
// stamp, when given, is the file's as it was opened, before a byte was read.
bool ReadRegularFile(const std::string& path, size_t maxBytes, std::string& bytes,
                     std::string& problem, FileStamp* stamp = nullptr);

} // namespace platform::spooler
