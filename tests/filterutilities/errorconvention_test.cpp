#include <filterutilities/errorconvention.h>

#include <kldutil/executioncontext.h>

#include <atlbase.h>
#include <platformtest.h>

#include <gtest/gtest.h>

#include "textprinters.h"

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

// Throw sites inside a class, so that the qualified name shows; in a named namespace, which
// every compiler spells alike (an anonymous one reads "{anonymous}" or "(anonymous namespace)").
namespace throwsites {

struct CSaxHandler {
    static void EscapeEntity(HRESULT hr, int* line) {
        *line = __LINE__ + 1;
        FU_THROW_HR(hr);
    }
    static void NeedPointer(int* line) {
        *line = __LINE__ + 1;
        FU_THROW_INVALID_ARGUMENT_NULL_POINTER();
    }
};

void ThrowDelayLoadDllLoadFailureException(const char* /*module*/) {
    FU_THROW_DELAY_LOAD_FAILURE();
}

} // namespace throwsites

namespace {

using throwsites::CSaxHandler;
using throwsites::ThrowDelayLoadDllLoadFailureException;

template <class Exception, class Body>
Exception Caught(Body&& body) {
    try {
        body();
    } catch (const Exception& e) {
        return e;
    }
    throw std::logic_error("nothing was thrown");
}

TEST(ThrowStep, ThrowsKeldanComExceptionWithTheSite) {
    platformtest::DebugSinkCapture sink;
    int line = 0;
    const KeldanComException e =
        Caught<KeldanComException>([&] { CSaxHandler::EscapeEntity(E_ACCESSDENIED, &line); });
    EXPECT_EQ(E_ACCESSDENIED, e.GetHresult());
    EXPECT_EQ(CXString(), e.GetMessage());
    EXPECT_STREQ(__FILE__, e.GetFile());
    EXPECT_EQ(line, e.GetLine());
    EXPECT_STREQ("throwsites::CSaxHandler::EscapeEntity", e.GetFunction());
    EXPECT_EQ("*Throwing* KeldanComException:  [throwsites::CSaxHandler::EscapeEntity at " +
                  std::string(__FILE__) + "(" + std::to_string(line) + ")]\n",
              sink.Text());
}

TEST(ThrowStep, ThrowsTheOtherExceptionTypes) {
    platformtest::DebugSinkCapture sink;
    int line = 0;
    const ExceptionInvalidArgumentNullPointer null =
        Caught<ExceptionInvalidArgumentNullPointer>([&] { CSaxHandler::NeedPointer(&line); });
    EXPECT_EQ(line, null.GetLine());
    EXPECT_STREQ("throwsites::CSaxHandler::NeedPointer", null.GetFunction());

    const ExceptionDelayLoadDllLoadFailure load = Caught<ExceptionDelayLoadDllLoadFailure>(
        [] { ThrowDelayLoadDllLoadFailureException("kldcore.dll"); });
    EXPECT_STREQ("throwsites::ThrowDelayLoadDllLoadFailureException", load.GetFunction());
    EXPECT_EQ(CXString(), load.GetMessage());

    const std::string text = sink.Text();
    EXPECT_NE(std::string::npos, text.find("*Throwing* ExceptionInvalidArgumentNullPointer: "));
    EXPECT_NE(std::string::npos, text.find("*Throwing* ExceptionDelayLoadDllLoadFailure: "));
}

TEST(ThrowStep, UsesTheFixedMessageWhenFormattingThrows) {
    platformtest::DebugSinkCapture sink;
    const char* nullText = nullptr;
    const KeldanComException e = Caught<KeldanComException>([&] {
        FilterUtilities::ThrowAtSite(FilterUtilities::ExceptionKind::KeldanCom, E_FAIL, "s.cpp", 9,
                                     "void S::T()", "%s", nullText);
    });
    EXPECT_EQ(E_FAIL, e.GetHresult());
    EXPECT_EQ(CXString(FilterUtilities::kUnformattableMessage), e.GetMessage());
    EXPECT_STREQ("S::T", e.GetFunction());
    EXPECT_EQ(std::string("*Throwing* KeldanComException: ") +
                  FilterUtilities::kUnformattableMessage + " [S::T at s.cpp(9)]\n",
              sink.Text());
    EXPECT_EQ(0,
              std::string(FilterUtilities::kUnformattableMessage)
                  .rfind("A message argument was supplied, but the resulting string is empty.", 0));
}

TEST(ThrowStep, GoesOnToThrowWhenDebuggingIsAskedFor) {
    setenv("FILTERUTILITIES_EXCEPTION_DEBUG", "1", 1);
    int line = 0;
    const KeldanComException e =
        Caught<KeldanComException>([&] { CSaxHandler::EscapeEntity(E_UNEXPECTED, &line); });
    unsetenv("FILTERUTILITIES_EXCEPTION_DEBUG");
    EXPECT_EQ(E_UNEXPECTED, e.GetHresult());
}

TEST(ThrowStep, RecordsTheThreadsContexts) {
    const KeldanComException e = Caught<KeldanComException>([] {
        ExecutionContextLifetime context(std::make_unique<BasicExecutionContext>(
            31639, "xpsfilterbase.cpp", "XpsFilterBase::StartOperation", 105, false, CXString()));
        FU_THROW_HR(E_FAIL);
    });
    ASSERT_EQ(1u, e.GetContexts().size());
    EXPECT_EQ(CXString(u"31639 XpsFilterBase::StartOperation at xpsfilterbase.cpp(105)"),
              e.GetContexts()[0]);
}

TEST(ThrowStep, ThrowIfFailedEvaluatesOnceAndThrowsOnlyFailures) {
    for (const HRESULT hr : {S_OK, S_FALSE, E_POINTER, HRESULT_FROM_WIN32(ERROR_NOT_FOUND)}) {
        SCOPED_TRACE(hr);
        int calls = 0;
        const auto call = [&] {
            ++calls;
            return hr;
        };
        const HRESULT result = CatchComException([&] {
            FU_THROW_IF_FAILED(call());
            return S_OK;
        });
        EXPECT_EQ(1, calls);
        EXPECT_EQ(FAILED(hr) ? hr : S_OK, result);
    }
}

TEST(ThrowStep, ThrowIfNullAllocGivesOutOfMemory) {
    const auto copy = [](const OLECHAR* text) {
        return CatchComException([&] {
            BSTR copied = SysAllocString(text);
            FU_THROW_IF_NULL_ALLOC(copied);
            SysFreeString(copied);
            return S_OK;
        });
    };
    EXPECT_EQ(S_OK, copy(u"ticket"));
    platformtest::AllocationFailure failure(1);
    EXPECT_EQ(E_OUTOFMEMORY, copy(u"ticket"));
}

TEST(QualifiedFunctionName, KeepsTheQualifiedNameOnly) {
    struct Case {
        const char* signature;
        const char* expected;
    };
    const Case cases[] = {
        {"HRESULT CSaxHandler::EscapeEntity(const WCHAR*) const", "CSaxHandler::EscapeEntity"},
        {"virtual HRESULT CUnknown<T>::QueryInterface(const IID&, void**) [with T = IStream]",
         "CUnknown<T>::QueryInterface"},
        {"std::map<int, int> W<T>::f(U) const [with U = char; T = int]", "W<T>::f"},
        {"W<int>::g()::<lambda(int)>", "W<int>::g"},
        {"bool W<T>::operator<(const W<T>&) const [with T = int]", "W<T>::operator<"},
        {"void W<T>::operator()() [with T = int]", "W<T>::operator()"},
        {"W<T>::operator const char*() [with T = int]", "W<T>::operator const char*"},
        {"virtual int {anonymous}::A::h(int) const", "{anonymous}::A::h"},
        {"int (anonymous namespace)::A::h(int)", "(anonymous namespace)::A::h"},
        {"Outer::Inner::Inner()", "Outer::Inner::Inner"},
        {"const char* fp()", "fp"},
        {"char *fp()", "fp"},
        {"void cooperator(int)", "cooperator"},
        {"ThrowDelayLoadDllLoadFailureException", "ThrowDelayLoadDllLoadFailureException"},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.signature);
        EXPECT_EQ(c.expected, FilterUtilities::QualifiedFunctionName(c.signature));
    }
    EXPECT_EQ("", FilterUtilities::QualifiedFunctionName(nullptr));
}

TEST(CatchComException, TurnsOnlyKeldanComExceptionIntoItsHresult) {
    EXPECT_EQ(S_FALSE, CatchComException([] { return S_FALSE; }));
    EXPECT_EQ(E_NOTIMPL, CatchComException([]() -> HRESULT { FU_THROW_HR(E_NOTIMPL); }));
    // A KeldanComException that carries a success code is answered as it is.
    EXPECT_EQ(S_OK, CatchComException([]() -> HRESULT { FU_THROW_HR(S_OK); }));

    EXPECT_THROW(CatchComException([]() -> HRESULT { throw ATL::CAtlException(E_OUTOFMEMORY); }),
                 ATL::CAtlException);
    EXPECT_THROW(CatchComException([]() -> HRESULT { throw std::bad_alloc(); }), std::bad_alloc);
    EXPECT_THROW(CatchComException([]() -> HRESULT { FU_THROW_INVALID_ARGUMENT_NULL_POINTER(); }),
                 ExceptionInvalidArgumentNullPointer);
}

TEST(CatchAtPipelineEntryPoint, ReportsEveryExceptionAndAnswersEFail) {
    struct Case {
        const char* what;
        void (*raise)();
        const char* report; // what the reported line holds after the site
    };
    const Case cases[] = {
        {"bad_alloc", [] { throw std::bad_alloc(); },
         "Caught std::bad_alloc (HRESULT 0x8007000E) in Filter::StartOperation at filter.cpp(7): "
         "bad allocation\n"},
        {"KeldanComException", [] { FU_THROW_HR(E_ACCESSDENIED); },
         "Caught KeldanComException (HRESULT 0x80070005) in Filter::StartOperation at "
         "filter.cpp(7), thrown in "},
        {"standard", [] { throw std::out_of_range("index"); },
         "Caught std::out_of_range (HRESULT 0x80004005) in Filter::StartOperation at "
         "filter.cpp(7): index\n"},
        {"CAtlException", [] { throw ATL::CAtlException(E_OUTOFMEMORY); },
         "Caught an exception of unknown type (HRESULT 0x80004005) in Filter::StartOperation at "
         "filter.cpp(7)\n"},
        {"int", [] { throw 42; },
         "Caught an exception of unknown type (HRESULT 0x80004005) in Filter::StartOperation at "
         "filter.cpp(7)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platformtest::DebugSinkCapture sink;
        bool ranOn = false;
        const HRESULT hr = CatchAtPipelineEntryPoint(
            "filter.cpp", 7, "virtual HRESULT Filter::StartOperation()", [&]() -> HRESULT {
                c.raise();
                ranOn = true;
                return S_OK;
            });
        EXPECT_EQ(E_FAIL, hr);
        EXPECT_FALSE(ranOn);
        const std::string text = sink.Text();
        const size_t report = text.find("Caught ");
        ASSERT_NE(std::string::npos, report) << text;
        EXPECT_EQ(0, text.compare(report, std::string(c.report).size(), c.report)) << text;
        EXPECT_EQ(text.size() - 1, text.find('\n', report)) << "one line";
    }
}

TEST(CatchAtPipelineEntryPoint, PassesResultsThroughUnreported) {
    platformtest::DebugSinkCapture sink;
    EXPECT_EQ(S_FALSE, FU_PIPELINE_ENTRY_POINT([] { return S_FALSE; }));
    EXPECT_EQ(E_PENDING, FU_PIPELINE_ENTRY_POINT([] { return E_PENDING; }));
    EXPECT_EQ("", sink.Text());
}

TEST(GetLastErrorAsHResult, ConvertsTheThreadsLastError) {
    struct Case {
        DWORD lastError;
        HRESULT expected;
    };
    const Case cases[] = {
        {0, S_OK},
        {ERROR_ACCESS_DENIED, E_ACCESSDENIED},
        {ERROR_INSUFFICIENT_BUFFER, static_cast<HRESULT>(0x8007007A)},
        {0x12345, static_cast<HRESULT>(0x80072345)}, // only the low 16 bits are kept
        {0x80004005, E_FAIL},                        // negative: already an HRESULT
        {0xFFFFFFFF, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lastError);
        SetLastError(c.lastError);
        EXPECT_EQ(c.expected, GetLastErrorAsHResult());
    }
}

TEST(GetGDIStatusErrorAsHResult, MapsEveryStatus) {
    struct Case {
        int status;
        HRESULT expected;
    };
    const Case cases[] = {
        {Gdiplus::Ok, S_OK},
        {Gdiplus::GenericError, E_FAIL},
        {Gdiplus::InvalidParameter, E_INVALIDARG},
        {Gdiplus::OutOfMemory, E_OUTOFMEMORY},
        {Gdiplus::ObjectBusy, E_PENDING},
        {Gdiplus::InsufficientBuffer, E_OUTOFMEMORY}, // not a buffer-size code
        {Gdiplus::NotImplemented, E_NOTIMPL},
        {Gdiplus::WrongState, E_FAIL},
        {Gdiplus::Aborted, E_FAIL},
        {Gdiplus::FileNotFound, static_cast<HRESULT>(0x80070002)},
        {Gdiplus::ValueOverflow, E_FAIL},
        {Gdiplus::AccessDenied, static_cast<HRESULT>(0x80070005)},
        {Gdiplus::UnknownImageFormat, E_FAIL},
        {Gdiplus::FontFamilyNotFound, E_FAIL},
        {Gdiplus::FontStyleNotFound, E_FAIL},
        {Gdiplus::NotTrueTypeFont, E_FAIL},
        {Gdiplus::UnsupportedGdiplusVersion, E_FAIL},
        {Gdiplus::GdiplusNotInitialized, E_FAIL},
        {Gdiplus::PropertyNotFound, E_FAIL},
        {Gdiplus::PropertyNotSupported, E_FAIL},
        {Gdiplus::ProfileNotFound, E_FAIL},
        {-1, E_FAIL},
        {99, E_FAIL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        EXPECT_EQ(c.expected, GetGDIStatusErrorAsHResult(static_cast<Gdiplus::Status>(c.status)));
    }
}

TEST(GetGDIStatusErrorAsHResult, Win32ErrorTakesTheLastError) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(static_cast<HRESULT>(0x80070002), GetGDIStatusErrorAsHResult(Gdiplus::Win32Error));
    // GDI+ failed even when the thread's last error says nothing: still a failure.
    SetLastError(0);
    EXPECT_EQ(E_FAIL, GetGDIStatusErrorAsHResult(Gdiplus::Win32Error));
}

} // namespace
