// fuzz-links: platform
// fuzz-dict: xml.dict
//
// The DOM stand-in on arbitrary bytes: whatever loads must write out as a stream that loads
// back to the same document, before and after edits that move nodes and take namespace
// declarations away; nothing may crash or leak.
#include <atlbase.h>
#include <msxml6.h>
#include <objbase.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

CComPtr<IXMLDOMDocument2> Load(const void* bytes, size_t size) {
    CComPtr<IXMLDOMDocument2> doc;
    CComPtr<IStream> stream;
    if (FAILED(CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IXMLDOMDocument2, reinterpret_cast<void**>(&doc))) ||
        FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &stream))) {
        std::abort();
    }
    stream->Write(bytes, static_cast<ULONG>(size), nullptr);
    LARGE_INTEGER start{};
    stream->Seek(start, STREAM_SEEK_SET, nullptr);
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_UNKNOWN;
    source.punkVal = stream;
    VARIANT_BOOL ok = VARIANT_FALSE;
    const HRESULT hr = doc->load(source, &ok);
    if ((hr == S_OK) != (ok == VARIANT_TRUE) || (hr != S_OK && hr != S_FALSE)) {
        std::abort();
    }
    return ok == VARIANT_TRUE ? doc : nullptr;
}

// The bytes of the document's stream (UTF-8, the declaration labelled so).
std::string StreamBytes(IXMLDOMDocument2* doc) {
    CComPtr<IStream> stream;
    if (FAILED(doc->QueryInterface(IID_IStream, reinterpret_cast<void**>(&stream)))) {
        std::abort();
    }
    std::string bytes;
    char buffer[4096];
    for (ULONG read = 0; SUCCEEDED(stream->Read(buffer, sizeof buffer, &read)) && read > 0;) {
        bytes.append(buffer, read);
    }
    return bytes;
}

// The stream loads back to a document that writes the same bytes.
void CheckRoundTrip(IXMLDOMDocument2* doc) {
    const std::string bytes = StreamBytes(doc);
    CComPtr<IXMLDOMDocument2> again = Load(bytes.data(), bytes.size());
    if (!again || StreamBytes(again) != bytes) {
        std::abort();
    }
}

// Reads what every node of a query holds, as a caller walking the document would.
void Walk(IXMLDOMDocument2* doc, const char16_t* query) {
    CComPtr<IXMLDOMNodeList> nodes;
    if (FAILED(doc->selectNodes(CComBSTR(query), &nodes))) {
        return;
    }
    for (CComPtr<IXMLDOMNode> node; nodes->nextNode(&node) == S_OK; node.Release()) {
        CComBSTR text;
        CComBSTR xml;
        node->get_text(&text);
        node->get_xml(&xml);
        CComPtr<IXMLDOMNamedNodeMap> attributes;
        if (node->get_attributes(&attributes) == S_OK) {
            for (CComPtr<IXMLDOMNode> attribute; attributes->nextNode(&attribute) == S_OK;
                 attribute.Release()) {
                VARIANT value;
                attribute->get_nodeValue(&value);
                VariantClear(&value);
            }
        }
    }
}

void Edit(IXMLDOMDocument2* doc) {
    CComPtr<IXMLDOMElement> root;
    if (doc->get_documentElement(&root) != S_OK) {
        return;
    }
    // Take every declaration off the root: the nodes that used them must declare for
    // themselves when written.
    CComPtr<IXMLDOMNamedNodeMap> attributes;
    root->get_attributes(&attributes);
    LONG length = 0;
    attributes->get_length(&length);
    for (LONG i = length - 1; i >= 0; --i) {
        CComPtr<IXMLDOMNode> attribute;
        CComBSTR name;
        if (attributes->get_item(i, &attribute) == S_OK && attribute->get_nodeName(&name) == S_OK &&
            name.Length() >= 5 && name.m_str[0] == u'x' && name.m_str[1] == u'm' &&
            name.m_str[2] == u'l' && name.m_str[3] == u'n' && name.m_str[4] == u's') {
            CComPtr<IXMLDOMNode> removed;
            attributes->removeNamedItem(name, &removed);
        }
    }
    // Move the first child last, and put a deep copy of the root's first element child in
    // front.
    CComPtr<IXMLDOMNode> first;
    if (root->get_firstChild(&first) == S_OK) {
        root->appendChild(first, nullptr);
    }
    CComPtr<IXMLDOMNode> element;
    if (root->selectSingleNode(CComBSTR(u"*"), &element) == S_OK) {
        CComPtr<IXMLDOMNode> copy;
        CComPtr<IXMLDOMNode> front;
        if (element->cloneNode(VARIANT_TRUE, &copy) == S_OK &&
            root->get_firstChild(&front) == S_OK) {
            VARIANT before;
            VariantInit(&before);
            before.vt = VT_UNKNOWN;
            before.punkVal = front;
            root->insertBefore(copy, before, nullptr);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool apartment = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    (void)apartment;
    CComPtr<IXMLDOMDocument2> doc = Load(data, size);
    if (!doc) {
        return 0;
    }
    CComBSTR namespaces(u"xmlns:psf='http://schemas.microsoft.com/windows/2003/08/printing/"
                        u"printschemaframework'");
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = namespaces;
    doc->setProperty(CComBSTR(u"SelectionNamespaces"), value);
    CheckRoundTrip(doc);
    Walk(doc, u"//node()");
    Walk(doc, u"//psf:Feature[@name] | //psf:Option");
    Edit(doc);
    CheckRoundTrip(doc);
    return 0;
}
