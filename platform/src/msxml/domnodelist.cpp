#include "domnodelist.h"

#include "com/allocator.h"

namespace platform::msxml {

NodeList* NodeList::Make(LONG capacity) {
    auto* list = com::New<NodeList>();
    if (!list) {
        return nullptr;
    }
    if (capacity > 0) {
        list->items_ = static_cast<IXMLDOMNode**>(
            platform::Allocate(static_cast<size_t>(capacity) * sizeof(IXMLDOMNode*)));
        if (!list->items_) {
            list->Release();
            return nullptr;
        }
    }
    return list;
}

NodeList::~NodeList() {
    for (LONG i = 0; i < count_; ++i) {
        items_[i]->Release();
    }
    platform::Free(items_);
}

HRESULT NodeList::get_item(LONG index, IXMLDOMNode** item) {
    if (!item) {
        return E_INVALIDARG;
    }
    if (index < 0 || index >= count_) {
        *item = nullptr;
        return S_FALSE;
    }
    *item = items_[index];
    (*item)->AddRef();
    return S_OK;
}

HRESULT NodeList::get_length(LONG* length) {
    if (!length) {
        return E_INVALIDARG;
    }
    *length = count_;
    return S_OK;
}

HRESULT NodeList::nextNode(IXMLDOMNode** next) {
    if (!next) {
        return E_INVALIDARG;
    }
    const HRESULT hr = get_item(cursor_, next);
    if (hr == S_OK) {
        ++cursor_;
    }
    return hr;
}

HRESULT NodeList::reset() {
    cursor_ = 0;
    return S_OK;
}

} // namespace platform::msxml
