// The libxml2 trees behind one DOM document, and the bookkeeping that lets node objects
// outlive their place in the tree.
//
// Who owns what:
// - The store owns the current xmlDoc, the documents it replaced while node objects still
//   pointed into them ("retired"), every detached tree (a node taken out of the tree, or made
//   and not yet inserted), and the pooled namespaces.
// - A node object is registered on its node (node->_private); it does not own the node. A
//   detached tree is freed as soon as no node object inside it is alive; the counts of live
//   objects per detached root make that O(1) per release.
// - Nodes in a namespace point at an xmlNs: a declaration on an ancestor (as loaded), or a
//   pooled one the store owns. A node leaving a subtree is re-pointed to the pool when its
//   declaration stays behind, so freeing one tree never leaves pointers into it.
// Every structural edit of the tree goes through the store so this stays true.
#pragma once

#include "oleauto.h"

#include <libxml/tree.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

struct IXMLDOMNode;

namespace platform::msxml {

class DomStore {
public:
    DomStore() = default;
    DomStore(const DomStore&) = delete;
    DomStore& operator=(const DomStore&) = delete;
    ~DomStore();

    // Starts with an empty document; false when memory runs out.
    bool Initialise();

    xmlDocPtr Doc() const { return doc_; }
    xmlNodePtr DocNode() const { return reinterpret_cast<xmlNodePtr>(doc_); }
    // Makes doc (owned from now on, even when this throws std::bad_alloc) the current tree.
    // The old tree is freed, or kept until the store goes when node objects still point into
    // it.
    void ReplaceDoc(xmlDocPtr doc);

    // ---- node objects ----
    static IXMLDOMNode* Cached(xmlNodePtr node) {
        return static_cast<IXMLDOMNode*>(node->_private);
    }
    // Records the object of a node (which has none yet).
    void Register(xmlNodePtr node, IXMLDOMNode* object);
    // Forgets it; frees the detached tree the node is in when it was the last object there.
    void Unregister(xmlNodePtr node);
    // A node just made, outside any tree: it becomes a detached root (freed when unreferenced).
    // False when memory runs out; the caller still owns root then.
    bool AdoptDetached(xmlNodePtr root) noexcept;
    // Frees a detached root that never got an object (a failure after making it).
    void DiscardUnreferenced(xmlNodePtr root);

    // ---- tree edits ----
    // Moves child (a detached root, or a node anywhere in this store's trees) under parent,
    // before `before` (a child of parent) or last. The caller has checked that this is allowed.
    void InsertChild(xmlNodePtr parent, xmlNodePtr child, xmlNodePtr before);
    // Takes a child (or an attribute) out of its parent; it becomes a detached root. Throws
    // std::bad_alloc with the tree unchanged when it cannot be recorded as one.
    void Detach(xmlNodePtr child);
    void DiscardChildren(xmlNodePtr parent);
    // Attaches a detached attribute to element, in place of `replacing` (detached in turn) or
    // last.
    void AttachAttribute(xmlNodePtr element, xmlAttrPtr attribute, xmlAttrPtr replacing);
    // Sets the text of an attribute, text, CDATA, comment or processing instruction node.
    bool SetContent(xmlNodePtr node, const std::string& utf8);
    // A copy of source (with its subtree when deep) in the current document, not yet in any
    // tree and not yet adopted. Null when memory runs out.
    xmlNodePtr Copy(xmlNodePtr source, bool deep) noexcept;

    // ---- namespaces ----
    // The store's xmlNs for (prefix, href); null prefix is the default namespace. Null when
    // memory runs out.
    xmlNsPtr PooledNs(const xmlChar* prefix, const xmlChar* href) noexcept;
    // Every node in the subtree of element that uses ns is re-pointed to the pool; ns is
    // then unlinked from element's declarations (the caller owns it).
    void RemoveDeclaration(xmlNodePtr element, xmlNsPtr ns);
    // Links ns (owned by the tree from now on) last in element's declarations.
    void AddDeclaration(xmlNodePtr element, xmlNsPtr ns);
    // Gives a declaration attached to element a new URI; users keep their old namespace.
    bool SetDeclarationHref(xmlNodePtr element, xmlNsPtr ns, const std::string& href);

    // ---- changes ----
    // Called before every change to a tree of the store (the document takes its pending
    // snapshots then), which then advances the version. A hook must not throw.
    using ChangeHook = void (*)(void* context) noexcept;
    void SetChangeHook(ChangeHook hook, void* context) noexcept {
        hook_ = hook;
        hookContext_ = context;
    }
    // Advances with every change to the trees: two equal values mean the same trees.
    uint64_t Version() const { return version_; }

    // Changes whenever an element's attributes or declarations change (attribute maps use it to
    // keep a cursor valid).
    uint64_t AttributeEpoch() const { return attributeEpoch_; }

    static xmlNodePtr Top(xmlNodePtr node);
    static bool IsAncestorOrSelf(xmlNodePtr ancestor, xmlNodePtr node);

private:
    void Changing() noexcept {
        if (hook_) {
            hook_(hookContext_);
        }
        ++version_;
    }
    bool IsDetachedRoot(xmlNodePtr top) const { return top->type != XML_DOCUMENT_NODE; }
    uint32_t CountObjects(xmlNodePtr root) const;
    void Localise(xmlNodePtr root);
    void Repoint(xmlNodePtr root, xmlNsPtr from, xmlNsPtr to);
    void ReleaseFromDetached(xmlNodePtr top, uint32_t count);
    xmlNsPtr FindOrPool(const xmlChar* prefix, const xmlChar* href);
    static void FreeTree(xmlNodePtr root);

    xmlDocPtr doc_ = nullptr;
    std::vector<xmlDocPtr> retired_;
    std::unordered_map<xmlNodePtr, uint32_t> detached_; // detached root -> live objects inside
    std::unordered_map<std::string, xmlNsPtr> pool_;
    uint64_t liveObjects_ = 0;
    uint64_t attributeEpoch_ = 0;
    uint64_t version_ = 0;
    ChangeHook hook_ = nullptr;
    void* hookContext_ = nullptr;
};

// A new empty document with its own name dictionary; null when memory runs out.
xmlDocPtr NewEmptyDocument();

// A new xmlNs that belongs to no element (null prefix: the default namespace); null when
// memory runs out. Freed with xmlFreeNs.
xmlNsPtr NewNamespace(const xmlChar* prefix, const xmlChar* href);

// Visits root and everything below it in document order: for an element, its attributes (and
// their text) before its children. fn(node) is called for nodes and attributes alike.
template <class Fn>
void ForEachInTree(xmlNodePtr root, Fn&& fn) {
    xmlNodePtr cur = root;
    while (cur) {
        fn(cur);
        if (cur->type == XML_ELEMENT_NODE) {
            for (xmlAttrPtr attr = cur->properties; attr; attr = attr->next) {
                fn(reinterpret_cast<xmlNodePtr>(attr));
                for (xmlNodePtr text = attr->children; text; text = text->next) {
                    fn(text);
                }
            }
        }
        if (cur->children && cur->type != XML_ENTITY_REF_NODE) {
            cur = cur->children;
            continue;
        }
        while (cur != root && !cur->next) {
            cur = cur->parent;
        }
        if (cur == root) {
            break;
        }
        cur = cur->next;
    }
}

} // namespace platform::msxml
