// The node objects of the DOM: one per libxml2 node that a caller holds, made on demand by
// DomDocument::Wrap, registered in the store, released like any COM object.
//
// NodeImpl gives every node class (and the document) IXMLDOMNode over a libxml2 node; the
// operations themselves live in nodeops. Each node object holds a reference to its document,
// so the document and its trees outlive every node object.
#pragma once

#include "msxml6.h"

#include "com/comobject.h"

#include <libxml/tree.h>

namespace platform::msxml {

class DomDocument;

// What every node object of this DOM can say about itself; reached from an interface pointer
// with FindCore, so objects made elsewhere are told apart from ours.
class DomNodeCore {
public:
    virtual IXMLDOMNode* AsNode() = 0;
    virtual DomDocument& Owner() = 0;
    // The libxml2 node; for a namespace declaration the element holding it (null when free).
    virtual xmlNodePtr Node() = 0;
    // The declaration a namespace declaration node stands for; null for other nodes.
    virtual xmlNsPtr Declaration() { return nullptr; }

protected:
    ~DomNodeCore() = default;
};

} // namespace platform::msxml

// Answered by QueryInterface of our node objects with a DomNodeCore* (one reference added).
template <>
struct PlatformInterfaceId<platform::msxml::DomNodeCore> {
    static constexpr IID value{
        0x5b1d7c42, 0x93e1, 0x4d6a, {0x8f, 0x2c, 0x61, 0x0a, 0x7e, 0x3d, 0x94, 0xb5}};
};

namespace platform::msxml {

inline constexpr IID IID_DomNodeCore = __uuidof(DomNodeCore);

// The core of one of our node objects; null for null and for objects this DOM did not make.
// No reference is kept: the caller's pointer keeps the object alive.
DomNodeCore* FindCore(IUnknown* object);

namespace nodeops {
HRESULT NodeName(xmlNodePtr node, BSTR* name);
HRESULT NodeValue(xmlNodePtr node, VARIANT* value);
HRESULT PutNodeValue(DomDocument& doc, xmlNodePtr node, const VARIANT& value);
HRESULT NodeType(xmlNodePtr node, DOMNodeType* type);
HRESULT ParentNode(DomDocument& doc, xmlNodePtr node, IXMLDOMNode** parent);
HRESULT ChildNodes(DomDocument& doc, xmlNodePtr node, IXMLDOMNodeList** children);
HRESULT FirstChild(DomDocument& doc, xmlNodePtr node, IXMLDOMNode** child);
HRESULT LastChild(DomDocument& doc, xmlNodePtr node, IXMLDOMNode** child);
HRESULT PreviousSibling(DomDocument& doc, xmlNodePtr node, IXMLDOMNode** sibling);
HRESULT NextSibling(DomDocument& doc, xmlNodePtr node, IXMLDOMNode** sibling);
HRESULT Attributes(IXMLDOMNode* self, xmlNodePtr node, IXMLDOMNamedNodeMap** attributes);
HRESULT InsertBefore(DomDocument& doc, xmlNodePtr node, IXMLDOMNode* newChild,
                     const VARIANT& refChild, IXMLDOMNode** outNewChild);
HRESULT ReplaceChild(DomDocument& doc, xmlNodePtr node, IXMLDOMNode* newChild,
                     IXMLDOMNode* oldChild, IXMLDOMNode** outOldChild);
HRESULT RemoveChild(DomDocument& doc, xmlNodePtr node, IXMLDOMNode* child, IXMLDOMNode** oldChild);
HRESULT HasChildNodes(xmlNodePtr node, VARIANT_BOOL* hasChild);
HRESULT OwnerDocument(DomDocument& doc, xmlNodePtr node, IXMLDOMDocument** owner);
HRESULT CloneNode(DomDocument& doc, xmlNodePtr node, VARIANT_BOOL deep, IXMLDOMNode** clone);
HRESULT Text(DomDocument& doc, xmlNodePtr node, BSTR* text);
HRESULT PutText(DomDocument& doc, xmlNodePtr node, BSTR text);
HRESULT TypedValue(DomDocument& doc, xmlNodePtr node, VARIANT* value);
HRESULT Xml(xmlNodePtr node, BSTR* xml);
HRESULT SelectNodes(DomDocument& doc, xmlNodePtr node, BSTR query, IXMLDOMNodeList** list);
HRESULT SelectSingleNode(DomDocument& doc, xmlNodePtr node, BSTR query, IXMLDOMNode** result);
HRESULT NamespaceUri(xmlNodePtr node, BSTR* uri);
HRESULT Prefix(xmlNodePtr node, BSTR* prefix);
HRESULT BaseName(xmlNodePtr node, BSTR* name);

// Checks text for a node of node's type (comments without "--", processing instructions
// without "?>", a valid XML declaration): E_FAIL when it cannot be written.
HRESULT CheckContent(xmlNodePtr node, const std::string& utf8);
} // namespace nodeops

using com::Guarded;

// IXMLDOMNode for a libxml2 node. Derived gives Doc() and XmlNode().
template <class I, class Derived>
class NodeImpl : public I {
    DomDocument& D() { return static_cast<Derived*>(this)->Doc(); }
    xmlNodePtr N() { return static_cast<Derived*>(this)->XmlNode(); }

public:
    HRESULT STDMETHODCALLTYPE get_nodeName(BSTR* name) override {
        return Guarded([&] { return nodeops::NodeName(N(), name); });
    }
    HRESULT STDMETHODCALLTYPE get_nodeValue(VARIANT* value) override {
        return Guarded([&] { return nodeops::NodeValue(N(), value); });
    }
    HRESULT STDMETHODCALLTYPE put_nodeValue(VARIANT value) override {
        return Guarded([&] { return nodeops::PutNodeValue(D(), N(), value); });
    }
    HRESULT STDMETHODCALLTYPE get_nodeType(DOMNodeType* type) override {
        return Guarded([&] { return nodeops::NodeType(N(), type); });
    }
    HRESULT STDMETHODCALLTYPE get_parentNode(IXMLDOMNode** parent) override {
        return Guarded([&] { return nodeops::ParentNode(D(), N(), parent); });
    }
    HRESULT STDMETHODCALLTYPE get_childNodes(IXMLDOMNodeList** children) override {
        return Guarded([&] { return nodeops::ChildNodes(D(), N(), children); });
    }
    HRESULT STDMETHODCALLTYPE get_firstChild(IXMLDOMNode** child) override {
        return Guarded([&] { return nodeops::FirstChild(D(), N(), child); });
    }
    HRESULT STDMETHODCALLTYPE get_lastChild(IXMLDOMNode** child) override {
        return Guarded([&] { return nodeops::LastChild(D(), N(), child); });
    }
    HRESULT STDMETHODCALLTYPE get_previousSibling(IXMLDOMNode** sibling) override {
        return Guarded([&] { return nodeops::PreviousSibling(D(), N(), sibling); });
    }
    HRESULT STDMETHODCALLTYPE get_nextSibling(IXMLDOMNode** sibling) override {
        return Guarded([&] { return nodeops::NextSibling(D(), N(), sibling); });
    }
    HRESULT STDMETHODCALLTYPE get_attributes(IXMLDOMNamedNodeMap** attributes) override {
        return Guarded([&] { return nodeops::Attributes(this, N(), attributes); });
    }
    HRESULT STDMETHODCALLTYPE insertBefore(IXMLDOMNode* newChild, VARIANT refChild,
                                           IXMLDOMNode** outNewChild) override {
        return Guarded(
            [&] { return nodeops::InsertBefore(D(), N(), newChild, refChild, outNewChild); });
    }
    HRESULT STDMETHODCALLTYPE replaceChild(IXMLDOMNode* newChild, IXMLDOMNode* oldChild,
                                           IXMLDOMNode** outOldChild) override {
        return Guarded(
            [&] { return nodeops::ReplaceChild(D(), N(), newChild, oldChild, outOldChild); });
    }
    HRESULT STDMETHODCALLTYPE removeChild(IXMLDOMNode* child, IXMLDOMNode** oldChild) override {
        return Guarded([&] { return nodeops::RemoveChild(D(), N(), child, oldChild); });
    }
    HRESULT STDMETHODCALLTYPE appendChild(IXMLDOMNode* newChild,
                                          IXMLDOMNode** outNewChild) override {
        VARIANT end;
        VariantInit(&end);
        return Guarded([&] { return nodeops::InsertBefore(D(), N(), newChild, end, outNewChild); });
    }
    HRESULT STDMETHODCALLTYPE hasChildNodes(VARIANT_BOOL* hasChild) override {
        return Guarded([&] { return nodeops::HasChildNodes(N(), hasChild); });
    }
    HRESULT STDMETHODCALLTYPE get_ownerDocument(IXMLDOMDocument** document) override {
        return Guarded([&] { return nodeops::OwnerDocument(D(), N(), document); });
    }
    HRESULT STDMETHODCALLTYPE cloneNode(VARIANT_BOOL deep, IXMLDOMNode** clone) override {
        return Guarded([&] { return nodeops::CloneNode(D(), N(), deep, clone); });
    }
    HRESULT STDMETHODCALLTYPE get_text(BSTR* text) override {
        return Guarded([&] { return nodeops::Text(D(), N(), text); });
    }
    HRESULT STDMETHODCALLTYPE put_text(BSTR text) override {
        return Guarded([&] { return nodeops::PutText(D(), N(), text); });
    }
    HRESULT STDMETHODCALLTYPE get_nodeTypedValue(VARIANT* value) override {
        return Guarded([&] { return nodeops::TypedValue(D(), N(), value); });
    }
    HRESULT STDMETHODCALLTYPE get_xml(BSTR* xml) override {
        return Guarded([&] { return nodeops::Xml(N(), xml); });
    }
    HRESULT STDMETHODCALLTYPE selectNodes(BSTR query, IXMLDOMNodeList** list) override {
        return Guarded([&] { return nodeops::SelectNodes(D(), N(), query, list); });
    }
    HRESULT STDMETHODCALLTYPE selectSingleNode(BSTR query, IXMLDOMNode** node) override {
        return Guarded([&] { return nodeops::SelectSingleNode(D(), N(), query, node); });
    }
    HRESULT STDMETHODCALLTYPE get_namespaceURI(BSTR* uri) override {
        return Guarded([&] { return nodeops::NamespaceUri(N(), uri); });
    }
    HRESULT STDMETHODCALLTYPE get_prefix(BSTR* prefix) override {
        return Guarded([&] { return nodeops::Prefix(N(), prefix); });
    }
    HRESULT STDMETHODCALLTYPE get_baseName(BSTR* name) override {
        return Guarded([&] { return nodeops::BaseName(N(), name); });
    }
};

// What QueryInterface answers for a node object implementing I: I and the interfaces it
// derives from, and the core.
template <class I>
struct NodeInterfaces;
template <>
struct NodeInterfaces<IXMLDOMElement> {
    using Table = com::InterfaceTable<IXMLDOMElement, IXMLDOMNode, DomNodeCore>;
};
template <>
struct NodeInterfaces<IXMLDOMAttribute> {
    using Table = com::InterfaceTable<IXMLDOMAttribute, IXMLDOMNode, DomNodeCore>;
};
template <>
struct NodeInterfaces<IXMLDOMText> {
    using Table = com::InterfaceTable<IXMLDOMText, IXMLDOMCharacterData, IXMLDOMNode, DomNodeCore>;
};
template <>
struct NodeInterfaces<IXMLDOMCDATASection> {
    using Table = com::InterfaceTable<IXMLDOMCDATASection, IXMLDOMText, IXMLDOMCharacterData,
                                      IXMLDOMNode, DomNodeCore>;
};
template <>
struct NodeInterfaces<IXMLDOMComment> {
    using Table =
        com::InterfaceTable<IXMLDOMComment, IXMLDOMCharacterData, IXMLDOMNode, DomNodeCore>;
};
template <>
struct NodeInterfaces<IXMLDOMProcessingInstruction> {
    using Table = com::InterfaceTable<IXMLDOMProcessingInstruction, IXMLDOMNode, DomNodeCore>;
};

// A node object of one libxml2 node (every kind but the document and namespace
// declarations). Made with com::New; the last Release unregisters it from the store and gives
// up its reference to the document.
template <class I>
class NodeObject : public com::Object<NodeObject<I>, NodeImpl<I, NodeObject<I>>, DomNodeCore> {
public:
    using Interfaces = typename NodeInterfaces<I>::Table;

    NodeObject(DomDocument& doc, xmlNodePtr node);
    ~NodeObject() override;

    IXMLDOMNode* AsNode() override { return this; }
    DomDocument& Owner() override { return *doc_; }
    xmlNodePtr Node() override { return node_; }

    DomDocument& Doc() { return *doc_; }
    xmlNodePtr XmlNode() { return node_; }

protected:
    DomDocument* doc_;
    xmlNodePtr node_;
};

class ElementNode final : public NodeObject<IXMLDOMElement> {
public:
    using NodeObject::NodeObject;
    HRESULT STDMETHODCALLTYPE get_tagName(BSTR* tagName) override;
    HRESULT STDMETHODCALLTYPE getAttribute(BSTR name, VARIANT* value) override;
    HRESULT STDMETHODCALLTYPE setAttribute(BSTR name, VARIANT value) override;
    HRESULT STDMETHODCALLTYPE removeAttribute(BSTR name) override;
    HRESULT STDMETHODCALLTYPE getAttributeNode(BSTR name, IXMLDOMAttribute** attribute) override;
    HRESULT STDMETHODCALLTYPE setAttributeNode(IXMLDOMAttribute* newAttribute,
                                               IXMLDOMAttribute** replaced) override;
    HRESULT STDMETHODCALLTYPE removeAttributeNode(IXMLDOMAttribute* oldAttribute,
                                                  IXMLDOMAttribute** removed) override;
};

class AttributeNode final : public NodeObject<IXMLDOMAttribute> {
public:
    using NodeObject::NodeObject;
    HRESULT STDMETHODCALLTYPE get_name(BSTR* name) override;
    HRESULT STDMETHODCALLTYPE get_value(VARIANT* value) override;
    HRESULT STDMETHODCALLTYPE put_value(VARIANT value) override;
};

// Text, CDATA sections and comments.
template <class I>
class CharacterDataNode final : public NodeObject<I> {
public:
    using NodeObject<I>::NodeObject;
    HRESULT STDMETHODCALLTYPE get_data(BSTR* data) override;
    HRESULT STDMETHODCALLTYPE put_data(BSTR data) override;
    HRESULT STDMETHODCALLTYPE get_length(LONG* length) override;
};

class ProcessingInstructionNode final : public NodeObject<IXMLDOMProcessingInstruction> {
public:
    using NodeObject::NodeObject;
    HRESULT STDMETHODCALLTYPE get_target(BSTR* target) override;
    HRESULT STDMETHODCALLTYPE get_data(BSTR* data) override;
    HRESULT STDMETHODCALLTYPE put_data(BSTR data) override;
};

// Makes the object for a node that has none: null when memory runs out, or for a kind of
// node the DOM does not hand out.
IXMLDOMNode* MakeNodeObject(DomDocument& doc, xmlNodePtr node);

} // namespace platform::msxml
