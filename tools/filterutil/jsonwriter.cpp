#include "jsonwriter.h"

#include "text.h"

#include <cmath>
#include <cstdio>

namespace filterutil {

JsonWriter::~JsonWriter() {
    if (levels_.empty()) {
        out_ << '\n';
    }
}

void JsonWriter::Newline() {
    if (compact_) {
        return;
    }
    out_ << '\n';
    for (size_t i = 0; i < levels_.size(); ++i) {
        out_ << "  ";
    }
}

void JsonWriter::BeforeValue() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!levels_.empty()) {
        if (!levels_.back().empty) {
            out_ << ',';
        }
        levels_.back().empty = false;
        Newline();
    }
}

JsonWriter& JsonWriter::BeginObject() {
    BeforeValue();
    out_ << '{';
    levels_.push_back({true, true});
    return *this;
}

JsonWriter& JsonWriter::EndObject() {
    const bool empty = levels_.back().empty;
    levels_.pop_back();
    if (!empty) {
        Newline();
    }
    out_ << '}';
    return *this;
}

JsonWriter& JsonWriter::BeginArray() {
    BeforeValue();
    out_ << '[';
    levels_.push_back({false, true});
    return *this;
}

JsonWriter& JsonWriter::EndArray() {
    const bool empty = levels_.back().empty;
    levels_.pop_back();
    if (!empty) {
        Newline();
    }
    out_ << ']';
    return *this;
}

JsonWriter& JsonWriter::Key(std::string_view key) {
    BeforeValue();
    WriteEscaped(key);
    out_ << ": ";
    afterKey_ = true;
    return *this;
}

JsonWriter& JsonWriter::String(std::string_view utf8) {
    BeforeValue();
    WriteEscaped(utf8);
    return *this;
}

JsonWriter& JsonWriter::Number(int64_t value) {
    BeforeValue();
    out_ << value;
    return *this;
}

JsonWriter& JsonWriter::Number(double value) {
    BeforeValue();
    if (!std::isfinite(value)) {
        out_ << "null";
        return *this;
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.17g", value);
    out_ << buffer;
    return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
    BeforeValue();
    out_ << (value ? "true" : "false");
    return *this;
}

JsonWriter& JsonWriter::Null() {
    BeforeValue();
    out_ << "null";
    return *this;
}

void JsonWriter::WriteEscaped(std::string_view text) {
    // Printable escapes the backslash and every control character as JSON does; only the
    // quotation mark is left to escape.
    out_ << '"';
    for (const char c : Printable(text)) {
        if (c == '"') {
            out_ << "\\\"";
        } else {
            out_ << c;
        }
    }
    out_ << '"';
}

} // namespace filterutil
