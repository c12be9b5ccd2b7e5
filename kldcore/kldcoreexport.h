// Symbol visibility of the core library. The core library itself is built with KLDCORE_EXPORTS
// and exports what it marks with KLDCORE_API, as the Windows DLL does with dllexport. Everyone
// else sees the same declarations without the mark: a module that calls the core library
// defines the marked operations itself as delay-load stubs (hidden, so they never stand in
// for the core library's own), or links the core library directly.
#pragma once

#if defined(KLDCORE_EXPORTS)
#define KLDCORE_API __attribute__((visibility("default")))
#else
#define KLDCORE_API
#endif
