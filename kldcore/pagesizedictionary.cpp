#include <kldcore/pagesizedictionary.h>

#include "internal/pagesizetables.h"

#include <cmath>
#include <cstdio>
#include <string>

PageSizeDictionaryEntry::PageSizeDictionaryEntry(ValueId id, const CXString& optionName,
                                                 bool predefined, int widthMicrons,
                                                 int heightMicrons, const CXString& displayName)
    : m_id(id), m_optionName(optionName), m_predefined(predefined), m_width(widthMicrons),
      m_height(heightMicrons), m_displayName(displayName) {}

const ValueId& PageSizeDictionaryEntry::GetValueId() const {
    return m_id;
}
const CXString& PageSizeDictionaryEntry::GetMsPageMediaSizeOptionName() const {
    return m_optionName;
}
bool PageSizeDictionaryEntry::IsPredefinedMsOptionName() const {
    return m_predefined;
}
int PageSizeDictionaryEntry::GetWidthMicrons() const {
    return m_width;
}
int PageSizeDictionaryEntry::GetHeightMicrons() const {
    return m_height;
}
const CXString& PageSizeDictionaryEntry::GetDisplayName() const {
    return m_displayName;
}

struct PageSizeDictionary::Table {
    std::vector<PageSizeDictionaryEntry> entries;
};

PageSizeDictionary::PageSizeDictionary(const PageSizeStringLoader* loader) : m_table(new Table) {
    try {
        const std::vector<kldcore::PaperSizeRow> rows = kldcore::ReadPaperSizeTables(
            kldcore::kPrintSchemaKeywordTable, kldcore::kDriverPaperSizeTable);
        m_table->entries.reserve(rows.size());
        for (const kldcore::PaperSizeRow& row : rows) {
            const ValueId id(static_cast<DataModelIds::tagValueEnum>(row.valueId));
            const CXString name(row.name.c_str());
            CXString display = name;
            if (loader && !loader->LoadDisplayName(id, &display)) {
                display = name;
            }
            m_table->entries.emplace_back(id, name, row.predefined, row.width, row.height, display);
        }
    } catch (...) {
        delete m_table;
        throw;
    }
}

PageSizeDictionary::~PageSizeDictionary() {
    delete m_table;
}

std::vector<const PageSizeDictionaryEntry*>
PageSizeDictionary::GetPageSizeEntryRefs(const Dimension& width, const Dimension& height) const {
    // Half a unit of the query's own unit, in micrometres: the query cannot say more than that.
    const double widthSlack =
        Dimension(0.5, width.GetUnits()).GetValue(Dimension::Micrometre).GetDoubleValue();
    const double heightSlack =
        Dimension(0.5, height.GetUnits()).GetValue(Dimension::Micrometre).GetDoubleValue();
    const double w = width.GetValue(Dimension::Micrometre).GetDoubleValue();
    const double h = height.GetValue(Dimension::Micrometre).GetDoubleValue();
    // A margin for the rounding of the unit factors, far below any unit's half.
    constexpr double kRounding = 1e-6;
    std::vector<const PageSizeDictionaryEntry*> matches;
    for (const PageSizeDictionaryEntry& entry : m_table->entries) {
        if (std::fabs(entry.GetWidthMicrons() - w) <= widthSlack + kRounding &&
            std::fabs(entry.GetHeightMicrons() - h) <= heightSlack + kRounding) {
            matches.push_back(&entry);
        }
    }
    return matches;
}

CXString PageSizeDictionary::Dump() const {
    size_t predefined = 0;
    for (const PageSizeDictionaryEntry& entry : m_table->entries) {
        predefined += entry.IsPredefinedMsOptionName() ? 1 : 0;
    }
    std::string text = "Page size dictionary: " + std::to_string(m_table->entries.size()) +
                       " sizes, " + std::to_string(predefined) + " Print Schema keywords and " +
                       std::to_string(m_table->entries.size() - predefined) +
                       " of the driver's own\n";
    text += "value id  option name                                  namespace   "
            "width x height (um)   width x height (in)\n";
    char line[512];
    for (const PageSizeDictionaryEntry& entry : m_table->entries) {
        const std::string name = entry.GetMsPageMediaSizeOptionName().ToUtf8();
        const char* space = entry.IsPredefinedMsOptionName() ? "keywords" : "private";
        const double inchW = entry.GetWidthMicrons() / 25400.0;
        if (entry.GetHeightMicrons() == 0) {
            std::snprintf(line, sizeof line, "%8d  %-44s %-10s %8d x roll       %7.2f x roll",
                          static_cast<int>(entry.GetValueId().GetValueEnum()), name.c_str(), space,
                          entry.GetWidthMicrons(), inchW);
        } else {
            std::snprintf(line, sizeof line, "%8d  %-44s %-10s %8d x %-9d  %7.2f x %.2f",
                          static_cast<int>(entry.GetValueId().GetValueEnum()), name.c_str(), space,
                          entry.GetWidthMicrons(), entry.GetHeightMicrons(), inchW,
                          entry.GetHeightMicrons() / 25400.0);
        }
        text += line;
        const std::string display = entry.GetDisplayName().ToUtf8();
        if (display != name) {
            text += "  \"" + display + "\"";
        }
        text += '\n';
    }
    return CXString(text.c_str());
}

const std::vector<PageSizeDictionaryEntry>& PageSizeDictionary::GetEntries() const {
    return m_table->entries;
}

const PageSizeDictionaryEntry*
PageSizeDictionary::FindByOptionName(const CXString& optionName) const {
    for (const PageSizeDictionaryEntry& entry : m_table->entries) {
        if (entry.GetMsPageMediaSizeOptionName().Compare(optionName) == 0) {
            return &entry;
        }
    }
    return nullptr;
}
