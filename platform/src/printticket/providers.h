// PrintTicket providers: one per PTOpenProvider, for one printer, on one thread.
//
// Ownership: a handle table (handletable.h) holds each open provider from PTOpenProvider to
// PTCloseProvider; a provider owns the base ticket of its last merge, and shares the printer
// description and the printer's capabilities, parsed and indexed once per description and
// only ever read after that, by providers on any thread. A provider is used only by the thread
// that opened it, so its own document needs no lock.
#pragma once

#include "printticket/capabilitiesindex.h"

#include "platformexport.h"
#include "platformprinters.h"
#include "prntvpt.h"

#include <libxml/tree.h>

#include <memory>
#include <string>
#include <thread>

namespace platform::printticket {

struct DocumentDeleter {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using Document = std::unique_ptr<xmlDoc, DocumentDeleter>;

// The base ticket of the last merge, as bytes, and the document they parse to once the same
// bytes have come twice running: the pages of a document are merged one after another onto
// the document's ticket, which is then parsed once and copied for each page.
struct LastBaseTicket {
    std::string bytes;
    Document parsed; // null until the bytes come again
};

// A printer's capabilities document and its index, never changed once made, so that providers
// on several threads read them at once.
struct PrinterCapabilities {
    Document document;
    // Points into document, so it is declared after it and goes first.
    std::unique_ptr<const CapabilitiesIndex> index;
};

// The capabilities of printer, parsed and indexed by the first provider that asks for them and
// kept while the description lives. Null with *status set (E_PRINTCAPABILITIES_FORMAT,
// E_OUTOFMEMORY) when they do not parse; a failure is not kept. Throws std::bad_alloc.
PLATFORM_EXPORT std::shared_ptr<const PrinterCapabilities>
CapabilitiesOf(const platformprinters::Printer& printer, HRESULT* status);

struct Provider {
    std::thread::id owner;
    platformprinters::Printer printer;
    std::shared_ptr<const PrinterCapabilities> capabilities;
    LastBaseTicket lastBase;
};

// Keeps the provider under a new handle; null when memory runs out.
PLATFORM_EXPORT HPTPROVIDER AddProvider(std::unique_ptr<Provider> provider);
// The provider, or null with *status E_HANDLE (not open) or E_INVALIDARG (another thread's).
std::shared_ptr<Provider> FindProvider(HPTPROVIDER handle, HRESULT* status);
HRESULT RemoveProvider(HPTPROVIDER handle);

} // namespace platform::printticket
