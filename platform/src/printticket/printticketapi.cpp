// PTOpenProvider, PTMergeAndValidatePrintTicket, PTCloseProvider.
#include "printticket/printschemanames.h"
#include "printticket/providers.h"
#include "printticket/ticketmerger.h"
#include "printticket/ticketvalidator.h"

#include "com/deferredcontent.h"
#include "msxml/domloader.h"
#include "msxml/domsnapshot.h"
#include "security/users.h"
#include "textutf.h"

#include "atlbase.h"

#include <new>
#include <optional>
#include <string>
#include <string_view>

namespace platform::printticket {
namespace {

constexpr size_t kReadChunk = 65536;

// A failure with the text the caller's error message gets.
struct Failure {
    HRESULT hr;
    std::string message;
};

// Everything from where the stream stands to its end.
std::string ReadStream(IStream* stream, HRESULT formatError, const char* which) {
    std::string bytes;
    char buffer[kReadChunk];
    for (;;) {
        ULONG read = 0;
        const HRESULT hr = stream->Read(buffer, sizeof buffer, &read);
        if (FAILED(hr)) {
            throw Failure{hr, std::string("cannot read the ") + which};
        }
        if (bytes.size() + read > msxml::kMaxDocumentBytes) {
            throw Failure{formatError, std::string("the ") + which + " is too large"};
        }
        bytes.append(buffer, read);
        if (hr != S_OK || read == 0) {
            return bytes;
        }
    }
}

// The loader keeps the XML declaration as a node for the DOM; the writer makes its own.
void DropXmlDeclaration(xmlDoc* doc) {
    for (xmlNode* node = doc->children; node;) {
        xmlNode* next = node->next;
        if (node->type == XML_PI_NODE && xmlStrEqual(node->name, BAD_CAST "xml")) {
            xmlUnlinkNode(node);
            xmlFreeNode(node);
        }
        node = next;
    }
}

Document ParseTicket(const std::string& bytes, HRESULT formatError, const char* which) {
    msxml::ParseFailure failure;
    Document doc(msxml::ParseDocument(bytes, msxml::ParseOptions{}, failure));
    if (!doc) {
        if (failure.reason == "Out of memory.") {
            throw std::bad_alloc();
        }
        std::string message = std::string("the ") + which + " is not well-formed XML";
        if (failure.line > 0) {
            message += " (line " + std::to_string(failure.line) + ": " + failure.reason + ")";
        } else if (!failure.reason.empty()) {
            message += " (" + failure.reason + ")";
        }
        throw Failure{formatError, message};
    }
    DropXmlDeclaration(doc.get());
    try {
        CheckTicketForm(doc.get());
    } catch (const TicketFormatError& error) {
        throw Failure{formatError, std::string("the ") + which + ": " + error.message};
    }
    return doc;
}

// A namespace URI as an attribute value writes it: libxml2 writes a declaration's URI as it
// stands, only quoted, so a URI holding '&' or '<' (which a ticket may carry, escaped) would
// come out as text that is not well-formed, and one holding a tab or a line break as text that
// reads back as another URI. Null when the URI needs no escaping.
std::optional<std::string> EscapedUri(const xmlChar* href) {
    const std::string_view text(reinterpret_cast<const char*>(href));
    if (text.find_first_of("&<\t\n\r") == std::string_view::npos) {
        return std::nullopt;
    }
    std::string escaped;
    for (const char c : text) {
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '\t':
            escaped += "&#9;";
            break;
        case '\n':
            escaped += "&#10;";
            break;
        case '\r':
            escaped += "&#13;";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

// Whether a declaration of the tree has a URI that needs escaping; when rewrite, gives each
// such declaration its escaped text (throws std::bad_alloc).
bool EscapeNamespaceUris(xmlNode* root, bool rewrite) {
    for (xmlNode* node = root; node;) {
        if (node->type == XML_ELEMENT_NODE) {
            for (xmlNs* ns = node->nsDef; ns; ns = ns->next) {
                if (!ns->href) {
                    continue;
                }
                const std::optional<std::string> escaped = EscapedUri(ns->href);
                if (escaped && !rewrite) {
                    return true;
                }
                if (escaped) {
                    xmlChar* copy = xmlStrdup(reinterpret_cast<const xmlChar*>(escaped->c_str()));
                    if (!copy) {
                        throw std::bad_alloc();
                    }
                    xmlFree(const_cast<xmlChar*>(ns->href));
                    ns->href = copy;
                }
            }
        }
        if (node->type == XML_ELEMENT_NODE && node->children) {
            node = node->children;
            continue;
        }
        while (node && node != root && !node->next) {
            node = node->parent;
        }
        node = node && node != root ? node->next : nullptr;
    }
    return false;
}

// The formatted text of a ticket.
std::string TicketText(const xmlDoc* doc) {
    // A ticket with a namespace URI that needs escaping is written from a copy whose
    // declarations hold their escaped text.
    Document escaped;
    if (xmlNode* root = xmlDocGetRootElement(doc); root && EscapeNamespaceUris(root, false)) {
        escaped.reset(xmlCopyDoc(const_cast<xmlDoc*>(doc), 1));
        if (!escaped) {
            throw std::bad_alloc();
        }
        EscapeNamespaceUris(xmlDocGetRootElement(escaped.get()), true);
        doc = escaped.get();
    }
    xmlChar* bytes = nullptr;
    int size = 0;
    xmlDocDumpFormatMemoryEnc(const_cast<xmlDoc*>(doc), &bytes, &size, "UTF-8", 1);
    if (!bytes) {
        throw std::bad_alloc();
    }
    std::string text;
    try {
        text.assign(reinterpret_cast<const char*>(bytes), static_cast<size_t>(size));
    } catch (...) {
        xmlFree(bytes);
        throw;
    }
    xmlFree(bytes);
    return text;
}

// A merged ticket left in the caller's memory stream, written out when the stream is used: a
// DOM document loading the stream takes the tree instead.
class DeferredTicket final : public com::DeferredContent {
public:
    explicit DeferredTicket(Document doc) : doc_(std::move(doc)) {}
    void Write(std::string& out) const override { out = TicketText(doc_.get()); }
    const xmlDoc* Tree() const override { return doc_.get(); }

private:
    Document doc_;
};

void WriteTicket(Document doc, IStream* result) {
    std::unique_ptr<com::DeferredContent> content =
        std::make_unique<DeferredTicket>(std::move(doc));
    CComPtr<com::DeferredStream> deferred;
    if (SUCCEEDED(result->QueryInterface(__uuidof(com::DeferredStream),
                                         reinterpret_cast<void**>(&deferred))) &&
        deferred->Defer(content)) {
        return;
    }
    std::string text;
    content->Write(text);
    ULONG written = 0;
    const HRESULT hr = result->Write(text.data(), static_cast<ULONG>(text.size()), &written);
    if (FAILED(hr)) {
        throw Failure{hr, "cannot write the result"};
    }
    if (written != static_cast<ULONG>(text.size())) {
        throw Failure{STG_E_MEDIUMFULL, "cannot write the whole result"};
    }
}

// A base larger than this is parsed for every merge rather than kept.
constexpr size_t kMaxKeptBaseBytes = size_t{1} << 20;

// A copy of a parsed ticket; null when memory runs out.
Document CopyOf(const xmlDoc* ticket) {
    return Document(xmlCopyDoc(const_cast<xmlDoc*>(ticket), 1));
}

// The base ticket parsed from its bytes, a document of the caller's own. The same bytes as the
// last merge's are parsed once more and then kept parsed, so that from the third merge onto
// one base on, each gets a copy instead of a parse. A failed parse leaves the last base as it
// was.
Document BaseTicket(LastBaseTicket& last, std::string bytes) {
    const bool again = bytes == last.bytes;
    if (again && last.parsed) {
        Document copy = CopyOf(last.parsed.get());
        if (!copy) {
            throw std::bad_alloc();
        }
        return copy;
    }
    Document parsed = ParseTicket(bytes, E_PRINTTICKET_FORMAT, "base ticket");
    if (again) {
        last.parsed = CopyOf(parsed.get()); // a copy that finds no memory is not kept
    } else {
        last.parsed.reset();
        last.bytes.clear();
        if (bytes.size() <= kMaxKeptBaseBytes) {
            last.bytes = std::move(bytes);
        }
    }
    return parsed;
}

// Merges delta (may be null) into merged and validates it; whether a conflict was resolved.
bool MergeAndValidate(const Provider& provider, xmlDoc* merged, const xmlDoc* delta,
                      EPrintTicketScope scope) {
    const std::vector<std::string> declared = DeclaredPrefixes(xmlDocGetRootElement(merged));
    try {
        MergeInto(merged, delta, scope);
    } catch (const NameError& error) {
        throw Failure{E_DELTA_PRINTTICKET_FORMAT, "the delta ticket: " + error.message};
    }
    bool resolved = false;
    try {
        resolved = ValidateAgainstCapabilities(merged, *provider.capabilities->index);
    } catch (const NameError& error) {
        throw Failure{E_PRINTCAPABILITIES_FORMAT, "the printer's capabilities: " + error.message};
    }
    // What the delta brought and validation dropped leaves no declaration behind.
    DropUnusedDeclarations(xmlDocGetRootElement(merged), declared);
    return resolved;
}

// The DOM document's tree behind a stream it handed out, while the provider may take it for
// the stream's text (see DomTreeSnapshot); null for any other stream.
CComPtr<msxml::DomTreeSnapshot> LoadedTreeOf(IStream* stream) {
    CComPtr<msxml::DomTreeSnapshot> snapshot;
    if (FAILED(stream->QueryInterface(__uuidof(msxml::DomTreeSnapshot),
                                      reinterpret_cast<void**>(&snapshot))) ||
        !snapshot->LoadedTree()) {
        return nullptr;
    }
    return snapshot;
}

// The merge on the trees of DOM documents that are exactly as their text would parse: the
// base copied, the delta read where it stands. Null when a ticket is not one the merge takes:
// the caller then merges their text, which says why in the same words as ever.
Document MergeLoadedTrees(const Provider& provider, const xmlDoc* base, const xmlDoc* delta,
                          EPrintTicketScope scope, bool& resolved) {
    Document merged = CopyOf(base);
    if (!merged) {
        throw std::bad_alloc();
    }
    DropXmlDeclaration(merged.get());
    try {
        CheckTicketForm(merged.get());
        if (delta) {
            CheckTicketForm(delta);
        }
        resolved = MergeAndValidate(provider, merged.get(), delta, scope);
    } catch (const TicketFormatError&) {
        return nullptr;
    } catch (const Failure&) {
        return nullptr;
    }
    return merged;
}

HRESULT Merge(Provider& provider, IStream* base, IStream* delta, EPrintTicketScope scope,
              IStream* result) {
    // Tickets that DOM documents hand over unchanged since they were parsed are taken as trees
    // rather than written out and parsed again.
    if (CComPtr<msxml::DomTreeSnapshot> baseTree = LoadedTreeOf(base)) {
        CComPtr<msxml::DomTreeSnapshot> deltaTree = delta ? LoadedTreeOf(delta) : nullptr;
        if (!delta || deltaTree) {
            bool resolved = false;
            Document merged =
                MergeLoadedTrees(provider, baseTree->LoadedTree(),
                                 deltaTree ? deltaTree->LoadedTree() : nullptr, scope, resolved);
            if (merged) {
                baseTree->MarkReadToEnd();
                if (deltaTree) {
                    deltaTree->MarkReadToEnd();
                }
                WriteTicket(std::move(merged), result);
                return resolved ? S_PT_CONFLICT_RESOLVED : S_PT_NO_CONFLICT;
            }
        }
    }
    Document merged =
        BaseTicket(provider.lastBase, ReadStream(base, E_PRINTTICKET_FORMAT, "base ticket"));
    Document deltaTicket;
    if (delta) {
        deltaTicket = ParseTicket(ReadStream(delta, E_DELTA_PRINTTICKET_FORMAT, "delta ticket"),
                                  E_DELTA_PRINTTICKET_FORMAT, "delta ticket");
    }
    const bool resolved = MergeAndValidate(provider, merged.get(), deltaTicket.get(), scope);
    WriteTicket(std::move(merged), result);
    return resolved ? S_PT_CONFLICT_RESOLVED : S_PT_NO_CONFLICT;
}

void SetMessage(BSTR* errorMessage, const std::string& message) {
    if (errorMessage) {
        const std::u16string text = Utf16(message);
        *errorMessage = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    }
}

} // namespace
} // namespace platform::printticket

using namespace platform::printticket;

extern "C" {

HRESULT WINAPI PTOpenProvider(PCWSTR printerName, DWORD version, HPTPROVIDER* provider) {
    platform::security::RecordCall("PTOpenProvider");
    if (!provider) {
        return E_POINTER;
    }
    *provider = nullptr;
    if (!printerName) {
        return E_POINTER;
    }
    if (version != 1) {
        return E_INVALIDARG;
    }
    try {
        auto opened = std::make_unique<Provider>();
        opened->owner = std::this_thread::get_id();
        opened->printer = platformprinters::FindPrinter(printerName);
        if (!opened->printer) {
            return HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME);
        }
        HRESULT status = S_OK;
        opened->capabilities = CapabilitiesOf(opened->printer, &status);
        if (!opened->capabilities) {
            return status;
        }
        *provider = AddProvider(std::move(opened));
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT WINAPI PTMergeAndValidatePrintTicket(HPTPROVIDER provider, IStream* base, IStream* delta,
                                             EPrintTicketScope scope, IStream* result,
                                             BSTR* errorMessage) {
    platform::security::RecordCall("PTMergeAndValidatePrintTicket");
    if (errorMessage) {
        *errorMessage = nullptr;
    }
    HRESULT status = S_OK;
    const std::shared_ptr<Provider> opened = FindProvider(provider, &status);
    if (!opened) {
        return status;
    }
    if (!base || !result) {
        return E_POINTER;
    }
    if (scope < kPTPageScope || scope > kPTJobScope) {
        return E_INVALIDARG;
    }
    try {
        return Merge(*opened, base, delta, scope, result);
    } catch (const Failure& failure) {
        try {
            SetMessage(errorMessage, failure.message);
        } catch (const std::bad_alloc&) {
        }
        return failure.hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT WINAPI PTCloseProvider(HPTPROVIDER provider) {
    platform::security::RecordCall("PTCloseProvider");
    return RemoveProvider(provider);
}

} // extern "C"
