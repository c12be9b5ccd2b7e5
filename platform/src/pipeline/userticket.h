// The user's default ticket a job hands its filters ("PerUserPrintTicket"): read from a file
// the user names, and checked to be a print ticket before any filter sees it.
#pragma once

#include "pipeline.h"

#include <string>

namespace platform::pipeline {

// Why the bytes are not a print ticket (not well-formed XML, a document type declaration, a
// root other than the Print Schema's PrintTicket); empty when they are one.
std::string UserTicketProblem(const std::string& bytes);

} // namespace platform::pipeline
