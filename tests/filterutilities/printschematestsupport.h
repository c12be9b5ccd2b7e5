// Test support for the Print Schema documents: loading documents into the DOM, reading what
// the library hands out, and comparing XML the way libxml2 canonicalises it (the library never
// sees libxml2; the tests use it as an independent reader).
#pragma once

#include <filterutilities/printschemaxmldocument.h>
#include <kldutil/cxstring.h>
#include <kldutil/keldanexception.h>

#include <atlbase.h>
#include <msxml6.h>
#include <objbase.h>

#include <libxml/c14n.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace printschematest {

inline std::string Utf8(std::u16string_view text) {
    return CXString(text).ToUtf8();
}
inline std::string Utf8(BSTR text) {
    return text ? Utf8(std::u16string_view(text, ::SysStringLen(text))) : std::string("<null>");
}
inline std::u16string Utf16(const std::string& text) {
    return std::u16string(CXString(text.c_str()).View());
}

// Fills in the namespace URIs: $FW framework, $KW keywords, $PRIV the driver's private
// keywords, $XSI and $XSD.
inline std::string WithNamespaces(std::string text) {
    const std::pair<const char*, const char16_t*> uris[] = {
        {"$FW", PrintSchema::FrameworkNamespaceUri},
        {"$KW", PrintSchema::KeywordsNamespaceUri},
        {"$PRIV", PrintSchema::UserKeywordsNamespaceUri},
        {"$XSI", PrintSchema::XmlSchemaInstanceNamespaceUri},
        {"$XSD", PrintSchema::XmlSchemaNamespaceUri},
    };
    for (const auto& [placeholder, uri] : uris) {
        for (size_t at; (at = text.find(placeholder)) != std::string::npos;) {
            text.replace(at, std::string(placeholder).size(), Utf8(std::u16string_view(uri)));
        }
    }
    return text;
}

// The HRESULT of the KeldanComException an operation raises; S_OK when it raises nothing.
inline HRESULT RaisedBy(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const KeldanComException& exception) {
        return exception.GetHresult();
    }
    return S_OK;
}

// Every test of the documents runs in a single-threaded apartment.
class DomTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    }
    void TearDown() override { ::CoUninitialize(); }
};

inline std::string ReadTestFile(const std::string& relativePath) {
    std::ifstream file(std::string(FILTERUTILITIES_TEST_DATA) + "/" + relativePath,
                       std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot read " + relativePath);
    }
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

inline CComPtr<IXMLDOMDocument2> NewDom() {
    CComPtr<IXMLDOMDocument2> dom;
    if (FAILED(::CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IXMLDOMDocument2, reinterpret_cast<void**>(&dom)))) {
        throw std::runtime_error("no DOM document");
    }
    return dom;
}

// A DOM holding the document given as bytes (read through a stream, as the pipeline hands
// tickets over).
inline CComPtr<IXMLDOMDocument2> LoadBytes(const std::string& bytes) {
    CComPtr<IXMLDOMDocument2> dom = NewDom();
    CComPtr<IStream> stream;
    if (FAILED(::CreateStreamOnHGlobal(nullptr, TRUE, &stream))) {
        throw std::runtime_error("no stream");
    }
    ULONG written = 0;
    stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
    LARGE_INTEGER start{};
    stream->Seek(start, STREAM_SEEK_SET, nullptr);
    VARIANT source;
    ::VariantInit(&source);
    source.vt = VT_UNKNOWN;
    source.punkVal = stream;
    VARIANT_BOOL loaded = VARIANT_FALSE;
    if (dom->load(source, &loaded) != S_OK || loaded != VARIANT_TRUE) {
        throw std::runtime_error("the DOM did not load the document");
    }
    return dom;
}

inline CComPtr<IXMLDOMDocument2> LoadTestFile(const std::string& relativePath) {
    return LoadBytes(ReadTestFile(relativePath));
}

// The node as the DOM serialises it, in UTF-8.
inline std::string XmlOf(IXMLDOMNode* node) {
    CComBSTR xml;
    if (FAILED(node->get_xml(&xml))) {
        throw std::runtime_error("get_xml failed");
    }
    return Utf8(xml.m_str);
}

// The document as the DOM writes it to a stream (UTF-8 bytes).
inline std::string StreamBytesOf(IXMLDOMDocument2* dom) {
    CComPtr<IStream> stream;
    if (FAILED(dom->QueryInterface(IID_IStream, reinterpret_cast<void**>(&stream)))) {
        throw std::runtime_error("the document gives no stream");
    }
    std::string bytes;
    char buffer[4096];
    for (;;) {
        ULONG read = 0;
        const HRESULT hr = stream->Read(buffer, sizeof(buffer), &read);
        bytes.append(buffer, read);
        if (FAILED(hr) || read == 0) {
            break;
        }
    }
    return bytes;
}

// --- libxml2 ---

struct XmlDocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using XmlDoc = std::unique_ptr<xmlDoc, XmlDocFree>;

// Parses bytes with libxml2 (network and DTD loading off); null when not well-formed.
inline XmlDoc ParseWithLibxml2(const std::string& bytes) {
    return XmlDoc(xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), "test.xml", nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
}

// "version encoding standalone" of the XML declaration as libxml2 reads it ("none" without
// one; standalone is -2 when the declaration does not give it).
inline std::string DeclarationOf(const std::string& bytes) {
    if (bytes.rfind("<?xml ", 0) != 0) {
        return "none";
    }
    XmlDoc doc = ParseWithLibxml2(bytes);
    if (!doc) {
        return "not well-formed";
    }
    const auto text = [](const xmlChar* value) {
        return value ? std::string(reinterpret_cast<const char*>(value)) : std::string("-");
    };
    return text(doc->version) + " " + text(doc->encoding) + " standalone " +
           std::to_string(doc->standalone);
}

// Drops whitespace-only text nodes, as the DOM does when it loads a document.
inline void StripBlankText(xmlNode* node) {
    for (xmlNode* child = node->children; child;) {
        xmlNode* next = child->next;
        if (child->type == XML_TEXT_NODE && xmlIsBlankNode(child)) {
            xmlUnlinkNode(child);
            xmlFreeNode(child);
        } else if (child->type == XML_ELEMENT_NODE) {
            StripBlankText(child);
        }
        child = next;
    }
}

// Canonical XML 1.0 (without comments) of a well-formed document, whitespace-only text left out.
inline std::string Canonical(xmlDoc* doc) {
    StripBlankText(reinterpret_cast<xmlNode*>(doc));
    xmlChar* out = nullptr;
    const int length = xmlC14NDocDumpMemory(doc, nullptr, XML_C14N_1_0, nullptr, 0, &out);
    std::string text = length >= 0 ? std::string(reinterpret_cast<char*>(out), length) : "";
    xmlFree(out);
    return text;
}
inline std::string Canonical(const std::string& bytes) {
    XmlDoc doc = ParseWithLibxml2(bytes);
    if (!doc) {
        throw std::runtime_error("not well-formed: " + bytes);
    }
    return Canonical(doc.get());
}

// Namespace declarations that repeat a binding already in scope (same prefix, same URI), as
// "element: prefix", in document order.
inline void CollectRedundantDeclarations(xmlNode* node, std::map<std::string, std::string> scope,
                                         std::vector<std::string>& redundant) {
    for (xmlNs* ns = node->nsDef; ns; ns = ns->next) {
        const std::string prefix = ns->prefix ? reinterpret_cast<const char*>(ns->prefix) : "";
        const std::string uri = ns->href ? reinterpret_cast<const char*>(ns->href) : "";
        auto found = scope.find(prefix);
        if (found != scope.end() && found->second == uri) {
            redundant.push_back(std::string(reinterpret_cast<const char*>(node->name)) + ": " +
                                prefix);
        }
        scope[prefix] = uri;
    }
    for (xmlNode* child = node->children; child; child = child->next) {
        if (child->type == XML_ELEMENT_NODE) {
            CollectRedundantDeclarations(child, scope, redundant);
        }
    }
}
inline std::vector<std::string> RedundantDeclarations(xmlDoc* doc) {
    std::vector<std::string> redundant;
    if (xmlNode* root = xmlDocGetRootElement(doc)) {
        CollectRedundantDeclarations(root, {}, redundant);
    }
    return redundant;
}

// The source text with fragment inserted before the root element's end tag.
inline std::string InsertBeforeRootEnd(const std::string& source, const std::string& fragment) {
    const size_t end = source.rfind("</");
    if (end == std::string::npos) {
        throw std::runtime_error("no end tag");
    }
    return source.substr(0, end) + fragment + source.substr(end);
}

} // namespace printschematest
