#include "printticket/providers.h"

#include <mutex>
#include <unordered_map>

namespace platform::printticket {
namespace {

struct ProviderTable {
    std::mutex lock;
    std::unordered_map<HPTPROVIDER, std::shared_ptr<Provider>> open;
};

ProviderTable& Providers() {
    static ProviderTable table;
    return table;
}

} // namespace

HPTPROVIDER AddProvider(std::unique_ptr<Provider> provider) {
    std::shared_ptr<Provider> shared(std::move(provider));
    HPTPROVIDER handle = shared.get();
    ProviderTable& table = Providers();
    std::lock_guard guard(table.lock);
    table.open.emplace(handle, std::move(shared));
    return handle;
}

std::shared_ptr<Provider> FindProvider(HPTPROVIDER handle, HRESULT* status) {
    ProviderTable& table = Providers();
    std::lock_guard guard(table.lock);
    const auto found = table.open.find(handle);
    if (found == table.open.end()) {
        *status = E_HANDLE;
        return nullptr;
    }
    if (found->second->owner != std::this_thread::get_id()) {
        *status = E_INVALIDARG;
        return nullptr;
    }
    *status = S_OK;
    return found->second;
}

HRESULT RemoveProvider(HPTPROVIDER handle) {
    HRESULT status = S_OK;
    std::shared_ptr<Provider> closed = FindProvider(handle, &status);
    if (!closed) {
        return status;
    }
    ProviderTable& table = Providers();
    std::lock_guard guard(table.lock);
    table.open.erase(handle);
    return S_OK;
}

} // namespace platform::printticket
