#include "schemareader.h"

#include "text.h"
#include "toolerror.h"

namespace filterutil {
namespace {

std::u16string Text(const CComBSTR& text) {
    return text.m_str ? std::u16string(text.m_str, text.Length()) : std::u16string();
}

bool IsElement(IXMLDOMNode* node) {
    DOMNodeType type = NODE_INVALID;
    return SUCCEEDED(node->get_nodeType(&type)) && type == NODE_ELEMENT;
}

bool IsFramework(IXMLDOMNode* node, std::u16string_view localName) {
    if (!IsElement(node)) {
        return false;
    }
    CComBSTR name;
    CComBSTR uri;
    node->get_baseName(&name);
    node->get_namespaceURI(&uri);
    return Text(name) == localName && Text(uri) == PrintSchema::FrameworkNamespaceUri;
}

void Check(HRESULT hr, const char* what) {
    if (FAILED(hr)) {
        throw ToolError(std::string("the document could not be read (") + what +
                            "): " + DescribeHresult(hr),
                        kExitFailure);
    }
}

// The node's text as the library takes a typed value: the typed value when it is text, else
// the plain text; empty text is none.
std::optional<std::u16string> TypedValueText(IXMLDOMNode* node) {
    VARIANT typed;
    VariantInit(&typed);
    Check(node->get_nodeTypedValue(&typed), "a typed value");
    std::u16string text;
    const bool isText = typed.vt == VT_BSTR;
    if (isText) {
        text.assign(typed.bstrVal, SysStringLen(typed.bstrVal));
    }
    VariantClear(&typed);
    if (!isText) {
        CComBSTR plain;
        Check(node->get_text(&plain), "a text");
        text = Text(plain);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    return text;
}

std::string Quoted(const std::u16string& text) {
    return "\"" + ToUtf8(text) + "\"";
}

} // namespace

std::vector<CComPtr<IXMLDOMNode>> FrameworkChildren(IXMLDOMNode* parent,
                                                    std::u16string_view localName) {
    std::vector<CComPtr<IXMLDOMNode>> found;
    CComPtr<IXMLDOMNode> child;
    parent->get_firstChild(&child);
    while (child) {
        if (IsFramework(child, localName)) {
            found.push_back(child);
        }
        CComPtr<IXMLDOMNode> next;
        child->get_nextSibling(&next);
        child = next;
    }
    return found;
}

std::optional<std::u16string> NameAttribute(IXMLDOMNode* node) {
    CComPtr<IXMLDOMNamedNodeMap> attributes;
    if (FAILED(node->get_attributes(&attributes)) || !attributes) {
        return std::nullopt;
    }
    CComBSTR name(u"name");
    CComPtr<IXMLDOMNode> attribute;
    if (attributes->getNamedItem(name, &attribute) != S_OK || !attribute) {
        return std::nullopt;
    }
    CComBSTR text;
    Check(attribute->get_text(&text), "an attribute");
    return Text(text);
}

SchemaReader::SchemaReader(PrintSchemaXmlDocument& document)
    : dom_(document.GetDomDocPtr()), frameworkPrefix_(Text(document.GetFrameworkNsPrefix())),
      optionNameProperty_(Text(document.GetKeywordsNsPrefix()) + u"OptionName") {}

void SchemaReader::IndexInitialisers() {
    indexed_ = true;
    // Every ParameterInit of the document, at any depth, in document order, as the library
    // selects them to follow a reference.
    const std::u16string query = u"//" + frameworkPrefix_ + u"ParameterInit";
    CComPtr<IXMLDOMNodeList> list;
    Check(dom_->selectNodes(CComBSTR(query.c_str()), &list), "the parameter initialisers");
    for (;;) {
        CComPtr<IXMLDOMNode> initialiser;
        Check(list->nextNode(&initialiser), "the parameter initialisers");
        if (!initialiser) {
            break;
        }
        if (auto name = NameAttribute(initialiser)) {
            initialisers_.try_emplace(std::move(*name), initialiser);
        }
    }
}

std::optional<std::u16string> SchemaReader::Value(IXMLDOMNode* element) {
    const auto values = FrameworkChildren(element, u"Value");
    if (!values.empty()) {
        return TypedValueText(values.front());
    }
    const auto references = FrameworkChildren(element, u"ParameterRef");
    if (references.empty()) {
        return std::nullopt;
    }
    const auto referenced = NameAttribute(references.front());
    if (!referenced) {
        return std::nullopt;
    }
    if (!indexed_) {
        IndexInitialisers();
    }
    const auto initialiser = initialisers_.find(*referenced);
    if (initialiser == initialisers_.end()) {
        return std::nullopt;
    }
    return TypedValueText(initialiser->second);
}

CComPtr<IXMLDOMNode> SchemaReader::FirstOptionNode(IXMLDOMNode* feature) const {
    CComPtr<IXMLDOMNode> child;
    feature->get_firstChild(&child);
    while (child) {
        if (IsFramework(child, u"Option")) {
            return child;
        }
        if (IsFramework(child, u"ScoredProperty") && NameAttribute(child) == optionNameProperty_) {
            const auto values = FrameworkChildren(child, u"Value");
            if (!values.empty()) {
                return values.front();
            }
        }
        CComPtr<IXMLDOMNode> next;
        child->get_nextSibling(&next);
        child = next;
    }
    return nullptr;
}

OptionReading SchemaReader::FeatureOption(IXMLDOMNode* feature) const {
    OptionReading reading;
    const CComPtr<IXMLDOMNode> node = FirstOptionNode(feature);
    if (!node) {
        return reading;
    }
    const bool isOption = IsFramework(node, u"Option");
    const auto name = NameAttribute(node);
    const std::u16string full = name ? *name : TypedValueText(node).value_or(u"");
    if (full.find(u':') != std::u16string::npos) {
        reading.state = OptionReading::State::Read;
        reading.name = full;
        return reading;
    }
    reading.state = OptionReading::State::Unreadable;
    if (isOption && !name) {
        reading.reason = "its Option has no name";
    } else if (full.empty()) {
        reading.reason = isOption ? "its option name is empty" : "its OptionName value is empty";
    } else {
        reading.reason = (isOption ? "its option name " : "its OptionName value ") + Quoted(full) +
                         " has no prefix";
    }
    return reading;
}

OptionReading SchemaReader::SubFeatureOption(IXMLDOMNode* feature) const {
    OptionReading reading;
    const CComPtr<IXMLDOMNode> node = FirstOptionNode(feature);
    const auto name = node ? NameAttribute(node) : std::nullopt;
    if (!name) {
        return reading;
    }
    if (name->empty()) {
        reading.state = OptionReading::State::Unreadable;
        reading.reason = "its option name is empty";
        return reading;
    }
    reading.state = OptionReading::State::Read;
    reading.name = *name;
    return reading;
}

} // namespace filterutil
