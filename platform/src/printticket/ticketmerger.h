// The merge of a delta print ticket onto a base ticket, and the check of a ticket's form, on
// libxml2 documents.
#pragma once

#include "prntvpt.h"

#include <libxml/tree.h>

#include <string>
#include <string_view>

namespace platform::printticket {

// A ticket whose form is wrong; which ticket it was decides the HRESULT.
struct TicketFormatError {
    std::string message;
};

// Throws TicketFormatError unless the root is a framework PrintTicket and every Feature and
// ParameterInit directly under it has a name that resolves and is given once.
void CheckTicketForm(const xmlDoc* ticket);

// The scope a setting belongs to, from its local name: "Page...", "Document...", "Job...";
// any other name (a private setting, say) is job scope.
EPrintTicketScope ScopeOfName(std::string_view local);

// Merges delta (may be null) into base, in place: each Feature and ParameterInit of the delta
// of scope or wider replaces the base's element of the same name and kind, or is added; then
// every setting narrower than scope is removed. Both must have passed CheckTicketForm.
// Throws NameError for a delta value that does not resolve, std::bad_alloc.
void MergeInto(xmlDoc* base, const xmlDoc* delta, EPrintTicketScope scope);

} // namespace platform::printticket
