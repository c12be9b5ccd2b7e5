// The live attribute map of an element (see domattributes.h for its order).
#pragma once

#include "domattributes.h"

#include "atlbase.h"

namespace platform::msxml {

class AttributeMap final : public com::Object<AttributeMap, IXMLDOMNamedNodeMap> {
public:
    using Interfaces = com::InterfaceTable<IXMLDOMNamedNodeMap>;

    // element: the element's node object, held by the map. Null when memory runs out.
    static AttributeMap* Make(DomNodeCore& element);

    explicit AttributeMap(DomNodeCore& element); // made by Make

    HRESULT STDMETHODCALLTYPE getNamedItem(BSTR name, IXMLDOMNode** item) override;
    HRESULT STDMETHODCALLTYPE setNamedItem(IXMLDOMNode* newItem, IXMLDOMNode** replaced) override;
    HRESULT STDMETHODCALLTYPE removeNamedItem(BSTR name, IXMLDOMNode** removed) override;
    HRESULT STDMETHODCALLTYPE get_item(LONG index, IXMLDOMNode** item) override;
    HRESULT STDMETHODCALLTYPE get_length(LONG* length) override;
    HRESULT STDMETHODCALLTYPE nextNode(IXMLDOMNode** next) override;
    HRESULT STDMETHODCALLTYPE reset() override;

private:
    DomNodeCore& element_;
    CComPtr<IXMLDOMNode> elementObject_;
    // nextNode's place: the index of the next entry, and (while the element's attributes are
    // unchanged) the entry last handed out, so a walk costs O(1) per step.
    LONG cursor_ = 0;
    AttributeEntry last_;
    uint64_t lastEpoch_ = 0;
};

} // namespace platform::msxml
