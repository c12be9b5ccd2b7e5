// The Print Schema document core: namespaces and prefixes, private prefix normalisation, node
// queries and values.
#include <filterutilities/printschemaxmldocument.h>

#include "printschematestsupport.h"

using namespace printschematest;

namespace {

// Exposes the protected primitives to the tests.
class TestDocument : public PrintSchemaXmlDocument {
public:
    TestDocument(const WCHAR* root, IXMLDOMDocument2* dom) : PrintSchemaXmlDocument(root, dom) {}
    using PrintSchemaXmlDocument::GetAttributeValue;
    using PrintSchemaXmlDocument::GetNode;
    using PrintSchemaXmlDocument::GetNodes;
    using PrintSchemaXmlDocument::GetNodeValue;
    std::string Xsi() const { return Utf8(m_xsiPrefix.m_str); }
    std::string Xsd() const { return Utf8(m_xsdPrefix.m_str); }
};

struct PrefixCase {
    const char* name;
    const char* xml;
    const char* framework;
    const char* keywords;
    const char* userKeywords;
    const char* xsi;
    const char* xsd;
    const char* featureQueryPrefix; // what a query for psk:PageMediaSize must look like
};

class PrintSchemaDocumentNamespaces : public DomTest {};

TEST_F(PrintSchemaDocumentNamespaces, PrefixesComeFromTheRootDeclarations) {
    const PrefixCase cases[] = {
        {"psf and psk",
         R"(<psf:PrintTicket xmlns:psf="$FW" xmlns:psk="$KW" xmlns:xsi="$XSI" xmlns:xsd="$XSD">
              <psf:Feature name="psk:PageMediaSize"/></psf:PrintTicket>)",
         "psf:", "psk:", "ns0000:", "xsi:", "xsd:", "psk:"},
        {"ns0000 and ns0001 as the PrintTicket provider writes them",
         R"(<ns0000:PrintTicket xmlns:ns0000="$FW" xmlns:ns0001="$KW" xmlns:xsi="$XSI" xmlns:xsd="$XSD">
              <ns0000:Feature name="ns0001:PageMediaSize"/></ns0000:PrintTicket>)",
         "ns0000:", "ns0001:", "ns0000:", "xsi:", "xsd:", "ns0001:"},
        {"no schema declarations",
         R"(<f:PrintTicket xmlns:f="$FW" xmlns:k="$KW"><f:Feature name="k:PageMediaSize"/></f:PrintTicket>)",
         "f:", "k:", "ns0000:", "<null>", "<null>", "k:"},
        {"private namespace already pk",
         R"(<psf:PrintTicket xmlns:psf="$FW" xmlns:psk="$KW" xmlns:pk="$PRIV">
              <psf:Feature name="psk:PageMediaSize"/></psf:PrintTicket>)",
         "psf:", "psk:", "pk:", "<null>", "<null>", "psk:"},
        {"root below the document element",
         R"(<w:Wrapper xmlns:w="urn:w"><psf:PrintTicket xmlns:psf="$FW" xmlns:psk="$KW">
              <psf:Feature name="psk:PageMediaSize"/></psf:PrintTicket></w:Wrapper>)",
         "psf:", "psk:", "ns0000:", "<null>", "<null>", "psk:"},
    };
    for (const PrefixCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string xml = WithNamespaces(c.xml);
        CComPtr<IXMLDOMDocument2> dom = LoadBytes(xml);
        const std::string before = Canonical(StreamBytesOf(dom));
        TestDocument document(u"PrintTicket", dom);
        EXPECT_EQ(c.framework, Utf8(document.GetNsPrefix(PrintSchema::FrameworkNs).m_str));
        EXPECT_EQ(c.keywords, Utf8(document.GetKeywordsNsPrefix().m_str));
        EXPECT_EQ(c.userKeywords, Utf8(document.GetNsPrefix(PrintSchema::UserKeywordsNs).m_str));
        EXPECT_EQ(c.xsi, document.Xsi());
        EXPECT_EQ(c.xsd, document.Xsd());
        // Queries name elements with the document's own framework prefix.
        CComPtr<IXMLDOMNode> feature;
        EXPECT_EQ(S_OK,
                  document.GetFeatureNodeIfExists(CComBSTR(Utf16(c.featureQueryPrefix).c_str()),
                                                  CComBSTR(u"PageMediaSize"), &feature));
        EXPECT_EQ(Canonical(StreamBytesOf(dom)), before); // nothing to normalise
        CComBSTR rootName;
        ASSERT_TRUE(document.GetRootNode());
        document.GetRootNode()->get_baseName(&rootName);
        EXPECT_EQ("PrintTicket", Utf8(rootName.m_str));
    }
}

TEST_F(PrintSchemaDocumentNamespaces, PrivatePrefixIsRenamedToPkInDeclarationAndNames) {
    const std::string source = WithNamespaces(
        R"(<psf:PrintTicket xmlns:psf="$FW" xmlns:psk="$KW" xmlns:xsi="$XSI" xmlns:xsd="$XSD" xmlns:ns0002="$PRIV" version="1">)"
        R"(<psf:Feature name="ns0002:JobStapling"><psf:Option name="ns0002:On">)"
        R"(<psf:ScoredProperty name="ns0002:Position"><psf:Value xsi:type="xsd:string">ns0002:TopLeft</psf:Value></psf:ScoredProperty>)"
        R"(</psf:Option></psf:Feature>)"
        R"(<psf:Feature name="psk:PageMediaSize"><psf:Option name="psk:ISOA4"/></psf:Feature>)"
        R"(<ns0002:Extension name="ns0002:Note">keep</ns0002:Extension>)"
        R"(<psf:ParameterInit name="ns0002:PageDevmodeSnapshot"><psf:Value xsi:type="xsd:string">AA==</psf:Value></psf:ParameterInit>)"
        R"(</psf:PrintTicket>)");
    CComPtr<IXMLDOMDocument2> dom = LoadBytes(source);
    TestDocument document(u"PrintTicket", dom);
    EXPECT_EQ("pk:", Utf8(document.GetUserKeywordsNsPrefix().m_str));

    // Declaration moved to pk, every name value rewritten; element names and text values keep
    // the old prefix (the serialiser declares ns0002 again where an element still uses it).
    const std::string expected = WithNamespaces(
        R"(<psf:PrintTicket xmlns:psf="$FW" xmlns:psk="$KW" xmlns:xsi="$XSI" xmlns:xsd="$XSD" xmlns:pk="$PRIV" version="1">)"
        R"(<psf:Feature name="pk:JobStapling"><psf:Option name="pk:On">)"
        R"(<psf:ScoredProperty name="pk:Position"><psf:Value xsi:type="xsd:string">ns0002:TopLeft</psf:Value></psf:ScoredProperty>)"
        R"(</psf:Option></psf:Feature>)"
        R"(<psf:Feature name="psk:PageMediaSize"><psf:Option name="psk:ISOA4"/></psf:Feature>)"
        R"(<ns0002:Extension xmlns:ns0002="$PRIV" name="pk:Note">keep</ns0002:Extension>)"
        R"(<psf:ParameterInit name="pk:PageDevmodeSnapshot"><psf:Value xsi:type="xsd:string">AA==</psf:Value></psf:ParameterInit>)"
        R"(</psf:PrintTicket>)");
    const std::string written = StreamBytesOf(dom);
    EXPECT_EQ(Canonical(expected), Canonical(written));
    XmlDoc parsed = ParseWithLibxml2(written);
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(RedundantDeclarations(parsed.get()).empty());

    // The renamed names are what later queries find.
    CComPtr<IXMLDOMNode> feature;
    EXPECT_EQ(S_OK, document.GetFeatureNodeIfExists(CComBSTR(u"pk:"), CComBSTR(u"JobStapling"),
                                                    &feature));
}

TEST_F(PrintSchemaDocumentNamespaces, PkBoundToAnotherNamespaceIsNotTakenOver) {
    const std::string source = WithNamespaces(
        R"(<psf:PrintTicket xmlns:psf="$FW" xmlns:pk="urn:other" xmlns:ns0002="$PRIV">)"
        R"(<psf:Feature name="ns0002:A"/><psf:Feature name="pk:B"/></psf:PrintTicket>)");
    CComPtr<IXMLDOMDocument2> dom = LoadBytes(source);
    const std::string before = Canonical(StreamBytesOf(dom));
    EXPECT_EQ(E_FAIL, RaisedBy([&] { TestDocument document(u"PrintTicket", dom); }));
    EXPECT_EQ(before, Canonical(StreamBytesOf(dom)));
}

TEST_F(PrintSchemaDocumentNamespaces, DocumentsThatAreNotOfTheirKindAreRefused) {
    const struct {
        const char* name;
        const char* root;
        const char* xml;
        HRESULT expected;
    } cases[] = {
        {"capabilities read as a ticket", "PrintTicket",
         R"(<psf:PrintCapabilities xmlns:psf="$FW"/>)", S_FALSE},
        {"ticket read as capabilities", "PrintCapabilities",
         R"(<psf:PrintTicket xmlns:psf="$FW"/>)", S_FALSE},
        {"PrintTicket in another namespace", "PrintTicket",
         R"(<psf:PrintTicket xmlns:psf="urn:not-the-framework"/>)", S_FALSE},
        {"framework as the default namespace", "PrintTicket",
         R"(<PrintTicket xmlns="$FW" xmlns:psk="$KW"/>)", E_FAIL},
        {"framework declared only above the root", "PrintTicket",
         R"(<w:Wrapper xmlns:w="urn:w" xmlns:psf="$FW"><psf:PrintTicket/></w:Wrapper>)", E_FAIL},
        {"ordinary attribute holding a watched namespace", "PrintTicket",
         R"(<psf:PrintTicket xmlns:psf="$FW" note="$XSD" xmlns:xsd="$XSD"/>)", E_FAIL},
        {"keywords as the default namespace", "PrintTicket",
         R"(<psf:PrintTicket xmlns:psf="$FW" xmlns="$KW"/>)", E_FAIL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CComPtr<IXMLDOMDocument2> dom = LoadBytes(WithNamespaces(c.xml));
        EXPECT_EQ(c.expected, RaisedBy([&] { TestDocument document(Utf16(c.root).c_str(), dom); }));
    }
}

TEST_F(PrintSchemaDocumentNamespaces, WithoutADocumentTheObjectIsEmpty) {
    TestDocument document(u"PrintTicket", nullptr);
    EXPECT_FALSE(document.HasDomDocument());
    EXPECT_EQ(nullptr, document.GetDomDocPtr());
    CComBSTR xml;
    EXPECT_EQ(E_FAIL, document.get_xml(&xml));
    EXPECT_EQ(S_FALSE, document.SetProcessingInstructionsEncodingUtf8());
    CComPtr<IXMLDOMNode> node;
    EXPECT_EQ(E_PENDING, RaisedBy([&] { document.GetNode(CComBSTR(u"/*"), &node); }));
    EXPECT_EQ(E_PENDING, RaisedBy([&] { document.QueryNode(CComBSTR(u"/*")); }));
    CComPtr<IXMLDOMNodeList> list;
    EXPECT_EQ(E_PENDING, RaisedBy([&] { document.GetNodes(CComBSTR(u"Feature"), &list); }));
    CComPtr<IXMLDOMElement> property;
    EXPECT_EQ(E_PENDING, RaisedBy([&] {
                  document.CreateProperty(PrintSchema::KeywordsNs, CComBSTR(u"A"), &property);
              }));
    EXPECT_EQ(E_PENDING,
              RaisedBy([&] { document.DeletePrivateFeatures(CComBSTR(u"urn:anything")); }));
    EXPECT_EQ(E_INVALIDARG, RaisedBy([&] {
                  document.GetNsPrefix(static_cast<PrintSchema::MsPrintTicketNamespacesEnum>(3));
              }));
}

TEST_F(PrintSchemaDocumentNamespaces, CopiesShareTheDom) {
    CComPtr<IXMLDOMDocument2> dom =
        LoadBytes(WithNamespaces(R"(<ns0000:PrintTicket xmlns:ns0000="$FW" xmlns:ns0001="$KW"/>)"));
    TestDocument original(u"PrintTicket", dom);
    TestDocument copy(original);
    EXPECT_EQ(original.GetDomDocPtr(), copy.GetDomDocPtr());
    EXPECT_EQ(original.GetRootNode(), copy.GetRootNode());
    EXPECT_EQ("ns0001:", Utf8(copy.GetKeywordsNsPrefix().m_str));

    TestDocument empty(u"PrintTicket", nullptr);
    empty = copy;
    EXPECT_EQ(dom.p, empty.GetDomDocPtr());
    EXPECT_EQ("ns0000:", Utf8(empty.GetFrameworkNsPrefix().m_str));
    empty = TestDocument(u"PrintTicket", nullptr);
    EXPECT_FALSE(empty.HasDomDocument());
    EXPECT_EQ("<null>", Utf8(empty.GetFrameworkNsPrefix().m_str));
}

TEST_F(PrintSchemaDocumentNamespaces, XmlDeclarationBecomesUtf8) {
    CComPtr<IXMLDOMDocument2> dom =
        LoadBytes(WithNamespaces("<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>"
                                 R"(<psf:PrintTicket xmlns:psf="$FW"/>)"));
    TestDocument document(u"PrintTicket", dom);
    EXPECT_EQ(S_OK, document.SetProcessingInstructionsEncodingUtf8());
    const std::string written = StreamBytesOf(dom);
    EXPECT_EQ("1.0 UTF-8 standalone -2", DeclarationOf(written)) << written;

    // Without a declaration there is none to replace: whatever comes first is left alone.
    const char* firstChildren[] = {
        "<!-- <?xml note -->",
        "<?xml-stylesheet type=\"text/xsl\" href=\"ticket.xsl\"?>",
    };
    for (const char* first : firstChildren) {
        SCOPED_TRACE(first);
        CComPtr<IXMLDOMDocument2> bare =
            LoadBytes(WithNamespaces(std::string(first) + R"(<psf:PrintTicket xmlns:psf="$FW"/>)"));
        TestDocument bareDocument(u"PrintTicket", bare);
        const std::string before = StreamBytesOf(bare);
        EXPECT_EQ(E_FAIL, bareDocument.SetProcessingInstructionsEncodingUtf8());
        EXPECT_EQ(before, StreamBytesOf(bare));
    }
}

// ---------------------------------------------------------------------------------------------
// Node queries and values

const char kValuesTicket[] =
    R"(<psf:PrintTicket xmlns:psf="$FW" xmlns:psk="$KW" xmlns:xsi="$XSI" xmlns:xsd="$XSD">)"
    R"(<psf:ParameterInit name="psk:JobCopiesAllDocuments"><psf:Value xsi:type="xsd:integer">3</psf:Value></psf:ParameterInit>)"
    R"(<psf:ParameterInit name="psk:jobcopiesalldocuments"><psf:Value xsi:type="xsd:integer">9</psf:Value></psf:ParameterInit>)"
    R"(<psf:ParameterInit name="psk:Scale"><psf:Value xsi:type="xsd:decimal">  12.75 </psf:Value></psf:ParameterInit>)"
    R"(<psf:Feature name="psk:V">)"
    R"(<psf:ScoredProperty name="psk:Resolution"><psf:Value xsi:type="xsd:integer">600</psf:Value></psf:ScoredProperty>)"
    R"(<psf:ScoredProperty name="psk:Copies"><psf:ParameterRef name="psk:JobCopiesAllDocuments"/></psf:ScoredProperty>)"
    R"(<psf:ScoredProperty name="psk:CaseDiffers"><psf:ParameterRef name="psk:JOBCOPIESALLDOCUMENTS"/></psf:ScoredProperty>)"
    R"(<psf:ScoredProperty name="psk:Dangling"><psf:ParameterRef name="psk:Missing"/></psf:ScoredProperty>)"
    R"(<psf:ScoredProperty name="psk:Nameless"><psf:ParameterRef/></psf:ScoredProperty>)"
    R"(<psf:ScoredProperty name="psk:Scaled"><psf:ParameterRef name="psk:Scale"/></psf:ScoredProperty>)"
    R"(<psf:ScoredProperty name="psk:Empty"><psf:Value xsi:type="xsd:string"></psf:Value></psf:ScoredProperty>)"
    R"(<psf:ScoredProperty name="psk:Mixed"><psf:Value xsi:type="xsd:string">12abc</psf:Value></psf:ScoredProperty>)"
    R"(<psf:ScoredProperty name="psk:Letters"><psf:Value xsi:type="xsd:string">abc</psf:Value></psf:ScoredProperty>)"
    R"(<psf:ScoredProperty name="psk:NoValue"/>)"
    R"(</psf:Feature>)"
    R"(<psf:Feature name="psk:Dup"><psf:Option name="psk:First"/></psf:Feature>)"
    R"(<psf:Feature name="Bare"><psf:Option name="psk:Second"/></psf:Feature>)"
    R"(<psf:Feature name="psk:Dup"><psf:Option name="psk:Third"/></psf:Feature>)"
    R"(</psf:PrintTicket>)";

class PrintSchemaDocumentQueries : public DomTest {
protected:
    void SetUp() override {
        DomTest::SetUp();
        dom = LoadBytes(WithNamespaces(kValuesTicket));
        document = std::make_unique<TestDocument>(u"PrintTicket", dom);
    }
    void TearDown() override {
        document.reset();
        dom.Release();
        DomTest::TearDown();
    }
    CComPtr<IXMLDOMDocument2> dom;
    std::unique_ptr<TestDocument> document;
};

std::u16string ScoredProperty(const char* name) {
    return u"//psf:Feature[@name = \"psk:V\"]/psf:ScoredProperty[@name = \"psk:" + Utf16(name) +
           u"\"]";
}

TEST_F(PrintSchemaDocumentQueries, ValuesInTextIntegerAndRealForm) {
    constexpr HRESULT kNotFound = PrintSchema::E_ELEMENT_NOT_FOUND;
    const struct {
        std::u16string query;
        HRESULT result;
        const char* text;
        int integer;
        float real;
    } cases[] = {
        {ScoredProperty("Resolution"), S_OK, "600", 600, 600.0f},
        {ScoredProperty("Copies"), S_OK, "3", 3, 3.0f}, // through the ParameterRef
        {ScoredProperty("Scaled"), S_OK, "12.75", 12, 12.75f},
        {ScoredProperty("Mixed"), S_OK, "12abc", 12, 12.0f},
        {ScoredProperty("Letters"), S_OK, "abc", 0, 0.0f},
        {ScoredProperty("Empty"), S_OK, "<null>", 0, 0.0f},
        {ScoredProperty("CaseDiffers"), kNotFound, "<null>", -1, -1.0f}, // exact names only
        {ScoredProperty("Dangling"), kNotFound, "<null>", -1, -1.0f},
        {ScoredProperty("Nameless"), kNotFound, "<null>", -1, -1.0f},
        {ScoredProperty("NoValue"), kNotFound, "<null>", -1, -1.0f},
        {ScoredProperty("Absent"), kNotFound, "<null>", -1, -1.0f},
        // The value is read from a child of what is selected; a Value has no Value child.
        {ScoredProperty("Resolution") + u"/psf:Value", kNotFound, "<null>", -1, -1.0f},
        {u"//psf:ParameterInit[@name = \"psk:JobCopiesAllDocuments\"]", S_OK, "3", 3, 3.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8(c.query));
        const CComBSTR query(c.query.c_str());
        BSTR text = ::SysAllocString(u"caller's"); // not freed by the text form: keep a copy
        BSTR held = text;
        EXPECT_EQ(c.result, document->QueryNodeValue(query, &text));
        EXPECT_EQ(c.text, Utf8(text));
        ::SysFreeString(text);
        ::SysFreeString(held);
        int integer = -1;
        EXPECT_EQ(c.result, document->QueryNodeValue(query, &integer));
        EXPECT_EQ(c.integer, integer);
        float real = -1.0f;
        EXPECT_EQ(c.result, document->QueryNodeValue(query, &real));
        EXPECT_EQ(c.real, real);
        CComBSTR primitive;
        EXPECT_EQ(c.result == S_OK ? S_OK : S_FALSE, document->GetNodeValue(query, &primitive));
    }
}

TEST_F(PrintSchemaDocumentQueries, FeaturesAndAttributes) {
    CComPtr<IXMLDOMNode> feature;
    // Duplicates: the first in document order.
    ASSERT_EQ(S_OK,
              document->GetFeatureNodeIfExists(CComBSTR(u"psk:"), CComBSTR(u"Dup"), &feature));
    CComBSTR option;
    CComPtr<IXMLDOMNode> first;
    ASSERT_EQ(S_OK, document->GetNode(CComBSTR(u"//psf:Feature[@name = \"psk:Dup\"]/psf:Option"),
                                      &first));
    CComPtr<IXMLDOMNode> firstOption;
    feature->get_firstChild(&firstOption);
    EXPECT_EQ(first.p, firstOption.p);

    // An empty prefix looks for the bare name.
    CComPtr<IXMLDOMNode> bare;
    EXPECT_EQ(S_OK, document->GetFeatureNodeIfExists(CComBSTR(u""), CComBSTR(u"Bare"), &bare));
    CComPtr<IXMLDOMNode> absent;
    EXPECT_EQ(S_FALSE, document->GetFeatureNodeIfExists(nullptr, CComBSTR(u"Dup"), &absent));
    EXPECT_EQ(nullptr, absent.p);
    EXPECT_EQ(E_FAIL,
              RaisedBy([&] { document->GetFeatureNode(nullptr, CComBSTR(u"Dup"), &absent); }));

    // GetAttributeValue leaves the caller's string alone when the attribute is absent.
    CComBSTR name(u"untouched");
    EXPECT_EQ(S_FALSE, document->GetAttributeValue(feature, CComBSTR(u"version"), &name));
    EXPECT_EQ("untouched", Utf8(name.m_str));
    BSTR text = nullptr;
    EXPECT_EQ(S_OK, document->GetAttributeValue(feature, CComBSTR(u"name"), &text));
    EXPECT_EQ("psk:Dup", Utf8(text));
    ::SysFreeString(text);

    CComPtr<IXMLDOMNodeList> features;
    EXPECT_EQ(S_OK, document->GetNodes(CComBSTR(u"Feature"), &features));
    LONG count = 0;
    features->get_length(&count);
    EXPECT_EQ(4, count);

    EXPECT_EQ(S_OK, document->QueryNode(CComBSTR(u"//psf:Feature")));
    EXPECT_EQ(PrintSchema::E_ELEMENT_NOT_FOUND,
              document->QueryNode(CComBSTR(u"//psf:Option[@name = \"x\"]")));
}

TEST_F(PrintSchemaDocumentQueries, BadArgumentsAreRaised) {
    const CComBSTR query(u"//psf:Feature");
    const CComBSTR empty(u"");
    CComPtr<IXMLDOMNode> node;
    CComPtr<IXMLDOMNodeList> list;
    BSTR text = nullptr;
    int integer = 0;
    float real = 0;
    const struct {
        const char* name;
        std::function<void()> operation;
        HRESULT expected;
    } cases[] = {
        {"GetNode null out", [&] { document->GetNode(query, nullptr); }, E_POINTER},
        {"GetNode empty query", [&] { document->GetNode(empty, &node); }, E_INVALIDARG},
        {"GetNode null query", [&] { document->GetNode(nullptr, &node); }, E_INVALIDARG},
        {"expression the engine rejects", [&] { document->GetNode(CComBSTR(u"//psf:["), &node); },
         E_FAIL},
        {"undeclared prefix in a query", [&] { document->QueryNode(CComBSTR(u"//psk:Feature")); },
         E_FAIL},
        {"QueryNode empty", [&] { document->QueryNode(empty); }, E_INVALIDARG},
        {"QueryNodeValue text null out",
         [&] { document->QueryNodeValue(query, static_cast<BSTR*>(nullptr)); }, E_POINTER},
        {"QueryNodeValue text empty query", [&] { document->QueryNodeValue(empty, &text); },
         E_INVALIDARG},
        {"QueryNodeValue integer null out",
         [&] { document->QueryNodeValue(query, static_cast<int*>(nullptr)); }, E_POINTER},
        {"QueryNodeValue integer empty", [&] { document->QueryNodeValue(empty, &integer); },
         E_INVALIDARG},
        {"QueryNodeValue real empty", [&] { document->QueryNodeValue(empty, &real); },
         E_INVALIDARG},
        {"GetNodes empty name", [&] { document->GetNodes(empty, &list); }, E_FAIL},
        {"GetNodes null out", [&] { document->GetNodes(CComBSTR(u"Feature"), nullptr); },
         E_POINTER},
        {"GetAttributeValue null node",
         [&] { document->GetAttributeValue(nullptr, CComBSTR(u"name"), &text); }, E_POINTER},
        {"GetAttributeValue empty name",
         [&] { document->GetAttributeValue(document->GetRootNode(), empty, &text); }, E_INVALIDARG},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected, RaisedBy(c.operation));
    }
    ::SysFreeString(text);
}

} // namespace
