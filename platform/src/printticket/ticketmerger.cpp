#include "printticket/ticketmerger.h"

#include "printticket/printschemanames.h"

#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace platform::printticket {
namespace {

bool IsSetting(const xmlNode* node) {
    return IsFrameworkElement(node, "Feature") || IsFrameworkElement(node, "ParameterInit");
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
    std::unordered_set<QName, QNameHash> seen[2];
    for (const xmlNode* child = root->children; child; child = child->next) {
        if (!IsSetting(child)) {
            continue;
        }
        QName name;
        std::string problem;
        if (!ElementName(child, name, problem)) {
            throw TicketFormatError{Where(child) + " " + problem};
        }
        const bool feature = IsFrameworkElement(child, "Feature");
        if (!seen[feature].insert(name).second) {
            throw TicketFormatError{Where(child) + " " + name.local + " (" + name.uri +
                                    ") is given twice"};
        }
    }
}

EPrintTicketScope ScopeOfName(const std::string& local) {
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
    if (delta) {
        // The base's settings by kind and name, so that a large delta on a large base is not
        // a search of the base per setting.
        std::unordered_map<QName, xmlNode*, QNameHash> settings[2];
        for (xmlNode* child = root->children; child; child = child->next) {
            QName name;
            if (IsSetting(child) && ElementName(child, name)) {
                settings[IsFrameworkElement(child, "Feature")].emplace(std::move(name), child);
            }
        }
        NodeImporter importer(root);
        for (const xmlNode* setting = xmlDocGetRootElement(delta)->children; setting;
             setting = setting->next) {
            QName name;
            if (!IsSetting(setting) || !ElementName(setting, name) ||
                ScopeOfName(name.local) < scope) {
                continue;
            }
            xmlNode*& slot = settings[IsFrameworkElement(setting, "Feature")][std::move(name)];
            xmlNode* copy = importer.Import(setting);
            if (slot) {
                xmlReplaceNode(slot, copy);
                xmlFreeNode(slot);
            } else if (!xmlAddChild(root, copy)) {
                xmlFreeNode(copy);
                throw std::bad_alloc();
            }
            slot = copy;
        }
    }
    std::vector<xmlNode*> narrower;
    for (xmlNode* child = root->children; child; child = child->next) {
        QName name;
        if (IsSetting(child) && ElementName(child, name) && ScopeOfName(name.local) < scope) {
            narrower.push_back(child);
        }
    }
    for (xmlNode* node : narrower) {
        xmlUnlinkNode(node);
        xmlFreeNode(node);
    }
}

} // namespace platform::printticket
