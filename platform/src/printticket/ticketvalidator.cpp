#include "printticket/ticketvalidator.h"

#include "printticket/printschemanames.h"

#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace platform::printticket {
namespace {

void Remove(xmlNode* node) {
    xmlUnlinkNode(node);
    xmlFreeNode(node);
}

std::vector<xmlNode*> Children(xmlNode* parent, const char* kind) {
    std::vector<xmlNode*> found;
    for (xmlNode* child = parent->children; child; child = child->next) {
        if (IsFrameworkElement(child, kind)) {
            found.push_back(child);
        }
    }
    return found;
}

class Validator {
public:
    using Feature = CapabilitiesIndex::Feature;
    using Option = CapabilitiesIndex::Option;

    Validator(xmlNode* ticketRoot, const CapabilitiesIndex& capabilities)
        : ticketRoot_(ticketRoot), capabilities_(capabilities), importer_(ticketRoot) {}

    bool Run() {
        for (xmlNode* child = ticketRoot_->children; child;) {
            xmlNode* next = child->next;
            if (IsFrameworkElement(child, "Feature")) {
                ValidateFeature(child, nullptr);
            } else if (IsFrameworkElement(child, "ParameterInit")) {
                ValidateParameter(child);
            }
            child = next;
        }
        return changed_;
    }

private:
    void Changed() { changed_ = true; }

    // A feature of the ticket against the printer's features at its level: the top level
    // (parent null) or the features nested in parent.
    void ValidateFeature(xmlNode* feature, const Feature* parent) {
        QNameView name;
        std::string storage;
        const Feature* offered = nullptr;
        if (ElementName(feature, name, storage)) {
            offered = parent ? parent->Nested(name) : capabilities_.FindFeature(name);
        }
        if (!offered) {
            Remove(feature);
            Changed();
            return;
        }
        ValidateOptions(feature, *offered);
        for (xmlNode* nested : Children(feature, "Feature")) {
            ValidateFeature(nested, offered);
        }
    }

    void ValidateOptions(xmlNode* feature, const Feature& offered) {
        if (offered.options.empty()) {
            return; // nothing to choose from: the printer leaves the options open
        }
        xmlNode* kept = nullptr;
        for (xmlNode* option : Children(feature, "Option")) {
            if ((offered.pickMany || !kept) && Matches(option, offered)) {
                kept = kept ? kept : option;
                continue;
            }
            Remove(option);
            Changed();
        }
        if (!kept) {
            xmlNode* fallback = AsTicketOption(importer_.Import(offered.defaultOption));
            xmlNode* firstNested = nullptr;
            for (xmlNode* child = feature->children; child && !firstNested; child = child->next) {
                if (IsFrameworkElement(child, "Feature")) {
                    firstNested = child;
                }
            }
            if (!(firstNested ? xmlAddPrevSibling(firstNested, fallback)
                              : xmlAddChild(feature, fallback))) {
                xmlFreeNode(fallback);
                throw std::bad_alloc();
            }
            DropUnnamedScoredProperties(fallback);
            Changed();
        }
    }

    // An option as a ticket holds it: its name and scored properties, without the display
    // names and constraints of the capabilities.
    static xmlNode* AsTicketOption(xmlNode* option) {
        xmlUnsetNsProp(option, nullptr, reinterpret_cast<const xmlChar*>("constrained"));
        for (xmlNode* child = option->children; child;) {
            xmlNode* next = child->next;
            if (child->type != XML_ELEMENT_NODE || !IsFrameworkElement(child, "ScoredProperty")) {
                Remove(child);
            }
            child = next;
        }
        return option;
    }

    // The scored properties of an option taken from the capabilities whose names do not
    // resolve where it now stands: the index leaves them out, so the option would not match
    // the very option it was taken from when the ticket is validated again.
    static void DropUnnamedScoredProperties(xmlNode* option) {
        std::string storage;
        for (xmlNode* child = option->children; child;) {
            xmlNode* next = child->next;
            QNameView name;
            if (!ElementName(child, name, storage)) {
                Remove(child);
            }
            child = next;
        }
    }

    // A named option matches an offered option of that name; a nameless one (such as N-up's,
    // told apart by PagesPerSheet) an offered nameless option whose scored values it repeats.
    static bool Matches(const xmlNode* option, const Feature& offered) {
        QNameView name;
        std::string storage;
        if (ElementName(option, name, storage)) {
            return offered.optionNames.contains(name);
        }
        if (xmlHasProp(option, reinterpret_cast<const xmlChar*>("name"))) {
            return false; // a name that does not resolve matches nothing
        }
        for (const Option& candidate : offered.options) {
            if (!candidate.named && SameScoredValues(option, candidate)) {
                return true;
            }
        }
        return false;
    }

    static bool SameScoredValues(const xmlNode* option, const Option& candidate) {
        std::string storage;
        for (const xmlNode* scored = option->children; scored; scored = scored->next) {
            if (!IsFrameworkElement(scored, "ScoredProperty")) {
                continue;
            }
            // The same property, with the same Value or, as one that refers to a parameter,
            // none on both sides.
            QNameView name;
            if (!ElementName(scored, name, storage)) {
                return false;
            }
            const std::optional<std::string>* theirs = candidate.ScoredValue(name);
            std::string mine;
            const bool valued = NamedValueText(option, "ScoredProperty", name, mine);
            if (!theirs || valued != theirs->has_value() || (valued && mine != **theirs)) {
                return false;
            }
        }
        return true;
    }

    void ValidateParameter(xmlNode* init) {
        QNameView name;
        std::string storage;
        const CapabilitiesIndex::Parameter* definition =
            ElementName(init, name, storage) ? capabilities_.FindParameter(name) : nullptr;
        xmlNode* value = nullptr;
        for (xmlNode* child = init->children; child && !value; child = child->next) {
            if (IsFrameworkElement(child, "Value")) {
                value = child;
            }
        }
        if (!definition || !value) {
            Remove(init);
            Changed();
            return;
        }
        if (!definition->integer) {
            return;
        }
        int64_t number = 0;
        const bool readable = ParseInteger(TrimmedText(value), number);
        const int64_t given = number;
        if (!readable) {
            if (!definition->defaultValue) {
                Remove(init);
                Changed();
                return;
            }
            number = *definition->defaultValue;
        }
        if (definition->minValue && number < *definition->minValue) {
            number = *definition->minValue;
        }
        if (definition->maxValue && number > *definition->maxValue) {
            number = *definition->maxValue;
        }
        if (!readable || number != given) {
            const std::string clamped = std::to_string(number);
            xmlNodeSetContent(value, reinterpret_cast<const xmlChar*>(clamped.c_str()));
            Changed();
        }
    }

    xmlNode* ticketRoot_;
    const CapabilitiesIndex& capabilities_;
    NodeImporter importer_;
    bool changed_ = false;
};

} // namespace

bool ValidateAgainstCapabilities(xmlDoc* ticket, const CapabilitiesIndex& capabilities) {
    return Validator(xmlDocGetRootElement(ticket), capabilities).Run();
}

} // namespace platform::printticket
