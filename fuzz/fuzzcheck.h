// What a fuzz target asserts of the code under test. A failed check names itself on standard
// error and aborts, which libFuzzer and the corpus replay both report as a fault.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace fuzzcheck {

inline void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "failed: %s\n", what);
        std::abort();
    }
}

} // namespace fuzzcheck

// Spelled apart from any name of the code under test, whose headers a target includes.
#define FUZZ_REQUIRE(condition) ::fuzzcheck::Check((condition), #condition)
