// The SAX reader (CLSID_SAXXMLReader60): parses text or a stream with libxml2's push parser
// (so a stream is never held whole) and calls the caller's ISAXContentHandler.
//
// A reader that parses one document after another (a filter's pages) keeps what a parse made
// for the next: libxml2's parser with its dictionary of names, the UTF-16 forms of those
// names, the attributes and locator objects (unless a handler still holds them) and the read
// buffer. The reader is used on one thread, as MSXML's is.
#pragma once

#include "msxml6.h"

#include "domnode.h"

#include "atlbase.h"

#include <memory>

namespace platform::msxml {

class SaxSession;

class SaxReader final : public com::Object<SaxReader, ISAXXMLReader> {
public:
    using Interfaces = com::InterfaceTable<ISAXXMLReader>;

    SaxReader();
    ~SaxReader() override;

    static HRESULT CreateInstance(REFIID iid, void** object);

    HRESULT STDMETHODCALLTYPE getContentHandler(ISAXContentHandler** handler) override;
    HRESULT STDMETHODCALLTYPE putContentHandler(ISAXContentHandler* handler) override;
    HRESULT STDMETHODCALLTYPE parse(VARIANT input) override;

private:
    CComPtr<ISAXContentHandler> handler_;
    std::unique_ptr<SaxSession> session_; // what the last parse left; null while one runs
};

} // namespace platform::msxml
