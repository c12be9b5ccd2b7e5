// The edits of a print ticket that both the ticket commands and the ticket filter make.
// Failures of the library are raised as it raises them (KeldanComException,
// ATL::CAtlException); ToolError(kExitFailure) when the document refuses a replacement.
#pragma once

#include <filterutilities/printticketxmldocument.h>

#include <atlbase.h>
#include <oleauto.h>

#include <optional>

namespace filterutil {

// Selects option in feature: a new Feature/Option pair named in the Print Schema keywords
// namespace (keyword true) or the driver's private one (false) takes the place of the first
// feature of that name (featurePrefix + feature), keeping its sub-features, or is appended to
// the root when the ticket has none.
void SelectFeatureOption(PrintTicketXmlDocument& ticket, BSTR featurePrefix, bool featureKeyword,
                         BSTR feature, bool optionKeyword, BSTR option);

// Sets the ParameterInit prefix + name to an integer or, without one, to text, in place of the
// first one of that name or appended to the root.
void SetParameterInit(PrintTicketXmlDocument& ticket, BSTR prefix, BSTR name,
                      std::optional<int> integer, BSTR text);

} // namespace filterutil
