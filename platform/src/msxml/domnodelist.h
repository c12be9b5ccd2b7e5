// A node list: a snapshot of node objects, one reference held on each.
#pragma once

#include "domnode.h"

namespace platform::msxml {

class NodeList final : public com::Object<NodeList, IXMLDOMNodeList> {
public:
    using Interfaces = com::InterfaceTable<IXMLDOMNodeList>;

    // An empty list with room for capacity nodes; null when memory runs out.
    static NodeList* Make(LONG capacity);
    // Takes over one reference to node (room was made for it).
    void Add(IXMLDOMNode* node) { items_[count_++] = node; }

    NodeList() = default; // made by Make
    ~NodeList() override;

    HRESULT STDMETHODCALLTYPE get_item(LONG index, IXMLDOMNode** item) override;
    HRESULT STDMETHODCALLTYPE get_length(LONG* length) override;
    HRESULT STDMETHODCALLTYPE nextNode(IXMLDOMNode** next) override;
    HRESULT STDMETHODCALLTYPE reset() override;

private:
    IXMLDOMNode** items_ = nullptr;
    LONG count_ = 0;
    LONG cursor_ = 0;
};

} // namespace platform::msxml
