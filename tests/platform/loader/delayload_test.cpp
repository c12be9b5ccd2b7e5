#include "loadertest.h"

#include <delayimp.h>
#include <libloaderapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using loadertest::CallFunction;
using loadertest::Loaded;

// The hooks of the descriptors below: each notification is recorded, then answered by the
// test's function, if any.
struct Hooks {
    std::mutex lock;
    std::vector<unsigned> heard;
    std::function<FARPROC(unsigned, PDelayLoadInfo)> notify;
    std::function<FARPROC(unsigned, PDelayLoadInfo)> failure;
};
Hooks hooks;

FARPROC WINAPI Notify(unsigned notification, PDelayLoadInfo info) {
    {
        std::lock_guard<std::mutex> guard(hooks.lock);
        hooks.heard.push_back(notification);
    }
    return hooks.notify ? hooks.notify(notification, info) : nullptr;
}
FARPROC WINAPI Failure(unsigned notification, PDelayLoadInfo info) {
    {
        std::lock_guard<std::mutex> guard(hooks.lock);
        hooks.heard.push_back(100 + notification);
    }
    return hooks.failure ? hooks.failure(notification, info) : nullptr;
}
const PfnDliHook kNotify = Notify;
const PfnDliHook kFailure = Failure;

// One imported module with two imports, the second of which the module lacks.
struct Imports {
    explicit Imports(const std::string& name) : name(name) {
        descriptor = {0, this->name.c_str(), &module, slots, names, &kNotify, &kFailure};
    }
    ~Imports() { __FUnloadDelayLoadedDLL2(name.c_str()); }

    // What a delay-load stub does.
    FARPROC Resolve(size_t import) {
        FARPROC address = __atomic_load_n(&slots[import], __ATOMIC_ACQUIRE);
        return address ? address : __delayLoadHelper2(&descriptor, &slots[import]);
    }
    int Call() { return loadertest::FunctionAt<CallFunction>(Resolve(0))(); }

    std::string name;
    HMODULE module = nullptr;
    FARPROC slots[2] = {};
    const LPCSTR names[3] = {"LoaderTestCall", "NotInTheModule", nullptr};
    ImgDelayDescr descriptor{};
};

class DelayLoad : public testing::Test {
protected:
    void SetUp() override {
        hooks.heard.clear();
        hooks.notify = nullptr;
        hooks.failure = nullptr;
        ASSERT_FALSE(Loaded());
    }
    std::vector<unsigned> Heard() {
        std::lock_guard<std::mutex> guard(hooks.lock);
        std::vector<unsigned> heard;
        heard.swap(hooks.heard);
        return heard;
    }
};

const std::vector<unsigned> kFirstCall = {dliStartProcessing, dliNotePreLoadLibrary,
                                          dliNotePreGetProcAddress, dliNoteEndProcessing};

TEST_F(DelayLoad, TheFirstCallLoadsAndTheNextGoStraightToTheModule) {
    Imports imports(loadertest::ModulePath());
    EXPECT_EQ(1, imports.Call());
    EXPECT_EQ(kFirstCall, Heard());
    EXPECT_NE(nullptr, imports.module);
    EXPECT_EQ(2, imports.Call());
    EXPECT_TRUE(Heard().empty());

    // Unloading releases the one reference and empties the slots; the next call loads afresh.
    EXPECT_TRUE(__FUnloadDelayLoadedDLL2(imports.name.c_str()));
    EXPECT_FALSE(Loaded());
    EXPECT_EQ(nullptr, imports.module);
    EXPECT_EQ(nullptr, imports.slots[0]);
    EXPECT_FALSE(__FUnloadDelayLoadedDLL2(imports.name.c_str()));
    EXPECT_EQ(1, imports.Call());
    EXPECT_EQ(kFirstCall, Heard());
}

TEST_F(DelayLoad, AModuleTheHookAnswersIsUsedAndReleasedOnUnload) {
    Imports imports("libnamed-only-by-the-hook.so");
    hooks.notify = [](unsigned notification, PDelayLoadInfo info) -> FARPROC {
        EXPECT_STREQ("libnamed-only-by-the-hook.so", info->szDll);
        EXPECT_STREQ("LoaderTestCall", info->dlp.szProcName);
        if (notification != dliNotePreLoadLibrary) {
            return nullptr;
        }
        return reinterpret_cast<FARPROC>(LoadLibraryA(loadertest::ModulePath().c_str()));
    };
    EXPECT_EQ(1, imports.Call());
    EXPECT_EQ(kFirstCall, Heard());
    EXPECT_TRUE(__FUnloadDelayLoadedDLL2(imports.name.c_str()));
    EXPECT_FALSE(Loaded());
}

TEST_F(DelayLoad, WhatCannotBeFoundGoesToTheFailureHookThenThrows) {
    Imports missing("libloader-found-nowhere.so");
    try {
        missing.Call();
        ADD_FAILURE() << "no exception";
    } catch (const DelayLoadFailure& failure) {
        EXPECT_STREQ("libloader-found-nowhere.so could not be loaded", failure.what());
        EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), failure.LastError());
    }
    EXPECT_EQ(
        (std::vector<unsigned>{dliStartProcessing, dliNotePreLoadLibrary, 100 + dliFailLoadLib}),
        Heard());
    EXPECT_EQ(nullptr, missing.slots[0]);
    EXPECT_FALSE(__FUnloadDelayLoadedDLL2(missing.name.c_str()));

    // The failure hook may supply the module instead.
    DWORD lastError = 0;
    hooks.failure = [&](unsigned notification, PDelayLoadInfo info) -> FARPROC {
        lastError = info->dwLastError;
        return notification == dliFailLoadLib
                   ? reinterpret_cast<FARPROC>(LoadLibraryA(loadertest::ModulePath().c_str()))
                   : nullptr;
    };
    EXPECT_EQ(1, missing.Call());
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), lastError);
    Heard();

    // An import the module lacks.
    EXPECT_THROW(
        {
            try {
                missing.Resolve(1);
            } catch (const DelayLoadFailure& failure) {
                EXPECT_STREQ("NotInTheModule was not found in libloader-found-nowhere.so",
                             failure.what());
                throw;
            }
        },
        DelayLoadFailure);
    EXPECT_EQ(
        (std::vector<unsigned>{dliStartProcessing, dliNotePreGetProcAddress, 100 + dliFailGetProc}),
        Heard());
    EXPECT_EQ(nullptr, missing.slots[1]);
    EXPECT_EQ(2, missing.Call()); // the module stays loaded and usable
}

TEST_F(DelayLoad, AHookThatThrowsLeavesTheImportToBeTriedAgain) {
    Imports imports(loadertest::ModulePath());
    hooks.notify = [](unsigned notification, PDelayLoadInfo) -> FARPROC {
        if (notification == dliNotePreLoadLibrary) {
            throw std::runtime_error("refused");
        }
        return nullptr;
    };
    EXPECT_THROW(imports.Call(), std::runtime_error);
    EXPECT_EQ(nullptr, imports.slots[0]);
    EXPECT_FALSE(Loaded());
    hooks.notify = nullptr;
    EXPECT_EQ(1, imports.Call());
}

TEST_F(DelayLoad, ArgumentsThatNameNoImportAreRefused) {
    Imports imports(loadertest::ModulePath());
    FARPROC elsewhere = nullptr;
    EXPECT_THROW(__delayLoadHelper2(&imports.descriptor, &elsewhere), DelayLoadFailure);
    EXPECT_THROW(__delayLoadHelper2(&imports.descriptor, imports.slots + 2), DelayLoadFailure);
    EXPECT_THROW(__delayLoadHelper2(nullptr, imports.slots), DelayLoadFailure);
    EXPECT_FALSE(__FUnloadDelayLoadedDLL2(nullptr));
    EXPECT_TRUE(Heard().empty());
}

TEST_F(DelayLoad, ConcurrentFirstCallsLoadTheModuleOnce) {
    Imports imports(loadertest::ModulePath());
    constexpr int kThreads = 8;
    std::atomic<int> waiting{kThreads};
    std::vector<FARPROC> addresses(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            waiting.fetch_sub(1);
            while (waiting.load() > 0) {
                std::this_thread::yield();
            }
            addresses[i] = imports.Resolve(0);
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (FARPROC address : addresses) {
        EXPECT_EQ(addresses[0], address);
    }
    EXPECT_EQ(kFirstCall, Heard());
    // One reference was taken: one unload unloads.
    EXPECT_TRUE(__FUnloadDelayLoadedDLL2(imports.name.c_str()));
    EXPECT_FALSE(Loaded());
}

} // namespace
