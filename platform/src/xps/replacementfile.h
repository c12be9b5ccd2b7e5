// A new file beside a target, written through a buffer, that takes the target's name only on
// Commit: until then the target is untouched, and a file that is never committed is removed.
// A symbolic link as target is followed, so that the link stays and the file it names is
// replaced; anything else that is no regular file (a folder, a device, a FIFO) is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform::xps {

class ReplacementFile {
public:
    // Throws PackageError when the target cannot be replaced or nothing can be made beside it.
    explicit ReplacementFile(const std::string& target);
    // Removes the new file unless Commit succeeded.
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // Throw PackageError (a full disk, a failed write).
    void Write(const void* bytes, size_t count);
    // Overwrites bytes written before; offset + count must not pass Position().
    void Patch(uint64_t offset, const void* bytes, size_t count);
    uint64_t Position() const { return flushed_ + used_; }

    // Flushes, syncs and closes the file, then renames it over the target.
    void Commit();
    // Removes the new file now; nothing more may be written.
    void Discard();

    const std::string& Target() const { return target_; }

private:
    void Flush();
    void WriteAt(uint64_t offset, const unsigned char* bytes, size_t count);
    [[noreturn]] void Failed(const char* what, int error) const;

    static constexpr size_t kBufferSize = 64 * 1024;
    std::string target_;
    std::string temporary_;
    int fd_ = -1;
    std::unique_ptr<unsigned char[]> buffer_;
    size_t used_ = 0;
    uint64_t flushed_ = 0;
    bool committed_ = false;
    size_t unfinishedSlot_ = SIZE_MAX; // where a signal handler finds the new file's name
};

// Removes every new file not yet committed or discarded; async-signal-safe.
void RemoveUnfinishedFiles();

} // namespace platform::xps
