#include "userticket.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <climits>
#include <cstring>

namespace platform::pipeline {

std::string UserTicketProblem(const std::string& bytes) {
    static constexpr char kFramework[] =
        "http://schemas.microsoft.com/windows/2003/08/printing/printschemaframework";
    if (bytes.size() > INT_MAX) {
        return "the ticket is too large";
    }
    // No network, no entities expanded, and no DTD at all.
    xmlDoc* document = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr,
                                     XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!document) {
        return "the ticket is not well-formed XML";
    }
    std::string problem;
    const xmlNode* root = xmlDocGetRootElement(document);
    if (document->intSubset || document->extSubset) {
        problem = "the ticket has a document type declaration";
    } else if (!root || std::strcmp(reinterpret_cast<const char*>(root->name), "PrintTicket") ||
               !root->ns ||
               std::strcmp(reinterpret_cast<const char*>(root->ns->href), kFramework)) {
        problem = "the ticket's root is not the Print Schema's PrintTicket";
    }
    xmlFreeDoc(document);
    return problem;
}

} // namespace platform::pipeline
