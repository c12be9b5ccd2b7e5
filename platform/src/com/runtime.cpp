// COM run-time: apartments, the class table, task memory and time.
#include "objbase.h"

#include "allocator.h"
#include "classregistry.h"

#include <mutex>
#include <string>
#include <vector>

namespace platform {
namespace {

struct RegisteredClass {
    CLSID clsid;
    std::u16string progId;
    CreateInstanceFunction create;
};

struct ClassTable {
    std::mutex lock;
    std::vector<RegisteredClass> classes;
};

ClassTable& Classes() {
    static ClassTable table;
    return table;
}

bool EqualsIgnoringAsciiCase(const std::u16string& a, const char16_t* b) {
    size_t i = 0;
    for (; i < a.size(); ++i) {
        char16_t x = a[i];
        char16_t y = b[i];
        if (y == 0) {
            return false;
        }
        if (x >= u'A' && x <= u'Z') {
            x = static_cast<char16_t>(x + 32);
        }
        if (y >= u'A' && y <= u'Z') {
            y = static_cast<char16_t>(y + 32);
        }
        if (x != y) {
            return false;
        }
    }
    return b[i] == 0;
}

struct Apartment {
    int count = 0;
    DWORD model = 0;
};
thread_local Apartment apartment;

} // namespace

ClassRegistration::ClassRegistration(const CLSID& clsid, const char16_t* progId,
                                     CreateInstanceFunction create) {
    ClassTable& table = Classes();
    std::lock_guard<std::mutex> guard(table.lock);
    table.classes.push_back({clsid, progId ? progId : u"", create});
}

CreateInstanceFunction FindClass(REFCLSID clsid) {
    ClassTable& table = Classes();
    std::lock_guard<std::mutex> guard(table.lock);
    for (const RegisteredClass& entry : table.classes) {
        if (IsEqualCLSID(entry.clsid, clsid)) {
            return entry.create;
        }
    }
    return nullptr;
}

bool FindProgId(const char16_t* progId, CLSID& clsid) {
    ClassTable& table = Classes();
    std::lock_guard<std::mutex> guard(table.lock);
    for (const RegisteredClass& entry : table.classes) {
        if (!entry.progId.empty() && EqualsIgnoringAsciiCase(entry.progId, progId)) {
            clsid = entry.clsid;
            return true;
        }
    }
    return false;
}

} // namespace platform

extern "C" {

HRESULT WINAPI CoInitializeEx(LPVOID reserved, DWORD coInit) {
    if (reserved) {
        return E_INVALIDARG;
    }
    const DWORD model = coInit & COINIT_APARTMENTTHREADED;
    platform::Apartment& current = platform::apartment;
    if (current.count > 0 && current.model != model) {
        return RPC_E_CHANGED_MODE;
    }
    current.model = model;
    return current.count++ == 0 ? S_OK : S_FALSE;
}

HRESULT WINAPI CoInitialize(LPVOID reserved) {
    return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED);
}

void WINAPI CoUninitialize() {
    if (platform::apartment.count > 0) {
        --platform::apartment.count;
    }
}

HRESULT WINAPI CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD, REFIID iid,
                                LPVOID* object) {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    if (platform::apartment.count == 0) {
        return CO_E_NOTINITIALIZED;
    }
    if (outer) {
        return CLASS_E_NOAGGREGATION;
    }
    platform::CreateInstanceFunction create = platform::FindClass(clsid);
    if (!create) {
        return REGDB_E_CLASSNOTREG;
    }
    return create(iid, object);
}

HRESULT WINAPI CLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid) {
    if (!progId || !clsid) {
        return E_INVALIDARG;
    }
    return platform::FindProgId(progId, *clsid) ? S_OK : _HRESULT_TYPEDEF_(0x800401F3);
}

LPVOID WINAPI CoTaskMemAlloc(SIZE_T size) {
    return platform::Allocate(size);
}

LPVOID WINAPI CoTaskMemRealloc(LPVOID block, SIZE_T size) {
    return platform::Reallocate(block, size);
}

void WINAPI CoTaskMemFree(LPVOID block) {
    platform::Free(block);
}

HRESULT WINAPI CoFileTimeNow(FILETIME* fileTime) {
    if (!fileTime) {
        return E_INVALIDARG;
    }
    GetSystemTimeAsFileTime(fileTime);
    return S_OK;
}

} // extern "C"
