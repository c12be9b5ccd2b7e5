// XpsFilterPrintTicketBase: a filter's read-only view of the print tickets that apply at one
// scope, and of the driver's data model carried in their devmode snapshots.
//
// Contract.
// - The print ticket manager owns one view per scope and refills it with Initialize on every
//   GetTicket: the user's default ticket, the job, document and page part tickets and the
//   scope's merged ticket, each of which may be null. The view wraps each DOM document in a
//   PrintTicketXmlDocument of its own (sharing the DOM, one reference); a refill replaces all
//   five together, so a ticket missing from the new fill is gone from the view. A wrapper of
//   the previous fill whose place gets the same DOM document, which says it has not changed
//   since it was wrapped (PrintSchemaXmlDocument::IsCurrent), is kept rather than made again.
// - A Print Schema feature is looked up by its own scope, told by its name: a "Page..."
//   feature in the page ticket, then the document's, the job's and the default ticket; a
//   "Document..." feature from the document ticket down; any other (job) feature only in the
//   job ticket and the default ticket. The first ticket that has it answers.
// - The data model comes from the devmode snapshot of the narrowest ticket, from the view's
//   scope down to the default ticket, that carries a snapshot of this driver. When no ticket
//   of a fill carries one, the devmode of an earlier fill stays.
// - Every Initialize advances the change counter. Derived views cache what they compute
//   together with the counter value it was computed at (a PtChangeCounter of their own) and
//   recompute when the two differ; the attribute bytes are cached here the same way.
// - The content counter advances only with an Initialize that changes what the tickets say:
//   a ticket added, dropped, replaced by another DOM document or changed since it was
//   wrapped, or another scope, printer or user. A caller that derives something from the
//   tickets alone (and edits nothing through the view) may keep it while the content counter
//   stays where it was when the thing was derived. Edits of the data model that were not
//   committed into a ticket are no change of the tickets and do not move it.
// - Operations that return an HRESULT report failures there; Initialize raises
//   KeldanComException with a failure code when a ticket cannot be wrapped (E_INVALIDARG for
//   a document that is not a print ticket), and leaves the view as it was.
// - Views are used by the one thread that runs their filter.
#pragma once

#include <filterutilities/filterutilitiesexport.h>
#include <filterutilities/printticketattributebytesreaderwriter.h>
#include <filterutilities/printticketxmldocument.h>

#include <kldutil/cxstring.h>

#include <msxml6.h>
#include <oleauto.h>
#include <prntvpt.h>
#include <windows.h>

#include <array>
#include <memory>

class FILTERUTILITIES_API XpsFilterPrintTicketBase : public PrintTicketAttributeBytesReaderWriter {
public:
    // The index of a ticket in the view: a larger value is a narrower scope.
    enum EFilterPtScope : int32_t {
        DefaultPtScope = 0, // the user's default ticket; also the answer for an unknown scope
        JobPtScope = 1,
        DocumentPtScope = 2,
        PagePtScope = 3,
    };
    static constexpr int kTicketCount = 4;

    // The fill of the view at which something was computed; -1 when never.
    class PtChangeCounter {
    public:
        PtChangeCounter() noexcept = default;
        void Reset() noexcept { m_value = -1; }
        // Counted without overflow: past the largest value the counter wraps around.
        void Increment() noexcept {
            m_value = static_cast<int32_t>(static_cast<uint32_t>(m_value) + 1u);
        }
        int32_t Get() const noexcept { return m_value; }
        bool IsInitialized() const noexcept { return static_cast<uint32_t>(m_value) < 0xFFFFFFFFu; }
        void Set(int32_t value) noexcept { m_value = value; }
        bool operator==(const PtChangeCounter& other) const noexcept {
            return m_value == other.m_value;
        }
        bool operator!=(const PtChangeCounter& other) const noexcept { return !(*this == other); }

    private:
        int32_t m_value = -1;
    };

    XpsFilterPrintTicketBase();
    XpsFilterPrintTicketBase(const XpsFilterPrintTicketBase&) = delete;
    XpsFilterPrintTicketBase& operator=(const XpsFilterPrintTicketBase&) = delete;
    ~XpsFilterPrintTicketBase() override;

    // Refills the view (see the contract). Raises KeldanComException when a document cannot
    // be wrapped, always with a failure code: E_INVALIDARG for a document that is not a print
    // ticket. The view then keeps its previous fill and counter.
    void Initialize(EPrintTicketScope scope, IXMLDOMDocument2* defaultTicket,
                    IXMLDOMDocument2* jobTicket, IXMLDOMDocument2* documentTicket,
                    IXMLDOMDocument2* pageTicket, IXMLDOMDocument2* mergedTicket,
                    const CXString& printerName, HANDLE userToken);
    // Changes the scope (and so where the devmode search starts) and nothing else.
    void SetScope(EPrintTicketScope scope) noexcept;

    // page 0 -> 3, document 1 -> 2, job 2 -> 1, anything else -> 0.
    static EFilterPtScope MsEPrintTicketScopeToEFilterPtScope(EPrintTicketScope scope) noexcept;
    // The scope of a feature by its name without prefix: PagePtScope for a name beginning
    // with "Page", DocumentPtScope for one beginning with "Document", JobPtScope otherwise
    // (a prefixed name such as "psk:PageMediaSize" is therefore a job feature).
    static EFilterPtScope GetFeatureScopeFromName(const CXString& feature) noexcept;

    // The option selected in a feature (name without prefix), from the narrowest ticket of the
    // feature's scope that has it: S_OK with the option's local name and, when prefix is
    // given, its prefix with the colon; 0x80070490 when no ticket has it. A ticket that cannot
    // be read (an option name without a prefix, say) ends the search with its failure. When
    // source is given it receives the ticket that answered. Out-parameters are written only on
    // success.
    HRESULT XpsFilterGetFeatureOption(BSTR feature, BSTR* option, BSTR* prefix = nullptr,
                                      EFilterPtScope* source = nullptr);
    // The integer value of a scored property of a feature, searched the same way.
    HRESULT XpsFilterGetScoredPropertyValue(BSTR feature, BSTR property, int* value,
                                            EFilterPtScope* source = nullptr);

    // The data model's document-property attributes, from the devmode snapshot of the
    // narrowest ticket from the view's scope down that carries one (see the contract). The
    // list is empty when no devmode of this driver was found.
    using PrintTicketAttributeBytesReaderWriter::GetAttributeBytesIndexedListRef;
    AttributeBytesIndexedList& GetAttributeBytesIndexedListRef() override;
    // The ticket of this fill whose devmode snapshot the data model comes from. False when no
    // ticket of this fill carries one: the data model is then an earlier fill's, or empty.
    bool GetAttributeBytesSource(EFilterPtScope* source);

    // A description of the view for the debugger: scope, counter, the tickets held, printer
    // and devmode size. *text is a new BSTR for the caller; E_POINTER for a null pointer.
    HRESULT DebugDumpToBstr(BSTR* text) const;

    EPrintTicketScope GetScope() const noexcept { return m_scope; }
    EFilterPtScope GetFilterScope() const noexcept { return m_filterScope; }
    const PtChangeCounter& GetChangeCounter() const noexcept { return m_changeCounter; }
    const PtChangeCounter& GetContentCounter() const noexcept { return m_contentCounter; }
    // The ticket held at an index, or the merged ticket; null when the fill had none. The view
    // keeps ownership.
    PrintTicketXmlDocument* GetTicket(EFilterPtScope index) const noexcept;
    PrintTicketXmlDocument* GetMergedTicket() const noexcept { return m_mergedTicket.get(); }
    const CXString& GetPrinterName() const noexcept { return m_printerName; }
    HANDLE GetUserToken() const noexcept { return m_userToken; }

protected:
    // The common tail of the typed getters. With a status pointer the outcome goes there and 0
    // is returned (an absent setting, 0x80070490, becomes S_FALSE with found false); without
    // one, found (when given) tells whether hr succeeded, an absent setting is returned as 0
    // when found is given, and hr otherwise. The getter raises what this returns when it is a
    // failure.
    static HRESULT DoStandardStatusReturnProcessing(HRESULT hr, bool* found, HRESULT* status);

    EPrintTicketScope m_scope = kPTJobScope;
    EFilterPtScope m_filterScope = JobPtScope;
    std::unique_ptr<PrintTicketXmlDocument> m_mergedTicket;
    std::array<std::unique_ptr<PrintTicketXmlDocument>, kTicketCount> m_tickets;
    PtChangeCounter m_changeCounter;
    PtChangeCounter m_contentCounter;
    PtChangeCounter m_attributeBytesCounter;
    // The index of the ticket the devmode was taken from at m_attributeBytesCounter; -1 when
    // none of that fill carried one.
    int32_t m_attributeBytesSource = -1;
    CXString m_printerName;
    HANDLE m_userToken = INVALID_HANDLE_VALUE;

private:
    // Asks the tickets from the feature's scope down to the default ticket, stopping at the
    // first that answers with success; 0x80070490 when no ticket was asked.
    template <class Query>
    HRESULT SearchTickets(BSTR feature, EFilterPtScope* source, Query&& query);
};
