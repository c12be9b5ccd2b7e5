// A namespace declaration seen as an attribute ("xmlns:p" or "xmlns", value the URI). While
// it sits on an element it holds that element's node object (so the element, which owns the
// xmlNs, stays); taken off, it owns the xmlNs itself.
#pragma once

#include "domnode.h"

#include "atlbase.h"

namespace platform::msxml {

class DeclarationNode final : public com::Object<DeclarationNode, IXMLDOMAttribute, DomNodeCore> {
public:
    using Interfaces = com::InterfaceTable<IXMLDOMAttribute, IXMLDOMNode, DomNodeCore>;

    // Made with com::New. ns is held by element (whose object is elementObject), or owned when
    // elementObject is null.
    DeclarationNode(DomDocument& doc, xmlNsPtr ns, IXMLDOMNode* elementObject);
    ~DeclarationNode() override;

    // Now held by the element of elementObject / now owned by this object.
    void Attached(IXMLDOMNode* elementObject);
    void Detached();
    // Sets the URI, checking that the element holding it can keep it.
    HRESULT SetUri(const std::string& uri);

    IXMLDOMNode* AsNode() override { return this; }
    DomDocument& Owner() override { return *doc_; }
    xmlNodePtr Node() override { return element_; }
    xmlNsPtr Declaration() override { return ns_; }

    HRESULT STDMETHODCALLTYPE get_nodeName(BSTR* name) override;
    HRESULT STDMETHODCALLTYPE get_nodeValue(VARIANT* value) override;
    HRESULT STDMETHODCALLTYPE put_nodeValue(VARIANT value) override;
    HRESULT STDMETHODCALLTYPE get_nodeType(DOMNodeType* type) override;
    HRESULT STDMETHODCALLTYPE get_parentNode(IXMLDOMNode** parent) override;
    HRESULT STDMETHODCALLTYPE get_childNodes(IXMLDOMNodeList** children) override;
    HRESULT STDMETHODCALLTYPE get_firstChild(IXMLDOMNode** child) override;
    HRESULT STDMETHODCALLTYPE get_lastChild(IXMLDOMNode** child) override;
    HRESULT STDMETHODCALLTYPE get_previousSibling(IXMLDOMNode** sibling) override;
    HRESULT STDMETHODCALLTYPE get_nextSibling(IXMLDOMNode** sibling) override;
    HRESULT STDMETHODCALLTYPE get_attributes(IXMLDOMNamedNodeMap** attributes) override;
    HRESULT STDMETHODCALLTYPE insertBefore(IXMLDOMNode* newChild, VARIANT refChild,
                                           IXMLDOMNode** outNewChild) override;
    HRESULT STDMETHODCALLTYPE replaceChild(IXMLDOMNode* newChild, IXMLDOMNode* oldChild,
                                           IXMLDOMNode** outOldChild) override;
    HRESULT STDMETHODCALLTYPE removeChild(IXMLDOMNode* child, IXMLDOMNode** oldChild) override;
    HRESULT STDMETHODCALLTYPE appendChild(IXMLDOMNode* newChild,
                                          IXMLDOMNode** outNewChild) override;
    HRESULT STDMETHODCALLTYPE hasChildNodes(VARIANT_BOOL* hasChild) override;
    HRESULT STDMETHODCALLTYPE get_ownerDocument(IXMLDOMDocument** document) override;
    HRESULT STDMETHODCALLTYPE cloneNode(VARIANT_BOOL deep, IXMLDOMNode** clone) override;
    HRESULT STDMETHODCALLTYPE get_text(BSTR* text) override;
    HRESULT STDMETHODCALLTYPE put_text(BSTR text) override;
    HRESULT STDMETHODCALLTYPE get_nodeTypedValue(VARIANT* value) override;
    HRESULT STDMETHODCALLTYPE get_xml(BSTR* xml) override;
    HRESULT STDMETHODCALLTYPE selectNodes(BSTR query, IXMLDOMNodeList** list) override;
    HRESULT STDMETHODCALLTYPE selectSingleNode(BSTR query, IXMLDOMNode** node) override;
    HRESULT STDMETHODCALLTYPE get_namespaceURI(BSTR* uri) override;
    HRESULT STDMETHODCALLTYPE get_prefix(BSTR* prefix) override;
    HRESULT STDMETHODCALLTYPE get_baseName(BSTR* name) override;
    HRESULT STDMETHODCALLTYPE get_name(BSTR* name) override;
    HRESULT STDMETHODCALLTYPE get_value(VARIANT* value) override;
    HRESULT STDMETHODCALLTYPE put_value(VARIANT value) override;

private:
    DomDocument* doc_;
    xmlNsPtr ns_;
    xmlNodePtr element_;
    CComPtr<IXMLDOMNode> elementObject_;
};

} // namespace platform::msxml
