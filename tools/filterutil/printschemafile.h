// A Print Schema file (print ticket or print capabilities) loaded through the library.
#pragma once

#include <filterutilities/printcapabilitiesxmldocument.h>
#include <filterutilities/printticketxmldocument.h>

#include <memory>
#include <string>

namespace filterutil {

enum class PrintSchemaKind { Ticket, Capabilities };

struct PrintSchemaFile {
    PrintSchemaKind kind;
    CComPtr<IXMLDOMDocument2> dom;
    // Exactly one of the two is set, according to kind.
    std::unique_ptr<PrintTicketXmlDocument> ticket;
    std::unique_ptr<PrintCapabilitiesXmlDocument> capabilities;

    PrintSchemaXmlDocument& Document() const;
};

// Loads and classifies a file by its root element. Throws ToolError (exit status 2) for a file
// that cannot be read, is not well-formed, or is not a print ticket or capabilities document.
PrintSchemaFile LoadPrintSchemaFile(const std::string& path);

// As LoadPrintSchemaFile, refusing anything but a print ticket.
PrintSchemaFile LoadPrintTicketFile(const std::string& path);

} // namespace filterutil
