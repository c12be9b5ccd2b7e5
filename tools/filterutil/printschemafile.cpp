#include "printschemafile.h"

#include "text.h"
#include "toolerror.h"
#include "xmlfile.h"

#include <kldutil/keldanexception.h>

#include <utility>
#include <vector>

namespace filterutil {
namespace {

constexpr std::u16string_view kFrameworkUri = PrintSchema::FrameworkNamespaceUri;

std::u16string Text(const CComBSTR& text) {
    return text.m_str ? std::u16string(text.m_str, text.Length()) : std::u16string();
}

struct RootAttribute {
    std::u16string name;
    std::u16string value;
};

// The root element's attributes, namespace declarations included, in document order.
std::vector<RootAttribute> RootAttributes(IXMLDOMDocument2* dom) {
    std::vector<RootAttribute> found;
    CComPtr<IXMLDOMElement> root;
    CComPtr<IXMLDOMNamedNodeMap> attributes;
    LONG count = 0;
    if (FAILED(dom->get_documentElement(&root)) || !root ||
        FAILED(root->get_attributes(&attributes)) || !attributes ||
        FAILED(attributes->get_length(&count))) {
        return found;
    }
    for (LONG i = 0; i < count; ++i) {
        CComPtr<IXMLDOMNode> attribute;
        CComBSTR name;
        CComBSTR value;
        if (SUCCEEDED(attributes->get_item(i, &attribute)) && attribute &&
            SUCCEEDED(attribute->get_nodeName(&name)) && SUCCEEDED(attribute->get_text(&value))) {
            found.push_back({Text(name), Text(value)});
        }
    }
    return found;
}

struct WatchedNamespace {
    std::u16string_view uri;
    const char* description;
};

// In the order in which the library looks the namespaces up on the root element.
constexpr WatchedNamespace kWatched[] = {
    {PrintSchema::UserKeywordsNamespaceUri, "the driver's private keywords namespace"},
    {PrintSchema::FrameworkNamespaceUri, "the Print Schema framework namespace"},
    {PrintSchema::KeywordsNamespaceUri, "the Print Schema keywords namespace"},
    {PrintSchema::XmlSchemaInstanceNamespaceUri, "the XML Schema instance namespace"},
    {PrintSchema::XmlSchemaNamespaceUri, "the XML Schema namespace"},
};

constexpr std::u16string_view kDeclarationPrefix = u"xmlns:";

// Why the library could not take the root element's namespace declarations (it raised
// E_FAIL), found by reading them as it does: the first root attribute whose value is a
// watched namespace must be a declaration with a prefix; the driver's namespace must be able
// to take the prefix pk; the framework namespace must be declared with a prefix.
std::string DescribeRejectedDeclarations(IXMLDOMDocument2* dom) {
    const std::vector<RootAttribute> attributes = RootAttributes(dom);
    for (const WatchedNamespace& watched : kWatched) {
        const RootAttribute* first = nullptr;
        for (const RootAttribute& attribute : attributes) {
            if (attribute.value == watched.uri) {
                first = &attribute;
                break;
            }
        }
        if (!first) {
            continue;
        }
        if (first->name == u"xmlns") {
            return std::string("the root element makes ") + watched.description +
                   " its default namespace; the library needs it declared with a prefix";
        }
        if (!first->name.starts_with(kDeclarationPrefix) ||
            first->name.size() == kDeclarationPrefix.size()) {
            return "the root element's attribute " + ToUtf8(first->name) + " holds the name of " +
                   watched.description +
                   ", which the library reads as a declaration without a prefix";
        }
        if (watched.uri == PrintSchema::UserKeywordsNamespaceUri && first->name != u"xmlns:pk") {
            for (const RootAttribute& attribute : attributes) {
                if (attribute.name == u"xmlns:pk") {
                    return "the root element binds the prefix pk to \"" + ToUtf8(attribute.value) +
                           "\", so the driver's private keywords namespace (declared as " +
                           ToUtf8(first->name.substr(kDeclarationPrefix.size())) +
                           ") cannot be given it";
                }
            }
        }
    }
    for (const RootAttribute& attribute : attributes) {
        if (attribute.value == kFrameworkUri) {
            return {}; // declared with a prefix: the cause is elsewhere
        }
    }
    return "the root element does not declare the Print Schema framework namespace with a "
           "prefix";
}

std::string DescribeConstructionFailure(HRESULT hr, const std::u16string& root,
                                        IXMLDOMDocument2* dom) {
    if (hr == S_FALSE) {
        return "no Print Schema " + ToUtf8(root) + " element";
    }
    if (hr == E_FAIL) {
        const std::string reason = DescribeRejectedDeclarations(dom);
        if (!reason.empty()) {
            return reason;
        }
    }
    return "the library refused it: " + DescribeHresult(hr);
}

} // namespace

PrintSchemaXmlDocument& PrintSchemaFile::Document() const {
    if (ticket) {
        return *ticket;
    }
    return *capabilities;
}

PrintSchemaFile LoadPrintSchemaFile(const std::string& path) {
    const std::string name = InputName(path);
    PrintSchemaFile file{PrintSchemaKind::Ticket, LoadXmlFile(path), nullptr, nullptr};

    CComPtr<IXMLDOMElement> root;
    CComBSTR localName;
    CComBSTR namespaceUri;
    if (FAILED(file.dom->get_documentElement(&root)) || !root ||
        FAILED(root->get_baseName(&localName)) || FAILED(root->get_namespaceURI(&namespaceUri))) {
        throw ToolError(name + ": not a Print Schema document (no root element)");
    }
    const std::u16string rootName = Text(localName);
    if (Text(namespaceUri) != kFrameworkUri ||
        (rootName != u"PrintTicket" && rootName != u"PrintCapabilities")) {
        throw ToolError(name + ": not a Print Schema document (root element " + ToUtf8(rootName) +
                        " in namespace \"" + ToUtf8(Text(namespaceUri)) + "\")");
    }
    try {
        if (rootName == u"PrintTicket") {
            file.kind = PrintSchemaKind::Ticket;
            file.ticket = std::make_unique<PrintTicketXmlDocument>(file.dom);
        } else {
            file.kind = PrintSchemaKind::Capabilities;
            file.capabilities = std::make_unique<PrintCapabilitiesXmlDocument>(file.dom);
        }
    } catch (const KeldanComException& e) {
        throw ToolError(name + ": not a usable Print Schema document: " +
                        DescribeConstructionFailure(e.GetHresult(), rootName, file.dom));
    }
    return file;
}

PrintSchemaFile LoadPrintTicketFile(const std::string& path) {
    PrintSchemaFile file = LoadPrintSchemaFile(path);
    if (file.kind != PrintSchemaKind::Ticket) {
        throw ToolError(InputName(path) + ": a print capabilities document, not a print ticket");
    }
    return file;
}

void BindPrivateNamespace(PrintSchemaFile& file) {
    PrintTicketXmlDocument& ticket = *file.ticket;
    CComPtr<IXMLDOMElement> root;
    if (FAILED(ticket.GetRootNode()->QueryInterface(IID_IXMLDOMElement,
                                                    reinterpret_cast<void**>(&root)))) {
        throw ToolError("the ticket's root element cannot be edited", kExitFailure);
    }
    const CComBSTR declaration(u"xmlns:pk");
    VARIANT existing;
    VariantInit(&existing);
    const HRESULT found = root->getAttribute(declaration, &existing);
    const std::u16string existingUri =
        found == S_OK && existing.vt == VT_BSTR
            ? std::u16string(existing.bstrVal, SysStringLen(existing.bstrVal))
            : std::u16string();
    VariantClear(&existing);
    if (found == S_OK) {
        if (existingUri == PrintSchema::UserKeywordsNamespaceUri) {
            return; // loading gave the driver's namespace the prefix pk
        }
        throw ToolError("the ticket binds the prefix pk to \"" + ToUtf8(existingUri) +
                        "\", not to the driver's private keywords namespace");
    }
    if (FAILED(found)) {
        throw ToolError("the ticket's root element cannot be read: " + DescribeHresult(found),
                        kExitFailure);
    }
    CComBSTR uri(PrintSchema::UserKeywordsNamespaceUri);
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = uri.m_str; // lent: setAttribute copies it
    const HRESULT set = root->setAttribute(declaration, value);
    if (FAILED(set)) {
        throw ToolError("the driver's private keywords namespace could not be declared: " +
                            DescribeHresult(set),
                        kExitFailure);
    }
    // The document resolves its prefixes when it is made; made again, it names private
    // elements with pk.
    file.ticket = std::make_unique<PrintTicketXmlDocument>(file.dom);
}

} // namespace filterutil
