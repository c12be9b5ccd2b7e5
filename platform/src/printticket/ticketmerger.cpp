#include "printticket/ticketmerger.h"

#include "printticket/printschemanames.h"

#include <deque>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace platform::printticket {
namespace {

bool IsSetting(const xmlNode* node) {
    return IsFrameworkElement(node, "Feature") || IsFrameworkElement(node, "ParameterInit");
}

// The name of a setting as a view. A name that had to be copied out of its attribute is kept
// in kept (which must outlive the view); storage is scratch space.
bool SettingName(const xmlNode* node, QNameView& name, std::string& storage,
                 std::deque<std::string>& kept) {
    storage.clear();
    if (!IsSetting(node) || !ElementName(node, name, storage)) {
        return false;
    }
    if (!storage.empty()) {
        const size_t offset = static_cast<size_t>(name.local.data() - storage.data());
        kept.push_back(std::move(storage));
        name.local = std::string_view(kept.back()).substr(offset, name.local.size());
    }
    return true;
}

std::string Where(const xmlNode* node) {
    return "line " + std::to_string(xmlGetLineNo(node)) + ": " +
           reinterpret_cast<const char*>(node->name);
}

} // namespace

void CheckTicketForm(const xmlDoc* ticket) {
    const xmlNode* root = xmlDocGetRootElement(ticket);
    if (!IsFrameworkElement(root, "PrintTicket")) {
        throw TicketFormatError{
            "the root element is not a PrintTicket of the Print Schema framework namespace"};
    }
    // The names are views into the ticket, which does not change while it is checked.
    std::deque<std::string> kept;
    std::string storage;
    std::unordered_set<QNameView, QNameHash, QNameEqual> seen[2];
    for (const xmlNode* child = root->children; child; child = child->next) {
        if (!IsSetting(child)) {
            continue;
        }
        QNameView name;
        if (!SettingName(child, name, storage, kept)) {
            QName unused;
            std::string problem;
            ElementName(child, unused, problem);
            throw TicketFormatError{Where(child) + " " + problem};
        }
        const bool feature = IsFrameworkElement(child, "Feature");
        if (!seen[feature].insert(name).second) {
            throw TicketFormatError{Where(child) + " " + std::string(name.local) + " (" +
                                    std::string(name.uri) + ") is given twice"};
        }
    }
}

EPrintTicketScope ScopeOfName(std::string_view local) {
    if (local.starts_with("Page")) {
        return kPTPageScope;
    }
    if (local.starts_with("Document")) {
        return kPTDocumentScope;
    }
    return kPTJobScope;
}

void MergeInto(xmlDoc* base, const xmlDoc* delta, EPrintTicketScope scope) {
    xmlNode* root = xmlDocGetRootElement(base);
    // Settings of the base that the delta replaces are unlinked at once and freed at the end:
    // the index below holds views of their names.
    std::vector<xmlNode*> replaced;
    struct FreeReplaced {
        std::vector<xmlNode*>& nodes;
        ~FreeReplaced() {
            for (xmlNode* node : nodes) {
                xmlFreeNode(node);
            }
        }
    } freeReplaced{replaced};
    std::deque<std::string> kept;
    std::string storage;
    if (delta) {
        // The base's settings by kind and name, so that a large delta on a large base is not
        // a search of the base per setting.
        std::unordered_map<QNameView, xmlNode*, QNameHash, QNameEqual> settings[2];
        for (xmlNode* child = root->children; child; child = child->next) {
            QNameView name;
            if (SettingName(child, name, storage, kept)) {
                settings[IsFrameworkElement(child, "Feature")].emplace(name, child);
            }
        }
        NodeImporter importer(root);
        for (const xmlNode* setting = xmlDocGetRootElement(delta)->children; setting;
             setting = setting->next) {
            QNameView name;
            if (!SettingName(setting, name, storage, kept) || ScopeOfName(name.local) < scope) {
                continue;
            }
            xmlNode*& slot = settings[IsFrameworkElement(setting, "Feature")][name];
            xmlNode* copy = importer.Import(setting);
            if (slot) {
                try {
                    replaced.push_back(slot);
                } catch (...) {
                    xmlFreeNode(copy);
                    throw;
                }
                xmlReplaceNode(slot, copy);
            } else if (!xmlAddChild(root, copy)) {
                xmlFreeNode(copy);
                throw std::bad_alloc();
            }
            slot = copy;
        }
    }
    std::vector<xmlNode*> narrower;
    for (xmlNode* child = root->children; child; child = child->next) {
        QNameView name;
        if (IsSetting(child) && ElementName(child, name, storage) &&
            ScopeOfName(name.local) < scope) {
            narrower.push_back(child);
        }
    }
    for (xmlNode* node : narrower) {
        xmlUnlinkNode(node);
        xmlFreeNode(node);
    }
}

} // namespace platform::printticket
