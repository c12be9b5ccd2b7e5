// Small reads of the DOM that the tool needs to enumerate a document: framework children,
// name attributes and positional paths for the library's value queries.
#pragma once

#include <atlbase.h>
#include <msxml6.h>

#include <optional>
#include <string>
#include <vector>

namespace filterutil {

// The element children of parent in the Print Schema framework namespace with that local
// name, in document order.
std::vector<CComPtr<IXMLDOMNode>> FrameworkChildren(IXMLDOMNode* parent,
                                                    std::u16string_view localName);

// The value of the node's "name" attribute, if it has one.
std::optional<std::u16string> NameAttribute(IXMLDOMNode* node);

// An XPath expression that selects exactly this element from the document node, by the
// positions of its ancestors among their element siblings ("/*[1]/*[3]/*[2]"). It names no
// prefix, so it works whatever prefixes the document uses.
std::u16string PositionalPath(IXMLDOMNode* element);

} // namespace filterutil
