// Validation of a print ticket against a printer's capabilities: features the printer does
// not list are dropped, an option it does not offer becomes its default option, a
// ParameterInit without a ParameterDef is dropped and an integer outside its definition's
// range is clamped.
#pragma once

#include "printticket/capabilitiesindex.h"

#include <libxml/tree.h>

namespace platform::printticket {

// Changes ticket in place; true when anything was changed. Throws std::bad_alloc, NameError.
bool ValidateAgainstCapabilities(xmlDoc* ticket, const CapabilitiesIndex& capabilities);

} // namespace platform::printticket
