// IXMLDOMNode over a libxml2 node: what every node object (and the document) answers.
#include "domnode.h"

#include "domattributemap.h"
#include "domdocument.h"
#include "domnodelist.h"
#include "domserializer.h"
#include "xmldeclaration.h"
#include "xmltext.h"

namespace platform::msxml::nodeops {
namespace {

bool IsDeclaration(xmlNodePtr node) {
    return node->type == XML_PI_NODE && Equal(node->name, "xml");
}

bool IsElementOrAttribute(xmlNodePtr node) {
    return node->type == XML_ELEMENT_NODE || node->type == XML_ATTRIBUTE_NODE;
}

xmlNsPtr NamespaceOf(xmlNodePtr node) {
    if (node->type == XML_ATTRIBUTE_NODE) {
        return reinterpret_cast<xmlAttrPtr>(node)->ns;
    }
    return node->type == XML_ELEMENT_NODE ? node->ns : nullptr;
}

xmlDocPtr DocOf(xmlNodePtr node) {
    return node->type == XML_DOCUMENT_NODE ? reinterpret_cast<xmlDocPtr>(node) : node->doc;
}

HRESULT Nothing(IXMLDOMNode** out) {
    *out = nullptr;
    return S_FALSE;
}

HRESULT WrapOrNothing(DomDocument& doc, xmlNodePtr node, IXMLDOMNode** out) {
    return node ? doc.Wrap(node, out) : Nothing(out);
}

// The text of node's descendant text and CDATA nodes, in document order.
void AppendDescendantText(xmlNodePtr root, std::string& out) {
    xmlNodePtr cur = root->children;
    while (cur) {
        if (cur->type == XML_TEXT_NODE || cur->type == XML_CDATA_SECTION_NODE) {
            out += Chars(cur->content);
        } else if (cur->type == XML_ELEMENT_NODE && cur->children) {
            cur = cur->children;
            continue;
        }
        while (!cur->next && cur->parent != root) {
            cur = cur->parent;
        }
        cur = cur->next;
    }
}

// A node that belongs to this document, as a caller hands it in.
xmlNodePtr OurNode(DomDocument& doc, IXMLDOMNode* node) {
    DomNodeCore* core = FindCore(node);
    if (!core || &core->Owner() != &doc || core->Declaration()) {
        return nullptr;
    }
    return core->Node();
}

// Whether child may go under parent before `before` (null: last), `replacing` leaving.
HRESULT CheckInsert(xmlNodePtr parent, xmlNodePtr child, xmlNodePtr before, xmlNodePtr replacing) {
    if (parent->type != XML_ELEMENT_NODE && parent->type != XML_DOCUMENT_NODE) {
        return E_FAIL;
    }
    switch (child->type) {
    case XML_ELEMENT_NODE:
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
        break;
    default:
        return E_FAIL;
    }
    if (DocOf(child) != DocOf(parent) || DomStore::IsAncestorOrSelf(child, parent)) {
        return E_INVALIDARG;
    }
    const bool declaration = IsDeclaration(child);
    if (parent->type == XML_ELEMENT_NODE) {
        return declaration ? E_FAIL : S_OK;
    }
    // The document: one element, no text, the XML declaration only first.
    if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) {
        return E_FAIL;
    }
    bool othersBefore = false;
    bool beforeInsertionPoint = true;
    for (xmlNodePtr other = parent->children; other; other = other->next) {
        if (other == before) {
            beforeInsertionPoint = false;
        }
        if (other == child || other == replacing) {
            continue;
        }
        if (beforeInsertionPoint) {
            othersBefore = true;
        }
        if (child->type == XML_ELEMENT_NODE && other->type == XML_ELEMENT_NODE) {
            return E_FAIL;
        }
        if (declaration && IsDeclaration(other)) {
            return E_FAIL;
        }
    }
    if (declaration && othersBefore) {
        return E_FAIL;
    }
    if (!declaration && before && IsDeclaration(before) && before != replacing) {
        return E_FAIL;
    }
    return S_OK;
}

} // namespace

HRESULT CheckContent(xmlNodePtr node, const std::string& utf8) {
    switch (node->type) {
    case XML_COMMENT_NODE:
        if (utf8.find("--") != std::string::npos || (!utf8.empty() && utf8.back() == '-')) {
            return E_FAIL;
        }
        return S_OK;
    case XML_PI_NODE:
        if (utf8.find("?>") != std::string::npos) {
            return E_FAIL;
        }
        if (IsDeclaration(node)) {
            XmlDeclaration declaration;
            return ParseXmlDeclaration(utf8, declaration) ? S_OK : E_FAIL;
        }
        return S_OK;
    default:
        return S_OK;
    }
}

HRESULT NodeName(xmlNodePtr node, BSTR* name) {
    if (!name) {
        return E_INVALIDARG;
    }
    switch (node->type) {
    case XML_ELEMENT_NODE:
    case XML_ATTRIBUTE_NODE: {
        std::string qname;
        AppendQName(node, qname);
        return ReturnBstr(qname, name);
    }
    case XML_TEXT_NODE:
        return ReturnBstr("#text", name);
    case XML_CDATA_SECTION_NODE:
        return ReturnBstr("#cdata-section", name);
    case XML_COMMENT_NODE:
        return ReturnBstr("#comment", name);
    case XML_DOCUMENT_NODE:
        return ReturnBstr("#document", name);
    case XML_PI_NODE:
        return ReturnBstr(node->name, name);
    default:
        *name = nullptr;
        return E_FAIL;
    }
}

HRESULT NodeValue(xmlNodePtr node, VARIANT* value) {
    if (!value) {
        return E_INVALIDARG;
    }
    VariantInit(value);
    switch (node->type) {
    case XML_ATTRIBUTE_NODE:
        return ReturnVariantBstr(attributes::Value(reinterpret_cast<xmlAttrPtr>(node)), value);
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
        return ReturnVariantBstr(ViewOf(node->content), value);
    default:
        value->vt = VT_NULL;
        return S_FALSE;
    }
}

HRESULT PutNodeValue(DomDocument& doc, xmlNodePtr node, const VARIANT& value) {
    if (node->type == XML_ELEMENT_NODE || node->type == XML_DOCUMENT_NODE) {
        return E_FAIL;
    }
    std::string text;
    HRESULT hr = VariantToXmlUtf8(value, text);
    if (SUCCEEDED(hr)) {
        hr = CheckContent(node, text);
    }
    if (SUCCEEDED(hr) && !doc.Store().SetContent(node, text)) {
        hr = E_OUTOFMEMORY;
    }
    return hr;
}

HRESULT NodeType(xmlNodePtr node, DOMNodeType* type) {
    if (!type) {
        return E_INVALIDARG;
    }
    switch (node->type) {
    case XML_ELEMENT_NODE:
        *type = NODE_ELEMENT;
        break;
    case XML_ATTRIBUTE_NODE:
        *type = NODE_ATTRIBUTE;
        break;
    case XML_TEXT_NODE:
        *type = NODE_TEXT;
        break;
    case XML_CDATA_SECTION_NODE:
        *type = NODE_CDATA_SECTION;
        break;
    case XML_PI_NODE:
        *type = NODE_PROCESSING_INSTRUCTION;
        break;
    case XML_COMMENT_NODE:
        *type = NODE_COMMENT;
        break;
    case XML_DOCUMENT_NODE:
        *type = NODE_DOCUMENT;
        break;
    default:
        *type = NODE_INVALID;
        return E_FAIL;
    }
    return S_OK;
}

HRESULT ParentNode(DomDocument& doc, xmlNodePtr node, IXMLDOMNode** parent) {
    if (!parent) {
        return E_INVALIDARG;
    }
    xmlNodePtr up = node->parent;
    // Attributes have no parent in the DOM; a document that a load replaced is no parent.
    if (!up || node->type == XML_ATTRIBUTE_NODE ||
        (up->type == XML_DOCUMENT_NODE && up != doc.Store().DocNode())) {
        return Nothing(parent);
    }
    return doc.Wrap(up, parent);
}

HRESULT ChildNodes(DomDocument& doc, xmlNodePtr node, IXMLDOMNodeList** children) {
    if (!children) {
        return E_INVALIDARG;
    }
    *children = nullptr;
    LONG count = 0;
    for (xmlNodePtr child = node->children; child; child = child->next) {
        ++count;
    }
    NodeList* list = NodeList::Make(count);
    if (!list) {
        return E_OUTOFMEMORY;
    }
    for (xmlNodePtr child = node->children; child; child = child->next) {
        IXMLDOMNode* object = nullptr;
        const HRESULT hr = doc.Wrap(child, &object);
        if (FAILED(hr)) {
            list->Release();
            return hr;
        }
        list->Add(object);
    }
    *children = list;
    return S_OK;
}

HRESULT FirstChild(DomDocument& doc, xmlNodePtr node, IXMLDOMNode** child) {
    if (!child) {
        return E_INVALIDARG;
    }
    return WrapOrNothing(doc, node->children, child);
}

HRESULT LastChild(DomDocument& doc, xmlNodePtr node, IXMLDOMNode** child) {
    if (!child) {
        return E_INVALIDARG;
    }
    return WrapOrNothing(doc, node->last, child);
}

HRESULT PreviousSibling(DomDocument& doc, xmlNodePtr node, IXMLDOMNode** sibling) {
    if (!sibling) {
        return E_INVALIDARG;
    }
    return node->type == XML_ATTRIBUTE_NODE ? Nothing(sibling)
                                            : WrapOrNothing(doc, node->prev, sibling);
}

HRESULT NextSibling(DomDocument& doc, xmlNodePtr node, IXMLDOMNode** sibling) {
    if (!sibling) {
        return E_INVALIDARG;
    }
    return node->type == XML_ATTRIBUTE_NODE ? Nothing(sibling)
                                            : WrapOrNothing(doc, node->next, sibling);
}

HRESULT Attributes(IXMLDOMNode* self, xmlNodePtr node, IXMLDOMNamedNodeMap** map) {
    if (!map) {
        return E_INVALIDARG;
    }
    *map = nullptr;
    if (node->type != XML_ELEMENT_NODE) {
        return S_FALSE;
    }
    DomNodeCore* core = FindCore(self);
    AttributeMap* made = core ? AttributeMap::Make(*core) : nullptr;
    if (!made) {
        return E_OUTOFMEMORY;
    }
    *map = made;
    return S_OK;
}

HRESULT InsertBefore(DomDocument& doc, xmlNodePtr node, IXMLDOMNode* newChild,
                     const VARIANT& refChild, IXMLDOMNode** outNewChild) {
    if (outNewChild) {
        *outNewChild = nullptr;
    }
    xmlNodePtr child = OurNode(doc, newChild);
    if (!child) {
        DomNodeCore* core = FindCore(newChild);
        return core && &core->Owner() == &doc ? E_FAIL : E_INVALIDARG; // a declaration
    }
    xmlNodePtr before = nullptr;
    if (refChild.vt == VT_UNKNOWN || refChild.vt == VT_DISPATCH) {
        if (refChild.punkVal) {
            DomNodeCore* core = FindCore(refChild.punkVal);
            before = core && &core->Owner() == &doc ? core->Node() : nullptr;
            if (!before || core->Declaration() || before->type == XML_ATTRIBUTE_NODE ||
                before->parent != node) {
                return E_INVALIDARG;
            }
        }
    } else if (refChild.vt != VT_EMPTY && refChild.vt != VT_NULL) {
        return E_INVALIDARG;
    }
    const HRESULT hr = CheckInsert(node, child, before, nullptr);
    if (FAILED(hr)) {
        return hr;
    }
    if (child != before) {
        doc.Store().InsertChild(node, child, before);
    }
    if (outNewChild) {
        *outNewChild = newChild;
        newChild->AddRef();
    }
    return S_OK;
}

HRESULT ReplaceChild(DomDocument& doc, xmlNodePtr node, IXMLDOMNode* newChild,
                     IXMLDOMNode* oldChild, IXMLDOMNode** outOldChild) {
    if (outOldChild) {
        *outOldChild = nullptr;
    }
    xmlNodePtr child = OurNode(doc, newChild);
    xmlNodePtr old = OurNode(doc, oldChild);
    if (!old || old->type == XML_ATTRIBUTE_NODE || old->parent != node) {
        return E_INVALIDARG;
    }
    if (!child) {
        DomNodeCore* core = FindCore(newChild);
        return core && &core->Owner() == &doc ? E_FAIL : E_INVALIDARG;
    }
    if (child != old) {
        const HRESULT hr = CheckInsert(node, child, old, old);
        if (FAILED(hr)) {
            return hr;
        }
        doc.Store().InsertChild(node, child, old);
        doc.Store().Detach(old); // the caller's object of old keeps it
    }
    if (outOldChild) {
        *outOldChild = oldChild;
        oldChild->AddRef();
    }
    return S_OK;
}

HRESULT RemoveChild(DomDocument& doc, xmlNodePtr node, IXMLDOMNode* child, IXMLDOMNode** oldChild) {
    if (oldChild) {
        *oldChild = nullptr;
    }
    xmlNodePtr removed = OurNode(doc, child);
    if (!removed || removed->type == XML_ATTRIBUTE_NODE || removed->parent != node) {
        return E_INVALIDARG;
    }
    doc.Store().Detach(removed);
    if (oldChild) {
        *oldChild = child;
        child->AddRef();
    }
    return S_OK;
}

HRESULT HasChildNodes(xmlNodePtr node, VARIANT_BOOL* hasChild) {
    if (!hasChild) {
        return E_INVALIDARG;
    }
    *hasChild = node->children ? VARIANT_TRUE : VARIANT_FALSE;
    return node->children ? S_OK : S_FALSE;
}

HRESULT OwnerDocument(DomDocument& doc, xmlNodePtr node, IXMLDOMDocument** owner) {
    if (!owner) {
        return E_INVALIDARG;
    }
    if (node->type == XML_DOCUMENT_NODE) {
        *owner = nullptr;
        return S_FALSE;
    }
    return doc.QueryInterface(IID_IXMLDOMDocument, reinterpret_cast<void**>(owner));
}

HRESULT CloneNode(DomDocument& doc, xmlNodePtr node, VARIANT_BOOL deep, IXMLDOMNode** clone) {
    if (!clone) {
        return E_INVALIDARG;
    }
    *clone = nullptr;
    if (node->type == XML_DOCUMENT_NODE) {
        return doc.Clone(deep != VARIANT_FALSE, clone);
    }
    xmlNodePtr copy = doc.Store().Copy(node, deep != VARIANT_FALSE);
    return copy ? doc.Adopt(copy, clone) : E_OUTOFMEMORY;
}

HRESULT Text(DomDocument& doc, xmlNodePtr node, BSTR* text) {
    if (!text) {
        return E_INVALIDARG;
    }
    std::string collected;
    bool trim = false;
    switch (node->type) {
    case XML_ATTRIBUTE_NODE:
        collected = attributes::Value(reinterpret_cast<xmlAttrPtr>(node));
        break;
    case XML_TEXT_NODE:
        collected = Chars(node->content);
        trim = true;
        break;
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
        collected = Chars(node->content);
        break;
    default:
        AppendDescendantText(node, collected);
        trim = true;
        break;
    }
    if (trim && !doc.PreservesWhiteSpace() && xmlNodeGetSpacePreserve(node) != 1) {
        return ReturnBstr(TrimXmlWhitespace(collected), text);
    }
    return ReturnBstr(collected, text);
}

HRESULT PutText(DomDocument& doc, xmlNodePtr node, BSTR text) {
    std::string value;
    if (!AppendXmlUtf8(value, View(text))) {
        return E_INVALIDARG;
    }
    switch (node->type) {
    case XML_DOCUMENT_NODE:
        return E_FAIL;
    case XML_ELEMENT_NODE: {
        doc.Store().DiscardChildren(node);
        if (value.empty()) {
            return S_OK;
        }
        xmlNodePtr textNode = xmlNewDocText(node->doc, XmlChars(value));
        if (!textNode) {
            return E_OUTOFMEMORY;
        }
        doc.Store().InsertChild(node, textNode, nullptr);
        return S_OK;
    }
    default: {
        const HRESULT hr = CheckContent(node, value);
        if (FAILED(hr)) {
            return hr;
        }
        return doc.Store().SetContent(node, value) ? S_OK : E_OUTOFMEMORY;
    }
    }
}

HRESULT TypedValue(DomDocument& doc, xmlNodePtr node, VARIANT* value) {
    if (!value) {
        return E_INVALIDARG;
    }
    VariantInit(value);
    BSTR text = nullptr;
    const HRESULT hr = Text(doc, node, &text);
    if (FAILED(hr)) {
        return hr;
    }
    value->vt = VT_BSTR;
    value->bstrVal = text;
    return S_OK;
}

HRESULT Xml(xmlNodePtr node, BSTR* xml) {
    if (!xml) {
        return E_INVALIDARG;
    }
    std::string text;
    SerializeNode(node, text);
    return ReturnBstr(text, xml);
}

HRESULT SelectNodes(DomDocument& doc, xmlNodePtr node, BSTR query, IXMLDOMNodeList** list) {
    if (!list) {
        return E_INVALIDARG;
    }
    *list = nullptr;
    XPathQuery selection;
    HRESULT hr = selection.Run(doc.Namespaces(), node, query);
    if (FAILED(hr)) {
        return hr;
    }
    NodeList* made = NodeList::Make(selection.Count());
    if (!made) {
        return E_OUTOFMEMORY;
    }
    for (int i = 0; i < selection.Count(); ++i) {
        IXMLDOMNode* object = nullptr;
        hr = doc.Wrap(selection.Node(i), &object);
        if (FAILED(hr)) {
            made->Release();
            return hr;
        }
        made->Add(object);
    }
    *list = made;
    return S_OK;
}

HRESULT SelectSingleNode(DomDocument& doc, xmlNodePtr node, BSTR query, IXMLDOMNode** result) {
    if (!result) {
        return E_INVALIDARG;
    }
    *result = nullptr;
    XPathQuery selection;
    const HRESULT hr = selection.Run(doc.Namespaces(), node, query);
    if (FAILED(hr)) {
        return hr;
    }
    return selection.Count() == 0 ? S_FALSE : doc.Wrap(selection.Node(0), result);
}

HRESULT NamespaceUri(xmlNodePtr node, BSTR* uri) {
    if (!uri) {
        return E_INVALIDARG;
    }
    xmlNsPtr ns = NamespaceOf(node);
    if (!ns || !ns->href || !*ns->href) {
        *uri = nullptr;
        return S_FALSE;
    }
    return ReturnBstr(ns->href, uri);
}

HRESULT Prefix(xmlNodePtr node, BSTR* prefix) {
    if (!prefix) {
        return E_INVALIDARG;
    }
    xmlNsPtr ns = NamespaceOf(node);
    if (!ns || !ns->prefix) {
        *prefix = nullptr;
        return S_FALSE;
    }
    return ReturnBstr(ns->prefix, prefix);
}

HRESULT BaseName(xmlNodePtr node, BSTR* name) {
    if (!name) {
        return E_INVALIDARG;
    }
    if (IsElementOrAttribute(node) || node->type == XML_PI_NODE) {
        return ReturnBstr(node->name, name);
    }
    *name = nullptr;
    return S_FALSE;
}

} // namespace platform::msxml::nodeops
