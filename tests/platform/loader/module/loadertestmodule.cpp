// A module for the loader tests to load, call and unload.
#define LOADER_TEST_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
int calls = 0;
}

// Counts its calls: a module loaded again starts from 0.
LOADER_TEST_EXPORT int LoaderTestCall() {
    return ++calls;
}
