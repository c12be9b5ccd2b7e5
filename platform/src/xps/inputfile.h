// A regular file opened for reading at any offset. Reads at an offset share no file position,
// so any number of entry streams may read one file from several threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform::xps {

class InputFile {
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
    std::string path_;
    int fd_ = -1;
    uint64_t size_ = 0;
};

} // namespace platform::xps
