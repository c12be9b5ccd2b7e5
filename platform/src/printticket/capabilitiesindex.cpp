#include "printticket/capabilitiesindex.h"

#include <charconv>
#include <unordered_set>

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

// Whether the property's value, resolved as a QName where it stands, is expected.
bool PropertyIs(const xmlNode* parent, const QName& property, const QName& expected) {
    const xmlNode* holder = FindNamedChild(parent, "Property", property);
    if (!holder) {
        return false;
    }
    for (const xmlNode* value = holder->children; value; value = value->next) {
        if (IsFrameworkElement(value, "Value")) {
            const std::string text = TrimmedText(value);
            QNameView resolved;
            return ResolveQName(value, text, resolved) && resolved == QNameView(expected);
        }
    }
    return false;
}

std::optional<int64_t> IntegerProperty(const xmlNode* parent, const QName& property) {
    std::string text;
    int64_t value = 0;
    if (NamedValueText(parent, "Property", property, text) && ParseInteger(text, value)) {
        return value;
    }
    return std::nullopt;
}

CapabilitiesIndex::Option MakeOption(const xmlNode* node) {
    CapabilitiesIndex::Option option;
    option.node = node;
    option.named = ElementName(node, option.name);
    std::string storage;
    // The names taken so far, so that an option of many scored properties is read in one pass.
    std::unordered_set<QName, QNameHash, QNameEqual> seen;
    for (const xmlNode* child = node->children; child; child = child->next) {
        QNameView name;
        if (!IsFrameworkElement(child, "ScoredProperty") || !ElementName(child, name, storage)) {
            continue;
        }
        if (seen.contains(name)) {
            continue; // the first of a name answers for it
        }
        seen.insert(name.Copy());
        std::optional<std::string> text;
        for (const xmlNode* value = child->children; value; value = value->next) {
            if (IsFrameworkElement(value, "Value")) {
                text = TrimmedText(value);
                break;
            }
        }
        option.scoredValues.emplace_back(name.Copy(), std::move(text));
    }
    return option;
}

CapabilitiesIndex::Feature MakeFeature(const xmlNode* node, QName name) {
    CapabilitiesIndex::Feature feature;
    feature.node = node;
    feature.name = std::move(name);
    for (const xmlNode* child = node->children; child; child = child->next) {
        if (IsFrameworkElement(child, "Option")) {
            feature.options.push_back(MakeOption(child));
            if (feature.options.back().named) {
                feature.optionNames.insert(feature.options.back().name);
            }
        } else if (IsFrameworkElement(child, "Feature")) {
            QName nestedName;
            if (ElementName(child, nestedName)) {
                feature.nestedIndex.try_emplace(nestedName, feature.nested.size());
                feature.nested.push_back(MakeFeature(child, std::move(nestedName)));
            }
        }
    }
    if (feature.options.empty()) {
        return feature;
    }
    feature.pickMany = PropertyIs(node, kSelectionType, kPickMany);
    feature.defaultOption = feature.options.front().node;
    for (const CapabilitiesIndex::Option& option : feature.options) {
        std::string value;
        if (NamedValueText(option.node, "Property", kIsDefault, value) &&
            (value == "true" || value == "True" || value == "1")) {
            feature.defaultOption = option.node;
            break;
        }
    }
    return feature;
}

CapabilitiesIndex::Parameter MakeParameter(const xmlNode* node) {
    CapabilitiesIndex::Parameter parameter;
    parameter.node = node;
    parameter.integer = PropertyIs(node, kDataType, kInteger);
    if (parameter.integer) {
        parameter.minValue = IntegerProperty(node, kMinValue);
        parameter.maxValue = IntegerProperty(node, kMaxValue);
        parameter.defaultValue = IntegerProperty(node, kDefaultValue);
    }
    return parameter;
}

} // namespace

bool ParseInteger(const std::string& text, int64_t& out) {
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    if (begin != end && *begin == '+') {
        ++begin;
    }
    const auto [stop, error] = std::from_chars(begin, end, out);
    return begin != end && error == std::errc() && stop == end;
}

const std::optional<std::string>* CapabilitiesIndex::Option::ScoredValue(QNameView property) const {
    for (const auto& [name, value] : scoredValues) {
        if (QNameView(name) == property) {
            return &value;
        }
    }
    return nullptr;
}

const CapabilitiesIndex::Feature* CapabilitiesIndex::Feature::Nested(QNameView name) const {
    const auto found = nestedIndex.find(name);
    return found == nestedIndex.end() ? nullptr : &nested[found->second];
}

CapabilitiesIndex::CapabilitiesIndex(const xmlDoc* capabilities) {
    const xmlNode* root = xmlDocGetRootElement(capabilities);
    for (const xmlNode* child = root ? root->children : nullptr; child; child = child->next) {
        const bool feature = IsFrameworkElement(child, "Feature");
        QName name;
        if (!(feature || IsFrameworkElement(child, "ParameterDef")) || !ElementName(child, name)) {
            continue;
        }
        if (feature) {
            if (!features_.contains(name)) {
                Feature made = MakeFeature(child, name);
                features_.emplace(std::move(name), std::move(made));
            }
        } else if (!parameters_.contains(name)) {
            parameters_.emplace(std::move(name), MakeParameter(child));
        }
    }
}

const CapabilitiesIndex::Feature* CapabilitiesIndex::FindFeature(QNameView name) const {
    const auto found = features_.find(name);
    return found == features_.end() ? nullptr : &found->second;
}

const CapabilitiesIndex::Parameter* CapabilitiesIndex::FindParameter(QNameView name) const {
    const auto found = parameters_.find(name);
    return found == parameters_.end() ? nullptr : &found->second;
}

} // namespace platform::printticket
