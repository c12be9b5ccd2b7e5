// Reads a loaded Print Schema document node by node, answering as the library answers.
//
// The library's read operations take a name or an XPath expression evaluated from the
// document node, so asking them about each element of a large document costs time in
// proportion to the document for every element. The tool walks the DOM once instead and,
// for each element it meets, applies the library's own rules (the value rule of
// QueryNodeValue, the option rules of GetFeatureOption and GetSubFeatureOption), over an
// index of the ParameterInit elements built once. The tests hold the two to the same answers.
#pragma once

#include <filterutilities/printschemaxmldocument.h>

#include <atlbase.h>
#include <msxml6.h>

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace filterutil {

// The element children of parent in the Print Schema framework namespace with that local
// name, in document order.
std::vector<CComPtr<IXMLDOMNode>> FrameworkChildren(IXMLDOMNode* parent,
                                                    std::u16string_view localName);

// The value of the node's "name" attribute, if it has one.
std::optional<std::u16string> NameAttribute(IXMLDOMNode* node);

// The option a feature selects, as the library reads it.
struct OptionReading {
    enum class State {
        Absent,     // no Option child and no OptionName scored property (0x80070490)
        Read,       // name holds the option's name with its prefix, e.g. psk:ISOA4
        Unreadable, // the library refuses the option; reason says why
    };
    State state = State::Absent;
    std::u16string name;
    std::string reason;
};

class SchemaReader {
public:
    explicit SchemaReader(PrintSchemaXmlDocument& document);

    // The value of a property-like element (ScoredProperty, Property, ParameterInit): the text
    // of its first Value child or, without one, of the first ParameterInit of the document
    // named as its first ParameterRef child. Nothing when neither is there or the text is
    // empty.
    std::optional<std::u16string> Value(IXMLDOMNode* element);

    // The option of a feature that stands at the top of the ticket, as GetFeatureOption reads
    // it: of the feature's Option children and the Value children of its own OptionName scored
    // properties, the first in document order; its name attribute, or its text without one;
    // a text without a prefix is refused.
    OptionReading FeatureOption(IXMLDOMNode* feature) const;
    // The option of a nested feature, as GetSubFeatureOption reads it: the same first node,
    // its name attribute only (none is no option), an empty name refused.
    OptionReading SubFeatureOption(IXMLDOMNode* feature) const;

private:
    // The first Option child, or OptionName scored property Value, of the feature.
    CComPtr<IXMLDOMNode> FirstOptionNode(IXMLDOMNode* feature) const;
    void IndexInitialisers();

    IXMLDOMDocument2* dom_;
    std::u16string frameworkPrefix_;
    std::u16string optionNameProperty_; // the keywords prefix + "OptionName"
    bool indexed_ = false;
    std::unordered_map<std::u16string, CComPtr<IXMLDOMNode>> initialisers_; // first of a name
};

} // namespace filterutil
