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
NodeObject<I>::~NodeObject() = default;

template <class I>
ULONG NodeObject<I>::Release() {
    const ULONG left = --references_;
    if (left == 0) {
        DomDocument* doc = doc_;
        doc->Store().Unregister(node_);
        delete this;
        doc->Release();
    }
    return left;
}

template <class I>
HRESULT NodeObject<I>::QueryInterface(REFIID riid, void** object) {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    if (IsEqualIID(riid, IID_DomNodeCore)) {
        *object = static_cast<DomNodeCore*>(this);
    } else if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IXMLDOMNode) ||
               IsEqualIID(riid, __uuidof(I))) {
        *object = static_cast<I*>(this);
    } else if constexpr (std::is_base_of_v<IXMLDOMCharacterData, I>) {
        if (IsEqualIID(riid, IID_IXMLDOMCharacterData)) {
            *object = static_cast<I*>(this);
        } else if constexpr (std::is_base_of_v<IXMLDOMText, I>) {
            if (IsEqualIID(riid, IID_IXMLDOMText)) {
                *object = static_cast<I*>(this);
            }
        }
    }
    if (!*object) {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
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
        return new ElementNode(doc, node);
    case XML_ATTRIBUTE_NODE:
        return new AttributeNode(doc, node);
    case XML_TEXT_NODE:
        return new CharacterDataNode<IXMLDOMText>(doc, node);
    case XML_CDATA_SECTION_NODE:
        return new CharacterDataNode<IXMLDOMCDATASection>(doc, node);
    case XML_COMMENT_NODE:
        return new CharacterDataNode<IXMLDOMComment>(doc, node);
    case XML_PI_NODE:
        return new ProcessingInstructionNode(doc, node);
    default:
        return nullptr;
    }
}

// ---- elements ----

HRESULT ElementNode::get_tagName(BSTR* tagName) {
    return nodeops::NodeName(node_, tagName);
}

HRESULT ElementNode::getAttribute(BSTR name, VARIANT* value) {
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
}

HRESULT ElementNode::setAttribute(BSTR name, VARIANT value) {
    if (!name || !*name) {
        return E_INVALIDARG;
    }
    std::string text;
    const HRESULT hr = VariantToXmlUtf8(value, text);
    return FAILED(hr) ? hr : attributes::SetValue(*doc_, node_, View(name), text);
}

HRESULT ElementNode::removeAttribute(BSTR name) {
    if (!name) {
        return E_INVALIDARG;
    }
    const AttributeEntry entry = attributes::Find(node_, View(name));
    return entry ? attributes::Remove(*doc_, node_, entry, nullptr) : S_FALSE;
}

HRESULT ElementNode::getAttributeNode(BSTR name, IXMLDOMAttribute** attribute) {
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
}

HRESULT ElementNode::setAttributeNode(IXMLDOMAttribute* newAttribute, IXMLDOMAttribute** replaced) {
    if (replaced) {
        *replaced = nullptr;
    }
    CComPtr<IXMLDOMNode> old;
    const HRESULT hr = attributes::SetNode(*doc_, node_, newAttribute, replaced ? &old : nullptr);
    if (FAILED(hr) || !replaced || !old) {
        return hr;
    }
    return old.QueryInterface(replaced);
}

HRESULT ElementNode::removeAttributeNode(IXMLDOMAttribute* oldAttribute,
                                         IXMLDOMAttribute** removed) {
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
        hr = oldAttribute->QueryInterface(IID_IXMLDOMAttribute, reinterpret_cast<void**>(removed));
    }
    return hr;
}

// ---- attributes ----

HRESULT AttributeNode::get_name(BSTR* name) {
    return nodeops::NodeName(node_, name);
}

HRESULT AttributeNode::get_value(VARIANT* value) {
    return nodeops::NodeValue(node_, value);
}

HRESULT AttributeNode::put_value(VARIANT value) {
    return nodeops::PutNodeValue(*doc_, node_, value);
}

// ---- text, CDATA, comments ----

template <class I>
HRESULT CharacterDataNode<I>::get_data(BSTR* data) {
    if (!data) {
        return E_INVALIDARG;
    }
    return ReturnBstr(this->node_->content, data);
}

template <class I>
HRESULT CharacterDataNode<I>::put_data(BSTR data) {
    std::string text;
    if (!AppendXmlUtf8(text, View(data))) {
        return E_INVALIDARG;
    }
    const HRESULT hr = nodeops::CheckContent(this->node_, text);
    if (FAILED(hr)) {
        return hr;
    }
    return this->doc_->Store().SetContent(this->node_, text) ? S_OK : E_OUTOFMEMORY;
}

template <class I>
HRESULT CharacterDataNode<I>::get_length(LONG* length) {
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
}

template class CharacterDataNode<IXMLDOMText>;
template class CharacterDataNode<IXMLDOMCDATASection>;
template class CharacterDataNode<IXMLDOMComment>;

// ---- processing instructions ----

HRESULT ProcessingInstructionNode::get_target(BSTR* target) {
    if (!target) {
        return E_INVALIDARG;
    }
    return ReturnBstr(node_->name, target);
}

HRESULT ProcessingInstructionNode::get_data(BSTR* data) {
    if (!data) {
        return E_INVALIDARG;
    }
    return ReturnBstr(node_->content, data);
}

HRESULT ProcessingInstructionNode::put_data(BSTR data) {
    std::string text;
    if (!AppendXmlUtf8(text, View(data))) {
        return E_INVALIDARG;
    }
    const HRESULT hr = nodeops::CheckContent(node_, text);
    if (FAILED(hr)) {
        return hr;
    }
    return doc_->Store().SetContent(node_, text) ? S_OK : E_OUTOFMEMORY;
}

} // namespace platform::msxml
