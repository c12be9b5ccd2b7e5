// Delay loading (delayimp.h): a module's imports from another module resolved at their first
// call instead of when the module is loaded.
//
// A module that delay-loads describes each imported module with an ImgDelayDescr: the module
// name, a slot for its handle, one address slot per import (null until resolved) and the
// import names, and the module's own notification and failure hooks. Its stub for an import
// reads the import's slot (atomically, acquire) and, while it is null, calls
// __delayLoadHelper2, which resolves it:
//   1. the notification hook hears dliStartProcessing, then, unless the module is loaded for
//      this descriptor already, dliNotePreLoadLibrary; a handle it answers is used, else the
//      helper calls LoadLibraryA(name). Without a handle the failure hook hears
//      dliFailLoadLib and may answer one.
//   2. the notification hook hears dliNotePreGetProcAddress; an address it answers is used,
//      else GetProcAddress. Without an address the failure hook hears dliFailGetProc.
//   3. the slot is written and dliNoteEndProcessing sent.
// What the hooks answer for dliStartProcessing and dliNoteEndProcessing is ignored. A hook may
// throw; the exception reaches the caller of the stub. Without a handle or an address after
// both hooks, the helper throws DelayLoadFailure. Either way the import's slot stays empty, so
// the next call tries again; a module already loaded for the descriptor stays loaded.
//
// The helper resolves one import at a time in the process, so that concurrent first calls
// load a module once and every caller sees the slot written. The handle it keeps holds one
// reference, released by __FUnloadDelayLoadedDLL2.
#pragma once

#include "windows.h"

#include <stdexcept>
#include <string>

enum {
    dliStartProcessing = 0,
    dliNoteStartProcessing = dliStartProcessing,
    dliNotePreLoadLibrary = 1,
    dliNotePreGetProcAddress = 2,
    dliFailLoadLib = 3,
    dliFailGetProc = 4,
    dliNoteEndProcessing = 5,
};

struct DelayLoadProc {
    BOOL fImportByName; // always TRUE here: imports are named
    union {
        LPCSTR szProcName;
        DWORD dwOrdinal;
    };
};

struct ImgDelayDescr;

struct DelayLoadInfo {
    DWORD cb; // sizeof(DelayLoadInfo)
    const ImgDelayDescr* pidd;
    FARPROC* ppfn; // the import's address slot
    LPCSTR szDll;  // the module name
    DelayLoadProc dlp;
    HMODULE hmodCur; // the module's handle, once there is one
    FARPROC pfnCur;  // the import's address, once there is one
    DWORD dwLastError;
};
using PDelayLoadInfo = DelayLoadInfo*;
using PCDelayLoadInfo = const DelayLoadInfo*;

using PfnDliHook = FARPROC(WINAPI*)(unsigned dliNotify, PDelayLoadInfo pdli);

struct ImgDelayDescr {
    DWORD grAttrs;
    LPCSTR szName;      // the module name
    HMODULE* phmod;     // the module's handle slot, null until loaded
    FARPROC* pIAT;      // one address slot per import, null until resolved
    const LPCSTR* pINT; // the import names, one per slot, ending with null
    // The hooks of the module that delay-loads; either may point to a null hook.
    const PfnDliHook* pfnNotifyHook;
    const PfnDliHook* pfnFailureHook;
};
using PCImgDelayDescr = const ImgDelayDescr*;

// What the helper throws when neither the system nor a hook gave a handle or an address.
class PLATFORM_EXPORT DelayLoadFailure : public std::runtime_error {
public:
    DelayLoadFailure(const std::string& what, DWORD lastError)
        : std::runtime_error(what), m_lastError(lastError) {}
    DWORD LastError() const noexcept { return m_lastError; }

private:
    DWORD m_lastError;
};

extern "C" {
// Resolves the import whose slot is ppfnIATEntry (one of pidd->pIAT) and answers its address.
PLATFORM_EXPORT FARPROC WINAPI __delayLoadHelper2(PCImgDelayDescr pidd, FARPROC* ppfnIATEntry);
// Unloads the module of that name (exact comparison) from every descriptor the helper loaded
// it for: releases the reference, empties the handle and the address slots, so that a later
// call loads it again. FALSE when the helper holds no such module.
PLATFORM_EXPORT BOOL WINAPI __FUnloadDelayLoadedDLL2(LPCSTR szDll);
}
