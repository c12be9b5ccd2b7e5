// How the utility library raises its own failures: through its factories, with the calling
// thread's execution contexts and an empty message. Not exported.
#pragma once

#include <windows.h>

namespace kldutil {

[[noreturn]] void RaiseComError(HRESULT hr, const char* file, int line, const char* function);
[[noreturn]] void RaiseNullPointer(const char* file, int line, const char* function);

} // namespace kldutil
