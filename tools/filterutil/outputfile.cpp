#include "outputfile.h"

#include "toolerror.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace filterutil {
namespace {

constexpr int kMaxLinks = 40; // as the kernel's own limit on a path's symbolic links

std::string Reason(int error) {
    return std::strerror(error);
}

// Exit status for a target that could not be opened or made: a full or failing disk is no
// fault of the command line; anything else (permissions, a missing folder) is.
int OpenFailureStatus(int error) {
    return error == ENOSPC || error == EDQUOT || error == EIO ? kExitFailure : kExitBadInput;
}

// Writes all of bytes; false with errno set when a write fails.
bool WriteAll(int descriptor, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(descriptor, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

std::string Folder(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The path with every symbolic link at its end followed; status describes what it names, and
// exists is false when nothing is there yet (a dangling link names the file it would make).
struct Target {
    std::string path;
    bool exists = false;
    struct stat status {};
};

Target ResolveTarget(const std::string& path) {
    Target target{path, false, {}};
    for (int links = 0;; ++links) {
        if (::lstat(target.path.c_str(), &target.status) != 0) {
            if (errno == ENOENT) {
                return target;
            }
            throw ToolError(path + ": cannot open: " + Reason(errno), OpenFailureStatus(errno));
        }
        if (!S_ISLNK(target.status.st_mode)) {
            target.exists = true;
            return target;
        }
        if (links == kMaxLinks) {
            throw ToolError(path + ": cannot open: " + Reason(ELOOP));
        }
        char link[PATH_MAX];
        const ssize_t length = ::readlink(target.path.c_str(), link, sizeof link);
        if (length < 0 || static_cast<size_t>(length) >= sizeof link) {
            throw ToolError(
                path + ": cannot follow the link: " + Reason(length < 0 ? errno : ENAMETOOLONG));
        }
        const std::string named(link, static_cast<size_t>(length));
        target.path = named[0] == '/' ? named : Folder(target.path) + "/" + named;
    }
}

// Owns a descriptor and, until Keep(), the temporary file it was made as.
class TemporaryFile {
public:
    TemporaryFile(const std::string& folder, const std::string& base, const std::string& shown) {
        // A hidden name beside the target; the stem is shortened so the name stays valid.
        path_ = folder + "/." + base.substr(0, 200) + ".XXXXXX";
        descriptor_ = ::mkostemp(path_.data(), O_CLOEXEC);
        if (descriptor_ < 0) {
            const int error = errno;
            throw ToolError(shown + ": cannot create a file in " + folder + ": " + Reason(error),
                            OpenFailureStatus(error));
        }
    }
    ~TemporaryFile() {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
        if (!kept_) {
            ::unlink(path_.c_str());
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    int Descriptor() const { return descriptor_; }
    const std::string& Path() const { return path_; }
    // Closes the descriptor; false with errno set when the close reports a failed write.
    bool Close() {
        const int descriptor = descriptor_;
        descriptor_ = -1;
        return ::close(descriptor) == 0;
    }
    void Keep() { kept_ = true; }

private:
    std::string path_;
    int descriptor_ = -1;
    bool kept_ = false;
};

void ReplaceRegularFile(const std::string& shown, const Target& target, std::string_view bytes) {
    TemporaryFile temporary(Folder(target.path), BaseName(target.path), shown);
    const int descriptor = temporary.Descriptor();
    mode_t mode = 0;
    if (target.exists) {
        // The owner first: a change of owner clears the set-user and set-group bits, which the
        // mode then puts back. Without the right to give the file away, the group alone may
        // still be kept; failing both leaves the file ours, as any new file would be.
        if (::fchown(descriptor, target.status.st_uid, target.status.st_gid) != 0) {
            static_cast<void>(::fchown(descriptor, static_cast<uid_t>(-1), target.status.st_gid));
        }
        mode = target.status.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    if (::fchmod(descriptor, mode) != 0 || !WriteAll(descriptor, bytes) ||
        ::fsync(descriptor) != 0 || !temporary.Close()) {
        throw ToolError(shown + ": cannot write: " + Reason(errno), kExitFailure);
    }
    if (::rename(temporary.Path().c_str(), target.path.c_str()) != 0) {
        throw ToolError(shown + ": cannot replace the file: " + Reason(errno), kExitFailure);
    }
    temporary.Keep();
}

// A device, FIFO or socket is written to, not replaced; links are followed as any program
// opening the path follows them (so /dev/stdout reaches a pipe). False when the path turned
// out to name a regular file after all (it changed since it was looked at).
bool WriteThrough(const std::string& shown, const std::string& path, std::string_view bytes) {
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) {
        throw ToolError(shown + ": cannot open: " + Reason(errno), OpenFailureStatus(errno));
    }
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || S_ISREG(status.st_mode)) {
        ::close(descriptor);
        return false;
    }
    if (!WriteAll(descriptor, bytes)) {
        const int error = errno;
        ::close(descriptor);
        throw ToolError(shown + ": cannot write: " + Reason(error), kExitFailure);
    }
    if (::close(descriptor) != 0 && errno != EINTR) {
        throw ToolError(shown + ": cannot write: " + Reason(errno), kExitFailure);
    }
    return true;
}

} // namespace

void WriteStandardOutput(std::string_view bytes) {
    if (!WriteAll(STDOUT_FILENO, bytes)) {
        throw ToolError("standard output: cannot write: " + Reason(errno), kExitFailure);
    }
}

void WriteOutputFile(const std::string& path, std::string_view bytes) {
    if (path == "-") {
        WriteStandardOutput(bytes);
        return;
    }
    if (path.empty()) {
        throw ToolError("the output file name is empty");
    }
    struct stat named {};
    if (::stat(path.c_str(), &named) == 0) {
        if (S_ISDIR(named.st_mode)) {
            throw ToolError(path + ": is a directory");
        }
        if (!S_ISREG(named.st_mode) && WriteThrough(path, path, bytes)) {
            return;
        }
    }
    const Target target = ResolveTarget(path);
    if (target.exists && !S_ISREG(target.status.st_mode)) {
        // What the path names changed while it was looked at.
        throw ToolError(path + ": changed while it was being opened");
    }
    ReplaceRegularFile(path, target, bytes);
}

} // namespace filterutil
