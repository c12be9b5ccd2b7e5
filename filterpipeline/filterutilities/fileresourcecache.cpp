#include <filterutilities/fileresourcecache.h>

#include <oleauto.h>

#include <exception>
#include <utility>

bool CFileResourceCache::KeyLess::operator()(const CComBSTR& left,
                                             const CComBSTR& right) const noexcept {
    return VarBstrCmp(left, right, LOCALE_USER_DEFAULT, 0) == VARCMP_LT;
}

CFileResourceCache::CFileResourceCache() = default;

CFileResourceCache::CFileResourceCache(const CFileResourceCache& other) = default;

CFileResourceCache& CFileResourceCache::operator=(const CFileResourceCache& other) {
    if (this != &other) {
        // Copied whole before anything changes, so a failed copy leaves this cache as it was.
        ResourceMap copy(other.m_resources);
        m_resources.swap(copy);
    }
    return *this;
}

CFileResourceCache::~CFileResourceCache() = default;

HRESULT CFileResourceCache::WriteResource(IXpsDocumentConsumer* writer, IFixedPage* page,
                                          IResWriter* resource) {
    if (!writer || !page || !resource) {
        return E_POINTER;
    }
    CComBSTR key;
    HRESULT hr = resource->GetResourceKey(&key);
    if (FAILED(hr)) {
        return hr;
    }
    CComBSTR uri;
    hr = resource->GetResourceUri(&uri);
    if (FAILED(hr)) {
        return hr;
    }

    auto entry = m_resources.find(key);
    if (entry == m_resources.end()) {
        CComPtr<IPartBase> part;
        hr = CreatePart(writer, resource, uri, part);
        if (FAILED(hr)) {
            return hr;
        }
        try {
            entry = m_resources.emplace(key, Resource{uri, part}).first;
        } catch (const std::exception&) {
            return E_FAIL;
        }
    }
    try {
        return page->SetPagePart(entry->second.part);
    } catch (const std::exception&) {
        return E_FAIL;
    }
}

HRESULT CFileResourceCache::CreatePart(IXpsDocumentConsumer* writer, IResWriter* resource, BSTR uri,
                                       CComPtr<IPartBase>& part) {
    CComPtr<IUnknown> newPart;
    CComPtr<IPrintWriteStream> stream;
    HRESULT hr = writer->GetNewEmptyPart(uri, resource->GetResourceInterfaceId(),
                                         reinterpret_cast<void**>(&newPart), &stream);
    if (FAILED(hr)) {
        return hr;
    }
    if (!newPart || !stream) {
        // A writer that claims success without handing both out: nothing to write into.
        if (stream) {
            stream->Close();
        }
        return E_POINTER;
    }
    try {
        hr = resource->WriteResourceData(newPart, stream);
    } catch (...) {
        stream->Close();
        throw;
    }
    stream->Close();
    if (FAILED(hr)) {
        return hr;
    }
    try {
        return newPart->QueryInterface(IID_IPartBase, reinterpret_cast<void**>(&part));
    } catch (const std::exception&) {
        return E_FAIL;
    }
}

HRESULT CFileResourceCache::GetURI(const WCHAR* key, BSTR* uri) const {
    if (!uri) {
        return E_POINTER;
    }
    *uri = nullptr;
    if (!key || !*key) {
        return E_INVALIDARG;
    }
    const auto entry = m_resources.find(CComBSTR(key));
    if (entry == m_resources.end() || entry->second.uri.Length() == 0) {
        return E_FAIL;
    }
    *uri = entry->second.uri.Copy();
    return *uri ? S_OK : E_OUTOFMEMORY;
}

int CFileResourceCache::Cached(const WCHAR* key) const {
    return m_resources.find(CComBSTR(key)) != m_resources.end() ? 1 : 0;
}
