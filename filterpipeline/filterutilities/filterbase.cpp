#include <filterutilities/filterbase.h>

#include <filterutilities/errorconvention.h>
#include <filterutilities/schematext.h>

#include <oleauto.h>

using SchemaText::ScopedVariant;

namespace {

constexpr ULONG kJobIdNotRead = 0xFFFFFFFFu;

// A property's payload, asked of the bag while the cache still holds notRead; *out always
// receives the cache.
template <class T, class Payload>
HRESULT ReadPropertyOnce(IPrintPipelinePropertyBag* bag, const WCHAR* name, T notRead, T& cache,
                         T* out, Payload payload) {
    if (!out) {
        return E_POINTER;
    }
    HRESULT hr = S_OK;
    if (cache == notRead) {
        if (!bag) {
            hr = E_POINTER;
        } else {
            ScopedVariant value;
            hr = bag->GetProperty(name, &value);
            if (SUCCEEDED(hr)) {
                cache = payload(value);
            }
        }
    }
    *out = cache;
    return hr;
}

} // namespace

FilterBase::FilterBase() : CUnknown(IID_IPrintPipelineFilter) {}

FilterBase::~FilterBase() {
    FilterFinished();
}

HRESULT FilterBase::InitializeFilter(IInterFilterCommunicator* communicator,
                                     IPrintPipelinePropertyBag* propertyBag,
                                     IPrintPipelineManagerControl* managerControl) {
    return FU_PIPELINE_ENTRY_POINT([&]() -> HRESULT {
        if (!communicator || !propertyBag || !managerControl) {
            RequestShutdown(E_POINTER);
            return E_POINTER;
        }
        m_managerControl = managerControl;
        m_communicator = communicator;
        m_propertyBag = propertyBag;
        return S_OK;
    });
}

HRESULT FilterBase::ShutdownOperation() {
    return FU_PIPELINE_ENTRY_POINT([&]() -> HRESULT {
        FilterFinished();
        return S_OK;
    });
}

void FilterBase::FilterFinished() {
    if (!m_managerControl) {
        return;
    }
    // The flag is claimed before the call, so that of two threads finishing at once only one
    // is heard.
    LONG notSent = 0;
    if (m_filterFinished.compare_exchange_strong(notSent, 1)) {
        m_managerControl->FilterFinished();
    }
}

void FilterBase::RequestShutdown(HRESULT reason) {
    if (m_managerControl) {
        m_managerControl->RequestShutdown(reason, nullptr);
    }
}

HRESULT FilterBase::GetPrinterHandleFromPropertyBag(void** handle) {
    return ReadPropertyOnce(m_propertyBag, u"PrinterHandle", INVALID_HANDLE_VALUE, m_printerHandle,
                            handle, [](const VARIANT& value) { return value.byref; });
}

HRESULT FilterBase::GetJobIdFromPropertyBag(ULONG* jobId) {
    return ReadPropertyOnce(m_propertyBag, u"PrintJobId", kJobIdNotRead, m_jobId, jobId,
                            [](const VARIANT& value) { return value.ulVal; });
}

HRESULT FilterBase::InitializePrintTicketManager() {
    if (!m_propertyBag) {
        return E_PENDING;
    }
    return CatchComException([&]() -> HRESULT {
        ScopedVariant ticket;
        ScopedVariant printerName;
        ScopedVariant token;
        HRESULT hr = m_propertyBag->GetProperty(u"PerUserPrintTicket", &ticket);
        if (SUCCEEDED(hr)) {
            hr = m_propertyBag->GetProperty(u"PrinterName", &printerName);
        }
        if (SUCCEEDED(hr)) {
            hr = m_propertyBag->GetProperty(u"UserSecurityToken", &token);
        }
        if (FAILED(hr)) {
            return hr;
        }
        // The name and the ticket object are used through their pointers, so their types are
        // checked; the token is only handed on.
        if (printerName.vt != VT_BSTR) {
            return DISP_E_TYPEMISMATCH;
        }
        m_printerName =
            CXString(printerName.bstrVal, static_cast<int>(SysStringLen(printerName.bstrVal)));
        m_userSecurityToken = token.byref;

        if (ticket.vt != VT_UNKNOWN) {
            return DISP_E_TYPEMISMATCH;
        }
        if (!ticket.punkVal) {
            return E_POINTER;
        }
        CComPtr<IPrintReadStreamFactory> factory;
        hr = ticket.punkVal->QueryInterface(IID_IPrintReadStreamFactory,
                                            reinterpret_cast<void**>(&factory));
        if (FAILED(hr)) {
            return hr;
        }
        CComPtr<IPrintReadStream> stream;
        hr = factory->GetStream(&stream);
        if (FAILED(hr)) {
            return hr;
        }
        return m_printTicketManager.Initialise(stream, printerName.bstrVal, m_userSecurityToken);
    });
}
