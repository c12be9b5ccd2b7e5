// The driver's private keywords namespace in tickets that do not declare it, declare it with
// another prefix, or use "ns0000" for something else: private names must land in the driver's
// namespace, and renaming the prefix to "pk" must not change what any name means.
//
// What a name means is read independently with libxml2: the namespace its prefix is bound to
// where the name stands, and its local part.
#include <filterutilities/printticketxmldocument.h>

#include "printschematestsupport.h"

#include <algorithm>
#include <cctype>

using namespace printschematest;

namespace {

std::string Uri(const char16_t* uri) {
    return Utf8(std::u16string_view(uri));
}

const std::string kPrivate = Uri(PrintSchema::UserKeywordsNamespaceUri);

std::string Text(const xmlChar* text) {
    return text ? reinterpret_cast<const char*>(text) : "";
}

// "{namespace}local" for a QName standing at node; "{unbound}local" when its prefix is not
// declared there.
std::string MeaningAt(xmlDoc* doc, xmlNode* node, const std::string& qname) {
    const size_t colon = qname.find(':');
    const std::string prefix = qname.substr(0, colon);
    xmlNs* ns = xmlSearchNs(doc, node, reinterpret_cast<const xmlChar*>(prefix.c_str()));
    return "{" + (ns ? Text(ns->href) : std::string("unbound")) + "}" + qname.substr(colon + 1);
}

// The element's xsi:type as "{namespace}local", or "" when it has none.
std::string TypeOf(xmlDoc* doc, xmlNode* element) {
    const std::string xsi = Uri(PrintSchema::XmlSchemaInstanceNamespaceUri);
    for (xmlAttr* attribute = element->properties; attribute; attribute = attribute->next) {
        if (attribute->ns && Text(attribute->ns->href) == xsi && Text(attribute->name) == "type") {
            xmlChar* value = xmlNodeListGetString(doc, attribute->children, 1);
            const std::string type = Text(value);
            xmlFree(value);
            return type.find(':') == std::string::npos ? "{}" + type
                                                       : MeaningAt(doc, element, type);
        }
    }
    return "";
}

// The text without surrounding white space when it reads as a QName ("prefix:local"), else "".
std::string AsQName(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    const size_t last = text.find_last_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return "";
    }
    const std::string trimmed = text.substr(first, last + 1 - first);
    const size_t colon = trimmed.find(':');
    if (colon == 0 || colon == std::string::npos || colon + 1 == trimmed.size() ||
        trimmed.find_first_of(": \t\r\n", colon + 1) != std::string::npos ||
        trimmed.find_first_of(" \t\r\n") < colon ||
        std::isdigit(static_cast<unsigned char>(trimmed[0])) || trimmed[0] == '.' ||
        trimmed[0] == '-') {
        return "";
    }
    return trimmed;
}

// What every name in the document means, in document order: each element's own name, every
// attribute value and every value text that reads as a QName (a value typed as something other
// than xsd:QName is data, not a name, and is left out).
void CollectMeanings(xmlDoc* doc, xmlNode* element, std::vector<std::string>& meanings) {
    const std::string qnameType = "{" + Uri(PrintSchema::XmlSchemaNamespaceUri) + "}QName";
    const std::string where = Text(element->name);
    meanings.push_back(where + " is {" + (element->ns ? Text(element->ns->href) : "") + "}" +
                       where);
    for (xmlAttr* attribute = element->properties; attribute; attribute = attribute->next) {
        xmlChar* value = xmlNodeListGetString(doc, attribute->children, 1);
        const std::string qname = AsQName(Text(value));
        xmlFree(value);
        if (!qname.empty()) {
            meanings.push_back(where + "/@" + Text(attribute->name) + " = " +
                               MeaningAt(doc, element, qname));
        }
    }
    const std::string type = TypeOf(doc, element);
    std::string text;
    for (xmlNode* child = element->children; child; child = child->next) {
        if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) {
            text += Text(child->content);
        } else if (child->type == XML_ELEMENT_NODE) {
            CollectMeanings(doc, child, meanings);
        }
    }
    if ((type.empty() || type == qnameType) && !AsQName(text).empty()) {
        meanings.push_back(where + " text = " + MeaningAt(doc, element, AsQName(text)));
    }
}

std::vector<std::string> Meanings(const std::string& xml) {
    XmlDoc doc = ParseWithLibxml2(xml);
    if (!doc) {
        throw std::runtime_error("not well-formed: " + xml);
    }
    std::vector<std::string> meanings;
    CollectMeanings(doc.get(), xmlDocGetRootElement(doc.get()), meanings);
    return meanings;
}

// Every name attribute value, in document order.
void CollectNames(xmlNode* element, std::vector<std::string>& names) {
    for (xmlAttr* attribute = element->properties; attribute; attribute = attribute->next) {
        if (!attribute->ns && Text(attribute->name) == "name") {
            names.push_back(Text(attribute->children ? attribute->children->content : nullptr));
        }
    }
    for (xmlNode* child = element->children; child; child = child->next) {
        if (child->type == XML_ELEMENT_NODE) {
            CollectNames(child, names);
        }
    }
}

std::string Names(const std::string& xml) {
    XmlDoc doc = ParseWithLibxml2(xml);
    std::vector<std::string> names;
    CollectNames(xmlDocGetRootElement(doc.get()), names);
    std::string joined;
    for (const std::string& name : names) {
        joined += (joined.empty() ? "" : " ") + name;
    }
    return joined;
}

// The prefixes the root element binds to the driver's namespace, in declaration order.
std::string RootPrivatePrefixes(const std::string& xml) {
    XmlDoc doc = ParseWithLibxml2(xml);
    std::string prefixes;
    for (xmlNs* ns = xmlDocGetRootElement(doc.get())->nsDef; ns; ns = ns->next) {
        if (Text(ns->href) == kPrivate) {
            prefixes += (prefixes.empty() ? "" : " ") + Text(ns->prefix);
        }
    }
    return prefixes;
}

std::string XmlText(IXMLDOMDocument2* dom) {
    CComBSTR xml;
    if (FAILED(dom->get_xml(&xml))) {
        throw std::runtime_error("get_xml failed");
    }
    return Utf8(xml.m_str);
}

// ---------------------------------------------------------------------------------------------
// Renaming the private prefix

class PrivatePrefixRenaming : public DomTest {};

TEST_F(PrivatePrefixRenaming, OnlyNamesInThePrivateNamespaceAreRenamedAndNothingChangesMeaning) {
    const struct {
        const char* name;
        const char* xml;
        const char* names;       // every name value after construction
        const char* rootPrivate; // the prefixes the root binds to the driver's namespace after
    } cases[] = {
        {"a child binds the old prefix to another namespace",
         R"(<psf:PrintTicket xmlns:psf="$FW" xmlns:ns0002="$PRIV"><psf:Feature name="ns0002:A"/>)"
         R"(<psf:Feature xmlns:ns0002="urn:other" name="ns0002:B"><psf:Option name="ns0002:C"/>)"
         R"(</psf:Feature></psf:PrintTicket>)",
         "pk:A ns0002:B ns0002:C", "pk"},
        {"a child declares the private namespace again",
         R"(<psf:PrintTicket xmlns:psf="$FW" xmlns:ns0002="$PRIV"><psf:Feature xmlns:ns0002="$PRIV")"
         R"( name="ns0002:A"><psf:Option name="ns0002:B"/></psf:Feature></psf:PrintTicket>)",
         "pk:A pk:B", "pk"},
        {"as the PrintTicket provider writes it, with a QName value",
         R"(<ns0000:PrintTicket xmlns:ns0000="$FW" xmlns:ns0001="$KW" xmlns:xsi="$XSI")"
         R"( xmlns:xsd="$XSD" xmlns:ns0002="$PRIV" version="1">)"
         R"(<ns0000:Feature name="ns0002:JobStaple"><ns0000:Option name="ns0002:TopLeft"/></ns0000:Feature>)"
         R"(<ns0000:Feature name="ns0001:PageMediaType"><ns0000:ScoredProperty name="ns0001:OptionName">)"
         R"(<ns0000:Value xsi:type="xsd:QName"> ns0002:Glossy </ns0000:Value></ns0000:ScoredProperty>)"
         R"(<ns0000:Option/></ns0000:Feature>)"
         R"(<ns0000:ParameterInit name="ns0002:Pin"><ns0000:Value xsi:type="xsd:string">ns0002:1234</ns0000:Value>)"
         R"(</ns0000:ParameterInit></ns0000:PrintTicket>)",
         "pk:JobStaple pk:TopLeft ns0001:PageMediaType ns0001:OptionName pk:Pin", "pk"},
        {"a QName type under other prefixes",
         R"(<psf:PrintTicket xmlns:psf="$FW" xmlns:i="$XSI" xmlns:s="$XSD" xmlns:ns0002="$PRIV">)"
         R"(<psf:Property name="ns0002:Kind"><psf:Value i:type="s:QName">ns0002:Fine</psf:Value>)"
         R"(</psf:Property></psf:PrintTicket>)",
         "pk:Kind", "pk"},
        {"an untyped value that may be a QName keeps the old declaration",
         R"(<psf:PrintTicket xmlns:psf="$FW" xmlns:ns0002="$PRIV"><psf:Property name="ns0002:Kind">)"
         R"(<psf:Value>ns0002:Maybe</psf:Value></psf:Property></psf:PrintTicket>)",
         "pk:Kind", "ns0002 pk"},
        {"another attribute holding a private QName keeps the old declaration",
         R"(<psf:PrintTicket xmlns:psf="$FW" xmlns:ns0002="$PRIV"><psf:Feature name="ns0002:F">)"
         R"(<psf:Option name="ns0002:O" constrained="ns0002:None"/></psf:Feature></psf:PrintTicket>)",
         "pk:F pk:O", "ns0002 pk"},
        {"pk bound to another namespace below the root",
         R"(<psf:PrintTicket xmlns:psf="$FW" xmlns:ns0002="$PRIV"><psf:Feature name="ns0002:Ours"/>)"
         R"(<psf:Feature xmlns:pk="urn:theirs" name="pk:Theirs"><psf:Option name="ns0002:Mine"/>)"
         R"(</psf:Feature></psf:PrintTicket>)",
         "pk:Ours pk:Theirs ns0002:Mine", "ns0002 pk"},
        {"declared twice, the old prefix first",
         R"(<psf:PrintTicket xmlns:psf="$FW" xmlns:ns0002="$PRIV" xmlns:pk="$PRIV">)"
         R"(<psf:Feature name="ns0002:A"/><psf:Feature name="pk:B"/></psf:PrintTicket>)",
         "pk:A pk:B", "pk"},
        {"a prefix with dots, dashes and letters beyond ASCII, and a QName in CDATA",
         R"(<psf:PrintTicket xmlns:psf="$FW" xmlns:xsi="$XSI" xmlns:xsd="$XSD" xmlns:é.p-2="$PRIV">)"
         R"(<psf:Property name="é.p-2:Kind"><psf:Value xsi:type="xsd:QName"><![CDATA[é.p-2:Fine]]>)"
         R"(</psf:Value></psf:Property></psf:PrintTicket>)",
         "pk:Kind", "pk"},
        {"a name that only starts like the prefix",
         R"(<psf:PrintTicket xmlns:psf="$FW" xmlns:ns0002="$PRIV"><psf:Feature name="ns00023:A"/>)"
         R"(<psf:Feature name="ns0002:B"/></psf:PrintTicket>)",
         "ns00023:A pk:B", "pk"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string source = WithNamespaces(c.xml);
        CComPtr<IXMLDOMDocument2> dom = LoadBytes(source);
        PrintTicketXmlDocument ticket(dom);
        EXPECT_EQ("pk:", Utf8(ticket.GetUserKeywordsNsPrefix().m_str));
        const std::string written = XmlText(dom);
        EXPECT_EQ(Meanings(source), Meanings(written)) << written;
        EXPECT_EQ(c.names, Names(written));
        EXPECT_EQ(c.rootPrivate, RootPrivatePrefixes(written));
        // A second object over the renamed DOM finds nothing left to do.
        PrintTicketXmlDocument again(dom);
        EXPECT_EQ(written, XmlText(dom));
    }
}

TEST_F(PrivatePrefixRenaming, ReadingAgreesWithTheRenamedNames) {
    CComPtr<IXMLDOMDocument2> dom = LoadBytes(WithNamespaces(
        R"(<ns0000:PrintTicket xmlns:ns0000="$FW" xmlns:ns0001="$KW" xmlns:xsi="$XSI")"
        R"( xmlns:xsd="$XSD" xmlns:ns0002="$PRIV">)"
        R"(<ns0000:Feature name="ns0001:PageMediaType"><ns0000:ScoredProperty name="ns0001:OptionName">)"
        R"(<ns0000:Value xsi:type="xsd:QName">ns0002:Glossy</ns0000:Value></ns0000:ScoredProperty>)"
        R"(<ns0000:Option/></ns0000:Feature>)"
        R"(<ns0000:Feature name="ns0001:JobStaple"><ns0000:Option name="ns0002:TopLeft"/></ns0000:Feature>)"
        R"(</ns0000:PrintTicket>)"));
    PrintTicketXmlDocument ticket(dom);
    // An option given by its OptionName value and one given by its name carry the same prefix.
    for (const char16_t* feature : {u"PageMediaType", u"JobStaple"}) {
        SCOPED_TRACE(Utf8(std::u16string_view(feature)));
        CComBSTR option;
        CComBSTR prefix;
        EXPECT_EQ(S_OK, ticket.GetFeatureOption(CComBSTR(feature), &option, &prefix));
        EXPECT_EQ("pk:", Utf8(prefix.m_str));
    }
}

TEST_F(PrivatePrefixRenaming, PrivateFeaturesGoWhicheverPrefixTheRootKept) {
    // pk means another namespace inside the second feature, so its option keeps ns0002 and the
    // root keeps declaring ns0002 beside pk.
    CComPtr<IXMLDOMDocument2> dom = LoadBytes(
        WithNamespaces(R"(<psf:PrintTicket xmlns:psf="$FW" xmlns:psk="$KW" xmlns:ns0002="$PRIV">)"
                       R"(<psf:Feature name="ns0002:Ours"/><psf:Feature name="psk:Keep">)"
                       R"(<psf:Feature xmlns:pk="urn:theirs" name="ns0002:Nested"/></psf:Feature>)"
                       R"(</psf:PrintTicket>)"));
    PrintTicketXmlDocument ticket(dom);
    ASSERT_EQ("ns0002 pk", RootPrivatePrefixes(XmlText(dom)));
    EXPECT_EQ(S_FALSE,
              ticket.DeletePrivateFeatures(CComBSTR(PrintSchema::UserKeywordsNamespaceUri)));
    EXPECT_EQ("psk:Keep", Names(XmlText(dom)));
}

// ---------------------------------------------------------------------------------------------
// Private names in tickets that do not declare the private namespace

struct TicketStyle {
    const char* name;
    const char* xml;
};

// "ns0000" is the framework in tickets the PrintTicket provider writes, another vendor's
// namespace in others, and nothing at all in the rest.
const TicketStyle kStyles[] = {
    {"PrintTicket provider (ns0000 is the framework)",
     R"(<ns0000:PrintTicket xmlns:ns0000="$FW" xmlns:ns0001="$KW" xmlns:xsi="$XSI" xmlns:xsd="$XSD")"
     R"( version="1"><ns0000:Feature name="ns0001:JobDuplexAllDocumentsContiguously">)"
     R"(<ns0000:Option name="ns0001:OneSided"/></ns0000:Feature></ns0000:PrintTicket>)"},
    {"another vendor's ns0000",
     R"(<psf:PrintTicket xmlns:psf="$FW" xmlns:psk="$KW" xmlns:ns0000="urn:vendor" version="1">)"
     R"(<psf:Feature name="ns0000:VendorFinish"><psf:Option name="ns0000:Matte"/></psf:Feature>)"
     R"(</psf:PrintTicket>)"},
    {"no ns0000 at all", R"(<psf:PrintTicket xmlns:psf="$FW" xmlns:psk="$KW" version="1"/>)"},
    {"private namespace declared as pk",
     R"(<psf:PrintTicket xmlns:psf="$FW" xmlns:psk="$KW" xmlns:pk="$PRIV" version="1"/>)"},
};

// Appends something named "Marker" in the driver's namespace.
struct PrivateEdit {
    const char* name;
    std::function<void(PrintTicketXmlDocument&)> edit;
};

IXMLDOMElement* RootElement(PrintTicketXmlDocument& ticket, CComPtr<IXMLDOMElement>& holder) {
    ticket.GetRootNode()->QueryInterface(&holder);
    return holder;
}

const PrivateEdit kPrivateEdits[] = {
    {"private feature",
     [](PrintTicketXmlDocument& t) {
         CComPtr<IXMLDOMElement> feature, option;
         t.CreateFeatureOptionPair(false, CComBSTR(u"Marker"), &feature, &option);
         t.AppendChildToRootNode(feature);
     }},
    {"private option of a keyword feature",
     [](PrintTicketXmlDocument& t) {
         CComPtr<IXMLDOMElement> feature, option;
         t.CreateFeatureOptionPair(true, CComBSTR(u"JobStaple"), false, CComBSTR(u"Marker"),
                                   &feature, &option);
         t.AppendChildToRootNode(feature);
     }},
    {"private property",
     [](PrintTicketXmlDocument& t) {
         CComPtr<IXMLDOMElement> property;
         t.CreateProperty(PrintSchema::UserKeywordsNs, CComBSTR(u"Marker"), &property);
         t.AppendChildToRootNode(property);
     }},
    {"private integer property",
     [](PrintTicketXmlDocument& t) {
         CComPtr<IXMLDOMElement> root;
         t.AppendChildIntegerProperty(RootElement(t, root), PrintSchema::UserKeywordsNs,
                                      CComBSTR(u"Marker"), 3);
     }},
    {"private string property",
     [](PrintTicketXmlDocument& t) {
         CComPtr<IXMLDOMElement> root;
         t.AppendChildStringProperty(RootElement(t, root), PrintSchema::UserKeywordsNs,
                                     CComBSTR(u"Marker"), CComBSTR(u"v"));
     }},
    {"parameter named with the user keywords prefix after declaring it",
     [](PrintTicketXmlDocument& t) {
         t.DeclareUserKeywordsNamespace();
         t.AppendStringParameterInit(t.GetUserKeywordsNsPrefix(), CComBSTR(u"Marker"),
                                     CComBSTR(u"v"));
     }},
};

class PrivateNames : public DomTest {};

TEST_F(PrivateNames, LandInTheDriversNamespaceWhateverNs0000Means) {
    for (const TicketStyle& style : kStyles) {
        for (const PrivateEdit& edit : kPrivateEdits) {
            SCOPED_TRACE(std::string(style.name) + ": " + edit.name);
            const std::string source = WithNamespaces(style.xml);
            CComPtr<IXMLDOMDocument2> dom = LoadBytes(source);
            PrintTicketXmlDocument ticket(dom);
            edit.edit(ticket);
            EXPECT_EQ("pk:", Utf8(ticket.GetUserKeywordsNsPrefix().m_str));

            const std::string written = XmlText(dom);
            const std::vector<std::string> meanings = Meanings(written);
            const std::string marker = "{" + kPrivate + "}Marker";
            EXPECT_EQ(1, std::count_if(
                             meanings.begin(), meanings.end(),
                             [&](const std::string& meaning) { return meaning.ends_with(marker); }))
                << written;
            EXPECT_EQ("pk", RootPrivatePrefixes(written));
            // The edits append at the end of the root: everything the ticket named before
            // comes first and means what it meant.
            const std::vector<std::string> original = Meanings(source);
            ASSERT_LE(original.size(), meanings.size());
            EXPECT_EQ(original,
                      std::vector<std::string>(meanings.begin(),
                                               meanings.begin() +
                                                   static_cast<std::ptrdiff_t>(original.size())));
        }
    }
}

TEST_F(PrivateNames, PkTakenByAnotherNamespaceIsRefusedAndNothingChanges) {
    const std::string source = WithNamespaces(
        R"(<psf:PrintTicket xmlns:psf="$FW" xmlns:psk="$KW" xmlns:pk="urn:theirs"/>)");
    for (const PrivateEdit& edit : kPrivateEdits) {
        SCOPED_TRACE(edit.name);
        CComPtr<IXMLDOMDocument2> dom = LoadBytes(source);
        PrintTicketXmlDocument ticket(dom);
        const std::string before = XmlText(dom);
        EXPECT_EQ(E_FAIL, RaisedBy([&] { edit.edit(ticket); }));
        EXPECT_EQ(before, XmlText(dom));
        EXPECT_EQ("ns0000:", Utf8(ticket.GetUserKeywordsNsPrefix().m_str));
    }
    // Keyword names need no private declaration and still work.
    CComPtr<IXMLDOMDocument2> dom = LoadBytes(source);
    PrintTicketXmlDocument ticket(dom);
    CComPtr<IXMLDOMElement> feature, option;
    EXPECT_EQ(S_OK, ticket.CreateFeatureOptionPair(true, CComBSTR(u"JobStaple"), true,
                                                   CComBSTR(u"None"), &feature, &option));
}

TEST_F(PrivateNames, AnEditThatFailsTakesItsDeclarationBack) {
    const std::string source = WithNamespaces(kStyles[0].xml);
    CComPtr<IXMLDOMDocument2> dom = LoadBytes(source);
    PrintTicketXmlDocument ticket(dom);
    const std::string before = XmlText(dom);
    CComPtr<IXMLDOMElement> root;
    // A value XML cannot carry fails after the namespace was declared for the name.
    EXPECT_EQ(E_INVALIDARG, RaisedBy([&] {
                  ticket.AppendChildStringProperty(RootElement(ticket, root),
                                                   PrintSchema::UserKeywordsNs, CComBSTR(u"Marker"),
                                                   CComBSTR(u"bad\x01"));
              }));
    EXPECT_EQ(before, XmlText(dom));
    EXPECT_EQ("ns0000:", Utf8(ticket.GetUserKeywordsNsPrefix().m_str));
}

TEST_F(PrivateNames, ObjectsSharingADomDeclareTheNamespaceOnce) {
    CComPtr<IXMLDOMDocument2> dom = LoadBytes(WithNamespaces(kStyles[1].xml));
    PrintTicketXmlDocument first(dom);
    PrintTicketXmlDocument second(dom); // made while the namespace was not declared
    EXPECT_EQ(S_OK, first.DeclareUserKeywordsNamespace());
    EXPECT_EQ(S_FALSE, first.DeclareUserKeywordsNamespace());
    CComPtr<IXMLDOMElement> feature, option;
    second.CreateFeatureOptionPair(false, CComBSTR(u"Marker"), &feature, &option);
    second.AppendChildToRootNode(feature);
    EXPECT_EQ("pk:", Utf8(second.GetUserKeywordsNsPrefix().m_str));
    EXPECT_EQ("pk", RootPrivatePrefixes(XmlText(dom)));
    CComPtr<IXMLDOMNode> found;
    EXPECT_EQ(S_OK, first.GetFeatureNodeIfExists(first.GetUserKeywordsNsPrefix(),
                                                 CComBSTR(u"Marker"), &found));
}

} // namespace
