// A regular file opened for reading at any offset. Reads at an offset share no file position,
// so any number of entry streams may read one file from several threads.
//
// Small reads are served from a few windows of the file, each filled by one system call: a
// job is mostly small entries read about in the order they lie (a local header, then its
// bytes, then the next entry's), so thousands of such reads cost a few dozen calls. The
// windows are shared by the threads reading the file, under a lock; a read longer than a
// quarter of a window goes to the file directly.
#pragma once

#include <platformexport.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace platform::xps {

class PLATFORM_EXPORT InputFile {
public:
    // Throws PackageError: kMissingPart when path names nothing, kBadPackage when it is no
    // regular file or cannot be read.
    explicit InputFile(const std::string& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    uint64_t Size() const { return size_; }
    const std::string& Path() const { return path_; }

    // Reads up to count bytes at offset; answers fewer only at the end of the file. Throws
    // PackageError when the file cannot be read.
    size_t ReadAt(uint64_t offset, void* buffer, size_t count) const;
    // Reads exactly count bytes at offset; answers false when the file ends first.
    bool ReadExactly(uint64_t offset, void* buffer, size_t count) const {
        return ReadAt(offset, buffer, count) == count;
    }

private:
    struct Window {
        std::unique_ptr<unsigned char[]> bytes; // made when first filled
        uint64_t offset = 0;
        size_t length = 0;
        uint64_t lastUse = 0; // the least recently used window is filled anew
    };
    static constexpr size_t kWindowBytes = 32 * 1024;
    static constexpr size_t kWindowCount = 4;
    // Reads served from the windows are at most this long.
    static constexpr size_t kWindowedRead = kWindowBytes / 4;

    size_t ReadFromWindow(uint64_t offset, void* buffer, size_t count) const;
    // Reads from the file itself, as ReadAt.
    size_t ReadFile(uint64_t offset, void* buffer, size_t count) const;

    std::string path_;
    int fd_ = -1;
    uint64_t size_ = 0;
    mutable std::mutex windowsLock_;
    mutable std::array<Window, kWindowCount> windows_;
    mutable uint64_t uses_ = 0;
};

} // namespace platform::xps
