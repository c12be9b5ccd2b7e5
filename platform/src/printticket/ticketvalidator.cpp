#include "printticket/ticketvalidator.h"

#include "printticket/printschemanames.h"

#include <charconv>
#include <new>
#include <unordered_map>
#include <vector>

namespace platform::printticket {
namespace {

const QName kSelectionType{kFrameworkUri, "SelectionType"};
const QName kPickMany{kKeywordsUri, "PickMany"};
const QName kIsDefault{kKeywordsUri, "IsDefault"};
const QName kDataType{kFrameworkUri, "DataType"};
const QName kInteger{kSchemaUri, "integer"};
const QName kMinValue{kFrameworkUri, "MinValue"};
const QName kMaxValue{kFrameworkUri, "MaxValue"};
const QName kDefaultValue{kFrameworkUri, "DefaultValue"};

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

std::vector<const xmlNode*> Children(const xmlNode* parent, const char* kind) {
    std::vector<const xmlNode*> found;
    for (const xmlNode* child = parent->children; child; child = child->next) {
        if (IsFrameworkElement(child, kind)) {
            found.push_back(child);
        }
    }
    return found;
}

// The property's value resolved as a QName where it stands.
bool PropertyQName(const xmlNode* parent, const QName& property, QName& out) {
    const xmlNode* holder = FindNamedChild(parent, "Property", property);
    if (!holder) {
        return false;
    }
    for (const xmlNode* value = holder->children; value; value = value->next) {
        if (IsFrameworkElement(value, "Value")) {
            return ResolveQName(value, TrimmedText(value), out);
        }
    }
    return false;
}

bool ParseInteger(const std::string& text, int64_t& out) {
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    if (begin != end && *begin == '+') {
        ++begin;
    }
    const auto [stop, error] = std::from_chars(begin, end, out);
    return begin != end && error == std::errc() && stop == end;
}

class Validator {
public:
    using Index = std::unordered_map<QName, const xmlNode*, QNameHash>;

    Validator(xmlNode* ticketRoot, const xmlNode* capabilitiesRoot)
        : ticketRoot_(ticketRoot), capabilitiesRoot_(capabilitiesRoot), importer_(ticketRoot) {
        // The printer's top-level features and parameters by name: tickets are checked
        // against them setting by setting.
        for (const xmlNode* child = capabilitiesRoot->children; child; child = child->next) {
            QName name;
            const bool feature = IsFrameworkElement(child, "Feature");
            if ((feature || IsFrameworkElement(child, "ParameterDef")) &&
                ElementName(child, name)) {
                (feature ? features_ : parameters_).emplace(std::move(name), child);
            }
        }
    }

    bool Run() {
        for (xmlNode* child = ticketRoot_->children; child;) {
            xmlNode* next = child->next;
            if (IsFrameworkElement(child, "Feature")) {
                ValidateFeature(child, capabilitiesRoot_);
            } else if (IsFrameworkElement(child, "ParameterInit")) {
                ValidateParameter(child);
            }
            child = next;
        }
        return changed_;
    }

private:
    void Changed() { changed_ = true; }

    static const xmlNode* Find(const Index& index, const QName& name) {
        const auto found = index.find(name);
        return found == index.end() ? nullptr : found->second;
    }

    void ValidateFeature(xmlNode* feature, const xmlNode* capabilitiesParent) {
        QName name;
        const xmlNode* offered = nullptr;
        if (ElementName(feature, name)) {
            offered = capabilitiesParent == capabilitiesRoot_
                          ? Find(features_, name)
                          : FindNamedChild(capabilitiesParent, "Feature", name);
        }
        if (!offered) {
            Remove(feature);
            Changed();
            return;
        }
        ValidateOptions(feature, offered);
        for (xmlNode* nested : Children(feature, "Feature")) {
            ValidateFeature(nested, offered);
        }
    }

    void ValidateOptions(xmlNode* feature, const xmlNode* offered) {
        const std::vector<const xmlNode*> offeredOptions = Children(offered, "Option");
        if (offeredOptions.empty()) {
            return; // nothing to choose from: the printer leaves the options open
        }
        QName selection;
        const bool pickMany =
            PropertyQName(offered, kSelectionType, selection) && selection == kPickMany;
        xmlNode* kept = nullptr;
        for (xmlNode* option : Children(feature, "Option")) {
            if (Matches(option, offeredOptions) && (pickMany || !kept)) {
                kept = kept ? kept : option;
                continue;
            }
            Remove(option);
            Changed();
        }
        if (!kept) {
            xmlNode* fallback = AsTicketOption(importer_.Import(DefaultOption(offeredOptions)));
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

    // A named option matches an offered option of that name; a nameless one (such as N-up's,
    // told apart by PagesPerSheet) an offered nameless option whose scored values it repeats.
    static bool Matches(const xmlNode* option, const std::vector<const xmlNode*>& offered) {
        QName name;
        const bool named = ElementName(option, name);
        if (!named && xmlHasProp(option, reinterpret_cast<const xmlChar*>("name"))) {
            return false; // a name that does not resolve matches nothing
        }
        for (const xmlNode* candidate : offered) {
            QName candidateName;
            const bool candidateNamed = ElementName(candidate, candidateName);
            if (named != candidateNamed || (named && !(name == candidateName))) {
                continue;
            }
            if (named || SameScoredValues(option, candidate)) {
                return true;
            }
        }
        return false;
    }

    static bool SameScoredValues(const xmlNode* option, const xmlNode* candidate) {
        for (const xmlNode* scored : Children(option, "ScoredProperty")) {
            QName name;
            std::string mine;
            std::string theirs;
            if (!ElementName(scored, name) ||
                !NamedValueText(option, "ScoredProperty", name, mine) ||
                !NamedValueText(candidate, "ScoredProperty", name, theirs) || mine != theirs) {
                return false;
            }
        }
        return true;
    }

    // The first offered option marked psk:IsDefault, else the first offered option.
    static const xmlNode* DefaultOption(const std::vector<const xmlNode*>& offered) {
        for (const xmlNode* option : offered) {
            std::string value;
            if (NamedValueText(option, "Property", kIsDefault, value) &&
                (value == "true" || value == "True" || value == "1")) {
                return option;
            }
        }
        return offered.front();
    }

    void ValidateParameter(xmlNode* init) {
        QName name;
        const xmlNode* definition = ElementName(init, name) ? Find(parameters_, name) : nullptr;
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
        QName type;
        if (!PropertyQName(definition, kDataType, type) || !(type == kInteger)) {
            return;
        }
        int64_t number = 0;
        int64_t bound = 0;
        std::string boundText;
        const bool readable = ParseInteger(TrimmedText(value), number);
        const int64_t given = number;
        if (!readable) {
            if (!NamedValueText(definition, "Property", kDefaultValue, boundText) ||
                !ParseInteger(boundText, number)) {
                Remove(init);
                Changed();
                return;
            }
        }
        if (NamedValueText(definition, "Property", kMinValue, boundText) &&
            ParseInteger(boundText, bound) && number < bound) {
            number = bound;
        }
        if (NamedValueText(definition, "Property", kMaxValue, boundText) &&
            ParseInteger(boundText, bound) && number > bound) {
            number = bound;
        }
        if (!readable || number != given) {
            const std::string clamped = std::to_string(number);
            xmlNodeSetContent(value, reinterpret_cast<const xmlChar*>(clamped.c_str()));
            Changed();
        }
    }

    xmlNode* ticketRoot_;
    const xmlNode* capabilitiesRoot_;
    Index features_;
    Index parameters_;
    NodeImporter importer_;
    bool changed_ = false;
};

} // namespace

bool ValidateAgainstCapabilities(xmlDoc* ticket, const xmlDoc* capabilities) {
    return Validator(xmlDocGetRootElement(ticket), xmlDocGetRootElement(capabilities)).Run();
}

} // namespace platform::printticket
