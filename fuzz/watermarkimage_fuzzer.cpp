// fuzz-links: watermarkfilter
//
// The image watermark's picture file on arbitrary bytes: told apart by its signature, its size
// and resolution read from its PNG chunks, JPEG segments or TIFF directory. A file that is
// accepted has a size and a believable resolution, draws as markup with finite numbers, and is
// written to the next filter as it came; anything else is refused. Nothing may crash or leak.
#include "fuzzcheck.h"

#include <watermark/watermarkimage.h>

#include <atlbase.h>
#include <filterpipeline.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A pipeline write stream that keeps what it is given.
class Sink final : public IPrintWriteStream {
public:
    std::string bytes;

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IPrintWriteStream)) {
            *object = static_cast<IPrintWriteStream*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override { return --references_; }
    STDMETHODIMP WriteBytes(const void* buffer, ULONG count, ULONG* written) override {
        bytes.append(static_cast<const char*>(buffer), count);
        *written = count;
        return S_OK;
    }
    STDMETHODIMP_(void) Close() override {}

private:
    ULONG references_ = 1;
};

// An image part that takes its content type.
class ImagePart final : public IPartImage {
public:
    std::u16string contentType;

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IPartImage)) {
            *object = static_cast<IPartImage*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override { return --references_; }
    STDMETHODIMP GetUri(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP GetStream(IPrintReadStream**) override { return E_NOTIMPL; }
    STDMETHODIMP GetPartCompression(EXpsCompressionOptions*) override { return E_NOTIMPL; }
    STDMETHODIMP SetPartCompression(EXpsCompressionOptions option) override {
        // An image is either left to the writer's default or stored as it is.
        return option == Compression_NotCompressed ? S_OK : E_INVALIDARG;
    }
    STDMETHODIMP GetImageProperties(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP SetImageContent(const WCHAR* type) override {
        contentType = type;
        return S_OK;
    }

private:
    ULONG references_ = 1;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    WatermarkImage image;
    if (FAILED(WatermarkImage::Parse(std::vector<BYTE>(data, data + size), &image))) {
        FUZZ_REQUIRE(image.Bytes().empty() && image.PartName().empty());
        return 0;
    }
    FUZZ_REQUIRE(image.PixelWidth() > 0 && image.PixelHeight() > 0);
    FUZZ_REQUIRE(image.DotsPerInchX() >= 1 && image.DotsPerInchY() >= 1);
    FUZZ_REQUIRE(std::isfinite(image.Width()) && std::isfinite(image.Height()));
    FUZZ_REQUIRE(image.Bytes().size() == size);

    const std::u16string markup =
        image.Markup(u"p:", WatermarkImage::Placement{1, 2, image.Width(), image.Height(), 0.5});
    FUZZ_REQUIRE(markup.find(image.PartName()) != std::u16string::npos);
    FUZZ_REQUIRE(markup.find(u"nan") == std::u16string::npos &&
                 markup.find(u"inf") == std::u16string::npos);

    Sink sink;
    ImagePart part;
    FUZZ_REQUIRE(SUCCEEDED(image.WriteResourceData(&part, &sink)));
    FUZZ_REQUIRE(part.contentType == image.ContentType());
    FUZZ_REQUIRE(sink.bytes.size() == size && std::memcmp(sink.bytes.data(), data, size) == 0);
    return 0;
}
