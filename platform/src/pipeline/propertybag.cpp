#include "propertybag.h"

#include "files.h"

#include "../com/comobject.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace platform::pipeline {
namespace {

// One VARIANT owned: cleared with the entry.
struct OwnedVariant {
    VARIANT value;
    OwnedVariant() { VariantInit(&value); }
    ~OwnedVariant() { VariantClear(&value); }
    OwnedVariant(const OwnedVariant&) = delete;
    OwnedVariant& operator=(const OwnedVariant&) = delete;
};

// Filters run on threads of their own and may add, read and delete properties at once.
class PropertyBag final : public com::Object<PropertyBag, IPrintPipelinePropertyBag> {
public:
    using Interfaces = com::InterfaceTable<IPrintPipelinePropertyBag>;

    HRESULT STDMETHODCALLTYPE AddProperty(const WCHAR* name, const VARIANT* value) override {
        if (!name || !value) {
            return E_POINTER;
        }
        return com::Guarded([&] {
            auto copy = std::make_unique<OwnedVariant>();
            const HRESULT hr = VariantCopy(&copy->value, value);
            if (FAILED(hr)) {
                return hr;
            }
            std::unique_ptr<OwnedVariant> replaced; // cleared outside the lock
            std::lock_guard lock(mutex_);
            std::unique_ptr<OwnedVariant>& slot = properties_[name];
            replaced = std::move(slot);
            slot = std::move(copy);
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE GetProperty(const WCHAR* name, VARIANT* value) override {
        if (!name || !value) {
            return E_POINTER;
        }
        VariantInit(value);
        return com::Guarded([&] {
            std::lock_guard lock(mutex_);
            const auto found = properties_.find(name);
            if (found == properties_.end()) {
                return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
            }
            return VariantCopy(value, &found->second->value);
        });
    }

    BOOL STDMETHODCALLTYPE DeleteProperty(const WCHAR* name) override {
        if (!name) {
            return FALSE;
        }
        std::unique_ptr<OwnedVariant> deleted;
        std::lock_guard lock(mutex_);
        const auto found = properties_.find(name);
        if (found == properties_.end()) {
            return FALSE;
        }
        deleted = std::move(found->second);
        properties_.erase(found);
        return TRUE;
    }

private:
    std::mutex mutex_;
    std::map<std::u16string, std::unique_ptr<OwnedVariant>, std::less<>> properties_;
};

// A stream over bytes in memory, from their start.
class MemoryReadStream final : public com::Object<MemoryReadStream, IPrintReadStream> {
public:
    using Interfaces = com::InterfaceTable<IPrintReadStream>;
    explicit MemoryReadStream(std::shared_ptr<const std::string> bytes)
        : bytes_(std::move(bytes)) {}

    HRESULT STDMETHODCALLTYPE Seek(LONGLONG offset, DWORD origin, ULONGLONG* newPosition) override {
        const HRESULT hr = SeekTarget(offset, origin, position_, bytes_->size(), position_);
        if (SUCCEEDED(hr) && newPosition) {
            *newPosition = position_;
        }
        return hr;
    }

    HRESULT STDMETHODCALLTYPE ReadBytes(void* buffer, ULONG count, ULONG* read,
                                        BOOL* endOfFile) override {
        if (read) {
            *read = 0;
        }
        if (!buffer && count) {
            return E_POINTER;
        }
        const ULONGLONG left = position_ < bytes_->size() ? bytes_->size() - position_ : 0;
        const auto taken = static_cast<ULONG>(std::min<ULONGLONG>(left, count));
        if (taken) {
            std::memcpy(buffer, bytes_->data() + position_, taken);
        }
        position_ += taken;
        if (read) {
            *read = taken;
        }
        if (endOfFile) {
            *endOfFile = position_ >= bytes_->size();
        }
        return S_OK;
    }

private:
    std::shared_ptr<const std::string> bytes_;
    ULONGLONG position_ = 0;
};

class TicketStreamFactory final : public com::Object<TicketStreamFactory, IPrintReadStreamFactory> {
public:
    using Interfaces = com::InterfaceTable<IPrintReadStreamFactory>;
    explicit TicketStreamFactory(std::shared_ptr<const std::string> ticket)
        : ticket_(std::move(ticket)) {}

    HRESULT STDMETHODCALLTYPE GetStream(IPrintReadStream** stream) override {
        if (!stream) {
            return E_POINTER;
        }
        *stream = com::New<MemoryReadStream>(ticket_);
        return *stream ? S_OK : E_OUTOFMEMORY;
    }

private:
    std::shared_ptr<const std::string> ticket_;
};

} // namespace

ATL::CComPtr<IPrintPipelinePropertyBag> MakePropertyBag() {
    ATL::CComPtr<IPrintPipelinePropertyBag> bag;
    bag.Attach(com::Require(com::New<PropertyBag>()));
    return bag;
}

ATL::CComPtr<IUnknown> MakeTicketStreamFactory(std::shared_ptr<const std::string> ticket) {
    return NewObject<IPrintReadStreamFactory, TicketStreamFactory>(std::move(ticket));
}

} // namespace platform::pipeline
