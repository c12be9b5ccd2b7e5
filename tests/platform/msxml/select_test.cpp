// XPath selection: SelectionNamespaces, context nodes, results, node lists, S_FALSE for
// "nothing", one object per node.
#include "domtest.h"

#include <functional>
#include <string>
#include <vector>

using namespace domtest;

namespace {

const char kTicket[] = "<psf:PrintTicket xmlns:psf='urn:f' xmlns:psk='urn:k' version='1'>"
                       "<psf:Feature name='psk:A'><psf:Option name='psk:A1'/></psf:Feature>"
                       "<psf:Feature name='psk:B'><psf:Option name='psk:B1'/>"
                       "<psf:Feature name='psk:B.Sub'/></psf:Feature>"
                       "</psf:PrintTicket>";

class DomSelect : public DomTest {
protected:
    // The names (nodeName, or the name attribute when there is one) a query selects, or the
    // failure.
    static std::string Names(IXMLDOMNode* context, const std::string& query) {
        CComPtr<IXMLDOMNodeList> list;
        const HRESULT hr = context->selectNodes(Bstr(query), &list);
        if (FAILED(hr)) {
            return hr == E_FAIL ? "E_FAIL" : "failed";
        }
        std::string names;
        for (CComPtr<IXMLDOMNode> node; list->nextNode(&node) == S_OK; node.Release()) {
            CComPtr<IXMLDOMElement> element;
            VARIANT name;
            VariantInit(&name);
            if (SUCCEEDED(node.QueryInterface(&element)) &&
                element->getAttribute(CComBSTR(u"name"), &name) == S_OK) {
                names += (names.empty() ? "" : " ") + Utf8(name.bstrVal);
                VariantClear(&name);
            } else {
                names += (names.empty() ? "" : " ") + Name(node);
            }
        }
        return names;
    }
};

TEST_F(DomSelect, SelectionNamespacesDeclareTheOnlyPrefixesQueriesSee) {
    const struct {
        const char* namespaces;
        HRESULT set;
        const char* query;
        const char* selects;
    } cases[] = {
        {"xmlns:f='urn:f' xmlns:k=\"urn:k\"", S_OK, "//f:Option", "psk:A1 psk:B1"},
        {"  xmlns:f = 'urn:f'\n", S_OK, "/f:PrintTicket/f:Feature", "psk:A psk:B"},
        {"xmlns:f='urn:f'", S_OK, "//psf:Option", "E_FAIL"}, // the document's own prefix
        {"xmlns:f='urn:other'", S_OK, "//f:Option", ""},
        {"", S_OK, "//f:Option", "E_FAIL"},
        {"xmlns='urn:f'", E_FAIL, "//f:Option", "E_FAIL"},  // default namespace
        {"xmlns:f='urn:f", E_FAIL, "//f:Option", "E_FAIL"}, // unterminated
        {"xmlns:f=urn:f", E_FAIL, "//f:Option", "E_FAIL"},  // unquoted
        {"xmlns:f='urn:f'xmlns:k='urn:k'", E_FAIL, "//f:Option", "E_FAIL"},
        {"xmlns:f=''", E_FAIL, "//f:Option", "E_FAIL"},
        {"xmlns:1f='urn:f'", E_FAIL, "//f:Option", "E_FAIL"},
        {"xmlns:f='urn:f' xmlns:f='urn:k'", E_FAIL, "//f:Option", "E_FAIL"},
        {"xmlns:f='urn:f' garbage", E_FAIL, "//f:Option", "E_FAIL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.namespaces);
        CComPtr<IXMLDOMDocument2> doc = Parse(kTicket);
        ASSERT_TRUE(doc);
        CComBSTR value = Bstr(c.namespaces);
        EXPECT_EQ(c.set, doc->setProperty(CComBSTR(u"SelectionNamespaces"), Text(value)));
        EXPECT_EQ(c.selects, Names(doc, c.query));
    }
}

TEST_F(DomSelect, EachSettingReplacesTheWholeMapping) {
    CComPtr<IXMLDOMDocument2> doc = Parse(kTicket, "xmlns:f='urn:f'");
    ASSERT_TRUE(doc);
    CComBSTR other(u"xmlns:g='urn:f'");
    ASSERT_EQ(S_OK, doc->setProperty(CComBSTR(u"SelectionNamespaces"), Text(other)));
    EXPECT_EQ("E_FAIL", Names(doc, "//f:Option"));
    EXPECT_EQ("psk:A1 psk:B1", Names(doc, "//g:Option"));
    // A second document with its own mapping does not disturb the first.
    CComPtr<IXMLDOMDocument2> second = Parse(kTicket, "xmlns:f='urn:f'");
    EXPECT_EQ("psk:A1 psk:B1", Names(second, "//f:Option"));
    EXPECT_EQ("psk:A1 psk:B1", Names(doc, "//g:Option"));
    EXPECT_EQ("E_FAIL", Names(doc, "//f:Option"));
}

TEST_F(DomSelect, QueriesRunFromTheirContextNode) {
    CComPtr<IXMLDOMDocument2> doc = Parse(kTicket, "xmlns:f='urn:f'");
    ASSERT_TRUE(doc);
    CComPtr<IXMLDOMNode> b = Select(doc, "//f:Feature[@name='psk:B']");
    ASSERT_TRUE(b);
    const struct {
        const char* query;
        const char* selects;
    } cases[] = {
        {".", "psk:B"},
        {"f:Option", "psk:B1"},
        {".//f:Feature", "psk:B.Sub"},
        {"//f:Feature", "psk:A psk:B psk:B.Sub"}, // still the whole document
        {"..", "psf:PrintTicket"},
        {"@name", "name"},
        {"//f:Option | //f:Feature", "psk:A psk:A1 psk:B psk:B1 psk:B.Sub"}, // document order
        {"f:Option | f:Option | .", "psk:B psk:B1"},                         // no duplicates
        {"f:Nothing", ""},
        {"count(f:Option)", "E_FAIL"}, // not a node-set
        {"//f:[", "E_FAIL"},
        {"//q:Option", "E_FAIL"}, // undeclared prefix
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        EXPECT_EQ(c.selects, Names(b, c.query));
    }
}

TEST_F(DomSelect, SelectSingleNodeGivesTheFirstMatchOrNothing) {
    CComPtr<IXMLDOMDocument2> doc = Parse(kTicket, "xmlns:f='urn:f'");
    ASSERT_TRUE(doc);
    CComPtr<IXMLDOMNode> node;
    EXPECT_EQ(S_OK, doc->selectSingleNode(CComBSTR(u"//f:Option | //f:Feature"), &node));
    EXPECT_EQ("psf:Feature", Name(node));
    node.Release();
    EXPECT_EQ(S_FALSE, doc->selectSingleNode(CComBSTR(u"//f:Missing"), &node));
    EXPECT_EQ(nullptr, node.p);
    EXPECT_EQ(E_FAIL, doc->selectSingleNode(CComBSTR(u"//x:Missing"), &node));
    EXPECT_EQ(E_INVALIDARG, doc->selectSingleNode(nullptr, &node));
    EXPECT_EQ(E_INVALIDARG, doc->selectSingleNode(CComBSTR(u"/"), nullptr));
    CComPtr<IXMLDOMNodeList> list;
    EXPECT_EQ(S_OK, doc->selectNodes(CComBSTR(u"//f:Missing"), &list));
    LONG length = -1;
    EXPECT_EQ(S_OK, list->get_length(&length));
    EXPECT_EQ(0, length);
}

TEST_F(DomSelect, NodeListIsASnapshot) {
    CComPtr<IXMLDOMDocument2> doc = Parse(kTicket, "xmlns:f='urn:f'");
    ASSERT_TRUE(doc);
    CComPtr<IXMLDOMNodeList> list;
    ASSERT_EQ(S_OK, doc->selectNodes(CComBSTR(u"//f:Feature"), &list));
    // Delete every feature, as a caller walking the list would.
    for (CComPtr<IXMLDOMNode> feature; list->nextNode(&feature) == S_OK; feature.Release()) {
        CComPtr<IXMLDOMNode> parent;
        if (feature->get_parentNode(&parent) == S_OK) {
            EXPECT_EQ(S_OK, parent->removeChild(feature, nullptr));
        }
    }
    EXPECT_EQ("<psf:PrintTicket xmlns:psf=\"urn:f\" xmlns:psk=\"urn:k\" version=\"1\"/>\r\n",
              Xml(doc));
    LONG length = 0;
    EXPECT_EQ(S_OK, list->get_length(&length));
    EXPECT_EQ(3, length);
    CComPtr<IXMLDOMNode> item;
    ASSERT_EQ(S_OK, list->get_item(2, &item));
    EXPECT_EQ("<psf:Feature xmlns:psf=\"urn:f\" name=\"psk:B.Sub\"/>", Xml(item))
        << "a removed node keeps its namespace";
    CComPtr<IXMLDOMNode> past;
    EXPECT_EQ(S_FALSE, list->get_item(3, &past));
    EXPECT_EQ(nullptr, past.p);
    EXPECT_EQ(S_FALSE, list->get_item(-1, &past));
    EXPECT_EQ(S_FALSE, list->nextNode(&past));
    EXPECT_EQ(nullptr, past.p);
    EXPECT_EQ(S_OK, list->reset());
    EXPECT_EQ(S_OK, list->nextNode(&past));
    EXPECT_EQ("psf:Feature", Name(past));
}

TEST_F(DomSelect, NothingIsSFalseWithNull) {
    CComPtr<IXMLDOMDocument2> doc = Parse("<a x='1'><b/>text</a>");
    ASSERT_TRUE(doc);
    CComPtr<IXMLDOMNode> a = Select(doc, "/a");
    CComPtr<IXMLDOMNode> b = Select(doc, "/a/b");
    CComPtr<IXMLDOMNode> text = Select(doc, "/a/text()");
    CComPtr<IXMLDOMNode> x = Select(doc, "/a/@x");
    CComPtr<IXMLDOMElement> element;
    ASSERT_EQ(S_OK, a.QueryInterface(&element));
    CComPtr<IXMLDOMNamedNodeMap> map;
    ASSERT_EQ(S_OK, a->get_attributes(&map));
    using Get = std::function<HRESULT(IXMLDOMNode**)>;
    const struct {
        const char* what;
        Get get;
    } nodeCases[] = {
        {"first child of an empty element", [&](IXMLDOMNode** n) { return b->get_firstChild(n); }},
        {"last child of an empty element", [&](IXMLDOMNode** n) { return b->get_lastChild(n); }},
        {"sibling before the first", [&](IXMLDOMNode** n) { return b->get_previousSibling(n); }},
        {"sibling after the last", [&](IXMLDOMNode** n) { return text->get_nextSibling(n); }},
        {"parent of the document", [&](IXMLDOMNode** n) { return doc->get_parentNode(n); }},
        {"parent of an attribute", [&](IXMLDOMNode** n) { return x->get_parentNode(n); }},
        {"sibling of an attribute", [&](IXMLDOMNode** n) { return x->get_nextSibling(n); }},
        {"absent attribute", [&](IXMLDOMNode** n) { return map->getNamedItem(CComBSTR(u"y"), n); }},
        {"attribute past the end", [&](IXMLDOMNode** n) { return map->get_item(1, n); }},
        {"removing an absent attribute",
         [&](IXMLDOMNode** n) { return map->removeNamedItem(CComBSTR(u"y"), n); }},
    };
    for (const auto& c : nodeCases) {
        SCOPED_TRACE(c.what);
        IXMLDOMNode* out = a.p; // anything but null
        EXPECT_EQ(S_FALSE, c.get(&out));
        EXPECT_EQ(nullptr, out);
    }
    CComPtr<IXMLDOMNamedNodeMap> noMap;
    EXPECT_EQ(S_FALSE, text->get_attributes(&noMap));
    EXPECT_EQ(nullptr, noMap.p);
    using GetText = std::function<HRESULT(BSTR*)>;
    const struct {
        const char* what;
        GetText get;
    } textCases[] = {
        {"prefix of an unprefixed element", [&](BSTR* t) { return a->get_prefix(t); }},
        {"namespace of an element in none", [&](BSTR* t) { return a->get_namespaceURI(t); }},
        {"base name of text", [&](BSTR* t) { return text->get_baseName(t); }},
    };
    for (const auto& c : textCases) {
        SCOPED_TRACE(c.what);
        CComBSTR out;
        EXPECT_EQ(S_FALSE, c.get(&out));
        EXPECT_EQ(nullptr, out.m_str);
    }
    VARIANT value;
    EXPECT_EQ(S_FALSE, a->get_nodeValue(&value));
    EXPECT_EQ(VT_NULL, value.vt);
    EXPECT_EQ(S_FALSE, element->getAttribute(CComBSTR(u"y"), &value));
    EXPECT_EQ(VT_NULL, value.vt);
}

TEST_F(DomSelect, OneObjectPerNode) {
    CComPtr<IXMLDOMDocument2> doc = Parse(kTicket, "xmlns:f='urn:f'");
    ASSERT_TRUE(doc);
    CComPtr<IXMLDOMNode> byQuery = Select(doc, "/f:PrintTicket");
    CComPtr<IXMLDOMNode> byChild;
    ASSERT_EQ(S_OK, doc->get_firstChild(&byChild));
    CComPtr<IXMLDOMElement> byRoot;
    ASSERT_EQ(S_OK, doc->get_documentElement(&byRoot));
    EXPECT_EQ(byQuery.p, byChild.p);
    EXPECT_TRUE(byQuery.IsEqualObject(byRoot));

    CComPtr<IXMLDOMNodeList> list;
    ASSERT_EQ(S_OK, doc->selectNodes(CComBSTR(u"//f:Feature"), &list));
    CComPtr<IXMLDOMNode> first;
    ASSERT_EQ(S_OK, list->get_item(0, &first));
    EXPECT_EQ(Select(doc, "//f:Feature").p, first.p);

    CComPtr<IXMLDOMNamedNodeMap> map;
    ASSERT_EQ(S_OK, byQuery->get_attributes(&map));
    CComPtr<IXMLDOMNode> version;
    CComPtr<IXMLDOMNode> declaration;
    ASSERT_EQ(S_OK, map->getNamedItem(CComBSTR(u"version"), &version));
    ASSERT_EQ(S_OK, map->getNamedItem(CComBSTR(u"xmlns:psf"), &declaration));
    EXPECT_EQ(Select(doc, "/f:PrintTicket/@version").p, version.p);
    CComPtr<IXMLDOMNode> again;
    ASSERT_EQ(S_OK, map->get_item(1, &again));
    EXPECT_EQ(declaration.p, again.p);

    // A node whose object went gets a new one when asked again.
    first.Release();
    list.Release();
    EXPECT_EQ("psk:A", Names(doc, "(//f:Feature)[1]"));
}

} // namespace
