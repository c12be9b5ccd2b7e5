// Tokens, impersonation and the user's folders.
#include "handleapi.h"
#include "platformsecurity.h"
#include "platformtest.h"
#include "processthreadsapi.h"
#include "shlobj.h"
#include "winbase.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using Entry = platformtest::ImpersonationLog::Entry;

// Closes a token at the end of a test.
class Token {
public:
    explicit Token(HANDLE handle) : handle_(handle) {}
    ~Token() {
        if (handle_) {
            CloseHandle(handle_);
        }
    }
    Token(const Token&) = delete;
    Token& operator=(const Token&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

std::u16string UserName() {
    WCHAR name[UNLEN + 1];
    DWORD size = UNLEN + 1;
    EXPECT_TRUE(GetUserNameW(name, &size));
    return std::u16string(name, size - 1);
}

std::u16string AppDataFolder(HANDLE token) {
    WCHAR path[MAX_PATH];
    EXPECT_EQ(S_OK, SHGetFolderPathW(nullptr, CSIDL_APPDATA, token, SHGFP_TYPE_CURRENT, path));
    return path;
}

class Tokens : public ::testing::Test {
protected:
    void TearDown() override {
        SetThreadToken(nullptr, nullptr);
        EXPECT_EQ(openBefore_, platformtest::OpenTokenCount()) << "a token was left open";
    }
    size_t openBefore_ = platformtest::OpenTokenCount();
};

TEST_F(Tokens, ImpersonationIsPerThreadAndRevertedByNull) {
    Token alice(platformtest::CreateTestUserToken(u"alice", "/home/alice/.local/share"));
    const std::u16string self = UserName();
    platformtest::ImpersonationLog log;

    ASSERT_TRUE(SetThreadToken(nullptr, alice.get()));
    EXPECT_EQ(alice.get(), platformtest::CurrentThreadToken());
    EXPECT_EQ(u"alice", UserName());
    EXPECT_EQ(u"/home/alice/.local/share", AppDataFolder(nullptr));
    std::thread([&] {
        EXPECT_EQ(nullptr, platformtest::CurrentThreadToken());
        EXPECT_EQ(self, UserName());
    }).join();

    ASSERT_TRUE(SetThreadToken(nullptr, nullptr));
    EXPECT_EQ(nullptr, platformtest::CurrentThreadToken());
    EXPECT_EQ(self, UserName());
    EXPECT_EQ((std::vector<Entry>{{"SetThreadToken", u"alice"}, {"SetThreadToken", u""}}),
              log.Entries());
}

TEST_F(Tokens, BadHandlesAreRefusedAndLeaveTheImpersonation) {
    Token alice(platformtest::CreateTestUserToken(u"alice", "/a"));
    ASSERT_TRUE(SetThreadToken(nullptr, alice.get()));

    HANDLE closed = platformtest::CreateTestUserToken(u"bob", "/b");
    ASSERT_TRUE(CloseHandle(closed));
    HANDLE someThread = reinterpret_cast<HANDLE>(1);
    const struct {
        const char* what;
        PHANDLE thread;
        HANDLE token;
    } cases[] = {
        {"another thread", &someThread, alice.get()},
        {"made-up token", nullptr, reinterpret_cast<HANDLE>(0x1234)},
        {"closed token", nullptr, closed},
        {"pseudo handle", nullptr, INVALID_HANDLE_VALUE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(SetThreadToken(c.thread, c.token));
        EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
        EXPECT_EQ(alice.get(), platformtest::CurrentThreadToken());
    }
    EXPECT_FALSE(CloseHandle(closed)) << "a handle closes once";
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}

TEST_F(Tokens, ClosingTheHandleKeepsTheThreadImpersonating) {
    HANDLE carol = platformtest::CreateTestUserToken(u"carol", "/c");
    ASSERT_TRUE(SetThreadToken(nullptr, carol));
    ASSERT_TRUE(CloseHandle(carol));
    EXPECT_EQ(u"carol", UserName());

    HANDLE copy = nullptr;
    ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &copy));
    Token held(copy);
    EXPECT_EQ(u"/c", AppDataFolder(copy));

    ASSERT_TRUE(SetThreadToken(nullptr, nullptr));
    HANDLE none = reinterpret_cast<HANDLE>(1);
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &none));
    EXPECT_EQ(ERROR_NO_TOKEN, GetLastError());
    EXPECT_EQ(nullptr, none);
}

TEST_F(Tokens, ProcessTokenAndLogonNameTheUserRunningTheTests) {
    HANDLE process = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &process));
    Token self(process);
    ASSERT_TRUE(SetThreadToken(nullptr, process));
    const std::u16string name = UserName();
    EXPECT_FALSE(name.empty());

    HANDLE logon = nullptr;
    if (PlatformLogonUserW(name.c_str(), &logon)) { // the runner may have no passwd entry
        Token byName(logon);
        EXPECT_EQ(AppDataFolder(process), AppDataFolder(logon));
    }
    EXPECT_FALSE(PlatformLogonUserW(u"no-such-user-\u00e9xyz", &logon));
    EXPECT_EQ(ERROR_NO_SUCH_USER, GetLastError());
    EXPECT_EQ(nullptr, logon);

    HANDLE other = nullptr;
    EXPECT_FALSE(OpenProcessToken(reinterpret_cast<HANDLE>(42), TOKEN_QUERY, &other));
}

TEST_F(Tokens, GetUserNameReportsTheSizeItNeeds) {
    Token alice(platformtest::CreateTestUserToken(u"alice", "/a"));
    ASSERT_TRUE(SetThreadToken(nullptr, alice.get()));
    WCHAR buffer[6];
    DWORD size = 5;
    EXPECT_FALSE(GetUserNameW(buffer, &size));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(6u, size);
    EXPECT_TRUE(GetUserNameW(buffer, &size));
    EXPECT_EQ(u"alice", std::u16string(buffer));
}

TEST_F(Tokens, AppDataFolderIsCreatedOnRequestAndOnlyForAppData) {
    const auto root =
        std::filesystem::temp_directory_path() / ("fu-appdata-" + std::to_string(getpid()));
    const std::string folder = (root / "dora" / ".local" / "share").string();
    Token dora(platformtest::CreateTestUserToken(u"dora", folder));
    WCHAR path[MAX_PATH];
    EXPECT_EQ(S_OK, SHGetFolderPathW(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, dora.get(),
                                     SHGFP_TYPE_CURRENT, path));
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    std::filesystem::remove_all(root);

    EXPECT_EQ(E_INVALIDARG, SHGetFolderPathW(nullptr, 0x0005, dora.get(), 0, path));
    EXPECT_EQ(E_INVALIDARG,
              SHGetFolderPathW(nullptr, CSIDL_APPDATA, reinterpret_cast<HANDLE>(7), 0, path));
    Token longPath(platformtest::CreateTestUserToken(u"eve", "/" + std::string(400, 'x')));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER),
              SHGetFolderPathW(nullptr, CSIDL_APPDATA, longPath.get(), 0, path));
}

TEST_F(Tokens, ThreadsImpersonatingAtOnceKeepTheirOwnUsers) {
    Token alice(platformtest::CreateTestUserToken(u"alice", "/a"));
    Token bob(platformtest::CreateTestUserToken(u"bob", "/b"));
    auto run = [](HANDLE token, const std::u16string& name) {
        for (int i = 0; i < 200; ++i) {
            ASSERT_TRUE(SetThreadToken(nullptr, token));
            ASSERT_EQ(name, UserName());
            ASSERT_TRUE(SetThreadToken(nullptr, nullptr));
        }
        HANDLE mine = platformtest::CreateTestUserToken(name + u"2", "/x");
        EXPECT_TRUE(CloseHandle(mine));
    };
    std::thread first(run, alice.get(), u"alice");
    std::thread second(run, bob.get(), u"bob");
    first.join();
    second.join();
}

} // namespace
