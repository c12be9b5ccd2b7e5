// CFileResourceCache: resources shared by fixed pages, written as parts once per key and
// attached to every page that asks for them.
//
// Contract.
// - WriteResource asks the filter's IResWriter for the resource's key and part name. The
//   first time a key is seen the cache creates the part through the XPS writer, lets the
//   IResWriter fill it, closes its stream and keeps the part; every call then attaches the
//   kept part to the page. A part whose writing or creation failed is neither kept nor
//   attached, so the next call with that key tries again.
// - Keys are compared as VarBstrCmp compares them (the user's default locale, no flags):
//   case-sensitive, code unit by code unit here.
// - The cache holds one reference on each kept part and owns its keys and part names; a copy
//   of the cache shares the parts (a reference each) and copies the texts.
// - Failures come back as HRESULTs. A text that cannot be copied raises ATL::CAtlException
//   (E_OUTOFMEMORY), which passes to the caller, and leaves the cache as it was; an exception
//   thrown by the IResWriter passes on too, after the new part's stream has been closed.
// - A cache is used by the one thread that runs its filter.
#pragma once

#include <filterutilities/filterutilitiesexport.h>
#include <filterutilities/reswriter.h>

#include <atlbase.h>
#include <filterpipeline.h>
#include <windows.h>

#include <map>

class FILTERUTILITIES_API CFileResourceCache {
public:
    CFileResourceCache();
    CFileResourceCache(const CFileResourceCache& other);
    CFileResourceCache& operator=(const CFileResourceCache& other);
    virtual ~CFileResourceCache();

    // Writes the resource as a new part unless its key has one, then attaches the part to
    // page. E_POINTER for a null argument; otherwise the first failure of the IResWriter, the
    // writer or the page.
    HRESULT WriteResource(IXpsDocumentConsumer* writer, IFixedPage* page, IResWriter* resource);

    // A new copy of the part name written for key (the caller frees it). E_POINTER for a null
    // out pointer, E_INVALIDARG for an empty key, E_FAIL and null when the key has no part.
    HRESULT GetURI(const WCHAR* key, BSTR* uri) const;

protected:
    // Non-zero when key has a part.
    int Cached(const WCHAR* key) const;

private:
    struct KeyLess {
        bool operator()(const CComBSTR& left, const CComBSTR& right) const noexcept;
    };
    struct Resource {
        CComBSTR uri;
        CComPtr<IPartBase> part;
    };
    using ResourceMap = std::map<CComBSTR, Resource, KeyLess>;

    static HRESULT CreatePart(IXpsDocumentConsumer* writer, IResWriter* resource, BSTR uri,
                              CComPtr<IPartBase>& part);

    ResourceMap m_resources;
};
