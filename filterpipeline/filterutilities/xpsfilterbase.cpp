#include <filterutilities/xpsfilterbase.h>

#include <filterutilities/errorconvention.h>

#include <kldutil/executioncontext.h>
#include <kldutil/keldanexception.h>
#include <kldutil/keldanutilities.h>

#include <objbase.h>

#include <memory>

namespace {

constexpr char kStartOperation[] = "XpsFilterBase::StartOperation";
constexpr int kStartOperationContext = 31639;
constexpr int kStartOperationContextLine = 105;

// An interface of part, or null.
template <class Interface>
CComPtr<Interface> As(IUnknown* part, REFIID iid) {
    CComPtr<Interface> answer;
    if (FAILED(part->QueryInterface(iid, reinterpret_cast<void**>(&answer)))) {
        answer.Release();
    }
    return answer;
}

// The default hook of a sequence or document: its scope's ticket resolved, then the part sent.
template <class Part>
HRESULT ResolveTicketAndSend(PrintTicketManager& tickets, IXpsDocumentConsumer* writer, Part* part,
                             HRESULT (STDMETHODCALLTYPE IXpsDocumentConsumer::*send)(Part*)) {
    if (!part) {
        return E_POINTER;
    }
    if (!writer) {
        return E_PENDING;
    }
    const HRESULT hr = tickets.InitializeWithPrintTicket(part);
    if (FAILED(hr)) {
        return hr;
    }
    return (writer->*send)(part);
}

} // namespace

XpsFilterBase::XpsFilterBase() = default;

XpsFilterBase::~XpsFilterBase() = default;

HRESULT XpsFilterBase::StartOperation() {
    return FU_PIPELINE_ENTRY_POINT([&]() -> HRESULT {
        ExecutionContextLifetime context(std::make_unique<BasicExecutionContext>(
            kStartOperationContext, __FILE__, kStartOperation, kStartOperationContextLine, false,
            KeldanUtilities::SafeFormatString(u"")));

        HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        const bool inApartment = SUCCEEDED(hr);
        if (inApartment) {
            // Whatever escapes the job is reported here, and the filter still asks for the
            // shutdown, leaves its apartment and reports itself finished below.
            hr = CatchAtPipelineEntryPoint(__FILE__, __LINE__, kStartOperation,
                                           [&] { return RunJob(); });
            // The provider belongs to this thread: the pipeline may release the filter on
            // another, where it could no longer be closed.
            m_printTicketManager.CloseProvider();
        }
        if (FAILED(hr)) {
            if (IsFilterFinished()) {
                hr = S_OK; // the pipeline asked the filter to stop
            } else {
                RequestShutdown(hr);
            }
        }
        if (inApartment) {
            CoUninitialize();
        }
        FilterFinished();
        return hr;
    });
}

HRESULT XpsFilterBase::RunJob() {
    HRESULT hr = InitialiseXDIO();
    if (SUCCEEDED(hr)) {
        hr = InitializePrintTicketManager();
    }
    if (FAILED(hr)) {
        return hr;
    }
    hr = Walk();
    if (SUCCEEDED(hr) && !IsFilterFinished()) {
        // The writer's answer counts: a package that cannot be completed is a failed job.
        const HRESULT closed = m_xpsWriter->CloseSender();
        if (FAILED(closed)) {
            hr = closed;
        }
    }
    return hr;
}

HRESULT XpsFilterBase::Walk() {
    HRESULT hr = S_OK;
    while (SUCCEEDED(hr)) {
        CComPtr<IUnknown> part;
        hr = m_xpsReader->GetXpsPart(&part);
        if (FAILED(hr)) {
            break;
        }
        if (!part || IsFilterFinished()) {
            hr = OnFinalize();
            break;
        }
        try {
            hr = HandlePart(part);
        } catch (const KeldanException& exception) {
            KeldanException::DisplayExceptionMessage(
                false, true, &exception, __FILE__, __LINE__, kStartOperation,
                UtilitiesDllPerThreadStorage::GetExecutionContextStack(), nullptr, CXString(),
                CXString());
            hr = E_FAIL;
        }
    }
    return hr;
}

HRESULT XpsFilterBase::HandlePart(IUnknown* part) {
    if (CComPtr<IXpsDocument> document = As<IXpsDocument>(part, IID_IXpsDocument)) {
        if (m_deferring) {
            m_heldXpsDocument = document;
            return S_OK;
        }
        return OnXpsDocument(document);
    }
    if (CComPtr<IFixedDocumentSequence> sequence =
            As<IFixedDocumentSequence>(part, IID_IFixedDocumentSequence)) {
        if (m_deferring) {
            m_heldDocumentSequence = sequence;
            return S_OK;
        }
        return OnFixedDocumentSequence(sequence);
    }
    if (CComPtr<IFixedDocument> document = As<IFixedDocument>(part, IID_IFixedDocument)) {
        ++m_documentCount;
        if (m_deferring) {
            m_heldFixedDocument = document;
            return S_OK;
        }
        return OnFixedDocument(document);
    }
    if (CComPtr<IFixedPage> page = As<IFixedPage>(part, IID_IFixedPage)) {
        if (m_deferring) {
            const HRESULT hr = HandOverHeldParts();
            if (FAILED(hr)) {
                return hr;
            }
        }
        ++m_pageCount;
        return OnFixedPage(page);
    }
    return m_xpsWriter->SendXpsUnknown(part);
}

HRESULT XpsFilterBase::HandOverHeldParts() {
    m_deferring = false;
    const CComPtr<IXpsDocument> xpsDocument = std::move(m_heldXpsDocument);
    const CComPtr<IFixedDocumentSequence> sequence = std::move(m_heldDocumentSequence);
    const CComPtr<IFixedDocument> document = std::move(m_heldFixedDocument);

    // A kind that never came is handed as null, and what the hook says to that is ignored; a
    // held part that its hook cannot handle fails the job as it would after the first page.
    HRESULT hr = OnXpsDocument(xpsDocument);
    if (!xpsDocument || SUCCEEDED(hr)) {
        hr = OnFixedDocumentSequence(sequence);
        if (!sequence || SUCCEEDED(hr)) {
            hr = OnFixedDocument(document);
            if (!document) {
                hr = S_OK;
            }
        }
    }
    return hr;
}

HRESULT XpsFilterBase::OnXpsDocument(IXpsDocument* document) {
    if (!document) {
        return E_POINTER;
    }
    if (!m_xpsWriter) {
        return E_PENDING;
    }
    return m_xpsWriter->SendXpsDocument(document);
}

HRESULT XpsFilterBase::OnFixedDocumentSequence(IFixedDocumentSequence* sequence) {
    return ResolveTicketAndSend(m_printTicketManager, m_xpsWriter, sequence,
                                &IXpsDocumentConsumer::SendFixedDocumentSequence);
}

HRESULT XpsFilterBase::OnFixedDocument(IFixedDocument* document) {
    return ResolveTicketAndSend(m_printTicketManager, m_xpsWriter, document,
                                &IXpsDocumentConsumer::SendFixedDocument);
}

HRESULT XpsFilterBase::OnFixedPage(IFixedPage* page) {
    if (!page) {
        return E_POINTER;
    }
    if (!m_xpsWriter) {
        return E_PENDING;
    }
    return m_xpsWriter->SendFixedPage(page);
}

HRESULT XpsFilterBase::OnFinalize() {
    return S_OK;
}

HRESULT XpsFilterBase::InitialiseXDIO() {
    m_xpsReader.Release();
    m_xpsWriter.Release();
    if (!m_communicator) {
        return E_PENDING;
    }
    // The communicator hands out the objects as void*; both are COM objects, checked below.
    CComPtr<IUnknown> reader;
    CComPtr<IUnknown> writer;
    HRESULT hr = m_communicator->RequestReader(reinterpret_cast<void**>(&reader));
    if (SUCCEEDED(hr)) {
        hr = m_communicator->RequestWriter(reinterpret_cast<void**>(&writer));
    }
    if (FAILED(hr)) {
        return hr;
    }
    const bool readerIsXps =
        reader && SUCCEEDED(reader->QueryInterface(IID_IXpsDocumentProvider,
                                                   reinterpret_cast<void**>(&m_xpsReader)));
    const bool writerIsXps =
        writer && SUCCEEDED(writer->QueryInterface(IID_IXpsDocumentConsumer,
                                                   reinterpret_cast<void**>(&m_xpsWriter)));
    if (!readerIsXps || !writerIsXps) {
        RequestShutdown(E_FAIL);
        return E_FAIL;
    }
    return hr;
}
