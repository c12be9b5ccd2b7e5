// A pass-through filter on XpsFilterBase, built as a module against the installed package:
// every part goes on as it came, and each page's ticket is resolved (merged onto the
// document's) and its orientation read, so that the job fails if the library's ticket handling
// does not work from outside its own tree. At the end of the job it says on the debugger output
// how many pages it resolved.
#include <filterutilities/cunknown.h>
#include <filterutilities/xpsfilterbase.h>
#include <filterutilities/xpsfilterprintticket.h>

#include <atlbase.h>
#include <unknwn.h>
#include <windows.h>

#include <new>
#include <string>

namespace {

// {6B0E2C14-93D5-4F0A-A7E1-3C58D20F7B91}, as passthrough-pipeline.xml names it.
constexpr CLSID kPassThroughFilter{
    0x6B0E2C14, 0x93D5, 0x4F0A, {0xA7, 0xE1, 0x3C, 0x58, 0xD2, 0x0F, 0x7B, 0x91}};

class PassThroughFilter final : public XpsFilterBase {
public:
    PassThroughFilter() { m_printTicketManager.m_mergeEnabled = true; }

protected:
    HRESULT OnFixedPage(IFixedPage* page) override {
        if (!page) {
            return E_POINTER;
        }
        HRESULT hr = m_printTicketManager.InitializeWithPrintTicket(page);
        XpsFilterPrintTicket* view = nullptr;
        if (SUCCEEDED(hr)) {
            hr = m_printTicketManager.GetTicket(kPTPageScope, &view);
        }
        if (SUCCEEDED(hr)) {
            HRESULT status = S_OK;
            view->GetOrientation(nullptr, &status);
            hr = status;
        }
        if (FAILED(hr)) {
            return hr;
        }
        ++m_resolvedPages;
        return XpsFilterBase::OnFixedPage(page);
    }

    HRESULT OnFinalize() override {
        const std::string line =
            "passthroughfilter: " + std::to_string(m_resolvedPages) + " pages resolved\n";
        OutputDebugStringA(line.c_str());
        return XpsFilterBase::OnFinalize();
    }

private:
    ULONG m_resolvedPages = 0;
};

class PassThroughFilterFactory final : public CUnknown<IClassFactory> {
public:
    PassThroughFilterFactory() : CUnknown(IID_IClassFactory) {}

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        if (!object) {
            return E_POINTER;
        }
        *object = nullptr;
        if (outer) {
            return CLASS_E_NOAGGREGATION;
        }
        PassThroughFilter* filter = new (std::nothrow) PassThroughFilter;
        if (!filter) {
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = filter->QueryInterface(riid, object);
        filter->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

} // namespace

extern "C" PLATFORM_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    if (!IsEqualCLSID(clsid, kPassThroughFilter)) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    auto* factory = new (std::nothrow) PassThroughFilterFactory;
    if (!factory) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = factory->QueryInterface(riid, object);
    factory->Release();
    return hr;
}
