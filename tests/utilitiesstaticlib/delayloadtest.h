// Helpers of the delay loader's tests.
#pragma once

#include "platform/loader/loadertest.h"

#include <libloaderapi.h>

namespace delayloadtest {

// The test program's own module: its folder holds the core library and the loader test module.
inline HMODULE Program() {
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&Program), &self);
    return self;
}

inline const char kCoreLibrary[] = "libkldcore.so";

} // namespace delayloadtest
