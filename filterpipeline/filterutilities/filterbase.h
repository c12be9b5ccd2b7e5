// FilterBase: the root of every print filter of the driver, the pipeline's
// IPrintPipelineFilter over the library's reference counting.
//
// Contract.
// - The pipeline creates the filter (one reference, released by the pipeline), calls
//   InitializeFilter, then StartOperation on the filter's own thread; StartOperation returns
//   when the filter's work is over. ShutdownOperation may come at any time after
//   InitializeFilter, also from another thread while StartOperation runs.
// - InitializeFilter keeps the communicator, the property bag and the manager control, one
//   reference each, and reads nothing yet; a later call replaces them. It must not run while
//   another of the filter's operations runs.
// - The manager control hears FilterFinished exactly once per filter object, from whichever
//   comes first: ShutdownOperation, the end of StartOperation or the destructor; never when
//   no manager control was given. The filter-finished flag shows that it was sent; a walk
//   reads it between parts to stop when the pipeline asked.
// - Job properties come from the property bag: the printer handle and the job id on demand
//   (cached once read), the printer name, the user's default ticket and the user's token when
//   the print ticket manager is initialised (StartOperation of a subclass does that). The
//   printer handle and the token are borrowed from the pipeline and never closed.
// - The filter owns its PrintTicketManager; a subclass sets the manager's merge switch
//   before StartOperation. The manager's PrintTicket provider belongs to the thread that
//   initialised it, and the pipeline may release the filter on another: a StartOperation that
//   initialises the manager closes the provider before it returns
//   (m_printTicketManager.CloseProvider(); XpsFilterBase does).
// - The pipeline entry points let no exception escape: each is reported and becomes E_FAIL.
//   The other operations return HRESULTs.
#pragma once

#include <filterutilities/cunknown.h>
#include <filterutilities/filterutilitiesexport.h>
#include <filterutilities/printticketmanager.h>

#include <kldutil/cxstring.h>

#include <atlbase.h>
#include <filterpipeline.h>
#include <windows.h>

#include <atomic>

class FILTERUTILITIES_API FilterBase : public CUnknown<IPrintPipelineFilter> {
public:
    FilterBase();
    FilterBase(const FilterBase&) = delete;
    FilterBase& operator=(const FilterBase&) = delete;
    // Sends FilterFinished unless it was sent before.
    ~FilterBase() override;

    // Keeps the three pipeline objects. E_POINTER when one is null: the call's objects are not
    // kept, and a manager control held from an earlier call is asked for a shutdown.
    STDMETHODIMP InitializeFilter(IInterFilterCommunicator* communicator,
                                  IPrintPipelinePropertyBag* propertyBag,
                                  IPrintPipelineManagerControl* managerControl) override;
    // Sends FilterFinished (once) and answers S_OK; a running walk stops at its next part.
    STDMETHODIMP ShutdownOperation() override;

    // "PrinterHandle" and "PrintJobId" of the property bag, read once. *handle / *jobId always
    // receive the cached value, which stays the sentinel (-1, 0xFFFFFFFF) while reading fails:
    // the next call asks the bag again. E_POINTER for a null out pointer or no property bag;
    // otherwise the bag's answer.
    HRESULT GetPrinterHandleFromPropertyBag(void** handle);
    HRESULT GetJobIdFromPropertyBag(ULONG* jobId);

protected:
    // Reads "PerUserPrintTicket", "PrinterName" and "UserSecurityToken" from the property bag
    // and initialises the print ticket manager with the user's default ticket stream, the
    // printer name and the token. E_PENDING without a property bag; the first failure of the
    // bag, of the ticket stream or of the manager as it comes; DISP_E_TYPEMISMATCH when the
    // printer name is not text or the ticket is not an object, E_POINTER when no ticket object
    // is given. The printer name and token fields change only once all three were read.
    HRESULT InitializePrintTicketManager();

    // Sends FilterFinished to the manager control once; safe from two threads at once.
    void FilterFinished();
    // Asks the manager control (when one is held) to shut the pipeline down.
    void RequestShutdown(HRESULT reason);
    bool IsFilterFinished() const noexcept { return m_filterFinished.load() != 0; }

    CComPtr<IInterFilterCommunicator> m_communicator;
    CComPtr<IPrintPipelineManagerControl> m_managerControl;
    CComPtr<IPrintPipelinePropertyBag> m_propertyBag;
    PrintTicketManager m_printTicketManager;
    std::atomic<LONG> m_filterFinished{0};
    CXString m_printerName;
    HANDLE m_printerHandle = INVALID_HANDLE_VALUE;
    HANDLE m_userSecurityToken = nullptr;
    ULONG m_jobId = 0xFFFFFFFFu;
};
