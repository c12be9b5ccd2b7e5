// The seven typed settings a filter reads from its view of a scope (duplex, orientation, page
// scaling, page media size, booklet binding, pages per sheet, output paper size), each asked
// with every out-parameter so that nothing is raised, and written as text or JSON.
#pragma once

#include "jsonwriter.h"

#include <filterutilities/xpsfilterprintticket.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace filterutil {

// "page", "document", "job" or "default".
const char* ScopeName(XpsFilterPrintTicket::EFilterPtScope scope);

// One typed setting as the view answered it.
struct Answer {
    const char* name;                      // the JSON key
    const char* label;                     // the text output's
    std::string text;                      // the value, for the text output
    std::function<void(JsonWriter&)> json; // the value, for the JSON output
    bool found = false;
    HRESULT status = E_FAIL;
    std::optional<XpsFilterPrintTicket::EFilterPtScope> source;

    // "read": from a ticket; "defaults": the view's defaults stand (no data model of this
    // driver, or nothing to read); "absent": not set; "unreadable": the view failed.
    const char* State() const;
};

// The seven settings of the view, in the order above.
std::vector<Answer> AskAll(XpsFilterPrintTicket& view);

// The answer as the JSON object {"value": ..., "state": ..., "from": ...[, "error": ...]}.
void WriteAnswerJson(JsonWriter& writer, const Answer& answer);

} // namespace filterutil
