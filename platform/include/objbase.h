// COM run-time: apartments, object creation, task memory, memory streams.
#pragma once

#include "oleauto.h"

enum COINIT {
    COINIT_MULTITHREADED = 0x0,
    COINIT_APARTMENTTHREADED = 0x2,
    COINIT_DISABLE_OLE1DDE = 0x4,
};
enum CLSCTX {
    CLSCTX_INPROC_SERVER = 0x1,
    CLSCTX_INPROC_HANDLER = 0x2,
    CLSCTX_LOCAL_SERVER = 0x4,
    CLSCTX_ALL = 0x17,
};

extern "C" {
// Per-thread apartment count: the first call on a thread answers S_OK, later ones S_FALSE;
// each successful call is balanced by one CoUninitialize.
PLATFORM_EXPORT HRESULT WINAPI CoInitializeEx(LPVOID reserved, DWORD coInit);
PLATFORM_EXPORT HRESULT WINAPI CoInitialize(LPVOID reserved);
PLATFORM_EXPORT void WINAPI CoUninitialize();

// Creates an object of a registered class; the calling thread must have entered an
// apartment (CO_E_NOTINITIALIZED otherwise).
PLATFORM_EXPORT HRESULT WINAPI CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context,
                                                REFIID iid, LPVOID* object);
PLATFORM_EXPORT HRESULT WINAPI CLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid);
// A GUID written as {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx} (hex digits in either case);
// CO_E_CLASSSTRING (IIDFromString: E_INVALIDARG) for any other text.
PLATFORM_EXPORT HRESULT WINAPI CLSIDFromString(LPCOLESTR text, LPCLSID clsid);
PLATFORM_EXPORT HRESULT WINAPI IIDFromString(LPCOLESTR text, LPIID iid);
// Writes the GUID in that form (39 characters with the terminating zero); answers the
// characters written, 0 when the buffer is too small.
PLATFORM_EXPORT int WINAPI StringFromGUID2(REFGUID guid, LPOLESTR text, int size);

PLATFORM_EXPORT LPVOID WINAPI CoTaskMemAlloc(SIZE_T size);
PLATFORM_EXPORT LPVOID WINAPI CoTaskMemRealloc(LPVOID block, SIZE_T size);
PLATFORM_EXPORT void WINAPI CoTaskMemFree(LPVOID block);

// The current time as a FILETIME: 100-nanosecond intervals since 1 January 1601 (UTC).
PLATFORM_EXPORT HRESULT WINAPI CoFileTimeNow(FILETIME* fileTime);

// A growable memory stream. Only a null HGLOBAL is supported (the stream allocates its own
// memory); any other handle gives E_INVALIDARG.
PLATFORM_EXPORT HRESULT WINAPI CreateStreamOnHGlobal(HGLOBAL global, BOOL deleteOnRelease,
                                                     LPSTREAM* stream);
}
