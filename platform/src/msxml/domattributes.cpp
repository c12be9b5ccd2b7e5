#include "domattributes.h"

#include "domdeclaration.h"
#include "domdocument.h"
#include "domserializer.h"
#include "xmltext.h"

#include "atlbase.h"

namespace platform::msxml::attributes {
namespace {

constexpr std::string_view kXmlnsPrefix = "xmlns:";

bool SamePrefix(const xmlChar* a, const xmlChar* b) {
    return a ? (b && xmlStrEqual(a, b)) : !b;
}

bool HasQName(xmlAttrPtr attr, std::string_view qname) {
    std::string_view local = qname;
    if (attr->ns && attr->ns->prefix) {
        const std::string_view prefix = ViewOf(attr->ns->prefix);
        if (qname.size() <= prefix.size() || qname.substr(0, prefix.size()) != prefix ||
            qname[prefix.size()] != ':') {
            return false;
        }
        local = qname.substr(prefix.size() + 1);
    }
    return local == ViewOf(attr->name);
}

// The declaration of prefix (null: default) on element.
xmlNsPtr FindDeclaration(xmlNodePtr element, const xmlChar* prefix) {
    for (xmlNsPtr ns = element->nsDef; ns; ns = ns->next) {
        if (SamePrefix(ns->prefix, prefix)) {
            return ns;
        }
    }
    return nullptr;
}

// For a declaration name ("xmlns" or "xmlns:p"): true, with prefix set ("" for xmlns).
bool IsDeclarationName(std::string_view qname, std::string_view& prefix) {
    if (qname == "xmlns") {
        prefix = {};
        return true;
    }
    if (qname.substr(0, kXmlnsPrefix.size()) == kXmlnsPrefix) {
        prefix = qname.substr(kXmlnsPrefix.size());
        return true;
    }
    return false;
}

DeclarationNode* ObjectOf(xmlNsPtr ns) {
    return static_cast<DeclarationNode*>(ns->_private);
}

} // namespace

std::string Value(xmlAttrPtr attribute) {
    std::string value;
    for (xmlNodePtr text = attribute->children; text; text = text->next) {
        value += Chars(text->content);
    }
    return value;
}

AttributeEntry Find(xmlNodePtr element, std::u16string_view qname) {
    std::string name;
    AttributeEntry entry;
    if (!AppendXmlUtf8(name, qname)) {
        return entry;
    }
    std::string_view prefix;
    if (IsDeclarationName(name, prefix)) {
        const std::string prefixText(prefix);
        entry.declaration =
            FindDeclaration(element, prefix.empty() ? nullptr : XmlChars(prefixText));
        return entry;
    }
    for (xmlAttrPtr attr = element->properties; attr; attr = attr->next) {
        if (HasQName(attr, name)) {
            entry.attribute = attr;
            break;
        }
    }
    return entry;
}

LONG Count(xmlNodePtr element) {
    LONG count = 0;
    for (xmlAttrPtr attr = element->properties; attr; attr = attr->next) {
        ++count;
    }
    for (xmlNsPtr ns = element->nsDef; ns; ns = ns->next) {
        ++count;
    }
    return count;
}

AttributeEntry Next(xmlNodePtr element, AttributeEntry entry) {
    AttributeEntry next;
    if (entry.declaration) {
        next.declaration = entry.declaration->next;
    } else if (entry.attribute && entry.attribute->next) {
        next.attribute = entry.attribute->next;
    } else if (entry.attribute) {
        next.declaration = element->nsDef;
    } else if (element->properties) {
        next.attribute = element->properties;
    } else {
        next.declaration = element->nsDef;
    }
    return next;
}

AttributeEntry At(xmlNodePtr element, LONG index) {
    AttributeEntry entry;
    if (index < 0) {
        return entry;
    }
    entry = Next(element, entry);
    for (; entry && index > 0; --index) {
        entry = Next(element, entry);
    }
    return entry;
}

HRESULT Wrap(DomDocument& doc, xmlNodePtr element, AttributeEntry entry, IXMLDOMNode** node) {
    if (entry.attribute) {
        return doc.Wrap(reinterpret_cast<xmlNodePtr>(entry.attribute), node);
    }
    return doc.WrapDeclaration(element, entry.declaration, node);
}

HRESULT Remove(DomDocument& doc, xmlNodePtr element, AttributeEntry entry, IXMLDOMNode** removed) {
    CComPtr<IXMLDOMNode> object;
    if (removed) {
        *removed = nullptr;
        const HRESULT hr = Wrap(doc, element, entry, &object);
        if (FAILED(hr)) {
            return hr;
        }
    }
    if (entry.attribute) {
        doc.Store().Detach(reinterpret_cast<xmlNodePtr>(entry.attribute));
    } else {
        xmlNsPtr ns = entry.declaration;
        DeclarationNode* existing = ObjectOf(ns);
        doc.Store().RemoveDeclaration(element, ns);
        if (existing) {
            existing->Detached();
        } else {
            xmlFreeNs(ns);
        }
    }
    if (removed) {
        *removed = object.Detach();
    }
    return S_OK;
}

bool CanBind(xmlNodePtr element, const xmlChar* prefix, const xmlChar* href,
             xmlAttrPtr ignoreAttribute, xmlNsPtr ignoreDeclaration) {
    if (IsXmlPrefix(prefix)) {
        return SameUri(href, XML_XML_NAMESPACE);
    }
    for (xmlNsPtr ns = element->nsDef; ns; ns = ns->next) {
        if (ns != ignoreDeclaration && SamePrefix(ns->prefix, prefix) && !SameUri(ns->href, href)) {
            return false;
        }
    }
    if (!prefix) {
        // Only the element itself uses the default namespace.
        const xmlChar* own = element->ns && !element->ns->prefix ? element->ns->href : nullptr;
        return (element->ns && element->ns->prefix) || SameUri(own, href);
    }
    if (element->ns && SamePrefix(element->ns->prefix, prefix) &&
        !SameUri(element->ns->href, href)) {
        return false;
    }
    for (xmlAttrPtr attr = element->properties; attr; attr = attr->next) {
        if (attr != ignoreAttribute && attr->ns && SamePrefix(attr->ns->prefix, prefix) &&
            !SameUri(attr->ns->href, href)) {
            return false;
        }
    }
    return true;
}

HRESULT SetNode(DomDocument& doc, xmlNodePtr element, IXMLDOMNode* attribute,
                IXMLDOMNode** replaced) {
    if (replaced) {
        *replaced = nullptr;
    }
    DomNodeCore* core = FindCore(attribute);
    if (!core || &core->Owner() != &doc) {
        return E_INVALIDARG;
    }
    CComPtr<IXMLDOMNode> elementObject;
    HRESULT hr = doc.Wrap(element, &elementObject);
    if (FAILED(hr)) {
        return hr;
    }
    if (xmlNsPtr ns = core->Declaration()) {
        if (core->Node()) {
            return E_INVALIDARG; // held by an element already
        }
        if (ns->prefix && !*ns->href) {
            return E_FAIL; // a prefix cannot be bound to no namespace
        }
        xmlNsPtr existing = FindDeclaration(element, ns->prefix);
        if (!CanBind(element, ns->prefix, ns->href, nullptr, existing)) {
            return E_FAIL;
        }
        if (existing) {
            hr = Remove(doc, element, AttributeEntry{nullptr, existing}, replaced);
            if (FAILED(hr)) {
                return hr;
            }
        }
        doc.Store().AddDeclaration(element, ns);
        static_cast<DeclarationNode*>(core)->Attached(elementObject);
        return S_OK;
    }
    xmlNodePtr node = core->Node();
    if (node->type != XML_ATTRIBUTE_NODE || node->parent || node->doc != element->doc) {
        return E_INVALIDARG;
    }
    auto attr = reinterpret_cast<xmlAttrPtr>(node);
    if (attr->ns && !attr->ns->prefix) {
        return E_FAIL; // in a namespace, without a prefix to write it with
    }
    xmlAttrPtr existing = nullptr;
    for (xmlAttrPtr other = element->properties; other; other = other->next) {
        if (xmlStrEqual(other->name, attr->name) &&
            (attr->ns ? other->ns && SameUri(other->ns->href, attr->ns->href) : !other->ns)) {
            existing = other;
            break;
        }
    }
    if (attr->ns && !CanBind(element, attr->ns->prefix, attr->ns->href, existing, nullptr)) {
        return E_FAIL;
    }
    CComPtr<IXMLDOMNode> old;
    if (existing && replaced) {
        hr = doc.Wrap(reinterpret_cast<xmlNodePtr>(existing), &old);
        if (FAILED(hr)) {
            return hr;
        }
    }
    doc.Store().AttachAttribute(element, attr, existing);
    if (replaced) {
        *replaced = old.Detach();
    }
    return S_OK;
}

HRESULT SetValue(DomDocument& doc, xmlNodePtr element, std::u16string_view qname,
                 const std::string& value) {
    std::string name;
    if (!AppendXmlUtf8(name, qname)) {
        return E_FAIL;
    }
    DomStore& store = doc.Store();
    std::string_view declared;
    if (IsDeclarationName(name, declared)) {
        const std::string prefixText(declared);
        if (!declared.empty() && (!IsNcName(prefixText) || prefixText == "xmlns")) {
            return E_FAIL;
        }
        const xmlChar* prefix = declared.empty() ? nullptr : XmlChars(prefixText);
        if (prefix && value.empty()) {
            return E_FAIL;
        }
        xmlNsPtr existing = FindDeclaration(element, prefix);
        if (!CanBind(element, prefix, XmlChars(value), nullptr, existing)) {
            return E_FAIL;
        }
        if (existing) {
            return store.SetDeclarationHref(element, existing, value) ? S_OK : E_OUTOFMEMORY;
        }
        xmlNsPtr ns = NewNamespace(prefix, XmlChars(value));
        if (!ns) {
            return E_OUTOFMEMORY;
        }
        store.AddDeclaration(element, ns);
        return S_OK;
    }
    if (const AttributeEntry entry = Find(element, qname); entry.attribute) {
        return store.SetContent(reinterpret_cast<xmlNodePtr>(entry.attribute), value)
                   ? S_OK
                   : E_OUTOFMEMORY;
    }
    std::string prefix;
    std::string local;
    if (!SplitQName(name, prefix, local)) {
        return E_FAIL;
    }
    xmlNsPtr ns = nullptr;
    if (!prefix.empty()) {
        NamespaceScope scope;
        scope.EnterAncestorsOf(element);
        scope.Enter(element);
        const xmlChar* uri = scope.Lookup(XmlChars(prefix));
        if (!uri) {
            return E_FAIL;
        }
        ns = store.PooledNs(XmlChars(prefix), uri);
        if (!ns) {
            return E_OUTOFMEMORY;
        }
    }
    xmlAttrPtr attr = xmlNewDocProp(element->doc, XmlChars(local), nullptr);
    if (!attr) {
        return E_OUTOFMEMORY;
    }
    attr->ns = ns;
    if (!store.SetContent(reinterpret_cast<xmlNodePtr>(attr), value)) {
        xmlFreeProp(attr);
        return E_OUTOFMEMORY;
    }
    store.AttachAttribute(element, attr, nullptr);
    return S_OK;
}

} // namespace platform::msxml::attributes
