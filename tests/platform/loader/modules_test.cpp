#include "loadertest.h"

#include <libloaderapi.h>
#include <platformtest.h>
#include <synchapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace {

using loadertest::CallFunction;
using loadertest::kModuleName;
using loadertest::Loaded;
using loadertest::ModulePath;

int Call(HMODULE module) {
    return loadertest::FunctionAt<CallFunction>(GetProcAddress(module, "LoaderTestCall"))();
}

TEST(Modules, EachReferenceIsReleasedByOneFreeLibraryAndTheLastUnloads) {
    ASSERT_FALSE(Loaded());
    HMODULE module = LoadLibraryA(ModulePath().c_str());
    ASSERT_NE(nullptr, module);
    EXPECT_EQ(module, GetModuleHandleA(kModuleName)); // takes no reference
    EXPECT_EQ(1, Call(module));
    EXPECT_EQ(2, Call(module));

    HMODULE again = nullptr;
    ASSERT_TRUE(GetModuleHandleExA(0, kModuleName, &again)); // takes one
    EXPECT_EQ(module, again);
    HMODULE unchanged = nullptr;
    ASSERT_TRUE(
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, kModuleName, &unchanged));
    HMODULE byAddress = nullptr;
    ASSERT_TRUE(GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCSTR>(GetProcAddress(module, "LoaderTestCall")), &byAddress));
    EXPECT_EQ(module, byAddress);

    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_TRUE(Loaded());
    EXPECT_TRUE(FreeLibrary(again));
    EXPECT_FALSE(Loaded());
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());

    module = LoadLibraryExA(ModulePath().c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    ASSERT_NE(nullptr, module);
    EXPECT_EQ(1, Call(module)); // loaded afresh
    EXPECT_TRUE(FreeLibrary(module));
}

TEST(Modules, FailuresSayWhatWentWrong) {
    const std::string notAModule = testing::TempDir() + "loader-not-a-module.so";
    std::ofstream(notAModule) << "this is text, not a shared object\n";
    const struct {
        const char* what;
        std::string name;
        DWORD flags;
        DWORD error;
        const char* debugText;
    } cases[] = {
        {"a module found nowhere", "libloader-nowhere.so", 0, ERROR_MOD_NOT_FOUND,
         "libloader-nowhere.so"},
        {"a file that is no module", notAModule, 0, ERROR_BAD_EXE_FORMAT, "loader-not-a-module.so"},
        {"a folder", testing::TempDir(), 0, ERROR_BAD_EXE_FORMAT, "LoadLibrary: "},
        {"an empty name", "", 0, ERROR_INVALID_PARAMETER, ""},
        {"an unknown flag", ModulePath(), 0x100, ERROR_INVALID_PARAMETER, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        platformtest::DebugSinkCapture debugger;
        SetLastError(0);
        EXPECT_EQ(nullptr, LoadLibraryExA(c.name.c_str(), nullptr, c.flags));
        EXPECT_EQ(c.error, GetLastError());
        EXPECT_NE(std::string::npos, debugger.Text().find(c.debugText)) << debugger.Text();
    }
    EXPECT_EQ(nullptr, LoadLibraryA(nullptr));
    EXPECT_FALSE(Loaded());
    std::remove(notAModule.c_str());

    HMODULE module = LoadLibraryA(ModulePath().c_str());
    ASSERT_NE(nullptr, module);
    EXPECT_EQ(nullptr, GetProcAddress(module, "NoSuchFunction"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());
    EXPECT_EQ(nullptr, GetProcAddress(nullptr, "LoaderTestCall"));
    HMODULE none = reinterpret_cast<HMODULE>(1);
    EXPECT_FALSE(GetModuleHandleExA(0, "libloader-nowhere.so", &none));
    EXPECT_EQ(nullptr, none);
    EXPECT_FALSE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN |
                                        GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                    kModuleName, &none));
    EXPECT_TRUE(FreeLibrary(module));
}

TEST(Modules, FileNamesAreWholeOrCutAndTerminated) {
    HMODULE module = LoadLibraryA(ModulePath().c_str());
    ASSERT_NE(nullptr, module);
    char path[4096];
    const DWORD length = GetModuleFileNameA(module, path, sizeof path);
    EXPECT_EQ(ModulePath(), std::string(path, length));

    char small[8];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(sizeof small, GetModuleFileNameA(module, small, sizeof small));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(ModulePath().substr(0, 7), std::string(small));
    EXPECT_EQ(0u, GetModuleFileNameA(module, small, 0));
    EXPECT_TRUE(FreeLibrary(module));

    // The program, by a null handle and by an address inside it.
    const DWORD programLength = GetModuleFileNameA(nullptr, path, sizeof path);
    const std::string program(path, programLength);
    EXPECT_EQ(loadertest::ProgramFolder(), program.substr(0, program.rfind('/') + 1));
    HMODULE self = nullptr;
    ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                       GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<LPCSTR>(&Call), &self));
    EXPECT_EQ(programLength, GetModuleFileNameA(self, path, sizeof path));
}

TEST(Modules, Kernel32NamesThePlatformsOwnFunctions) {
    HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
    ASSERT_NE(nullptr, kernel);
    EXPECT_EQ(&GetModuleHandleExA, loadertest::FunctionAt<PFN_GETMODULEHANDLEEXA>(
                                       GetProcAddress(kernel, "GetModuleHandleExA")));
}

TEST(CriticalSection, IsEnteredAgainByTheThreadHoldingIt) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    LeaveCriticalSection(&section);
    LeaveCriticalSection(&section);
    DeleteCriticalSection(&section);
}

} // namespace
