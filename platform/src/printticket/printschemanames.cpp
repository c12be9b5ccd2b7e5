#include "printticket/printschemanames.h"

#include "msxml/xmltext.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

namespace platform::printticket {
namespace {

using msxml::Chars;
using msxml::Equal;
using msxml::ViewOf;

const xmlChar* X(const char* text) {
    return reinterpret_cast<const xmlChar*>(text);
}

template <typename T>
T* Check(T* made) {
    if (!made) {
        throw std::bad_alloc();
    }
    return made;
}

bool IsNameAttribute(const xmlAttr* attribute) {
    // The QName-valued attributes: name (of every framework element) and constrained (of
    // options), both without a namespace, and xsi:type of values. An attribute called name of
    // some other vocabulary's element is plain text.
    if (!attribute->ns) {
        const xmlNode* owner = attribute->parent;
        return owner && owner->ns && Equal(owner->ns->href, kFrameworkUri) &&
               (Equal(attribute->name, "name") || Equal(attribute->name, "constrained"));
    }
    return Equal(attribute->ns->href, kSchemaInstanceUri) && Equal(attribute->name, "type");
}

// The attribute of that name in no namespace, as xmlGetNoNsProp finds it.
const xmlAttr* NoNsAttribute(const xmlNode* element, const char* name) {
    if (!element || element->type != XML_ELEMENT_NODE) {
        return nullptr;
    }
    for (const xmlAttr* attribute = element->properties; attribute; attribute = attribute->next) {
        if (!attribute->ns && Equal(attribute->name, name)) {
            return attribute;
        }
    }
    return nullptr;
}

// The xsi:type attribute of an element.
const xmlAttr* SchemaTypeAttribute(const xmlNode* element) {
    for (const xmlAttr* attribute = element->properties; attribute; attribute = attribute->next) {
        if (attribute->ns && Equal(attribute->name, "type") &&
            Equal(attribute->ns->href, kSchemaInstanceUri)) {
            return attribute;
        }
    }
    return nullptr;
}

bool ValueIsQName(const xmlNode* element) {
    if (!IsFrameworkElement(element, "Value")) {
        return false;
    }
    const xmlAttr* type = SchemaTypeAttribute(element);
    if (!type) {
        return false;
    }
    std::string storage;
    QNameView resolved;
    return ResolveQName(element, AttributeValue(type, storage), resolved) &&
           resolved == QNameView(kSchemaUri, "QName");
}

std::string_view PrefixOf(std::string_view qname) {
    qname = msxml::TrimXmlWhitespace(qname);
    const size_t colon = qname.find(':');
    return colon == std::string_view::npos ? std::string_view() : qname.substr(0, colon);
}

// Whether text is an NCName. The ASCII names of tickets are told here; other text by libxml2,
// whose rules for ASCII are these.
bool IsNcName(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    const auto start = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    };
    const auto follow = [&](char c) {
        return start(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
    };
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return msxml::IsNcName(std::string(text));
        }
    }
    if (!start(text.front())) {
        return false;
    }
    for (const char c : text.substr(1)) {
        if (!follow(c)) {
            return false;
        }
    }
    return true;
}

// The declarations of the root element that a walk of the document may find in use: those not
// kept whatever happens. The walk ends as soon as every one of them is found.
class UnusedDeclarations {
public:
    UnusedDeclarations(xmlNode* root, const std::vector<std::string>& keep) {
        for (xmlNs* ns = root->nsDef; ns; ns = ns->next) {
            if (ns->prefix &&
                std::find(keep.begin(), keep.end(), Chars(ns->prefix)) == keep.end()) {
                candidates_.push_back(ns);
            }
        }
    }
    bool AllUsed() const { return candidates_.empty(); }
    void Use(std::string_view prefix) {
        for (auto it = candidates_.begin(); it != candidates_.end(); ++it) {
            if (ViewOf((*it)->prefix) == prefix) {
                candidates_.erase(it);
                return;
            }
        }
    }
    // Walks the element and everything in it, marking the prefixes it uses, in names and in
    // QName values.
    void Walk(const xmlNode* element) {
        if (element->ns && element->ns->prefix) {
            Use(ViewOf(element->ns->prefix));
        }
        std::string storage;
        for (const xmlAttr* attribute = element->properties; attribute && !AllUsed();
             attribute = attribute->next) {
            if (attribute->ns && attribute->ns->prefix) {
                Use(ViewOf(attribute->ns->prefix));
            }
            if (IsNameAttribute(attribute)) {
                Use(PrefixOf(AttributeValue(attribute, storage)));
            }
        }
        const bool qnameValue = ValueIsQName(element);
        for (const xmlNode* child = element->children; child && !AllUsed(); child = child->next) {
            if (child->type == XML_ELEMENT_NODE) {
                Walk(child);
            } else if (qnameValue && child->type == XML_TEXT_NODE) {
                Use(PrefixOf(ViewOf(child->content)));
            }
        }
    }
    // The declarations found in use no longer stand among the candidates.
    const std::vector<xmlNs*>& Unused() const { return candidates_; }

private:
    std::vector<xmlNs*> candidates_;
};

} // namespace

std::vector<std::string> DeclaredPrefixes(const xmlNode* root) {
    std::vector<std::string> prefixes;
    for (const xmlNs* ns = root->nsDef; ns; ns = ns->next) {
        prefixes.push_back(Chars(ns->prefix));
    }
    return prefixes;
}

void DropUnusedDeclarations(xmlNode* root, const std::vector<std::string>& keep) {
    UnusedDeclarations declarations(root, keep);
    if (declarations.AllUsed()) {
        return; // every declaration is one that stays
    }
    declarations.Walk(root);
    for (xmlNs** link = &root->nsDef; *link;) {
        xmlNs* ns = *link;
        const auto& unused = declarations.Unused();
        if (std::find(unused.begin(), unused.end(), ns) != unused.end()) {
            *link = ns->next;
            ns->next = nullptr;
            xmlFreeNs(ns);
        } else {
            link = &ns->next;
        }
    }
}

std::string_view AttributeValue(const xmlAttr* attribute, std::string& storage) {
    const xmlNode* child = attribute->children;
    if (child && !child->next &&
        (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE)) {
        return ViewOf(child->content);
    }
    xmlChar* value = xmlNodeListGetString(attribute->doc, attribute->children, 1);
    storage = Chars(value);
    xmlFree(value);
    return storage;
}

bool ResolveQName(const xmlNode* node, std::string_view text, QNameView& out) {
    text = msxml::TrimXmlWhitespace(text);
    const size_t colon = text.find(':');
    const std::string_view prefix = colon == std::string_view::npos ? "" : text.substr(0, colon);
    const std::string_view local = colon == std::string_view::npos ? text : text.substr(colon + 1);
    if ((colon != std::string_view::npos && !IsNcName(prefix)) || !IsNcName(local)) {
        return false;
    }
    xmlNs* ns = nullptr;
    if (prefix.empty()) {
        ns = xmlSearchNs(node->doc, const_cast<xmlNode*>(node), nullptr);
    } else {
        // Prefixes are short; one that is not is looked up from a copy all the same.
        char buffer[64];
        std::string longPrefix;
        const char* terminated = buffer;
        if (prefix.size() < sizeof buffer) {
            prefix.copy(buffer, prefix.size());
            buffer[prefix.size()] = '\0';
        } else {
            longPrefix = prefix;
            terminated = longPrefix.c_str();
        }
        ns = xmlSearchNs(node->doc, const_cast<xmlNode*>(node), X(terminated));
        if (!ns) {
            return false;
        }
    }
    out.uri = ns ? ViewOf(ns->href) : std::string_view();
    out.local = local;
    return true;
}

bool ResolveQName(const xmlNode* node, std::string_view text, QName& out) {
    QNameView view;
    if (!ResolveQName(node, text, view)) {
        return false;
    }
    out = view.Copy();
    return true;
}

bool IsFrameworkElement(const xmlNode* node, const char* local) {
    // The local name first: it tells most elements apart, and the namespace URI is long.
    return node && node->type == XML_ELEMENT_NODE && node->ns && Equal(node->name, local) &&
           node->ns->href && std::strcmp(Chars(node->ns->href), kFrameworkUri) == 0;
}

bool ElementName(const xmlNode* element, QNameView& out, std::string& storage) {
    const xmlAttr* name = NoNsAttribute(element, "name");
    return name && ResolveQName(element, AttributeValue(name, storage), out);
}

bool ElementName(const xmlNode* element, QName& out, std::string& problem) {
    const xmlAttr* name = NoNsAttribute(element, "name");
    if (!name) {
        problem = "has no name";
        return false;
    }
    std::string storage;
    const std::string text(AttributeValue(name, storage));
    if (ResolveQName(element, text, out)) {
        return true;
    }
    std::string prefix;
    std::string local;
    problem = msxml::SplitQName(std::string(msxml::TrimXmlWhitespace(text)), prefix, local)
                  ? "name \"" + text + "\" uses the undeclared prefix \"" + prefix + "\""
                  : "name \"" + text + "\" is not a qualified name";
    return false;
}

bool ElementName(const xmlNode* element, QName& out) {
    std::string storage;
    QNameView view;
    if (!ElementName(element, view, storage)) {
        return false;
    }
    out = view.Copy();
    return true;
}

std::string TrimmedText(const xmlNode* node) {
    xmlChar* content = xmlNodeGetContent(node);
    std::string text(msxml::TrimXmlWhitespace(Chars(content)));
    xmlFree(content);
    return text;
}

const xmlNode* FindNamedChild(const xmlNode* parent, const char* kind, QNameView name) {
    std::string storage;
    for (const xmlNode* child = parent->children; child; child = child->next) {
        QNameView childName;
        if (IsFrameworkElement(child, kind) && ElementName(child, childName, storage) &&
            childName == name) {
            return child;
        }
    }
    return nullptr;
}

bool NamedValueText(const xmlNode* parent, const char* kind, QNameView name, std::string& out) {
    const xmlNode* holder = FindNamedChild(parent, kind, name);
    if (!holder) {
        return false;
    }
    for (const xmlNode* child = holder->children; child; child = child->next) {
        if (IsFrameworkElement(child, "Value")) {
            out = TrimmedText(child);
            return true;
        }
    }
    return false;
}

xmlNs* NodeImporter::Bind(std::string_view uri, const xmlChar* preferredPrefix) {
    // The XML namespace is bound to "xml" everywhere and may be declared under no other
    // prefix: an xml:space or xml:lang keeps its name.
    if (uri == reinterpret_cast<const char*>(XML_XML_NAMESPACE)) {
        return Check(xmlSearchNs(root_->doc, root_, X("xml")));
    }
    for (xmlNs* ns = root_->nsDef; ns; ns = ns->next) {
        if (ns->prefix && ViewOf(ns->href) == uri) {
            return ns;
        }
    }
    auto taken = [&](const xmlChar* prefix) {
        if (xmlStrEqual(prefix, X("xml")) || xmlStrEqual(prefix, X("xmlns"))) {
            return true;
        }
        for (xmlNs* ns = root_->nsDef; ns; ns = ns->next) {
            if (ns->prefix && xmlStrEqual(ns->prefix, prefix)) {
                return true;
            }
        }
        return false;
    };
    const std::string terminated(uri);
    // The root never gains a default namespace: it would pull the base's unqualified
    // elements into it.
    if (preferredPrefix && *preferredPrefix && !taken(preferredPrefix)) {
        return Check(xmlNewNs(root_, msxml::XmlChars(terminated), preferredPrefix));
    }
    for (int n = 0;; ++n) {
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "ns%04d", n);
        if (!taken(X(prefix))) {
            return Check(xmlNewNs(root_, msxml::XmlChars(terminated), X(prefix)));
        }
    }
}

std::string NodeImporter::QualifiedText(QNameView name, const char* preferredPrefix) {
    if (name.uri.empty()) {
        return std::string(name.local);
    }
    xmlNs* ns = Bind(name.uri, X(preferredPrefix));
    std::string text(Chars(ns->prefix));
    text += ':';
    text += name.local;
    return text;
}

std::string NodeImporter::ImportQNameText(const xmlNode* context, std::string_view text) {
    QNameView name;
    if (!ResolveQName(context, text, name)) {
        std::string prefix;
        std::string local;
        if (!msxml::SplitQName(std::string(msxml::TrimXmlWhitespace(text)), prefix, local)) {
            throw NameError{"\"" + std::string(text) + "\" is not a qualified name"};
        }
        throw NameError{"\"" + std::string(text) + "\" uses the undeclared prefix \"" + prefix +
                        "\""};
    }
    const std::string_view trimmed = msxml::TrimXmlWhitespace(text);
    const size_t colon = trimmed.find(':');
    const std::string prefix(colon == std::string_view::npos ? "" : trimmed.substr(0, colon));
    return QualifiedText(name, prefix.c_str());
}

xmlNode* NodeImporter::Import(const xmlNode* element) {
    xmlNs* ns = element->ns ? Bind(ViewOf(element->ns->href), element->ns->prefix) : nullptr;
    xmlNode* copy = Check(xmlNewDocNode(root_->doc, ns, element->name, nullptr));
    try {
        if (!ns && xmlSearchNs(root_->doc, root_, nullptr)) {
            // An element in no namespace, under a root whose default namespace would claim it.
            Check(xmlNewNs(copy, X(""), nullptr));
        }
        std::string storage;
        for (const xmlAttr* attribute = element->properties; attribute;
             attribute = attribute->next) {
            std::string value(AttributeValue(attribute, storage));
            if (IsNameAttribute(attribute)) {
                value = ImportQNameText(element, value);
            }
            xmlNs* attributeNs =
                attribute->ns ? Bind(ViewOf(attribute->ns->href), attribute->ns->prefix) : nullptr;
            Check(xmlNewNsProp(copy, attributeNs, attribute->name, msxml::XmlChars(value)));
        }
        CopyChildren(element, copy, ValueIsQName(element));
    } catch (...) {
        xmlFreeNode(copy);
        throw;
    }
    return copy;
}

void NodeImporter::CopyChildren(const xmlNode* from, xmlNode* to, bool valueIsQName) {
    for (const xmlNode* child = from->children; child; child = child->next) {
        xmlNode* made = nullptr;
        if (child->type == XML_ELEMENT_NODE) {
            made = Import(child);
        } else if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) {
            if (valueIsQName) {
                const std::string text = ImportQNameText(from, ViewOf(child->content));
                made = Check(xmlNewDocText(root_->doc, msxml::XmlChars(text)));
            } else {
                made = Check(xmlNewDocText(root_->doc, child->content ? child->content : X("")));
            }
        } else if (child->type == XML_COMMENT_NODE) {
            made = Check(xmlNewDocComment(root_->doc, child->content));
        }
        if (made && !xmlAddChild(to, made)) {
            xmlFreeNode(made);
            throw std::bad_alloc();
        }
    }
}

} // namespace platform::printticket
