// A node list: a snapshot of node objects, one reference held on each.
#pragma once

#include "domnode.h"

namespace platform::msxml {

class NodeList final : public IXMLDOMNodeList, public PlatformAllocated {
public:
    // An empty list with room for capacity nodes; null when memory runs out.
    static NodeList* Make(LONG capacity);
    // Takes over one reference to node (room was made for it).
    void Add(IXMLDOMNode* node) { items_[count_++] = node; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE get_item(LONG index, IXMLDOMNode** item) override;
    HRESULT STDMETHODCALLTYPE get_length(LONG* length) override;
    HRESULT STDMETHODCALLTYPE nextNode(IXMLDOMNode** next) override;
    HRESULT STDMETHODCALLTYPE reset() override;

private:
    NodeList() = default;
    ~NodeList();

    IXMLDOMNode** items_ = nullptr;
    LONG count_ = 0;
    LONG cursor_ = 0;
    ULONG references_ = 1;
};

} // namespace platform::msxml
