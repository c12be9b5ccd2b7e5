#include <filterutilities/resourcecopier.h>

#include <atlbase.h>

CResourceCopier::CResourceCopier() = default;

CResourceCopier::~CResourceCopier() = default;

HRESULT CResourceCopier::CopyPageResources(const IFixedPage* source,
                                           IFixedPage* destination) const {
    if (!source || !destination) {
        return E_POINTER;
    }
    // COM methods are not const; handing out an iterator does not change the page.
    CComPtr<IXpsPartIterator> iterator;
    HRESULT hr = const_cast<IFixedPage*>(source)->GetXpsPartIterator(&iterator);
    if (FAILED(hr)) {
        return hr;
    }
    if (!iterator) {
        return E_POINTER;
    }
    iterator->Reset();
    while (SUCCEEDED(hr) && !iterator->IsDone()) {
        CComBSTR uri;
        CComPtr<IUnknown> part;
        hr = iterator->Current(&uri, &part);
        if (SUCCEEDED(hr)) {
            hr = destination->SetPagePart(part);
            iterator->Next();
        }
    }
    return hr;
}
