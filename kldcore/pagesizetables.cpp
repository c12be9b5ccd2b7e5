#include "internal/pagesizetables.h"

#include <charconv>
#include <map>
#include <set>
#include <stdexcept>

namespace kldcore {
namespace {

struct Line {
    int number;
    std::vector<std::string_view> fields;
};

// Every line after the heading, split at tabs. A last line without its newline counts; an
// empty last line does not.
std::vector<Line> Rows(std::string_view table, const char* tableName) {
    std::vector<Line> rows;
    int number = 0;
    while (!table.empty()) {
        const size_t end = table.find('\n');
        std::string_view text = table.substr(0, end);
        table = end == std::string_view::npos ? std::string_view() : table.substr(end + 1);
        if (!text.empty() && text.back() == '\r') {
            text.remove_suffix(1);
        }
        if (++number == 1) {
            continue;
        }
        Line line{number, {}};
        for (;;) {
            const size_t tab = text.find('\t');
            line.fields.push_back(text.substr(0, tab));
            if (tab == std::string_view::npos) {
                break;
            }
            text.remove_prefix(tab + 1);
        }
        rows.push_back(std::move(line));
    }
    if (number == 0) {
        throw std::invalid_argument(std::string(tableName) + ": empty");
    }
    return rows;
}

[[noreturn]] void Refuse(const char* tableName, const Line& line, const std::string& why) {
    throw std::invalid_argument(std::string(tableName) + " line " + std::to_string(line.number) +
                                ": " + why);
}

// A whole number; empty gives 0 when allowed.
int Whole(const char* tableName, const Line& line, std::string_view text, bool emptyIsZero,
          const char* what) {
    if (text.empty() && emptyIsZero) {
        return 0;
    }
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value <= 0) {
        Refuse(tableName, line, std::string(what) + " is not a positive whole number");
    }
    return value;
}

bool IsName(std::string_view name) {
    if (name.empty()) {
        return false;
    }
    for (const char c : name) {
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!letter && !(c >= '0' && c <= '9') && c != '_') {
            return false;
        }
    }
    return !(name[0] >= '0' && name[0] <= '9');
}

} // namespace

std::vector<PaperSizeRow> ReadPaperSizeTables(std::string_view keywords, std::string_view driver) {
    const char* keywordTable = "pagemediasize-keywords.tsv";
    const char* driverTable = "driver-paper-sizes.tsv";
    std::vector<PaperSizeRow> result;
    std::map<std::string, size_t, std::less<>> keywordIndex;
    for (const Line& line : Rows(keywords, keywordTable)) {
        if (line.fields.size() != 3 || !IsName(line.fields[0])) {
            Refuse(keywordTable, line, "not a keyword, a width and a height");
        }
        PaperSizeRow row;
        row.name = line.fields[0];
        row.predefined = true;
        row.width = Whole(keywordTable, line, line.fields[1], false, "the width");
        row.height = Whole(keywordTable, line, line.fields[2], true, "the height");
        if (!keywordIndex.emplace(row.name, result.size()).second) {
            Refuse(keywordTable, line, "keyword " + row.name + " given twice");
        }
        result.push_back(std::move(row));
    }
    std::set<int> valueIds;
    std::set<std::string, std::less<>> driverNames;
    for (const Line& line : Rows(driver, driverTable)) {
        if (line.fields.size() != 4 || !IsName(line.fields[0])) {
            Refuse(driverTable, line, "not a name, a value id, a width and a height");
        }
        const std::string name(line.fields[0]);
        const int valueId = Whole(driverTable, line, line.fields[1], false, "the value id");
        if (!valueIds.insert(valueId).second) {
            Refuse(driverTable, line, "value id " + std::to_string(valueId) + " given twice");
        }
        if (!driverNames.insert(name).second) {
            Refuse(driverTable, line, name + " given twice");
        }
        const auto keyword = keywordIndex.find(name);
        if (keyword != keywordIndex.end()) {
            if (!line.fields[2].empty() || !line.fields[3].empty()) {
                Refuse(driverTable, line, "keyword " + name + " takes its size from the keywords");
            }
            result[keyword->second].valueId = valueId;
            continue;
        }
        PaperSizeRow row;
        row.name = name;
        row.valueId = valueId;
        row.width = Whole(driverTable, line, line.fields[2], false, "the width");
        row.height = Whole(driverTable, line, line.fields[3], false, "the height");
        result.push_back(std::move(row));
    }
    for (const PaperSizeRow& row : result) {
        if (row.valueId == 0) {
            throw std::invalid_argument(std::string(driverTable) + ": keyword " + row.name +
                                        " has no value id");
        }
    }
    return result;
}

} // namespace kldcore
