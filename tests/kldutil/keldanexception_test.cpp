#include <kldutil/executioncontext.h>
#include <kldutil/keldanexception.h>
#include <kldutil/keldanutilities.h>

#include <platformtest.h>

#include <gtest/gtest.h>

#include "textprinters.h"

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <thread>

namespace {

std::unique_ptr<BasicExecutionContext> Context(int number, const char* function, bool announce,
                                               const CXString& message = CXString()) {
    return std::make_unique<BasicExecutionContext>(number, "job.cpp", function, 10, announce,
                                                   message);
}

ExecutionContextStack& Contexts() {
    return UtilitiesDllPerThreadStorage::GetExecutionContextStack();
}

// Sets an environment variable for one test and restores it after.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) {
            m_old = old;
            m_had = true;
        }
        setenv(name, value, 1);
    }
    ~ScopedEnvironment() {
        if (m_had) {
            setenv(m_name, m_old.c_str(), 1);
        } else {
            unsetenv(m_name);
        }
    }

private:
    const char* m_name;
    std::string m_old;
    bool m_had = false;
};

TEST(KeldanException, FactoriesMakeTheirTypesWithTheirDetails) {
    ExecutionContextLifetime job(Context(7, "Job::Run", false, CXString(u"page 3")));
    const KeldanComException com = GetKeldanComException(CXString(u"caf\u00e9"), "a.cpp", 12,
                                                         "A::B", Contexts(), E_ACCESSDENIED);
    EXPECT_STREQ("KeldanComException", com.GetTypeName());
    EXPECT_EQ(E_ACCESSDENIED, com.GetHresult());
    EXPECT_STREQ("caf\xC3\xA9", com.what());
    EXPECT_EQ(CXString(u"caf\u00e9"), com.GetMessage());
    EXPECT_STREQ("a.cpp", com.GetFile());
    EXPECT_EQ(12, com.GetLine());
    EXPECT_STREQ("A::B", com.GetFunction());
    ASSERT_EQ(1u, com.GetContexts().size());
    EXPECT_EQ(CXString(u"7 Job::Run at job.cpp(10): page 3"), com.GetContexts()[0]);

    const ExceptionInvalidArgumentNullPointer null =
        GetExceptionInvalidArgumentNullPointer(CXString(), "b.cpp", 1, "F", Contexts());
    EXPECT_STREQ("ExceptionInvalidArgumentNullPointer", null.GetTypeName());
    EXPECT_EQ(E_POINTER, null.GetHresult());
    const ExceptionDelayLoadDllLoadFailure load =
        GetExceptionDelayLoadDllLoadFailure(CXString(), "c.cpp", 2, "G", Contexts());
    EXPECT_STREQ("ExceptionDelayLoadDllLoadFailure", load.GetTypeName());
}

TEST(KeldanException, IsCaughtAsItsBasesAndSurvivesItsContexts) {
    try {
        ExecutionContextLifetime scope(Context(1, "Scope", false));
        throw GetKeldanComException(CXString(u"m"), "f.cpp", 3, "F", Contexts(), E_NOTIMPL);
    } catch (const std::exception& e) {
        // The context was popped while unwinding; the exception kept its description.
        EXPECT_TRUE(Contexts().IsEmpty());
        const auto* keldan = dynamic_cast<const KeldanException*>(&e);
        ASSERT_NE(nullptr, keldan);
        EXPECT_EQ(E_NOTIMPL, keldan->GetHresult());
        ASSERT_EQ(1u, keldan->GetContexts().size());
        EXPECT_EQ(CXString(u"1 Scope at job.cpp(10)"), keldan->GetContexts()[0]);
    }
}

TEST(ExecutionContext, LifetimesNestPerThread) {
    {
        ExecutionContextLifetime outer(Context(1, "Outer", false));
        {
            ExecutionContextLifetime inner(Context(2, "Inner", false));
            ASSERT_EQ(2u, Contexts().GetSize());
            EXPECT_EQ(1, Contexts().GetAt(0).GetNumber());
            EXPECT_EQ(2, Contexts().GetAt(1).GetNumber());
            size_t otherThread = 99;
            std::thread([&] { otherThread = Contexts().GetSize(); }).join();
            EXPECT_EQ(0u, otherThread);
        }
        ASSERT_EQ(1u, Contexts().GetSize());
        EXPECT_EQ(1, Contexts().GetAt(0).GetNumber());
    }
    EXPECT_TRUE(Contexts().IsEmpty());
    EXPECT_THROW(ExecutionContextLifetime(nullptr), ExceptionInvalidArgumentNullPointer);
    EXPECT_TRUE(Contexts().IsEmpty());
}

TEST(ExecutionContext, AnnouncedContextsWriteTheirEntryAndExit) {
    platformtest::DebugSinkCapture sink;
    { ExecutionContextLifetime quiet(Context(1, "Quiet", false)); }
    EXPECT_EQ("", sink.Text());
    { ExecutionContextLifetime loud(Context(31639, "XpsFilterBase::StartOperation", true)); }
    EXPECT_EQ("Entering 31639 XpsFilterBase::StartOperation at job.cpp(10)\n"
              "Leaving 31639 XpsFilterBase::StartOperation at job.cpp(10)\n",
              sink.Text());
}

TEST(KeldanException, AllowForExceptionDebugOnlyWhenAskedFor) {
    struct Case {
        const char* setting; // null: unset
        bool throwSite;
        bool expected;
    };
    const Case cases[] = {
        {nullptr, true, false},
        {"0", true, false},
        {"1", true, true},
        {"all", false, false},
        {"ExceptionDelayLoadDllLoadFailure,KeldanComException", true, true},
        {"ExceptionDelayLoadDllLoadFailure", true, false},
        {"KeldanCom", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.setting ? c.setting : "(unset)");
        std::unique_ptr<ScopedEnvironment> env;
        if (c.setting) {
            env = std::make_unique<ScopedEnvironment>("FILTERUTILITIES_EXCEPTION_DEBUG", c.setting);
        } else {
            ASSERT_EQ(nullptr, std::getenv("FILTERUTILITIES_EXCEPTION_DEBUG"));
        }
        platformtest::DebugSinkCapture sink;
        EXPECT_EQ(c.expected,
                  KeldanException::AllowForExceptionDebug(
                      "KeldanComException", CXString(u"*Throwing* KeldanComException: "), "x.cpp",
                      5, "X::Y", c.throwSite, Contexts(), DebugMessageCategories()));
        EXPECT_EQ("*Throwing* KeldanComException:  [X::Y at x.cpp(5)]\n", sink.Text());
    }
}

TEST(KeldanException, DisplayExceptionMessageWritesOneLine) {
    const KeldanComException com = GetKeldanComException(CXString(u"bad ticket"), "t.cpp", 8,
                                                         "T::Parse", Contexts(), E_INVALIDARG);
    const std::runtime_error standard("disk full");
    const std::bad_alloc memory;
    struct Case {
        const char* what;
        const std::exception* exception;
        bool recovered;
        std::string expected;
    };
    const Case cases[] = {
        {"KeldanComException", &com, false,
         "Caught KeldanComException (HRESULT 0x80070057) in F::G at e.cpp(40), thrown in "
         "T::Parse at t.cpp(8): bad ticket\n"},
        {"recovered", &com, true,
         "Recovered from KeldanComException (HRESULT 0x80070057) in F::G at e.cpp(40), thrown in "
         "T::Parse at t.cpp(8): bad ticket\n"},
        {"standard", &standard, false,
         "Caught std::runtime_error (HRESULT 0x80004005) in F::G at e.cpp(40): disk full\n"},
        {"bad_alloc", &memory, false,
         "Caught std::bad_alloc (HRESULT 0x8007000E) in F::G at e.cpp(40): std::bad_alloc\n"},
        {"unknown", nullptr, false,
         "Caught an exception of unknown type (HRESULT 0x80004005) in F::G at e.cpp(40)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platformtest::DebugSinkCapture sink;
        KeldanException::DisplayExceptionMessage(false, c.recovered, c.exception, "e.cpp", 40,
                                                 "F::G", Contexts(), nullptr, CXString(),
                                                 CXString());
        EXPECT_EQ(c.expected, sink.Text());
    }
}

TEST(SafeFormatString, FormatsNarrowAndWideFormats) {
    EXPECT_EQ(
        CXString(u"*Throwing* KeldanComException: caf\u00e9"),
        KeldanUtilities::SafeFormatString("*Throwing* KeldanComException: %s", "caf\xC3\xA9"));
    EXPECT_EQ(CXString(u"x=7 w=\U0001F600"),
              KeldanUtilities::SafeFormatString("x=%d w=%ls", 7, u"\U0001F600"));
    EXPECT_EQ(CXString(u"7 wide narrow"),
              KeldanUtilities::SafeFormatString(u"%u %s %hs", 7u, u"wide", "narrow"));
    EXPECT_EQ(CXString(), KeldanUtilities::SafeFormatString(""));
}

TEST(SafeFormatString, ThrowsOnBadArguments) {
    const char* nullNarrow = nullptr;
    const WCHAR* nullWide = nullptr;
    const char* nullFormat = nullptr;
    const auto expectInvalid = [](auto&& format) {
        try {
            format();
            ADD_FAILURE() << "no exception";
        } catch (const KeldanComException& e) {
            EXPECT_EQ(E_INVALIDARG, e.GetHresult());
        }
    };
    expectInvalid([&] { KeldanUtilities::SafeFormatString("%s", nullNarrow); });
    expectInvalid([&] { KeldanUtilities::SafeFormatString(u"a %s b", nullWide); });
    expectInvalid([&] { KeldanUtilities::SafeFormatString("%n", nullptr); });
    expectInvalid([&] { KeldanUtilities::SafeFormatString(u"%"); });
    EXPECT_THROW(KeldanUtilities::SafeFormatString(nullFormat),
                 ExceptionInvalidArgumentNullPointer);
}

} // namespace
