// Critical sections (synchapi.h): a recursive lock, initialised before use and deleted after.
#pragma once

#include "windows.h"

struct CRITICAL_SECTION {
    alignas(16) unsigned char opaque[64];
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

extern "C" {
PLATFORM_EXPORT void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section);
PLATFORM_EXPORT void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section);
PLATFORM_EXPORT void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section);
PLATFORM_EXPORT void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section);
}
