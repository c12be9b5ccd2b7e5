#include "printticket/printschemanames.h"

#include "msxml/xmltext.h"

#include <cstdio>
#include <new>
#include <set>

namespace platform::printticket {
namespace {

using msxml::Chars;
using msxml::Equal;

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

std::string AttributeText(const xmlAttr* attribute) {
    xmlChar* value = xmlNodeListGetString(attribute->doc, attribute->children, 1);
    std::string text = Chars(value);
    xmlFree(value);
    return text;
}

bool ValueIsQName(const xmlNode* element) {
    if (!IsFrameworkElement(element, "Value")) {
        return false;
    }
    xmlChar* type = xmlGetNsProp(element, X("type"), X(kSchemaInstanceUri));
    QName resolved;
    const bool qname = type && ResolveQName(element, Chars(type), resolved) &&
                       resolved == QName{kSchemaUri, "QName"};
    xmlFree(type);
    return qname;
}

std::string PrefixOf(std::string_view qname) {
    qname = msxml::TrimXmlWhitespace(qname);
    const size_t colon = qname.find(':');
    return colon == std::string_view::npos ? "" : std::string(qname.substr(0, colon));
}

void CollectUsedPrefixes(const xmlNode* element, std::set<std::string>& used) {
    if (element->ns && element->ns->prefix) {
        used.insert(Chars(element->ns->prefix));
    }
    for (const xmlAttr* attribute = element->properties; attribute; attribute = attribute->next) {
        if (attribute->ns && attribute->ns->prefix) {
            used.insert(Chars(attribute->ns->prefix));
        }
        if (IsNameAttribute(attribute)) {
            used.insert(PrefixOf(AttributeText(attribute)));
        }
    }
    const bool qnameValue = ValueIsQName(element);
    for (const xmlNode* child = element->children; child; child = child->next) {
        if (child->type == XML_ELEMENT_NODE) {
            CollectUsedPrefixes(child, used);
        } else if (qnameValue && child->type == XML_TEXT_NODE) {
            used.insert(PrefixOf(Chars(child->content)));
        }
    }
}

} // namespace

std::vector<std::string> DeclaredPrefixes(const xmlNode* root) {
    std::vector<std::string> prefixes;
    for (const xmlNs* ns = root->nsDef; ns; ns = ns->next) {
        prefixes.push_back(Chars(ns->prefix));
    }
    return prefixes;
}

void DropUnusedDeclarations(xmlNode* root, const std::vector<std::string>& keep) {
    std::set<std::string> used(keep.begin(), keep.end());
    CollectUsedPrefixes(root, used);
    for (xmlNs** link = &root->nsDef; *link;) {
        xmlNs* ns = *link;
        if (ns->prefix && !used.count(Chars(ns->prefix))) {
            *link = ns->next;
            ns->next = nullptr;
            xmlFreeNs(ns);
        } else {
            link = &ns->next;
        }
    }
}

bool ResolveQName(const xmlNode* node, std::string_view text, QName& out) {
    text = msxml::TrimXmlWhitespace(text);
    std::string prefix;
    std::string local;
    if (!msxml::SplitQName(std::string(text), prefix, local)) {
        return false;
    }
    xmlNs* ns = xmlSearchNs(node->doc, const_cast<xmlNode*>(node),
                            prefix.empty() ? nullptr : msxml::XmlChars(prefix));
    if (!ns && !prefix.empty()) {
        return false;
    }
    out.uri = ns ? Chars(ns->href) : "";
    out.local = std::move(local);
    return true;
}

bool IsFrameworkElement(const xmlNode* node, const char* local) {
    return node && node->type == XML_ELEMENT_NODE && node->ns &&
           Equal(node->ns->href, kFrameworkUri) && Equal(node->name, local);
}

bool ElementName(const xmlNode* element, QName& out, std::string& problem) {
    xmlChar* name = xmlGetNoNsProp(element, X("name"));
    if (!name) {
        problem = "has no name";
        return false;
    }
    const std::string text = Chars(name);
    xmlFree(name);
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
    std::string problem;
    return ElementName(element, out, problem);
}

std::string TrimmedText(const xmlNode* node) {
    xmlChar* content = xmlNodeGetContent(node);
    std::string text(msxml::TrimXmlWhitespace(Chars(content)));
    xmlFree(content);
    return text;
}

const xmlNode* FindNamedChild(const xmlNode* parent, const char* kind, const QName& name) {
    for (const xmlNode* child = parent->children; child; child = child->next) {
        QName childName;
        if (IsFrameworkElement(child, kind) && ElementName(child, childName) && childName == name) {
            return child;
        }
    }
    return nullptr;
}

bool NamedValueText(const xmlNode* parent, const char* kind, const QName& name, std::string& out) {
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

xmlNs* NodeImporter::Bind(const xmlChar* uri, const xmlChar* preferredPrefix) {
    for (xmlNs* ns = root_->nsDef; ns; ns = ns->next) {
        if (ns->prefix && xmlStrEqual(ns->href, uri)) {
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
    // The root never gains a default namespace: it would pull the base's unqualified
    // elements into it.
    if (preferredPrefix && *preferredPrefix && !taken(preferredPrefix)) {
        return Check(xmlNewNs(root_, uri, preferredPrefix));
    }
    for (int n = 0;; ++n) {
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "ns%04d", n);
        if (!taken(X(prefix))) {
            return Check(xmlNewNs(root_, uri, X(prefix)));
        }
    }
}

std::string NodeImporter::QualifiedText(const QName& name, const char* preferredPrefix) {
    if (name.uri.empty()) {
        return name.local;
    }
    xmlNs* ns = Bind(msxml::XmlChars(name.uri), X(preferredPrefix));
    return std::string(Chars(ns->prefix)) + ":" + name.local;
}

std::string NodeImporter::ImportQNameText(const xmlNode* context, std::string_view text) {
    QName name;
    if (!ResolveQName(context, text, name)) {
        std::string prefix;
        std::string local;
        if (!msxml::SplitQName(std::string(msxml::TrimXmlWhitespace(text)), prefix, local)) {
            throw NameError{"\"" + std::string(text) + "\" is not a qualified name"};
        }
        throw NameError{"\"" + std::string(text) + "\" uses the undeclared prefix \"" + prefix +
                        "\""};
    }
    std::string prefix;
    std::string local;
    msxml::SplitQName(std::string(msxml::TrimXmlWhitespace(text)), prefix, local);
    return QualifiedText(name, prefix.c_str());
}

xmlNode* NodeImporter::Import(const xmlNode* element) {
    xmlNs* ns = element->ns ? Bind(element->ns->href, element->ns->prefix) : nullptr;
    xmlNode* copy = Check(xmlNewDocNode(root_->doc, ns, element->name, nullptr));
    try {
        if (!ns && xmlSearchNs(root_->doc, root_, nullptr)) {
            // An element in no namespace, under a root whose default namespace would claim it.
            Check(xmlNewNs(copy, X(""), nullptr));
        }
        for (const xmlAttr* attribute = element->properties; attribute;
             attribute = attribute->next) {
            std::string value = AttributeText(attribute);
            if (IsNameAttribute(attribute)) {
                value = ImportQNameText(element, value);
            }
            xmlNs* attributeNs =
                attribute->ns ? Bind(attribute->ns->href, attribute->ns->prefix) : nullptr;
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
            const std::string text =
                valueIsQName ? ImportQNameText(from, Chars(child->content)) : Chars(child->content);
            made = Check(xmlNewDocText(root_->doc, msxml::XmlChars(text)));
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
