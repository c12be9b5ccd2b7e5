#include "partname.h"

#include "xps.h"

#include "platformtest.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>

namespace platform::xps {
namespace {

constexpr bool IsUnreserved(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

constexpr bool IsSubDelimiter(char c) {
    switch (c) {
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case ';':
    case '=':
        return true;
    default:
        return false;
    }
}

// The characters a segment may hold as they are: unreserved, sub-delimiters, ":", "@", and
// any byte of a UTF-8 sequence.
constexpr std::array<bool, 256> kSegmentCharacters = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 256; ++c) {
        table[c] = IsUnreserved(static_cast<char>(c)) || IsSubDelimiter(static_cast<char>(c)) ||
                   c == ':' || c == '@' || c >= 0x80;
    }
    return table;
}();

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string SegmentProblem(std::string_view segment) {
    if (segment.empty()) {
        return "has an empty segment";
    }
    if (segment == "." || segment == "..") {
        return "has a \".\" or \"..\" segment";
    }
    if (segment.back() == '.') {
        return "has a segment ending in \".\"";
    }
    for (size_t i = 0; i < segment.size(); ++i) {
        const char c = segment[i];
        if (kSegmentCharacters[static_cast<unsigned char>(c)]) {
            continue;
        }
        if (c == '%') {
            if (i + 2 >= segment.size()) {
                return "has a truncated percent-encoding";
            }
            const int high = HexValue(segment[i + 1]);
            const int low = HexValue(segment[i + 2]);
            if (high < 0 || low < 0) {
                return "has a malformed percent-encoding";
            }
            const char decoded = static_cast<char>(high * 16 + low);
            if (decoded == '/' || decoded == '\\') {
                return "hides a \"/\" or \"\\\" behind percent-encoding";
            }
            if (IsUnreserved(decoded)) {
                return "percent-encodes an unreserved character";
            }
            i += 2;
            continue;
        }
        if (c == '\\') {
            return "holds a backslash";
        }
        return "holds a character that is not allowed in a part name";
    }
    return {};
}

} // namespace

std::string PartNameProblem(std::string_view name) {
    if (name.empty() || name.front() != '/') {
        return "does not start with \"/\"";
    }
    if (name.size() == 1) {
        return "names the package root";
    }
    // Most segments hold only characters allowed as they are and are not "." or ".." and do not
    // end in "."; the few others are examined as a whole, so that a segment's problems are
    // reported in one order however it is reached.
    const char* at = name.data() + 1;
    const char* const end = name.data() + name.size();
    while (true) {
        const char* const start = at;
        while (at != end && kSegmentCharacters[static_cast<unsigned char>(*at)]) {
            ++at;
        }
        bool plain = true;
        while (at != end && *at != '/') {
            plain = plain && kSegmentCharacters[static_cast<unsigned char>(*at)];
            ++at;
        }
        if (!plain || at == start || at[-1] == '.') {
            std::string problem = SegmentProblem(std::string_view(start, at - start));
            if (!problem.empty()) {
                return problem;
            }
        }
        if (at == end) {
            return {};
        }
        ++at; // past the "/"
    }
}

std::string FoldPartName(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return folded;
}

bool SamePartName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    if (a == b) {
        return true; // names are mostly written alike
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x != y) {
            x = x >= 'A' && x <= 'Z' ? static_cast<char>(x - 'A' + 'a') : x;
            y = y >= 'A' && y <= 'Z' ? static_cast<char>(y - 'A' + 'a') : y;
            if (x != y) {
                return false;
            }
        }
    }
    return true;
}

bool JoinPartReference(std::string_view sourcePart, std::string_view target, std::string& joined) {
    // A target that names a part as it stands, joined to the source's folder when relative,
    // is the part name: no "." or ".." segment to resolve. A part name holds no backslash,
    // query, fragment or empty segment; only a scheme (a colon before the first slash) must be
    // looked for besides.
    if (target.empty() || sourcePart.empty() || sourcePart.front() != '/') {
        return false;
    }
    const size_t firstColon = target.find(':');
    if (firstColon != std::string_view::npos && target.find('/') > firstColon) {
        return false;
    }
    if (target.front() == '/') {
        joined.assign(target);
    } else {
        const std::string_view folder = sourcePart.substr(0, sourcePart.rfind('/') + 1);
        joined.reserve(folder.size() + target.size());
        joined.assign(folder).append(target);
    }
    return true;
}

std::string ResolvePartReference(std::string_view sourcePart, std::string_view target) {
    auto refuse = [&](const char* why) {
        Fail(kBadPackage,
             "reference \"" + std::string(target) + "\" in " + std::string(sourcePart) + " " + why);
    };
    if (target.empty()) {
        Fail(kBadPackage, "an empty reference in " + std::string(sourcePart));
    }
    std::string joined;
    if (JoinPartReference(sourcePart, target, joined) && PartNameProblem(joined).empty()) {
        return joined;
    }
    // One pass finds what the checks below ask about.
    bool backslash = false, queryOrFragment = false;
    size_t colon = std::string_view::npos, slash = std::string_view::npos;
    for (size_t i = 0; i < target.size(); ++i) {
        switch (target[i]) {
        case '\\':
            backslash = true;
            break;
        case '?':
        case '#':
            queryOrFragment = true;
            break;
        case ':':
            colon = std::min(colon, i);
            break;
        case '/':
            slash = std::min(slash, i);
            break;
        default:
            break;
        }
    }
    if (backslash) {
        refuse("holds a backslash");
    }
    if (queryOrFragment) {
        refuse("is not a part name");
    }
    // A scheme ("http:", "file:") or a network path ("//host") leaves the package.
    if ((colon != std::string_view::npos && slash > colon) || target.substr(0, 2) == "//") {
        refuse("points outside the package");
    }
    // Segments are appended to resolved as "/segment"; ".." takes the last one off again.
    std::string resolved;
    const size_t last = sourcePart.rfind('/');
    const std::string_view folder = target.front() == '/' || last == std::string_view::npos
                                        ? std::string_view()
                                        : sourcePart.substr(1, last);
    resolved.reserve(folder.size() + target.size() + 1);
    auto push = [&](std::string_view path) {
        size_t start = 0;
        while (true) {
            const size_t end = path.find('/', start);
            const std::string_view segment = path.substr(
                start, end == std::string_view::npos ? std::string_view::npos : end - start);
            if (segment == "..") {
                if (resolved.empty()) {
                    refuse("points outside the package");
                }
                resolved.resize(resolved.rfind('/'));
            } else if (segment != ".") {
                resolved += '/';
                resolved += segment;
            }
            if (end == std::string_view::npos) {
                return;
            }
            start = end + 1;
        }
    };
    if (target.front() == '/') {
        push(target.substr(1));
    } else {
        if (!folder.empty()) {
            push(folder.substr(0, folder.size() - 1));
        }
        push(target);
    }
    const std::string problem = PartNameProblem(resolved);
    if (!problem.empty()) {
        Fail(kBadPackage, "reference \"" + std::string(target) + "\" in " +
                              std::string(sourcePart) + " is not a part name: it " + problem);
    }
    return resolved;
}

namespace {

// Eight bytes with their ASCII capitals in lower case.
uint64_t FoldedWord(uint64_t word) {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    const uint64_t low = word & (0x7F * kOnes);
    const uint64_t fromA = low + (0x80 - 'A') * kOnes;     // high bit: at least 'A'
    const uint64_t pastZ = low + (0x80 - 'Z' - 1) * kOnes; // high bit: past 'Z'
    const uint64_t capitals = fromA & ~pastZ & ~word & (0x80 * kOnes);
    return word | (capitals >> 2);
}

// The bits of every key kept (platformtest::KeepPartNameKeyBits).
std::atomic<uint64_t> keyMask{~0ull};

uint64_t Mixed(uint64_t hash) {
    hash ^= hash >> 33;
    hash *= 0xFF51AFD7ED558CCDull;
    hash ^= hash >> 33;
    hash *= 0xC4CEB9FE1A85EC53ull;
    hash ^= hash >> 33;
    return hash;
}

} // namespace

uint64_t PartNameKey(std::string_view name) {
    // Eight bytes at a time, folded, each multiplied into the key; the whole key mixed once
    // at the end, so that its low bits (which tables index by) depend on every byte.
    constexpr uint64_t kMultiplier = 0x9FB21C651E98DF25ull;
    uint64_t hash = 0x9E3779B97F4A7C15ull ^ name.size();
    size_t at = 0;
    for (; at + 8 <= name.size(); at += 8) {
        uint64_t word;
        std::memcpy(&word, name.data() + at, 8);
        hash = (hash ^ FoldedWord(word)) * kMultiplier;
        hash ^= hash >> 28;
    }
    if (at < name.size()) {
        uint64_t word = 0;
        std::memcpy(&word, name.data() + at, name.size() - at);
        hash = (hash ^ FoldedWord(word)) * kMultiplier;
        hash ^= hash >> 28;
    }
    return Mixed(hash) & keyMask.load(std::memory_order_relaxed);
}

std::string RelationshipsPartOf(std::string_view partName) {
    if (partName == "/") {
        return "/_rels/.rels";
    }
    const size_t slash = partName.rfind('/') + 1;
    std::string name;
    name.reserve(partName.size() + 11);
    name.append(partName.substr(0, slash))
        .append("_rels/")
        .append(partName.substr(slash))
        .append(".rels");
    return name;
}

std::string_view ReferenceFrom(std::string_view sourcePart, std::string_view target) {
    const std::string_view folder = sourcePart.substr(0, sourcePart.rfind('/') + 1);
    if (target.size() > folder.size() && target.substr(0, folder.size()) == folder) {
        return target.substr(folder.size());
    }
    return target;
}

} // namespace platform::xps

void platformtest::KeepPartNameKeyBits(unsigned bits) {
    platform::xps::keyMask.store(bits >= 64 ? ~0ull : (1ull << bits) - 1,
                                 std::memory_order_relaxed);
}
