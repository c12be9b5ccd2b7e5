#include "watermarkfilter.h"

#include <filterutilities/cunknown.h>
#include <filterutilities/xpsfilterbase.h>

#include <atomic>
#include <new>

namespace {

// Factories, filters and server locks alive (WatermarkFilterInUse).
std::atomic<LONG> g_objectsAlive{0};

class WatermarkFilter final : public XpsFilterBase {
public:
    explicit WatermarkFilter(const WatermarkFilterOptions& options) : m_options(options) {
        m_printTicketManager.m_mergeEnabled = true;
        ++g_objectsAlive;
    }
    ~WatermarkFilter() override { --g_objectsAlive; }

protected:
    HRESULT OnFixedPage(IFixedPage*) override { return E_NOTIMPL; }

private:
    WatermarkFilterOptions m_options;
};

class WatermarkFilterFactory final : public CUnknown<IClassFactory> {
public:
    explicit WatermarkFilterFactory(const WatermarkFilterOptions& options)
        : CUnknown(IID_IClassFactory), m_options(options) {
        ++g_objectsAlive;
    }
    ~WatermarkFilterFactory() override { --g_objectsAlive; }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        if (!object) {
            return E_POINTER;
        }
        *object = nullptr;
        if (outer) {
            return CLASS_E_NOAGGREGATION;
        }
        WatermarkFilter* filter = new (std::nothrow) WatermarkFilter(m_options);
        if (!filter) {
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = filter->QueryInterface(riid, object);
        filter->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        g_objectsAlive += lock ? 1 : -1;
        return S_OK;
    }

private:
    WatermarkFilterOptions m_options;
};

} // namespace

HRESULT MakeWatermarkFilterFactory(const WatermarkFilterOptions& options, IClassFactory** factory) {
    if (!factory) {
        return E_POINTER;
    }
    *factory = nullptr;
    try {
        *factory = new WatermarkFilterFactory(options);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

bool WatermarkFilterInUse() noexcept {
    return g_objectsAlive.load() != 0;
}
