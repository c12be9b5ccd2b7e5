#include "domdeclaration.h"

#include "domattributes.h"
#include "domdocument.h"
#include "domnodelist.h"
#include "domserializer.h"
#include "xmltext.h"

namespace platform::msxml {
namespace {

constexpr const char* kXmlnsNamespace = "http://www.w3.org/2000/xmlns/";

HRESULT Nothing(IXMLDOMNode** out) {
    if (!out) {
        return E_INVALIDARG;
    }
    *out = nullptr;
    return S_FALSE;
}

} // namespace

DeclarationNode::DeclarationNode(DomDocument& doc, xmlNsPtr ns, IXMLDOMNode* elementObject)
    : doc_(&doc), ns_(ns), element_(nullptr) {
    doc_->AddRef();
    ns_->_private = this;
    if (elementObject) {
        Attached(elementObject);
    }
}

DeclarationNode::~DeclarationNode() {
    ns_->_private = nullptr;
    if (!element_) {
        xmlFreeNs(ns_);
    }
    elementObject_.Release();
    doc_->Release();
}

void DeclarationNode::Attached(IXMLDOMNode* elementObject) {
    elementObject_ = elementObject;
    element_ = FindCore(elementObject)->Node();
}

void DeclarationNode::Detached() {
    element_ = nullptr;
    elementObject_.Release();
}

HRESULT DeclarationNode::SetUri(const std::string& uri) {
    if (SameUri(ns_->href, XmlChars(uri))) {
        return S_OK;
    }
    if (element_) {
        if ((ns_->prefix && uri.empty()) ||
            !attributes::CanBind(element_, ns_->prefix, XmlChars(uri), nullptr, ns_)) {
            return E_FAIL;
        }
    }
    return doc_->Store().SetDeclarationHref(element_, ns_, uri) ? S_OK : E_OUTOFMEMORY;
}

HRESULT DeclarationNode::get_nodeName(BSTR* name) {
    return Guarded([&]() -> HRESULT {
        if (!name) {
            return E_INVALIDARG;
        }
        std::string qname = "xmlns";
        if (ns_->prefix) {
            qname += ':';
            qname += Chars(ns_->prefix);
        }
        return ReturnBstr(qname, name);
    });
}

HRESULT DeclarationNode::get_nodeValue(VARIANT* value) {
    return Guarded([&]() -> HRESULT {
        if (!value) {
            return E_INVALIDARG;
        }
        return ReturnVariantBstr(ViewOf(ns_->href), value);
    });
}

HRESULT DeclarationNode::put_nodeValue(VARIANT value) {
    return Guarded([&]() -> HRESULT {
        std::string uri;
        const HRESULT hr = VariantToXmlUtf8(value, uri);
        return FAILED(hr) ? hr : SetUri(uri);
    });
}

HRESULT DeclarationNode::get_nodeType(DOMNodeType* type) {
    if (!type) {
        return E_INVALIDARG;
    }
    *type = NODE_ATTRIBUTE;
    return S_OK;
}

HRESULT DeclarationNode::get_parentNode(IXMLDOMNode** parent) {
    return Nothing(parent);
}

HRESULT DeclarationNode::get_childNodes(IXMLDOMNodeList** children) {
    return Guarded([&]() -> HRESULT {
        if (!children) {
            return E_INVALIDARG;
        }
        *children = NodeList::Make(0);
        return *children ? S_OK : E_OUTOFMEMORY;
    });
}

HRESULT DeclarationNode::get_firstChild(IXMLDOMNode** child) {
    return Nothing(child);
}
HRESULT DeclarationNode::get_lastChild(IXMLDOMNode** child) {
    return Nothing(child);
}
HRESULT DeclarationNode::get_previousSibling(IXMLDOMNode** sibling) {
    return Nothing(sibling);
}
HRESULT DeclarationNode::get_nextSibling(IXMLDOMNode** sibling) {
    return Nothing(sibling);
}

HRESULT DeclarationNode::get_attributes(IXMLDOMNamedNodeMap** attributes) {
    if (!attributes) {
        return E_INVALIDARG;
    }
    *attributes = nullptr;
    return S_FALSE;
}

// A declaration has no children to change.
HRESULT DeclarationNode::insertBefore(IXMLDOMNode*, VARIANT, IXMLDOMNode** outNewChild) {
    if (outNewChild) {
        *outNewChild = nullptr;
    }
    return E_FAIL;
}
HRESULT DeclarationNode::replaceChild(IXMLDOMNode*, IXMLDOMNode*, IXMLDOMNode** outOldChild) {
    if (outOldChild) {
        *outOldChild = nullptr;
    }
    return E_FAIL;
}
HRESULT DeclarationNode::removeChild(IXMLDOMNode*, IXMLDOMNode** oldChild) {
    if (oldChild) {
        *oldChild = nullptr;
    }
    return E_INVALIDARG;
}
HRESULT DeclarationNode::appendChild(IXMLDOMNode*, IXMLDOMNode** outNewChild) {
    if (outNewChild) {
        *outNewChild = nullptr;
    }
    return E_FAIL;
}

HRESULT DeclarationNode::hasChildNodes(VARIANT_BOOL* hasChild) {
    if (!hasChild) {
        return E_INVALIDARG;
    }
    *hasChild = VARIANT_FALSE;
    return S_FALSE;
}

HRESULT DeclarationNode::get_ownerDocument(IXMLDOMDocument** document) {
    return Guarded([&]() -> HRESULT {
        if (!document) {
            return E_INVALIDARG;
        }
        return doc_->QueryInterface(IID_IXMLDOMDocument, reinterpret_cast<void**>(document));
    });
}

HRESULT DeclarationNode::cloneNode(VARIANT_BOOL, IXMLDOMNode** clone) {
    return Guarded([&]() -> HRESULT {
        if (!clone) {
            return E_INVALIDARG;
        }
        *clone = nullptr;
        xmlNsPtr copy = NewNamespace(ns_->prefix, ns_->href);
        if (!copy) {
            return E_OUTOFMEMORY;
        }
        DeclarationNode* made = com::New<DeclarationNode>(*doc_, copy, nullptr);
        if (!made) {
            xmlFreeNs(copy);
            return E_OUTOFMEMORY;
        }
        *clone = made;
        return S_OK;
    });
}

HRESULT DeclarationNode::get_text(BSTR* text) {
    return Guarded([&]() -> HRESULT {
        if (!text) {
            return E_INVALIDARG;
        }
        return ReturnBstr(ns_->href, text);
    });
}

HRESULT DeclarationNode::put_text(BSTR text) {
    return Guarded([&]() -> HRESULT {
        std::string uri;
        if (!AppendXmlUtf8(uri, View(text))) {
            return E_INVALIDARG;
        }
        return SetUri(uri);
    });
}

HRESULT DeclarationNode::get_nodeTypedValue(VARIANT* value) {
    return get_nodeValue(value);
}

HRESULT DeclarationNode::get_xml(BSTR* xml) {
    return Guarded([&]() -> HRESULT {
        if (!xml) {
            return E_INVALIDARG;
        }
        std::string text;
        SerializeDeclaration(ns_, text);
        return ReturnBstr(text, xml);
    });
}

// XPath has no node for a declaration held as an attribute.
HRESULT DeclarationNode::selectNodes(BSTR, IXMLDOMNodeList** list) {
    if (!list) {
        return E_INVALIDARG;
    }
    *list = nullptr;
    return E_FAIL;
}
HRESULT DeclarationNode::selectSingleNode(BSTR, IXMLDOMNode** node) {
    if (!node) {
        return E_INVALIDARG;
    }
    *node = nullptr;
    return E_FAIL;
}

HRESULT DeclarationNode::get_namespaceURI(BSTR* uri) {
    return Guarded([&]() -> HRESULT {
        if (!uri) {
            return E_INVALIDARG;
        }
        return ReturnBstr(kXmlnsNamespace, uri);
    });
}

HRESULT DeclarationNode::get_prefix(BSTR* prefix) {
    return Guarded([&]() -> HRESULT {
        if (!prefix) {
            return E_INVALIDARG;
        }
        if (!ns_->prefix) {
            *prefix = nullptr;
            return S_FALSE;
        }
        return ReturnBstr("xmlns", prefix);
    });
}

HRESULT DeclarationNode::get_baseName(BSTR* name) {
    return Guarded([&]() -> HRESULT {
        if (!name) {
            return E_INVALIDARG;
        }
        return ns_->prefix ? ReturnBstr(ns_->prefix, name) : ReturnBstr("xmlns", name);
    });
}

HRESULT DeclarationNode::get_name(BSTR* name) {
    return get_nodeName(name);
}
HRESULT DeclarationNode::get_value(VARIANT* value) {
    return get_nodeValue(value);
}
HRESULT DeclarationNode::put_value(VARIANT value) {
    return put_nodeValue(value);
}

} // namespace platform::msxml
