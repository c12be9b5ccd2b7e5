// A printer's capabilities as validation asks them: its features (with their options and
// nested features) and parameter definitions by namespace URI + local name, each name resolved
// and each property read once, when the provider opens, rather than on every merge.
//
// Ownership: the index points into the capabilities document it was made from, which must
// outlive it and not change (a provider holds both, the document declared first).
#pragma once

#include "printticket/printschemanames.h"

#include <libxml/tree.h>

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace platform::printticket {

class CapabilitiesIndex {
public:
    struct Option {
        const xmlNode* node = nullptr;
        bool named = false; // a name that resolves; a nameless option is told by its values
        QName name;
        // The Value text of the first ScoredProperty of each name, in document order; none
        // when that ScoredProperty holds no Value.
        std::vector<std::pair<QName, std::optional<std::string>>> scoredValues;

        // The Value text of the first ScoredProperty of that name, as NamedValueText reads
        // it (none when it holds no Value); null when the option has no such property.
        const std::optional<std::string>* ScoredValue(QNameView property) const;
    };

    struct Feature {
        const xmlNode* node = nullptr;
        QName name;
        std::vector<Option> options; // none: the printer leaves the options open
        // The names of the named options, so that a ticket's option is matched by one look-up.
        std::unordered_set<QName, QNameHash, QNameEqual> optionNames;
        bool pickMany = false; // psf:SelectionType is psk:PickMany
        // The first option marked psk:IsDefault, else the first option; null without options.
        const xmlNode* defaultOption = nullptr;
        // Every nested feature whose name resolves, in document order, and where the first
        // of each name stands in it.
        std::vector<Feature> nested;
        std::unordered_map<QName, size_t, QNameHash, QNameEqual> nestedIndex;

        // The first nested feature of that name, or null.
        const Feature* Nested(QNameView name) const;
    };

    struct Parameter {
        const xmlNode* node = nullptr;
        bool integer = false; // psf:DataType is xsd:integer
        // The properties that bound and default an integer, where they read as one.
        std::optional<int64_t> minValue;
        std::optional<int64_t> maxValue;
        std::optional<int64_t> defaultValue;
    };

    // Throws std::bad_alloc. A setting whose name does not resolve is left out, as validation
    // could never find it.
    explicit CapabilitiesIndex(const xmlDoc* capabilities);
    CapabilitiesIndex(const CapabilitiesIndex&) = delete;
    CapabilitiesIndex& operator=(const CapabilitiesIndex&) = delete;

    // The first top-level Feature / ParameterDef of that name, or null.
    const Feature* FindFeature(QNameView name) const;
    const Parameter* FindParameter(QNameView name) const;

private:
    std::unordered_map<QName, Feature, QNameHash, QNameEqual> features_;
    std::unordered_map<QName, Parameter, QNameHash, QNameEqual> parameters_;
};

// An integer as the Print Schema writes one: optional '+' or '-', decimal digits, nothing
// else (the caller trims white space).
bool ParseInteger(const std::string& text, int64_t& out);

} // namespace platform::printticket
