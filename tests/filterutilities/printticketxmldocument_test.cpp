// Print ticket reading and editing, on small fixtures and on real published tickets.
#include <filterutilities/printticketxmldocument.h>

#include "printschematestsupport.h"

using namespace printschematest;

namespace {

constexpr HRESULT kNotFound = PrintSchema::E_ELEMENT_NOT_FOUND;

std::string Uri(const char16_t* uri) {
    return Utf8(std::u16string_view(uri));
}

std::string Ticket(const std::string& body, const std::string& keywordsPrefix = "psk") {
    return "<psf:PrintTicket xmlns:psf=\"" + Uri(PrintSchema::FrameworkNamespaceUri) +
           "\" xmlns:" + keywordsPrefix + "=\"" + Uri(PrintSchema::KeywordsNamespaceUri) +
           "\" xmlns:xsi=\"" + Uri(PrintSchema::XmlSchemaInstanceNamespaceUri) + "\" xmlns:xsd=\"" +
           Uri(PrintSchema::XmlSchemaNamespaceUri) +
           "\" xmlns:ns0000=\"urn:vendor\" version=\"1\">" + body + "</psf:PrintTicket>";
}

const char kReadingBody[] =
    R"(<psf:Feature name="psk:PageMediaSize"><psf:Option name="psk:NorthAmericaLetter">)"
    R"(<psf:ScoredProperty name="psk:MediaSizeWidth"><psf:Value xsi:type="xsd:integer">215900</psf:Value></psf:ScoredProperty>)"
    R"(<psf:ScoredProperty name="psk:MediaSizeHeight"><psf:ParameterRef name="psk:Height"/></psf:ScoredProperty>)"
    R"(<psf:ScoredProperty name="psk:Label"><psf:Value xsi:type="xsd:string">wide</psf:Value></psf:ScoredProperty>)"
    R"(</psf:Option></psf:Feature>)"
    R"(<psf:ParameterInit name="psk:Height"><psf:Value xsi:type="xsd:integer">279400</psf:Value></psf:ParameterInit>)"
    R"(<psf:ParameterInit name="Bare"><psf:Value xsi:type="xsd:string">b</psf:Value></psf:ParameterInit>)"
    // The OptionName scored property stands before a nameless option.
    R"(<psf:Feature name="psk:PageMediaType"><psf:ScoredProperty name="psk:OptionName">)"
    R"(<psf:Value xsi:type="xsd:QName">psk:Plain</psf:Value></psf:ScoredProperty><psf:Option/></psf:Feature>)"
    R"(<psf:Feature name="psk:NoColon"><psf:Option name="Letter"/></psf:Feature>)"
    R"(<psf:Feature name="psk:EmptyName"><psf:Option name=""/></psf:Feature>)"
    R"(<psf:Feature name="psk:Private"><psf:Option name="ns0000:Custom"/></psf:Feature>)"
    R"(<psf:Feature name="psk:Inside"><psf:Option name="ns0000:Apsk:B"/></psf:Feature>)"
    R"(<psf:Feature name="psk:JobNUp"><psf:Option name="psk:Four"/><psf:Feature name="psk:Group">)"
    R"(<psf:Feature name="psk:PresentationDirection"><psf:Option name="psk:RightBottom"/></psf:Feature>)"
    R"(</psf:Feature><psf:Feature name="psk:ValueFirst"><psf:ScoredProperty name="psk:OptionName">)"
    R"(<psf:Value>psk:X</psf:Value></psf:ScoredProperty><psf:Option name="psk:Y"/></psf:Feature></psf:Feature>)";

class PrintTicketReading : public DomTest {
protected:
    void SetUp() override {
        DomTest::SetUp();
        dom = LoadBytes(Ticket(kReadingBody));
        ticket = std::make_unique<PrintTicketXmlDocument>(dom);
    }
    void TearDown() override {
        ticket.reset();
        dom.Release();
        DomTest::TearDown();
    }
    CComPtr<IXMLDOMDocument2> dom;
    std::unique_ptr<PrintTicketXmlDocument> ticket;
};

TEST_F(PrintTicketReading, FeatureOption) {
    const struct {
        const char16_t* feature;
        HRESULT result;
        const char* option;
        const char* prefix;
    } cases[] = {
        {u"PageMediaSize", S_OK, "NorthAmericaLetter", "psk:"},
        {u"PageMediaType", S_OK, "Plain", "psk:"}, // from the OptionName value
        {u"Private", S_OK, "Custom", "ns0000:"},   // any prefix is accepted
        {u"Inside", S_OK, "Apsk:B", "ns0000:"},    // split at the first colon
        {u"JobNUp", S_OK, "Four", "psk:"},         // the feature's own option
        {u"Absent", kNotFound, "kept", "kept"},    // outs written only on success
        {u"NoColon", E_FAIL, "kept", "kept"},      // raised
        {u"EmptyName", E_FAIL, "kept", "kept"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8(std::u16string_view(c.feature)));
        CComBSTR option(u"kept");
        CComBSTR prefix(u"kept");
        BSTR optionOut = option.m_str;
        BSTR prefixOut = prefix.m_str;
        HRESULT hr = S_OK;
        const HRESULT raised = RaisedBy(
            [&] { hr = ticket->GetFeatureOption(CComBSTR(c.feature), &optionOut, &prefixOut); });
        EXPECT_EQ(c.result, raised == S_OK ? hr : raised);
        EXPECT_EQ(c.option, Utf8(optionOut));
        EXPECT_EQ(c.prefix, Utf8(prefixOut));
        if (optionOut != option.m_str) {
            ::SysFreeString(optionOut);
            ::SysFreeString(prefixOut);
        }
    }
    // The prefix out-parameter is optional.
    CComBSTR option;
    EXPECT_EQ(S_OK, ticket->GetFeatureOption(CComBSTR(u"PageMediaSize"), &option));
    EXPECT_EQ("NorthAmericaLetter", Utf8(option.m_str));
}

TEST_F(PrintTicketReading, OptionNamesLessTheKeywordsPrefix) {
    const struct {
        const char16_t* query;
        HRESULT result;
        const char* name;
    } cases[] = {
        {u"//psf:Feature[@name = \"psk:PageMediaSize\"]/psf:Option", S_OK, "NorthAmericaLetter"},
        {u"//psf:Feature[@name = \"psk:NoColon\"]/psf:Option", S_OK, "Letter"},
        {u"//psf:Feature[@name = \"psk:Private\"]/psf:Option", S_OK, "ns0000:Custom"},
        {u"//psf:Feature[@name = \"psk:Inside\"]/psf:Option", S_OK, "ns0000:AB"},
        {u"//psf:Feature[@name = \"psk:PageMediaType\"]/psf:Option", kNotFound, "<null>"},
        {u"//psf:Feature[@name = \"psk:Absent\"]", kNotFound, "<null>"},
        {u"//psf:Feature[@name = \"psk:EmptyName\"]/psf:Option", E_INVALIDARG, "<null>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8(std::u16string_view(c.query)));
        CComBSTR name;
        HRESULT hr = S_OK;
        const HRESULT raised =
            RaisedBy([&] { hr = ticket->QueryNodeOption(CComBSTR(c.query), &name); });
        EXPECT_EQ(c.result, raised == S_OK ? hr : raised);
        if (c.result != E_INVALIDARG) {
            EXPECT_EQ(c.name, Utf8(name.m_str));
        }
    }
}

TEST_F(PrintTicketReading, SubFeatureOption) {
    CComBSTR option;
    // Two levels below the feature.
    EXPECT_EQ(S_OK, ticket->GetSubFeatureOption(CComBSTR(u"JobNUp"),
                                                CComBSTR(u"PresentationDirection"), &option));
    EXPECT_EQ("RightBottom", Utf8(option.m_str));
    option.Empty();
    // No typed-value fallback: the OptionName Value stands first and has no name.
    EXPECT_EQ(kNotFound,
              ticket->GetSubFeatureOption(CComBSTR(u"JobNUp"), CComBSTR(u"ValueFirst"), &option));
    EXPECT_EQ(nullptr, option.m_str);
    EXPECT_EQ(kNotFound, ticket->GetSubFeatureOption(CComBSTR(u"PageMediaSize"),
                                                     CComBSTR(u"JobNUp"), &option));
    EXPECT_EQ(E_INVALIDARG, RaisedBy([&] {
                  ticket->GetSubFeatureOption(CComBSTR(u"JobNUp"), CComBSTR(u""), &option);
              }));
}

TEST_F(PrintTicketReading, ScoredPropertyValues) {
    const struct {
        const char16_t* property;
        HRESULT result;
        const char* text;
        int integer;
        float real;
    } cases[] = {
        {u"MediaSizeWidth", S_OK, "215900", 215900, 215900.0f},
        {u"MediaSizeHeight", S_OK, "279400", 279400, 279400.0f}, // through the ParameterRef
        {u"Label", S_OK, "wide", 0, 0.0f},
        {u"Absent", kNotFound, "<null>", -1, -1.0f},
    };
    const CComBSTR feature(u"PageMediaSize");
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8(std::u16string_view(c.property)));
        const CComBSTR property(c.property);
        CComBSTR text;
        EXPECT_EQ(c.result, ticket->GetScoredPropertyValue(feature, property, &text));
        EXPECT_EQ(c.text, Utf8(text.m_str));
        int integer = -1;
        EXPECT_EQ(c.result, ticket->GetScoredPropertyValue(feature, property, &integer));
        EXPECT_EQ(c.integer, integer);
        float real = -1.0f;
        EXPECT_EQ(c.result, ticket->GetScoredPropertyValue(feature, property, &real));
        EXPECT_EQ(c.real, real);
    }
    int unused = 0;
    EXPECT_EQ(E_INVALIDARG, RaisedBy([&] {
                  ticket->GetScoredPropertyValue(CComBSTR(u""), CComBSTR(u"A"), &unused);
              }));
    EXPECT_EQ(E_POINTER, RaisedBy([&] {
                  ticket->GetScoredPropertyValue(feature, CComBSTR(u"A"),
                                                 static_cast<BSTR*>(nullptr));
              }));
}

TEST_F(PrintTicketReading, FeaturesAndParameterInits) {
    CComPtr<IXMLDOMNode> node;
    EXPECT_EQ(S_OK, ticket->FeaturePresent(CComBSTR(u"PageMediaSize"), &node));
    EXPECT_NE(nullptr, node.p);
    EXPECT_EQ(S_OK, ticket->FeaturePresent(CComBSTR(u"Group"), nullptr)); // nested
    EXPECT_EQ(kNotFound, ticket->FeaturePresent(CComBSTR(u"Absent"), nullptr));
    EXPECT_EQ(E_INVALIDARG, RaisedBy([&] { ticket->FeaturePresent(CComBSTR(u""), nullptr); }));

    CComPtr<IXMLDOMNode> initialiser;
    EXPECT_EQ(S_OK,
              ticket->GetParameterInitNodeIfExists(CComBSTR(u""), CComBSTR(u"Bare"), &initialiser));
    initialiser.Release();
    EXPECT_EQ(S_FALSE,
              ticket->GetParameterInitNodeIfExists(nullptr, CComBSTR(u"Height"), &initialiser));
    EXPECT_EQ(nullptr, initialiser.p);
    CComPtr<IXMLDOMNode> value;
    EXPECT_EQ(S_OK, ticket->GetParameterInitValueNodeIfExists(CComBSTR(u"psk:"),
                                                              CComBSTR(u"Height"), &value));
    CComBSTR text;
    value->get_text(&text);
    EXPECT_EQ("279400", Utf8(text.m_str));
    value.Release();
    EXPECT_EQ(S_FALSE, ticket->GetParameterInitValueNodeIfExists(CComBSTR(u"psk:"),
                                                                 CComBSTR(u"Missing"), &value));
}

TEST_F(DomTest, TicketWithoutKeywordsNamespaceKeepsOptionNames) {
    // No keywords declaration: there is no keywords prefix to strip, and nothing fails for it.
    CComPtr<IXMLDOMDocument2> dom = LoadBytes(
        "<psf:PrintTicket xmlns:psf=\"" + Uri(PrintSchema::FrameworkNamespaceUri) +
        "\" xmlns:v=\"urn:vendor\"><psf:Feature name=\"v:Finish\"><psf:Option name=\"v:Gloss\"/>"
        "</psf:Feature></psf:PrintTicket>");
    PrintTicketXmlDocument ticket(dom);
    CComBSTR name;
    EXPECT_EQ(S_OK, ticket.QueryNodeOption(CComBSTR(u"//psf:Option"), &name));
    EXPECT_EQ("v:Gloss", Utf8(name.m_str));
}

// ---------------------------------------------------------------------------------------------
// Real published tickets

TEST_F(DomTest, ReadsTheCustomMediaSizeTicket) {
    CComPtr<IXMLDOMDocument2> dom = LoadTestFile("printschema/ticket-custom-media-size.xml");
    PrintTicketXmlDocument ticket(dom);
    CComBSTR option;
    CComBSTR prefix;
    EXPECT_EQ(S_OK, ticket.GetFeatureOption(CComBSTR(u"PageMediaSize"), &option, &prefix));
    EXPECT_EQ("CustomMediaSize", Utf8(option.m_str));
    EXPECT_EQ("psk:", Utf8(prefix.m_str));
    int width = 0;
    int height = 0;
    EXPECT_EQ(S_OK, ticket.GetScoredPropertyValue(CComBSTR(u"PageMediaSize"),
                                                  CComBSTR(u"MediaSizeWidth"), &width));
    EXPECT_EQ(S_OK, ticket.GetScoredPropertyValue(CComBSTR(u"PageMediaSize"),
                                                  CComBSTR(u"MediaSizeHeight"), &height));
    EXPECT_EQ(2540, width);
    EXPECT_EQ(4233, height);
    EXPECT_EQ("ns0000:", Utf8(ticket.GetUserKeywordsNsPrefix().m_str));
}

TEST_F(DomTest, ReadsThe3DTicket) {
    CComPtr<IXMLDOMDocument2> dom = LoadTestFile("printschema/ticket-3d-example.xml");
    PrintTicketXmlDocument ticket(dom);
    // Its features live in the 3D keywords namespace, not the Print Schema keywords one.
    CComBSTR option;
    EXPECT_EQ(kNotFound, ticket.GetFeatureOption(CComBSTR(u"Job3DQuality"), &option));
    EXPECT_EQ(S_OK,
              ticket.QueryNodeOption(
                  CComBSTR(u"//psf:Feature[@name = \"psk3d:Job3DQuality\"]/psf:Option"), &option));
    EXPECT_EQ("psk3d:Medium", Utf8(option.m_str));
    CComBSTR material;
    EXPECT_EQ(S_OK, ticket.QueryNodeValue(
                        CComBSTR(u"//psf:ParameterInit[@name = \"psk3d:Job3DRaftMaterial\"]"),
                        &material));
    EXPECT_EQ("vnd:B", Utf8(material.m_str));
    CComPtr<IXMLDOMNode> map;
    EXPECT_EQ(S_OK,
              ticket.GetParameterInitNodeIfExists(CComBSTR(u"vnd:"), CComBSTR(u"Job3DBMap"), &map));
    // ns0000 is bound to another vendor's namespace: the driver's own is undeclared.
    EXPECT_EQ("ns0000:", Utf8(ticket.GetUserKeywordsNsPrefix().m_str));
}

TEST_F(DomTest, ReadsThePinPrintingTicket) {
    CComPtr<IXMLDOMDocument2> dom = LoadTestFile("printschema/ticket-pin-printing.xml");
    PrintTicketXmlDocument ticket(dom);
    CComBSTR option;
    EXPECT_EQ(S_OK,
              ticket.QueryNodeOption(
                  CComBSTR(u"//psf:Feature[@name = \"pskv11:JobPasscode\"]/psf:Option"), &option));
    EXPECT_EQ("On", Utf8(option.m_str));
    CComPtr<IXMLDOMNode> value;
    EXPECT_EQ(S_OK, ticket.GetParameterInitValueNodeIfExists(
                        CComBSTR(u"pskv11:"), CComBSTR(u"JobPasscodeString"), &value));
    CComBSTR passcode;
    value->get_text(&passcode);
    EXPECT_EQ("123456", Utf8(passcode.m_str));
}

// ---------------------------------------------------------------------------------------------
// Editing

class PrintTicketEditing : public DomTest {
protected:
    void Load(const std::string& source) {
        this->source = source;
        dom = LoadBytes(source);
        ticket = std::make_unique<PrintTicketXmlDocument>(dom);
    }
    void TearDown() override {
        ticket.reset();
        dom.Release();
        DomTest::TearDown();
    }
    // The document must now equal the source with fragment before the root's end tag.
    void ExpectAppended(const std::string& fragment) {
        const std::string written = StreamBytesOf(dom);
        EXPECT_EQ(Canonical(InsertBeforeRootEnd(source, fragment)), Canonical(written));
        XmlDoc parsed = ParseWithLibxml2(written);
        ASSERT_TRUE(parsed);
        EXPECT_EQ(std::vector<std::string>{}, RedundantDeclarations(parsed.get()));
    }
    std::string source;
    CComPtr<IXMLDOMDocument2> dom;
    std::unique_ptr<PrintTicketXmlDocument> ticket;
};

TEST_F(PrintTicketEditing, ElementShapes) {
    const std::string priv = " xmlns:pk=\"" + Uri(PrintSchema::UserKeywordsNamespaceUri) + "\"";
    const struct {
        const char* name;
        std::function<void(PrintTicketXmlDocument&)> edit;
        const char* expected;
    } cases[] = {
        {"feature and nameless option in the private namespace",
         [](PrintTicketXmlDocument& t) {
             CComPtr<IXMLDOMElement> feature, option;
             t.CreateFeatureOptionPair(false, CComBSTR(u"JobStaple"), &feature, &option);
             t.AppendChildToRootNode(feature);
         },
         R"(<psf:Feature name="pk:JobStaple"><psf:Option></psf:Option></psf:Feature>)"},
        {"feature and named option",
         [](PrintTicketXmlDocument& t) {
             CComPtr<IXMLDOMElement> feature, option;
             t.CreateFeatureOptionPair(true, CComBSTR(u"JobDuplexAllDocumentsContiguously"), false,
                                       CComBSTR(u"Booklet"), &feature, &option);
             t.AppendChildToRootNode(feature);
         },
         R"(<psf:Feature name="psk:JobDuplexAllDocumentsContiguously"><psf:Option name="pk:Booklet">)"
         R"(</psf:Option></psf:Feature>)"},
        {"reference and initialiser, text",
         [](PrintTicketXmlDocument& t) {
             CComPtr<IXMLDOMElement> reference, initialiser;
             t.CreateParamRefInitPair(CComBSTR(u"JobName"), CComBSTR(u"string"),
                                      CComBSTR(u"Report"), &reference, &initialiser);
             t.AppendChildToRootNode(reference);
             t.AppendChildToRootNode(initialiser);
         },
         R"(<psf:ParameterRef name="psk:JobName"></psf:ParameterRef>)"
         R"(<psf:ParameterInit name="psk:JobName"><psf:Value xsi:type="xsd:string">Report</psf:Value>)"
         R"(</psf:ParameterInit>)"},
        {"reference and initialiser, negative integer",
         [](PrintTicketXmlDocument& t) {
             CComPtr<IXMLDOMElement> reference, initialiser;
             t.CreateParamRefInitPair(CComBSTR(u"Offset"), -5, &reference, &initialiser);
             t.AppendChildToRootNode(initialiser);
         },
         R"(<psf:ParameterInit name="psk:Offset"><psf:Value xsi:type="xsd:integer">-5</psf:Value>)"
         R"(</psf:ParameterInit>)"},
        {"integer initialiser keeps its sign",
         [](PrintTicketXmlDocument& t) {
             t.AppendIntegerParameterInit(CComBSTR(u"psk:"), CComBSTR(u"Offset"), -5);
         },
         R"(<psf:ParameterInit name="psk:Offset"><psf:Value xsi:type="xsd:integer">-5</psf:Value>)"
         R"(</psf:ParameterInit>)"},
        {"untyped initialiser",
         [](PrintTicketXmlDocument& t) {
             CComPtr<IXMLDOMElement> initialiser;
             t.CreateUntypedParameterInitFromString(CComBSTR(u"pk:"), CComBSTR(u"Note"),
                                                    CComBSTR(u"plain"), &initialiser);
             t.AppendChildToRootNode(initialiser);
         },
         R"(<psf:ParameterInit name="pk:Note"><psf:Value>plain</psf:Value></psf:ParameterInit>)"},
        {"string initialiser appended twice",
         [](PrintTicketXmlDocument& t) {
             t.AppendStringParameterInit(CComBSTR(u"pk:"), CComBSTR(u"Tag"), CComBSTR(u"1"));
             t.AppendStringParameterInit(CComBSTR(u"pk:"), CComBSTR(u"Tag"), CComBSTR(u"2"));
         },
         R"(<psf:ParameterInit name="pk:Tag"><psf:Value xsi:type="xsd:string">1</psf:Value></psf:ParameterInit>)"
         R"(<psf:ParameterInit name="pk:Tag"><psf:Value xsi:type="xsd:string">2</psf:Value></psf:ParameterInit>)"},
        {"appended to the element named PrintTicket",
         [](PrintTicketXmlDocument& t) {
             CComPtr<IXMLDOMElement> initialiser;
             t.CreateStringParameterInit(CComBSTR(u"psk:"), CComBSTR(u"A"), CComBSTR(u"x"),
                                         &initialiser);
             EXPECT_EQ(S_OK, t.AppendToElement(CComBSTR(u"PrintTicket"), initialiser));
         },
         R"(<psf:ParameterInit name="psk:A"><psf:Value xsi:type="xsd:string">x</psf:Value></psf:ParameterInit>)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // The private namespace is declared with pk on the root for these shapes.
        std::string withPrivate = Ticket(R"(<psf:Feature name="psk:Existing"/>)");
        withPrivate.insert(withPrivate.find(" version="), priv);
        Load(withPrivate);
        c.edit(*ticket);
        ExpectAppended(c.expected);
    }
}

TEST_F(PrintTicketEditing, IntegerInitialiserReadsBackAsWritten) {
    Load(Ticket(""));
    for (int value : {-5, 0, 2147483647, -2147483647 - 1}) {
        SCOPED_TRACE(value);
        ticket->DeleteParameterInitNodeIfExists(CComBSTR(u"psk:"), CComBSTR(u"N"));
        ticket->AppendIntegerParameterInit(CComBSTR(u"psk:"), CComBSTR(u"N"), value);
        int read = 1;
        EXPECT_EQ(S_OK, ticket->QueryNodeValue(CComBSTR(u"//psf:ParameterInit[@name = \"psk:N\"]"),
                                               &read));
        EXPECT_EQ(value, read);
    }
}

TEST_F(PrintTicketEditing, Removal) {
    Load(Ticket(
        R"(<psf:Property name="psf:Note"><psf:Value>1</psf:Value></psf:Property>)"
        R"(<psf:Feature name="psk:F"><psf:Property name="psf:Note"><psf:Value>2</psf:Value></psf:Property></psf:Feature>)"
        R"(<psf:ParameterInit name="psk:A"/>)"));
    const std::string before = Canonical(StreamBytesOf(dom));
    EXPECT_EQ(S_FALSE, ticket->DeleteProperty(CComBSTR(u"Absent")));
    EXPECT_EQ(S_FALSE, ticket->DeleteParameterInitNodeIfExists(CComBSTR(u"psk:"), CComBSTR(u"B")));
    EXPECT_EQ(before, Canonical(StreamBytesOf(dom)));

    // The framework prefix is the name prefix; only the first match goes.
    EXPECT_EQ(S_OK, ticket->DeleteProperty(CComBSTR(u"Note")));
    CComBSTR remaining;
    EXPECT_EQ(S_OK, ticket->QueryNodeValue(CComBSTR(u"//psf:Feature/psf:Property"), &remaining));
    EXPECT_EQ(PrintSchema::E_ELEMENT_NOT_FOUND,
              ticket->QueryNode(CComBSTR(u"/psf:PrintTicket/psf:Property")));
    EXPECT_EQ(S_OK, ticket->DeleteParameterInitNodeIfExists(CComBSTR(u"psk:"), CComBSTR(u"A")));
    EXPECT_EQ(PrintSchema::E_ELEMENT_NOT_FOUND,
              ticket->QueryNode(CComBSTR(u"//psf:ParameterInit")));
}

TEST_F(PrintTicketEditing, OrphanedInitialisers) {
    const struct {
        const char* name;
        const char* body;
        std::vector<std::string> kept;
    } cases[] = {
        {"no reference at all: every initialiser goes",
         R"(<psf:ParameterInit name="psk:A"/><psf:ParameterInit/><psf:ParameterInit name="psk:B"/>)",
         {}},
        {"names differing in case do not match; nameless initialisers stay",
         R"(<psf:Feature name="psk:F"><psf:Option><psf:ScoredProperty name="psk:S">)"
         R"(<psf:ParameterRef name="psk:Width"/></psf:ScoredProperty></psf:Option></psf:Feature>)"
         R"(<psf:ParameterInit name="psk:width"/><psf:ParameterInit name="psk:Width"/>)"
         R"(<psf:ParameterInit/><psf:ParameterInit name="psk:Height"/>)",
         {"psk:Width", "<none>"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Load(Ticket(c.body));
        EXPECT_EQ(S_OK, ticket->DeleteOrphanedParameterInits());
        CComPtr<IXMLDOMNodeList> left;
        dom->selectNodes(CComBSTR(u"//psf:ParameterInit"), &left);
        std::vector<std::string> kept;
        for (CComPtr<IXMLDOMNode> node; left->nextNode(&node) == S_OK; node.Release()) {
            CComPtr<IXMLDOMElement> element;
            node->QueryInterface(&element);
            VARIANT name;
            ::VariantInit(&name);
            element->getAttribute(CComBSTR(u"name"), &name);
            kept.push_back(name.vt == VT_BSTR ? Utf8(name.bstrVal) : "<none>");
            ::VariantClear(&name);
        }
        EXPECT_EQ(c.kept, kept);
    }
}

TEST_F(PrintTicketEditing, BadArgumentsAreRaised) {
    Load(Ticket(""));
    const CComBSTR name(u"N");
    const CComBSTR empty(u"");
    IXMLDOMElement* first = nullptr;
    IXMLDOMElement* second = nullptr;
    const struct {
        const char* name;
        std::function<void()> operation;
        HRESULT expected;
    } cases[] = {
        {"feature pair, null out",
         [&] { ticket->CreateFeatureOptionPair(true, name, nullptr, &second); }, E_POINTER},
        {"feature pair, empty feature",
         [&] { ticket->CreateFeatureOptionPair(true, empty, &first, &second); }, E_INVALIDARG},
        {"feature pair, empty option",
         [&] { ticket->CreateFeatureOptionPair(true, name, true, empty, &first, &second); },
         E_INVALIDARG},
        {"reference pair, empty type",
         [&] { ticket->CreateParamRefInitPair(name, empty, name, &first, &second); }, E_INVALIDARG},
        {"reference pair, null out",
         [&] { ticket->CreateParamRefInitPair(name, 1, &first, nullptr); }, E_POINTER},
        {"string initialiser, empty prefix",
         [&] { ticket->CreateStringParameterInit(empty, name, name, &first); }, E_INVALIDARG},
        {"string initialiser, empty value",
         [&] { ticket->CreateStringParameterInit(CComBSTR(u"psk:"), name, empty, &first); },
         E_INVALIDARG},
        {"integer initialiser, empty name",
         [&] { ticket->CreateIntegerParameterInit(CComBSTR(u"psk:"), empty, 1, &first); },
         E_INVALIDARG},
        {"append to an element that is not there",
         [&] {
             CComPtr<IXMLDOMElement> orphan;
             ticket->CreateStringParameterInit(CComBSTR(u"psk:"), name, name, &orphan);
             ticket->AppendToElement(CComBSTR(u"Feature"), orphan);
         },
         kNotFound},
        {"append a null child", [&] { ticket->AppendToElement(CComBSTR(u"PrintTicket"), nullptr); },
         E_POINTER},
        {"delete property, empty name", [&] { ticket->DeleteProperty(empty); }, E_INVALIDARG},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected, RaisedBy(c.operation));
        for (IXMLDOMElement** out : {&first, &second}) {
            if (*out) {
                (*out)->Release();
                *out = nullptr;
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Round trip on the real tickets: set a feature, add and delete parameters, write the ticket
// and read it back through the library and with libxml2.

// The same edit made with libxml2 on the original document.
std::string ExpectedAfterEdit(const std::string& source, const std::string& deletedInit) {
    XmlDoc doc = ParseWithLibxml2(source);
    xmlNode* root = xmlDocGetRootElement(doc.get());
    const std::string fw = Uri(PrintSchema::FrameworkNamespaceUri);
    xmlNs* psf = xmlSearchNsByHref(doc.get(), root, BAD_CAST fw.c_str());
    xmlNs* xsi = xmlSearchNsByHref(
        doc.get(), root, BAD_CAST Uri(PrintSchema::XmlSchemaInstanceNamespaceUri).c_str());
    for (xmlNode* child = root->children; child; child = child->next) {
        xmlChar* name = xmlGetProp(child, BAD_CAST "name");
        const bool match = child->type == XML_ELEMENT_NODE && name &&
                           deletedInit == reinterpret_cast<const char*>(name);
        xmlFree(name);
        if (match) {
            xmlUnlinkNode(child);
            xmlFreeNode(child);
            break;
        }
    }
    xmlNode* feature = xmlNewChild(root, psf, BAD_CAST "Feature", nullptr);
    xmlNewProp(feature, BAD_CAST "name", BAD_CAST "psk:JobDuplexAllDocumentsContiguously");
    xmlNode* option = xmlNewChild(feature, psf, BAD_CAST "Option", nullptr);
    xmlNewProp(option, BAD_CAST "name", BAD_CAST "psk:TwoSidedLongEdge");
    xmlNode* init = xmlNewChild(root, psf, BAD_CAST "ParameterInit", nullptr);
    xmlNewProp(init, BAD_CAST "name", BAD_CAST "psk:JobCopiesAllDocuments");
    xmlNode* value = xmlNewChild(init, psf, BAD_CAST "Value", BAD_CAST "2");
    xmlNewNsProp(value, xsi, BAD_CAST "type", BAD_CAST "xsd:integer");
    return Canonical(doc.get());
}

struct RoundTripCase {
    const char* file;
    const char16_t* deletedPrefix; // the ParameterInit that the edit deletes
    const char16_t* deletedName;
};
void PrintTo(const RoundTripCase& c, std::ostream* out) {
    *out << c.file;
}

class RealTicketRoundTrip : public DomTest, public testing::WithParamInterface<RoundTripCase> {};

TEST_P(RealTicketRoundTrip, SetFeatureAddAndDeleteParameters) {
    const RoundTripCase& c = GetParam();
    const std::string source = ReadTestFile(c.file);
    std::string written;
    {
        CComPtr<IXMLDOMDocument2> dom = LoadTestFile(c.file);
        PrintTicketXmlDocument ticket(dom);
        const CComBSTR keywords = ticket.GetKeywordsNsPrefix();
        const CComBSTR duplex(u"JobDuplexAllDocumentsContiguously");
        EXPECT_EQ(S_FALSE, ticket.DeleteFeatureNodeIfExists(keywords, duplex));
        CComPtr<IXMLDOMElement> feature, option;
        ticket.CreateFeatureOptionPair(true, duplex, true, CComBSTR(u"TwoSidedLongEdge"), &feature,
                                       &option);
        ticket.AppendChildToRootNode(feature);
        ticket.AppendIntegerParameterInit(keywords, CComBSTR(u"JobCopiesAllDocuments"), 2);
        EXPECT_EQ(S_OK, ticket.DeleteParameterInitNodeIfExists(CComBSTR(c.deletedPrefix),
                                                               CComBSTR(c.deletedName)));
        EXPECT_EQ(S_OK, ticket.SetProcessingInstructionsEncodingUtf8());
        written = StreamBytesOf(dom);
    }
    // libxml2: well-formed, a UTF-8 declaration, no repeated declarations, nothing else changed.
    XmlDoc parsed = ParseWithLibxml2(written);
    ASSERT_TRUE(parsed) << written;
    EXPECT_EQ("1.0 UTF-8 standalone -2", DeclarationOf(written));
    EXPECT_EQ(std::vector<std::string>{}, RedundantDeclarations(parsed.get()));
    EXPECT_EQ(ExpectedAfterEdit(source, Utf8(std::u16string_view(c.deletedPrefix)) +
                                            Utf8(std::u16string_view(c.deletedName))),
              Canonical(parsed.get()));

    // The library reads back what it wrote.
    PrintTicketXmlDocument reread(LoadBytes(written));
    CComBSTR option;
    EXPECT_EQ(S_OK,
              reread.GetFeatureOption(CComBSTR(u"JobDuplexAllDocumentsContiguously"), &option));
    EXPECT_EQ("TwoSidedLongEdge", Utf8(option.m_str));
    int copies = 0;
    EXPECT_EQ(S_OK, reread.QueryNodeValue(
                        CComBSTR(u"//psf:ParameterInit[@name = \"psk:JobCopiesAllDocuments\"]"),
                        &copies));
    EXPECT_EQ(2, copies);
    CComPtr<IXMLDOMNode> deleted;
    EXPECT_EQ(S_FALSE, reread.GetParameterInitNodeIfExists(CComBSTR(c.deletedPrefix),
                                                           CComBSTR(c.deletedName), &deleted));
}

INSTANTIATE_TEST_SUITE_P(
    PublishedTickets, RealTicketRoundTrip,
    testing::Values(RoundTripCase{"printschema/ticket-custom-media-size.xml", u"psk:",
                                  u"PageMediaSizeMediaSizeHeight"},
                    RoundTripCase{"printschema/ticket-3d-example.xml", u"vnd:", u"Job3DAMap"},
                    RoundTripCase{"printschema/ticket-pin-printing.xml", u"pskv11:",
                                  u"JobPasscodeString"}),
    [](const testing::TestParamInfo<RoundTripCase>& info) {
        std::string name = std::string(info.param.file).substr(std::string("printschema/").size());
        name = name.substr(0, name.find('.'));
        for (char& ch : name) {
            if (ch == '-') {
                ch = '_';
            }
        }
        return name;
    });

} // namespace
