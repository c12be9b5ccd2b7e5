#include "domattributemap.h"

#include "domdocument.h"
#include "xmltext.h"

namespace platform::msxml {

AttributeMap* AttributeMap::Make(DomNodeCore& element) {
    return com::New<AttributeMap>(element);
}

AttributeMap::AttributeMap(DomNodeCore& element)
    : element_(element), elementObject_(element.AsNode()) {}

HRESULT AttributeMap::getNamedItem(BSTR name, IXMLDOMNode** item) {
    return Guarded([&]() -> HRESULT {
        if (!item) {
            return E_INVALIDARG;
        }
        *item = nullptr;
        if (!name) {
            return E_INVALIDARG;
        }
        const AttributeEntry entry = attributes::Find(element_.Node(), View(name));
        return entry ? attributes::Wrap(element_.Owner(), element_.Node(), entry, item) : S_FALSE;
    });
}

HRESULT AttributeMap::setNamedItem(IXMLDOMNode* newItem, IXMLDOMNode** replaced) {
    return Guarded([&]() -> HRESULT {
        return attributes::SetNode(element_.Owner(), element_.Node(), newItem, replaced);
    });
}

HRESULT AttributeMap::removeNamedItem(BSTR name, IXMLDOMNode** removed) {
    return Guarded([&]() -> HRESULT {
        if (removed) {
            *removed = nullptr;
        }
        if (!name) {
            return E_INVALIDARG;
        }
        const AttributeEntry entry = attributes::Find(element_.Node(), View(name));
        return entry ? attributes::Remove(element_.Owner(), element_.Node(), entry, removed)
                     : S_FALSE;
    });
}

HRESULT AttributeMap::get_item(LONG index, IXMLDOMNode** item) {
    return Guarded([&]() -> HRESULT {
        if (!item) {
            return E_INVALIDARG;
        }
        *item = nullptr;
        const AttributeEntry entry = attributes::At(element_.Node(), index);
        return entry ? attributes::Wrap(element_.Owner(), element_.Node(), entry, item) : S_FALSE;
    });
}

HRESULT AttributeMap::get_length(LONG* length) {
    if (!length) {
        return E_INVALIDARG;
    }
    *length = attributes::Count(element_.Node());
    return S_OK;
}

HRESULT AttributeMap::nextNode(IXMLDOMNode** next) {
    return Guarded([&]() -> HRESULT {
        if (!next) {
            return E_INVALIDARG;
        }
        *next = nullptr;
        xmlNodePtr element = element_.Node();
        const uint64_t epoch = element_.Owner().Store().AttributeEpoch();
        AttributeEntry entry;
        if (cursor_ > 0 && last_ && lastEpoch_ == epoch) {
            entry = attributes::Next(element, last_);
        } else {
            entry = attributes::At(element, cursor_);
        }
        if (!entry) {
            return S_FALSE;
        }
        const HRESULT hr = attributes::Wrap(element_.Owner(), element, entry, next);
        if (SUCCEEDED(hr)) {
            ++cursor_;
            last_ = entry;
            lastEpoch_ = epoch;
        }
        return hr;
    });
}

HRESULT AttributeMap::reset() {
    cursor_ = 0;
    last_ = AttributeEntry{};
    return S_OK;
}

} // namespace platform::msxml
