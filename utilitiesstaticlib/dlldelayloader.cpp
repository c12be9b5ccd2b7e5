#include <utilitiesstaticlib/dlldelayloader.h>

#include <filterutilities/errorconvention.h>

#include <libloaderapi.h>
#include <winspool.h>

#include <climits>
#include <cstring>

namespace {

// The utility library's file on this platform. The platform's delay-load support reports its
// failure itself.
constexpr char kUtilityLibraryName[] = "libkldutil.so";

// Paths on this platform are up to PATH_MAX bytes, where the Windows API has MAX_PATH.
constexpr size_t kPathBuffer = PATH_MAX + 1;

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

// folder + name into path when it fits, with its terminating zero.
bool Join(const char* folder, size_t folderLength, const char* name, char* path) {
    const size_t nameLength = std::strlen(name);
    if (folderLength + nameLength + 1 > kPathBuffer) {
        return false;
    }
    std::memmove(path, folder, folderLength);
    std::memcpy(path + folderLength, name, nameLength + 1);
    return true;
}

FARPROC WINAPI NotifyHook(unsigned notification, PDelayLoadInfo info) {
    return reinterpret_cast<FARPROC>(DllDelayLoader::Instance().OnNotify(notification, info));
}

FARPROC WINAPI FailureHook(unsigned, PDelayLoadInfo) {
    return nullptr;
}

} // namespace

extern "C" const PfnDliHook __pfnDliNotifyHook2 = NotifyHook;
extern "C" const PfnDliHook __pfnDliFailureHook2 = FailureHook;

void ThrowDelayLoadDllLoadFailureException(const char* /*moduleName*/) {
    FU_THROW_DELAY_LOAD_FAILURE();
}

DllDelayLoader::DllDelayLoader() {
    InitializeCriticalSection(&m_lock);
}

DllDelayLoader::~DllDelayLoader() {
    Close();
    DeleteCriticalSection(&m_lock);
}

DllDelayLoader& DllDelayLoader::Instance() {
    static DllDelayLoader loader;
    return loader;
}

void DllDelayLoader::Enable(HMODULE self) {
    m_self = self;
    m_enabled = true;
}

void DllDelayLoader::Close() {
    if (m_closing) {
        return;
    }
    m_closing = true;
    std::vector<std::string> names;
    EnterCriticalSection(&m_lock);
    names.swap(m_loadedModuleNames);
    LeaveCriticalSection(&m_lock);
    for (const std::string& name : names) {
        __FUnloadDelayLoadedDLL2(name.c_str());
    }
}

std::vector<std::string> DllDelayLoader::LoadedModuleNames() const {
    EnterCriticalSection(&m_lock);
    struct Leave {
        CRITICAL_SECTION* lock;
        ~Leave() { LeaveCriticalSection(lock); }
    } leave{&m_lock};
    return m_loadedModuleNames;
}

HMODULE DllDelayLoader::OnNotify(unsigned notification, const DelayLoadInfo* info) {
    if (!m_enabled || m_closing || notification != dliNotePreLoadLibrary || !info || !info->szDll) {
        return nullptr;
    }
    const char* name = info->szDll;
    const bool utilityLibrary = SameAsciiIgnoringCase(name, kUtilityLibraryName);
    std::string tried;
    HMODULE module = ModuleInProcess(name);
    if (!module) {
        module = ModuleBesideLibrary(name, &tried);
    }
    if (!module) {
        module = ModuleInDriverDirectory(name, &tried);
    }
    if (!module) {
        if (utilityLibrary) {
            return nullptr;
        }
        const std::string text = std::string("DllDelayLoader: ") + name +
                                 " is not in the process and could not be loaded from" +
                                 (tried.empty() ? std::string(" anywhere") : tried) + "\n";
        OutputDebugStringA(text.c_str());
        ThrowDelayLoadDllLoadFailureException(name);
    }
    Remember(name);
    return module;
}

HMODULE DllDelayLoader::ModuleInProcess(const char* name) const {
    HMODULE module = nullptr;
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    auto getModuleHandleEx =
        kernel ? reinterpret_cast<PFN_GETMODULEHANDLEEXA>(
                     reinterpret_cast<void (*)()>(GetProcAddress(kernel, "GetModuleHandleExA")))
               : nullptr;
    if (getModuleHandleEx) {
        if (!getModuleHandleEx(0, name, &module)) {
            module = nullptr;
        }
    } else if (GetModuleHandleA(name)) {
        module = LoadLibraryA(name);
    }
    return module;
}

HMODULE DllDelayLoader::ModuleBesideLibrary(const char* name, std::string* tried) const {
    std::vector<char> path(kPathBuffer, '\0');
    size_t folderLength = 0;
    if (m_self) {
        const DWORD length =
            GetModuleFileNameA(m_self, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0 || length >= path.size()) {
            return nullptr; // a path cut short would name another folder
        }
        const char* slash = std::strrchr(path.data(), '/');
        folderLength = slash ? static_cast<size_t>(slash - path.data() + 1) : 0;
    }
    if (!Join(path.data(), folderLength, name, path.data())) {
        return nullptr;
    }
    *tried += std::string(" ") + path.data();
    return LoadLibraryExA(path.data(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

HMODULE DllDelayLoader::ModuleInDriverDirectory(const char* name, std::string* tried) const {
    std::vector<char> path(kPathBuffer, '\0');
    DWORD needed = 0;
    if (!GetPrinterDriverDirectoryA(nullptr, nullptr, 1, reinterpret_cast<LPBYTE>(path.data()),
                                    static_cast<DWORD>(path.size()), &needed)) {
        return nullptr;
    }
    std::string folder = path.data();
    folder += "/3/";
    if (!Join(folder.c_str(), folder.size(), name, path.data())) {
        return nullptr;
    }
    *tried += std::string(" ") + path.data();
    return LoadLibraryExA(path.data(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void DllDelayLoader::Remember(const char* name) {
    EnterCriticalSection(&m_lock);
    try {
        bool listed = false;
        for (const std::string& loaded : m_loadedModuleNames) {
            listed = listed || loaded == name;
        }
        if (!listed) {
            m_loadedModuleNames.emplace_back(name);
        }
    } catch (...) {
        // The module is still answered; only its unloading at the end is lost.
    }
    LeaveCriticalSection(&m_lock);
}
