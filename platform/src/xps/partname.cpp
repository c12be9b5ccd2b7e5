#include "partname.h"

#include "xps.h"

namespace platform::xps {
namespace {

bool IsUnreserved(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

bool IsSubDelimiter(char c) {
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
        const bool allowed = IsUnreserved(c) || IsSubDelimiter(c) || c == ':' || c == '@' ||
                             static_cast<unsigned char>(c) >= 0x80;
        if (!allowed) {
            return "holds a character that is not allowed in a part name";
        }
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
    size_t start = 1;
    while (true) {
        const size_t end = name.find('/', start);
        const std::string_view segment = name.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        std::string problem = SegmentProblem(segment);
        if (!problem.empty()) {
            return problem;
        }
        if (end == std::string_view::npos) {
            return {};
        }
        start = end + 1;
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

std::string ResolvePartReference(std::string_view sourcePart, std::string_view target) {
    auto refuse = [&](const char* why) {
        Fail(kBadPackage,
             "reference \"" + std::string(target) + "\" in " + std::string(sourcePart) + " " + why);
    };
    if (target.empty()) {
        Fail(kBadPackage, "an empty reference in " + std::string(sourcePart));
    }
    if (target.find('\\') != std::string_view::npos) {
        refuse("holds a backslash");
    }
    if (target.find_first_of("?#") != std::string_view::npos) {
        refuse("is not a part name");
    }
    // A scheme ("http:", "file:") or a network path ("//host") leaves the package.
    const size_t colon = target.find(':');
    if ((colon != std::string_view::npos && target.find('/') > colon) ||
        target.substr(0, 2) == "//") {
        refuse("points outside the package");
    }
    // Segments are appended to resolved as "/segment"; ".." takes the last one off again.
    std::string resolved;
    const size_t slash = sourcePart.rfind('/');
    const std::string_view folder = target.front() == '/' || slash == std::string_view::npos
                                        ? std::string_view()
                                        : sourcePart.substr(1, slash);
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

uint64_t PartNameKey(std::string_view name) {
    // FNV-1a over the folded name.
    uint64_t hash = 14695981039346656037ull;
    for (char c : name) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

std::string RelationshipsPartOf(std::string_view partName) {
    if (partName == "/") {
        return "/_rels/.rels";
    }
    const size_t slash = partName.rfind('/');
    return std::string(partName.substr(0, slash + 1)) + "_rels/" +
           std::string(partName.substr(slash + 1)) + ".rels";
}

std::string ExtensionOf(std::string_view partName) {
    const size_t slash = partName.rfind('/');
    const size_t dot = partName.rfind('.');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) {
        return {};
    }
    return FoldPartName(partName.substr(dot + 1));
}

std::string_view ReferenceFrom(std::string_view sourcePart, std::string_view target) {
    const std::string_view folder = sourcePart.substr(0, sourcePart.rfind('/') + 1);
    if (target.size() > folder.size() && target.substr(0, folder.size()) == folder) {
        return target.substr(folder.size());
    }
    return target;
}

} // namespace platform::xps
