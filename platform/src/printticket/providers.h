// PrintTicket providers: one per PTOpenProvider, for one printer, on one thread.
//
// Ownership: a handle table (handletable.h) holds each open provider from PTOpenProvider to
// PTCloseProvider; a provider owns the printer's capabilities, parsed and indexed once when it
// opens, and the base ticket of its last merge, and shares the printer description. A provider is
// used only by the thread that opened it, so its documents need no lock.
#pragma once

#include "printticket/capabilitiesindex.h"

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

struct Provider {
    std::thread::id owner;
    platformprinters::Printer printer;
    Document capabilities;
    // Points into capabilities, so it is declared after it and goes first.
    std::unique_ptr<const CapabilitiesIndex> index;
    LastBaseTicket lastBase;
};

HPTPROVIDER AddProvider(std::unique_ptr<Provider> provider); // null when memory runs out
// The provider, or null with *status E_HANDLE (not open) or E_INVALIDARG (another thread's).
std::shared_ptr<Provider> FindProvider(HPTPROVIDER handle, HRESULT* status);
HRESULT RemoveProvider(HPTPROVIDER handle);

} // namespace platform::printticket
