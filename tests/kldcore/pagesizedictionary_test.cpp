#include <kldcore/pagesizedictionary.h>

#include "internal/pagesizetables.h"

#include <platformprinters.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace {

struct Row {
    std::string keyword;
    int width;
    int height; // 0 for a roll
};

// The keyword table as the project keeps it, read here on its own.
std::vector<Row> KeywordRows() {
    std::ifstream file(KLDCORE_DATA "/pagemediasize-keywords.tsv");
    std::string line;
    std::getline(file, line); // heading
    std::vector<Row> rows;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        Row row{};
        std::string width;
        std::string height;
        std::getline(fields, row.keyword, '\t');
        std::getline(fields, width, '\t');
        std::getline(fields, height, '\t');
        row.width = std::stoi(width);
        row.height = height.empty() ? 0 : std::stoi(height);
        rows.push_back(row);
    }
    return rows;
}

std::vector<std::string> Names(const std::vector<const PageSizeDictionaryEntry*>& entries) {
    std::vector<std::string> names;
    for (const PageSizeDictionaryEntry* entry : entries) {
        names.push_back(entry->GetMsPageMediaSizeOptionName().ToUtf8());
    }
    return names;
}

std::vector<const PageSizeDictionaryEntry*> Find(const PageSizeDictionary& dictionary, double width,
                                                 double height, Dimension::UnitsEnum unit) {
    return dictionary.GetPageSizeEntryRefs(Dimension(width, unit), Dimension(height, unit));
}

TEST(PageSizeDictionary, EveryKeywordOfTheTableIsFoundBySizeInMicrometresAndInTenthsOfAMillimetre) {
    const PageSizeDictionary dictionary(nullptr);
    const std::vector<Row> rows = KeywordRows();
    ASSERT_EQ(170u, rows.size());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.keyword);
        const PageSizeDictionaryEntry* entry = dictionary.FindByOptionName(row.keyword.c_str());
        ASSERT_NE(nullptr, entry);
        EXPECT_TRUE(entry->IsPredefinedMsOptionName());
        EXPECT_EQ(row.width, entry->GetWidthMicrons());
        EXPECT_EQ(row.height, entry->GetHeightMicrons());
        // A form stores the nearest tenth of a millimetre, a half rounded either way.
        for (const auto& [width, height, unit] :
             {std::tuple{double(row.width), double(row.height), Dimension::Micrometre},
              std::tuple{double((row.width + 50) / 100), double((row.height + 50) / 100),
                         Dimension::TenthMillimetre},
              std::tuple{double((row.width + 49) / 100), double((row.height + 49) / 100),
                         Dimension::TenthMillimetre}}) {
            const std::vector<std::string> names = Names(Find(dictionary, width, height, unit));
            EXPECT_NE(names.end(), std::find(names.begin(), names.end(), row.keyword))
                << width << " x " << height << " in unit " << unit;
        }
    }
}

TEST(PageSizeDictionary, SizesThatMatchNoEntryGiveNothing) {
    const PageSizeDictionary dictionary(nullptr);
    const struct {
        const char* what;
        double width;
        double height;
        Dimension::UnitsEnum unit;
    } cases[] = {
        {"a square of 100 mm", 1000, 1000, Dimension::TenthMillimetre},
        {"A4 a tenth of a millimetre too wide", 2101, 2970, Dimension::TenthMillimetre},
        {"A4 51 um too wide", 210051, 297000, Dimension::Micrometre},
        {"a roll's width with a length", 101600, 500000, Dimension::Micrometre},
        {"nothing at all", 0, 0, Dimension::Micrometre},
        {"a negative size", -2100, -2970, Dimension::TenthMillimetre},
        {"a size beyond every sheet", 1e12, 1e12, Dimension::Inch},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_TRUE(Find(dictionary, c.width, c.height, c.unit).empty());
    }
}

TEST(PageSizeDictionary, EntriesSharingASizeAreToldApartByTheirValueIds) {
    const PageSizeDictionary dictionary(nullptr);
    const std::vector<const PageSizeDictionaryEntry*> letter =
        Find(dictionary, 2159, 2794, Dimension::TenthMillimetre);
    ASSERT_EQ((std::vector<std::string>{"NorthAmericaLetter", "NorthAmericaNote", "LetterSmall"}),
              Names(letter));
    EXPECT_EQ(5101, letter[0]->GetValueId().GetValueEnum());
    EXPECT_EQ(5118, letter[1]->GetValueId().GetValueEnum());
    EXPECT_EQ(5102, letter[2]->GetValueId().GetValueEnum());
    EXPECT_FALSE(letter[2]->IsPredefinedMsOptionName());
    // A roll is found by its width and no length.
    EXPECT_EQ((std::vector<std::string>{"Roll04Inch"}),
              Names(Find(dictionary, 4, 0, Dimension::Inch)));
}

TEST(PageSizeDictionary, TheBuiltInPrintersFormsNameTheirKeywordsByValueId) {
    const PageSizeDictionary dictionary(nullptr);
    const platformprinters::Printer printer =
        platformprinters::FindPrinter(platformprinters::kBuiltinPrinterName);
    ASSERT_NE(nullptr, printer);
    int named = 0;
    for (const platformprinters::Form& form : printer->forms) {
        if (form.kind != 25001) {
            continue;
        }
        SCOPED_TRACE(CXString(form.name.c_str()).ToUtf8());
        bool found = false;
        for (const PageSizeDictionaryEntry* entry :
             Find(dictionary, form.width, form.height, Dimension::TenthMillimetre)) {
            found = found || entry->GetValueId().GetValueEnum() == form.paperSizeId;
        }
        EXPECT_TRUE(found);
        ++named;
    }
    EXPECT_GE(named, 5);
}

TEST(PageSizeDictionary, EveryValueIdAndOptionNameIsUsedOnce) {
    const PageSizeDictionary dictionary(nullptr);
    std::set<int> ids;
    std::set<std::string> names;
    for (const PageSizeDictionaryEntry& entry : dictionary.GetEntries()) {
        EXPECT_TRUE(ids.insert(entry.GetValueId().GetValueEnum()).second);
        EXPECT_TRUE(names.insert(entry.GetMsPageMediaSizeOptionName().ToUtf8()).second);
    }
    EXPECT_EQ(185u, dictionary.GetEntries().size());
}

class OneName : public PageSizeStringLoader {
public:
    bool LoadDisplayName(const ValueId& id, CXString* name) const override {
        if (id.GetValueEnum() != 5109) {
            return false;
        }
        *name = u"A4 (210 × 297 mm)";
        return true;
    }
};

TEST(PageSizeDictionary, DumpListsEveryEntryReadably) {
    const OneName loader;
    const PageSizeDictionary dictionary(&loader);
    const std::string text = dictionary.Dump().ToUtf8();
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ("Page size dictionary: 185 sizes, 170 Print Schema keywords and 15 of the "
              "driver's own",
              line);
    std::vector<std::string> body;
    while (std::getline(lines, line)) {
        body.push_back(line);
    }
    ASSERT_EQ(1u + 185u, body.size()); // the column heading, then the entries
    const auto lineOf = [&](const std::string& name) {
        for (const std::string& l : body) {
            if (l.find(" " + name + " ") != std::string::npos) {
                return l;
            }
        }
        return std::string();
    };
    const std::string a4 = lineOf("ISOA4");
    for (const char* part :
         {"5109", "keywords", "210000 x 297000", "8.27 x 11.69", "\"A4 (210 × 297 mm)\""}) {
        EXPECT_NE(std::string::npos, a4.find(part)) << a4;
    }
    EXPECT_NE(std::string::npos, lineOf("Roll04Inch").find("101600 x roll"));
    EXPECT_NE(std::string::npos, lineOf("LetterSmall").find("private"));
    EXPECT_EQ(std::string::npos, lineOf("ISOA3").find('"')); // no display name of its own
}

TEST(PaperSizeTables, MalformedTablesAreRefusedNamingTheLine) {
    const std::string keywords = "keyword\twidth_um\theight_um\nISOA4\t210000\t297000\n";
    const std::string driver = "name\tvalue_id\twidth_um\theight_um\nISOA4\t5109\t\t\n";
    EXPECT_EQ(1u, kldcore::ReadPaperSizeTables(keywords, driver).size());
    const struct {
        const char* what;
        std::string keywords;
        std::string driver;
        const char* message;
    } cases[] = {
        {"empty keyword table", "", driver, "empty"},
        {"a keyword without its height column", keywords + "ISOA5\t148000\n", driver, "line 3"},
        {"a width that is no number", keywords + "ISOA5\twide\t210000\n", driver, "the width"},
        {"a negative height", keywords + "ISOA5\t148000\t-1\n", driver, "the height"},
        {"a width beyond int", keywords + "ISOA5\t99999999999\t1\n", driver, "the width"},
        {"a keyword twice", keywords + "ISOA4\t1\t1\n", driver, "given twice"},
        {"a keyword without a value id", keywords + "ISOA5\t148000\t210000\n", driver,
         "ISOA5 has no value id"},
        {"a value id twice", keywords, driver + "Own\t5109\t1\t1\n", "value id 5109"},
        {"a keyword with a size of its own", keywords,
         "name\tvalue_id\twidth_um\theight_um\nISOA4\t5109\t1\t1\n", "takes its size"},
        {"a size of the driver's without a length", keywords, driver + "Own\t5200\t1\t\n",
         "the height"},
        {"a name that is no XML name", keywords, driver + "A4 Own\t5200\t1\t1\n", "line 3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            kldcore::ReadPaperSizeTables(c.keywords, c.driver);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string::npos, std::string(error.what()).find(c.message)) << error.what();
        }
    }
}

} // namespace
