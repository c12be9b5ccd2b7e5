// Building and changing documents: createNode and the declarations the serialiser writes,
// attribute maps with declarations, removal and reinsertion, text values, the XML declaration.
#include "domtest.h"

#include "comtest.h"

#include <string>

using namespace domtest;

namespace {

const char kF[] = "urn:f";
const char kTicket[] = "<psf:PrintTicket xmlns:psf='urn:f' xmlns:psk='urn:k' "
                       "xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance' "
                       "xmlns:xsd='http://www.w3.org/2001/XMLSchema' version='1'/>";
const char kXsi[] = "http://www.w3.org/2001/XMLSchema-instance";

class DomBuild : public DomTest {
protected:
    static HRESULT Append(IXMLDOMNode* parent, IXMLDOMNode* child) {
        return parent->appendChild(child, nullptr);
    }
    static HRESULT SetAttribute(IXMLDOMDocument* doc, IXMLDOMNode* element, const std::string& name,
                                const std::string& uri, const std::string& value) {
        CComPtr<IXMLDOMNode> node = CreateNode(doc, NODE_ATTRIBUTE, name, uri);
        CComPtr<IXMLDOMAttribute> attribute;
        CComPtr<IXMLDOMElement> target;
        EXPECT_EQ(S_OK, node.QueryInterface(&attribute));
        EXPECT_EQ(S_OK,
                  element->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(&target)));
        CComBSTR text = Bstr(value);
        EXPECT_EQ(S_OK, attribute->put_value(Text(text)));
        return target->setAttributeNode(attribute, nullptr);
    }
    static CComPtr<IXMLDOMElement> Root(IXMLDOMDocument* doc) {
        CComPtr<IXMLDOMElement> root;
        EXPECT_EQ(S_OK, doc->get_documentElement(&root));
        return root;
    }
};

TEST_F(DomBuild, DeclarationsAreWrittenWhereNeededAndNeverRepeated) {
    CComPtr<IXMLDOMDocument2> doc = NewDocument();
    CComPtr<IXMLDOMNode> a = CreateNode(doc, NODE_ELEMENT, "p:a", "urn:u");
    EXPECT_EQ("<p:a xmlns:p=\"urn:u\"/>", Xml(a));
    ASSERT_EQ(S_OK, Append(doc, a));

    // Built apart, each node declares what it uses; inserted, the declarations its new
    // ancestors make are no longer written.
    CComPtr<IXMLDOMNode> b = CreateNode(doc, NODE_ELEMENT, "p:b", "urn:u");
    CComPtr<IXMLDOMNode> c = CreateNode(doc, NODE_ELEMENT, "c", "urn:d");
    CComPtr<IXMLDOMNode> d = CreateNode(doc, NODE_ELEMENT, "d", "");
    CComPtr<IXMLDOMNode> e = CreateNode(doc, NODE_ELEMENT, "p:e", "urn:other");
    ASSERT_EQ(S_OK, Append(c, d));
    EXPECT_EQ("<c xmlns=\"urn:d\"><d xmlns=\"\"/></c>", Xml(c));
    ASSERT_EQ(S_OK, SetAttribute(doc, b, "q:x", "urn:q", "1"));
    EXPECT_EQ("<p:b xmlns:p=\"urn:u\" xmlns:q=\"urn:q\" q:x=\"1\"/>", Xml(b));
    ASSERT_EQ(S_OK, Append(a, b));
    EXPECT_EQ("<p:b xmlns:q=\"urn:q\" q:x=\"1\"/>", Xml(b));
    ASSERT_EQ(S_OK, Append(b, c));
    ASSERT_EQ(S_OK, Append(a, e));
    EXPECT_EQ("<p:a xmlns:p=\"urn:u\"><p:b xmlns:q=\"urn:q\" q:x=\"1\">"
              "<c xmlns=\"urn:d\"><d xmlns=\"\"/></c></p:b>"
              "<p:e xmlns:p=\"urn:other\"/></p:a>\r\n",
              Xml(doc));

    // Moved out again, a node declares for itself once more.
    ASSERT_EQ(S_OK, a->removeChild(b, nullptr));
    EXPECT_EQ("<p:b xmlns:p=\"urn:u\" xmlns:q=\"urn:q\" q:x=\"1\">"
              "<c xmlns=\"urn:d\"><d xmlns=\"\"/></c></p:b>",
              Xml(b));
}

TEST_F(DomBuild, EveryInsertionRechecksDeclarations) {
    CComPtr<IXMLDOMDocument2> doc = Parse(kTicket);
    ASSERT_TRUE(doc);
    CComPtr<IXMLDOMElement> root = Root(doc);
    auto make = [&]() { return CreateNode(doc, NODE_ELEMENT, "psf:Feature", kF); };
    const char kBare[] = "<psf:Feature/>";

    CComPtr<IXMLDOMNode> appended = make();
    ASSERT_EQ(S_OK, root->appendChild(appended, nullptr));
    EXPECT_EQ(kBare, Xml(appended));

    CComPtr<IXMLDOMNode> inserted = make();
    ASSERT_EQ(S_OK, root->insertBefore(inserted, Unknown(appended), nullptr));
    EXPECT_EQ(kBare, Xml(inserted));

    CComPtr<IXMLDOMNode> replacing = make();
    ASSERT_EQ(S_OK, root->replaceChild(replacing, appended, nullptr));
    EXPECT_EQ(kBare, Xml(replacing));

    CComPtr<IXMLDOMNode> typed = make();
    ASSERT_EQ(S_OK, SetAttribute(doc, typed, "xsi:type", kXsi, "xsd:integer"));
    ASSERT_EQ(S_OK, root->appendChild(typed, nullptr));
    EXPECT_EQ("<psf:Feature xsi:type=\"xsd:integer\"/>", Xml(typed));
}

TEST_F(DomBuild, PrintSchemaElementsBuiltIntoATicket) {
    CComPtr<IXMLDOMDocument2> doc = Parse(kTicket);
    ASSERT_TRUE(doc);
    CComPtr<IXMLDOMNode> scored = CreateNode(doc, NODE_ELEMENT, "psf:ScoredProperty", kF);
    ASSERT_EQ(S_OK, SetAttribute(doc, scored, "name", "", "psk:MediaSizeWidth"));
    CComPtr<IXMLDOMNode> value = CreateNode(doc, NODE_ELEMENT, "psf:Value", kF);
    ASSERT_EQ(S_OK, SetAttribute(doc, value, "xsi:type", kXsi, "xsd:integer"));
    ASSERT_EQ(S_OK, value->put_text(CComBSTR(u"215900")));
    ASSERT_EQ(S_OK, Append(scored, value));
    ASSERT_EQ(S_OK, Append(Root(doc), scored));
    EXPECT_EQ("<psf:ScoredProperty name=\"psk:MediaSizeWidth\"><psf:Value "
              "xsi:type=\"xsd:integer\">215900</psf:Value></psf:ScoredProperty>",
              Xml(scored));
}

TEST_F(DomBuild, CreateNodeChecksNamesAndNamespaces) {
    CComPtr<IXMLDOMDocument2> doc = NewDocument();
    const struct {
        DOMNodeType type;
        const char* name;
        const char* uri;
        HRESULT expected;
        const char* written; // by the node on its own
    } cases[] = {
        {NODE_ELEMENT, "p:a", "urn:u", S_OK, "<p:a xmlns:p=\"urn:u\"/>"},
        {NODE_ELEMENT, "a", "urn:u", S_OK, "<a xmlns=\"urn:u\"/>"},
        {NODE_ELEMENT, "a", "", S_OK, "<a/>"},
        {NODE_ELEMENT, "p:a", "", E_FAIL, ""},
        {NODE_ELEMENT, "1a", "", E_FAIL, ""},
        {NODE_ELEMENT, "p:", "urn:u", E_FAIL, ""},
        {NODE_ELEMENT, "xmlns:a", "urn:u", E_FAIL, ""},
        {NODE_ATTRIBUTE, "p:a", "urn:u", S_OK, "p:a=\"\""},
        {NODE_ATTRIBUTE, "a", "", S_OK, "a=\"\""},
        {NODE_ATTRIBUTE, "xmlns:p", "", S_OK, "xmlns:p=\"\""},
        {NODE_ATTRIBUTE, "xmlns:p", "urn:u", E_FAIL, ""},
        {NODE_ATTRIBUTE, "xml:space", "", S_OK, "xml:space=\"\""},
        {NODE_PROCESSING_INSTRUCTION, "xml-stylesheet", "", S_OK, "<?xml-stylesheet?>"},
        {NODE_PROCESSING_INSTRUCTION, "XmL", "", E_FAIL, ""},
        {NODE_DOCUMENT_TYPE, "a", "", E_INVALIDARG, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CComPtr<IXMLDOMNode> node;
        EXPECT_EQ(c.expected, doc->createNode(Int(c.type), Bstr(c.name), Bstr(c.uri), &node));
        if (c.expected == S_OK) {
            EXPECT_EQ(c.written, Xml(node));
        } else {
            EXPECT_EQ(nullptr, node.p);
        }
    }
    CComBSTR byName(u"element");
    CComPtr<IXMLDOMNode> named;
    EXPECT_EQ(S_OK, doc->createNode(Text(byName), CComBSTR(u"x"), nullptr, &named));
    EXPECT_EQ("<x/>", Xml(named));
}

TEST_F(DomBuild, AttributesThatCannotBeWrittenAreRefusedWhenAttached) {
    CComPtr<IXMLDOMDocument2> doc = Parse(kTicket);
    ASSERT_TRUE(doc);
    CComPtr<IXMLDOMNode> value = CreateNode(doc, NODE_ELEMENT, "psf:Value", kF);
    // No prefix to write a namespace with (a ticket without an xsi prefix would ask this).
    EXPECT_EQ(E_FAIL, SetAttribute(doc, value, "type", kXsi, "integer"));
    // The element itself binds psf otherwise.
    EXPECT_EQ(E_FAIL, SetAttribute(doc, value, "psf:x", "urn:other", "1"));
    EXPECT_EQ(S_OK, SetAttribute(doc, value, "psf:x", kF, "1"));
    CComPtr<IXMLDOMElement> element;
    ASSERT_EQ(S_OK, value.QueryInterface(&element));
    CComBSTR uri(u"urn:other");
    EXPECT_EQ(E_FAIL, element->setAttribute(CComBSTR(u"xmlns:psf"), Text(uri)));
    EXPECT_EQ(E_FAIL, element->setAttribute(CComBSTR(u"q:y"), Text(uri))) << "q is unbound";
    EXPECT_EQ("<psf:Value xmlns:psf=\"urn:f\" psf:x=\"1\"/>", Xml(value));
}

TEST_F(DomBuild, AttributeMapListsDeclarationsAfterOrdinaryAttributes) {
    CComPtr<IXMLDOMDocument2> doc =
        Parse("<psf:PrintTicket xmlns:psf='urn:f' version='1' xmlns='urn:d' "
              "xmlns:ns0002='urn:private' id='t'/>");
    ASSERT_TRUE(doc);
    CComPtr<IXMLDOMNamedNodeMap> map;
    ASSERT_EQ(S_OK, Root(doc)->get_attributes(&map));
    LONG length = 0;
    ASSERT_EQ(S_OK, map->get_length(&length));
    EXPECT_EQ(5, length);
    std::string walked;
    for (CComPtr<IXMLDOMNode> item; map->nextNode(&item) == S_OK; item.Release()) {
        VARIANT value;
        ASSERT_EQ(S_OK, item->get_nodeValue(&value));
        walked += Name(item) + "=" + Utf8(value.bstrVal) + " ";
        VariantClear(&value);
    }
    EXPECT_EQ("version=1 id=t xmlns:psf=urn:f xmlns=urn:d xmlns:ns0002=urn:private ", walked);
    EXPECT_EQ(S_OK, map->reset());
    CComPtr<IXMLDOMNode> first;
    EXPECT_EQ(S_OK, map->nextNode(&first));
    EXPECT_EQ("version", Name(first));

    CComPtr<IXMLDOMNode> declaration;
    ASSERT_EQ(S_OK, map->getNamedItem(CComBSTR(u"xmlns:ns0002"), &declaration));
    DOMNodeType type = NODE_INVALID;
    EXPECT_EQ(S_OK, declaration->get_nodeType(&type));
    EXPECT_EQ(NODE_ATTRIBUTE, type);
    EXPECT_EQ("urn:private", TextOf(declaration));
    CComBSTR prefix;
    CComBSTR baseName;
    CComBSTR uri;
    EXPECT_EQ(S_OK, declaration->get_prefix(&prefix));
    EXPECT_EQ(S_OK, declaration->get_baseName(&baseName));
    EXPECT_EQ(S_OK, declaration->get_namespaceURI(&uri));
    EXPECT_EQ("xmlns", Utf8(prefix));
    EXPECT_EQ("ns0002", Utf8(baseName));
    EXPECT_EQ("http://www.w3.org/2000/xmlns/", Utf8(uri));
    CComPtr<IXMLDOMNode> defaultDeclaration;
    ASSERT_EQ(S_OK, map->getNamedItem(CComBSTR(u"xmlns"), &defaultDeclaration));
    EXPECT_EQ("urn:d", TextOf(defaultDeclaration));
}

TEST_F(DomBuild, ReplacingAPrivatePrefixDeclarationKeepsItsUsersIntact) {
    // The steps a Print Schema document takes to rename its private prefix to pk.
    CComPtr<IXMLDOMDocument2> doc =
        Parse("<psf:PrintTicket xmlns:psf='urn:f' xmlns:ns0002='urn:private'>"
              "<psf:Feature name='ns0002:Staple'><ns0002:Extra ns0002:level='2'/></psf:Feature>"
              "</psf:PrintTicket>",
              "xmlns:f='urn:f' xmlns:p='urn:private'");
    ASSERT_TRUE(doc);
    CComPtr<IXMLDOMElement> root = Root(doc);
    CComPtr<IXMLDOMNamedNodeMap> map;
    ASSERT_EQ(S_OK, root->get_attributes(&map));
    CComPtr<IXMLDOMNode> old;
    ASSERT_EQ(S_OK, map->getNamedItem(CComBSTR(u"xmlns:ns0002"), &old));
    ASSERT_EQ(S_OK, SetAttribute(doc, root, "xmlns:pk", "", "urn:private"));
    CComPtr<IXMLDOMNode> removed;
    ASSERT_EQ(S_OK, map->removeNamedItem(CComBSTR(u"xmlns:ns0002"), &removed));
    EXPECT_EQ(old.p, removed.p);
    CComPtr<IXMLDOMNode> parent;
    EXPECT_EQ(S_FALSE, removed->get_parentNode(&parent));
    EXPECT_EQ("urn:private", TextOf(removed)) << "a removed declaration stays readable";

    EXPECT_EQ("<psf:PrintTicket xmlns:psf=\"urn:f\" xmlns:pk=\"urn:private\">"
              "<psf:Feature name=\"ns0002:Staple\"><ns0002:Extra xmlns:ns0002=\"urn:private\" "
              "ns0002:level=\"2\"/></psf:Feature></psf:PrintTicket>\r\n",
              Xml(doc));
    EXPECT_EQ("ns0002:Extra", Name(Select(doc, "//p:Extra")));
    CComPtr<IXMLDOMNode> pk;
    EXPECT_EQ(S_OK, map->getNamedItem(CComBSTR(u"xmlns:pk"), &pk));
    CComPtr<IXMLDOMNode> gone;
    EXPECT_EQ(S_FALSE, map->getNamedItem(CComBSTR(u"xmlns:ns0002"), &gone));

    // What is written parses back to the same document.
    CComPtr<IXMLDOMDocument2> again = Parse(Xml(doc));
    ASSERT_TRUE(again);
    EXPECT_EQ(Xml(doc), Xml(again));
}

TEST_F(DomBuild, RemovedNodesStayUsableAndCanBeInsertedAgain) {
    CComPtr<IXMLDOMDocument2> doc = Parse("<r><a><b>text</b></a><c/></r>");
    ASSERT_TRUE(doc);
    CComPtr<IXMLDOMNode> r = Select(doc, "/r");
    CComPtr<IXMLDOMNode> a = Select(doc, "/r/a");
    CComPtr<IXMLDOMNode> b = Select(doc, "/r/a/b");
    CComPtr<IXMLDOMNode> c = Select(doc, "/r/c");

    CComPtr<IXMLDOMNode> removed;
    ASSERT_EQ(S_OK, r->removeChild(a, &removed));
    EXPECT_EQ(a.p, removed.p);
    CComPtr<IXMLDOMNode> parent;
    EXPECT_EQ(S_FALSE, a->get_parentNode(&parent));
    EXPECT_EQ(nullptr, parent.p);
    EXPECT_EQ(E_INVALIDARG, r->removeChild(a, nullptr)) << "no longer a child";
    EXPECT_EQ("<r><c/></r>\r\n", Xml(doc));

    // Only an inner node is still held: the removed subtree lives on through it.
    removed.Release();
    a.Release();
    EXPECT_EQ("text", TextOf(b));
    ASSERT_EQ(S_OK, b->get_parentNode(&parent));
    EXPECT_EQ("a", Name(parent));
    parent.Release();

    // Reinserted elsewhere, then moved: a node is in one place at a time.
    ASSERT_EQ(S_OK, c->appendChild(b, nullptr));
    EXPECT_EQ("<r><c><b>text</b></c></r>\r\n", Xml(doc));
    ASSERT_EQ(S_OK, r->insertBefore(b, Unknown(c), nullptr));
    EXPECT_EQ("<r><b>text</b><c/></r>\r\n", Xml(doc));
    VARIANT none;
    VariantInit(&none);
    ASSERT_EQ(S_OK, r->insertBefore(b, none, nullptr));
    EXPECT_EQ("<r><c/><b>text</b></r>\r\n", Xml(doc));

    EXPECT_EQ(E_INVALIDARG, b->appendChild(r, nullptr)) << "an ancestor";
    EXPECT_EQ(E_INVALIDARG, c->insertBefore(b, Unknown(r), nullptr)) << "not a child of c";
    CComPtr<IXMLDOMDocument2> other = Parse("<o/>");
    EXPECT_EQ(E_INVALIDARG, Select(other, "/o")->appendChild(b, nullptr)) << "another document";
    EXPECT_EQ(E_FAIL, doc->appendChild(c, nullptr)) << "a second document element";
    CComPtr<IXMLDOMText> text;
    ASSERT_EQ(S_OK, doc->createTextNode(CComBSTR(u"x"), &text));
    EXPECT_EQ(E_FAIL, doc->appendChild(text, nullptr)) << "text outside the document element";
}

TEST_F(DomBuild, TreesOutsideTheDocumentLiveExactlyAsLongAsTheirNodes) {
    // Two trees built apart, a node moved from one into the other, the objects released in
    // every order: each node stays readable while held, and the sanitizers see no leak and
    // no use after free.
    const int orders[][4] = {{0, 1, 2, 3}, {3, 2, 1, 0}, {1, 3, 0, 2}, {2, 0, 3, 1}};
    for (const auto& order : orders) {
        SCOPED_TRACE(order[0] * 1000 + order[1] * 100 + order[2] * 10 + order[3]);
        CComPtr<IXMLDOMDocument2> doc = Parse("<r/>");
        ASSERT_TRUE(doc);
        CComPtr<IXMLDOMNode> nodes[4] = {
            CreateNode(doc, NODE_ELEMENT, "p:a", "urn:p"), CreateNode(doc, NODE_ELEMENT, "b", ""),
            CreateNode(doc, NODE_ELEMENT, "p:c", "urn:p"), CreateNode(doc, NODE_ELEMENT, "d", "")};
        ASSERT_EQ(S_OK, Append(nodes[0], nodes[1]));
        ASSERT_EQ(S_OK, Append(nodes[1], nodes[2]));
        ASSERT_EQ(S_OK, Append(nodes[3], nodes[2])); // from tree a into tree d
        EXPECT_EQ("<p:a xmlns:p=\"urn:p\"><b/></p:a>", Xml(nodes[0]));
        EXPECT_EQ("<d><p:c xmlns:p=\"urn:p\"/></d>", Xml(nodes[3]));
        for (int i : order) {
            nodes[i].Release();
            for (int j = 0; j < 4; ++j) {
                if (nodes[j]) {
                    EXPECT_FALSE(Xml(nodes[j]).empty());
                }
            }
        }
    }
}

TEST_F(DomBuild, AdjacentTextNodesAreNeverMerged) {
    CComPtr<IXMLDOMDocument2> doc = Parse("<r>one<x/>two</r>");
    ASSERT_TRUE(doc);
    CComPtr<IXMLDOMNode> r = Select(doc, "/r");
    CComPtr<IXMLDOMNode> one = Select(doc, "/r/text()[1]");
    ASSERT_EQ(S_OK, r->removeChild(Select(doc, "/r/x"), nullptr));
    CComPtr<IXMLDOMText> three;
    ASSERT_EQ(S_OK, doc->createTextNode(CComBSTR(u"three"), &three));
    ASSERT_EQ(S_OK, r->appendChild(three, nullptr));
    CComPtr<IXMLDOMNodeList> children;
    ASSERT_EQ(S_OK, r->get_childNodes(&children));
    LONG length = 0;
    children->get_length(&length);
    EXPECT_EQ(3, length);
    EXPECT_EQ("onetwothree", TextOf(r));
    CComPtr<IXMLDOMNode> first;
    ASSERT_EQ(S_OK, r->get_firstChild(&first));
    EXPECT_EQ(one.p, first.p);
    EXPECT_EQ("one", TextOf(one));
}

TEST_F(DomBuild, TextIsTrimmedConcatenatedTextAndValuesAreEscapedWhenWritten) {
    const struct {
        const char* xml;
        const char* query;
        const char* text;
    } cases[] = {
        {"<a>  x  y  </a>", "/a", "x  y"},        {"<a> x <b>y</b> z </a>", "/a", "x y z"},
        {"<a>x<!--c-->y<?p d?></a>", "/a", "xy"}, {"<a> <![CDATA[ <c> ]]> </a>", "/a", "<c>"},
        {"<a v=' 1 '/>", "/a/@v", " 1 "},         {"<a xml:space='preserve'> x </a>", "/a", " x "},
        {"<a>\n 600\n</a>", "/a/text()", "600"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.xml);
        CComPtr<IXMLDOMDocument2> doc = Parse(c.xml);
        ASSERT_TRUE(doc);
        CComPtr<IXMLDOMNode> node = Select(doc, c.query);
        EXPECT_EQ(c.text, TextOf(node));
        VARIANT typed;
        ASSERT_EQ(S_OK, node->get_nodeTypedValue(&typed));
        ASSERT_EQ(VT_BSTR, typed.vt);
        EXPECT_EQ(c.text, Utf8(typed.bstrVal));
        VariantClear(&typed);
    }

    CComPtr<IXMLDOMDocument2> doc = Parse("<v a='1'>old<x/></v>");
    ASSERT_TRUE(doc);
    CComPtr<IXMLDOMNode> v = Select(doc, "/v");
    CComPtr<IXMLDOMNode> x = Select(doc, "/v/x");
    const std::string wrapped = "<![CDATA[\nabc\n]]> & \"q\"\r";
    ASSERT_EQ(S_OK, v->put_text(Bstr(wrapped)));
    CComPtr<IXMLDOMNode> attribute = Select(doc, "/v/@a");
    CComBSTR value = Bstr("tab\there\nline \"quoted\" <&>");
    ASSERT_EQ(S_OK, attribute->put_nodeValue(Text(value)));
    EXPECT_EQ("<v a=\"tab&#9;here&#10;line &quot;quoted&quot; &lt;&amp;>\">"
              "&lt;![CDATA[\nabc\n]]&gt; &amp; \"q\"&#13;</v>",
              Xml(v));
    CComPtr<IXMLDOMNode> parent;
    EXPECT_EQ(S_FALSE, x->get_parentNode(&parent)) << "put_text took the children out";
    CComPtr<IXMLDOMDocument2> again = Parse(Xml(doc));
    ASSERT_TRUE(again);
    EXPECT_EQ(Xml(doc), Xml(again));
    EXPECT_EQ("tab\there\nline \"quoted\" <&>", TextOf(Select(again, "/v/@a")));

    EXPECT_EQ(E_INVALIDARG, v->put_text(CComBSTR(u"bell\u0007"))) << "not an XML character";
    EXPECT_EQ(E_INVALIDARG, v->put_text(CComBSTR(u"lone \xD800 surrogate")));
    CComPtr<IXMLDOMComment> comment;
    EXPECT_EQ(E_FAIL, doc->createComment(CComBSTR(u"a--b"), &comment));
}

TEST_F(DomBuild, XmlDeclarationIsTheDocumentsFirstProcessingInstruction) {
    CComPtr<IXMLDOMDocument2> doc =
        Parse("<?xml version=\"1.0\" encoding=\"utf-16\"?><psf:PrintTicket xmlns:psf='urn:f'/>");
    ASSERT_TRUE(doc);
    CComPtr<IXMLDOMNode> first;
    ASSERT_EQ(S_OK, doc->get_firstChild(&first));
    EXPECT_EQ("xml", Name(first));
    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"utf-16\"?>", Xml(first));

    CComPtr<IXMLDOMProcessingInstruction> utf8;
    ASSERT_EQ(S_OK, doc->createProcessingInstruction(
                        CComBSTR(u"xml"), CComBSTR(u" version='1.0' encoding='UTF-8'"), &utf8));
    ASSERT_EQ(S_OK, doc->replaceChild(utf8, first, nullptr));
    EXPECT_EQ(
        "<?xml version='1.0' encoding='UTF-8'?>\r\n<psf:PrintTicket xmlns:psf=\"urn:f\"/>\r\n",
        Xml(doc));

    const char16_t* bad[] = {u"version='1.0' colour='red'", u"version='1.0", u"encoding='UTF-8'",
                             u"version=\"1.0' "};
    for (const char16_t* data : bad) {
        SCOPED_TRACE(Utf8(data, std::char_traits<char16_t>::length(data)));
        CComPtr<IXMLDOMProcessingInstruction> pi;
        EXPECT_EQ(E_FAIL, doc->createProcessingInstruction(CComBSTR(u"xml"), CComBSTR(data), &pi));
    }
    // Only first, only once.
    CComPtr<IXMLDOMProcessingInstruction> another;
    ASSERT_EQ(S_OK, doc->createProcessingInstruction(CComBSTR(u"xml"), CComBSTR(u"version='1.0'"),
                                                     &another));
    EXPECT_EQ(E_FAIL, doc->appendChild(another, nullptr));
    // A target that only starts with "xml" names no declaration: its data is free and it may
    // follow the declaration.
    CComPtr<IXMLDOMProcessingInstruction> stylesheet;
    ASSERT_EQ(S_OK, doc->createProcessingInstruction(CComBSTR(u"xml-stylesheet"),
                                                     CComBSTR(u"type='text/xsl' href='t.xsl'"),
                                                     &stylesheet));
    CComPtr<IXMLDOMElement> ticket;
    ASSERT_EQ(S_OK, doc->get_documentElement(&ticket));
    EXPECT_EQ(S_OK, doc->insertBefore(stylesheet, Unknown(ticket), nullptr));
    EXPECT_EQ("<?xml version='1.0' encoding='UTF-8'?>\r\n"
              "<?xml-stylesheet type='text/xsl' href='t.xsl'?>\r\n"
              "<psf:PrintTicket xmlns:psf=\"urn:f\"/>\r\n",
              Xml(doc));
    CComPtr<IXMLDOMDocument2> bare = Parse("<a/>");
    CComPtr<IXMLDOMProcessingInstruction> declaration;
    ASSERT_EQ(S_OK, bare->createProcessingInstruction(CComBSTR(u"xml"), CComBSTR(u"version='1.0'"),
                                                      &declaration));
    CComPtr<IXMLDOMNode> root = Select(bare, "/a");
    EXPECT_EQ(E_FAIL, root->appendChild(declaration, nullptr));
    EXPECT_EQ(E_FAIL, bare->appendChild(declaration, nullptr)) << "after the document element";
    EXPECT_EQ(S_OK, bare->insertBefore(declaration, Unknown(root), nullptr));
    EXPECT_EQ("<?xml version='1.0'?>\r\n<a/>\r\n", Xml(bare));
}

TEST_F(DomBuild, ClonesAreDetachedCopies) {
    CComPtr<IXMLDOMDocument2> doc = Parse(
        "<p:r xmlns:p='urn:p'><p:a x='1' xmlns:q='urn:q'><q:b/></p:a></p:r>", "xmlns:p='urn:p'");
    ASSERT_TRUE(doc);
    CComPtr<IXMLDOMNode> a = Select(doc, "//p:a");
    CComPtr<IXMLDOMNode> deep;
    ASSERT_EQ(S_OK, a->cloneNode(VARIANT_TRUE, &deep));
    CComPtr<IXMLDOMNode> parent;
    EXPECT_EQ(S_FALSE, deep->get_parentNode(&parent));
    EXPECT_EQ("<p:a xmlns:q=\"urn:q\" xmlns:p=\"urn:p\" x=\"1\"><q:b/></p:a>", Xml(deep));
    CComPtr<IXMLDOMNode> shallow;
    ASSERT_EQ(S_OK, a->cloneNode(VARIANT_FALSE, &shallow));
    EXPECT_EQ("<p:a xmlns:q=\"urn:q\" xmlns:p=\"urn:p\" x=\"1\"/>", Xml(shallow));

    CComPtr<IXMLDOMNode> copy;
    ASSERT_EQ(S_OK, doc->cloneNode(VARIANT_TRUE, &copy));
    EXPECT_EQ(Xml(doc), Xml(copy));
    CComPtr<IXMLDOMDocument2> copyDoc;
    ASSERT_EQ(S_OK, copy.QueryInterface(&copyDoc));
    EXPECT_EQ("p:a", Name(Select(copyDoc, "//p:a"))) << "selection namespaces come along";
}

} // namespace
