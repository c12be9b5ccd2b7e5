// Commits the fault named on the command line, one the sanitizers report only when the test
// run's options enable them. Exits 0 when nothing was reported.
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

// The address of a local that no longer exists once this returns.
__attribute__((noinline)) int* EscapedLocal() {
    int local = 7;
    int* volatile escaped = &local;
    return escaped;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        return 2;
    }
    if (std::strcmp(argv[1], "stack-use-after-return") == 0) {
        return *EscapedLocal() == 7 ? 0 : 1;
    }
    if (std::strcmp(argv[1], "unterminated-string") == 0) {
        // atoi stops at 'x'; only strict string checks look for the terminator that is missing.
        const char digits[2] = {'1', 'x'};
        return std::atoi(digits) == 1 ? 0 : 1;
    }
    if (std::strcmp(argv[1], "data-race") == 0) {
        int shared = 0;
        std::thread other([&shared] { ++shared; });
        ++shared;
        other.join();
        return shared == 2 ? 0 : 1;
    }
    return 2;
}
