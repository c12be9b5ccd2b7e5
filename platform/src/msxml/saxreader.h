// The SAX reader (CLSID_SAXXMLReader60): parses text or a stream with libxml2's push parser
// (so a stream is never held whole) and calls the caller's ISAXContentHandler.
#pragma once

#include "msxml6.h"

#include "domnode.h"

#include "atlbase.h"

namespace platform::msxml {

class SaxReader final : public com::Object<SaxReader, ISAXXMLReader> {
public:
    using Interfaces = com::InterfaceTable<ISAXXMLReader>;

    static HRESULT CreateInstance(REFIID iid, void** object);

    HRESULT STDMETHODCALLTYPE getContentHandler(ISAXContentHandler** handler) override;
    HRESULT STDMETHODCALLTYPE putContentHandler(ISAXContentHandler* handler) override;
    HRESULT STDMETHODCALLTYPE parse(VARIANT input) override;

private:
    CComPtr<ISAXContentHandler> handler_;
};

} // namespace platform::msxml
