// Module loading over the system's dynamic loader.
//
// Who owns what: an HMODULE is a dlopen handle and carries the references the caller took;
// nothing here keeps one of its own. "kernel32.dll" stands for the platform's own module.
#include "libloaderapi.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

bool SameAsciiIgnoringCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        const char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
        const char y = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (x != y) {
            return false;
        }
    }
    return *a == *b;
}

// The platform's own module file, found from one of its functions.
const char* PlatformFile() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&GetModuleHandleA), &info) == 0 || !info.dli_fname) {
        return nullptr;
    }
    return info.dli_fname;
}

const char* SystemName(const char* name) {
    return SameAsciiIgnoringCase(name, "kernel32.dll") ? PlatformFile() : name;
}

// A module already in the process, with a reference.
HMODULE Referenced(const char* name) {
    if (!name) {
        return static_cast<HMODULE>(dlopen(nullptr, RTLD_LAZY));
    }
    const char* system = SystemName(name);
    if (!system || !*system) {
        return nullptr;
    }
    return static_cast<HMODULE>(dlopen(system, RTLD_LAZY | RTLD_NOLOAD));
}

// Whether the address lies in the program itself, whose link map has no file name.
bool InProgram(const void* address) {
    struct Search {
        uintptr_t address;
        bool found;
    } search{reinterpret_cast<uintptr_t>(address), false};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) -> int {
            auto* s = static_cast<Search*>(data);
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& header = info->dlpi_phdr[i];
                const uintptr_t start = info->dlpi_addr + header.p_vaddr;
                if (header.p_type == PT_LOAD && s->address >= start &&
                    s->address < start + header.p_memsz) {
                    s->found = true;
                }
            }
            return 1; // the program comes first: look no further
        },
        &search);
    return search.found;
}

HMODULE Fail(DWORD error) {
    SetLastError(error);
    return nullptr;
}

// The system loader's reason, to the debugger, and the error it stands for.
HMODULE FailedLoad(const char* fileName) {
    const char* reason = dlerror();
    std::string text = "LoadLibrary: ";
    text += fileName;
    text += ": ";
    text += reason ? reason : "not loaded";
    text += '\n';
    OutputDebugStringA(text.c_str());
    // A file that exists but is no module the loader can map is a bad format, not a missing
    // module.
    const bool exists = std::strchr(fileName, '/') && access(fileName, F_OK) == 0;
    return Fail(exists ? ERROR_BAD_EXE_FORMAT : ERROR_MOD_NOT_FOUND);
}

} // namespace

extern "C" {

HMODULE WINAPI LoadLibraryExA(LPCSTR fileName, HANDLE file, DWORD flags) {
    if (!fileName || !*fileName || file || (flags & ~LOAD_WITH_ALTERED_SEARCH_PATH) != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const char* system = SystemName(fileName);
    if (!system) {
        return Fail(ERROR_MOD_NOT_FOUND);
    }
    void* handle = dlopen(system, RTLD_NOW | RTLD_LOCAL);
    return handle ? static_cast<HMODULE>(handle) : FailedLoad(system);
}

HMODULE WINAPI LoadLibraryA(LPCSTR fileName) {
    return LoadLibraryExA(fileName, nullptr, 0);
}

HMODULE WINAPI GetModuleHandleA(LPCSTR name) {
    HMODULE module = Referenced(name);
    if (!module) {
        return Fail(ERROR_MOD_NOT_FOUND);
    }
    // The caller takes no reference; the module stays loaded by whoever holds it.
    dlclose(module);
    return module;
}

BOOL WINAPI GetModuleHandleExA(DWORD flags, LPCSTR name, HMODULE* module) {
    if (!module) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *module = nullptr;
    constexpr DWORD known = GET_MODULE_HANDLE_EX_FLAG_PIN |
                            GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT |
                            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
    if ((flags & ~known) != 0 || ((flags & GET_MODULE_HANDLE_EX_FLAG_PIN) &&
                                  (flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    HMODULE found = nullptr;
    if (flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
        Dl_info info{};
        if (!name || dladdr(name, &info) == 0 || !info.dli_fname) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return FALSE;
        }
        found = InProgram(name)
                    ? static_cast<HMODULE>(dlopen(nullptr, RTLD_LAZY))
                    : static_cast<HMODULE>(dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD));
    } else {
        found = Referenced(name);
    }
    if (!found) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    if (flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) {
        dlclose(found);
    } else if (flags & GET_MODULE_HANDLE_EX_FLAG_PIN) {
        // Pinned for the life of the process: the module is never unloaded.
        link_map* map = nullptr;
        if (dlinfo(found, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && *map->l_name) {
            dlopen(map->l_name, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
        }
    }
    *module = found;
    return TRUE;
}

DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    if (!fileName || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::string path;
    link_map* map = nullptr;
    if (module && dlinfo(module, RTLD_DI_LINKMAP, &map) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (map && map->l_name && *map->l_name) {
        path = map->l_name;
    } else {
        // The program: its link map has no name.
        char buffer[4096];
        const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
        if (length <= 0 || static_cast<size_t>(length) >= sizeof buffer) {
            SetLastError(ERROR_INVALID_HANDLE);
            return 0;
        }
        path.assign(buffer, static_cast<size_t>(length));
    }
    if (path.size() >= size) {
        std::memcpy(fileName, path.data(), size - 1);
        fileName[size - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(fileName, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
    if (!module || !procName) {
        SetLastError(module ? ERROR_PROC_NOT_FOUND : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    dlerror();
    void* address = dlsym(module, procName);
    if (!address) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(address);
}

BOOL WINAPI FreeLibrary(HMODULE module) {
    if (!module || dlclose(module) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

} // extern "C"
