#include <kldutil/utf8ini.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kLargestFile = 16u << 20;

// One open file descriptor.
class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const noexcept { return m_fd; }

private:
    int m_fd;
};

DWORD ErrorOfOpen(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return ERROR_FILE_NOT_FOUND;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_ACCESS_DENIED;
    }
}

// The file's bytes, or the Win32 error that says why it is not read. Only regular files are
// opened for good: O_NONBLOCK keeps a FIFO without a writer from stopping the caller before
// fstat tells what it is.
DWORD ReadFileBytes(const WCHAR* fileName, std::string& bytes) {
    if (!fileName || !*fileName) {
        return ERROR_FILE_NOT_FOUND;
    }
    const std::u16string_view name(fileName);
    const int pathSize =
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, name.data(),
                            static_cast<int>(name.size()), nullptr, 0, nullptr, nullptr);
    if (pathSize <= 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    std::string path(static_cast<size_t>(pathSize), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, name.data(), static_cast<int>(name.size()),
                        path.data(), pathSize, nullptr, nullptr);
    if (path.find('\0') != std::string::npos) {
        return ERROR_FILE_NOT_FOUND;
    }
    const Descriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.Get() < 0) {
        return ErrorOfOpen(errno);
    }
    struct stat status {};
    if (fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return ERROR_ACCESS_DENIED;
    }
    if (static_cast<unsigned long long>(status.st_size) > kLargestFile) {
        return ERROR_FILE_TOO_LARGE;
    }
    // Read to the end rather than trusting st_size: a file may grow, and some report 0.
    bytes.clear();
    char chunk[65536];
    for (;;) {
        const ssize_t count = read(file.Get(), chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return ERROR_ACCESS_DENIED;
        }
        if (count == 0) {
            return ERROR_SUCCESS;
        }
        if (bytes.size() + static_cast<size_t>(count) > kLargestFile) {
            return ERROR_FILE_TOO_LARGE;
        }
        bytes.append(chunk, static_cast<size_t>(count));
    }
}

DWORD DecodeText(std::string_view bytes, std::u16string& text) {
    text.clear();
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        bytes.remove_prefix(3);
    }
    if (bytes.empty()) {
        return ERROR_SUCCESS;
    }
    if (bytes.find('\0') != std::string_view::npos) {
        return ERROR_INVALID_DATA;
    }
    const int count = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                          static_cast<int>(bytes.size()), nullptr, 0);
    if (count <= 0) {
        return ERROR_INVALID_DATA;
    }
    text.resize(static_cast<size_t>(count));
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()),
                        text.data(), count);
    return ERROR_SUCCESS;
}

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

std::u16string_view Trim(std::u16string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

char16_t FoldAscii(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i])) {
            return false;
        }
    }
    return true;
}

// One line of the file that says something: a section header or a key.
struct Line {
    bool isSection = false;
    std::u16string_view name;
    std::u16string_view value;
};

std::vector<Line> ParseLines(std::u16string_view text) {
    std::vector<Line> lines;
    while (!text.empty()) {
        const size_t end = text.find_first_of(u"\r\n");
        std::u16string_view line = Trim(text.substr(0, end));
        text.remove_prefix(end == std::u16string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == u';') {
            continue;
        }
        if (line.front() == u'[') {
            line.remove_prefix(1);
            lines.push_back({true, Trim(line.substr(0, line.find(u']'))), {}});
            continue;
        }
        const size_t equals = line.find(u'=');
        if (equals == std::u16string_view::npos) {
            lines.push_back({false, line, {}});
            continue;
        }
        std::u16string_view value = Trim(line.substr(equals + 1));
        if (value.size() >= 2 && value.front() == value.back() &&
            (value.front() == u'"' || value.front() == u'\'')) {
            value = value.substr(1, value.size() - 2);
        }
        lines.push_back({false, Trim(line.substr(0, equals)), value});
    }
    return lines;
}

DWORD CopyValue(std::u16string_view value, WCHAR* buffer, DWORD size) {
    const size_t count = value.size() < size ? value.size() : size - 1;
    value.copy(buffer, count);
    buffer[count] = u'\0';
    return static_cast<DWORD>(count);
}

// Names, each ending with a zero, and a final zero; cut to fit with two zeros at the end.
DWORD CopyList(const std::vector<std::u16string_view>& names, WCHAR* buffer, DWORD size) {
    if (size < 2) {
        buffer[0] = u'\0';
        return 0;
    }
    size_t used = 0;
    for (const std::u16string_view name : names) {
        if (used + name.size() + 2 > size) {
            const size_t room = size - 2 - used;
            name.substr(0, room).copy(buffer + used, room);
            buffer[size - 2] = u'\0';
            buffer[size - 1] = u'\0';
            return size - 2;
        }
        name.copy(buffer + used, name.size());
        used += name.size();
        buffer[used++] = u'\0';
    }
    buffer[used] = u'\0';
    if (used == 0 && size > 1) {
        buffer[1] = u'\0';
    }
    return static_cast<DWORD>(used);
}

void AddOnce(std::vector<std::u16string_view>& names, std::u16string_view name) {
    for (const std::u16string_view known : names) {
        if (SameName(known, name)) {
            return;
        }
    }
    names.push_back(name);
}

} // namespace

DWORD UTF8Ini::GetPrivateProfileStringW(const WCHAR* section, const WCHAR* key,
                                        const WCHAR* defaultValue, WCHAR* buffer, DWORD size,
                                        const WCHAR* fileName) {
    if (!buffer || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string bytes;
    std::u16string text;
    DWORD error = ReadFileBytes(fileName, bytes);
    if (error == ERROR_SUCCESS) {
        error = DecodeText(bytes, text);
    }
    const std::vector<Line> lines = error == ERROR_SUCCESS ? ParseLines(text) : std::vector<Line>();

    DWORD result = 0;
    if (!section || !key) {
        std::vector<std::u16string_view> names;
        bool inSection = false;
        bool sectionSeen = false;
        for (const Line& line : lines) {
            if (!section) {
                if (line.isSection) {
                    AddOnce(names, line.name);
                }
            } else if (line.isSection) {
                // Only the first section of the name is read, as for single values.
                inSection = !sectionSeen && SameName(line.name, section);
                sectionSeen = sectionSeen || inSection;
            } else if (inSection) {
                AddOnce(names, line.name);
            }
        }
        result = CopyList(names, buffer, size);
        if (section && !sectionSeen && error == ERROR_SUCCESS) {
            error = ERROR_FILE_NOT_FOUND;
        }
    } else {
        const Line* found = nullptr;
        bool inSection = false;
        bool sectionSeen = false;
        for (const Line& line : lines) {
            if (line.isSection) {
                if (sectionSeen) {
                    break;
                }
                inSection = SameName(line.name, section);
                sectionSeen = inSection;
            } else if (inSection && SameName(line.name, key)) {
                found = &line;
                break;
            }
        }
        if (found) {
            result = CopyValue(found->value, buffer, size);
        } else {
            std::u16string_view fallback = defaultValue ? defaultValue : u"";
            while (!fallback.empty() && fallback.back() == u' ') {
                fallback.remove_suffix(1);
            }
            result = CopyValue(fallback, buffer, size);
            if (error == ERROR_SUCCESS) {
                error = ERROR_FILE_NOT_FOUND;
            }
        }
    }
    SetLastError(error);
    return result;
}
