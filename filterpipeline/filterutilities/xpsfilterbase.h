// XpsFilterBase: the base of the driver's XPS filters. StartOperation walks the job part by
// part and hands each part to a hook; the default hooks resolve the job and document tickets
// and pass every part on unchanged, so a filter overrides only the hooks of what it changes.
//
// Contract.
// - StartOperation runs on the filter's thread inside a single-threaded apartment: it gets the
//   XPS reader and writer from the communicator (InitialiseXDIO), initialises the print ticket
//   manager, then reads parts until the reader runs dry, a hook fails or the pipeline asks the
//   filter to stop (ShutdownOperation, seen after each part read).
// - The XPS document, the sequence and the fixed documents read before the first page are held
//   back and handed to their hooks, in that order, when the first page arrives; a kind that
//   never came is handed as null and the hook's answer to that is ignored. Of two documents
//   before the first page only the later one is handed on. After the first page every part
//   goes to its hook as it comes; parts of no known kind go to the writer untouched.
// - A hook answers for its part: the default hooks send it to the writer; an override that
//   wants the part passed on calls the base hook or sends the part itself. A hook may throw;
//   its failure or exception ends the walk after that part.
// - Only a job read to its end with every step succeeding is closed (CloseSender). A job that
//   failed, or that the pipeline stopped, is abandoned unclosed, so that the next filter
//   never takes part of a job for all of it; a failure also asks the pipeline for a shutdown
//   unless the pipeline itself asked the filter to stop (StartOperation then answers S_OK).
// - The manager control hears FilterFinished when StartOperation ends, whatever the path.
//   The print ticket manager's PrintTicket provider is closed before, on the filter's thread
//   (the one it belongs to), so a filter released on another thread leaves none open.
// - The document and page counts, the held parts and the resource cache belong to the
//   filter's thread; the resource cache lives as long as the filter, so a resource is written
//   once per job.
#pragma once

#include <filterutilities/fileresourcecache.h>
#include <filterutilities/filterbase.h>
#include <filterutilities/filterutilitiesexport.h>

#include <atlbase.h>
#include <filterpipeline.h>
#include <windows.h>

class FILTERUTILITIES_API XpsFilterBase : public FilterBase {
public:
    XpsFilterBase();
    ~XpsFilterBase() override;

protected:
    STDMETHODIMP StartOperation() override;

    // The hooks. Defaults: E_POINTER for a null part, E_PENDING without an XPS writer; the
    // sequence and document hooks first resolve their scope's ticket
    // (PrintTicketManager::InitializeWithPrintTicket) and answer its failure; then each sends
    // its part to the writer and answers the writer. The page's ticket is not resolved here.
    virtual HRESULT OnXpsDocument(IXpsDocument* document);
    virtual HRESULT OnFixedDocumentSequence(IFixedDocumentSequence* sequence);
    virtual HRESULT OnFixedDocument(IFixedDocument* document);
    virtual HRESULT OnFixedPage(IFixedPage* page);
    // After the last part (or when the pipeline asked the filter to stop). Default: S_OK.
    virtual HRESULT OnFinalize();
    // Gets the XPS reader and writer from the communicator. E_PENDING without a communicator;
    // the communicator's failure as it comes (nothing held then); E_FAIL, and a shutdown
    // request, when the reader or writer lacks its XPS interface.
    virtual HRESULT InitialiseXDIO();

    CComPtr<IXpsDocumentProvider> m_xpsReader;
    CComPtr<IXpsDocumentConsumer> m_xpsWriter;
    CFileResourceCache m_resourceCache;
    ULONG m_documentCount = 0;
    ULONG m_pageCount = 0;
    bool m_deferring = true;
    CComPtr<IXpsDocument> m_heldXpsDocument;
    CComPtr<IFixedDocumentSequence> m_heldDocumentSequence;
    CComPtr<IFixedDocument> m_heldFixedDocument;

private:
    HRESULT RunJob();
    HRESULT Walk();
    HRESULT HandlePart(IUnknown* part);
    HRESULT HandOverHeldParts();
};
