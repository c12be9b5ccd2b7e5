#include "printticket/providers.h"

#include "handletable.h"

#include "platformtest.h"

namespace platform::printticket {
namespace {

HandleTable<Provider>& Providers() {
    static HandleTable<Provider> table;
    return table;
}

} // namespace

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
