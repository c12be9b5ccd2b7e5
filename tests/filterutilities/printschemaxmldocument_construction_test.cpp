// The Print Schema document's element construction and removal.
#include <filterutilities/printschemaxmldocument.h>

#include "printschematestsupport.h"

#include <cmath>
#include <limits>

using namespace printschematest;

namespace {

class TestDocument : public PrintSchemaXmlDocument {
public:
    explicit TestDocument(IXMLDOMDocument2* dom) : PrintSchemaXmlDocument(u"PrintTicket", dom) {}
    using PrintSchemaXmlDocument::AppendXMLAttribute;
    using PrintSchemaXmlDocument::CreateIntegerScoredProperty;
    using PrintSchemaXmlDocument::CreateProperty;
    using PrintSchemaXmlDocument::CreateRealScoredProperty;
    using PrintSchemaXmlDocument::CreateScoredProperty;
    using PrintSchemaXmlDocument::CreateStringScoredProperty;
    using PrintSchemaXmlDocument::CreateXMLElement;
    IXMLDOMElement* Root() {
        root.Release();
        GetRootNode()->QueryInterface(&root);
        return root;
    }
    CComPtr<IXMLDOMElement> root;
};

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string Uri(const char16_t* uri) {
    return Utf8(std::u16string_view(uri));
}

// The three kinds of document the shapes are written into.
struct ShapeDocument {
    const char* name;
    std::string source;
    const char* framework;
    const char* keywords;
    const char* userKeywords;
    bool declaresSchemaNamespaces;
};

std::vector<ShapeDocument> ShapeDocuments() {
    const std::string fw = Uri(PrintSchema::FrameworkNamespaceUri);
    const std::string kw = Uri(PrintSchema::KeywordsNamespaceUri);
    const std::string xsi = Uri(PrintSchema::XmlSchemaInstanceNamespaceUri);
    const std::string xsd = Uri(PrintSchema::XmlSchemaNamespaceUri);
    const std::string priv = Uri(PrintSchema::UserKeywordsNamespaceUri);
    return {
        {"psf and psk",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<psf:PrintTicket xmlns:psf=\"" + fw +
             "\" xmlns:psk=\"" + kw + "\" xmlns:xsi=\"" + xsi + "\" xmlns:xsd=\"" + xsd +
             "\" xmlns:pk=\"" + priv + "\" version=\"1\">\n</psf:PrintTicket>\n",
         "psf:", "psk:", "pk:", true},
        {"ns0000 and ns0001",
         "<ns0000:PrintTicket xmlns:ns0000=\"" + fw + "\" xmlns:ns0001=\"" + kw +
             "\" xmlns:xsi=\"" + xsi + "\" xmlns:xsd=\"" + xsd +
             "\" version=\"1\"></ns0000:PrintTicket>",
         "ns0000:", "ns0001:", "ns0000:", true},
        {"without the XML Schema declarations",
         "<psf:PrintTicket xmlns:psf=\"" + fw + "\" xmlns:psk=\"" + kw +
             "\" version=\"1\"></psf:PrintTicket>",
         "psf:", "psk:", "ns0000:", false},
    };
}

// {F}, {K} and {U} stand for the document's prefixes; {V:type} for a Value start tag of that
// type. Where the root declares no schema namespaces, the Value declares them itself.
std::string Expand(std::string fragment, const ShapeDocument& document) {
    for (size_t at; (at = fragment.find("{V:")) != std::string::npos;) {
        const size_t end = fragment.find('}', at);
        const std::string type = fragment.substr(at + 3, end - at - 3);
        std::string tag = "<{F}Value xsi:type=\"xsd:" + type + "\">";
        if (!document.declaresSchemaNamespaces) {
            tag = "<{F}Value xmlns:xsi=\"" + Uri(PrintSchema::XmlSchemaInstanceNamespaceUri) +
                  "\" xmlns:xsd=\"" + Uri(PrintSchema::XmlSchemaNamespaceUri) +
                  "\" xsi:type=\"xsd:" + type + "\">";
        }
        fragment.replace(at, end + 1 - at, tag);
    }
    fragment = Replace(fragment, "{F}", document.framework);
    fragment = Replace(fragment, "{K}", document.keywords);
    return Replace(fragment, "{U}", document.userKeywords);
}

struct ShapeCase {
    const char* name;
    std::function<void(TestDocument&)> append; // appends the shape to the root
    const char* expected;
    // Names something in the driver's namespace: the root then binds it as pk and {U} is pk:.
    bool declaresPrivate = false;
};

// The source with the driver's namespace declared as pk on the root (before its version).
std::string WithPkDeclared(const std::string& source) {
    const size_t at = source.find(" version=");
    return source.substr(0, at) + " xmlns:pk=\"" + Uri(PrintSchema::UserKeywordsNamespaceUri) +
           "\"" + source.substr(at);
}

class PrintSchemaConstruction : public DomTest {};

TEST_F(PrintSchemaConstruction, ShapesAreWrittenExactly) {
    auto appendCreated = [](TestDocument& d, IXMLDOMElement* element) {
        d.AppendChildToRootNode(element);
    };
    const ShapeCase cases[] = {
        {"property",
         [&](TestDocument& d) {
             CComPtr<IXMLDOMElement> e;
             d.CreateProperty(PrintSchema::KeywordsNs, CComBSTR(u"DisplayName"), &e);
             appendCreated(d, e);
         },
         "<{F}Property name=\"{K}DisplayName\"></{F}Property>"},
        {"integer property in the private namespace",
         [](TestDocument& d) {
             d.AppendChildIntegerProperty(d.Root(), PrintSchema::UserKeywordsNs,
                                          CComBSTR(u"JobTicketVersion"), 3);
         },
         "<{F}Property name=\"{U}JobTicketVersion\">{V:integer}3</{F}Value></{F}Property>", true},
        {"string property with an empty value",
         [](TestDocument& d) {
             d.AppendChildStringProperty(d.Root(), PrintSchema::FrameworkNs, CComBSTR(u"UnitType"),
                                         CComBSTR(u""));
         },
         "<{F}Property name=\"{F}UnitType\">{V:string}</{F}Value></{F}Property>"},
        {"typed property",
         [&](TestDocument& d) {
             CComPtr<IXMLDOMElement> e;
             d.CreateProperty(PrintSchema::KeywordsNs, CComBSTR(u"Scale"), CComBSTR(u"decimal"),
                              CComBSTR(u"1.5"), &e);
             appendCreated(d, e);
         },
         "<{F}Property name=\"{K}Scale\">{V:decimal}1.5</{F}Value></{F}Property>"},
        {"integer scored property",
         [&](TestDocument& d) {
             CComPtr<IXMLDOMElement> e;
             d.CreateIntegerScoredProperty(CComBSTR(u"MediaSizeWidth"), 215900, &e);
             appendCreated(d, e);
         },
         "<{F}ScoredProperty name=\"{K}MediaSizeWidth\">{V:integer}215900</{F}Value>"
         "</{F}ScoredProperty>"},
        {"negative integer",
         [](TestDocument& d) {
             d.AppendChildIntegerScoredProperty(d.Root(), CComBSTR(u"Offset"), -5);
         },
         "<{F}ScoredProperty name=\"{K}Offset\">{V:integer}-5</{F}Value></{F}ScoredProperty>"},
        {"real with two decimals",
         [&](TestDocument& d) {
             CComPtr<IXMLDOMElement> e;
             d.CreateRealScoredProperty(CComBSTR(u"Scale"), 8.5f, &e);
             appendCreated(d, e);
         },
         "<{F}ScoredProperty name=\"{K}Scale\">{V:decimal}8.50</{F}Value></{F}ScoredProperty>"},
        {"real rounded to two decimals",
         [&](TestDocument& d) {
             CComPtr<IXMLDOMElement> e;
             d.CreateRealScoredProperty(CComBSTR(u"Third"), 1.0f / 3, &e);
             appendCreated(d, e);
         },
         "<{F}ScoredProperty name=\"{K}Third\">{V:decimal}0.33</{F}Value></{F}ScoredProperty>"},
        {"string scored property, escaped when written",
         [&](TestDocument& d) {
             CComPtr<IXMLDOMElement> e;
             d.CreateStringScoredProperty(CComBSTR(u"Text"), CComBSTR(u"a<&>b"), &e);
             appendCreated(d, e);
         },
         "<{F}ScoredProperty name=\"{K}Text\">{V:string}a&lt;&amp;&gt;b</{F}Value>"
         "</{F}ScoredProperty>"},
        {"untyped scored property",
         [&](TestDocument& d) {
             CComPtr<IXMLDOMElement> e;
             d.CreateScoredProperty(CComBSTR(u"Plain"), &e);
             appendCreated(d, e);
         },
         "<{F}ScoredProperty name=\"{K}Plain\"></{F}ScoredProperty>"},
        {"scored property holding a node",
         [&](TestDocument& d) {
             CComPtr<IXMLDOMElement> reference;
             d.CreateParameterRef(d.GetKeywordsNsPrefix(), CComBSTR(u"JobCopiesAllDocuments"),
                                  &reference);
             CComPtr<IXMLDOMElement> e;
             d.CreateScoredProperty(CComBSTR(u"CopiesPerDocument"), reference, &e);
             appendCreated(d, e);
         },
         "<{F}ScoredProperty name=\"{K}CopiesPerDocument\">"
         "<{F}ParameterRef name=\"{K}JobCopiesAllDocuments\"></{F}ParameterRef>"
         "</{F}ScoredProperty>"},
        {"scored property by reference",
         [&](TestDocument& d) {
             CComPtr<IXMLDOMElement> e;
             d.CreateParameterRefScoredProperty(
                 d.GetKeywordsNsPrefix(), CComBSTR(u"CopiesPerDocument"), d.GetKeywordsNsPrefix(),
                 CComBSTR(u"JobCopiesAllDocuments"), &e);
             appendCreated(d, e);
         },
         "<{F}ScoredProperty name=\"{K}CopiesPerDocument\">"
         "<{F}ParameterRef name=\"{K}JobCopiesAllDocuments\"></{F}ParameterRef>"
         "</{F}ScoredProperty>"},
        {"appended scored property by reference, scored name without prefix",
         [](TestDocument& d) {
             d.DeclareUserKeywordsNamespace(); // the reference names a private parameter
             d.AppendChildParameterRefScoredProperty(d.Root(), nullptr, CComBSTR(u"Width"),
                                                     d.GetUserKeywordsNsPrefix(),
                                                     CComBSTR(u"Width"));
         },
         "<{F}ScoredProperty name=\"Width\"><{F}ParameterRef name=\"{U}Width\"></{F}ParameterRef>"
         "</{F}ScoredProperty>",
         true},
        {"QName scored property",
         [](TestDocument& d) {
             d.AppendChildQNameScoredProperty(d.Root(), CComBSTR(u"OptionName"),
                                              CComBSTR(u"Letter"));
         },
         "<{F}ScoredProperty name=\"{K}OptionName\">{V:QName}{K}Letter</{F}Value>"
         "</{F}ScoredProperty>"},
        {"appended element",
         [](TestDocument& d) {
             CComPtr<IXMLDOMElement> e;
             d.CreateXMLElement(CComBSTR(u"x:Extra"), CComBSTR(u"urn:extra"), &e);
             d.AppendXMLAttribute(e, CComBSTR(u"x:kind"), CComBSTR(u"urn:extra"), CComBSTR(u"1"));
             d.AppendChild(d.Root(), e);
         },
         "<x:Extra xmlns:x=\"urn:extra\" x:kind=\"1\"></x:Extra>"},
    };
    for (const ShapeDocument& shapeDocument : ShapeDocuments()) {
        for (const ShapeCase& c : cases) {
            SCOPED_TRACE(std::string(shapeDocument.name) + ": " + c.name);
            CComPtr<IXMLDOMDocument2> dom = LoadBytes(shapeDocument.source);
            TestDocument document(dom);
            c.append(document);
            const std::string written = StreamBytesOf(dom);
            ShapeDocument expectedDocument = shapeDocument;
            if (c.declaresPrivate && expectedDocument.userKeywords != std::string("pk:")) {
                expectedDocument.source = WithPkDeclared(expectedDocument.source);
                expectedDocument.userKeywords = "pk:";
            }
            const std::string expected =
                InsertBeforeRootEnd(expectedDocument.source, Expand(c.expected, expectedDocument));
            EXPECT_EQ(Canonical(expected), Canonical(written));
            XmlDoc parsed = ParseWithLibxml2(written);
            ASSERT_TRUE(parsed);
            EXPECT_EQ(std::vector<std::string>{}, RedundantDeclarations(parsed.get()));
        }
    }
}

TEST_F(PrintSchemaConstruction, CreatedElementsAreNotAttached) {
    const ShapeDocument shapeDocument = ShapeDocuments()[0];
    CComPtr<IXMLDOMDocument2> dom = LoadBytes(shapeDocument.source);
    TestDocument document(dom);
    const std::string before = StreamBytesOf(dom);
    CComPtr<IXMLDOMElement> property;
    document.CreateProperty(PrintSchema::KeywordsNs, CComBSTR(u"A"), CComBSTR(u"string"),
                            CComBSTR(u"x"), &property);
    CComPtr<IXMLDOMElement> reference;
    document.CreateParameterRef(CComBSTR(u"psk:"), CComBSTR(u"B"), &reference);
    CComPtr<IXMLDOMNode> parent;
    EXPECT_EQ(S_FALSE, property->get_parentNode(&parent));
    EXPECT_EQ(before, StreamBytesOf(dom));
}

TEST_F(PrintSchemaConstruction, BadArgumentsAreRaised) {
    CComPtr<IXMLDOMDocument2> dom = LoadBytes(ShapeDocuments()[0].source);
    TestDocument document(dom);
    const CComBSTR name(u"Name");
    const CComBSTR empty(u"");
    IXMLDOMElement* out = nullptr;
    const struct {
        const char* name;
        std::function<void()> operation;
        HRESULT expected;
    } cases[] = {
        {"property, null out",
         [&] { document.CreateProperty(PrintSchema::KeywordsNs, name, nullptr); }, E_POINTER},
        {"property, empty name",
         [&] { document.CreateProperty(PrintSchema::KeywordsNs, empty, &out); }, E_INVALIDARG},
        {"property, unknown namespace",
         [&] {
             document.CreateProperty(static_cast<PrintSchema::MsPrintTicketNamespacesEnum>(7), name,
                                     &out);
         },
         E_INVALIDARG},
        {"typed property, empty type",
         [&] { document.CreateProperty(PrintSchema::KeywordsNs, name, empty, name, &out); },
         E_INVALIDARG},
        {"scored property, empty name", [&] { document.CreateScoredProperty(empty, &out); },
         E_INVALIDARG},
        {"typed scored property, empty value",
         [&] { document.CreateScoredProperty(name, CComBSTR(u"string"), empty, &out); },
         E_INVALIDARG},
        {"scored property with a null child",
         [&] { document.CreateScoredProperty(name, static_cast<IXMLDOMNode*>(nullptr), &out); },
         E_POINTER},
        {"string scored property, empty value",
         [&] { document.CreateStringScoredProperty(name, empty, &out); }, E_INVALIDARG},
        {"integer scored property, null out",
         [&] { document.CreateIntegerScoredProperty(name, 1, nullptr); }, E_POINTER},
        {"real scored property, NaN",
         [&] { document.CreateRealScoredProperty(name, std::nanf(""), &out); }, E_INVALIDARG},
        {"real scored property, infinity",
         [&] {
             document.CreateRealScoredProperty(name, std::numeric_limits<float>::infinity(), &out);
         },
         E_INVALIDARG},
        {"parameter ref, empty prefix", [&] { document.CreateParameterRef(empty, name, &out); },
         E_INVALIDARG},
        {"parameter ref, null out",
         [&] { document.CreateParameterRef(CComBSTR(u"psk:"), name, nullptr); }, E_POINTER},
        {"scored property by reference, null out",
         [&] { document.CreateParameterRefScoredProperty(name, name, name, name, nullptr); },
         E_POINTER},
        {"scored property by reference, empty reference prefix",
         [&] { document.CreateParameterRefScoredProperty(name, name, empty, name, &out); },
         E_INVALIDARG},
        {"append to root, null child", [&] { document.AppendChildToRootNode(nullptr); }, E_POINTER},
        {"append, null parent", [&] { document.AppendChild(nullptr, document.Root()); }, E_POINTER},
        {"integer property, null parent",
         [&] { document.AppendChildIntegerProperty(nullptr, PrintSchema::KeywordsNs, name, 1); },
         E_INVALIDARG},
        {"string property, null parent",
         [&] { document.AppendChildStringProperty(nullptr, PrintSchema::KeywordsNs, name, name); },
         E_INVALIDARG},
        {"QName scored property, null parent",
         [&] { document.AppendChildQNameScoredProperty(nullptr, name, name); }, E_INVALIDARG},
        {"element, null name", [&] { document.CreateXMLElement(nullptr, name, &out); },
         E_INVALIDARG},
        {"element, not an XML name",
         [&] { document.CreateXMLElement(CComBSTR(u"a b"), CComBSTR(u"urn:x"), &out); }, E_FAIL},
        {"attribute, null value",
         [&] { document.AppendXMLAttribute(document.Root(), name, nullptr, nullptr); },
         E_INVALIDARG},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected, RaisedBy(c.operation));
        if (out) {
            out->Release();
            out = nullptr;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Removal

class PrintSchemaRemoval : public DomTest {
protected:
    // The name of every Feature of the document, in document order.
    static std::vector<std::string> FeatureNames(IXMLDOMDocument2* dom) {
        CComPtr<IXMLDOMNodeList> features;
        dom->selectNodes(CComBSTR(u"//psf:Feature/@name"), &features);
        std::vector<std::string> names;
        for (CComPtr<IXMLDOMNode> name; features->nextNode(&name) == S_OK; name.Release()) {
            CComBSTR text;
            name->get_text(&text);
            names.push_back(Utf8(text.m_str));
        }
        return names;
    }
    static std::string Ticket(const std::string& body, const std::string& extraDeclarations = "") {
        return "<psf:PrintTicket xmlns:psf=\"" + Uri(PrintSchema::FrameworkNamespaceUri) +
               "\" xmlns:psk=\"" + Uri(PrintSchema::KeywordsNamespaceUri) + "\"" +
               extraDeclarations + ">" + body + "</psf:PrintTicket>";
    }
};

TEST_F(PrintSchemaRemoval, DuplicateFeaturesGoOneAtATime) {
    CComPtr<IXMLDOMDocument2> dom = LoadBytes(Ticket(
        R"(<psf:Feature name="psk:Dup"><psf:Feature name="psk:Inner"/></psf:Feature>)"
        R"(<psf:Feature name="psk:Other"/><psf:Feature name="psk:Dup"/><psf:Feature name="psk:Dup"/>)"));
    TestDocument document(dom);
    const CComBSTR psk(u"psk:");
    const CComBSTR dup(u"Dup");
    EXPECT_EQ(S_OK, document.DeleteFeatureNodeIfADuplicateExists(psk, dup));
    EXPECT_EQ((std::vector<std::string>{"psk:Other", "psk:Dup", "psk:Dup"}), FeatureNames(dom));
    EXPECT_EQ(S_OK, document.DeleteFeatureNodeIfADuplicateExists(psk, dup));
    EXPECT_EQ((std::vector<std::string>{"psk:Other", "psk:Dup"}), FeatureNames(dom));
    EXPECT_EQ(S_OK, document.DeleteFeatureNodeIfADuplicateExists(psk, dup)); // one left: kept
    EXPECT_EQ((std::vector<std::string>{"psk:Other", "psk:Dup"}), FeatureNames(dom));

    EXPECT_EQ(S_OK, document.DeleteFeatureNodeIfExists(psk, dup));
    EXPECT_EQ(S_FALSE, document.DeleteFeatureNodeIfExists(psk, dup));
    EXPECT_EQ((std::vector<std::string>{"psk:Other"}), FeatureNames(dom));
}

TEST_F(PrintSchemaRemoval, PropertiesGoAtEveryDepth) {
    CComPtr<IXMLDOMDocument2> dom = LoadBytes(Ticket(
        R"(<psf:Property name="psk:X"><psf:Property name="psk:X"/></psf:Property>)"
        R"(<psf:Feature name="psk:F"><psf:Property name="psk:X"/><psf:Property name="psk:Y"/>)"
        R"(<psf:Option><psf:Property name="psk:X"/></psf:Option></psf:Feature>)"));
    TestDocument document(dom);
    EXPECT_EQ(S_OK, document.DeletePropertyNodesIfExist(CComBSTR(u"psk:"), CComBSTR(u"X")));
    EXPECT_EQ(PrintSchema::E_ELEMENT_NOT_FOUND,
              document.QueryNode(CComBSTR(u"//psf:Property[@name = \"psk:X\"]")));
    EXPECT_EQ(S_OK, document.QueryNode(CComBSTR(u"//psf:Property[@name = \"psk:Y\"]")));
    EXPECT_EQ(S_OK, document.DeletePropertyNodesIfExist(CComBSTR(u"psk:"), CComBSTR(u"X")));
    EXPECT_EQ(E_FAIL, RaisedBy([&] {
                  document.DeletePropertyNodesIfExist(CComBSTR(u"psk:"), CComBSTR(u""));
              }));
}

TEST_F(PrintSchemaRemoval, PrivateFeaturesGoAndKeywordFeaturesStay) {
    // Declared as ns0002 and renamed to pk when the document is built.
    CComPtr<IXMLDOMDocument2> dom = LoadBytes(Ticket(
        R"(<psf:Feature name="ns0002:Staple"><psf:Feature name="psk:InsidePrivate"/></psf:Feature>)"
        R"(<psf:Feature name="psk:PageMediaSize"><psf:Feature name="ns0002:Sub"/></psf:Feature>)"
        R"(<psf:Feature name="ns0002:Punch"/><psf:Feature/><psf:Feature name="psk:JobDuplex"/>)",
        " xmlns:ns0002=\"" + Uri(PrintSchema::UserKeywordsNamespaceUri) + "\""));
    TestDocument document(dom);
    EXPECT_EQ(S_FALSE,
              document.DeletePrivateFeatures(CComBSTR(PrintSchema::UserKeywordsNamespaceUri)));
    EXPECT_EQ((std::vector<std::string>{"psk:PageMediaSize", "psk:JobDuplex"}), FeatureNames(dom));

    // A namespace the root does not declare names no feature.
    EXPECT_EQ(S_FALSE, document.DeletePrivateFeatures(CComBSTR(u"urn:undeclared")));
    EXPECT_EQ((std::vector<std::string>{"psk:PageMediaSize", "psk:JobDuplex"}), FeatureNames(dom));
    EXPECT_EQ(E_INVALIDARG, RaisedBy([&] { document.DeletePrivateFeatures(CComBSTR(u"")); }));
}

TEST_F(PrintSchemaRemoval, DeleteNodeNeedsAParent) {
    CComPtr<IXMLDOMDocument2> dom = LoadBytes(Ticket(R"(<psf:Feature name="psk:A"/>)"));
    TestDocument document(dom);
    CComPtr<IXMLDOMNode> feature;
    ASSERT_EQ(S_OK, document.GetFeatureNodeIfExists(CComBSTR(u"psk:"), CComBSTR(u"A"), &feature));
    EXPECT_EQ(S_OK, document.DeleteNode(feature));
    EXPECT_EQ(S_FALSE, document.DeleteNode(feature));
    EXPECT_EQ(E_POINTER, RaisedBy([&] { document.DeleteNode(nullptr); }));
}

} // namespace
