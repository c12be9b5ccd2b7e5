// Helpers for the tests of the MSXML stand-in.
#pragma once

#include <atlbase.h>
#include <msxml6.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <string>

namespace domtest {

// UTF-8 of a UTF-16 text, for readable expectations and failure messages.
inline std::string Utf8(const char16_t* text, size_t length) {
    if (length == 0) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), size, nullptr,
                        nullptr);
    return out;
}
inline std::string Utf8(BSTR text) {
    return Utf8(text, SysStringLen(text));
}

inline CComBSTR Bstr(const std::string& utf8) {
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    CComBSTR out(size, nullptr);
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.m_str, size);
    return out;
}

inline VARIANT Int(LONG value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

// A VARIANT viewing text (the caller keeps text alive).
inline VARIANT Text(const CComBSTR& text) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = text.m_str;
    return v;
}

inline VARIANT Unknown(IUnknown* object) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_UNKNOWN;
    v.punkVal = object;
    return v;
}

// The apartment every DOM test runs in.
class DomTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    }
    void TearDown() override { CoUninitialize(); }

    static CComPtr<IXMLDOMDocument2> NewDocument() {
        CComPtr<IXMLDOMDocument2> doc;
        EXPECT_EQ(S_OK, CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IXMLDOMDocument2, reinterpret_cast<void**>(&doc)));
        return doc;
    }
    // A document loaded from text, with the given selection namespaces; null when it does not
    // load.
    static CComPtr<IXMLDOMDocument2> Parse(const std::string& xml,
                                           const std::string& namespaces = "") {
        CComPtr<IXMLDOMDocument2> doc = NewDocument();
        VARIANT_BOOL ok = VARIANT_FALSE;
        if (!doc || doc->loadXML(Bstr(xml), &ok) != S_OK || ok != VARIANT_TRUE) {
            return nullptr;
        }
        if (!namespaces.empty()) {
            CComBSTR value = Bstr(namespaces);
            EXPECT_EQ(S_OK, doc->setProperty(CComBSTR(u"SelectionNamespaces"), Text(value)));
        }
        return doc;
    }
    static std::string Xml(IXMLDOMNode* node) {
        CComBSTR xml;
        EXPECT_EQ(S_OK, node->get_xml(&xml));
        return Utf8(xml);
    }
    static std::string TextOf(IXMLDOMNode* node) {
        CComBSTR text;
        EXPECT_EQ(S_OK, node->get_text(&text));
        return Utf8(text);
    }
    static std::string Name(IXMLDOMNode* node) {
        CComBSTR name;
        EXPECT_EQ(S_OK, node->get_nodeName(&name));
        return Utf8(name);
    }
    static CComPtr<IXMLDOMNode> Select(IXMLDOMNode* context, const std::string& query) {
        CComPtr<IXMLDOMNode> node;
        EXPECT_EQ(S_OK, context->selectSingleNode(Bstr(query), &node)) << query;
        return node;
    }
    static CComPtr<IXMLDOMNode> CreateNode(IXMLDOMDocument* doc, DOMNodeType type,
                                           const std::string& name, const std::string& uri) {
        CComPtr<IXMLDOMNode> node;
        EXPECT_EQ(S_OK, doc->createNode(Int(type), Bstr(name), Bstr(uri), &node)) << name;
        return node;
    }
};

} // namespace domtest
