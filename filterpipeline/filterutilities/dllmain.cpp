#include <filterutilities/dllmain.h>

#include <utilitiesstaticlib/dlldelayloader.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        DllDelayLoader::Instance().Enable(instance);
    }
    return TRUE;
}

namespace {

// What the Windows loader does for a DLL: the entry point with the module's own handle, once
// the library is mapped. The loader is destroyed with the library's other statics.
__attribute__((constructor)) void AttachLibrary() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&DllMain), &self)) {
        self = nullptr;
    }
    DllMain(self, DLL_PROCESS_ATTACH, nullptr);
}

} // namespace
