// The library's entry point. The system's loader runs it with DLL_PROCESS_ATTACH when the
// library is loaded (on this platform, from the library's own initialisation), before any
// other code of the library runs.
#pragma once

#include <libloaderapi.h>
#include <windows.h>

// On process attach records the library's own module and enables the delay loader; does
// nothing on the other notifications. Always answers TRUE.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
