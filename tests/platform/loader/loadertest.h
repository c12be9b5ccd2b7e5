// The module the loader tests load: built beside the test programs.
#pragma once

#include <libloaderapi.h>

#include <string>

namespace loadertest {

inline std::string ProgramFolder() {
    char path[4096];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    const std::string program(path, length);
    return program.substr(0, program.rfind('/') + 1);
}

inline const char kModuleName[] = "libloadertestmodule.so";

inline std::string ModulePath() {
    return ProgramFolder() + kModuleName;
}

using CallFunction = int (*)();

// A function address as the function's own type (through void (*)(), which every function
// pointer converts to and from).
template <class Function>
Function FunctionAt(FARPROC address) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

inline bool Loaded(const char* name = kModuleName) {
    return GetModuleHandleA(name) != nullptr;
}

} // namespace loadertest
