// Closing kernel handles (handleapi.h). The stand-in's kernel handles are tokens.
#pragma once

#include "windows.h"

extern "C" {
// FALSE with ERROR_INVALID_HANDLE for a handle that is not open (a second close included).
PLATFORM_EXPORT BOOL WINAPI CloseHandle(HANDLE object);
}
