#include "replacementfile.h"

#include "xps.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::xps {
namespace {

// The new files not yet committed, by name, for a signal handler to remove. A slot is taken
// (1), filled and then published (2); the handler reads only published slots and neither locks
// nor allocates. The names are copies, so that a handler on another thread never reads a string
// its owner frees. A file made while every slot is taken is still removed by its owner.
constexpr size_t kUnfinishedSlots = 64;
struct UnfinishedSlot {
    std::atomic<int> state{0};
    char path[PATH_MAX];
};
UnfinishedSlot unfinished[kUnfinishedSlots];

size_t RememberUnfinished(const std::string& path) {
    if (path.size() >= PATH_MAX) {
        return kUnfinishedSlots;
    }
    for (size_t i = 0; i < kUnfinishedSlots; ++i) {
        int free = 0;
        if (unfinished[i].state.compare_exchange_strong(free, 1)) {
            std::memcpy(unfinished[i].path, path.c_str(), path.size() + 1);
            unfinished[i].state.store(2);
            return i;
        }
    }
    return kUnfinishedSlots;
}

void ForgetUnfinished(size_t slot) {
    if (slot < kUnfinishedSlots) {
        unfinished[slot].state.store(0);
    }
}

// The file a target names: a symbolic link is followed, so that the link stays and the file
// it names is replaced.
std::string ResolveTarget(const std::string& target) {
    if (target.empty()) {
        // No name at all: the package would be made in the working folder and never placed.
        Fail(E_INVALIDARG, "the output file name is empty");
    }
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

} // namespace

ReplacementFile::ReplacementFile(const std::string& target)
    : target_(ResolveTarget(target)), buffer_(new unsigned char[kBufferSize]) {
    const size_t slash = target_.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
    // A new name beside the target, made with O_EXCL so that no file is ever shared; the
    // mode is the one a new file gets under the process's umask.
    std::random_device random;
    std::string name;
    for (int attempt = 0; fd_ < 0 && attempt < 100; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(random()));
        name = folder + "." + base + suffix;
        fd_ = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd_ < 0) {
        Fail(HRESULT_FROM_WIN32(errno == ENOSPC ? ERROR_DISK_FULL : ERROR_ACCESS_DENIED),
             target + ": cannot create a file beside it: " + std::strerror(errno));
    }
    temporary_ = name;
    unfinishedSlot_ = RememberUnfinished(temporary_);
}

ReplacementFile::~ReplacementFile() {
    if (!committed_) {
        Discard();
    }
}

void ReplacementFile::Discard() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
        unlink(temporary_.c_str());
    }
    ForgetUnfinished(unfinishedSlot_);
    unfinishedSlot_ = kUnfinishedSlots;
}

void ReplacementFile::Failed(const char* what, int error) const {
    const HRESULT hr = HRESULT_FROM_WIN32(error == ENOSPC || error == EDQUOT ? ERROR_DISK_FULL
                                                                             : ERROR_WRITE_FAULT);
    Fail(hr, target_ + ": " + what + (error ? std::string(": ") + std::strerror(error) : ""));
}

void ReplacementFile::WriteAt(uint64_t offset, const unsigned char* bytes, size_t count) {
    if (fd_ < 0) {
        Failed("cannot write", EBADF);
    }
    while (count > 0) {
        const ssize_t done = pwrite(fd_, bytes, count, static_cast<off_t>(offset));
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            Failed("cannot write", errno);
        }
        if (done == 0) {
            Failed("cannot write", ENOSPC);
        }
        bytes += done;
        offset += static_cast<uint64_t>(done);
        count -= static_cast<size_t>(done);
    }
}

void ReplacementFile::Flush() {
    WriteAt(flushed_, buffer_.get(), used_);
    flushed_ += used_;
    used_ = 0;
}

void ReplacementFile::Write(const void* bytes, size_t count) {
    const auto* next = static_cast<const unsigned char*>(bytes);
    if (count >= kBufferSize) {
        Flush();
        WriteAt(flushed_, next, count);
        flushed_ += count;
        return;
    }
    if (count > kBufferSize - used_) {
        Flush();
    }
    std::memcpy(buffer_.get() + used_, next, count);
    used_ += count;
}

void ReplacementFile::Patch(uint64_t offset, const void* bytes, size_t count) {
    const auto* next = static_cast<const unsigned char*>(bytes);
    if (offset < flushed_) {
        const size_t before = static_cast<size_t>(std::min<uint64_t>(count, flushed_ - offset));
        WriteAt(offset, next, before);
        offset += before;
        next += before;
        count -= before;
    }
    if (count > 0) {
        std::memcpy(buffer_.get() + (offset - flushed_), next, count);
    }
}

void ReplacementFile::Commit() {
    Flush();
    if (fsync(fd_) != 0) {
        Failed("cannot flush the package", errno);
    }
    const int closed = close(fd_);
    fd_ = -1;
    if (closed != 0) {
        const int error = errno;
        unlink(temporary_.c_str());
        Failed("cannot finish the package", error);
    }
    if (rename(temporary_.c_str(), target_.c_str()) != 0) {
        const int error = errno;
        unlink(temporary_.c_str());
        Failed("cannot move the package into place", error);
    }
    committed_ = true;
    // After the rename: a signal before it still removes the file, one after it finds no file
    // under that name.
    ForgetUnfinished(unfinishedSlot_);
    unfinishedSlot_ = kUnfinishedSlots;
}

void RemoveUnfinishedFiles() {
    for (UnfinishedSlot& slot : unfinished) {
        if (slot.state.load() == 2) {
            unlink(slot.path);
        }
    }
}

} // namespace platform::xps
