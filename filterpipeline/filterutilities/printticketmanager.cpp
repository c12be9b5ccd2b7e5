#include <filterutilities/printticketmanager.h>

#include <filterutilities/debugoutput.h>
#include <filterutilities/errorconvention.h>
#include <filterutilities/printreadstreamtoistream.h>
#include <filterutilities/printticketxmldocument.h>

#include <kldutil/setthreadtokenwrapper.h>

#include <objbase.h>
#include <oleauto.h>

#include <array>
#include <new>
#include <optional>
#include <utility>

namespace {

constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
constexpr DWORD kPrintTicketApiVersion = 1;

HRESULT CreateDomDocument(CComPtr<IXMLDOMDocument2>& document) {
    return ::CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_ALL, IID_IXMLDOMDocument2,
                              reinterpret_cast<void**>(&document));
}

// Loads a document from any COM stream, read from where it stands. Bytes that are not
// well-formed XML give E_FAIL: load says so with S_FALSE, which a caller would take for
// success.
HRESULT LoadFrom(IXMLDOMDocument2* document, IUnknown* stream) {
    VARIANT source;
    ::VariantInit(&source);
    source.vt = VT_UNKNOWN;
    source.punkVal = stream; // borrowed: not cleared
    VARIANT_BOOL loaded = VARIANT_FALSE;
    const HRESULT hr = document->load(source, &loaded);
    if (FAILED(hr)) {
        return hr;
    }
    return loaded == VARIANT_TRUE ? S_OK : E_FAIL;
}

// The calling thread runs as the token's user while an object lives, and has its earlier
// impersonation (none, on a pipeline thread) back afterwards. A token that cannot be
// impersonated raises KeldanComException with the Win32 error; a thread whose last error was
// not set still fails, with E_FAIL.
class Impersonation {
public:
    explicit Impersonation(HANDLE token) {
        try {
            m_wrapper.emplace(token);
        } catch (const KeldanComException& exception) {
            const HRESULT hr = exception.GetHresult();
            if (SUCCEEDED(hr)) {
                FU_THROW_HR(E_FAIL);
            }
            throw;
        }
    }

private:
    std::optional<SetThreadTokenWrapper> m_wrapper;
};

} // namespace

IXMLDOMDocument2*
PrintTicketManager::TicketCopy::ServedFor(IXMLDOMDocument2* source) const noexcept {
    if (!m_copy || m_source.p != source || !m_known.copy || (source && !m_known.source)) {
        return nullptr;
    }
    const Counts now = Now();
    return now.copy == m_known.copy && now.source == m_known.source ? m_copy.p : nullptr;
}

void PrintTicketManager::TicketCopy::Remember(IXMLDOMDocument2* copy,
                                              IXMLDOMDocument2* source) noexcept {
    m_copy = copy;
    m_source = source;
    m_known = Now();
}

PrintTicketManager::TicketCopy::Counts PrintTicketManager::TicketCopy::Now() const noexcept {
    return {PrintSchemaXmlDocument::ChangeCountOf(m_copy),
            PrintSchemaXmlDocument::ChangeCountOf(m_source)};
}

void PrintTicketManager::TicketCopy::TakeInWrapping(const Counts& before) noexcept {
    if (before.copy && before.copy == m_known.copy) {
        m_known.copy = PrintSchemaXmlDocument::ChangeCountOf(m_copy);
    }
    if (before.source && before.source == m_known.source) {
        m_known.source = PrintSchemaXmlDocument::ChangeCountOf(m_source);
    }
}

PrintTicketManager::PrintTicketManager() = default;

PrintTicketManager::~PrintTicketManager() {
    const HRESULT hr = CloseProvider();
    if (FAILED(hr)) {
        DbgPrint("PrintTicketManager: the PrintTicket provider cannot be closed (0x%08X): it "
                 "belongs to the thread that opened it, and closes only as its user\n",
                 static_cast<unsigned>(hr));
    }
}

PrintTicketManager::ScopeTickets* PrintTicketManager::Scope(EPrintTicketScope scope) noexcept {
    switch (scope) {
    case kPTPageScope:
        return &m_page;
    case kPTDocumentScope:
        return &m_document;
    case kPTJobScope:
        return &m_job;
    }
    return nullptr;
}

HRESULT PrintTicketManager::Initialise(IPrintReadStream* stream, BSTR printerName,
                                       HANDLE userToken) {
    // The provider of the previous job is closed as that job's user, whose token is still
    // valid until this call takes the new one. One that stays open (its user could not be
    // impersonated) keeps that user, and nothing changes.
    const HRESULT closed = CloseProvider();
    if (m_provider) {
        return closed;
    }
    m_userToken = userToken;
    m_printerName = CXString(printerName, static_cast<int>(::SysStringLen(printerName)));
    if (!stream) {
        return E_POINTER;
    }
    if (::SysStringLen(printerName) == 0) {
        return E_INVALIDARG;
    }
    return CatchComException([&]() -> HRESULT {
        const Impersonation asUser(userToken);
        if (m_mergeEnabled) {
            const HRESULT hr = ::PTOpenProvider(m_printerName, kPrintTicketApiVersion, &m_provider);
            if (FAILED(hr)) {
                m_provider = nullptr;
                return hr;
            }
        }
        CComPtr<IStream> adapter;
        adapter.Attach(new (std::nothrow) CPrintReadStreamToIStream(stream));
        if (!adapter) {
            return E_OUTOFMEMORY;
        }
        return InitialisePrintTickets(adapter);
    });
}

HRESULT PrintTicketManager::InitialisePrintTickets(IStream* stream) {
    m_defaultTicket.Release();
    FreePrintTickets(kPTJobScope);
    // Nothing of the tickets before serves again: the copies and readings go too.
    for (ScopeTickets* tickets : {&m_job, &m_document, &m_page}) {
        tickets->partCopy = {};
        tickets->mergedCopy = {};
        tickets->readPart.Release();
        tickets->readTicket = {};
        tickets->readMerged = {};
    }
    if (!stream) {
        return E_POINTER;
    }
    CComPtr<IXMLDOMDocument2> ticket;
    const HRESULT hr = SetPTFromStream(stream, &ticket);
    if (SUCCEEDED(hr)) {
        m_defaultTicket = std::move(ticket);
    }
    return hr;
}

HRESULT PrintTicketManager::InitializeWithPrintTicket(IFixedDocumentSequence* sequence) {
    return InitializeWithPartTicket(kPTJobScope, sequence);
}

HRESULT PrintTicketManager::InitializeWithPrintTicket(IFixedDocument* document) {
    return InitializeWithPartTicket(kPTDocumentScope, document);
}

HRESULT PrintTicketManager::InitializeWithPrintTicket(IFixedPage* page) {
    return InitializeWithPartTicket(kPTPageScope, page);
}

template <class Part>
HRESULT PrintTicketManager::InitializeWithPartTicket(EPrintTicketScope scope, Part* part) {
    if (!part) {
        return E_POINTER;
    }
    // The tickets of the narrower scopes belong to the previous part of this level (the last
    // page of the previous document, say): a view of the new part must not see them.
    if (scope != kPTPageScope) {
        FreePrintTickets(static_cast<EPrintTicketScope>(scope - 1));
    }
    CComPtr<IPartPrintTicket> ticket;
    const HRESULT hr = part->GetPrintTicket(&ticket);
    if (hr == kNotFound || (SUCCEEDED(hr) && !ticket)) {
        FreePrintTickets(scope);
        return UpdateDefaultPTs(scope);
    }
    if (FAILED(hr)) {
        return hr;
    }
    if (TakeTicketReadBefore(scope, ticket)) {
        return S_OK;
    }
    // The part may send this ticket on: no new ticket part of the job may take its name.
    CComBSTR uri;
    if (SUCCEEDED(ticket->GetUri(&uri))) {
        try {
            m_ticketPartNames.Use(std::u16string_view(uri.m_str ? uri.m_str : u"", uri.Length()));
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }
    ScopeTickets* record = Scope(scope);
    record->readPart.Release();
    const HRESULT merged = MergeTicket(scope, ticket);
    if (SUCCEEDED(merged)) {
        record->readPart = ticket;
        record->readTicket.Remember(record->partTicket, nullptr);
        if (m_mergeEnabled) {
            record->readMerged.Remember(record->mergedTicket, MergeBaseOf(scope));
        }
    }
    return merged;
}

bool PrintTicketManager::TakeTicketReadBefore(EPrintTicketScope scope,
                                              IPartPrintTicket* ticket) noexcept {
    ScopeTickets* record = Scope(scope);
    if (!record || !ticket || record->readPart.p != ticket) {
        return false;
    }
    IXMLDOMDocument2* read = record->readTicket.ServedFor(nullptr);
    IXMLDOMDocument2* base = m_mergeEnabled ? MergeBaseOf(scope) : nullptr;
    IXMLDOMDocument2* merged = base ? record->readMerged.ServedFor(base) : nullptr;
    if (!read || (m_mergeEnabled && !merged)) {
        return false;
    }
    record->partTicket = read;
    if (m_mergeEnabled) {
        record->mergedTicket = merged;
    }
    return true;
}

IXMLDOMDocument2* PrintTicketManager::MergeBaseOf(EPrintTicketScope scope) const noexcept {
    switch (scope) {
    case kPTPageScope:
        return m_document.mergedTicket;
    case kPTDocumentScope:
        return m_job.mergedTicket;
    case kPTJobScope:
        return m_defaultTicket;
    }
    return nullptr;
}

HRESULT PrintTicketManager::InitializeWithPrintTicket(EPrintTicketScope scope,
                                                      IXMLDOMDocument2* ticket) {
    if (!Scope(scope)) {
        return E_INVALIDARG;
    }
    FreePrintTickets(scope);
    HRESULT hr = UpdateDefaultPTs(scope);
    if (SUCCEEDED(hr) && ticket) {
        hr = MergeTicket(scope, ticket);
    }
    return hr;
}

HRESULT PrintTicketManager::MergeTicket(EPrintTicketScope scope, IPartPrintTicket* ticket) {
    if (!ticket) {
        return E_POINTER;
    }
    CComPtr<IXMLDOMDocument2> document;
    HRESULT hr = CreateDomDocument(document);
    if (FAILED(hr)) {
        return hr;
    }
    CComPtr<IPrintReadStream> stream;
    hr = ticket->GetStream(&stream);
    if (FAILED(hr)) {
        return hr;
    }
    if (!stream) {
        return E_FAIL;
    }
    CComPtr<ISequentialStream> adapter;
    adapter.Attach(new (std::nothrow) pfp::PrintReadStreamToSeqStream(stream));
    if (!adapter) {
        return E_OUTOFMEMORY;
    }
    hr = LoadFrom(document, adapter);
    if (FAILED(hr)) {
        return hr;
    }
    // The document was parsed from the part's own bytes and nobody else holds it: it is the
    // scope's private copy as it stands, with no second round through the serialiser.
    return AdoptPartTicket(scope, document);
}

HRESULT PrintTicketManager::MergeTicket(EPrintTicketScope scope, IXMLDOMDocument2* ticket) {
    if (!ticket) {
        return E_POINTER;
    }
    CComPtr<IXMLDOMDocument2> copy;
    const HRESULT hr = SetPTFromDOMDoc(ticket, copy);
    if (FAILED(hr)) {
        return hr;
    }
    return AdoptPartTicket(scope, copy);
}

HRESULT PrintTicketManager::AdoptPartTicket(EPrintTicketScope scope,
                                            CComPtr<IXMLDOMDocument2>& ticket) {
    ScopeTickets* record = Scope(scope);
    if (!record) {
        return E_INVALIDARG;
    }
    record->partTicket = std::move(ticket);
    if (!m_mergeEnabled) {
        return S_OK;
    }
    IXMLDOMDocument2* base = MergeBaseOf(scope);
    if (!base) {
        return E_PENDING;
    }
    CComPtr<IXMLDOMDocument2> merged;
    const HRESULT hr = GetMergedTicket(scope, record->partTicket, base, &merged);
    if (SUCCEEDED(hr)) {
        record->mergedTicket = std::move(merged);
    }
    return hr;
}

HRESULT PrintTicketManager::GetMergedTicket(EPrintTicketScope scope, IXMLDOMDocument2* delta,
                                            IXMLDOMDocument2* base, IXMLDOMDocument2** merged) {
    if (!m_provider) {
        return E_PENDING;
    }
    if (!merged || !delta || !base) {
        return E_POINTER;
    }
    *merged = nullptr;
    return CatchComException([&]() -> HRESULT {
        CComPtr<IStream> result;
        HRESULT hr = ::CreateStreamOnHGlobal(nullptr, TRUE, &result);
        if (FAILED(hr)) {
            return hr;
        }
        CComPtr<IStream> baseStream;
        hr = base->QueryInterface(IID_IStream, reinterpret_cast<void**>(&baseStream));
        if (FAILED(hr)) {
            return hr;
        }
        CComPtr<IStream> deltaStream;
        hr = delta->QueryInterface(IID_IStream, reinterpret_cast<void**>(&deltaStream));
        if (FAILED(hr)) {
            return hr;
        }
        {
            const Impersonation asUser(m_userToken);
            CComBSTR message; // what was wrong with a ticket the provider refused: not used
            hr = ::PTMergeAndValidatePrintTicket(m_provider, baseStream, deltaStream, scope, result,
                                                 &message);
        }
        if (hr == STG_E_MEDIUMFULL) {
            return E_OUTOFMEMORY; // the result stream lives in memory
        }
        if (FAILED(hr)) {
            return hr;
        }
        return SetPTFromStream(result, merged);
    });
}

HRESULT PrintTicketManager::UpdateDefaultPTs(EPrintTicketScope scope) {
    if (!m_defaultTicket) {
        return E_PENDING;
    }
    // Each missing ticket becomes a copy of the next wider scope's, down to the scope asked
    // for: the copy made before while it still reads as a new one would, else a new one. The
    // first failure ends the chain and is the answer.
    const auto fill = [](CComPtr<IXMLDOMDocument2>& target, TicketCopy& made,
                         IXMLDOMDocument2* source) {
        if (target) {
            return S_OK;
        }
        if (IXMLDOMDocument2* copy = made.ServedFor(source)) {
            target = copy;
            return S_OK;
        }
        const HRESULT hr = SetPTFromDOMDoc(source, target);
        if (SUCCEEDED(hr)) {
            made.Remember(target, source);
        }
        return hr;
    };
    HRESULT hr = fill(m_job.partTicket, m_job.partCopy, m_defaultTicket);
    if (SUCCEEDED(hr) && scope <= kPTDocumentScope) {
        hr = fill(m_document.partTicket, m_document.partCopy, m_job.partTicket);
    }
    if (SUCCEEDED(hr) && scope == kPTPageScope) {
        hr = fill(m_page.partTicket, m_page.partCopy, m_document.partTicket);
    }
    if (FAILED(hr) || !m_mergeEnabled) {
        return hr;
    }
    hr = fill(m_job.mergedTicket, m_job.mergedCopy, m_defaultTicket);
    if (SUCCEEDED(hr) && scope <= kPTDocumentScope) {
        hr = fill(m_document.mergedTicket, m_document.mergedCopy, m_job.mergedTicket);
    }
    if (SUCCEEDED(hr) && scope == kPTPageScope) {
        hr = fill(m_page.mergedTicket, m_page.mergedCopy, m_document.mergedTicket);
    }
    return hr;
}

void PrintTicketManager::FreePrintTickets(EPrintTicketScope scope) noexcept {
    if (scope < kPTPageScope || scope > kPTJobScope) {
        return;
    }
    for (ScopeTickets* record : {&m_page, &m_document, &m_job}) {
        record->partTicket.Release();
        record->mergedTicket.Release();
        if (record == Scope(scope)) {
            break;
        }
    }
}

HRESULT PrintTicketManager::GetTicket(EPrintTicketScope scope, XpsFilterPrintTicket** ticket) {
    if (!ticket) {
        return E_POINTER;
    }
    *ticket = nullptr;
    ScopeTickets* record = Scope(scope);
    if (!record || FAILED(UpdateDefaultPTs(scope))) {
        return E_FAIL;
    }
    IXMLDOMDocument2* merged = m_mergeEnabled ? record->mergedTicket.p : nullptr;
    if (m_mergeEnabled && !merged) {
        return E_FAIL;
    }
    // The copies standing in the fill, with their counts before the view wraps them: what the
    // wrapping changes is taken in, so that they can serve the next part too.
    std::array<std::pair<TicketCopy*, TicketCopy::Counts>, 12> copies{};
    size_t held = 0;
    for (ScopeTickets* tickets : {&m_job, &m_document, &m_page}) {
        for (auto [copy, place] : {std::pair{&tickets->partCopy, tickets->partTicket.p},
                                   std::pair{&tickets->mergedCopy, tickets->mergedTicket.p},
                                   std::pair{&tickets->readTicket, tickets->partTicket.p},
                                   std::pair{&tickets->readMerged, tickets->mergedTicket.p}}) {
            if (copy->Copy() && copy->Copy() == place) {
                copies[held++] = {copy, copy->Now()};
            }
        }
    }
    const HRESULT hr = CatchComException([&] {
        record->view.Initialize(scope, m_defaultTicket, m_job.partTicket, m_document.partTicket,
                                m_page.partTicket, merged, m_printerName, m_userToken);
        return S_OK;
    });
    for (size_t index = 0; index < held; ++index) {
        copies[index].first->TakeInWrapping(copies[index].second);
    }
    if (FAILED(hr)) {
        return E_FAIL;
    }
    *ticket = &record->view;
    return S_OK;
}

HRESULT PrintTicketManager::AddUpdatedPrintTicketToMap(IPartPrintTicket* ticket) {
    if (!ticket) {
        return E_POINTER;
    }
    CComBSTR uri;
    const HRESULT hr = ticket->GetUri(&uri);
    if (FAILED(hr)) {
        return hr;
    }
    m_updatedTickets.try_emplace(CXString(uri.m_str, static_cast<int>(uri.Length())), ticket);
    return hr;
}

HRESULT PrintTicketManager::GetUpdatedPrintTicketFromMap(const CXString& uri,
                                                         IPartPrintTicket** ticket) const {
    if (!ticket) {
        return E_POINTER;
    }
    const auto found = m_updatedTickets.find(uri);
    *ticket = found == m_updatedTickets.end() ? nullptr : found->second.p;
    return *ticket ? S_OK : S_FALSE;
}

HRESULT PrintTicketManager::SetPTFromStream(IStream* stream, IXMLDOMDocument2** document) {
    if (!document) {
        return E_POINTER;
    }
    *document = nullptr;
    if (!stream) {
        return E_POINTER;
    }
    CComPtr<IXMLDOMDocument2> parsed;
    HRESULT hr = CreateDomDocument(parsed);
    if (FAILED(hr)) {
        return hr;
    }
    LARGE_INTEGER start{};
    hr = stream->Seek(start, STREAM_SEEK_SET, nullptr);
    if (FAILED(hr)) {
        return hr;
    }
    hr = LoadFrom(parsed, stream);
    if (SUCCEEDED(hr)) {
        *document = parsed.Detach();
    }
    return hr;
}

HRESULT PrintTicketManager::SetPTFromDOMDoc(IXMLDOMDocument2* source,
                                            CComPtr<IXMLDOMDocument2>& target) {
    if (!source) {
        return E_POINTER;
    }
    CComPtr<IStream> serialised;
    HRESULT hr = source->QueryInterface(IID_IStream, reinterpret_cast<void**>(&serialised));
    if (FAILED(hr)) {
        return hr;
    }
    CComPtr<IXMLDOMDocument2> copy;
    hr = SetPTFromStream(serialised, &copy);
    if (SUCCEEDED(hr)) {
        target = std::move(copy);
    }
    return hr;
}

HRESULT PrintTicketManager::GetDevmodeFromPrintTicketString(const WCHAR* xml, ByteBuffer& devmode) {
    devmode.clear();
    if (!xml) {
        return E_POINTER;
    }
    const CComBSTR text(xml);
    CComPtr<IXMLDOMDocument2> document;
    HRESULT hr = CreateDomDocument(document);
    if (FAILED(hr)) {
        return hr;
    }
    VARIANT_BOOL loaded = VARIANT_FALSE;
    hr = document->loadXML(text, &loaded);
    if (FAILED(hr) || loaded != VARIANT_TRUE) {
        return FAILED(hr) ? hr : S_FALSE;
    }
    hr = CatchComException([&] {
        std::optional<PrintTicketXmlDocument> ticket;
        // A document that is not a print ticket is refused by the wrapper with S_FALSE,
        // which would read as "no snapshot": say what it is.
        const HRESULT wrapped = CatchComException([&] {
            ticket.emplace(document);
            return S_OK;
        });
        if (wrapped != S_OK) {
            return FAILED(wrapped) ? wrapped : E_INVALIDARG;
        }
        return ticket->GetDevmodeFromPrintTicket(devmode);
    });
    if (FAILED(hr)) {
        devmode.clear();
    }
    return hr;
}

HRESULT PrintTicketManager::CloseProvider() noexcept {
    if (!m_provider) {
        return S_OK;
    }
    // Closing runs the provider's code like any other call: as the user, never as the host.
    // When the user cannot be impersonated the provider stays open, so that a later call (the
    // destructor's) can try again, and the failure is the answer.
    try {
        return CatchComException([&] {
            const Impersonation asUser(m_userToken);
            return ::PTCloseProvider(std::exchange(m_provider, nullptr));
        });
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}
