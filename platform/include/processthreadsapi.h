// Process and thread tokens (processthreadsapi.h). SetThreadToken itself is in windows.h.
#pragma once

#include "windows.h"

#define TOKEN_ASSIGN_PRIMARY 0x0001u
#define TOKEN_DUPLICATE 0x0002u
#define TOKEN_IMPERSONATE 0x0004u
#define TOKEN_QUERY 0x0008u
#define TOKEN_ALL_ACCESS 0x000F01FFu

#ifndef ERROR_NO_TOKEN
#define ERROR_NO_TOKEN 1008u
#endif
#ifndef ERROR_NO_SUCH_USER
#define ERROR_NO_SUCH_USER 1317u
#endif

extern "C" {
// A pseudo handle for the calling process; it needs no closing.
PLATFORM_EXPORT HANDLE WINAPI GetCurrentProcess();
// A token for the user the process runs as. Only the current process can be opened.
PLATFORM_EXPORT BOOL WINAPI OpenProcessToken(HANDLE process, DWORD desiredAccess, PHANDLE token);
// A new handle to the calling thread's impersonation token; FALSE with ERROR_NO_TOKEN when
// the thread runs as itself. The thread must be the calling one (GetCurrentThread).
PLATFORM_EXPORT HANDLE WINAPI GetCurrentThread();
PLATFORM_EXPORT BOOL WINAPI OpenThreadToken(HANDLE thread, DWORD desiredAccess, BOOL openAsSelf,
                                            PHANDLE token);
}
