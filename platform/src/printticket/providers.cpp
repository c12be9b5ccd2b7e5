#include "printticket/providers.h"

#include "handletable.h"
#include "msxml/domloader.h"

#include "platformtest.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace platform::printticket {
namespace {

HandleTable<Provider>& Providers() {
    static HandleTable<Provider> table;
    return table;
}

// The capabilities made so far, by the description they were read from. A description that
// was read again (its file changed) is a new object: the entry of the old one goes once
// nobody holds that any longer.
class CapabilitiesCache {
public:
    std::shared_ptr<const PrinterCapabilities> Find(const platformprinters::Printer& printer) {
        const std::lock_guard lock(mutex_);
        std::erase_if(entries_, [](const Entry& entry) { return entry.printer.expired(); });
        for (const Entry& entry : entries_) {
            if (entry.printer.lock() == printer) {
                return entry.capabilities;
            }
        }
        return nullptr;
    }
    // Keeps capabilities unless another thread kept some first; answers the ones kept.
    std::shared_ptr<const PrinterCapabilities>
    Keep(const platformprinters::Printer& printer,
         std::shared_ptr<const PrinterCapabilities> capabilities) {
        const std::lock_guard lock(mutex_);
        for (const Entry& entry : entries_) {
            if (entry.printer.lock() == printer) {
                return entry.capabilities;
            }
        }
        entries_.push_back(Entry{printer, capabilities});
        return capabilities;
    }

private:
    struct Entry {
        std::weak_ptr<const platformprinters::PrinterDescription> printer;
        std::shared_ptr<const PrinterCapabilities> capabilities;
    };
    std::mutex mutex_;
    std::vector<Entry> entries_;
};

// Never destroyed: providers of other static objects may outlive it.
CapabilitiesCache& Capabilities() {
    static CapabilitiesCache* const cache = new CapabilitiesCache;
    return *cache;
}

} // namespace

std::shared_ptr<const PrinterCapabilities> CapabilitiesOf(const platformprinters::Printer& printer,
                                                          HRESULT* status) {
    *status = S_OK;
    if (std::shared_ptr<const PrinterCapabilities> found = Capabilities().Find(printer)) {
        return found;
    }
    auto made = std::make_shared<PrinterCapabilities>();
    msxml::ParseFailure failure;
    made->document.reset(
        msxml::ParseDocument(printer->capabilities, msxml::ParseOptions{}, failure));
    if (!made->document) {
        *status = failure.reason == "Out of memory." ? E_OUTOFMEMORY : E_PRINTCAPABILITIES_FORMAT;
        return nullptr;
    }
    // Looking up the prefix "xml" gives a document its declaration of that namespace the first
    // time: done now, so that the readers that share the document never write to it.
    xmlNode* root = xmlDocGetRootElement(made->document.get());
    if (root && !xmlSearchNs(made->document.get(), root, reinterpret_cast<const xmlChar*>("xml"))) {
        throw std::bad_alloc();
    }
    made->index = std::make_unique<const CapabilitiesIndex>(made->document.get());
    return Capabilities().Keep(printer, std::move(made));
}

HPTPROVIDER AddProvider(std::unique_ptr<Provider> provider) {
    return Providers().Open(std::move(provider));
}

std::shared_ptr<Provider> FindProvider(HPTPROVIDER handle, HRESULT* status) {
    std::shared_ptr<Provider> found = Providers().Find(handle);
    *status = !found ? E_HANDLE : found->owner != std::this_thread::get_id() ? E_INVALIDARG : S_OK;
    return *status == S_OK ? found : nullptr;
}

HRESULT RemoveProvider(HPTPROVIDER handle) {
    HRESULT status = S_OK;
    if (!FindProvider(handle, &status)) {
        return status;
    }
    return Providers().Close(handle) ? S_OK : E_HANDLE;
}

} // namespace platform::printticket

size_t platformtest::OpenPrintTicketProviderCount() {
    return platform::printticket::Providers().Count();
}
