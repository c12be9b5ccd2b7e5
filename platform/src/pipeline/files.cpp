#include "files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::pipeline {

HRESULT SeekTarget(LONGLONG offset, DWORD origin, ULONGLONG position, ULONGLONG size,
                   ULONGLONG& target) {
    ULONGLONG base = 0;
    if (origin == STREAM_SEEK_CUR) {
        base = position;
    } else if (origin == STREAM_SEEK_END) {
        base = size;
    } else if (origin != STREAM_SEEK_SET) {
        return STG_E_INVALIDFUNCTION;
    }
    if (base > static_cast<ULONGLONG>(INT64_MAX)) {
        return STG_E_INVALIDFUNCTION;
    }
    const auto start = static_cast<LONGLONG>(base);
    if ((offset < 0 && offset < -start) || (offset > 0 && offset > INT64_MAX - start)) {
        return STG_E_INVALIDFUNCTION;
    }
    target = static_cast<ULONGLONG>(start + offset);
    return S_OK;
}

HRESULT ReadSmallFile(const std::string& path, size_t cap, std::string& bytes,
                      std::string& problem) {
    // O_NONBLOCK: a FIFO is refused below rather than waited on.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0) {
        const int error = errno;
        if (fd >= 0) {
            close(fd);
        }
        problem = path + ": " + std::strerror(error);
        return HRESULT_FROM_WIN32(error == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
    }
    HRESULT hr = S_OK;
    if (!S_ISREG(status.st_mode)) {
        problem = path + ": not a regular file";
        hr = E_INVALIDARG;
    } else if (static_cast<uint64_t>(status.st_size) > cap) {
        problem = path + ": larger than " + std::to_string(cap >> 10) + " KiB";
        hr = HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
    } else {
        bytes.resize(static_cast<size_t>(status.st_size));
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t got = read(fd, bytes.data() + done, bytes.size() - done);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                break;
            }
            done += static_cast<size_t>(got);
        }
        bytes.resize(done);
    }
    close(fd);
    return hr;
}

} // namespace platform::pipeline
