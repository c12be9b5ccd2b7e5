// PrintTicketQueryBuilder assembles the XPath expressions with which Print Schema documents
// select features, options, properties, scored properties, parameters and values.
//
// A builder is made with the framework prefix of the document that will run the query (with its
// trailing colon, as PrintSchemaXmlDocument holds it) and collects one fixed step per call. It
// never touches a document. Element names in the steps carry the framework prefix, the only
// prefix a document declares for selection; keyword names are compared as quoted attribute
// literals that carry their own prefix text, so prefix and local name are simply joined.
//
// Every operation reports failure by raising KeldanComException; a failed string copy raises
// ATL::CAtlException(E_OUTOFMEMORY).
//
// Names and prefixes arrive either as BSTRs (length from SysStringLen, null is empty) or, from
// code that holds a literal, as string views; a literal never reaches the BSTR overloads.
#pragma once

#include <filterutilities/filterutilitiesexport.h>

#include <atlbase.h>
#include <oleauto.h>

#include <string_view>

class FILTERUTILITIES_API PrintTicketQueryBuilder {
public:
    explicit PrintTicketQueryBuilder(const WCHAR* prefix);
    PrintTicketQueryBuilder(const WCHAR* prefix, const WCHAR* query);
    PrintTicketQueryBuilder(const PrintTicketQueryBuilder& other);
    PrintTicketQueryBuilder& operator=(const PrintTicketQueryBuilder& other);
    virtual ~PrintTicketQueryBuilder();

    // Forgets the expression; the prefix stays.
    void Clear() noexcept;

    // Frees what *query holds and stores a new copy of the expression (null when there is
    // none). The caller owns the copy.
    void GetQuery(BSTR* query) const;

    // The expression as held, still owned by the builder (null when there is none): for
    // callers that run the query at once and need no copy.
    BSTR QueryText() const noexcept { return m_query.m_str; }

    // //F:Feature[@name = "N"], where N is the name prefix (when not empty) and the name.
    void AddFeature(BSTR namePrefix, BSTR name);
    void AddFeature(std::u16string_view namePrefix, std::u16string_view name);
    // //F:Property[@name = "N"]
    void AddProperty(BSTR namePrefix, BSTR name);
    void AddProperty(std::u16string_view namePrefix, std::u16string_view name);
    // /F:Property[@name = "N"]
    void AddChildProperty(BSTR namePrefix, BSTR name);
    void AddChildProperty(std::u16string_view namePrefix, std::u16string_view name);
    // /F:Property[@name = "N"]/F:Value
    void AddChildPropertyValue(BSTR namePrefix, BSTR name);
    void AddChildPropertyValue(std::u16string_view namePrefix, std::u16string_view name);
    // //F:ScoredProperty[@name = "N"]
    void AddScoredProperty(BSTR namePrefix, BSTR name);
    void AddScoredProperty(std::u16string_view namePrefix, std::u16string_view name);
    // //F:ParameterRef[@name = "N"]
    void AddParameterRef(BSTR namePrefix, BSTR name);
    void AddParameterRef(std::u16string_view namePrefix, std::u16string_view name);
    // //F:ParameterDef[@name = "N"]
    void AddParameterDef(BSTR namePrefix, BSTR name);
    void AddParameterDef(std::u16string_view namePrefix, std::u16string_view name);
    // //F:ParameterInit[@name = "N"]
    void AddParameterInit(BSTR namePrefix, BSTR name);
    void AddParameterInit(std::u16string_view namePrefix, std::u16string_view name);
    // /F:Option[@name = "N"]
    void AddChildOptionName(BSTR namePrefix, BSTR name);
    void AddChildOptionName(std::u16string_view namePrefix, std::u16string_view name);
    // /F:Value
    void AddValue();
    // The union "Q/F:Option | Q/F:ScoredProperty[@name = "KOptionName"]/F:Value" of the query
    // Q built so far: the option of a feature, or the value of the feature's own OptionName
    // scored property. K is the keywords prefix (with its colon).
    void AddOption(const WCHAR* optionNamePrefix);

private:
    void AddNamedStep(std::u16string_view axis, std::u16string_view element,
                      std::u16string_view namePrefix, std::u16string_view name,
                      std::u16string_view tail);
    void RequirePrefix() const;

    CComBSTR m_query;
    CComBSTR m_prefix;
};
