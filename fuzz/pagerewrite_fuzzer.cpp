// fuzz-links: watermarkfilter
// fuzz-dict: xml.dict
//
// The SAX reader and the watermark filter's page writer on arbitrary bytes: a page that the
// writer rewrites must rewrite again to the very same bytes (what it writes reads back as what
// it read: names, namespace declarations, attributes, text and processing instructions);
// anything else is refused with a failure. Nothing may crash or leak.
#include <watermark/watermarkpagewriter.h>

#include <atlbase.h>
#include <filterpipeline.h>
#include <msxml6.h>
#include <objbase.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// A pipeline write stream that keeps what it is given.
class Sink final : public IPrintWriteStream {
public:
    std::string bytes;

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (!object) {
            return E_POINTER;
        }
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IPrintWriteStream)) {
            *object = static_cast<IPrintWriteStream*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG count = --references_;
        if (count == 0) {
            delete this;
        }
        return count;
    }
    STDMETHODIMP WriteBytes(const void* buffer, ULONG count, ULONG* written) override {
        bytes.append(static_cast<const char*>(buffer), count);
        *written = count;
        return S_OK;
    }
    STDMETHODIMP_(void) Close() override {}

private:
    ULONG references_ = 1;
};

// The page rewritten, or a failure.
HRESULT Rewrite(ISAXXMLReader* reader, const std::string& page, std::string* out) {
    CComPtr<IStream> input;
    if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &input))) {
        std::abort();
    }
    input->Write(page.data(), static_cast<ULONG>(page.size()), nullptr);
    LARGE_INTEGER start{};
    input->Seek(start, STREAM_SEEK_SET, nullptr);
    CComPtr<Sink> sink;
    sink.Attach(new Sink());
    CComPtr<WatermarkPageWriter> writer;
    writer.Attach(new WatermarkPageWriter(sink, nullptr)); // no marks: a page as it came
    if (FAILED(reader->putContentHandler(writer))) {
        std::abort();
    }
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_UNKNOWN;
    source.punkVal = input;
    const HRESULT hr = reader->parse(source);
    reader->putContentHandler(nullptr);
    *out = sink->bytes;
    return hr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20) {
        return 0;
    }
    static const HRESULT initialized = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(initialized)) {
        std::abort();
    }
    CComPtr<ISAXXMLReader> reader;
    if (FAILED(CoCreateInstance(CLSID_SAXXMLReader60, nullptr, CLSCTX_INPROC_SERVER,
                                IID_ISAXXMLReader, reinterpret_cast<void**>(&reader)))) {
        std::abort();
    }
    std::string once;
    if (FAILED(Rewrite(reader, std::string(reinterpret_cast<const char*>(data), size), &once))) {
        return 0;
    }
    std::string twice;
    if (FAILED(Rewrite(reader, once, &twice)) || twice != once) {
        std::abort();
    }
    return 0;
}
