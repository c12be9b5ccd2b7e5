// The watermark filter as a loadable filter module, named in a pipeline configuration file:
// its one class is the filter with no options, so every job draws its own settings text.
#include "watermarkfilter.h"

extern "C" PLATFORM_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    if (!IsEqualCLSID(clsid, CLSID_WatermarkFilter)) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    IClassFactory* factory = nullptr;
    HRESULT hr = MakeWatermarkFilterFactory(WatermarkFilterOptions{}, &factory);
    if (SUCCEEDED(hr)) {
        hr = factory->QueryInterface(riid, object);
        factory->Release();
    }
    return hr;
}

// S_OK once nothing this module made is alive and no lock is held.
extern "C" PLATFORM_EXPORT HRESULT DllCanUnloadNow() {
    return WatermarkFilterInUse() ? S_FALSE : S_OK;
}
