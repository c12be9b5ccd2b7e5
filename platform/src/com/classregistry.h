// The in-process classes CoCreateInstance can make. Each class of the platform registers
// itself with a static ClassRegistration in its own source file.
#pragma once

#include "objbase.h"

namespace platform {

using CreateInstanceFunction = HRESULT (*)(REFIID iid, void** object);

struct ClassRegistration {
    ClassRegistration(const CLSID& clsid, const char16_t* progId, CreateInstanceFunction create);
};

CreateInstanceFunction FindClass(REFCLSID clsid);
bool FindProgId(const char16_t* progId, CLSID& clsid);

} // namespace platform
