// The DOM document: creation, properties, loading (security limits, encodings, whitespace).
#include "domtest.h"

#include "comtest.h"

#include <string>
#include <vector>

using namespace domtest;

namespace {

class DomLoad : public DomTest {
protected:
    static CComPtr<IStream> StreamOf(const std::string& bytes) {
        CComPtr<IStream> stream;
        EXPECT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, &stream));
        EXPECT_EQ(S_OK, stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr));
        LARGE_INTEGER start{};
        EXPECT_EQ(S_OK, stream->Seek(start, STREAM_SEEK_SET, nullptr));
        return stream;
    }
    static std::string Nested(int depth) {
        std::string xml;
        for (int i = 0; i < depth; ++i) {
            xml += "<e>";
        }
        for (int i = 0; i < depth; ++i) {
            xml += "</e>";
        }
        return xml;
    }
};

TEST_F(DomLoad, CreatedByClassOrProgIdAsAnEmptyDocument) {
    CLSID clsid{};
    ASSERT_EQ(S_OK, CLSIDFromProgID(u"Msxml2.DOMDocument.6.0", &clsid));
    EXPECT_TRUE(IsEqualCLSID(CLSID_DOMDocument60, clsid));

    CComPtr<IXMLDOMDocument2> doc = NewDocument();
    ASSERT_TRUE(doc);
    CComPtr<IXMLDOMElement> root;
    EXPECT_EQ(S_FALSE, doc->get_documentElement(&root));
    EXPECT_EQ(nullptr, root.p);
    EXPECT_EQ("", Xml(doc));
    EXPECT_EQ("#document", Name(doc));

    CComPtr<IXMLDOMNode> asNode;
    CComPtr<IUnknown> asUnknown;
    ASSERT_EQ(S_OK, doc.QueryInterface(&asNode));
    ASSERT_EQ(S_OK, doc.QueryInterface(&asUnknown));
    EXPECT_EQ(static_cast<IUnknown*>(doc.p), asUnknown.p);
    EXPECT_EQ(static_cast<IXMLDOMNode*>(doc.p), asNode.p);
}

TEST_F(DomLoad, AcceptsWellFormedDocumentsAndRefusesHostileOnes) {
    const std::string laughs = "<!DOCTYPE a [<!ENTITY l0 'ha'><!ENTITY l1 '&l0;&l0;&l0;&l0;'>"
                               "<!ENTITY l2 '&l1;&l1;&l1;&l1;'>]><a>&l2;</a>";
    const struct {
        const char* name;
        std::string xml;
        bool loads;
        LONG line = 0; // where the parse error is; 0: not checked
        LONG column = 0;
    } cases[] = {
        {"simple", "<a><b c='1'/></a>", true},
        {"declaration and comment", "<?xml version='1.0'?><!--c--><a/>", true},
        {"not well-formed", "<a><b></a>", false},
        {"unquoted value on line 2", "<a>\n  <b c=1/></a>", false, 2, 8},
        {"empty", "", false},
        {"text only", "hello", false},
        {"internal DTD", "<!DOCTYPE a [<!ELEMENT a ANY>]><a/>", false},
        {"external DTD", "<!DOCTYPE a SYSTEM 'http://example.invalid/a.dtd'><a/>", false},
        {"entity expansion", laughs, false},
        {"external entity", "<!DOCTYPE a [<!ENTITY x SYSTEM 'file:///etc/passwd'>]><a>&x;</a>",
         false},
        {"undeclared entity", "<a>&x;</a>", false},
        {"undeclared prefix", "<p:a/>", false},
        {"prefix bound to nothing", "<a xmlns:p=''/>", false},
        {"depth 256", Nested(256), true},
        {"depth 257", Nested(257), false},
        {"depth 100000", Nested(100000), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CComPtr<IXMLDOMDocument2> doc = NewDocument();
        VARIANT_BOOL ok = VARIANT_TRUE;
        EXPECT_EQ(c.loads ? S_OK : S_FALSE, doc->loadXML(Bstr(c.xml), &ok));
        EXPECT_EQ(c.loads ? VARIANT_TRUE : VARIANT_FALSE, ok);
        CComPtr<IXMLDOMParseError> error;
        ASSERT_EQ(S_OK, doc->get_parseError(&error));
        LONG code = 0;
        error->get_errorCode(&code);
        CComBSTR reason;
        error->get_reason(&reason);
        CComPtr<IXMLDOMElement> root;
        doc->get_documentElement(&root);
        if (c.loads) {
            EXPECT_EQ(0, code);
            EXPECT_TRUE(root);
        } else {
            EXPECT_NE(0, code);
            EXPECT_NE(0u, reason.Length());
            EXPECT_FALSE(root) << "a failed load leaves the document empty";
        }
        if (c.line != 0) {
            LONG line = 0;
            LONG column = 0;
            EXPECT_EQ(S_OK, error->get_line(&line));
            EXPECT_EQ(S_OK, error->get_linepos(&column));
            EXPECT_EQ(c.line, line);
            EXPECT_EQ(c.column, column);
        }
    }
}

TEST_F(DomLoad, FailedLoadEmptiesADocumentThatHeldOne) {
    CComPtr<IXMLDOMDocument2> doc = Parse("<a><b/></a>");
    ASSERT_TRUE(doc);
    CComPtr<IXMLDOMNode> b = Select(doc, "//b");
    VARIANT_BOOL ok = VARIANT_TRUE;
    EXPECT_EQ(S_FALSE, doc->loadXML(CComBSTR(u"<a>"), &ok));
    EXPECT_EQ("", Xml(doc));
    EXPECT_EQ("b", Name(b)) << "nodes of the old content stay usable";
    CComPtr<IXMLDOMNode> parent;
    EXPECT_EQ(S_OK, b->get_parentNode(&parent));
    EXPECT_EQ("a", Name(parent));
    CComPtr<IXMLDOMNode> top;
    EXPECT_EQ(S_FALSE, parent->get_parentNode(&top)) << "its document is no longer this one";
}

TEST_F(DomLoad, StreamsAreDecodedByByteOrderMarkThenDeclarationElseUtf8) {
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"plain UTF-8", "<a>\xC3\xA9</a>"},
        {"UTF-8 with BOM", "\xEF\xBB\xBF<a>\xC3\xA9</a>"},
        {"declared Latin-1", "<?xml version='1.0' encoding='ISO-8859-1'?><a>\xE9</a>"},
        {"UTF-16LE with BOM", std::string("\xFF\xFE<\0a\0>\0\xE9\0<\0/\0a\0>\0", 18)},
        {"UTF-16BE with BOM", std::string("\xFE\xFF\0<\0a\0>\0\xE9\0<\0/\0a\0>", 18)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CComPtr<IXMLDOMDocument2> doc = NewDocument();
        CComPtr<IStream> stream = StreamOf(c.bytes);
        VARIANT_BOOL ok = VARIANT_FALSE;
        EXPECT_EQ(S_OK, doc->load(Unknown(stream), &ok));
        EXPECT_EQ("\xC3\xA9", TextOf(doc));
    }
}

TEST_F(DomLoad, StreamIsReadFromWhereItStands) {
    CComPtr<IStream> stream = StreamOf("garbage<a>x</a>");
    LARGE_INTEGER skip{};
    skip.QuadPart = 7;
    ASSERT_EQ(S_OK, stream->Seek(skip, STREAM_SEEK_SET, nullptr));
    CComPtr<IXMLDOMDocument2> doc = NewDocument();
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(S_OK, doc->load(Unknown(stream), &ok));
    EXPECT_EQ("x", TextOf(doc));

    VARIANT notAStream = Int(3);
    EXPECT_EQ(E_INVALIDARG, doc->load(notAStream, &ok));
    EXPECT_EQ(E_INVALIDARG, doc->load(Unknown(stream), nullptr));
}

TEST_F(DomLoad, LoadXmlTextIsUtf16WhateverItsDeclarationSays) {
    CComPtr<IXMLDOMDocument2> doc =
        Parse("<?xml version='1.0' encoding='ISO-8859-1'?><a>\xC3\xA9</a>");
    ASSERT_TRUE(doc);
    EXPECT_EQ("\xC3\xA9", TextOf(doc));
    doc = Parse("<?xml version='1.0' encoding='UTF-16'?><a>\xE2\x82\xAC</a>");
    ASSERT_TRUE(doc);
    EXPECT_EQ("\xE2\x82\xAC", TextOf(doc));
}

TEST_F(DomLoad, WhitespaceOnlyTextIsDroppedUnlessPreserved) {
    const struct {
        const char* xml;
        bool preserveWhiteSpace;
        const char* written;
    } cases[] = {
        {"<a>\n  <b/>\n  <c> x </c>\n</a>", false, "<a><b/><c> x </c></a>"},
        {"<a>   </a>", false, "<a/>"},
        {"<a xml:space='preserve'> <b> </b></a>", false, "<a xml:space=\"preserve\"> <b> </b></a>"},
        {"<a xml:space='preserve'><b xml:space='default'> </b> </a>", false,
         "<a xml:space=\"preserve\"><b xml:space=\"default\"/> </a>"},
        {"<a>\n  <b/>\n</a>", true, "<a>\n  <b/>\n</a>"},
        // Blanks that begin or end a longer text stay with it.
        {"<a>  \r\n x</a>", false, "<a>  \n x</a>"},
        {"<a><b/>  &amp; <c/>\r\n  </a>", false, "<a><b/>  &amp; <c/></a>"},
        {"<a>x<b/> \r\n <c/></a>", false, "<a>x<b/><c/></a>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.xml);
        CComPtr<IXMLDOMDocument2> doc = NewDocument();
        ASSERT_EQ(S_OK,
                  doc->put_preserveWhiteSpace(c.preserveWhiteSpace ? VARIANT_TRUE : VARIANT_FALSE));
        VARIANT_BOOL ok = VARIANT_FALSE;
        ASSERT_EQ(S_OK, doc->loadXML(Bstr(c.xml), &ok));
        CComPtr<IXMLDOMElement> root;
        ASSERT_EQ(S_OK, doc->get_documentElement(&root));
        EXPECT_EQ(c.written, Xml(root));
    }
}

TEST_F(DomLoad, PropertiesAreCheckedByNameAndValue) {
    CComPtr<IXMLDOMDocument2> doc = NewDocument();
    const struct {
        const char16_t* name;
        const char16_t* value;
        HRESULT expected;
    } cases[] = {
        {u"SelectionLanguage", u"XPath", S_OK},
        {u"SelectionLanguage", u"XSLPattern", E_FAIL},
        {u"selectionlanguage", u"XPath", E_FAIL},
        {u"SelectionNamespaces", u"xmlns:a='urn:a'", S_OK},
        {u"NoSuchProperty", u"", E_FAIL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8(c.name, std::char_traits<char16_t>::length(c.name)));
        CComBSTR value(c.value);
        EXPECT_EQ(c.expected, doc->setProperty(CComBSTR(c.name), Text(value)));
    }
    VARIANT read;
    ASSERT_EQ(S_OK, doc->getProperty(CComBSTR(u"SelectionNamespaces"), &read));
    EXPECT_EQ("xmlns:a='urn:a'", Utf8(read.bstrVal));
    VariantClear(&read);
    ASSERT_EQ(S_OK, doc->getProperty(CComBSTR(u"SelectionLanguage"), &read));
    EXPECT_EQ("XPath", Utf8(read.bstrVal));
    VariantClear(&read);
}

TEST_F(DomLoad, NodesKeepTheirDocumentAlive) {
    CComPtr<IXMLDOMNode> b;
    {
        CComPtr<IXMLDOMDocument2> doc = Parse("<a><b>text</b></a>");
        ASSERT_TRUE(doc);
        b = Select(doc, "/a/b");
        EXPECT_REF(doc.p, 2);
    }
    CComPtr<IXMLDOMDocument> owner;
    ASSERT_EQ(S_OK, b->get_ownerDocument(&owner));
    EXPECT_EQ("<a><b>text</b></a>\r\n", Xml(owner));
}

} // namespace
