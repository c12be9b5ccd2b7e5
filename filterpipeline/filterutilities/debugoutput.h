// Formatted text for the debugger (the debug sink of OutputDebugStringA).
//
// The format is the C library's printf with narrow arguments: pass wide text converted to
// UTF-8 with %s; %ls would read wchar_t, which is not the library's WCHAR. The compiler checks
// the arguments of DbgPrint against its format.
#pragma once

#include <filterutilities/filterutilitiesexport.h>

#include <windows.h>

#include <cstdarg>

// Formats at most count bytes and writes them to the debugger. Answers 1 when the whole text
// fit, 0 when it was cut at count bytes, and 0 without writing anything for a null format, a
// count of 0, a count of 0x7FFFFFFF or more, or arguments the C library cannot format. Only an
// allocation failure escapes, as std::bad_alloc.
FILTERUTILITIES_API int RealDebugMessage(DWORD count, const char* format, va_list args);

// RealDebugMessage with a limit of 32768 bytes.
FILTERUTILITIES_API int DbgPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
