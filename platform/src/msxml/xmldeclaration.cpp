#include "xmldeclaration.h"

#include "xmltext.h"

namespace platform::msxml {
namespace {

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool AtEnd() const { return pos_ >= text_.size(); }
    size_t Position() const { return pos_; }
    bool SkipSpace() {
        const size_t start = pos_;
        while (!AtEnd() && IsXmlWhitespace(text_[pos_])) {
            ++pos_;
        }
        return pos_ > start;
    }
    bool Take(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) {
            return false;
        }
        pos_ += word.size();
        return true;
    }
    // Eq and a quoted value; value excludes the quotes.
    bool QuotedValue(std::string_view& value, size_t& offset) {
        SkipSpace();
        if (!Take("=")) {
            return false;
        }
        SkipSpace();
        if (AtEnd() || (text_[pos_] != '"' && text_[pos_] != '\'')) {
            return false;
        }
        const char quote = text_[pos_++];
        const size_t end = text_.find(quote, pos_);
        if (end == std::string_view::npos) {
            return false;
        }
        offset = pos_;
        value = text_.substr(pos_, end - pos_);
        pos_ = end + 1;
        return true;
    }

private:
    std::string_view text_;
    size_t pos_ = 0;
};

bool IsAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsVersion(std::string_view v) {
    if (v.size() < 3 || v.substr(0, 2) != "1.") {
        return false;
    }
    for (char c : v.substr(2)) {
        if (!IsAsciiDigit(c)) {
            return false;
        }
    }
    return true;
}

bool IsEncodingName(std::string_view e) {
    if (e.empty() || !IsAsciiLetter(e[0])) {
        return false;
    }
    for (char c : e) {
        if (!IsAsciiLetter(c) && !IsAsciiDigit(c) && c != '.' && c != '_' && c != '-') {
            return false;
        }
    }
    return true;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') {
            x = static_cast<char>(x + 32);
        }
        if (y >= 'A' && y <= 'Z') {
            y = static_cast<char>(y + 32);
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

} // namespace

bool ParseXmlDeclaration(std::string_view data, XmlDeclaration& declaration) {
    declaration = XmlDeclaration{};
    Reader reader(data);
    reader.SkipSpace();
    size_t offset = 0;
    if (!reader.Take("version") || !reader.QuotedValue(declaration.version, offset) ||
        !IsVersion(declaration.version)) {
        return false;
    }
    bool spaced = reader.SkipSpace();
    if (spaced && reader.Take("encoding")) {
        if (!reader.QuotedValue(declaration.encoding, declaration.encodingOffset) ||
            !IsEncodingName(declaration.encoding)) {
            return false;
        }
        spaced = reader.SkipSpace();
    }
    if (spaced && reader.Take("standalone")) {
        if (!reader.QuotedValue(declaration.standalone, offset) ||
            (declaration.standalone != "yes" && declaration.standalone != "no")) {
            return false;
        }
        reader.SkipSpace();
    }
    return reader.AtEnd();
}

bool FindXmlDeclaration(std::string_view bytes, std::string& data) {
    size_t pos = 0;
    int unit = 1; // bytes per character
    bool bigEndian = false;
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        pos = 3;
    } else if (bytes.substr(0, 2) == "\xFF\xFE") {
        pos = 2;
        unit = 2;
    } else if (bytes.substr(0, 2) == "\xFE\xFF") {
        pos = 2;
        unit = 2;
        bigEndian = true;
    } else if (bytes.size() >= 2 && bytes[0] == '<' && bytes[1] == '\0') {
        unit = 2;
    } else if (bytes.size() >= 2 && bytes[0] == '\0' && bytes[1] == '<') {
        unit = 2;
        bigEndian = true;
    }
    // Reads the ASCII characters of the declaration; anything else ends it unsuccessfully.
    std::string text;
    constexpr size_t kLongest = 512;
    for (; pos + unit <= bytes.size() && text.size() < kLongest; pos += unit) {
        char c = bytes[pos];
        if (unit == 2) {
            const char high = bigEndian ? bytes[pos] : bytes[pos + 1];
            c = bigEndian ? bytes[pos + 1] : bytes[pos];
            if (high != '\0') {
                return false;
            }
        }
        if (static_cast<unsigned char>(c) >= 0x80 || c == '\0') {
            return false;
        }
        text += c;
        if (text.size() == 6 && (text.substr(0, 5) != "<?xml" || !IsXmlWhitespace(text[5]))) {
            return false;
        }
        if (text.size() > 6 && text.substr(text.size() - 2) == "?>") {
            data =
                std::string(TrimXmlWhitespace(std::string_view(text).substr(5, text.size() - 7)));
            return true;
        }
    }
    return false;
}

std::string DeclarationForUtf8(std::string_view data) {
    XmlDeclaration declaration;
    if (!ParseXmlDeclaration(data, declaration) || declaration.encoding.empty() ||
        EqualsIgnoringAsciiCase(declaration.encoding, "UTF-8")) {
        return std::string(data);
    }
    std::string result(data);
    result.replace(declaration.encodingOffset, declaration.encoding.size(), "UTF-8");
    return result;
}

} // namespace platform::msxml
