// The pipeline filter base: what it keeps from InitializeFilter, FilterFinished heard once on
// every path (also from several threads at once), the job properties read from the bag, and
// the print ticket manager initialised from it.
#include "comtest.h"
#include "filtertestdoubles.h"

#include <filterutilities/filterbase.h>

#include <handleapi.h>
#include <platformsecurity.h>
#include <platformtest.h>

#include <objbase.h>

#include <memory>
#include <thread>
#include <vector>

using namespace filtertest;

namespace {

// The smallest filter: FilterBase with its protected operations opened to the test.
class Filter : public FilterBase {
public:
    HRESULT STDMETHODCALLTYPE StartOperation() override { return S_OK; }
    using FilterBase::FilterFinished;
    using FilterBase::InitializePrintTicketManager;
    using FilterBase::IsFilterFinished;
    using FilterBase::m_printerName;
    using FilterBase::m_printTicketManager;
    using FilterBase::m_userSecurityToken;
    using FilterBase::RequestShutdown;
};

struct PipelineObjects {
    CComPtr<Communicator> communicator = Make<Communicator>();
    CComPtr<PropertyBag> bag = Make<PropertyBag>();
    CComPtr<ManagerControl> control = Make<ManagerControl>();
};

TEST(FilterBase, IsThePipelinesFilter) {
    CComPtr<IPrintPipelineFilter> filter;
    filter.Attach(new Filter);
    CComPtr<IPrintPipelineFilter> same;
    EXPECT_EQ(S_OK, filter.QueryInterface(&same));
    EXPECT_EQ(filter.p, same.p);
    EXPECT_REF(filter.p, 2);
}

TEST(FilterBase, InitializeFilterKeepsAllThreeObjectsOrNone) {
    struct Case {
        const char* what;
        bool communicator, bag, control;
    };
    const Case cases[] = {
        {"no communicator", false, true, true},
        {"no property bag", true, false, true},
        {"no manager control", true, true, false},
    };
    for (bool afterSuccess : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (afterSuccess ? " after a success" : ""));
            PipelineObjects held;
            PipelineObjects offered;
            {
                CComPtr<Filter> filter;
                filter.Attach(new Filter);
                if (afterSuccess) {
                    ASSERT_EQ(S_OK,
                              filter->InitializeFilter(held.communicator, held.bag, held.control));
                }
                EXPECT_EQ(E_POINTER,
                          filter->InitializeFilter(c.communicator ? offered.communicator : nullptr,
                                                   c.bag ? offered.bag : nullptr,
                                                   c.control ? offered.control : nullptr));
                EXPECT_REF(offered.communicator.p, 1);
                EXPECT_REF(offered.bag.p, 1);
                EXPECT_REF(offered.control.p, 1);
                EXPECT_REF(held.control.p, afterSuccess ? 2 : 1);
                EXPECT_EQ(afterSuccess ? std::vector<HRESULT>{E_POINTER} : std::vector<HRESULT>{},
                          held.control->Shutdowns());
                EXPECT_TRUE(offered.control->Shutdowns().empty());
            }
            EXPECT_EQ(afterSuccess ? 1 : 0, held.control->Finished());
            EXPECT_EQ(0, offered.control->Finished());
        }
    }
}

TEST(FilterBase, InitializeFilterReplacesWhatItHolds) {
    PipelineObjects first;
    PipelineObjects second;
    CComPtr<Filter> filter;
    filter.Attach(new Filter);
    ASSERT_EQ(S_OK, filter->InitializeFilter(first.communicator, first.bag, first.control));
    ASSERT_EQ(S_OK, filter->InitializeFilter(first.communicator, first.bag, first.control));
    EXPECT_REF(first.communicator.p, 2);
    EXPECT_REF(first.bag.p, 2);
    EXPECT_REF(first.control.p, 2);
    ASSERT_EQ(S_OK, filter->InitializeFilter(second.communicator, second.bag, second.control));
    for (IUnknown* object :
         {static_cast<IUnknown*>(first.communicator.p), static_cast<IUnknown*>(first.bag.p),
          static_cast<IUnknown*>(first.control.p)}) {
        EXPECT_REF(object, 1);
    }
    EXPECT_REF(second.control.p, 2);
    // Nothing is read yet.
    EXPECT_EQ(0, second.bag->Asked(u"PrinterName"));
    filter.Release();
    EXPECT_REF(second.communicator.p, 1);
    EXPECT_REF(second.bag.p, 1);
    EXPECT_REF(second.control.p, 1);
    EXPECT_EQ(0, first.control->Finished());
    EXPECT_EQ(1, second.control->Finished());
}

TEST(FilterBase, FilterFinishedIsHeardOnceWhateverComesFirst) {
    struct Case {
        const char* what;
        void (*run)(Filter&);
    };
    const Case cases[] = {
        {"destruction alone", [](Filter&) {}},
        {"shutdown, then destruction", [](Filter& f) { EXPECT_EQ(S_OK, f.ShutdownOperation()); }},
        {"two shutdowns",
         [](Filter& f) {
             EXPECT_EQ(S_OK, f.ShutdownOperation());
             EXPECT_EQ(S_OK, f.ShutdownOperation());
         }},
        {"finished, then shutdown",
         [](Filter& f) {
             f.FilterFinished();
             EXPECT_EQ(S_OK, f.ShutdownOperation());
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PipelineObjects objects;
        {
            CComPtr<Filter> filter;
            filter.Attach(new Filter);
            ASSERT_EQ(S_OK,
                      filter->InitializeFilter(objects.communicator, objects.bag, objects.control));
            c.run(*filter);
        }
        EXPECT_EQ(1, objects.control->Finished());
        EXPECT_TRUE(objects.control->Shutdowns().empty());
    }
}

TEST(FilterBase, WithoutAManagerControlNothingIsSentAndTheFlagStaysDown) {
    CComPtr<Filter> filter;
    filter.Attach(new Filter);
    EXPECT_EQ(S_OK, filter->ShutdownOperation());
    filter->RequestShutdown(E_FAIL);
    EXPECT_FALSE(filter->IsFilterFinished());
    // A control given later still hears it once.
    PipelineObjects objects;
    ASSERT_EQ(S_OK, filter->InitializeFilter(objects.communicator, objects.bag, objects.control));
    EXPECT_EQ(S_OK, filter->ShutdownOperation());
    EXPECT_TRUE(filter->IsFilterFinished());
    EXPECT_EQ(1, objects.control->Finished());
}

TEST(FilterBase, ShutdownsFromManyThreadsAtOnceAreHeardOnce) {
    for (int round = 0; round < 20; ++round) {
        PipelineObjects objects;
        CComPtr<Filter> filter;
        filter.Attach(new Filter);
        ASSERT_EQ(S_OK,
                  filter->InitializeFilter(objects.communicator, objects.bag, objects.control));
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i) {
            threads.emplace_back([&] {
                while (!go.load()) {
                }
                EXPECT_EQ(S_OK, filter->ShutdownOperation());
            });
        }
        go = true;
        filter->FilterFinished();
        for (std::thread& thread : threads) {
            thread.join();
        }
        filter.Release();
        EXPECT_EQ(1, objects.control->Finished()) << "round " << round;
    }
}

TEST(FilterBase, JobPropertiesAreReadOnceTheyCouldBeRead) {
    PipelineObjects objects;
    CComPtr<Filter> filter;
    filter.Attach(new Filter);
    void* handle = nullptr;
    ULONG jobId = 0;
    // Without a bag, and with a null out pointer.
    EXPECT_EQ(E_POINTER, filter->GetPrinterHandleFromPropertyBag(&handle));
    EXPECT_EQ(INVALID_HANDLE_VALUE, handle);
    EXPECT_EQ(E_POINTER, filter->GetJobIdFromPropertyBag(&jobId));
    EXPECT_EQ(0xFFFFFFFFu, jobId);
    ASSERT_EQ(S_OK, filter->InitializeFilter(objects.communicator, objects.bag, objects.control));
    EXPECT_EQ(E_POINTER, filter->GetPrinterHandleFromPropertyBag(nullptr));
    EXPECT_EQ(E_POINTER, filter->GetJobIdFromPropertyBag(nullptr));

    // A failed read leaves the sentinel and asks again; a good one is never asked again.
    const HRESULT notThere = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    objects.bag->Fail(u"PrinterHandle", notThere);
    objects.bag->Fail(u"PrintJobId", notThere);
    EXPECT_EQ(notThere, filter->GetPrinterHandleFromPropertyBag(&handle));
    EXPECT_EQ(INVALID_HANDLE_VALUE, handle);
    EXPECT_EQ(notThere, filter->GetJobIdFromPropertyBag(&jobId));
    EXPECT_EQ(0xFFFFFFFFu, jobId);
    objects.bag->Set(u"PrinterHandle", HandleProperty(reinterpret_cast<void*>(0x1234)));
    objects.bag->Set(u"PrintJobId", JobIdProperty(42));
    for (int call = 0; call < 2; ++call) {
        EXPECT_EQ(S_OK, filter->GetPrinterHandleFromPropertyBag(&handle));
        EXPECT_EQ(reinterpret_cast<void*>(0x1234), handle);
        EXPECT_EQ(S_OK, filter->GetJobIdFromPropertyBag(&jobId));
        EXPECT_EQ(42u, jobId);
    }
    EXPECT_EQ(2, objects.bag->Asked(u"PrinterHandle"));
    EXPECT_EQ(2, objects.bag->Asked(u"PrintJobId"));
}

// A test user's token, closed at the end.
struct UserToken {
    UserToken() : handle(platformtest::CreateTestUserToken(u"filterbase-user", "/tmp")) {}
    ~UserToken() { CloseHandle(handle); }
    HANDLE handle;
};

// The thread's COM apartment for the DOM documents the manager makes.
struct Apartment {
    Apartment() { EXPECT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
    ~Apartment() { CoUninitialize(); }
};

TEST(FilterBase, InitializesThePrintTicketManagerFromTheBag) {
    Apartment apartment;
    UserToken user;
    PipelineObjects objects;
    objects.bag = PipelineProperties(user.handle);
    CComPtr<Filter> filter;
    filter.Attach(new Filter);
    EXPECT_EQ(E_PENDING, filter->InitializePrintTicketManager());

    ASSERT_EQ(S_OK, filter->InitializeFilter(objects.communicator, objects.bag, objects.control));
    platformtest::ImpersonationLog log;
    ASSERT_EQ(S_OK, filter->InitializePrintTicketManager());
    EXPECT_NE(nullptr, filter->m_printTicketManager.GetPtrToDefaultPrintTicket());
    EXPECT_EQ(u"FilterUtilities XPS Printer", filter->m_printerName.View());
    EXPECT_EQ(user.handle, filter->m_userSecurityToken);
    EXPECT_EQ(user.handle, filter->m_printTicketManager.GetUserToken());
    EXPECT_EQ(nullptr, platformtest::CurrentThreadToken());
    // The factory and its stream are released again: the bag holds the only reference.
    VARIANT ticket;
    VariantInit(&ticket);
    ASSERT_EQ(S_OK, objects.bag->GetProperty(u"PerUserPrintTicket", &ticket));
    EXPECT_REF(ticket.punkVal, 2);
    VariantClear(&ticket);
}

TEST(FilterBase, ThePrintTicketManagerIsNotInitializedFromBadProperties) {
    Apartment apartment;
    UserToken user;
    static constexpr HRESULT notThere = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    const std::u16string printer = u"FilterUtilities XPS Printer";
    struct Case {
        const char* what;
        void (*spoil)(PropertyBag&);
        HRESULT expected;
        int asked;                // properties asked, in the order ticket, name, token
        std::u16string nameField; // the filter's printer name afterwards
        bool tokenField;          // the filter holds the token afterwards
    };
    const Case cases[] = {
        {"no default ticket", [](PropertyBag& b) { b.Fail(u"PerUserPrintTicket", E_ACCESSDENIED); },
         E_ACCESSDENIED, 1, u"", false},
        {"no printer name", [](PropertyBag& b) { b.Fail(u"PrinterName", notThere); }, notThere, 2,
         u"", false},
        {"no token", [](PropertyBag& b) { b.Fail(u"UserSecurityToken", E_OUTOFMEMORY); },
         E_OUTOFMEMORY, 3, u"", false},
        {"a printer name that is no text",
         [](PropertyBag& b) { b.Set(u"PrinterName", JobIdProperty(7)); }, DISP_E_TYPEMISMATCH, 3,
         u"", false},
        {"an empty printer name",
         [](PropertyBag& b) {
             CComBSTR empty(u"");
             b.Set(u"PrinterName", TextProperty(empty));
         },
         E_INVALIDARG, 3, u"", true},
        {"a ticket that is no object",
         [](PropertyBag& b) { b.Set(u"PerUserPrintTicket", JobIdProperty(7)); },
         DISP_E_TYPEMISMATCH, 3, printer, true},
        {"a null ticket object",
         [](PropertyBag& b) { b.Set(u"PerUserPrintTicket", ObjectProperty(nullptr)); }, E_POINTER,
         3, printer, true},
        {"a ticket object without a stream factory",
         [](PropertyBag& b) { b.Set(u"PerUserPrintTicket", ObjectProperty(Make<PropertyBag>())); },
         E_NOINTERFACE, 3, printer, true},
        {"a stream that cannot be had",
         [](PropertyBag& b) {
             b.Set(u"PerUserPrintTicket",
                   ObjectProperty(Make<TicketStreamFactory>("", E_ACCESSDENIED)));
         },
         E_ACCESSDENIED, 3, printer, true},
        {"a default ticket that is no XML",
         [](PropertyBag& b) {
             b.Set(u"PerUserPrintTicket", ObjectProperty(Make<TicketStreamFactory>("<oops")));
         },
         E_FAIL, 3, printer, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PipelineObjects objects;
        objects.bag = PipelineProperties(user.handle);
        c.spoil(*objects.bag);
        CComPtr<Filter> filter;
        filter.Attach(new Filter);
        ASSERT_EQ(S_OK,
                  filter->InitializeFilter(objects.communicator, objects.bag, objects.control));
        EXPECT_EQ(c.expected, filter->InitializePrintTicketManager());
        EXPECT_EQ(nullptr, filter->m_printTicketManager.GetPtrToDefaultPrintTicket());
        EXPECT_EQ(c.asked, objects.bag->Asked(u"PerUserPrintTicket") +
                               objects.bag->Asked(u"PrinterName") +
                               objects.bag->Asked(u"UserSecurityToken"));
        EXPECT_EQ(c.nameField, filter->m_printerName.View());
        EXPECT_EQ(c.tokenField ? user.handle : nullptr, filter->m_userSecurityToken);
        EXPECT_EQ(nullptr, platformtest::CurrentThreadToken());
        EXPECT_TRUE(objects.control->Shutdowns().empty());
    }
}

} // namespace
