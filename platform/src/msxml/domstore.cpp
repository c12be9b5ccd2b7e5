#include "domstore.h"

#include "xmltext.h"

#include <cstring>
#include <new>

namespace platform::msxml {
namespace {

// Marks the store's pooled namespaces (xmlNs::_private), which never carry a node object.
int pooledMarker;

bool IsPooled(xmlNsPtr ns) {
    return ns->_private == &pooledMarker;
}

xmlNsPtr& NsOf(xmlNodePtr node) {
    return node->type == XML_ATTRIBUTE_NODE ? reinterpret_cast<xmlAttrPtr>(node)->ns : node->ns;
}

bool Declares(xmlNodePtr element, xmlNsPtr ns) {
    for (xmlNsPtr def = element->nsDef; def; def = def->next) {
        if (def == ns) {
            return true;
        }
    }
    return false;
}

void LinkChild(xmlNodePtr parent, xmlNodePtr child, xmlNodePtr before) {
    child->parent = parent;
    if (before) {
        child->next = before;
        child->prev = before->prev;
        if (before->prev) {
            before->prev->next = child;
        } else {
            parent->children = child;
        }
        before->prev = child;
    } else {
        child->next = nullptr;
        child->prev = parent->last;
        if (parent->last) {
            parent->last->next = child;
        } else {
            parent->children = child;
        }
        parent->last = child;
    }
}

} // namespace

DomStore::~DomStore() {
    for (auto& [root, count] : detached_) {
        FreeTree(root);
    }
    for (xmlDocPtr doc : retired_) {
        xmlFreeDoc(doc);
    }
    xmlFreeDoc(doc_);
    for (auto& [key, ns] : pool_) {
        xmlFreeNs(ns);
    }
}

xmlDocPtr NewEmptyDocument() {
    xmlDocPtr doc = xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0"));
    if (doc) {
        doc->dict = xmlDictCreate();
        if (!doc->dict) {
            xmlFreeDoc(doc);
            doc = nullptr;
        }
    }
    return doc;
}

bool DomStore::Initialise() {
    doc_ = NewEmptyDocument();
    return doc_ != nullptr;
}

void DomStore::ReplaceDoc(xmlDocPtr doc) {
    Changing();
    if (liveObjects_ == 0) {
        xmlFreeDoc(doc_);
    } else {
        try {
            retired_.push_back(doc_);
        } catch (const std::bad_alloc&) {
            xmlFreeDoc(doc); // owned from the call on, whatever happens
            throw;
        }
    }
    doc_ = doc;
}

xmlNodePtr DomStore::Top(xmlNodePtr node) {
    while (node->parent) {
        node = node->parent;
    }
    return node;
}

bool DomStore::IsAncestorOrSelf(xmlNodePtr ancestor, xmlNodePtr node) {
    for (; node; node = node->parent) {
        if (node == ancestor) {
            return true;
        }
    }
    return false;
}

void DomStore::Register(xmlNodePtr node, IXMLDOMNode* object) {
    node->_private = object;
    ++liveObjects_;
    if (!detached_.empty()) {
        xmlNodePtr top = Top(node);
        if (IsDetachedRoot(top)) {
            ++detached_[top];
        }
    }
}

void DomStore::Unregister(xmlNodePtr node) {
    node->_private = nullptr;
    --liveObjects_;
    if (!detached_.empty()) {
        xmlNodePtr top = Top(node);
        if (IsDetachedRoot(top)) {
            ReleaseFromDetached(top, 1);
        }
    }
}

bool DomStore::AdoptDetached(xmlNodePtr root) noexcept {
    try {
        detached_.emplace(root, 0);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void DomStore::DiscardUnreferenced(xmlNodePtr root) {
    detached_.erase(root);
    FreeTree(root);
}

void DomStore::ReleaseFromDetached(xmlNodePtr top, uint32_t count) {
    auto it = detached_.find(top);
    if (it == detached_.end()) {
        return;
    }
    it->second -= count;
    if (it->second == 0) {
        detached_.erase(it);
        FreeTree(top);
    }
}

void DomStore::FreeTree(xmlNodePtr root) {
    if (root->type == XML_ATTRIBUTE_NODE) {
        xmlFreeProp(reinterpret_cast<xmlAttrPtr>(root));
    } else {
        xmlFreeNode(root);
    }
}

uint32_t DomStore::CountObjects(xmlNodePtr root) const {
    uint32_t count = 0;
    ForEachInTree(root, [&](xmlNodePtr node) {
        if (node->_private) {
            ++count;
        }
    });
    return count;
}

void DomStore::Localise(xmlNodePtr root) {
    ForEachInTree(root, [&](xmlNodePtr node) {
        if (node->type != XML_ELEMENT_NODE && node->type != XML_ATTRIBUTE_NODE) {
            return;
        }
        xmlNsPtr& ns = NsOf(node);
        if (!ns || IsPooled(ns)) {
            return;
        }
        for (xmlNodePtr holder = node;; holder = holder->parent) {
            if (holder->type == XML_ELEMENT_NODE && Declares(holder, ns)) {
                return;
            }
            if (holder == root) {
                break;
            }
        }
        // Should the pool be out of memory, the old declaration stays in use; it lives as long
        // as its element, which is the best that can be done then.
        if (xmlNsPtr pooled = PooledNs(ns->prefix, ns->href)) {
            ns = pooled;
        }
    });
}

void DomStore::Repoint(xmlNodePtr root, xmlNsPtr from, xmlNsPtr to) {
    ForEachInTree(root, [&](xmlNodePtr node) {
        if (node->type == XML_ELEMENT_NODE || node->type == XML_ATTRIBUTE_NODE) {
            xmlNsPtr& ns = NsOf(node);
            if (ns == from) {
                ns = to;
            }
        }
    });
}

void DomStore::InsertChild(xmlNodePtr parent, xmlNodePtr child, xmlNodePtr before) {
    Changing();
    xmlNodePtr oldTop = child->parent ? Top(child) : child;
    xmlNodePtr newTop = Top(parent);
    const bool accounting = oldTop != newTop && (IsDetachedRoot(oldTop) || IsDetachedRoot(newTop));
    uint32_t moving = 0;
    if (accounting) {
        if (child == oldTop) {
            auto it = detached_.find(child);
            moving = it == detached_.end() ? 0 : it->second;
        } else {
            moving = CountObjects(child);
        }
    }
    if (child->parent) {
        Localise(child);
        xmlUnlinkNode(child);
    }
    LinkChild(parent, child, before);
    if (accounting) {
        if (IsDetachedRoot(oldTop)) {
            if (child == oldTop) {
                detached_.erase(child);
            } else {
                ReleaseFromDetached(oldTop, moving);
            }
        }
        if (IsDetachedRoot(newTop)) {
            detached_[newTop] += moving;
        }
    }
}

void DomStore::Detach(xmlNodePtr child) {
    Changing();
    xmlNodePtr oldTop = Top(child);
    Localise(child);
    const uint32_t moving = CountObjects(child);
    // The one step that can fail comes before the tree changes: a child that keeps node
    // objects becomes a detached root, and the store makes room to record it first.
    const auto recorded = moving == 0 ? detached_.end() : detached_.try_emplace(child, 0).first;
    if (child->type == XML_ATTRIBUTE_NODE) {
        ++attributeEpoch_;
    }
    xmlUnlinkNode(child);
    if (IsDetachedRoot(oldTop)) {
        ReleaseFromDetached(oldTop, moving);
    }
    if (moving == 0) {
        FreeTree(child);
    } else {
        recorded->second = moving;
    }
}

void DomStore::DiscardChildren(xmlNodePtr parent) {
    while (parent->children) {
        Detach(parent->children);
    }
}

void DomStore::AttachAttribute(xmlNodePtr element, xmlAttrPtr attribute, xmlAttrPtr replacing) {
    Changing();
    auto node = reinterpret_cast<xmlNodePtr>(attribute);
    uint32_t moving = 0;
    if (auto it = detached_.find(node); it != detached_.end()) {
        moving = it->second;
        detached_.erase(it);
    }
    attribute->parent = element;
    if (replacing) {
        attribute->prev = replacing->prev;
        attribute->next = replacing;
        if (replacing->prev) {
            replacing->prev->next = attribute;
        } else {
            element->properties = attribute;
        }
        replacing->prev = attribute;
    } else {
        attribute->next = nullptr;
        attribute->prev = nullptr;
        if (!element->properties) {
            element->properties = attribute;
        } else {
            xmlAttrPtr last = element->properties;
            while (last->next) {
                last = last->next;
            }
            last->next = attribute;
            attribute->prev = last;
        }
    }
    xmlNodePtr newTop = Top(element);
    if (IsDetachedRoot(newTop)) {
        detached_[newTop] += moving;
    }
    ++attributeEpoch_;
    if (replacing) {
        Detach(reinterpret_cast<xmlNodePtr>(replacing));
    }
}

bool DomStore::SetContent(xmlNodePtr node, const std::string& utf8) {
    Changing();
    if (node->type != XML_ATTRIBUTE_NODE) {
        xmlNodeSetContent(node, XmlChars(utf8));
        return true;
    }
    xmlNodePtr only = node->children;
    if (only && !only->next && !only->_private && only->type == XML_TEXT_NODE && !utf8.empty()) {
        xmlNodeSetContent(only, XmlChars(utf8));
        return true;
    }
    DiscardChildren(node);
    if (utf8.empty()) {
        return true;
    }
    xmlNodePtr text = xmlNewDocText(node->doc, XmlChars(utf8));
    if (!text) {
        return false;
    }
    LinkChild(node, text, nullptr);
    return true;
}

xmlNsPtr NewNamespace(const xmlChar* prefix, const xmlChar* href) {
    auto ns = static_cast<xmlNsPtr>(xmlMalloc(sizeof(xmlNs)));
    if (!ns) {
        return nullptr;
    }
    std::memset(ns, 0, sizeof(xmlNs));
    ns->type = XML_LOCAL_NAMESPACE;
    ns->href = xmlStrdup(href ? href : reinterpret_cast<const xmlChar*>(""));
    ns->prefix = prefix ? xmlStrdup(prefix) : nullptr;
    if (!ns->href || (prefix && !ns->prefix)) {
        xmlFreeNs(ns);
        return nullptr;
    }
    return ns;
}

xmlNsPtr DomStore::PooledNs(const xmlChar* prefix, const xmlChar* href) noexcept {
    try {
        return FindOrPool(prefix, href);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

xmlNsPtr DomStore::FindOrPool(const xmlChar* prefix, const xmlChar* href) {
    std::string key;
    if (prefix) {
        key += 'p';
        key += reinterpret_cast<const char*>(prefix);
    } else {
        key += 'd';
    }
    key += '\0';
    key += reinterpret_cast<const char*>(href ? href : reinterpret_cast<const xmlChar*>(""));
    if (auto it = pool_.find(key); it != pool_.end()) {
        return it->second;
    }
    xmlNsPtr ns = NewNamespace(prefix, href);
    if (!ns) {
        return nullptr;
    }
    ns->_private = &pooledMarker;
    try {
        pool_.emplace(std::move(key), ns);
    } catch (const std::bad_alloc&) {
        xmlFreeNs(ns);
        throw;
    }
    return ns;
}

xmlNodePtr DomStore::Copy(xmlNodePtr source, bool deep) noexcept {
    // A namespace pointer names one declaration: those made inside the copied subtree map to
    // their copies (ancestors are copied first), all others to the pool. Room for every
    // declaration is made first, so that recording one cannot fail half-way.
    std::vector<std::pair<xmlNsPtr, xmlNsPtr>> copied;
    try {
        size_t declarations = 0;
        auto count = [&](xmlNodePtr node) {
            if (node->type == XML_ELEMENT_NODE) {
                for (xmlNsPtr ns = node->nsDef; ns; ns = ns->next) {
                    ++declarations;
                }
            }
        };
        if (deep) {
            ForEachInTree(source, count);
        } else {
            count(source);
        }
        copied.reserve(declarations);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    bool failed = false;
    auto mapNs = [&](xmlNsPtr ns) -> xmlNsPtr {
        if (!ns) {
            return nullptr;
        }
        for (auto it = copied.rbegin(); it != copied.rend(); ++it) {
            if (it->first == ns) {
                return it->second;
            }
        }
        xmlNsPtr pooled = PooledNs(ns->prefix, ns->href);
        failed = failed || !pooled;
        return pooled;
    };
    auto copyAttribute = [&](xmlAttrPtr attr) -> xmlAttrPtr {
        xmlAttrPtr copy = xmlNewDocProp(doc_, attr->name, nullptr);
        if (!copy) {
            return nullptr;
        }
        copy->ns = mapNs(attr->ns);
        for (xmlNodePtr text = attr->children; text; text = text->next) {
            xmlNodePtr textCopy = xmlNewDocText(doc_, text->content);
            if (!textCopy) {
                xmlFreeProp(copy);
                return nullptr;
            }
            LinkChild(reinterpret_cast<xmlNodePtr>(copy), textCopy, nullptr);
        }
        return copy;
    };
    auto copyOne = [&](xmlNodePtr node) -> xmlNodePtr {
        switch (node->type) {
        case XML_ELEMENT_NODE: {
            xmlNodePtr copy = xmlNewDocNode(doc_, nullptr, node->name, nullptr);
            if (!copy) {
                return nullptr;
            }
            xmlNsPtr* link = &copy->nsDef;
            for (xmlNsPtr ns = node->nsDef; ns; ns = ns->next) {
                *link = NewNamespace(ns->prefix, ns->href);
                if (!*link) {
                    xmlFreeNode(copy);
                    return nullptr;
                }
                copied.emplace_back(ns, *link);
                link = &(*link)->next;
            }
            copy->ns = mapNs(node->ns);
            xmlAttrPtr last = nullptr;
            for (xmlAttrPtr attr = node->properties; attr; attr = attr->next) {
                xmlAttrPtr attrCopy = copyAttribute(attr);
                if (!attrCopy) {
                    xmlFreeNode(copy);
                    return nullptr;
                }
                attrCopy->parent = copy;
                attrCopy->prev = last;
                if (last) {
                    last->next = attrCopy;
                } else {
                    copy->properties = attrCopy;
                }
                last = attrCopy;
            }
            return copy;
        }
        case XML_ATTRIBUTE_NODE:
            return reinterpret_cast<xmlNodePtr>(copyAttribute(reinterpret_cast<xmlAttrPtr>(node)));
        case XML_TEXT_NODE:
            return xmlNewDocText(doc_, node->content);
        case XML_CDATA_SECTION_NODE:
            return xmlNewCDataBlock(doc_, node->content, xmlStrlen(node->content));
        case XML_COMMENT_NODE:
            return xmlNewDocComment(doc_, node->content);
        case XML_PI_NODE:
            return xmlNewDocPI(doc_, node->name, node->content);
        default:
            return nullptr;
        }
    };

    xmlNodePtr root = copyOne(source);
    if (!root || !deep || source->type != XML_ELEMENT_NODE) {
        if (root && failed) {
            FreeTree(root);
            return nullptr;
        }
        return root;
    }
    xmlNodePtr from = source->children;
    xmlNodePtr copyParent = root;
    while (from) {
        xmlNodePtr copy = copyOne(from);
        if (!copy) {
            FreeTree(root);
            return nullptr;
        }
        LinkChild(copyParent, copy, nullptr);
        if (from->type == XML_ELEMENT_NODE && from->children) {
            copyParent = copy;
            from = from->children;
            continue;
        }
        while (!from->next) {
            from = from->parent;
            if (from == source) {
                break;
            }
            copyParent = copyParent->parent;
        }
        from = from == source ? nullptr : from->next;
    }
    if (failed) {
        FreeTree(root);
        return nullptr;
    }
    return root;
}

void DomStore::RemoveDeclaration(xmlNodePtr element, xmlNsPtr ns) {
    Changing();
    if (xmlNsPtr pooled = PooledNs(ns->prefix, ns->href)) {
        Repoint(element, ns, pooled);
    }
    for (xmlNsPtr* link = &element->nsDef; *link; link = &(*link)->next) {
        if (*link == ns) {
            *link = ns->next;
            break;
        }
    }
    ns->next = nullptr;
    ++attributeEpoch_;
}

void DomStore::AddDeclaration(xmlNodePtr element, xmlNsPtr ns) {
    Changing();
    ns->next = nullptr;
    xmlNsPtr* link = &element->nsDef;
    while (*link) {
        link = &(*link)->next;
    }
    *link = ns;
    ++attributeEpoch_;
}

bool DomStore::SetDeclarationHref(xmlNodePtr element, xmlNsPtr ns, const std::string& href) {
    Changing();
    xmlChar* copy = xmlStrdup(XmlChars(href));
    if (!copy) {
        return false;
    }
    if (element) {
        if (xmlNsPtr pooled = PooledNs(ns->prefix, ns->href)) {
            Repoint(element, ns, pooled);
        }
        ++attributeEpoch_;
    }
    xmlFree(const_cast<xmlChar*>(ns->href));
    ns->href = copy;
    return true;
}

} // namespace platform::msxml
