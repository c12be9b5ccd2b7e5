// The library's loader of delay-loaded modules (the driver's core library). One process-wide
// object, DllDelayLoader::Instance(), serves as the delay-load notification hook of the
// library's imports; the failure hook always answers null.
//
// Contract:
// - The library's entry point calls Enable with the library's own module handle on process
//   attach. Before that, and after the object started closing, the hook does nothing (it
//   answers null and the platform's delay-load support loads the module its own way).
// - The hook acts on dliNotePreLoadLibrary only. It answers a module handle holding one
//   reference, taken on a module already in the process, or loaded from the folder of the
//   library's own module file, or from the "3" folder of the printer driver directory. The
//   platform's delay-load support owns that reference from then on.
// - A module found nowhere: for the utility library's name the hook answers null (the
//   platform's delay-load support reports it); for any other name it raises
//   ExceptionDelayLoadDllLoadFailure through ThrowDelayLoadDllLoadFailureException, after
//   writing the places it looked to the debugger.
// - Each module the hook answered is named once in the list of loaded modules, which one
//   critical section guards. The destructor (or Close) unloads every listed module once,
//   through the platform's delay-load unload function, and empties the list; it runs when
//   the library is unloaded, when no other thread uses the library.
#pragma once

#include <delayimp.h>
#include <synchapi.h>
#include <windows.h>

#include <string>
#include <vector>

class DllDelayLoader {
public:
    DllDelayLoader();
    ~DllDelayLoader();
    DllDelayLoader(const DllDelayLoader&) = delete;
    DllDelayLoader& operator=(const DllDelayLoader&) = delete;

    // The library's one loader, built on first use and destroyed when the library is unloaded.
    static DllDelayLoader& Instance();

    // Process attach: self is the library's own module (null: no folder of its own is tried).
    void Enable(HMODULE self);
    // The delay-load notification hook.
    HMODULE OnNotify(unsigned notification, const DelayLoadInfo* info);
    // Marks the loader closing and unloads every listed module once. Runs at most once.
    void Close();

    std::vector<std::string> LoadedModuleNames() const;

private:
    HMODULE ModuleInProcess(const char* name) const;
    HMODULE ModuleBesideLibrary(const char* name, std::string* tried) const;
    HMODULE ModuleInDriverDirectory(const char* name, std::string* tried) const;
    void Remember(const char* name);

    bool m_enabled = false;
    bool m_closing = false;
    std::vector<std::string> m_loadedModuleNames;
    HMODULE m_self = nullptr;
    mutable CRITICAL_SECTION m_lock;
};

// The hooks the library's delay-load imports name (as a Windows module's delay-load helper
// finds them under these names).
extern "C" const PfnDliHook __pfnDliNotifyHook2;
extern "C" const PfnDliHook __pfnDliFailureHook2;

// Raises ExceptionDelayLoadDllLoadFailure by the library's throw step. The module name is not
// part of the exception.
[[noreturn]] void ThrowDelayLoadDllLoadFailureException(const char* moduleName);
