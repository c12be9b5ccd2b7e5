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

// Loads and classifies a file ("-" for standard input) by its root element. Throws ToolError
// (exit status 2) for a file that cannot be read, is not well-formed, or is not a print ticket
// or capabilities document, saying why.
PrintSchemaFile LoadPrintSchemaFile(const std::string& path);

// As LoadPrintSchemaFile, refusing anything but a print ticket.
PrintSchemaFile LoadPrintTicketFile(const std::string& path);

// Makes sure the ticket's root binds the prefix pk to the driver's private keywords namespace,
// declaring it when the ticket does not, so that pk: names written into the ticket are the
// driver's. Throws ToolError (exit status 2) when the ticket binds pk to another namespace.
void BindPrivateNamespace(PrintSchemaFile& file);

} // namespace filterutil
