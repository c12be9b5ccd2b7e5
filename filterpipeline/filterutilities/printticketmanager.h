// PrintTicketManager: the print tickets of one filter's job in progress, and the effective
// ticket of each scope (job, document, page) resolved from them.
//
// Contract.
// - A filter holds its manager by value. Calling order: construct; set m_mergeEnabled (off by
//   default); Initialise with the user's default ticket stream, the printer and the user's
//   token; then, in document order, for the sequence, each document and each page,
//   InitializeWithPrintTicket of that level followed by any number of GetTicket calls for that
//   scope or wider ones. A second Initialise starts over (the map of updated tickets stays).
// - Every ticket the manager holds is a DOM document of its own: a part's ticket is parsed
//   afresh from the part's stream, a DOM ticket handed in is copied through its serialisation.
//   No ticket document or stream the caller passes in is changed or kept.
// - Each scope holds its part ticket (the part's own, or when the part carries none a copy of
//   the next wider scope's; the job's comes from the default ticket) and, while merging is on,
//   its merged ticket: the part ticket merged onto the next wider scope's merged ticket (the
//   job's onto the default ticket) through the PrintTicket API, validated against the printer.
//   A new sequence or document drops the tickets of the narrower scopes: they belonged to the
//   parts before it.
// - A scope that takes a copy of the wider scope's ticket takes the copy it made before when
//   neither the copy nor what it was copied from has changed since (their DOMs' change counts;
//   what a view changes as it wraps them, its selection namespaces and its name for the
//   private prefix, does not change the settings and is taken in): such a copy reads as a new
//   one would. The pages of a document that carry no ticket so share one page ticket and one
//   merged ticket, and the view of each page is filled with the same, unchanged, documents.
//   Likewise a part that hands out the very ticket part object the scope's ticket was last
//   read from keeps the ticket read and the merged ticket made of it, while neither they nor
//   the wider merged ticket have changed: pages that an earlier filter gave one rewritten
//   ticket are read and merged once.
// - GetTicket hands out the scope's view, refilled from what stands at that moment; the
//   manager keeps it, and it stays valid (and is refilled in place) until the manager dies.
// - The PrintTicket provider is opened by Initialise (only while merging) and kept for every
//   merge. Opening, merging and closing run while the calling thread impersonates the user's
//   token, whoever closes (CloseProvider, the next Initialise, the destructor); afterwards the
//   thread has back the impersonation it had before (none on a pipeline thread). A provider
//   whose user cannot be impersonated at its close stays open rather than run as the host.
// - The provider belongs to the thread that called Initialise and can be closed only there:
//   that thread calls CloseProvider when its merges are over (XpsFilterBase does as its
//   StartOperation ends). The destructor closes a provider still open, which works only on
//   that thread; a pipeline that destroys its filters elsewhere relies on CloseProvider.
// - The token is borrowed: the manager never closes it, and it must stay open until the
//   manager is destroyed or initialised again.
// - Operations return HRESULTs; none raises KeldanComException. A failed string or DOM
//   allocation of the platform is reported as E_OUTOFMEMORY where the platform returns it, and
//   raised as ATL::CAtlException or std::bad_alloc where the library's own copies fail.
// - A manager belongs to the thread that runs its filter; nothing is locked.
#pragma once

#include <filterutilities/filterutilitiesexport.h>
#include <filterutilities/printticketpartnames.h>
#include <filterutilities/xpsfilterprintticket.h>

#include <kldutil/bytebuffer.h>
#include <kldutil/cxstring.h>

#include <atlbase.h>
#include <filterpipeline.h>
#include <msxml6.h>
#include <objidl.h>
#include <prntvpt.h>
#include <windows.h>

#include <map>
#include <optional>

class FILTERUTILITIES_API PrintTicketManager {
public:
    PrintTicketManager();
    PrintTicketManager(const PrintTicketManager&) = delete;
    PrintTicketManager& operator=(const PrintTicketManager&) = delete;
    // Closes the provider and releases every ticket, the updated ones included.
    virtual ~PrintTicketManager();

    // Reads the user's default ticket from stream (from its start) and, while merging, opens
    // the PrintTicket provider for printerName; all scope tickets are dropped. The token and
    // the printer name are stored before anything is checked. E_POINTER for a null stream,
    // E_INVALIDARG for an empty printer name, the Win32 error as HRESULT when the token
    // cannot be impersonated (the previous job's token, to close its provider: then nothing
    // is stored or dropped), the PrintTicket API's code when the provider cannot be opened,
    // E_FAIL when the default ticket is not well-formed XML.
    HRESULT Initialise(IPrintReadStream* stream, BSTR printerName, HANDLE userToken);

    // The scope of the part (sequence: job, document: document, page: page) from the part's
    // own ticket, or, when it carries none (0x80070490 from GetPrintTicket), refilled from the
    // next wider scope. While merging, the part ticket is merged onto the wider scope's
    // merged ticket. E_POINTER for a null part; E_FAIL for a ticket that is not well-formed;
    // E_PENDING before Initialise or when the wider scope has no merged ticket yet; any other
    // failure of the part or of the PrintTicket API as it comes. After a failed merge the
    // scope holds the part's ticket and keeps its previous merged ticket.
    HRESULT InitializeWithPrintTicket(IFixedDocumentSequence* sequence);
    HRESULT InitializeWithPrintTicket(IFixedDocument* document);
    HRESULT InitializeWithPrintTicket(IFixedPage* page);
    // Resets a scope (and every narrower one) from a DOM ticket, or from the wider scope when
    // ticket is null. The ticket is copied, never kept. E_INVALIDARG for a scope other than
    // page, document or job.
    HRESULT InitializeWithPrintTicket(EPrintTicketScope scope, IXMLDOMDocument2* ticket);

    // The scope's view, filled with the default ticket, the three part tickets standing now
    // and the scope's merged ticket (null while merging is off). Missing part and merged
    // tickets are first filled from the wider scopes. E_POINTER for a null out; otherwise any
    // failure (an unknown scope, no default ticket yet, a merged ticket missing while merging)
    // leaves *ticket null and gives E_FAIL. The manager keeps ownership of the view.
    HRESULT GetTicket(EPrintTicketScope scope, XpsFilterPrintTicket** ticket);

    // The user's default ticket, no reference added; null before Initialise.
    IXMLDOMDocument2* GetPtrToDefaultPrintTicket() const noexcept { return m_defaultTicket.p; }
    HANDLE GetUserToken() const noexcept { return m_userToken; }
    CXString GetPrinterName() const { return m_printerName; }

    // Records a part ticket rewritten by the filter under its URI, with a reference of the
    // manager's own. A URI already recorded keeps its first ticket. E_POINTER for null; when
    // the URI cannot be read nothing is stored and that failure is returned.
    HRESULT AddUpdatedPrintTicketToMap(IPartPrintTicket* ticket);
    // S_OK and the ticket recorded under uri (no reference added: the manager keeps it), or
    // S_FALSE and null when none is. E_POINTER for a null out.
    HRESULT GetUpdatedPrintTicketFromMap(const CXString& uri, IPartPrintTicket** ticket) const;

    // The print ticket part names in use in this job and the names tickets were rewritten
    // under (PrintTicketEditor keeps them here). The name of every part ticket handed to
    // InitializeWithPrintTicket is in use. Lives, like the map, until the manager dies.
    PrintTicketPartNames& GetPrintTicketPartNames() noexcept { return m_ticketPartNames; }

    // Parses a ticket from stream, from its start, into a new DOM document for the caller.
    // E_POINTER for a null argument (*document becomes null first); E_FAIL when the bytes are
    // not well-formed XML; a failure of the DOM or the stream as it comes.
    static HRESULT SetPTFromStream(IStream* stream, IXMLDOMDocument2** document);

    // The driver's devmode from the snapshot embedded in a ticket given as text. The buffer is
    // emptied first. S_OK with the devmode; S_FALSE with an empty buffer when the text is not
    // XML or carries no snapshot; E_FAIL when the snapshot is not a devmode of this driver;
    // E_INVALIDARG when the text is no print ticket; E_POINTER for null text.
    static HRESULT GetDevmodeFromPrintTicketString(const WCHAR* xml, ByteBuffer& devmode);

    // Closes the PrintTicket provider, if one is open; merging then answers E_PENDING until
    // the next Initialise. Call it on the thread that called Initialise: the provider belongs
    // to that thread, and closing it from another fails (the handle is then lost). S_OK when
    // none is open; the Win32 error as HRESULT when the user cannot be impersonated (the
    // provider stays open); otherwise the PrintTicket API's answer.
    HRESULT CloseProvider() noexcept;

    // Whether tickets are merged through the PrintTicket API; set by the filter before
    // Initialise.
    bool m_mergeEnabled = false;

private:
    // The last copy the manager made of a wider scope's ticket for one place, with what it
    // was copied from and the change counts at which the two were last known to agree.
    class TicketCopy {
    public:
        // The change counts of the copy and its source as they stand.
        struct Counts {
            std::optional<ULONGLONG> copy;
            std::optional<ULONGLONG> source;
        };

        // The copy, when it was made of source and neither has changed since; else null. A
        // copy remembered without a source (a ticket read from a part) is served for null.
        IXMLDOMDocument2* ServedFor(IXMLDOMDocument2* source) const noexcept;
        void Remember(IXMLDOMDocument2* copy, IXMLDOMDocument2* source) noexcept;
        IXMLDOMDocument2* Copy() const noexcept { return m_copy.p; }
        Counts Now() const noexcept;
        // After a view was filled: a count that stood where it was known before the fill
        // takes what the view's wrapping made of it.
        void TakeInWrapping(const Counts& before) noexcept;

    private:
        CComPtr<IXMLDOMDocument2> m_copy;
        CComPtr<IXMLDOMDocument2> m_source;
        Counts m_known;
    };

    struct ScopeTickets {
        CComPtr<IXMLDOMDocument2> partTicket;
        XpsFilterPrintTicket view;
        CComPtr<IXMLDOMDocument2> mergedTicket;
        TicketCopy partCopy;
        TicketCopy mergedCopy;
        // The ticket part last read into partTicket, the document read from it and the merged
        // ticket made of that (its source the wider merged ticket).
        CComPtr<IPartPrintTicket> readPart;
        TicketCopy readTicket;
        TicketCopy readMerged;
    };

    HRESULT InitialisePrintTickets(IStream* stream);
    template <class Part>
    HRESULT InitializeWithPartTicket(EPrintTicketScope scope, Part* part);
    static HRESULT SetPTFromDOMDoc(IXMLDOMDocument2* source, CComPtr<IXMLDOMDocument2>& target);
    HRESULT MergeTicket(EPrintTicketScope scope, IPartPrintTicket* ticket);
    // The ticket read from ticket before and the merged ticket made of it put back in place,
    // when ticket is the part read last and nothing has changed since (see the contract).
    bool TakeTicketReadBefore(EPrintTicketScope scope, IPartPrintTicket* ticket) noexcept;
    // The merged ticket the scope's part ticket is merged onto; null when there is none yet.
    IXMLDOMDocument2* MergeBaseOf(EPrintTicketScope scope) const noexcept;
    HRESULT MergeTicket(EPrintTicketScope scope, IXMLDOMDocument2* ticket);
    // Stores a document of the manager's own as the scope's part ticket (taking it from
    // ticket) and, while merging, merges it onto the wider scope's merged ticket.
    HRESULT AdoptPartTicket(EPrintTicketScope scope, CComPtr<IXMLDOMDocument2>& ticket);
    HRESULT GetMergedTicket(EPrintTicketScope scope, IXMLDOMDocument2* delta,
                            IXMLDOMDocument2* base, IXMLDOMDocument2** merged);
    HRESULT UpdateDefaultPTs(EPrintTicketScope scope);
    void FreePrintTickets(EPrintTicketScope scope) noexcept;

    // The record of a scope; null for a value outside page..job.
    ScopeTickets* Scope(EPrintTicketScope scope) noexcept;

    struct UriOrder {
        bool operator()(const CXString& a, const CXString& b) const noexcept {
            return a.Compare(b) < 0;
        }
    };

    CComPtr<IXMLDOMDocument2> m_defaultTicket;
    ScopeTickets m_job;
    ScopeTickets m_document;
    ScopeTickets m_page;
    HPTPROVIDER m_provider = nullptr;
    HANDLE m_userToken = INVALID_HANDLE_VALUE;
    CXString m_printerName;
    std::map<CXString, CComPtr<IPartPrintTicket>, UriOrder> m_updatedTickets;
    PrintTicketPartNames m_ticketPartNames;
};
