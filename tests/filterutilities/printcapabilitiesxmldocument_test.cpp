// The print capabilities document: parameter definitions, features and options, display names,
// and reading capability options, on small fixtures and on real published documents.
#include <filterutilities/printcapabilitiesxmldocument.h>

#include "printschematestsupport.h"

#include <cmath>

using namespace printschematest;

namespace {

std::string Uri(const char16_t* uri) {
    return Utf8(std::u16string_view(uri));
}

std::string Capabilities(const std::string& body) {
    return "<psf:PrintCapabilities xmlns:psf=\"" + Uri(PrintSchema::FrameworkNamespaceUri) +
           "\" xmlns:psk=\"" + Uri(PrintSchema::KeywordsNamespaceUri) + "\" xmlns:xsi=\"" +
           Uri(PrintSchema::XmlSchemaInstanceNamespaceUri) + "\" xmlns:xsd=\"" +
           Uri(PrintSchema::XmlSchemaNamespaceUri) + "\" version=\"1\">" + body +
           "</psf:PrintCapabilities>";
}

// The element's child properties as "name : type = text", in document order.
std::vector<std::string> PropertiesOf(IXMLDOMNode* element) {
    CComPtr<IXMLDOMNodeList> properties;
    element->selectNodes(CComBSTR(u"psf:Property"), &properties);
    std::vector<std::string> listed;
    for (CComPtr<IXMLDOMNode> property; properties->nextNode(&property) == S_OK;
         property.Release()) {
        CComPtr<IXMLDOMElement> asElement;
        property->QueryInterface(&asElement);
        VARIANT name;
        ::VariantInit(&name);
        asElement->getAttribute(CComBSTR(u"name"), &name);
        CComPtr<IXMLDOMNode> value;
        property->selectSingleNode(CComBSTR(u"psf:Value"), &value);
        CComPtr<IXMLDOMElement> valueElement;
        value->QueryInterface(&valueElement);
        VARIANT type;
        ::VariantInit(&type);
        valueElement->getAttribute(CComBSTR(u"xsi:type"), &type);
        CComBSTR text;
        value->get_text(&text);
        listed.push_back(Utf8(name.bstrVal) + " : " + Utf8(type.bstrVal) + " = " +
                         (text.m_str ? Utf8(text.m_str) : ""));
        ::VariantClear(&name);
        ::VariantClear(&type);
    }
    return listed;
}

class PrintCapabilitiesBuilding : public DomTest {
protected:
    void SetUp() override {
        DomTest::SetUp();
        dom = LoadBytes(Capabilities(""));
        capabilities = std::make_unique<PrintCapabilitiesXmlDocument>(dom);
    }
    void TearDown() override {
        capabilities.reset();
        dom.Release();
        DomTest::TearDown();
    }
    CComPtr<IXMLDOMDocument2> dom;
    std::unique_ptr<PrintCapabilitiesXmlDocument> capabilities;
};

TEST_F(PrintCapabilitiesBuilding, ParameterDefinitionsInTheirOrder) {
    const CComBSTR psk(u"psk:");
    const CComBSTR mandatory(u"Conditional");
    const CComBSTR empty(u"");
    const struct {
        const char* name;
        std::function<void(IXMLDOMElement**)> create;
        std::vector<std::string> expected;
    } cases[] = {
        {"integer, no multiple, no display name",
         [&](IXMLDOMElement** out) {
             capabilities->CreateIntegerParameterDef(psk, CComBSTR(u"JobCopiesAllDocuments"),
                                                     mandatory, empty, 1, 1, 999, 0,
                                                     CComBSTR(u"copies"), out);
         },
         {"psf:DataType : xsd:QName = xsd:integer", "psf:DefaultValue : xsd:integer = 1",
          "psf:MaxValue : xsd:integer = 999", "psf:MinValue : xsd:integer = 1",
          "psf:Mandatory : xsd:QName = psk:Conditional", "psf:UnitType : xsd:string = copies"}},
        {"integer with multiple and display name",
         [&](IXMLDOMElement** out) {
             capabilities->CreateIntegerParameterDef(psk, CComBSTR(u"Width"), mandatory,
                                                     CComBSTR(u"Width"), -5, -10, 10, 5,
                                                     CComBSTR(u"microns"), out);
         },
         {"psf:DataType : xsd:QName = xsd:integer", "psf:DefaultValue : xsd:integer = -5",
          "psf:MaxValue : xsd:integer = 10", "psf:MinValue : xsd:integer = -10",
          "psf:Mandatory : xsd:QName = psk:Conditional", "psf:UnitType : xsd:string = microns",
          "psf:Multiple : xsd:integer = 5", "psk:DisplayName : xsd:string = Width"}},
        {"real with two decimals; the default is typed string",
         [&](IXMLDOMElement** out) {
             capabilities->CreateRealParameterDef(psk, CComBSTR(u"Scale"), mandatory,
                                                  CComBSTR(u"Scale"), 1.0f, 0.25f, 10.0f, 0.5f,
                                                  CComBSTR(u"factor"), out);
         },
         {"psf:DataType : xsd:QName = xsd:decimal", "psf:DefaultValue : xsd:string = 1.00",
          "psf:MaxValue : xsd:decimal = 10.00", "psf:MinValue : xsd:decimal = 0.25",
          "psf:Mandatory : xsd:QName = psk:Conditional", "psf:UnitType : xsd:string = factor",
          "psf:Multiple : xsd:decimal = 0.50", "psk:DisplayName : xsd:string = Scale"}},
        {"real with a negative multiple: none written",
         [&](IXMLDOMElement** out) {
             capabilities->CreateRealParameterDef(psk, CComBSTR(u"Scale"), mandatory, empty,
                                                  1.0f / 3, 0.0f, 2.0f, -1.0f, empty, out);
         },
         {"psf:DataType : xsd:QName = xsd:decimal", "psf:DefaultValue : xsd:string = 0.33",
          "psf:MaxValue : xsd:decimal = 2.00", "psf:MinValue : xsd:decimal = 0.00",
          "psf:Mandatory : xsd:QName = psk:Conditional", "psf:UnitType : xsd:string = "}},
        {"string; the default follows the display name, also when empty",
         [&](IXMLDOMElement** out) {
             capabilities->CreateStringParameterDef(psk, CComBSTR(u"JobName"), mandatory,
                                                    CComBSTR(u"Job name"), empty, 1, 64,
                                                    CComBSTR(u"characters"), out);
         },
         {"psf:DataType : xsd:QName = xsd:string", "psf:MaxLength : xsd:integer = 64",
          "psf:MinLength : xsd:integer = 1", "psf:Mandatory : xsd:QName = psk:Conditional",
          "psf:UnitType : xsd:string = characters", "psk:DisplayName : xsd:string = Job name",
          "psf:DefaultValue : xsd:string = "}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CComPtr<IXMLDOMElement> definition;
        c.create(&definition);
        ASSERT_TRUE(definition);
        EXPECT_EQ(c.expected, PropertiesOf(definition));
        CComPtr<IXMLDOMNode> parent;
        EXPECT_EQ(S_FALSE, definition->get_parentNode(&parent)); // not attached
    }
    CComPtr<IXMLDOMElement> definition;
    EXPECT_EQ(E_INVALIDARG, RaisedBy([&] {
                  capabilities->CreateRealParameterDef(psk, CComBSTR(u"S"), mandatory, empty,
                                                       std::nanf(""), 0, 1, 0, empty, &definition);
              }));
}

TEST_F(PrintCapabilitiesBuilding, FeaturesAndOptions) {
    CComPtr<IXMLDOMElement> feature;
    capabilities->CreatePickOneFeature(CComBSTR(u"JobStaple"), CComBSTR(u"Staple"), &feature);
    capabilities->CreateAndAppendOption(CComBSTR(u"On"), CComBSTR(u"psk:"), CComBSTR(u"Staple on"),
                                        CComBSTR(u"DeviceSettings"), feature);
    capabilities->CreateAndAppendOption(CComBSTR(u"Off"), CComBSTR(u"psk:"), CComBSTR(u""),
                                        CComBSTR(u""), feature);
    capabilities->AppendChildToRootNode(feature);
    CComPtr<IXMLDOMElement> plain;
    capabilities->CreateFeature(CComBSTR(u"Plain"), CComBSTR(u""), &plain);
    capabilities->AppendChildToRootNode(plain);
    const std::string expected = Capabilities(
        R"(<psf:Feature name="psk:JobStaple">)"
        R"(<psf:Property name="psk:DisplayName"><psf:Value xsi:type="xsd:string">Staple</psf:Value></psf:Property>)"
        R"(<psf:Property name="psf:SelectionType"><psf:Value xsi:type="xsd:QName">psk:PickOne</psf:Value></psf:Property>)"
        R"(<psf:Option name="psk:On" constrained="psk:DeviceSettings">)"
        R"(<psf:Property name="psk:DisplayName"><psf:Value xsi:type="xsd:string">Staple on</psf:Value></psf:Property>)"
        R"(</psf:Option><psf:Option name="psk:Off"/></psf:Feature><psf:Feature name="psk:Plain"/>)");
    const std::string written = StreamBytesOf(dom);
    EXPECT_EQ(Canonical(expected), Canonical(written));
    XmlDoc parsed = ParseWithLibxml2(written);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(std::vector<std::string>{}, RedundantDeclarations(parsed.get()));

    CComPtr<IXMLDOMElement> option;
    EXPECT_EQ(E_INVALIDARG, RaisedBy([&] {
                  capabilities->CreateOption(CComBSTR(u"On"), CComBSTR(u""), nullptr, nullptr,
                                             &option);
              }));
    EXPECT_EQ(E_POINTER, RaisedBy([&] {
                  capabilities->CreateAndAppendOption(CComBSTR(u"On"), CComBSTR(u"psk:"), nullptr,
                                                      nullptr, nullptr);
              }));
}

TEST_F(DomTest, ReadsAndEditsRealCapabilities) {
    CComPtr<IXMLDOMDocument2> dom = LoadTestFile("printschema/capabilities-docs-example.xml");
    PrintCapabilitiesXmlDocument capabilities(dom);
    CComPtr<IXMLDOMNode> mediaSize;
    ASSERT_EQ(S_OK, capabilities.GetFeatureNodeIfExists(CComBSTR(u"psk:"),
                                                        CComBSTR(u"PageMediaSize"), &mediaSize));
    CComPtr<IXMLDOMNodeList> options = capabilities.GetChildOptionNodes(mediaSize);
    LONG count = 0;
    options->get_length(&count);
    EXPECT_EQ(2, count);

    CComPtr<IXMLDOMNode> letter;
    ASSERT_EQ(S_OK, capabilities.GetChildOptionNodeIfExists(
                        mediaSize, CComBSTR(u"psk:"), CComBSTR(u"NorthAmericaLetter"), &letter));
    EXPECT_EQ(215900, capabilities.GetChildScoredPropertyValueAsInteger(
                          letter, CComBSTR(u"MediaSizeWidth")));
    EXPECT_EQ(CXString(u"279400"), capabilities.GetChildScoredPropertyValueAsString(
                                       letter, CComBSTR(u"MediaSizeHeight")));
    EXPECT_EQ(E_FAIL, RaisedBy([&] {
                  capabilities.GetChildScoredPropertyValueAsInteger(letter, CComBSTR(u"Missing"));
              }));
    // A scored property that holds a ParameterRef has no text of its own.
    CComPtr<IXMLDOMNode> custom;
    ASSERT_EQ(S_OK, capabilities.GetChildOptionNodeIfExists(mediaSize, CComBSTR(u"psk:"),
                                                            CComBSTR(u"CustomMediaSize"), &custom));
    EXPECT_EQ(E_FAIL, RaisedBy([&] {
                  capabilities.GetChildScoredPropertyValueAsString(custom,
                                                                   CComBSTR(u"MediaSizeWidth"));
              }));
    CComPtr<IXMLDOMNode> absent;
    EXPECT_EQ(S_FALSE, capabilities.GetChildOptionNodeIfExists(mediaSize, CComBSTR(u"psk:"),
                                                               CComBSTR(u"ISOA4"), &absent));

    // Display names: the feature's own, an option's, an option without one, a missing option.
    EXPECT_EQ(S_OK, capabilities.ReplaceDisplayNamePropertyValue(mediaSize, CComBSTR(u"Papier")));
    EXPECT_EQ(S_OK, capabilities.ReplaceOptionDisplayNamePropertyValue(
                        mediaSize, CComBSTR(u"psk:"), CComBSTR(u"NorthAmericaLetter"),
                        CComBSTR(u"Lettre")));
    const std::string before = Canonical(StreamBytesOf(dom));
    EXPECT_EQ(S_OK, capabilities.ReplaceOptionDisplayNamePropertyValue(mediaSize, CComBSTR(u"psk:"),
                                                                       CComBSTR(u"CustomMediaSize"),
                                                                       CComBSTR(u"Sur mesure")));
    EXPECT_EQ(S_FALSE, capabilities.ReplaceOptionDisplayNamePropertyValue(
                           mediaSize, CComBSTR(u"psk:"), CComBSTR(u"ISOA4"), CComBSTR(u"A4")));
    EXPECT_EQ(PrintSchema::E_ELEMENT_NOT_FOUND,
              capabilities.ReplaceDisplayNamePropertyValue(custom, CComBSTR(u"x")));
    EXPECT_EQ(before, Canonical(StreamBytesOf(dom)));
    CComBSTR text;
    EXPECT_EQ(S_OK,
              capabilities.QueryNodeValue(
                  CComBSTR(u"//psf:Feature[@name = \"psk:PageMediaSize\"]/psf:Property[@name = "
                           u"\"psk:DisplayName\"]"),
                  &text));
    EXPECT_EQ("Papier", Utf8(text.m_str));
    text.Empty();
    EXPECT_EQ(S_OK,
              capabilities.QueryNodeValue(
                  CComBSTR(u"//psf:Option[@name = \"psk:NorthAmericaLetter\"]/psf:Property[@name "
                           u"= \"psk:DisplayName\"]"),
                  &text));
    EXPECT_EQ("Lettre", Utf8(text.m_str));
    EXPECT_EQ(E_INVALIDARG, RaisedBy([&] {
                  capabilities.ReplaceDisplayNamePropertyValue(nullptr, CComBSTR(u"x"));
              }));
    EXPECT_EQ(E_POINTER, RaisedBy([&] {
                  capabilities.ReplaceOptionDisplayNamePropertyValue(
                      nullptr, CComBSTR(u"psk:"), CComBSTR(u"A"), CComBSTR(u"B"));
              }));

    // Parameter definitions.
    CComPtr<IXMLDOMNode> snapshot;
    EXPECT_EQ(S_OK, capabilities.GetParameterDefNodeIfExists(
                        CComBSTR(u"ns0000:"), CComBSTR(u"PageDevmodeSnapshot"), &snapshot));
    EXPECT_EQ(S_OK, capabilities.DeleteParameterDefNodeIfExists(CComBSTR(u"ns0000:"),
                                                                CComBSTR(u"PageDevmodeSnapshot")));
    EXPECT_EQ(S_FALSE, capabilities.DeleteParameterDefNodeIfExists(
                           CComBSTR(u"ns0000:"), CComBSTR(u"PageDevmodeSnapshot")));
}

TEST_F(DomTest, RealCapabilitiesWithNamelessOptionsAndMultibyteText) {
    {
        PrintCapabilitiesXmlDocument capabilities(
            LoadTestFile("printschema/capabilities-kip-nup.xml"));
        CComPtr<IXMLDOMNode> nup;
        ASSERT_EQ(S_OK, capabilities.GetFeatureNodeIfExists(
                            CComBSTR(u"psk:"), CComBSTR(u"JobNUpAllDocumentsContiguously"), &nup));
        CComPtr<IXMLDOMNodeList> options = capabilities.GetChildOptionNodes(nup);
        std::vector<int> pagesPerSheet;
        for (CComPtr<IXMLDOMNode> option; options->nextNode(&option) == S_OK; option.Release()) {
            pagesPerSheet.push_back(capabilities.GetChildScoredPropertyValueAsInteger(
                option, CComBSTR(u"PagesPerSheet")));
        }
        EXPECT_EQ((std::vector<int>{1, 2, 4, 6, 9, 16}), pagesPerSheet);
    }
    {
        PrintCapabilitiesXmlDocument capabilities(
            LoadTestFile("printschema/capabilities-generic-text-only.xml"));
        const CComBSTR displayName(
            u"//psf:Feature[@name = \"psk:DocumentCollate\"]/psf:Property[@name = "
            u"\"psk:DisplayName\"]");
        CComBSTR text;
        EXPECT_EQ(S_OK, capabilities.QueryNodeValue(displayName, &text));
        EXPECT_EQ(Utf8(std::u16string_view(u"\u5206\u9875\u590d\u5236(T)")), Utf8(text.m_str));
        CComPtr<IXMLDOMNode> collate;
        ASSERT_EQ(S_OK, capabilities.GetFeatureNodeIfExists(
                            CComBSTR(u"psk:"), CComBSTR(u"DocumentCollate"), &collate));
        EXPECT_EQ(S_OK, capabilities.ReplaceDisplayNamePropertyValue(
                            collate, CComBSTR(u"\u9010\u4efd\U0001F5A8")));
        text.Empty();
        EXPECT_EQ(S_OK, capabilities.QueryNodeValue(displayName, &text));
        EXPECT_EQ(Utf8(std::u16string_view(u"\u9010\u4efd\U0001F5A8")), Utf8(text.m_str));
        // A ticket is not capabilities.
        EXPECT_EQ(S_FALSE, RaisedBy([] {
                      PrintCapabilitiesXmlDocument wrong(
                          LoadTestFile("printschema/ticket-custom-media-size.xml"));
                  }));
    }
}

} // namespace
