// Hooks of the platform stand-in for tests and tools. Nothing in the library uses them.
#pragma once

#include "windows.h"

#include <string>

namespace platformtest {

// While alive, everything written to the debug sink (OutputDebugStringA/W) on any thread is
// collected here instead of going to standard error.
class PLATFORM_EXPORT DebugSinkCapture {
public:
    DebugSinkCapture();
    ~DebugSinkCapture();
    DebugSinkCapture(const DebugSinkCapture&) = delete;
    DebugSinkCapture& operator=(const DebugSinkCapture&) = delete;

    std::string Text() const; // everything captured so far, in order
    void Clear();
};

// The impersonation token of the calling thread (null when it is not impersonating).
PLATFORM_EXPORT HANDLE CurrentThreadToken();

// The number of PrintTicket providers open in the process (PTOpenProvider not yet matched by a
// PTCloseProvider that succeeded): a test can check that nothing it ran left one open.
PLATFORM_EXPORT size_t OpenPrintTicketProviderCount();

// The platform's allocators (BSTRs, task memory, memory streams and DOM nodes) count their
// calls on each thread; with FailAllocationAt(n) the n-th call from now on this thread fails
// (n = 1 fails the very next one). FailAllocationAt(0) turns failing off again.
PLATFORM_EXPORT void FailAllocationAt(unsigned long n);
// The number of allocator calls made on this thread so far.
PLATFORM_EXPORT unsigned long AllocationCount();

// Fails the n-th allocation from now while in scope, and restores normal service after.
class AllocationFailure {
public:
    explicit AllocationFailure(unsigned long n) { FailAllocationAt(n); }
    ~AllocationFailure() { FailAllocationAt(0); }
    AllocationFailure(const AllocationFailure&) = delete;
    AllocationFailure& operator=(const AllocationFailure&) = delete;
};

// GetTickCount answers ticks on every thread from now on, until ReleaseTickCount(); for tests
// of names made from the tick count.
PLATFORM_EXPORT void FixTickCount(DWORD ticks);
PLATFORM_EXPORT void ReleaseTickCount();

// Fixes the tick count while in scope, and lets the clock run again after.
class FixedTickCount {
public:
    explicit FixedTickCount(DWORD ticks) { FixTickCount(ticks); }
    ~FixedTickCount() { ReleaseTickCount(); }
    FixedTickCount(const FixedTickCount&) = delete;
    FixedTickCount& operator=(const FixedTickCount&) = delete;
};

// GetSystemTime, GetLocalTime and GetSystemTimeAsFileTime answer the time given (100-nanosecond
// units since 1601-01-01, as a FILETIME counts) on every thread from now on, until
// ReleaseSystemTime(); for tests of what is made from the clock.
PLATFORM_EXPORT void FixSystemTime(ULONGLONG fileTime);
PLATFORM_EXPORT void ReleaseSystemTime();

// Fixes the system time while in scope (Set moves it), and lets the clock run again after.
class FixedSystemTime {
public:
    explicit FixedSystemTime(ULONGLONG fileTime) { FixSystemTime(fileTime); }
    ~FixedSystemTime() { ReleaseSystemTime(); }
    FixedSystemTime(const FixedSystemTime&) = delete;
    FixedSystemTime& operator=(const FixedSystemTime&) = delete;
    void Set(ULONGLONG fileTime) { FixSystemTime(fileTime); }
};

// The XPS package code finds part names in its sets by 64-bit keys and then compares the names
// themselves. With KeepPartNameKeyBits(n) every key made from now on keeps its low n bits
// alone (0: all names collide), so that tests can show colliding names kept apart;
// KeepPartNameKeyBits(64) restores whole keys. Change it only while no package is open.
PLATFORM_EXPORT void KeepPartNameKeyBits(unsigned bits);

// Keeps n bits of part name keys while in scope, and whole keys after.
class PartNameKeyBits {
public:
    explicit PartNameKeyBits(unsigned n) { KeepPartNameKeyBits(n); }
    ~PartNameKeyBits() { KeepPartNameKeyBits(64); }
    PartNameKeyBits(const PartNameKeyBits&) = delete;
    PartNameKeyBits& operator=(const PartNameKeyBits&) = delete;
};

} // namespace platformtest
