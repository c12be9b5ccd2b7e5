// Module loading (libloaderapi.h). A module is a shared object; an HMODULE is the handle the
// system's dynamic loader gives it, and every function that takes a reference (LoadLibraryA,
// LoadLibraryExA, GetModuleHandleExA without GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) is
// matched by one FreeLibrary. Paths use the system's separator, '/'.
//
// "kernel32.dll" names the platform's own module, so that GetProcAddress finds the functions
// below in it. A failed load sets ERROR_MOD_NOT_FOUND (ERROR_BAD_EXE_FORMAT for a file that is
// no loadable module) and writes the loader's reason to the debugger.
#pragma once

#include "windows.h"

#define LOAD_WITH_ALTERED_SEARCH_PATH 0x00000008u
#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001u
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002u
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004u

#ifndef ERROR_BAD_EXE_FORMAT
#define ERROR_BAD_EXE_FORMAT 193u
#endif

using PFN_GETMODULEHANDLEEXA = BOOL(WINAPI*)(DWORD flags, LPCSTR name, HMODULE* module);

extern "C" {
// Loads the module (a name without '/' is searched as the system's loader searches) and takes
// a reference on it. LoadLibraryExA takes no file handle; flags may be 0 or
// LOAD_WITH_ALTERED_SEARCH_PATH.
PLATFORM_EXPORT HMODULE WINAPI LoadLibraryA(LPCSTR fileName);
PLATFORM_EXPORT HMODULE WINAPI LoadLibraryExA(LPCSTR fileName, HANDLE file, DWORD flags);
// The module of that name already in the process, without a reference; null name: the
// program. Null with ERROR_MOD_NOT_FOUND when it is not loaded.
PLATFORM_EXPORT HMODULE WINAPI GetModuleHandleA(LPCSTR name);
// The same with a reference, unless GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT; with
// GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, name is an address inside the module.
PLATFORM_EXPORT BOOL WINAPI GetModuleHandleExA(DWORD flags, LPCSTR name, HMODULE* module);
// The full path of the module's file (null: the program), cut to size - 1 characters and
// terminated; answers the characters written, or size with ERROR_INSUFFICIENT_BUFFER when
// the path was cut, or 0 on failure.
PLATFORM_EXPORT DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);
PLATFORM_EXPORT FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName);
// Drops one reference; the module is unloaded with the last.
PLATFORM_EXPORT BOOL WINAPI FreeLibrary(HMODULE module);
}

// The reasons a module's entry point (DllMain) is called for.
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3
