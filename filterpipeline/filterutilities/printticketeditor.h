// PrintTicketEditor: rewrites the print ticket of one XPS part (the document sequence, a fixed
// document or a fixed page) as a new ticket part, leaving the part's old ticket untouched.
//
// Contract.
// - One editor serves one part, on the filter's thread, while the filter holds the part and
//   before it sends the part on. The editor holds one reference each to the part, the writer
//   and the part's existing ticket; the manager is borrowed and must outlive the editor.
// - Use, for one part:
//     PrintTicketEditor editor(writer, page, pageNumber, manager);
//     if (editor.DoesPartHaveExistingPrintTicket()) {
//         hr = editor.TryToGetPointerToPrintTicketXmlDocument(&ticket);
//         if (hr == S_OK)    { ...edit *ticket...; hr = editor.CommitChanges(); }
//         if (hr == S_FALSE) { hr = editor.TryToSynchAndCommitThisPrintTicketWithMatchFromMap(); }
//     } else {
//         hr = editor.GetPointerToNewEmptyPrintTicketXmlDocument(&ticket);
//         ...add settings to *ticket...; hr = editor.CommitChanges();
//     }
// - Names. The rewritten ticket is named after the old one: its name with the scope's suffix
//   ("_p", "_d", and "_j" for a job ticket named like a document's or a page's) before its
//   extension, a name that ends in the suffix already being kept (GetUriWithScopeSuffixAdded).
//   That name is used when no part of the job holds it; otherwise the new part takes the first
//   of "_2", "_3", ... after it that is free. Held are: every ticket the filter has seen (the
//   parts' tickets given to an editor or to the manager; a kept name is its own old ticket's,
//   which a part still to come may carry unchanged) and every name chosen for a new part
//   (see PrintTicketPartNames, kept by the manager).
// - Parts that share a ticket part at one scope share the rewritten one: the manager records,
//   per scope and old ticket, the ticket committed for it, and a later editor of that scope
//   whose old ticket was rewritten already attaches that one instead of writing another. Two
//   old tickets whose derived names meet ("T.xml" and "T_p.xml" for pages) keep two rewrites.
// - A part without a ticket gets a new one named after its scope, its number and the tick
//   count ("/METADATA/Page_4_PT_<ticks>.xml", "_2", ... when that is held: equal page numbers
//   or tick counts repeat), holding the user's default ticket's root element and namespace
//   declarations and nothing else.
// - The ticket document handed out belongs to the editor and lives as long as it does.
//   CommitChanges writes it into the new part, attaches the part and records it in the
//   manager; a write that fails attaches nothing, so no part ever carries half a ticket.
// - Results are HRESULTs. A KeldanComException of the document classes becomes its HRESULT;
//   a BSTR that cannot be allocated raises ATL::CAtlException(E_OUTOFMEMORY) to the caller.
#pragma once

#include <filterutilities/filterutilitiesexport.h>
#include <filterutilities/printticketmanager.h>
#include <filterutilities/printticketxmldocument.h>

#include <kldutil/cxstring.h>

#include <atlbase.h>
#include <filterpipeline.h>
#include <msxml6.h>
#include <prntvpt.h>
#include <windows.h>

#include <memory>

class FILTERUTILITIES_API PrintTicketEditor {
public:
    // The part is never null; the writer may be (then both document getters answer E_PENDING).
    PrintTicketEditor(IXpsDocumentConsumer* writer, IFixedDocumentSequence* sequence,
                      PrintTicketManager& manager);
    PrintTicketEditor(IXpsDocumentConsumer* writer, IFixedDocument* document, UINT documentNumber,
                      PrintTicketManager& manager);
    PrintTicketEditor(IXpsDocumentConsumer* writer, IFixedPage* page, UINT pageNumber,
                      PrintTicketManager& manager);
    PrintTicketEditor(const PrintTicketEditor&) = delete;
    PrintTicketEditor& operator=(const PrintTicketEditor&) = delete;
    virtual ~PrintTicketEditor();

    // Does nothing; kept for the drivers that call it.
    virtual void Dump() const;

    // Whether the part carried a ticket when the editor was made.
    bool DoesPartHaveExistingPrintTicket() const noexcept { return m_hasExistingTicket; }

    // ticket's URI with the scope's suffix before the extension (the extension of the last
    // segment; a name without one gets the suffix at its end), and, when asked for, the
    // unique suffix of the scope: "_<ticks>" for the job, "_<number>_<ticks in hex>" for a
    // document or a page. uri is emptied first and stays empty on failure. E_POINTER for a
    // null ticket; a failure of GetUri as it comes.
    HRESULT GetUriWithScopeSuffixAdded(IPartPrintTicket* ticket, CXString& uri,
                                       bool addUniqueSuffix);

    // Whether the manager holds a ticket committed for this part's old ticket at this scope.
    bool HasPrintTicketAlreadyBeenUpdatedForThisUri() const;

    // Attaches the ticket the manager holds for this part's old ticket at this scope to the
    // part. S_FALSE when it holds none; otherwise SetPrintTicket's result.
    HRESULT TryToSynchAndCommitThisPrintTicketWithMatchFromMap();

    // The part's ticket, parsed for editing, in a new ticket part made through the writer; the
    // driver's private keywords namespace is declared on it (as "pk"). S_FALSE, with *ticket
    // not written, when the part has no ticket or its ticket was rewritten already. E_PENDING
    // without a writer, E_POINTER for a null out; a failure of GetNewEmptyPart or GetStream
    // as it comes; E_FAIL when the old ticket is not a well-formed print ticket. Asked again,
    // the same document.
    HRESULT TryToGetPointerToPrintTicketXmlDocument(PrintTicketXmlDocument** ticket);

    // An empty ticket for a part that has none: the user's default ticket's root element and
    // its namespace declarations, in a new ticket part. E_FAIL when the part has a ticket,
    // E_PENDING without a writer or before the manager has the default ticket, E_POINTER for
    // a null out; a failure of GetNewEmptyPart or of the DOM as it comes. Asked again, the
    // same document.
    HRESULT GetPointerToNewEmptyPrintTicketXmlDocument(PrintTicketXmlDocument** ticket);

    // Writes the document into the new part, closes it, attaches it to the part and records
    // it in the manager. E_FAIL without a new part or document; a failure to serialise the
    // document or to write it is returned and nothing is attached; else SetPrintTicket's
    // result (the ticket is recorded even when attaching fails). Again after a success: writes
    // nothing more, attaches and records the same part again.
    HRESULT CommitChanges();

private:
    PrintTicketEditor(EPrintTicketScope scope, IXpsDocumentConsumer* writer, UINT documentNumber,
                      UINT pageNumber, PrintTicketManager& manager);
    void ReadExistingTicket();
    // The name of the new ticket of a part without one, free in this job.
    CXString NewEmptyTicketName();
    // The ticket the manager recorded for the old ticket at this scope, or null.
    IPartPrintTicket* RewrittenTicket() const;
    // Makes the new ticket part under uri and the document (by load) that *ticket receives.
    HRESULT MakeTicketDocument(const CXString& uri, HRESULT (PrintTicketEditor::*load)(),
                               PrintTicketXmlDocument** ticket);
    HRESULT CreateNewTicketPart(const CXString& uri);
    HRESULT AttachToPart(IPartPrintTicket* ticket);
    HRESULT LoadExistingTicket();
    HRESULT DeclarePrivateNamespace();
    HRESULT LoadEmptyTicket();
    HRESULT WriteTicket();

    EPrintTicketScope m_scope;
    CComPtr<IFixedDocumentSequence> m_sequence;
    CComPtr<IFixedDocument> m_document;
    CComPtr<IFixedPage> m_page;
    bool m_hasExistingTicket = false;
    PrintTicketManager& m_manager;
    UINT m_documentNumber;
    UINT m_pageNumber;
    CComPtr<IXpsDocumentConsumer> m_writer;
    CXString m_ticketUri;
    CXString m_existingTicketUri; // the old ticket's own name
    CComPtr<IPartPrintTicket> m_existingTicket;
    CComPtr<IPartPrintTicket> m_newTicket;
    CComPtr<IPrintWriteStream> m_newTicketStream;
    CComPtr<IXMLDOMDocument2> m_domDocument;
    std::unique_ptr<PrintTicketXmlDocument> m_ticketDocument;
};
