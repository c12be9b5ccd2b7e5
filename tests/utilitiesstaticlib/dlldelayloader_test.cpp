#include "delayloadtest.h"

#include <utilitiesstaticlib/dlldelayloader.h>

#include <kldutil/keldanexception.h>

#include <delayimp.h>
#include <libloaderapi.h>
#include <platformtest.h>
#include <winspool.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using loadertest::kModuleName;
using loadertest::Loaded;
namespace fs = std::filesystem;

// Imports of one module resolved through the platform's helper, with a loader of the test's
// as the notification hook (the library's imports use the library's one loader).
DllDelayLoader* hookedLoader = nullptr;
FARPROC WINAPI Notify(unsigned notification, PDelayLoadInfo info) {
    return reinterpret_cast<FARPROC>(hookedLoader->OnNotify(notification, info));
}
FARPROC WINAPI Failure(unsigned, PDelayLoadInfo) {
    return nullptr;
}
const PfnDliHook kNotify = Notify;
const PfnDliHook kFailure = Failure;

struct Imports {
    explicit Imports(const char* name) : name(name) {
        descriptor = {0, this->name.c_str(), &module, slots, names, &kNotify, &kFailure};
    }
    int Call() {
        FARPROC address = __atomic_load_n(&slots[0], __ATOMIC_ACQUIRE);
        if (!address) {
            address = __delayLoadHelper2(&descriptor, &slots[0]);
        }
        return loadertest::FunctionAt<loadertest::CallFunction>(address)();
    }
    std::string name;
    HMODULE module = nullptr;
    FARPROC slots[1] = {};
    const LPCSTR names[2] = {"LoaderTestCall", nullptr};
    ImgDelayDescr descriptor{};
};

DelayLoadInfo PreLoad(const char* name) {
    DelayLoadInfo info{};
    info.cb = sizeof info;
    info.szDll = name;
    return info;
}

std::string FileOf(HMODULE module) {
    char path[4096];
    return std::string(path, GetModuleFileNameA(module, path, sizeof path));
}

class DllDelayLoaderTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(Loaded());
        hookedLoader = loader.get();
    }
    void TearDown() override { hookedLoader = nullptr; }
    std::unique_ptr<DllDelayLoader> loader = std::make_unique<DllDelayLoader>();
};

TEST_F(DllDelayLoaderTest, TheHookActsOnlyWhenEnabledNotClosingAndBeforeALoad) {
    HMODULE mine = LoadLibraryA(loadertest::ModulePath().c_str());
    ASSERT_NE(nullptr, mine);
    DelayLoadInfo info = PreLoad(kModuleName);
    EXPECT_EQ(nullptr, loader->OnNotify(dliNotePreLoadLibrary, &info)); // not enabled yet
    loader->Enable(nullptr);
    for (unsigned notification : {dliStartProcessing, dliNotePreGetProcAddress, dliFailLoadLib,
                                  dliFailGetProc, dliNoteEndProcessing}) {
        EXPECT_EQ(nullptr, loader->OnNotify(notification, &info)) << notification;
    }
    loader->Close();
    EXPECT_EQ(nullptr, loader->OnNotify(dliNotePreLoadLibrary, &info));
    EXPECT_TRUE(loader->LoadedModuleNames().empty());
    EXPECT_TRUE(FreeLibrary(mine));
    EXPECT_FALSE(Loaded()); // the hook took no reference
}

TEST_F(DllDelayLoaderTest, AModuleInTheProcessIsTakenAsItIsAndListedOnce) {
    HMODULE mine = LoadLibraryA(loadertest::ModulePath().c_str());
    ASSERT_NE(nullptr, mine);
    loader->Enable(nullptr);
    DelayLoadInfo info = PreLoad(kModuleName);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(mine, loader->OnNotify(dliNotePreLoadLibrary, &info));
    }
    EXPECT_EQ(std::vector<std::string>{kModuleName}, loader->LoadedModuleNames());
    // Each answer held a reference of its own.
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(FreeLibrary(mine));
    }
    EXPECT_TRUE(Loaded());
    EXPECT_TRUE(FreeLibrary(mine));
    EXPECT_FALSE(Loaded());
}

TEST_F(DllDelayLoaderTest, AModuleIsLoadedFromBesideTheLibraryThenFromTheDriverDirectory) {
    // Beside the library's own module (here the test program).
    loader->Enable(delayloadtest::Program());
    DelayLoadInfo info = PreLoad(kModuleName);
    HMODULE beside = loader->OnNotify(dliNotePreLoadLibrary, &info);
    ASSERT_NE(nullptr, beside);
    EXPECT_EQ(loadertest::ModulePath(), FileOf(beside));
    EXPECT_TRUE(FreeLibrary(beside));
    EXPECT_FALSE(Loaded());

    // The "3" folder of the printer driver directory, for a library whose folder lacks it.
    char folder[4096];
    DWORD needed = 0;
    ASSERT_TRUE(GetPrinterDriverDirectoryA(nullptr, nullptr, 1, reinterpret_cast<LPBYTE>(folder),
                                           sizeof folder, &needed));
    const char name[] = "libdelayload-driver-directory-probe.so";
    const fs::path probe = fs::path(folder) / "3" / name;
    fs::create_directories(probe.parent_path());
    fs::copy_file(loadertest::ModulePath(), probe, fs::copy_options::overwrite_existing);
    DelayLoadInfo driver = PreLoad(name);
    HMODULE inDriverDirectory = loader->OnNotify(dliNotePreLoadLibrary, &driver);
    fs::remove(probe);
    ASSERT_NE(nullptr, inDriverDirectory);
    EXPECT_EQ(probe.string(), FileOf(inDriverDirectory));
    EXPECT_TRUE(FreeLibrary(inDriverDirectory));
    EXPECT_EQ((std::vector<std::string>{kModuleName, name}), loader->LoadedModuleNames());
}

TEST_F(DllDelayLoaderTest, AMissingOrBrokenModuleRaisesTheLoadFailureAndSaysWhereItLooked) {
    // The library's own module in a folder of its own, beside a file that is no module.
    const fs::path folder = fs::path(testing::TempDir()) / "dlldelayloader-broken";
    fs::create_directories(folder);
    fs::copy_file(loadertest::ModulePath(), folder / "libself.so",
                  fs::copy_options::overwrite_existing);
    std::ofstream(folder / "libkld-broken.so") << "not a shared object\n";
    HMODULE self = LoadLibraryA((folder / "libself.so").c_str());
    ASSERT_NE(nullptr, self);
    loader->Enable(self);
    const struct {
        const char* name;
        const char* reason; // what the debugger hears besides where the loader looked
    } cases[] = {
        {"libkld-nowhere.so", "cannot open shared object file"},
        {"libkld-broken.so", "libkld-broken.so: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        platformtest::DebugSinkCapture debugger;
        DelayLoadInfo info = PreLoad(c.name);
        try {
            loader->OnNotify(dliNotePreLoadLibrary, &info);
            ADD_FAILURE() << "no exception";
        } catch (const ExceptionDelayLoadDllLoadFailure& failure) {
            EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), failure.GetHresult());
            EXPECT_STREQ("ThrowDelayLoadDllLoadFailureException", failure.GetFunction());
        }
        const std::string text = debugger.Text();
        EXPECT_NE(std::string::npos, text.find(std::string("DllDelayLoader: ") + c.name +
                                               " is not in the process and could not be loaded "
                                               "from " +
                                               (folder / c.name).string()))
            << text;
        EXPECT_NE(std::string::npos, text.find(c.reason)) << text;
    }
    // Through the platform's helper, as the library's stubs call it.
    Imports missing("libkld-nowhere.so");
    EXPECT_THROW(missing.Call(), ExceptionDelayLoadDllLoadFailure);
    EXPECT_EQ(nullptr, missing.module);

    // The utility library's own name (compared without regard to case) is left to the
    // platform's delay-load support.
    DelayLoadInfo utility = PreLoad("LIBKLDUTIL.SO");
    EXPECT_EQ(nullptr, loader->OnNotify(dliNotePreLoadLibrary, &utility));
    EXPECT_TRUE(loader->LoadedModuleNames().empty());
    EXPECT_TRUE(FreeLibrary(self));
    fs::remove_all(folder);
}

TEST_F(DllDelayLoaderTest, ClosingUnloadsEachLoadedModuleOnce) {
    loader->Enable(delayloadtest::Program());
    Imports imports(kModuleName);
    EXPECT_EQ(1, imports.Call());
    EXPECT_EQ(2, imports.Call());
    EXPECT_EQ(std::vector<std::string>{kModuleName}, loader->LoadedModuleNames());
    loader->Close();
    EXPECT_FALSE(Loaded());
    EXPECT_EQ(nullptr, imports.slots[0]);
    EXPECT_TRUE(loader->LoadedModuleNames().empty());

    // The destructor after Close unloads nothing more: a reference taken since stays.
    HMODULE mine = LoadLibraryA(loadertest::ModulePath().c_str());
    ASSERT_NE(nullptr, mine);
    loader.reset();
    EXPECT_TRUE(Loaded());
    EXPECT_TRUE(FreeLibrary(mine));
}

} // namespace
