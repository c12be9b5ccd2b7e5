// A small streaming JSON writer: objects, arrays, strings (UTF-8, escaped), numbers, booleans
// and null, with two-space indentation or, compact, all on one line.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace filterutil {

class JsonWriter {
public:
    explicit JsonWriter(std::ostream& out, bool compact = false) : out_(out), compact_(compact) {}
    ~JsonWriter();

    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    JsonWriter& Key(std::string_view key);
    JsonWriter& String(std::string_view utf8);
    JsonWriter& Number(int64_t value);
    JsonWriter& Number(double value);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();

private:
    void BeforeValue();
    void Newline();
    void WriteEscaped(std::string_view text);

    struct Level {
        bool isObject;
        bool empty;
    };
    std::ostream& out_;
    std::vector<Level> levels_;
    bool compact_;
    bool afterKey_ = false;
};

} // namespace filterutil
