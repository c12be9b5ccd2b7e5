// XPath 1.0 selection for the DOM: the namespaces of the "SelectionNamespaces" property, and
// the evaluation of a query from a context node. The prefixes a document itself declares are
// never visible to a query.
#pragma once

#include "oleauto.h"

#include <libxml/xpath.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace platform::msxml {

class SelectionNamespaces {
public:
    // Parses declarations such as xmlns:a='u1' xmlns:b="u2" and replaces the whole mapping.
    // E_FAIL, leaving no mapping, for anything else (a default namespace, an empty URI, a
    // prefix declared twice).
    HRESULT Set(std::u16string_view text);
    const std::u16string& Text() const { return text_; }

private:
    friend class XPathQuery;
    std::u16string text_;
    std::vector<std::pair<std::string, std::string>> bindings_; // prefix, URI (UTF-8)
    uint64_t generation_ = 0; // identifies this mapping to the evaluator's cache
};

// The nodes a query selects, in document order without duplicates.
class XPathQuery {
public:
    XPathQuery() = default;
    XPathQuery(const XPathQuery&) = delete;
    XPathQuery& operator=(const XPathQuery&) = delete;
    ~XPathQuery() { xmlXPathFreeObject(result_); }

    // E_INVALIDARG for a null query; E_FAIL for a syntax error, an undeclared prefix or a
    // result that is not a node-set.
    HRESULT Run(const SelectionNamespaces& namespaces, xmlNodePtr context, BSTR query);

    int Count() const { return result_ && result_->nodesetval ? result_->nodesetval->nodeNr : 0; }
    xmlNodePtr Node(int i) const { return result_->nodesetval->nodeTab[i]; }

private:
    xmlXPathObjectPtr result_ = nullptr;
};

} // namespace platform::msxml
