#include <filterutilities/printticketeditor.h>

#include <filterutilities/errorconvention.h>
#include <filterutilities/printreadstreamtoistream.h>

#include <objidl.h>
#include <oleauto.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

namespace {

constexpr size_t kCommitBlockSize = 8192;
constexpr std::u16string_view kPrivatePrefixDeclaration = u"xmlns:pk";

// printf-style formatting of ASCII into UTF-16 (the names are built of digits and ASCII).
template <class... Arguments>
std::u16string Ascii(const char* format, Arguments... arguments) {
    char buffer[96];
    const int length = std::snprintf(buffer, sizeof buffer, format, arguments...);
    return std::u16string(buffer, buffer + (length > 0 ? length : 0));
}

// The scope's suffix for a ticket named uri: "_p", "_d", and for the job "_j" only when the
// name is a document's or a page's ("_d." or "_p." in it), else none.
std::u16string_view ScopeSuffix(EPrintTicketScope scope, std::u16string_view uri) {
    switch (scope) {
    case kPTPageScope:
        return u"_p";
    case kPTDocumentScope:
        return u"_d";
    case kPTJobScope:
        break;
    }
    const bool namedForNarrowerScope = uri.find(u"_d.") != std::u16string_view::npos ||
                                       uri.find(u"_p.") != std::u16string_view::npos;
    return namedForNarrowerScope ? u"_j" : u"";
}

bool EndsWith(std::u16string_view text, std::u16string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// Reads the whole serialised document and writes it to the part in blocks; the first read or
// write that fails is the answer. A write that takes part of a block is asked for the rest.
HRESULT CopyInBlocks(IStream* source, IPrintWriteStream* target) {
    char block[kCommitBlockSize];
    for (;;) {
        ULONG read = 0;
        HRESULT hr = source->Read(block, sizeof block, &read);
        if (FAILED(hr)) {
            return hr;
        }
        if (read == 0) {
            return S_OK;
        }
        if (read > sizeof block) {
            return E_UNEXPECTED;
        }
        for (ULONG done = 0; done < read;) {
            ULONG written = 0;
            hr = target->WriteBytes(block + done, read - done, &written);
            if (FAILED(hr)) {
                return hr;
            }
            if (written == 0 || written > read - done) {
                return HRESULT_FROM_WIN32(
                    ERROR_WRITE_FAULT); // no progress, or more than was given: nothing to trust
            }
            done += written;
        }
    }
}

} // namespace

PrintTicketEditor::PrintTicketEditor(EPrintTicketScope scope, IXpsDocumentConsumer* writer,
                                     UINT documentNumber, UINT pageNumber,
                                     PrintTicketManager& manager)
    : m_scope(scope), m_manager(manager), m_documentNumber(documentNumber),
      m_pageNumber(pageNumber), m_writer(writer) {}

PrintTicketEditor::PrintTicketEditor(IXpsDocumentConsumer* writer, IFixedDocumentSequence* sequence,
                                     PrintTicketManager& manager)
    : PrintTicketEditor(kPTJobScope, writer, 0, 0, manager) {
    m_sequence = sequence;
    ReadExistingTicket();
}

PrintTicketEditor::PrintTicketEditor(IXpsDocumentConsumer* writer, IFixedDocument* document,
                                     UINT documentNumber, PrintTicketManager& manager)
    : PrintTicketEditor(kPTDocumentScope, writer, documentNumber, 0, manager) {
    m_document = document;
    ReadExistingTicket();
}

PrintTicketEditor::PrintTicketEditor(IXpsDocumentConsumer* writer, IFixedPage* page,
                                     UINT pageNumber, PrintTicketManager& manager)
    : PrintTicketEditor(kPTPageScope, writer, 0, pageNumber, manager) {
    m_page = page;
    ReadExistingTicket();
}

PrintTicketEditor::~PrintTicketEditor() = default;

void PrintTicketEditor::Dump() const {}

void PrintTicketEditor::ReadExistingTicket() {
    HRESULT hr = E_POINTER;
    if (m_sequence) {
        hr = m_sequence->GetPrintTicket(&m_existingTicket);
    } else if (m_document) {
        hr = m_document->GetPrintTicket(&m_existingTicket);
    } else if (m_page) {
        hr = m_page->GetPrintTicket(&m_existingTicket);
    }
    if (hr != S_OK || !m_existingTicket) {
        m_existingTicket.Release();
        return;
    }
    m_hasExistingTicket = true;
    GetUriWithScopeSuffixAdded(m_existingTicket, m_ticketUri, false);
    CComBSTR name;
    if (SUCCEEDED(m_existingTicket->GetUri(&name)) && name.Length() > 0) {
        m_existingTicketUri = CXString(std::u16string_view(name.m_str, name.Length()));
        // Held from now on: this part, or a later one, may send the old ticket on unchanged.
        m_manager.GetPrintTicketPartNames().Use(m_existingTicketUri.View());
    }
}

HRESULT PrintTicketEditor::GetUriWithScopeSuffixAdded(IPartPrintTicket* ticket, CXString& uri,
                                                      bool addUniqueSuffix) {
    uri = CXString();
    if (!ticket) {
        return E_POINTER;
    }
    CComBSTR name;
    const HRESULT hr = ticket->GetUri(&name);
    if (FAILED(hr)) {
        return hr;
    }
    const std::u16string_view whole(name.m_str ? name.m_str : u"", name.Length());
    const auto [base, extension] = PrintTicketPartNames::SplitExtension(whole);
    const std::u16string_view suffix = ScopeSuffix(m_scope, whole);

    std::u16string made(base);
    if (!EndsWith(base, suffix)) {
        made += suffix;
    }
    if (addUniqueSuffix) {
        const DWORD ticks = ::GetTickCount();
        if (m_scope == kPTJobScope) {
            made += Ascii("_%u", static_cast<unsigned>(ticks));
        } else {
            const UINT number = m_scope == kPTDocumentScope ? m_documentNumber : m_pageNumber;
            made += Ascii("_%u_%x", static_cast<unsigned>(number), static_cast<unsigned>(ticks));
        }
    }
    made += extension;
    uri = CXString(std::move(made));
    return hr;
}

IPartPrintTicket* PrintTicketEditor::RewrittenTicket() const {
    if (!m_hasExistingTicket || m_existingTicketUri.GetLength() == 0) {
        return nullptr;
    }
    // By the old ticket and the scope, not by the derived name: two old tickets may derive one.
    const std::u16string rewritten =
        m_manager.GetPrintTicketPartNames().RewriteOf(m_scope, m_existingTicketUri.View());
    IPartPrintTicket* found = nullptr;
    if (rewritten.empty() ||
        m_manager.GetUpdatedPrintTicketFromMap(CXString(rewritten), &found) != S_OK) {
        return nullptr;
    }
    return found;
}

bool PrintTicketEditor::HasPrintTicketAlreadyBeenUpdatedForThisUri() const {
    return RewrittenTicket() != nullptr;
}

HRESULT PrintTicketEditor::AttachToPart(IPartPrintTicket* ticket) {
    if (m_sequence) {
        return m_sequence->SetPrintTicket(ticket);
    }
    if (m_document) {
        return m_document->SetPrintTicket(ticket);
    }
    if (m_page) {
        return m_page->SetPrintTicket(ticket);
    }
    return E_INVALIDARG;
}

HRESULT PrintTicketEditor::TryToSynchAndCommitThisPrintTicketWithMatchFromMap() {
    IPartPrintTicket* found = RewrittenTicket();
    if (!found) {
        return S_FALSE;
    }
    // A job ticket found in the map goes to the sequence, as CommitChanges would put it.
    return AttachToPart(found);
}

HRESULT PrintTicketEditor::MakeTicketDocument(const CXString& uri,
                                              HRESULT (PrintTicketEditor::*load)(),
                                              PrintTicketXmlDocument** ticket) {
    HRESULT hr = CreateNewTicketPart(uri);
    if (FAILED(hr)) {
        return hr;
    }
    hr = (this->*load)();
    if (FAILED(hr)) {
        m_ticketDocument.reset();
        m_domDocument.Release();
        return hr;
    }
    *ticket = m_ticketDocument.get();
    return hr;
}

HRESULT PrintTicketEditor::CreateNewTicketPart(const CXString& uri) {
    const CComBSTR name(uri.GetLength(), uri.GetString());
    m_newTicket.Release();
    m_newTicketStream.Release();
    CComPtr<IPartPrintTicket> part;
    CComPtr<IPrintWriteStream> stream;
    const HRESULT hr = m_writer->GetNewEmptyPart(name, IID_IPartPrintTicket,
                                                 reinterpret_cast<void**>(&part), &stream);
    if (FAILED(hr)) {
        return hr;
    }
    if (!part || !stream) {
        return E_FAIL; // a writer that claims success must give both
    }
    m_newTicket = std::move(part);
    m_newTicketStream = std::move(stream);
    return hr;
}

HRESULT
PrintTicketEditor::TryToGetPointerToPrintTicketXmlDocument(PrintTicketXmlDocument** ticket) {
    if (!m_hasExistingTicket || HasPrintTicketAlreadyBeenUpdatedForThisUri()) {
        return S_FALSE;
    }
    if (!m_writer) {
        return E_PENDING;
    }
    if (!ticket) {
        return E_POINTER;
    }
    if (m_ticketDocument) {
        *ticket = m_ticketDocument.get();
        return S_OK;
    }
    const CXString name(m_manager.GetPrintTicketPartNames().Choose(m_ticketUri.View()));
    return MakeTicketDocument(name, &PrintTicketEditor::LoadExistingTicket, ticket);
}

HRESULT PrintTicketEditor::LoadExistingTicket() {
    CComPtr<IPrintReadStream> readStream;
    HRESULT hr = m_existingTicket->GetStream(&readStream);
    if (FAILED(hr)) {
        return hr;
    }
    if (!readStream) {
        return E_FAIL;
    }
    return CatchComException([&]() -> HRESULT {
        CComPtr<IStream> adapter;
        adapter.Attach(new CPrintReadStreamToIStream(readStream));
        CComPtr<IXMLDOMDocument2> parsed;
        HRESULT loaded = PrintTicketManager::SetPTFromStream(adapter, &parsed);
        if (FAILED(loaded)) {
            return loaded; // not well-formed: nothing to edit, and nothing to pretend
        }
        m_ticketDocument.reset();
        m_domDocument = std::move(parsed);
        try {
            m_ticketDocument = std::make_unique<PrintTicketXmlDocument>(m_domDocument);
        } catch (const KeldanComException& exception) {
            // A document that is no print ticket is refused with S_FALSE, which must not read
            // as "rewritten already" to the caller.
            const HRESULT refused = exception.GetHresult();
            return FAILED(refused) ? refused : E_FAIL;
        }
        return DeclarePrivateNamespace();
    });
}

HRESULT PrintTicketEditor::DeclarePrivateNamespace() {
    CComBSTR uri(PrintSchema::UserKeywordsNamespaceUri);
    CComBSTR prefix;
    HRESULT hr = m_ticketDocument->GetPrefixFromURI(uri, &prefix);
    if (hr != S_FALSE) {
        return hr;
    }
    CComPtr<IXMLDOMElement> root;
    FU_THROW_IF_FAILED(m_ticketDocument->GetRootNode()->QueryInterface(&root));
    const CComBSTR declaration(static_cast<int>(kPrivatePrefixDeclaration.size()),
                               kPrivatePrefixDeclaration.data());
    VARIANT existing;
    ::VariantInit(&existing);
    hr = root->getAttribute(declaration, &existing);
    ::VariantClear(&existing);
    FU_THROW_IF_FAILED(hr);
    if (hr == S_OK) {
        // "pk" means another namespace in this ticket: redeclaring it would move every name
        // it prefixes into the driver's namespace. The ticket stays as it is; a private edit
        // is then refused by the document.
        return S_OK;
    }
    uri = PrintSchema::UserKeywordsNamespaceUri; // a BSTR of its own for each use
    hr = m_ticketDocument->AppendXMLAttribute(root, declaration, nullptr, uri);
    // The document learns its prefixes when made: made again, it names private things "pk:".
    m_ticketDocument = std::make_unique<PrintTicketXmlDocument>(m_domDocument);
    return hr;
}

CXString PrintTicketEditor::NewEmptyTicketName() {
    const unsigned ticks = ::GetTickCount();
    std::u16string stem;
    switch (m_scope) {
    case kPTJobScope:
        stem = Ascii("/METADATA/Job_PT_%u", ticks);
        break;
    case kPTDocumentScope:
        stem = Ascii("/METADATA/Doc_%u_PT_%u", static_cast<unsigned>(m_documentNumber), ticks);
        break;
    case kPTPageScope:
        stem = Ascii("/METADATA/Page_%u_PT_%u", static_cast<unsigned>(m_pageNumber), ticks);
        break;
    }
    // Numbers and tick counts repeat within a job (two pages in one millisecond, a filter that
    // counts pages per document); a name held already gets a counter.
    return CXString(m_manager.GetPrintTicketPartNames().Choose(stem + u".xml"));
}

HRESULT
PrintTicketEditor::GetPointerToNewEmptyPrintTicketXmlDocument(PrintTicketXmlDocument** ticket) {
    if (m_hasExistingTicket) {
        return E_FAIL;
    }
    if (!m_writer) {
        return E_PENDING;
    }
    if (!ticket) {
        return E_POINTER;
    }
    if (m_ticketDocument) {
        *ticket = m_ticketDocument.get();
        return S_OK;
    }
    if (!m_manager.GetPtrToDefaultPrintTicket()) {
        return E_PENDING; // the manager is not initialised: there is no ticket to start from
    }
    return MakeTicketDocument(NewEmptyTicketName(), &PrintTicketEditor::LoadEmptyTicket, ticket);
}

HRESULT PrintTicketEditor::LoadEmptyTicket() {
    CComPtr<IStream> serialised;
    HRESULT hr = m_manager.GetPtrToDefaultPrintTicket()->QueryInterface(
        IID_IStream, reinterpret_cast<void**>(&serialised));
    if (FAILED(hr)) {
        return hr;
    }
    CComPtr<IXMLDOMDocument2> copy;
    hr = PrintTicketManager::SetPTFromStream(serialised, &copy);
    if (FAILED(hr)) {
        return hr;
    }
    return CatchComException([&]() -> HRESULT {
        m_ticketDocument.reset();
        m_domDocument = std::move(copy);
        m_ticketDocument = std::make_unique<PrintTicketXmlDocument>(m_domDocument);
        IXMLDOMNode* root = m_ticketDocument->GetRootNode();
        for (;;) {
            CComPtr<IXMLDOMNode> last;
            HRESULT step = root->get_lastChild(&last);
            if (step != S_OK || !last) {
                return FAILED(step) ? step : S_OK;
            }
            CComPtr<IXMLDOMNode> removed;
            step = root->removeChild(last, &removed);
            if (FAILED(step)) {
                return step;
            }
        }
    });
}

HRESULT PrintTicketEditor::WriteTicket() {
    CComPtr<IPrintWriteStream> stream = std::move(m_newTicketStream);
    HRESULT hr = E_FAIL;
    if (m_domDocument) {
        CComPtr<IStream> serialised;
        hr = m_domDocument->QueryInterface(IID_IStream, reinterpret_cast<void**>(&serialised));
        if (SUCCEEDED(hr)) {
            hr = CopyInBlocks(serialised, stream);
        }
    }
    stream->Close();
    return hr;
}

HRESULT PrintTicketEditor::CommitChanges() {
    if (m_newTicketStream) {
        const HRESULT written = WriteTicket();
        if (FAILED(written)) {
            // The part holds half a ticket, or none: it is never attached, and a second
            // commit finds no part to attach.
            m_newTicket.Release();
            return written;
        }
    }
    if (!m_newTicket) {
        return E_FAIL;
    }
    const HRESULT hr = AttachToPart(m_newTicket);
    CComBSTR recorded; // the key the map keeps the new part under: its own name
    if (SUCCEEDED(m_manager.AddUpdatedPrintTicketToMap(m_newTicket)) && m_hasExistingTicket &&
        m_existingTicketUri.GetLength() > 0 && SUCCEEDED(m_newTicket->GetUri(&recorded))) {
        // Every later part of this scope that shares the old ticket gets this one.
        m_manager.GetPrintTicketPartNames().RecordRewrite(
            m_scope, m_existingTicketUri.View(),
            std::u16string_view(recorded.m_str ? recorded.m_str : u"", recorded.Length()));
    }
    return hr;
}
