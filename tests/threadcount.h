// The threads of the test process, for tests that check that nothing they ran left one behind.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <thread>

namespace threadcount {

// The threads of this process.
inline size_t ThreadCount() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

// The threads of this process once those that were joined have gone: a joined thread has
// ended, yet the system lists it a moment longer, until it is reaped. A thread still running
// keeps the count above `expected` however long this waits.
inline size_t ThreadCountSettled(size_t expected) {
    size_t count = ThreadCount();
    for (int i = 0; i < 500 && count > expected; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        count = ThreadCount();
    }
    return count;
}

} // namespace threadcount
