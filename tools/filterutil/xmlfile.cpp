#include "xmlfile.h"

#include "text.h"
#include "toolerror.h"

#include <objbase.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace filterutil {
namespace {

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ToolError(path + ": cannot open: " + std::strerror(errno));
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        throw ToolError(path + ": cannot read");
    }
    return bytes;
}

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

CComPtr<IXMLDOMDocument2> LoadXmlFile(const std::string& path) {
    const std::string bytes = ReadFileBytes(path);
    if (bytes.size() > 0xFFFFFFFFu) {
        throw ToolError(path + ": too large");
    }
    CComPtr<IStream> stream;
    if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &stream)) ||
        FAILED(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr))) {
        throw ToolError(path + ": out of memory", kExitFailure);
    }
    LARGE_INTEGER start{};
    stream->Seek(start, STREAM_SEEK_SET, nullptr);

    CComPtr<IXMLDOMDocument2> document;
    const HRESULT created =
        CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument2,
                         reinterpret_cast<void**>(&document));
    if (FAILED(created)) {
        throw ToolError("cannot create an XML document", kExitFailure);
    }
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_UNKNOWN;
    source.punkVal = stream; // borrowed: the stream outlives the call
    VARIANT_BOOL loaded = VARIANT_FALSE;
    const HRESULT hr = document->load(source, &loaded);
    if (FAILED(hr) || loaded != VARIANT_TRUE) {
        throw ToolError(path + ": " + ParseErrorText(document));
    }
    return document;
}

std::string SerialiseDocument(IXMLDOMDocument2* document) {
    CComPtr<IStream> stream;
    if (FAILED(document->QueryInterface(IID_IStream, reinterpret_cast<void**>(&stream)))) {
        throw ToolError("cannot serialise the document", kExitFailure);
    }
    std::string bytes;
    char buffer[16384];
    ULONG read = 0;
    while (SUCCEEDED(stream->Read(buffer, sizeof buffer, &read)) && read > 0) {
        bytes.append(buffer, read);
    }
    if (bytes.compare(0, 5, "<?xml") != 0) {
        bytes.insert(0, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    }
    return bytes;
}

void SaveXmlFile(IXMLDOMDocument2* document, const std::string& path) {
    const std::string bytes = SerialiseDocument(document);
    const std::string temporary = path + ".tmp." + std::to_string(getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            std::remove(temporary.c_str());
            throw ToolError(path + ": cannot write", kExitFailure);
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        std::remove(temporary.c_str());
        throw ToolError(path + ": cannot write: " + std::strerror(error), kExitFailure);
    }
}

} // namespace filterutil
