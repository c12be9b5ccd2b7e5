// The SAX reader (CLSID_SAXXMLReader60): parses text or a stream with libxml2's push parser
// (so a stream is never held whole) and calls the caller's ISAXContentHandler.
#pragma once

#include "msxml6.h"

#include "domnode.h"

#include "atlbase.h"

namespace platform::msxml {

class SaxReader final : public ISAXXMLReader, public PlatformAllocated {
public:
    static HRESULT CreateInstance(REFIID iid, void** object);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE getContentHandler(ISAXContentHandler** handler) override;
    HRESULT STDMETHODCALLTYPE putContentHandler(ISAXContentHandler* handler) override;
    HRESULT STDMETHODCALLTYPE parse(VARIANT input) override;

private:
    SaxReader() = default;
    ~SaxReader() = default;

    CComPtr<ISAXContentHandler> handler_;
    ULONG references_ = 1;
};

} // namespace platform::msxml
