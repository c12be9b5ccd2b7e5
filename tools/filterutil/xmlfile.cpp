#include "xmlfile.h"

#include "text.h"
#include "toolerror.h"

#include <objbase.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace filterutil {
namespace {

// A read-only stream over a file descriptor it does not own. It remembers why reading
// stopped, so a failed load can be told apart: a read error, input the DOM refused as too
// large (it stopped reading before the end), or bytes that are not XML.
class DescriptorStream final : public ISequentialStream {
public:
    explicit DescriptorStream(int descriptor) : descriptor_(descriptor) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!object) {
            return E_POINTER;
        }
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ISequentialStream)) {
            *object = static_cast<ISequentialStream*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG count, ULONG* read) override {
        if (read) {
            *read = 0;
        }
        if (!buffer) {
            return STG_E_INVALIDPOINTER;
        }
        ssize_t got = 0;
        do {
            got = ::read(descriptor_, buffer, count);
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            error_ = errno;
            return STG_E_ACCESSDENIED;
        }
        if (got == 0) {
            atEnd_ = true;
        }
        bytesRead_ += static_cast<uint64_t>(got);
        if (read) {
            *read = static_cast<ULONG>(got);
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG* written) override {
        if (written) {
            *written = 0;
        }
        return STG_E_ACCESSDENIED;
    }

    int Error() const { return error_; }
    bool AtEnd() const { return atEnd_; }
    uint64_t BytesRead() const { return bytesRead_; }

private:
    ~DescriptorStream() = default;

    int descriptor_;
    std::atomic<ULONG> references_{1};
    int error_ = 0;
    bool atEnd_ = false;
    uint64_t bytesRead_ = 0;
};

// Owns a descriptor it opened; standard input is borrowed.
class InputDescriptor {
public:
    explicit InputDescriptor(const std::string& path) {
        if (path == "-") {
            descriptor_ = STDIN_FILENO;
            return;
        }
        descriptor_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (descriptor_ < 0) {
            throw ToolError(path + ": cannot open: " + std::strerror(errno));
        }
        owned_ = true;
    }
    ~InputDescriptor() {
        if (owned_) {
            ::close(descriptor_);
        }
    }
    InputDescriptor(const InputDescriptor&) = delete;
    InputDescriptor& operator=(const InputDescriptor&) = delete;
    int Get() const { return descriptor_; }

private:
    int descriptor_ = -1;
    bool owned_ = false;
};

std::string ParseErrorText(IXMLDOMDocument2* document) {
    CComPtr<IXMLDOMParseError> error;
    if (FAILED(document->get_parseError(&error)) || !error) {
        return "not well-formed XML";
    }
    CComBSTR reason;
    LONG line = 0;
    error->get_reason(&reason);
    error->get_line(&line);
    std::string text = "not well-formed XML";
    if (line > 0) {
        text += " (line " + std::to_string(line);
        if (reason.Length() > 0) {
            text += ": " + ToUtf8(std::u16string_view(reason.m_str, reason.Length()));
        }
        text += ")";
    } else if (reason.Length() > 0) {
        text += " (" + ToUtf8(std::u16string_view(reason.m_str, reason.Length())) + ")";
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

} // namespace

std::string InputName(const std::string& path) {
    return path == "-" ? "standard input" : path;
}

CComPtr<IXMLDOMDocument2> LoadXmlFile(const std::string& path) {
    const std::string name = InputName(path);
    InputDescriptor input(path);
    struct stat status {};
    if (::fstat(input.Get(), &status) != 0) {
        throw ToolError(name + ": cannot read: " + std::strerror(errno));
    }
    if (S_ISDIR(status.st_mode)) {
        throw ToolError(name + ": is a directory, not a document");
    }

    CComPtr<IXMLDOMDocument2> document;
    const HRESULT created =
        CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument2,
                         reinterpret_cast<void**>(&document));
    if (FAILED(created)) {
        throw ToolError("cannot create an XML document: " + DescribeHresult(created), kExitFailure);
    }
    CComPtr<DescriptorStream> stream;
    stream.Attach(new DescriptorStream(input.Get()));
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_UNKNOWN;
    source.punkVal = stream; // borrowed: the stream outlives the call
    VARIANT_BOOL loaded = VARIANT_FALSE;
    const HRESULT hr = document->load(source, &loaded);
    if (SUCCEEDED(hr) && loaded == VARIANT_TRUE) {
        return document;
    }
    if (stream->Error() != 0) {
        throw ToolError(name + ": cannot read: " + std::strerror(stream->Error()));
    }
    if (!stream->AtEnd()) {
        throw ToolError(name + ": too large for a document (reading stopped after " +
                        std::to_string(stream->BytesRead()) + " bytes)");
    }
    throw ToolError(name + ": " + ParseErrorText(document));
}

std::string SerialiseDocument(IXMLDOMDocument2* document) {
    CComPtr<IStream> stream;
    if (FAILED(document->QueryInterface(IID_IStream, reinterpret_cast<void**>(&stream)))) {
        throw ToolError("cannot serialise the document", kExitFailure);
    }
    std::string bytes;
    char buffer[16384];
    for (;;) {
        ULONG read = 0;
        const HRESULT hr = stream->Read(buffer, sizeof buffer, &read);
        if (FAILED(hr)) {
            throw ToolError("cannot serialise the document: " + DescribeHresult(hr), kExitFailure);
        }
        if (read == 0) {
            break;
        }
        bytes.append(buffer, read);
    }
    if (bytes.compare(0, 5, "<?xml") != 0) {
        bytes.insert(0, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    }
    return bytes;
}

} // namespace filterutil
