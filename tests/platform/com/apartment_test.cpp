// COM apartments: counted per thread, and needed to create objects.
#include "objbase.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(Apartment, CountsPerThread) {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    EXPECT_EQ(S_FALSE, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    std::thread([] {
        // Another thread has an apartment of its own.
        EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        CoUninitialize();
    }).join();
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED)); // fully left before
    CoUninitialize();
}

TEST(Apartment, CreateInstanceNeedsOne) {
    IUnknown* object = nullptr;
    const CLSID unknownClass{0x12345678, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(CO_E_NOTINITIALIZED, CoCreateInstance(unknownClass, nullptr, CLSCTX_ALL, IID_IUnknown,
                                                    reinterpret_cast<void**>(&object)));
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(unknownClass, nullptr, CLSCTX_ALL, IID_IUnknown,
                                                    reinterpret_cast<void**>(&object)));
    EXPECT_EQ(nullptr, object);
    CoUninitialize();
}

} // namespace
