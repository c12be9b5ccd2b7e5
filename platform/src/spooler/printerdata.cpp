// Printer data (SetPrinterDataExW and friends), kept in files under the spool folder:
//
//   <spool>/printerdata/p<printer>/k<key>/v<value>
//
// where each name is the hex of its UTF-8 with ASCII letters in lower case, so that no name
// can step outside its folder and names differ in the same way the spooler compares them. A
// value file holds the type (four bytes, little-endian) and the data; it is written under a
// temporary name and renamed, so readers see the old value or the new one, never a mixture.
#include "printers.h"

#include "security/users.h"
#include "textutf.h"
#include "winspool.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr size_t kLongestName = 120;           // bytes of UTF-8: hex doubles it
constexpr size_t kLargestValue = 16u << 20;    // bytes of data
constexpr size_t kTypeSize = sizeof(uint32_t); // the type in front of the data

fs::path SpoolFolder() {
    if (const char* spool = std::getenv("FILTERUTILITIES_SPOOL"); spool && spool[0] == '/') {
        return spool;
    }
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && state[0] == '/') {
        return fs::path(state) / "filterutilities" / "spool";
    }
    const char* home = std::getenv("HOME");
    return fs::path(home && home[0] == '/' ? home : "/tmp") / ".local" / "state" /
           "filterutilities" / "spool";
}

// "" when the name cannot be stored: not UTF-16, too long, or empty where that is refused.
std::string Encode(char prefix, std::u16string_view name, bool emptyAllowed) {
    if (name.empty() && !emptyAllowed) {
        return {};
    }
    std::string utf8;
    if (!name.empty()) {
        const int count =
            WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, name.data(),
                                static_cast<int>(name.size()), nullptr, 0, nullptr, nullptr);
        if (count <= 0 || static_cast<size_t>(count) > kLongestName) {
            return {};
        }
        utf8.resize(static_cast<size_t>(count));
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, name.data(),
                            static_cast<int>(name.size()), utf8.data(), count, nullptr, nullptr);
    }
    static const char kDigits[] = "0123456789abcdef";
    std::string encoded(1, prefix);
    for (unsigned char c : utf8) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<unsigned char>(c - 'A' + 'a');
        }
        encoded += kDigits[c >> 4];
        encoded += kDigits[c & 15];
    }
    return encoded;
}

// The folder of a printer's data, or an error.
DWORD PrinterFolder(HANDLE printer, fs::path& folder) {
    const platform::spooler::Printer found = platform::spooler::FindPrinterHandle(printer);
    if (!found) {
        return ERROR_INVALID_HANDLE;
    }
    const std::string name = Encode('p', found->name, false);
    if (name.empty()) {
        return ERROR_INVALID_PARAMETER;
    }
    folder = SpoolFolder() / "printerdata" / name;
    return ERROR_SUCCESS;
}

DWORD ValuePath(HANDLE printer, LPCWSTR keyName, LPCWSTR valueName, fs::path& path) {
    fs::path folder;
    if (const DWORD error = PrinterFolder(printer, folder); error != ERROR_SUCCESS) {
        return error;
    }
    if (!keyName || !valueName) {
        return ERROR_INVALID_PARAMETER;
    }
    const std::string key = Encode('k', keyName, false);
    const std::string value = Encode('v', valueName, true);
    if (key.empty() || value.empty()) {
        return ERROR_INVALID_PARAMETER;
    }
    path = folder / key / value;
    return ERROR_SUCCESS;
}

DWORD ErrorOf(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return ERROR_FILE_NOT_FOUND;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    default:
        return ERROR_ACCESS_DENIED;
    }
}

bool WriteAll(int fd, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = write(fd, bytes, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

DWORD WriteValue(const fs::path& path, DWORD type, const BYTE* data, DWORD size) {
    std::error_code failure;
    fs::create_directories(path.parent_path(), failure);
    if (failure) {
        return ErrorOf(failure.value());
    }
    std::string temporary = (path.parent_path() / "tmp.XXXXXX").string();
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return ErrorOf(errno);
    }
    const BYTE header[kTypeSize] = {static_cast<BYTE>(type), static_cast<BYTE>(type >> 8),
                                    static_cast<BYTE>(type >> 16), static_cast<BYTE>(type >> 24)};
    bool written = WriteAll(fd, header, sizeof header) && WriteAll(fd, data, size);
    const int writeError = errno;
    written = close(fd) == 0 && written;
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = written ? errno : writeError;
        unlink(temporary.c_str());
        return ErrorOf(error);
    }
    return ERROR_SUCCESS;
}

// The stored type and data. A value that is not a regular file, or is too short or too long
// to be one the spooler wrote, is damaged; O_NONBLOCK keeps a FIFO from stopping the reader.
DWORD ReadValue(const fs::path& path, DWORD& type, std::vector<BYTE>& data) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
    if (fd < 0) {
        return errno == ELOOP ? ERROR_INVALID_DATA : ErrorOf(errno);
    }
    struct stat status {};
    DWORD error = ERROR_SUCCESS;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<unsigned long long>(status.st_size) > kTypeSize + kLargestValue) {
        error = ERROR_INVALID_DATA;
    }
    std::vector<BYTE> bytes;
    BYTE chunk[65536];
    while (error == ERROR_SUCCESS) {
        const ssize_t count = read(fd, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            error = ErrorOf(errno);
        } else if (count == 0) {
            break;
        } else if (bytes.size() + static_cast<size_t>(count) > kTypeSize + kLargestValue) {
            error = ERROR_INVALID_DATA;
        } else {
            bytes.insert(bytes.end(), chunk, chunk + count);
        }
    }
    close(fd);
    if (error == ERROR_SUCCESS && bytes.size() < kTypeSize) {
        error = ERROR_INVALID_DATA;
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    type = static_cast<DWORD>(bytes[0]) | static_cast<DWORD>(bytes[1]) << 8 |
           static_cast<DWORD>(bytes[2]) << 16 | static_cast<DWORD>(bytes[3]) << 24;
    data.assign(bytes.begin() + kTypeSize, bytes.end());
    return ERROR_SUCCESS;
}

// The UTF-8 of an encoded name ('k' + hex), or "" when it is not one.
std::string Decode(const std::string& encoded) {
    if (encoded.size() < 3 || encoded[0] != 'k' || encoded.size() % 2 == 0) {
        return {};
    }
    std::string name;
    for (size_t i = 1; i < encoded.size(); i += 2) {
        const std::string pair = encoded.substr(i, 2);
        char* end = nullptr;
        const long value = std::strtol(pair.c_str(), &end, 16);
        if (end != pair.c_str() + 2) {
            return {};
        }
        name += static_cast<char>(value);
    }
    return name;
}

template <typename Call>
DWORD Guarded(Call&& call) {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (const fs::filesystem_error& error) {
        return ErrorOf(error.code().value());
    }
}

} // namespace

extern "C" {

DWORD WINAPI SetPrinterDataExW(HANDLE printer, LPCWSTR keyName, LPCWSTR valueName, DWORD type,
                               LPBYTE data, DWORD size) {
    platform::security::RecordCall("SetPrinterDataExW");
    return Guarded([&]() -> DWORD {
        fs::path path;
        if (const DWORD error = ValuePath(printer, keyName, valueName, path);
            error != ERROR_SUCCESS) {
            return error;
        }
        if ((size > 0 && !data) || size > kLargestValue) {
            return ERROR_INVALID_PARAMETER;
        }
        return WriteValue(path, type, data, size);
    });
}

DWORD WINAPI GetPrinterDataExW(HANDLE printer, LPCWSTR keyName, LPCWSTR valueName, LPDWORD type,
                               LPBYTE data, DWORD size, LPDWORD needed) {
    platform::security::RecordCall("GetPrinterDataExW");
    return Guarded([&]() -> DWORD {
        fs::path path;
        if (const DWORD error = ValuePath(printer, keyName, valueName, path);
            error != ERROR_SUCCESS) {
            return error;
        }
        if (!needed) {
            return ERROR_INVALID_PARAMETER;
        }
        DWORD storedType = REG_NONE;
        std::vector<BYTE> stored;
        if (const DWORD error = ReadValue(path, storedType, stored); error != ERROR_SUCCESS) {
            return error;
        }
        *needed = static_cast<DWORD>(stored.size());
        if (type) {
            *type = storedType;
        }
        if (size < stored.size() || (!data && !stored.empty())) {
            return ERROR_MORE_DATA;
        }
        if (!stored.empty()) {
            std::memcpy(data, stored.data(), stored.size());
        }
        return ERROR_SUCCESS;
    });
}

DWORD WINAPI DeletePrinterKeyW(HANDLE printer, LPCWSTR keyName) {
    platform::security::RecordCall("DeletePrinterKeyW");
    return Guarded([&]() -> DWORD {
        fs::path folder;
        if (const DWORD error = PrinterFolder(printer, folder); error != ERROR_SUCCESS) {
            return error;
        }
        const std::string key = keyName ? Encode('k', keyName, false) : std::string();
        if (key.empty()) {
            return ERROR_INVALID_PARAMETER;
        }
        // The key's own folder and those of the keys under it ("key\...").
        const std::string under = Decode(key) + "\\";
        std::error_code failure;
        bool found = false;
        for (const fs::directory_entry& entry : fs::directory_iterator(folder, failure)) {
            const std::string name = entry.path().filename().string();
            if (name == key || Decode(name).starts_with(under)) {
                found = true;
                fs::remove_all(entry.path());
            }
        }
        return found ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

} // extern "C"
