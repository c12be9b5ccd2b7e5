// The spooler (winspool.h): printer handles, the default printer, a printer's driver and private
// data, and the driver directory.
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
#ifndef ERROR_INVALID_DATATYPE
#define ERROR_INVALID_DATATYPE 1804u
#endif
#ifndef ERROR_DISK_FULL
#define ERROR_DISK_FULL 112u
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

#ifndef REG_SZ
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_BINARY 3u
#define REG_DWORD 4u
#endif

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
// The driver of an open printer, level 1 only: a DRIVER_INFO_1W at the start of the buffer,
// its name behind it. The environment must be null, empty or "Windows x64". A buffer too small
// gives ERROR_INSUFFICIENT_BUFFER with *needed set; a handle that is not open,
// ERROR_INVALID_HANDLE.
PLATFORM_EXPORT BOOL WINAPI GetPrinterDriverW(HANDLE printer, LPWSTR environment, DWORD level,
                                              LPBYTE driverInfo, DWORD bufferSize, LPDWORD needed);
// A printer's private data, kept by the spooler beyond the life of any process: values of a
// type (REG_SZ, REG_BINARY, ...) under keys, names of both compared without regard to ASCII
// case. A key name may not be empty and "A\B" is a key under "A"; a value name may be empty.
// The data lives in the spool folder: FILTERUTILITIES_SPOOL, else
// $XDG_STATE_HOME/filterutilities/spool, else ~/.local/state/filterutilities/spool. A value
// is replaced whole or not at all. The result is a Win32 error code: ERROR_INVALID_HANDLE for
// a handle that is not open, ERROR_INVALID_PARAMETER for a missing, empty or overlong name
// (over 120 bytes of UTF-8) or data over 16 MiB, ERROR_FILE_NOT_FOUND for a value or key that
// is not there, ERROR_MORE_DATA (with *needed set) for a buffer too small, ERROR_INVALID_DATA
// for stored data that is damaged.
PLATFORM_EXPORT DWORD WINAPI SetPrinterDataExW(HANDLE printer, LPCWSTR keyName, LPCWSTR valueName,
                                               DWORD type, LPBYTE data, DWORD size);
PLATFORM_EXPORT DWORD WINAPI GetPrinterDataExW(HANDLE printer, LPCWSTR keyName, LPCWSTR valueName,
                                               LPDWORD type, LPBYTE data, DWORD size,
                                               LPDWORD needed);
// Deletes the key with its values and every key under it.
PLATFORM_EXPORT DWORD WINAPI DeletePrinterKeyW(HANDLE printer, LPCWSTR keyName);
// The local machine's printer driver directory (a path without a trailing separator) for the
// default environment ("Windows x64"), level 1. A remote server name gives ERROR_INVALID_NAME,
// another environment ERROR_INVALID_ENVIRONMENT, another level ERROR_INVALID_LEVEL; a buffer
// too small gives ERROR_INSUFFICIENT_BUFFER with *needed set.
PLATFORM_EXPORT BOOL WINAPI GetPrinterDriverDirectoryA(LPSTR serverName, LPSTR environment,
                                                       DWORD level, LPBYTE driverDirectory,
                                                       DWORD bufferSize, LPDWORD needed);
}
