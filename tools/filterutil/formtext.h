// A driver's form record in words: its name and its kind.
#pragma once

#include <filterutilities/pagemediasizeptpchelper.h>

#include <string>

namespace filterutil {

// The form's name as the spooler stand-in's driver writes it behind the fields the library
// reads (bytes 24 to 151, UTF-16 ended by a zero unit), in UTF-8.
std::string FormName(const _tag_FormsInfoRec& form);

// "driver form", "user form", ... for a form kind; "unknown kind" for the others.
const char* FormKindName(int32_t kind);

} // namespace filterutil
