// The document as a stream, and real Print Schema documents loaded and written again.
#include "domtest.h"

#include <fstream>
#include <iterator>
#include <string>

using namespace domtest;

namespace {

class DomStream : public DomTest {
protected:
    static std::string ReadAll(IStream* stream) {
        std::string bytes;
        char buffer[4096];
        ULONG read = 0;
        while (SUCCEEDED(stream->Read(buffer, sizeof buffer, &read)) && read > 0) {
            bytes.append(buffer, read);
        }
        return bytes;
    }
    static std::string StreamBytes(IXMLDOMDocument* doc) {
        CComPtr<IStream> stream;
        EXPECT_EQ(S_OK, doc->QueryInterface(IID_IStream, reinterpret_cast<void**>(&stream)));
        return stream ? ReadAll(stream) : std::string();
    }
    // A new document loaded from the stream of doc.
    static CComPtr<IXMLDOMDocument2> Reload(IXMLDOMDocument* doc) {
        CComPtr<IStream> stream;
        EXPECT_EQ(S_OK, doc->QueryInterface(IID_IStream, reinterpret_cast<void**>(&stream)));
        CComPtr<IXMLDOMDocument2> copy = NewDocument();
        VARIANT_BOOL ok = VARIANT_FALSE;
        EXPECT_EQ(S_OK, copy->load(Unknown(stream), &ok));
        return copy;
    }
    static std::string FileBytes(const std::string& name) {
        std::ifstream file(std::string(FILTERUTILITIES_TEST_DATA) + "/printschema/" + name,
                           std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }
    static CComPtr<IXMLDOMDocument2> LoadBytes(const std::string& bytes) {
        CComPtr<IStream> stream;
        EXPECT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, &stream));
        stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
        LARGE_INTEGER start{};
        stream->Seek(start, STREAM_SEEK_SET, nullptr);
        CComPtr<IXMLDOMDocument2> doc = NewDocument();
        VARIANT_BOOL ok = VARIANT_FALSE;
        EXPECT_EQ(S_OK, doc->load(Unknown(stream), &ok));
        return ok == VARIANT_TRUE ? doc : nullptr;
    }
};

TEST_F(DomStream, StreamIsTheDocumentAsUtf8WithItsDeclaration) {
    const struct {
        const char* name;
        std::string xml;
        std::string bytes;
    } cases[] = {
        {"declared UTF-8", "<?xml version='1.0' encoding='UTF-8'?><a>\xC3\xA9</a>",
         "<?xml version='1.0' encoding='UTF-8'?>\r\n<a>\xC3\xA9</a>\r\n"},
        {"declared in lower case", "<?xml version=\"1.0\" encoding=\"utf-8\"?><a/>",
         "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<a/>\r\n"},
        {"declared UTF-16: the label follows the bytes",
         "<?xml version='1.0' encoding='UTF-16' standalone='yes'?><a>\xE2\x82\xAC</a>",
         "<?xml version='1.0' encoding='UTF-8' standalone='yes'?>\r\n<a>\xE2\x82\xAC</a>\r\n"},
        {"no declaration", "<!--c--><a/>", "<!--c-->\r\n<a/>\r\n"},
        {"references in a namespace name", "<a xmlns:p='x&amp;y&#38;z' p:b='&#38;'/>",
         "<a xmlns:p=\"x&amp;y&amp;z\" p:b=\"&amp;\"/>\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CComPtr<IXMLDOMDocument2> doc = Parse(c.xml);
        ASSERT_TRUE(doc);
        EXPECT_EQ(c.bytes, StreamBytes(doc));
        CComPtr<IXMLDOMDocument2> copy = Reload(doc);
        EXPECT_EQ(StreamBytes(doc), StreamBytes(copy));
    }
}

TEST_F(DomStream, EditedDocumentsRoundTripExactly) {
    CComPtr<IXMLDOMDocument2> doc =
        Parse("<psf:PrintTicket xmlns:psf='urn:f'><psf:Value>x</psf:Value></psf:PrintTicket>",
              "xmlns:f='urn:f'");
    ASSERT_TRUE(doc);
    CComPtr<IXMLDOMNode> value = Select(doc, "//f:Value");
    ASSERT_EQ(S_OK, value->put_text(CComBSTR(u"<![CDATA[\npayload & more\n]]>")));
    CComPtr<IXMLDOMNode> added;
    ASSERT_EQ(S_OK, doc->createNode(Int(NODE_ELEMENT), CComBSTR(u"ns9:Extra"),
                                    CComBSTR(u"urn:extra"), &added));
    ASSERT_EQ(S_OK, value->appendChild(added, nullptr));
    CComPtr<IXMLDOMDocument2> copy = Reload(doc);
    EXPECT_EQ(Xml(doc), Xml(copy));
    EXPECT_EQ("<![CDATA[\npayload & more\n]]>", TextOf(Select(copy, "/*/*")));
}

TEST_F(DomStream, RealDocumentsLoadAndRoundTrip) {
    const struct {
        const char* file;
        const char* root;
        int features; // every psf:Feature, at any depth
        const char* query;
        const char* text;
    } cases[] = {
        {"capabilities-docs-example.xml", "psf:PrintCapabilities", 13,
         "//f:ParameterDef[@name='ns0000:PageDevmodeSnapshot']/f:Property[@name='psf:UnitType']",
         "base64"},
        {"capabilities-generic-text-only.xml", "psf:PrintCapabilities", 8,
         "//f:Feature[@name='psk:DocumentCollate']/f:Property[@name='psk:DisplayName']",
         "\xE5\x88\x86\xE9\xA1\xB5\xE5\xA4\x8D\xE5\x88\xB6(T)"},
        {"ticket-3d-example.xml", "psf:PrintTicket", 4,
         "//f:ParameterInit[@name='psk3d:Job3DRaftMaterial']", "vnd:B"},
        {"ticket-custom-media-size.xml", "psf:PrintTicket", 1,
         "//f:ParameterInit[@name='psk:PageMediaSizeMediaSizeWidth']", "2540"},
        {"ticket-pin-printing.xml", "psf:PrintTicket", 1,
         "//f:ParameterInit[@name='pskv11:JobPasscodeString']", "123456"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string bytes = FileBytes(c.file);
        ASSERT_FALSE(bytes.empty());
        CComPtr<IXMLDOMDocument2> doc = LoadBytes(bytes);
        ASSERT_TRUE(doc);
        CComBSTR namespaces(u"xmlns:f='http://schemas.microsoft.com/windows/2003/08/printing/"
                            u"printschemaframework'");
        ASSERT_EQ(S_OK, doc->setProperty(CComBSTR(u"SelectionNamespaces"), Text(namespaces)));
        CComPtr<IXMLDOMElement> root;
        ASSERT_EQ(S_OK, doc->get_documentElement(&root));
        EXPECT_EQ(c.root, Name(root));
        CComPtr<IXMLDOMNodeList> features;
        ASSERT_EQ(S_OK, doc->selectNodes(CComBSTR(u"//f:Feature"), &features));
        LONG count = 0;
        features->get_length(&count);
        EXPECT_EQ(c.features, count);
        CComPtr<IXMLDOMNode> node;
        ASSERT_EQ(S_OK, doc->selectSingleNode(Bstr(c.query), &node));
        EXPECT_EQ(c.text, TextOf(node));

        CComPtr<IXMLDOMDocument2> copy = Reload(doc);
        EXPECT_EQ(Xml(doc), Xml(copy));
        EXPECT_EQ(StreamBytes(doc), StreamBytes(copy));
    }
}

} // namespace

namespace {

ULONGLONG ChangeCount(IXMLDOMDocument2* doc) {
    VARIANT count;
    VariantInit(&count);
    EXPECT_EQ(S_OK, doc->getProperty(CComBSTR(u"ChangeCount"), &count));
    EXPECT_EQ(VT_UI8, count.vt);
    return count.ullVal;
}

// A stream is the document as it stood when it was asked for, read however late: every kind of
// change after it (an edit, a removal, a new load) leaves its bytes alone, and a stream asked
// for after the change reads the change. The document's change count grows with each change,
// and with nothing that only reads.
TEST_F(DomStream, AStreamReadsAsTheDocumentStoodWhenItWasTaken) {
    const std::string xml = "<a x='1'><b>t</b><c/></a>";
    const struct {
        const char* what;
        void (*change)(IXMLDOMDocument2*);
    } changes[] = {
        {"an attribute set",
         [](IXMLDOMDocument2* doc) {
             CComPtr<IXMLDOMElement> root;
             doc->get_documentElement(&root);
             CComBSTR two(u"2");
             VARIANT value;
             VariantInit(&value);
             value.vt = VT_BSTR;
             value.bstrVal = two;
             EXPECT_EQ(S_OK, root->setAttribute(CComBSTR(u"x"), value));
         }},
        {"a child removed",
         [](IXMLDOMDocument2* doc) {
             CComPtr<IXMLDOMElement> root;
             doc->get_documentElement(&root);
             CComPtr<IXMLDOMNode> first;
             CComPtr<IXMLDOMNode> removed;
             root->get_firstChild(&first);
             EXPECT_EQ(S_OK, root->removeChild(first, &removed));
         }},
        {"text put",
         [](IXMLDOMDocument2* doc) {
             CComPtr<IXMLDOMElement> root;
             doc->get_documentElement(&root);
             EXPECT_EQ(S_OK, root->put_text(CComBSTR(u"new")));
         }},
        {"another load",
         [](IXMLDOMDocument2* doc) {
             VARIANT_BOOL ok = VARIANT_FALSE;
             EXPECT_EQ(S_OK, doc->loadXML(CComBSTR(u"<z/>"), &ok));
         }},
        {"selection namespaces set",
         [](IXMLDOMDocument2* doc) {
             CComBSTR text(u"xmlns:q='urn:q'");
             VARIANT value;
             VariantInit(&value);
             value.vt = VT_BSTR;
             value.bstrVal = text;
             EXPECT_EQ(S_OK, doc->setProperty(CComBSTR(u"SelectionNamespaces"), value));
         }},
    };
    for (const auto& c : changes) {
        SCOPED_TRACE(c.what);
        CComPtr<IXMLDOMDocument2> doc = Parse(xml);
        ASSERT_TRUE(doc);
        const ULONGLONG count = ChangeCount(doc);
        const std::string before = StreamBytes(doc);
        CComPtr<IStream> taken;
        ASSERT_EQ(S_OK, doc->QueryInterface(IID_IStream, reinterpret_cast<void**>(&taken)));
        CComPtr<IXMLDOMNode> found;
        doc->selectSingleNode(CComBSTR(u"//b"), &found);
        EXPECT_EQ(count, ChangeCount(doc));
        c.change(doc);
        EXPECT_LT(count, ChangeCount(doc));
        const std::string after = StreamBytes(doc);
        if (std::string(c.what) != "selection namespaces set") {
            EXPECT_NE(before, after);
        }
        doc.Release(); // the stream outlives every other reference
        EXPECT_EQ(before, ReadAll(taken));
    }
}

} // namespace

namespace {

// A document loaded from another document's stream is the document the stream's text makes,
// whether the load takes the other's tree (unchanged since its own load) or reads the text:
// white space kept on either side, an edit, declarations in other encodings.
TEST_F(DomStream, ADocumentLoadedFromAnothersStreamIsWhatItsTextMakes) {
    const std::string xml =
        "<?xml version='1.0' encoding='UTF-16' standalone='no'?>\n"
        "<a xmlns:p='urn:p'>\n  <p:b x='1'> t </p:b>\n  <c xml:space='preserve'> "
        "</c><!--n-->\n</a>";
    const struct {
        const char* what;
        bool sourceKeepsWhiteSpace;
        bool edited;
        bool copyKeepsWhiteSpace;
    } cases[] = {
        {"as loaded", false, false, false},
        {"edited", false, true, false},
        {"white space kept by the source", true, false, false},
        {"white space kept by the copy", false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CComPtr<IXMLDOMDocument2> source = NewDocument();
        source->put_preserveWhiteSpace(c.sourceKeepsWhiteSpace ? VARIANT_TRUE : VARIANT_FALSE);
        VARIANT_BOOL ok = VARIANT_FALSE;
        ASSERT_EQ(S_OK, source->loadXML(Bstr(xml), &ok));
        if (c.edited) {
            CComPtr<IXMLDOMElement> root;
            source->get_documentElement(&root);
            EXPECT_EQ(S_OK, root->put_text(CComBSTR(u"x")));
        }
        CComPtr<IStream> stream;
        ASSERT_EQ(S_OK, source->QueryInterface(IID_IStream, reinterpret_cast<void**>(&stream)));
        LARGE_INTEGER start{};
        EXPECT_EQ(S_OK, stream->Seek(start, STREAM_SEEK_SET, nullptr));
        CComPtr<IXMLDOMDocument2> copy = NewDocument();
        copy->put_preserveWhiteSpace(c.copyKeepsWhiteSpace ? VARIANT_TRUE : VARIANT_FALSE);
        EXPECT_EQ(S_OK, copy->load(Unknown(stream), &ok));
        EXPECT_EQ(0u, ReadAll(stream).size()) << "the load leaves the stream at its end";

        CComPtr<IXMLDOMDocument2> fromText = NewDocument();
        fromText->put_preserveWhiteSpace(c.copyKeepsWhiteSpace ? VARIANT_TRUE : VARIANT_FALSE);
        CComPtr<IStream> text;
        EXPECT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, &text));
        const std::string bytes = StreamBytes(source);
        text->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
        text->Seek(start, STREAM_SEEK_SET, nullptr);
        EXPECT_EQ(S_OK, fromText->load(Unknown(text), &ok));
        EXPECT_EQ(Xml(fromText), Xml(copy));
        EXPECT_EQ(StreamBytes(fromText), StreamBytes(copy));
    }
}

} // namespace
