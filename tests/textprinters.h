// How GoogleTest shows the library's text types in failure messages: as UTF-8.
#pragma once

#include <kldutil/cxstring.h>

#include <ostream>

inline void PrintTo(const CXString& text, std::ostream* out) {
    *out << '"' << text.ToUtf8() << '"';
}
