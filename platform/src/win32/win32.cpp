// Win32 basics: last error, time, interlocked operations.
//
// Who owns what:
// - The last error belongs to the calling thread (thread_local); no thread sees another's.
//   Impersonation tokens live in security/.
// - The debug sink (debugsink.cpp) is one per process, shared by all threads under its lock.
// - Text conversion (textconversion.cpp) writes only into the caller's buffers.
#include "windows.h"

#include "platformtest.h"

#include <atomic>
#include <ctime>
#include <string>

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;

// A tick count fixed by a test (platformtest::FixTickCount); the clock runs while unset.
std::atomic<bool> tickCountFixed{false};
std::atomic<DWORD> fixedTickCount{0};

// The system time fixed by a test (platformtest::FixSystemTime), in 100-nanosecond units since
// 1601-01-01; the clock runs while unset.
std::atomic<bool> systemTimeFixed{false};
std::atomic<uint64_t> fixedSystemTime{0};

// Seconds between 1601-01-01 and 1970-01-01.
constexpr int64_t kFileTimeEpochOffsetSeconds = 11644473600LL;

// The real-time clock, or the time a test fixed.
timespec SystemTimeNow() {
    timespec now{};
    if (systemTimeFixed.load(std::memory_order_acquire)) {
        const uint64_t ticks = fixedSystemTime.load(std::memory_order_relaxed);
        now.tv_sec = static_cast<time_t>(static_cast<int64_t>(ticks / 10000000u) -
                                         kFileTimeEpochOffsetSeconds);
        now.tv_nsec = static_cast<long>(ticks % 10000000u) * 100;
        return now;
    }
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

void FillSystemTime(const std::tm& parts, long milliseconds, LPSYSTEMTIME out) {
    out->wYear = static_cast<WORD>(parts.tm_year + 1900);
    out->wMonth = static_cast<WORD>(parts.tm_mon + 1);
    out->wDayOfWeek = static_cast<WORD>(parts.tm_wday);
    out->wDay = static_cast<WORD>(parts.tm_mday);
    out->wHour = static_cast<WORD>(parts.tm_hour);
    out->wMinute = static_cast<WORD>(parts.tm_min);
    out->wSecond = static_cast<WORD>(parts.tm_sec);
    out->wMilliseconds = static_cast<WORD>(milliseconds);
}
} // namespace

extern "C" {

DWORD WINAPI GetLastError() {
    return lastError;
}
void WINAPI SetLastError(DWORD error) {
    lastError = error;
}

DWORD WINAPI GetTickCount() {
    if (tickCountFixed.load(std::memory_order_acquire)) {
        return fixedTickCount.load(std::memory_order_relaxed);
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<DWORD>(ms);
}

void WINAPI GetSystemTime(LPSYSTEMTIME systemTime) {
    if (!systemTime) {
        return;
    }
    const timespec now = SystemTimeNow();
    std::tm parts{};
    gmtime_r(&now.tv_sec, &parts);
    FillSystemTime(parts, now.tv_nsec / 1000000, systemTime);
}

void WINAPI GetLocalTime(LPSYSTEMTIME systemTime) {
    if (!systemTime) {
        return;
    }
    const timespec now = SystemTimeNow();
    std::tm parts{};
    localtime_r(&now.tv_sec, &parts);
    FillSystemTime(parts, now.tv_nsec / 1000000, systemTime);
}

void WINAPI GetSystemTimeAsFileTime(LPFILETIME fileTime) {
    if (!fileTime) {
        return;
    }
    const timespec now = SystemTimeNow();
    const uint64_t ticks =
        (static_cast<uint64_t>(now.tv_sec + kFileTimeEpochOffsetSeconds)) * 10000000u +
        static_cast<uint64_t>(now.tv_nsec) / 100u;
    fileTime->dwLowDateTime = static_cast<DWORD>(ticks);
    fileTime->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

LONG WINAPI InterlockedIncrement(LONG volatile* addend) {
    return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
LONG WINAPI InterlockedDecrement(LONG volatile* addend) {
    return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
LONG WINAPI InterlockedExchange(LONG volatile* target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
LONG WINAPI InterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}

} // extern "C"

namespace platformtest {

void FixTickCount(DWORD ticks) {
    fixedTickCount.store(ticks, std::memory_order_relaxed);
    tickCountFixed.store(true, std::memory_order_release);
}

void ReleaseTickCount() {
    tickCountFixed.store(false, std::memory_order_release);
}

void FixSystemTime(ULONGLONG fileTime) {
    fixedSystemTime.store(fileTime, std::memory_order_relaxed);
    systemTimeFixed.store(true, std::memory_order_release);
}

void ReleaseSystemTime() {
    systemTimeFixed.store(false, std::memory_order_release);
}

} // namespace platformtest
