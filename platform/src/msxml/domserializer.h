// Writes nodes as XML text (UTF-8). Namespace declarations are written where they are needed:
// an element writes the declarations it holds, plus one for its own namespace and for each of
// its attributes' namespaces that the bindings in scope do not already give.
#pragma once

#include <libxml/tree.h>

#include <string>
#include <vector>

namespace platform::msxml {

// The namespace bindings in scope at one point of a tree, as the serialiser makes them.
class NamespaceScope {
public:
    // The URI bound to prefix (null: the default namespace); null when unbound.
    const xmlChar* Lookup(const xmlChar* prefix) const;
    size_t Mark() const { return bindings_.size(); }
    void Restore(size_t mark) { bindings_.resize(mark); }
    // Adds the bindings of element; emit(prefix, href) is called for each declaration the
    // element writes.
    template <class Emit>
    void Enter(xmlNodePtr element, Emit&& emit);
    void Enter(xmlNodePtr element) {
        Enter(element, [](const xmlChar*, const xmlChar*) {});
    }
    // Adds the bindings of every element above node, outermost first.
    void EnterAncestorsOf(xmlNodePtr node);

private:
    struct Binding {
        const xmlChar* prefix;
        const xmlChar* href;
    };
    std::vector<Binding> bindings_;
};

void SerializeNode(xmlNodePtr node, std::string& out);
// Every child of the document, each followed by CR LF. utf8Declaration: the XML declaration
// names UTF-8 as the encoding (for bytes written as UTF-8).
void SerializeDocument(xmlDocPtr doc, bool utf8Declaration, std::string& out);
// A declaration as an attribute: xmlns:p="uri" or xmlns="uri".
void SerializeDeclaration(xmlNsPtr ns, std::string& out);

// The qualified name of an element or attribute.
void AppendQName(xmlNodePtr node, std::string& out);

// ---- implementation ----

inline bool SameUri(const xmlChar* a, const xmlChar* b) {
    return xmlStrEqual(a ? a : reinterpret_cast<const xmlChar*>(""),
                       b ? b : reinterpret_cast<const xmlChar*>("")) != 0;
}
bool IsXmlPrefix(const xmlChar* prefix);

template <class Emit>
void NamespaceScope::Enter(xmlNodePtr element, Emit&& emit) {
    for (xmlNsPtr ns = element->nsDef; ns; ns = ns->next) {
        bindings_.push_back({ns->prefix, ns->href});
        emit(ns->prefix, ns->href);
    }
    auto need = [&](const xmlChar* prefix, const xmlChar* href) {
        if (!IsXmlPrefix(prefix) && !SameUri(Lookup(prefix), href)) {
            bindings_.push_back({prefix, href});
            emit(prefix, href);
        }
    };
    if (element->ns) {
        need(element->ns->prefix, element->ns->href);
    } else {
        need(nullptr, nullptr); // an element in no namespace under a default one: xmlns=""
    }
    for (xmlAttrPtr attr = element->properties; attr; attr = attr->next) {
        if (attr->ns && attr->ns->prefix) {
            need(attr->ns->prefix, attr->ns->href);
        }
    }
}

} // namespace platform::msxml
