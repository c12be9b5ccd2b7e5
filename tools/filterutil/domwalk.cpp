#include "domwalk.h"

#include "toolerror.h"

#include <filterutilities/printschemaxmldocument.h>

#include <algorithm>

namespace filterutil {
namespace {

std::u16string Text(const CComBSTR& text) {
    return std::u16string(text.m_str, text.Length());
}

bool IsElement(IXMLDOMNode* node) {
    DOMNodeType type = NODE_INVALID;
    return SUCCEEDED(node->get_nodeType(&type)) && type == NODE_ELEMENT;
}

} // namespace

std::vector<CComPtr<IXMLDOMNode>> FrameworkChildren(IXMLDOMNode* parent,
                                                    std::u16string_view localName) {
    std::vector<CComPtr<IXMLDOMNode>> found;
    CComPtr<IXMLDOMNode> child;
    parent->get_firstChild(&child);
    while (child) {
        if (IsElement(child)) {
            CComBSTR name;
            CComBSTR uri;
            child->get_baseName(&name);
            child->get_namespaceURI(&uri);
            if (Text(name) == localName && Text(uri) == PrintSchema::FrameworkNamespaceUri) {
                found.push_back(child);
            }
        }
        CComPtr<IXMLDOMNode> next;
        child->get_nextSibling(&next);
        child = next;
    }
    return found;
}

std::optional<std::u16string> NameAttribute(IXMLDOMNode* node) {
    CComPtr<IXMLDOMNamedNodeMap> attributes;
    if (FAILED(node->get_attributes(&attributes)) || !attributes) {
        return std::nullopt;
    }
    CComBSTR name(u"name");
    CComPtr<IXMLDOMNode> attribute;
    if (attributes->getNamedItem(name, &attribute) != S_OK || !attribute) {
        return std::nullopt;
    }
    VARIANT value;
    VariantInit(&value);
    std::optional<std::u16string> text;
    if (SUCCEEDED(attribute->get_nodeValue(&value)) && value.vt == VT_BSTR) {
        text = std::u16string(value.bstrVal, SysStringLen(value.bstrVal));
    }
    VariantClear(&value);
    return text;
}

std::u16string PositionalPath(IXMLDOMNode* element) {
    std::vector<int> positions;
    CComPtr<IXMLDOMNode> node(element);
    while (node && IsElement(node)) {
        int position = 1;
        CComPtr<IXMLDOMNode> sibling;
        node->get_previousSibling(&sibling);
        while (sibling) {
            if (IsElement(sibling)) {
                ++position;
            }
            CComPtr<IXMLDOMNode> previous;
            sibling->get_previousSibling(&previous);
            sibling = previous;
        }
        positions.push_back(position);
        CComPtr<IXMLDOMNode> parent;
        node->get_parentNode(&parent);
        node = parent;
    }
    std::reverse(positions.begin(), positions.end());
    std::u16string path;
    for (const int position : positions) {
        path += u"/*[";
        for (const char digit : std::to_string(position)) {
            path += static_cast<char16_t>(digit);
        }
        path += u"]";
    }
    return path;
}

} // namespace filterutil
