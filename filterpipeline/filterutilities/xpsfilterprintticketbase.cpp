#include <filterutilities/xpsfilterprintticketbase.h>

#include <filterutilities/errorconvention.h>

#include <kldutil/bytebuffer.h>
#include <kldutil/persistentattributes.h>

#include <string_view>
#include <utility>

namespace {

constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

// A wrapper of its own for a DOM document (null for none). A document that is not a print
// ticket is refused with E_INVALIDARG: construction says so with S_FALSE, which a caller that
// turns the exception into its HRESULT would take for success.
std::unique_ptr<PrintTicketXmlDocument> Wrap(IXMLDOMDocument2* document) {
    if (!document) {
        return nullptr;
    }
    try {
        return std::make_unique<PrintTicketXmlDocument>(document);
    } catch (const KeldanComException& exception) {
        const HRESULT hr = exception.GetHresult();
        if (SUCCEEDED(hr)) {
            FU_THROW_HR(E_INVALIDARG);
        }
        throw;
    }
}

// The wrapper of the previous fill when it wraps the same DOM document, unchanged since it was
// wrapped (taken from held, and kept says so); otherwise a new one.
std::unique_ptr<PrintTicketXmlDocument> Rewrap(std::unique_ptr<PrintTicketXmlDocument>& held,
                                               IXMLDOMDocument2* document, bool& kept) {
    if (held && document && held->GetDomDocPtr() == document && held->IsCurrent()) {
        kept = true;
        return std::move(held);
    }
    return Wrap(document);
}

} // namespace

XpsFilterPrintTicketBase::XpsFilterPrintTicketBase() = default;

XpsFilterPrintTicketBase::~XpsFilterPrintTicketBase() = default;

void XpsFilterPrintTicketBase::Initialize(EPrintTicketScope scope, IXMLDOMDocument2* defaultTicket,
                                          IXMLDOMDocument2* jobTicket,
                                          IXMLDOMDocument2* documentTicket,
                                          IXMLDOMDocument2* pageTicket,
                                          IXMLDOMDocument2* mergedTicket,
                                          const CXString& printerName, HANDLE userToken) {
    // Every wrapper is made before anything changes, so a document that is not a print ticket
    // leaves the whole previous fill in place rather than half of it: a wrapper kept from the
    // previous fill goes back where it was.
    CXString name = printerName;
    const std::array<IXMLDOMDocument2*, kTicketCount + 1> documents = {
        defaultTicket, jobTicket, documentTicket, pageTicket, mergedTicket};
    std::array<std::unique_ptr<PrintTicketXmlDocument>*, kTicketCount + 1> held = {
        &m_tickets[0], &m_tickets[1], &m_tickets[2], &m_tickets[3], &m_mergedTicket};
    std::array<std::unique_ptr<PrintTicketXmlDocument>, kTicketCount + 1> made;
    std::array<bool, kTicketCount + 1> kept{};
    try {
        for (size_t index = 0; index < made.size(); ++index) {
            made[index] = Rewrap(*held[index], documents[index], kept[index]);
        }
    } catch (...) {
        for (size_t index = 0; index < made.size(); ++index) {
            if (kept[index]) {
                *held[index] = std::move(made[index]);
            }
        }
        throw;
    }
    // The same fill again: every place holds what it held, each document unchanged since it
    // was wrapped, for the same scope, printer and user.
    bool sameContent = m_changeCounter.IsInitialized() && scope == m_scope &&
                       userToken == m_userToken && name == m_printerName;
    for (size_t index = 0; sameContent && index < made.size(); ++index) {
        sameContent = documents[index] ? kept[index] : !*held[index];
    }
    if (!sameContent) {
        m_contentCounter.Increment();
    }
    m_changeCounter.Increment();
    SetScope(scope);
    m_printerName = std::move(name);
    m_userToken = userToken;
    for (size_t index = 0; index < made.size(); ++index) {
        *held[index] = std::move(made[index]);
    }
}

void XpsFilterPrintTicketBase::SetScope(EPrintTicketScope scope) noexcept {
    m_scope = scope;
    m_filterScope = MsEPrintTicketScopeToEFilterPtScope(scope);
}

XpsFilterPrintTicketBase::EFilterPtScope
XpsFilterPrintTicketBase::MsEPrintTicketScopeToEFilterPtScope(EPrintTicketScope scope) noexcept {
    switch (scope) {
    case kPTPageScope:
        return PagePtScope;
    case kPTDocumentScope:
        return DocumentPtScope;
    case kPTJobScope:
        return JobPtScope;
    }
    return DefaultPtScope;
}

XpsFilterPrintTicketBase::EFilterPtScope
XpsFilterPrintTicketBase::GetFeatureScopeFromName(const CXString& feature) noexcept {
    const std::u16string_view name = feature.View();
    if (name.starts_with(u"Page")) {
        return PagePtScope;
    }
    if (name.starts_with(u"Document")) {
        return DocumentPtScope;
    }
    return JobPtScope;
}

template <class Query>
HRESULT XpsFilterPrintTicketBase::SearchTickets(BSTR feature, EFilterPtScope* source,
                                                Query&& query) {
    const CXString name(feature, static_cast<int>(::SysStringLen(feature)));
    HRESULT hr = kNotFound;
    for (int index = GetFeatureScopeFromName(name); index >= 0; --index) {
        PrintTicketXmlDocument* ticket = m_tickets[index].get();
        if (!ticket) {
            continue;
        }
        // A ticket that raises (a malformed option name, an empty feature name) ends the
        // search with its failure, as the wider tickets cannot make the answer right.
        hr = CatchComException([&] { return query(*ticket); });
        if (SUCCEEDED(hr)) {
            if (source) {
                *source = static_cast<EFilterPtScope>(index);
            }
            return hr;
        }
        if (hr != kNotFound) {
            return hr;
        }
    }
    return hr;
}

HRESULT XpsFilterPrintTicketBase::XpsFilterGetFeatureOption(BSTR feature, BSTR* option,
                                                            BSTR* prefix, EFilterPtScope* source) {
    if (!option) {
        return E_POINTER;
    }
    return SearchTickets(feature, source, [&](PrintTicketXmlDocument& ticket) {
        return ticket.GetFeatureOption(feature, option, prefix);
    });
}

HRESULT XpsFilterPrintTicketBase::XpsFilterGetScoredPropertyValue(BSTR feature, BSTR property,
                                                                  int* value,
                                                                  EFilterPtScope* source) {
    if (!value) {
        return E_POINTER;
    }
    return SearchTickets(feature, source, [&](PrintTicketXmlDocument& ticket) {
        return ticket.GetScoredPropertyValue(feature, property, value);
    });
}

AttributeBytesIndexedList& XpsFilterPrintTicketBase::GetAttributeBytesIndexedListRef() {
    if (!m_changeCounter.IsInitialized() || m_attributeBytesCounter != m_changeCounter) {
        ClearCachedIndexedList();
        m_attributeBytesSource = -1;
        for (int index = m_filterScope; index >= 0; --index) {
            PrintTicketXmlDocument* ticket = m_tickets[index].get();
            if (!ticket) {
                continue;
            }
            ByteBuffer devmode;
            const HRESULT hr = ticket->GetDevmodeFromPrintTicket(devmode);
            // A snapshot that is damaged or another driver's is passed over for a wider
            // ticket's; one that could not be read for want of memory is not known to be
            // either, and taking the wider devmode (or none) for it would cache a wrong data
            // model for the whole fill.
            if (hr == E_OUTOFMEMORY) {
                FU_THROW_HR(hr);
            }
            if (SUCCEEDED(hr) && hr != S_FALSE) {
                SetDevmode(devmode);
                m_attributeBytesSource = index;
                break;
            }
        }
        m_attributeBytesCounter = m_changeCounter;
    }
    return GetAttributeBytesIndexedListRef(
        AttributeBytesNameSpacesId(PersistentAttributes::GetDataModelDocPropNameSpaceId()));
}

bool XpsFilterPrintTicketBase::GetAttributeBytesSource(EFilterPtScope* source) {
    GetAttributeBytesIndexedListRef();
    if (m_attributeBytesSource < 0) {
        return false;
    }
    if (source) {
        *source = static_cast<EFilterPtScope>(m_attributeBytesSource);
    }
    return true;
}

HRESULT XpsFilterPrintTicketBase::DoStandardStatusReturnProcessing(HRESULT hr, bool* found,
                                                                   HRESULT* status) {
    const bool absent = hr == kNotFound;
    if (found) {
        *found = !absent && SUCCEEDED(hr);
    }
    if (status) {
        *status = absent && found ? S_FALSE : hr;
        return S_OK;
    }
    return absent && found ? S_OK : hr;
}

PrintTicketXmlDocument* XpsFilterPrintTicketBase::GetTicket(EFilterPtScope index) const noexcept {
    if (index < 0 || index >= kTicketCount) {
        return nullptr;
    }
    return m_tickets[index].get();
}

HRESULT XpsFilterPrintTicketBase::DebugDumpToBstr(BSTR* text) const {
    if (!text) {
        return E_POINTER;
    }
    *text = nullptr;
    static constexpr const WCHAR* kTicketNames[kTicketCount] = {u"default", u"job", u"document",
                                                                u"page"};
    CXString dump;
    dump.Format(u"XpsFilterPrintTicketBase: scope %d (ticket index %d), change counter %d, "
                u"attribute bytes taken at %d\n",
                static_cast<int>(m_scope), static_cast<int>(m_filterScope), m_changeCounter.Get(),
                m_attributeBytesCounter.Get());
    dump += u"tickets:";
    for (int index = 0; index < kTicketCount; ++index) {
        if (m_tickets[index]) {
            dump += u" ";
            dump += kTicketNames[index];
        }
    }
    if (m_mergedTicket) {
        dump += u" merged";
    }
    dump.AppendFormat(u"\nprinter: %s\n", m_printerName.GetString());
    const DEVMODEW* devmode = const_cast<XpsFilterPrintTicketBase*>(this)->GetPublicDevmodePtr();
    if (devmode) {
        dump.AppendFormat(u"devmode: dmSize %u, dmDriverExtra %u\n",
                          static_cast<unsigned>(devmode->dmSize),
                          static_cast<unsigned>(devmode->dmDriverExtra));
    } else {
        dump += u"devmode: none\n";
    }
    *text = ::SysAllocStringLen(dump.GetString(), static_cast<UINT>(dump.GetLength()));
    return *text ? S_OK : E_OUTOFMEMORY;
}
