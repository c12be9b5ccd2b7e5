#include "domnode.h"

#include "domattributes.h"
#include "domdocument.h"
#include "xmltext.h"

#include "atlbase.h"

namespace platform::msxml {

DomNodeCore* FindCore(IUnknown* object) {
    void* core = nullptr;
    if (!object || FAILED(object->QueryInterface(IID_DomNodeCore, &core))) {
        return nullptr;
    }
    auto* found = static_cast<DomNodeCore*>(core);
    found->AsNode()->Release();
    return found;
}

template <class I>
NodeObject<I>::NodeObject(DomDocument& doc, xmlNodePtr node) : doc_(&doc), node_(node) {
    doc_->AddRef();
}

template <class I>
NodeObject<I>::~NodeObject() {
    doc_->Store().Unregister(node_);
    doc_->Release();
}

template class NodeObject<IXMLDOMElement>;
template class NodeObject<IXMLDOMAttribute>;
template class NodeObject<IXMLDOMText>;
template class NodeObject<IXMLDOMCDATASection>;
template class NodeObject<IXMLDOMComment>;
template class NodeObject<IXMLDOMProcessingInstruction>;

IXMLDOMNode* MakeNodeObject(DomDocument& doc, xmlNodePtr node) {
    switch (node->type) {
    case XML_ELEMENT_NODE:
        return com::New<ElementNode>(doc, node);
    case XML_ATTRIBUTE_NODE:
        return com::New<AttributeNode>(doc, node);
    case XML_TEXT_NODE:
        return com::New<CharacterDataNode<IXMLDOMText>>(doc, node);
    case XML_CDATA_SECTION_NODE:
        return com::New<CharacterDataNode<IXMLDOMCDATASection>>(doc, node);
    case XML_COMMENT_NODE:
        return com::New<CharacterDataNode<IXMLDOMComment>>(doc, node);
    case XML_PI_NODE:
        return com::New<ProcessingInstructionNode>(doc, node);
    default:
        return nullptr;
    }
}

// ---- elements ----

HRESULT ElementNode::get_tagName(BSTR* tagName) {
    return Guarded([&]() -> HRESULT { return nodeops::NodeName(node_, tagName); });
}

HRESULT ElementNode::getAttribute(BSTR name, VARIANT* value) {
    return Guarded([&]() -> HRESULT {
        if (!value) {
            return E_INVALIDARG;
        }
        VariantInit(value);
        if (!name) {
            return E_INVALIDARG;
        }
        const AttributeEntry entry = attributes::Find(node_, View(name));
        if (entry.attribute) {
            return ReturnVariantBstr(attributes::Value(entry.attribute), value);
        }
        if (entry.declaration) {
            return ReturnVariantBstr(ViewOf(entry.declaration->href), value);
        }
        value->vt = VT_NULL;
        return S_FALSE;
    });
}

HRESULT ElementNode::setAttribute(BSTR name, VARIANT value) {
    return Guarded([&]() -> HRESULT {
        if (!name || !*name) {
            return E_INVALIDARG;
        }
        std::string text;
        const HRESULT hr = VariantToXmlUtf8(value, text);
        return FAILED(hr) ? hr : attributes::SetValue(*doc_, node_, View(name), text);
    });
}

HRESULT ElementNode::removeAttribute(BSTR name) {
    return Guarded([&]() -> HRESULT {
        if (!name) {
            return E_INVALIDARG;
        }
        const AttributeEntry entry = attributes::Find(node_, View(name));
        return entry ? attributes::Remove(*doc_, node_, entry, nullptr) : S_FALSE;
    });
}

HRESULT ElementNode::getAttributeNode(BSTR name, IXMLDOMAttribute** attribute) {
    return Guarded([&]() -> HRESULT {
        if (!attribute) {
            return E_INVALIDARG;
        }
        *attribute = nullptr;
        if (!name) {
            return E_INVALIDARG;
        }
        const AttributeEntry entry = attributes::Find(node_, View(name));
        if (!entry) {
            return S_FALSE;
        }
        CComPtr<IXMLDOMNode> found;
        const HRESULT hr = attributes::Wrap(*doc_, node_, entry, &found);
        return FAILED(hr) ? hr : found.QueryInterface(attribute);
    });
}

HRESULT ElementNode::setAttributeNode(IXMLDOMAttribute* newAttribute, IXMLDOMAttribute** replaced) {
    return Guarded([&]() -> HRESULT {
        if (replaced) {
            *replaced = nullptr;
        }
        CComPtr<IXMLDOMNode> old;
        const HRESULT hr =
            attributes::SetNode(*doc_, node_, newAttribute, replaced ? &old : nullptr);
        if (FAILED(hr) || !replaced || !old) {
            return hr;
        }
        return old.QueryInterface(replaced);
    });
}

HRESULT ElementNode::removeAttributeNode(IXMLDOMAttribute* oldAttribute,
                                         IXMLDOMAttribute** removed) {
    return Guarded([&]() -> HRESULT {
        if (removed) {
            *removed = nullptr;
        }
        DomNodeCore* core = FindCore(oldAttribute);
        if (!core || &core->Owner() != doc_ || core->Node() == nullptr) {
            return E_INVALIDARG;
        }
        AttributeEntry entry;
        if (core->Declaration()) {
            if (core->Node() != node_) {
                return E_INVALIDARG;
            }
            entry.declaration = core->Declaration();
        } else {
            xmlNodePtr node = core->Node();
            if (node->type != XML_ATTRIBUTE_NODE || node->parent != node_) {
                return E_INVALIDARG;
            }
            entry.attribute = reinterpret_cast<xmlAttrPtr>(node);
        }
        HRESULT hr = attributes::Remove(*doc_, node_, entry, nullptr);
        if (SUCCEEDED(hr) && removed) {
            hr = oldAttribute->QueryInterface(IID_IXMLDOMAttribute,
                                              reinterpret_cast<void**>(removed));
        }
        return hr;
    });
}

// ---- attributes ----

HRESULT AttributeNode::get_name(BSTR* name) {
    return Guarded([&]() -> HRESULT { return nodeops::NodeName(node_, name); });
}

HRESULT AttributeNode::get_value(VARIANT* value) {
    return Guarded([&]() -> HRESULT { return nodeops::NodeValue(node_, value); });
}

HRESULT AttributeNode::put_value(VARIANT value) {
    return Guarded([&]() -> HRESULT { return nodeops::PutNodeValue(*doc_, node_, value); });
}

// ---- text, CDATA, comments ----

template <class I>
HRESULT CharacterDataNode<I>::get_data(BSTR* data) {
    return Guarded([&]() -> HRESULT {
        if (!data) {
            return E_INVALIDARG;
        }
        return ReturnBstr(this->node_->content, data);
    });
}

template <class I>
HRESULT CharacterDataNode<I>::put_data(BSTR data) {
    return Guarded([&]() -> HRESULT {
        std::string text;
        if (!AppendXmlUtf8(text, View(data))) {
            return E_INVALIDARG;
        }
        const HRESULT hr = nodeops::CheckContent(this->node_, text);
        if (FAILED(hr)) {
            return hr;
        }
        return this->doc_->Store().SetContent(this->node_, text) ? S_OK : E_OUTOFMEMORY;
    });
}

template <class I>
HRESULT CharacterDataNode<I>::get_length(LONG* length) {
    return Guarded([&]() -> HRESULT {
        if (!length) {
            return E_INVALIDARG;
        }
        BSTR text = AllocBstr(this->node_->content);
        if (!text) {
            return E_OUTOFMEMORY;
        }
        *length = static_cast<LONG>(SysStringLen(text));
        SysFreeString(text);
        return S_OK;
    });
}

template class CharacterDataNode<IXMLDOMText>;
template class CharacterDataNode<IXMLDOMCDATASection>;
template class CharacterDataNode<IXMLDOMComment>;

// ---- processing instructions ----

HRESULT ProcessingInstructionNode::get_target(BSTR* target) {
    return Guarded([&]() -> HRESULT {
        if (!target) {
            return E_INVALIDARG;
        }
        return ReturnBstr(node_->name, target);
    });
}

HRESULT ProcessingInstructionNode::get_data(BSTR* data) {
    return Guarded([&]() -> HRESULT {
        if (!data) {
            return E_INVALIDARG;
        }
        return ReturnBstr(node_->content, data);
    });
}

HRESULT ProcessingInstructionNode::put_data(BSTR data) {
    return Guarded([&]() -> HRESULT {
        std::string text;
        if (!AppendXmlUtf8(text, View(data))) {
            return E_INVALIDARG;
        }
        const HRESULT hr = nodeops::CheckContent(node_, text);
        if (FAILED(hr)) {
            return hr;
        }
        return doc_->Store().SetContent(node_, text) ? S_OK : E_OUTOFMEMORY;
    });
}

} // namespace platform::msxml
