// The delay-load helper.
//
// Who owns what: the descriptors, their handle and address slots and their hooks belong to the
// module that delay-loads; the helper writes the slots and, for each descriptor it loaded a
// module for, owns the one reference that handle holds until __FUnloadDelayLoadedDLL2. One
// recursive lock serialises resolving and unloading (recursive: a hook may call another
// delay-loaded import).
#include "delayimp.h"

#include "libloaderapi.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct Helper {
    std::recursive_mutex lock;
    std::vector<PCImgDelayDescr> loaded; // descriptors whose module the helper holds
};

// Never destroyed: a module may unload its delay-loaded modules from its own destructors,
// after the platform's statics would be gone.
Helper& TheHelper() {
    static Helper* helper = new Helper;
    return *helper;
}

FARPROC Call(const PfnDliHook* hook, unsigned notification, DelayLoadInfo* info) {
    return hook && *hook ? (*hook)(notification, info) : nullptr;
}

size_t ImportCount(PCImgDelayDescr descriptor) {
    size_t count = 0;
    while (descriptor->pINT[count]) {
        ++count;
    }
    return count;
}

[[noreturn]] void Refuse(const std::string& what, DWORD error) {
    SetLastError(error);
    throw DelayLoadFailure(what, error);
}

} // namespace

extern "C" {

FARPROC WINAPI __delayLoadHelper2(PCImgDelayDescr pidd, FARPROC* ppfnIATEntry) {
    if (!pidd || !pidd->szName || !pidd->phmod || !pidd->pIAT || !pidd->pINT || !ppfnIATEntry ||
        ppfnIATEntry < pidd->pIAT || ppfnIATEntry >= pidd->pIAT + ImportCount(pidd)) {
        Refuse("delay load: not an import of the descriptor given", ERROR_INVALID_PARAMETER);
    }
    Helper& helper = TheHelper();
    std::lock_guard<std::recursive_mutex> guard(helper.lock);
    if (FARPROC resolved = __atomic_load_n(ppfnIATEntry, __ATOMIC_ACQUIRE)) {
        return resolved; // another thread resolved it while this one waited
    }
    const size_t index = static_cast<size_t>(ppfnIATEntry - pidd->pIAT);
    DelayLoadInfo info{};
    info.cb = sizeof info;
    info.pidd = pidd;
    info.ppfn = ppfnIATEntry;
    info.szDll = pidd->szName;
    info.dlp.fImportByName = TRUE;
    info.dlp.szProcName = pidd->pINT[index];
    info.hmodCur = *pidd->phmod;
    Call(pidd->pfnNotifyHook, dliStartProcessing, &info);

    if (!info.hmodCur) {
        HMODULE module =
            reinterpret_cast<HMODULE>(Call(pidd->pfnNotifyHook, dliNotePreLoadLibrary, &info));
        if (!module) {
            module = LoadLibraryA(pidd->szName);
        }
        if (!module) {
            info.dwLastError = GetLastError();
            module = reinterpret_cast<HMODULE>(Call(pidd->pfnFailureHook, dliFailLoadLib, &info));
        }
        if (!module) {
            Refuse(std::string(pidd->szName) + " could not be loaded",
                   info.dwLastError ? info.dwLastError : ERROR_MOD_NOT_FOUND);
        }
        *pidd->phmod = module;
        info.hmodCur = module;
        helper.loaded.push_back(pidd);
    }

    FARPROC address = Call(pidd->pfnNotifyHook, dliNotePreGetProcAddress, &info);
    if (!address) {
        address = GetProcAddress(info.hmodCur, info.dlp.szProcName);
    }
    if (!address) {
        info.dwLastError = GetLastError();
        address = Call(pidd->pfnFailureHook, dliFailGetProc, &info);
    }
    if (!address) {
        Refuse(std::string(info.dlp.szProcName) + " was not found in " + pidd->szName,
               ERROR_PROC_NOT_FOUND);
    }
    __atomic_store_n(ppfnIATEntry, address, __ATOMIC_RELEASE);
    info.pfnCur = address;
    Call(pidd->pfnNotifyHook, dliNoteEndProcessing, &info);
    return address;
}

BOOL WINAPI __FUnloadDelayLoadedDLL2(LPCSTR szDll) {
    if (!szDll) {
        return FALSE;
    }
    Helper& helper = TheHelper();
    std::lock_guard<std::recursive_mutex> guard(helper.lock);
    bool unloaded = false;
    auto descriptor = helper.loaded.begin();
    while (descriptor != helper.loaded.end()) {
        PCImgDelayDescr pidd = *descriptor;
        if (std::strcmp(pidd->szName, szDll) != 0) {
            ++descriptor;
            continue;
        }
        const size_t count = ImportCount(pidd);
        for (size_t i = 0; i < count; ++i) {
            __atomic_store_n(&pidd->pIAT[i], nullptr, __ATOMIC_RELEASE);
        }
        HMODULE module = *pidd->phmod;
        *pidd->phmod = nullptr;
        FreeLibrary(module);
        descriptor = helper.loaded.erase(descriptor);
        unloaded = true;
    }
    return unloaded ? TRUE : FALSE;
}

} // extern "C"
