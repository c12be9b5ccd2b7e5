// The core library's paper size tables: the text compiled in, and its reading.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kldcore {

// The two tables as compiled in (data/README.md).
extern const std::string_view kPrintSchemaKeywordTable;
extern const std::string_view kDriverPaperSizeTable;

struct PaperSizeRow {
    std::string name;
    int valueId = 0;
    bool predefined = false; // a Print Schema keyword
    int width = 0;           // micrometres
    int height = 0;          // micrometres; 0 for a roll
};

// The rows of the dictionary: the keywords in the keyword table's order with the value ids the
// driver table gives them, then the driver's own sizes in its order. Each table starts with
// its heading line; fields are separated by tabs; a keyword row of the driver table leaves
// both sizes empty, a row of the driver's own gives both. Throws std::invalid_argument naming
// the line for a malformed row, a keyword with no value id or with two, a value id or name
// used twice, a size that is not a positive whole number of micrometres.
std::vector<PaperSizeRow> ReadPaperSizeTables(std::string_view keywords, std::string_view driver);

} // namespace kldcore
