// Failing every allocation in turn.
//
// An operation is run once on a fresh fixture to count the platform allocations it makes and
// to see what it leaves; then, for n = 1, 2, ... up to that count, it runs again on a fresh
// fixture with the n-th allocation failing. At every n:
// - the operation reports running out of memory (E_OUTOFMEMORY, returned or raised as
//   ATL::CAtlException or std::bad_alloc), or succeeds as the clean run did where it could do
//   without what failed;
// - each part of what a caller can see of the fixture is either what it was before the
//   operation or what the clean run left, never something in between; a success always leaves
//   every part as the clean run did.
// The sanitizers of the test build watch the failure paths for leaks and stale pointers.
//
// A fixture is whatever the operation works on (a DOM document and the object over it, a
// package on disk, a pipeline host); `state` renders what callers can observe of it as text,
// in parts that may each change on their own (one per document a caller holds, say). What
// must change together belongs in one part: a document and the object's idea of it.
// Fixtures are made and rendered with allocations succeeding. Exceptions other than the ones
// above are the operation's business: map them into its HRESULT (the library's tests turn
// KeldanComException into its HRESULT).
#pragma once

#include <platformtest.h>

#include <atlbase.h>

#include <gtest/gtest.h>

#include <functional>
#include <iomanip>
#include <new>
#include <sstream>
#include <string>
#include <vector>

namespace allocationsweep {

template <class Fixture>
struct Sweep {
    std::function<Fixture()> make;                           // a fresh fixture
    std::function<HRESULT(Fixture&)> operation;              // the operation under test
    std::function<std::vector<std::string>(Fixture&)> state; // what a caller can see of it
};

// The operation's HRESULT, with the out-of-memory exceptions of the platform and the language
// taken as E_OUTOFMEMORY.
template <class Fixture>
HRESULT Outcome(const Sweep<Fixture>& sweep, Fixture& fixture) {
    try {
        return sweep.operation(fixture);
    } catch (const ATL::CAtlException& exception) {
        return exception.m_hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

inline std::string Hex(HRESULT hr) {
    std::ostringstream text;
    text << "0x" << std::hex << std::uppercase << std::setw(8) << std::setfill('0')
         << static_cast<uint32_t>(hr);
    return text.str();
}

// Runs the sweep with GoogleTest expectations; returns the number of allocations the clean run
// made (every one of them was failed once), so a caller can check that there were some.
template <class Fixture>
unsigned long Run(const Sweep<Fixture>& sweep) {
    std::vector<std::string> before;
    std::vector<std::string> after;
    HRESULT cleanResult = S_OK;
    unsigned long allocations = 0;
    {
        Fixture fixture = sweep.make();
        before = sweep.state(fixture);
        const unsigned long start = platformtest::AllocationCount();
        cleanResult = Outcome(sweep, fixture);
        allocations = platformtest::AllocationCount() - start;
        after = sweep.state(fixture);
    }
    EXPECT_TRUE(SUCCEEDED(cleanResult)) << "the clean run failed: " << Hex(cleanResult);
    for (unsigned long n = 1; n <= allocations; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(allocations));
        Fixture fixture = sweep.make();
        HRESULT result = S_OK;
        {
            platformtest::AllocationFailure failure(n);
            result = Outcome(sweep, fixture);
        }
        const std::vector<std::string> state = sweep.state(fixture);
        if (SUCCEEDED(result)) {
            EXPECT_EQ(Hex(cleanResult), Hex(result));
            EXPECT_EQ(after, state) << "reported success, but the change is not whole";
            continue;
        }
        EXPECT_EQ(Hex(E_OUTOFMEMORY), Hex(result));
        EXPECT_EQ(before.size(), state.size());
        for (size_t part = 0; part < state.size() && part < before.size(); ++part) {
            EXPECT_TRUE(state[part] == before[part] || state[part] == after[part])
                << "part " << part << " left half changed:\n  before: " << before[part]
                << "\n  after:  " << after[part] << "\n  now:    " << state[part];
        }
    }
    return allocations;
}

} // namespace allocationsweep
