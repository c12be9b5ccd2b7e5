// IResWriter: one resource that a filter adds to fixed pages (a font, an image, a resource
// dictionary), as the page resource cache sees it.
//
// Contract: the filter implements one object per resource and keeps it alive for the call of
// CFileResourceCache::WriteResource it is given to. The cache asks it for the key under which
// the resource is shared between pages and for the part name to create, each a new BSTR that
// the cache frees; the first time a key is seen it creates the part with the interface of
// GetResourceInterfaceId and lets WriteResourceData fill it. WriteResourceData writes the
// resource's bytes into the stream and leaves closing it to the cache.
#pragma once

#include <filterpipeline.h>
#include <windows.h>

class IResWriter {
public:
    virtual ~IResWriter() = default;

    virtual HRESULT WriteResourceData(IUnknown* newPart, IPrintWriteStream* stream) = 0;
    virtual HRESULT GetResourceKey(BSTR* key) = 0;
    virtual HRESULT GetResourceUri(BSTR* uri) = 0;
    // The interface of the part to create, as IXpsDocumentConsumer::GetNewEmptyPart takes it.
    virtual REFIID GetResourceInterfaceId() = 0;

protected:
    IResWriter() = default;
    IResWriter(const IResWriter&) = default;
    IResWriter& operator=(const IResWriter&) = default;
};
