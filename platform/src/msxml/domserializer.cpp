#include "domserializer.h"

#include "xmldeclaration.h"
#include "xmltext.h"

#include <cstring>

namespace platform::msxml {
namespace {

// Appends text with the characters that markup or attribute normalisation would change
// written as references.
void AppendEscaped(std::string& out, const xmlChar* text, bool attribute) {
    const char* run = Chars(text);
    const char* p = run;
    for (; *p; ++p) {
        const char* entity = nullptr;
        switch (*p) {
        case '&':
            entity = "&amp;";
            break;
        case '<':
            entity = "&lt;";
            break;
        case '>':
            entity = attribute ? nullptr : "&gt;";
            break;
        case '"':
            entity = attribute ? "&quot;" : nullptr;
            break;
        case '\r':
            entity = "&#13;";
            break;
        case '\n':
            entity = attribute ? "&#10;" : nullptr;
            break;
        case '\t':
            entity = attribute ? "&#9;" : nullptr;
            break;
        default:
            break;
        }
        if (entity) {
            out.append(run, p);
            out += entity;
            run = p + 1;
        }
    }
    out.append(run, p);
}

void AppendAttributeValue(std::string& out, xmlAttrPtr attr) {
    for (xmlNodePtr child = attr->children; child; child = child->next) {
        if (child->type == XML_TEXT_NODE) {
            AppendEscaped(out, child->content, true);
        }
    }
}

void AppendNamespaceAttribute(std::string& out, const xmlChar* prefix, const xmlChar* href) {
    out += prefix ? " xmlns:" : " xmlns";
    if (prefix) {
        out += Chars(prefix);
    }
    out += "=\"";
    AppendEscaped(out, href, true);
    out += '"';
}

void AppendCData(std::string& out, const xmlChar* content) {
    // "]]>" cannot appear inside a section: split it across two.
    std::string_view text = ViewOf(content);
    out += "<![CDATA[";
    size_t start = 0;
    for (size_t end; (end = text.find("]]>", start)) != std::string_view::npos; start = end + 2) {
        out.append(text.substr(start, end + 2 - start));
        out += "]]><![CDATA[";
    }
    out.append(text.substr(start));
    out += "]]>";
}

void AppendLeaf(std::string& out, xmlNodePtr node, bool utf8Declaration) {
    switch (node->type) {
    case XML_TEXT_NODE:
        AppendEscaped(out, node->content, false);
        break;
    case XML_CDATA_SECTION_NODE:
        AppendCData(out, node->content);
        break;
    case XML_COMMENT_NODE:
        out += "<!--";
        out += Chars(node->content);
        out += "-->";
        break;
    case XML_PI_NODE:
        out += "<?";
        out += Chars(node->name);
        if (node->content && *node->content) {
            out += ' ';
            if (utf8Declaration && Equal(node->name, "xml")) {
                out += DeclarationForUtf8(ViewOf(node->content));
            } else {
                out += Chars(node->content);
            }
        }
        out += "?>";
        break;
    case XML_ATTRIBUTE_NODE: {
        auto attr = reinterpret_cast<xmlAttrPtr>(node);
        AppendQName(node, out);
        out += "=\"";
        AppendAttributeValue(out, attr);
        out += '"';
        break;
    }
    default:
        break;
    }
}

void AppendTree(std::string& out, xmlNodePtr root, NamespaceScope& scope, bool utf8Declaration) {
    std::vector<size_t> marks;
    xmlNodePtr cur = root;
    auto close = [&](xmlNodePtr element) {
        out += "</";
        AppendQName(element, out);
        out += '>';
        scope.Restore(marks.back());
        marks.pop_back();
    };
    while (cur) {
        if (cur->type == XML_ELEMENT_NODE) {
            marks.push_back(scope.Mark());
            out += '<';
            AppendQName(cur, out);
            scope.Enter(cur, [&](const xmlChar* prefix, const xmlChar* href) {
                AppendNamespaceAttribute(out, prefix, href);
            });
            for (xmlAttrPtr attr = cur->properties; attr; attr = attr->next) {
                out += ' ';
                AppendLeaf(out, reinterpret_cast<xmlNodePtr>(attr), false);
            }
            if (cur->children) {
                out += '>';
                cur = cur->children;
                continue;
            }
            out += "/>";
            scope.Restore(marks.back());
            marks.pop_back();
        } else {
            AppendLeaf(out, cur, utf8Declaration);
        }
        while (cur != root && !cur->next) {
            cur = cur->parent;
            close(cur);
        }
        if (cur == root) {
            break;
        }
        cur = cur->next;
    }
}

} // namespace

bool IsXmlPrefix(const xmlChar* prefix) {
    return prefix && Equal(prefix, "xml");
}

const xmlChar* NamespaceScope::Lookup(const xmlChar* prefix) const {
    if (IsXmlPrefix(prefix)) {
        return XML_XML_NAMESPACE;
    }
    for (auto it = bindings_.rbegin(); it != bindings_.rend(); ++it) {
        if (prefix ? (it->prefix && xmlStrEqual(it->prefix, prefix)) : !it->prefix) {
            return it->href;
        }
    }
    return nullptr;
}

void NamespaceScope::EnterAncestorsOf(xmlNodePtr node) {
    std::vector<xmlNodePtr> ancestors;
    for (xmlNodePtr up = node->parent; up && up->type == XML_ELEMENT_NODE; up = up->parent) {
        ancestors.push_back(up);
    }
    for (auto it = ancestors.rbegin(); it != ancestors.rend(); ++it) {
        Enter(*it);
    }
}

void AppendQName(xmlNodePtr node, std::string& out) {
    xmlNsPtr ns =
        node->type == XML_ATTRIBUTE_NODE ? reinterpret_cast<xmlAttrPtr>(node)->ns : node->ns;
    if (ns && ns->prefix) {
        out += Chars(ns->prefix);
        out += ':';
    }
    out += Chars(node->name);
}

void SerializeNode(xmlNodePtr node, std::string& out) {
    if (node->type == XML_DOCUMENT_NODE) {
        SerializeDocument(reinterpret_cast<xmlDocPtr>(node), false, out);
        return;
    }
    NamespaceScope scope;
    if (node->type == XML_ELEMENT_NODE) {
        scope.EnterAncestorsOf(node);
    }
    AppendTree(out, node, scope, false);
}

void SerializeDocument(xmlDocPtr doc, bool utf8Declaration, std::string& out) {
    for (xmlNodePtr child = doc->children; child; child = child->next) {
        NamespaceScope scope;
        AppendTree(out, child, scope, utf8Declaration);
        out += "\r\n";
    }
}

void SerializeDeclaration(xmlNsPtr ns, std::string& out) {
    std::string text;
    AppendNamespaceAttribute(text, ns->prefix, ns->href);
    out.append(text, 1); // without the blank that separates it from an element name
}

} // namespace platform::msxml
