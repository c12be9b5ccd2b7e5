// A ZIP file written entry by entry as it goes (zlib's minizip), to a temporary file beside
// the target that becomes the target only on Commit. Entries are deflated here, or copied as
// the compressed bytes another package stored. ZIP64 records are written where sizes need
// them.
#pragma once

#include "xps.h"

#include <cstdint>
#include <string>

namespace platform::xps {

class ZipWriter {
public:
    // Throws PackageError when the target cannot be written (a folder, a device, a FIFO, a
    // folder that does not exist or cannot be written).
    explicit ZipWriter(const std::string& target);
    // Removes the temporary file unless Commit succeeded.
    ~ZipWriter();
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;

    // An entry written from content bytes; level 0 stores, 1-9 deflate.
    void Begin(const std::string& name, int level, uint64_t sizeHint);
    void Write(const void* bytes, size_t count);
    void End();

    // An entry written from the stored bytes of another package's entry.
    void BeginRaw(const std::string& name, uint16_t method, uint64_t fullSize);
    void EndRaw(uint64_t fullSize, uint32_t crc);

    // Finishes the file and moves it to the target.
    void Commit();

    const std::string& Target() const { return target_; }

private:
    [[noreturn]] void WriteFailed(const char* what);

    std::string target_;
    std::string temporary_;
    void* zip_ = nullptr;
    bool committed_ = false;
};

} // namespace platform::xps
