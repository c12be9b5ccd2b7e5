// Impersonation for a scope, the user's folders, printers and their drivers, as the user the
// thread acts for.
#include <kldutil/keldanexception.h>
#include <kldutil/printdriver.h>
#include <kldutil/printer.h>
#include <kldutil/setthreadtokenwrapper.h>
#include <kldutil/user.h>

#include <handleapi.h>
#include <platformprinters.h>
#include <platformsecurity.h>
#include <shlobj.h>
#include <winbase.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Entry = platformtest::ImpersonationLog::Entry;

std::u16string CurrentUserName() {
    WCHAR name[UNLEN + 1];
    DWORD size = UNLEN + 1;
    EXPECT_TRUE(GetUserNameW(name, &size));
    return name;
}

// Two made-up users; every test must leave the thread as itself and every token closed.
class Impersonation : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_FALSE(SetThreadTokenWrapper::IsThisThreadImpersonating());
        SetThreadToken(nullptr, nullptr);
        CloseHandle(alice_);
        CloseHandle(bob_);
        EXPECT_EQ(openBefore_, platformtest::OpenTokenCount()) << "a token was left open";
    }

    size_t openBefore_ = platformtest::OpenTokenCount();
    const std::u16string self_ = CurrentUserName();
    HANDLE alice_ = platformtest::CreateTestUserToken(u"alice", "/home/alice/.local/share");
    HANDLE bob_ = platformtest::CreateTestUserToken(u"bob", "/home/bob/data");
};

TEST_F(Impersonation, NestedScopesGiveBackWhatTheyFound) {
    platformtest::ImpersonationLog log;
    {
        SetThreadTokenWrapper outer(alice_);
        EXPECT_EQ(u"alice", CurrentUserName());
        {
            SetThreadTokenWrapper inner(bob_);
            EXPECT_EQ(u"bob", CurrentUserName());
            {
                SetThreadTokenWrapper asSelf(nullptr);
                EXPECT_EQ(self_, CurrentUserName());
                EXPECT_FALSE(SetThreadTokenWrapper::IsThisThreadImpersonating());
            }
            EXPECT_EQ(u"bob", CurrentUserName());
        }
        EXPECT_EQ(u"alice", CurrentUserName());
        EXPECT_TRUE(SetThreadTokenWrapper::IsThisThreadImpersonating());
    }
    EXPECT_EQ(self_, CurrentUserName());
    EXPECT_EQ((std::vector<Entry>{{"SetThreadToken", u"alice"},
                                  {"SetThreadToken", u"bob"},
                                  {"SetThreadToken", u""},
                                  {"SetThreadToken", u"bob"},
                                  {"SetThreadToken", u"alice"},
                                  {"SetThreadToken", u""}}),
              log.Entries());
}

TEST_F(Impersonation, AnExceptionLeavingTheScopeReverts) {
    platformtest::ImpersonationLog log;
    try {
        SetThreadTokenWrapper scope(alice_);
        Printer printer = Printer::CreateHandle(platformprinters::kBuiltinPrinterName);
        throw std::runtime_error("filter failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(self_, CurrentUserName());
    EXPECT_EQ((std::vector<Entry>{{"SetThreadToken", u"alice"},
                                  {"OpenPrinterW", u"alice"},
                                  {"SetThreadToken", u""}}),
              log.Entries());
}

TEST_F(Impersonation, AClosedTokenIsRefusedAndChangesNothing) {
    HANDLE closed = platformtest::CreateTestUserToken(u"carol", "/c");
    CloseHandle(closed);
    SetThreadTokenWrapper outer(alice_);
    try {
        SetThreadTokenWrapper refused(closed);
        ADD_FAILURE() << "a closed token was accepted";
    } catch (const KeldanComException& e) {
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE), e.GetHresult());
    }
    EXPECT_EQ(u"alice", CurrentUserName());
}

TEST_F(Impersonation, PrinterAndDriverAreAskedAsTheImpersonatedUser) {
    platformtest::ImpersonationLog log;
    CXString driver;
    {
        SetThreadTokenWrapper scope(bob_);
        Printer printer = Printer::CreateHandle(u"filterutilities xps printer");
        ASSERT_TRUE(printer);
        driver = PrintDriver::GetDriverName(printer.GetHandle());
        Printer moved = std::move(printer);
        EXPECT_FALSE(printer);
        EXPECT_TRUE(moved);
    }
    EXPECT_EQ(std::u16string(u"FilterUtilities XPS Driver"), driver.GetString());
    EXPECT_EQ((std::vector<Entry>{{"SetThreadToken", u"bob"},
                                  {"OpenPrinterW", u"bob"},
                                  {"GetPrinterDriverW", u"bob"}, // the size needed
                                  {"GetPrinterDriverW", u"bob"},
                                  {"SetThreadToken", u""}}),
              log.Entries());
}

TEST_F(Impersonation, PrintersThatCannotBeOpened) {
    const struct {
        const char* what;
        const WCHAR* name;
        DWORD error;
    } cases[] = {
        {"unknown", u"No Such Printer", ERROR_INVALID_PRINTER_NAME},
        {"empty", u"", ERROR_INVALID_PRINTER_NAME},
        {"null", nullptr, ERROR_INVALID_PRINTER_NAME},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Printer printer = Printer::CreateHandle(c.name);
        EXPECT_FALSE(printer);
        EXPECT_EQ(c.error, GetLastError());
    }
    try {
        PrintDriver::GetDriverName(reinterpret_cast<HANDLE>(0x5150));
        ADD_FAILURE() << "a made-up handle named a driver";
    } catch (const KeldanComException& e) {
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE), e.GetHresult());
    }
}

TEST_F(Impersonation, UserFoldersBelongToTheUserFoundAtConstruction) {
    WCHAR own[MAX_PATH];
    ASSERT_EQ(S_OK, SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, own));
    EXPECT_EQ(std::u16string(own), User(u"PrinterDriver").GetUserApplicationDirectory().GetString())
        << "a thread running as itself answers for the process user";

    SetThreadTokenWrapper asAlice(alice_);
    const User alice(u"PrinterDriver");
    SetThreadTokenWrapper asBob(bob_);
    EXPECT_EQ(std::u16string(u"/home/alice/.local/share"),
              alice.GetUserApplicationDirectory().GetString());
    EXPECT_EQ(std::u16string(u"/home/bob/data"),
              User(u"PrinterDriver").GetUserApplicationDirectory().GetString());
}

TEST_F(Impersonation, AUserWithoutAFolderFailsAsAUserFailure) {
    HANDLE homeless = platformtest::CreateTestUserToken(u"dave", "");
    {
        SetThreadTokenWrapper scope(homeless);
        const User dave(u"PrinterDriver");
        try {
            dave.GetUserApplicationDirectory();
            ADD_FAILURE() << "an empty folder was handed out";
        } catch (const ExceptionUserFailure& e) {
            EXPECT_TRUE(FAILED(e.GetHresult()));
            EXPECT_STREQ("ExceptionUserFailure", e.GetTypeName());
            EXPECT_NE(std::string::npos, std::string(e.what()).find("PrinterDriver"));
        }
    }
    CloseHandle(homeless);
}

} // namespace
