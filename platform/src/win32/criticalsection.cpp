// Critical sections: a std::recursive_mutex built in the caller's CRITICAL_SECTION.
#include "synchapi.h"

#include <mutex>
#include <new>

namespace {
static_assert(sizeof(std::recursive_mutex) <= sizeof(CRITICAL_SECTION::opaque));
static_assert(alignof(std::recursive_mutex) <= alignof(CRITICAL_SECTION));

std::recursive_mutex* Lock(LPCRITICAL_SECTION section) {
    return std::launder(reinterpret_cast<std::recursive_mutex*>(section->opaque));
}
} // namespace

extern "C" {

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section) {
    new (section->opaque) std::recursive_mutex;
}
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section) {
    Lock(section)->~recursive_mutex();
}
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) {
    Lock(section)->lock();
}
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) {
    Lock(section)->unlock();
}

} // extern "C"
