#include <filterutilities/printticketquerybuilder.h>

#include <filterutilities/errorconvention.h>
#include <filterutilities/schematext.h>

using SchemaText::View;

namespace {

constexpr std::u16string_view kNameOpen = u"[@name = \"";
constexpr std::u16string_view kNameClose = u"\"]";

// A name is put between double quotes in the expression, and XPath 1.0 literals have no
// escape: a quote inside would end the literal early and let the rest of the name select
// other nodes. No Print Schema name (a QName) contains one, so such a name is refused.
void RequireQuotable(std::u16string_view text) {
    if (text.find(u'"') != std::u16string_view::npos) {
        FU_THROW_HR(E_INVALIDARG);
    }
}

} // namespace

PrintTicketQueryBuilder::PrintTicketQueryBuilder(const WCHAR* prefix) : m_prefix(prefix) {}

PrintTicketQueryBuilder::PrintTicketQueryBuilder(const WCHAR* prefix, const WCHAR* query)
    : m_query(query), m_prefix(prefix) {}

PrintTicketQueryBuilder::PrintTicketQueryBuilder(const PrintTicketQueryBuilder& other) = default;

PrintTicketQueryBuilder&
PrintTicketQueryBuilder::operator=(const PrintTicketQueryBuilder& other) = default;

PrintTicketQueryBuilder::~PrintTicketQueryBuilder() = default;

void PrintTicketQueryBuilder::Clear() noexcept {
    m_query.Empty();
}

void PrintTicketQueryBuilder::GetQuery(BSTR* query) const {
    if (!query) {
        FU_THROW_HR(E_POINTER);
    }
    ::SysFreeString(*query);
    *query = nullptr;
    if (m_query.m_str) {
        *query = m_query.Copy();
        if (!*query) {
            FU_THROW_HR(E_OUTOFMEMORY);
        }
    }
}

void PrintTicketQueryBuilder::RequirePrefix() const {
    if (m_prefix.Length() == 0) {
        FU_THROW_HR(E_FAIL);
    }
}

void PrintTicketQueryBuilder::AddNamedStep(std::u16string_view axis, std::u16string_view element,
                                           std::u16string_view namePrefix, std::u16string_view name,
                                           std::u16string_view tail) {
    RequirePrefix();
    RequireQuotable(namePrefix);
    RequireQuotable(name);
    const std::u16string_view prefix = View(m_prefix);
    if (tail.empty()) {
        SchemaText::Append(m_query,
                           {axis, prefix, element, kNameOpen, namePrefix, name, kNameClose});
    } else {
        SchemaText::Append(m_query, {axis, prefix, element, kNameOpen, namePrefix, name, kNameClose,
                                     tail, prefix, u"Value"});
    }
}

void PrintTicketQueryBuilder::AddFeature(BSTR namePrefix, BSTR name) {
    AddFeature(View(namePrefix), View(name));
}
void PrintTicketQueryBuilder::AddFeature(std::u16string_view namePrefix, std::u16string_view name) {
    AddNamedStep(u"//", u"Feature", namePrefix, name, {});
}

void PrintTicketQueryBuilder::AddProperty(BSTR namePrefix, BSTR name) {
    AddProperty(View(namePrefix), View(name));
}
void PrintTicketQueryBuilder::AddProperty(std::u16string_view namePrefix,
                                          std::u16string_view name) {
    AddNamedStep(u"//", u"Property", namePrefix, name, {});
}

void PrintTicketQueryBuilder::AddChildProperty(BSTR namePrefix, BSTR name) {
    AddChildProperty(View(namePrefix), View(name));
}
void PrintTicketQueryBuilder::AddChildProperty(std::u16string_view namePrefix,
                                               std::u16string_view name) {
    AddNamedStep(u"/", u"Property", namePrefix, name, {});
}

void PrintTicketQueryBuilder::AddChildPropertyValue(BSTR namePrefix, BSTR name) {
    AddChildPropertyValue(View(namePrefix), View(name));
}
void PrintTicketQueryBuilder::AddChildPropertyValue(std::u16string_view namePrefix,
                                                    std::u16string_view name) {
    AddNamedStep(u"/", u"Property", namePrefix, name, u"/");
}

void PrintTicketQueryBuilder::AddScoredProperty(BSTR namePrefix, BSTR name) {
    AddScoredProperty(View(namePrefix), View(name));
}
void PrintTicketQueryBuilder::AddScoredProperty(std::u16string_view namePrefix,
                                                std::u16string_view name) {
    AddNamedStep(u"//", u"ScoredProperty", namePrefix, name, {});
}

void PrintTicketQueryBuilder::AddParameterRef(BSTR namePrefix, BSTR name) {
    AddParameterRef(View(namePrefix), View(name));
}
void PrintTicketQueryBuilder::AddParameterRef(std::u16string_view namePrefix,
                                              std::u16string_view name) {
    AddNamedStep(u"//", u"ParameterRef", namePrefix, name, {});
}

void PrintTicketQueryBuilder::AddParameterDef(BSTR namePrefix, BSTR name) {
    AddParameterDef(View(namePrefix), View(name));
}
void PrintTicketQueryBuilder::AddParameterDef(std::u16string_view namePrefix,
                                              std::u16string_view name) {
    AddNamedStep(u"//", u"ParameterDef", namePrefix, name, {});
}

void PrintTicketQueryBuilder::AddParameterInit(BSTR namePrefix, BSTR name) {
    AddParameterInit(View(namePrefix), View(name));
}
void PrintTicketQueryBuilder::AddParameterInit(std::u16string_view namePrefix,
                                               std::u16string_view name) {
    AddNamedStep(u"//", u"ParameterInit", namePrefix, name, {});
}

void PrintTicketQueryBuilder::AddChildOptionName(BSTR namePrefix, BSTR name) {
    AddChildOptionName(View(namePrefix), View(name));
}
void PrintTicketQueryBuilder::AddChildOptionName(std::u16string_view namePrefix,
                                                 std::u16string_view name) {
    AddNamedStep(u"/", u"Option", namePrefix, name, {});
}

void PrintTicketQueryBuilder::AddValue() {
    RequirePrefix();
    SchemaText::Append(m_query, {u"/", View(m_prefix), u"Value"});
}

void PrintTicketQueryBuilder::AddOption(const WCHAR* optionNamePrefix) {
    RequirePrefix();
    const std::u16string_view keywords =
        optionNamePrefix ? std::u16string_view(optionNamePrefix) : std::u16string_view();
    RequireQuotable(keywords);
    const std::u16string_view prefix = View(m_prefix);
    // Q/F:Option | Q/F:ScoredProperty[@name = "KOptionName"]/F:Value in one allocation:
    // Append copies every piece, the old query Q among them, before it frees the old string.
    const std::u16string_view query = View(m_query);
    SchemaText::Append(m_query,
                       {u"/", prefix, u"Option", u" | ", query, u"/", prefix, u"ScoredProperty",
                        kNameOpen, keywords, u"OptionName", kNameClose, u"/", prefix, u"Value"});
}
