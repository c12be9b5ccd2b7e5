#include "printschemafile.h"

#include "text.h"
#include "toolerror.h"
#include "xmlfile.h"

#include <kldutil/keldanexception.h>

namespace filterutil {
namespace {

constexpr std::u16string_view kFrameworkUri = PrintSchema::FrameworkNamespaceUri;

std::u16string Text(const CComBSTR& text) {
    return std::u16string(text.m_str, text.Length());
}

std::string DescribeConstructionFailure(HRESULT hr, const std::u16string& root) {
    if (hr == S_FALSE) {
        return "no Print Schema " + ToUtf8(root) + " element";
    }
    if (hr == E_FAIL) {
        return "the root element does not declare the Print Schema framework namespace with a "
               "prefix";
    }
    return "the library refused it (" + HexCode(hr) + ")";
}

} // namespace

PrintSchemaXmlDocument& PrintSchemaFile::Document() const {
    if (ticket) {
        return *ticket;
    }
    return *capabilities;
}

PrintSchemaFile LoadPrintSchemaFile(const std::string& path) {
    PrintSchemaFile file{PrintSchemaKind::Ticket, LoadXmlFile(path), nullptr, nullptr};

    CComPtr<IXMLDOMElement> root;
    CComBSTR localName;
    CComBSTR namespaceUri;
    if (FAILED(file.dom->get_documentElement(&root)) || !root ||
        FAILED(root->get_baseName(&localName)) || FAILED(root->get_namespaceURI(&namespaceUri))) {
        throw ToolError(path + ": not a Print Schema document (no root element)");
    }
    const std::u16string rootName = Text(localName);
    if (Text(namespaceUri) != kFrameworkUri ||
        (rootName != u"PrintTicket" && rootName != u"PrintCapabilities")) {
        throw ToolError(path + ": not a Print Schema document (root element " + ToUtf8(rootName) +
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
        throw ToolError(path + ": not a usable Print Schema document: " +
                        DescribeConstructionFailure(e.GetHresult(), rootName));
    }
    return file;
}

PrintSchemaFile LoadPrintTicketFile(const std::string& path) {
    PrintSchemaFile file = LoadPrintSchemaFile(path);
    if (file.kind != PrintSchemaKind::Ticket) {
        throw ToolError(path + ": a print capabilities document, not a print ticket");
    }
    return file;
}

} // namespace filterutil
