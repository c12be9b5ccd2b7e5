// The spooler (winspool.h): printer handles, the default printer and the driver directory.
#pragma once

#include "windows.h"

#ifndef ERROR_INVALID_NAME
#define ERROR_INVALID_NAME 123u
#endif
#ifndef ERROR_INVALID_LEVEL
#define ERROR_INVALID_LEVEL 124u
#endif
#ifndef ERROR_INVALID_ENVIRONMENT
#define ERROR_INVALID_ENVIRONMENT 1805u
#endif
#ifndef ERROR_INVALID_USER_BUFFER
#define ERROR_INVALID_USER_BUFFER 1784u
#endif

using LPHANDLE = HANDLE*;
using ACCESS_MASK = DWORD;
#define PRINTER_ACCESS_USE 0x00000008u

struct PRINTER_DEFAULTSW {
    LPWSTR pDatatype;
    LPDEVMODEW pDevMode;
    ACCESS_MASK DesiredAccess;
};
using LPPRINTER_DEFAULTSW = PRINTER_DEFAULTSW*;

struct DRIVER_INFO_1W {
    LPWSTR pName;
};

extern "C" {
// A handle for the printer of that name (ASCII case is ignored); FALSE with
// ERROR_INVALID_PRINTER_NAME when no printer has that name. The defaults are not used.
PLATFORM_EXPORT BOOL WINAPI OpenPrinterW(LPWSTR printerName, LPHANDLE printer,
                                         LPPRINTER_DEFAULTSW defaults);
// FALSE with ERROR_INVALID_HANDLE for a handle that is not open (a second close included).
PLATFORM_EXPORT BOOL WINAPI ClosePrinter(HANDLE printer);
// The default printer's name; size is in characters with the terminating zero. A buffer too
// small gives FALSE, ERROR_INSUFFICIENT_BUFFER and the size needed.
PLATFORM_EXPORT BOOL WINAPI GetDefaultPrinterW(LPWSTR buffer, LPDWORD size);
// The local machine's printer driver directory (a path without a trailing separator) for the
// default environment ("Windows x64"), level 1. A remote server name gives ERROR_INVALID_NAME,
// another environment ERROR_INVALID_ENVIRONMENT, another level ERROR_INVALID_LEVEL; a buffer
// too small gives ERROR_INSUFFICIENT_BUFFER with *needed set.
// The driver of an open printer, level 1 only: a DRIVER_INFO_1W at the start of the buffer,
// its name behind it. The environment must be null, empty or "Windows x64". A buffer too small
// gives ERROR_INSUFFICIENT_BUFFER with *needed set; a handle that is not open,
// ERROR_INVALID_HANDLE.
PLATFORM_EXPORT BOOL WINAPI GetPrinterDriverW(HANDLE printer, LPWSTR environment, DWORD level,
                                              LPBYTE driverInfo, DWORD bufferSize, LPDWORD needed);
PLATFORM_EXPORT BOOL WINAPI GetPrinterDriverDirectoryA(LPSTR serverName, LPSTR environment,
                                                       DWORD level, LPBYTE driverDirectory,
                                                       DWORD bufferSize, LPDWORD needed);
}
