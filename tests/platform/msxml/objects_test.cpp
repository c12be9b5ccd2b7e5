// Every COM object of the DOM and the SAX reader: the interfaces QueryInterface answers, one
// identity whichever interface is asked, and counts that come back to where they were.
#include "domtest.h"

#include "comtest.h"

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

using namespace domtest;

namespace {

struct NamedIid {
    const char* name;
    IID iid;
};

const NamedIid kInterfaces[] = {
    {"IUnknown", IID_IUnknown},
    {"IXMLDOMNode", IID_IXMLDOMNode},
    {"IXMLDOMDocument", IID_IXMLDOMDocument},
    {"IXMLDOMDocument2", IID_IXMLDOMDocument2},
    {"IXMLDOMElement", IID_IXMLDOMElement},
    {"IXMLDOMAttribute", IID_IXMLDOMAttribute},
    {"IXMLDOMCharacterData", IID_IXMLDOMCharacterData},
    {"IXMLDOMText", IID_IXMLDOMText},
    {"IXMLDOMCDATASection", IID_IXMLDOMCDATASection},
    {"IXMLDOMComment", IID_IXMLDOMComment},
    {"IXMLDOMProcessingInstruction", IID_IXMLDOMProcessingInstruction},
    {"IXMLDOMNodeList", IID_IXMLDOMNodeList},
    {"IXMLDOMNamedNodeMap", IID_IXMLDOMNamedNodeMap},
    {"IXMLDOMParseError", IID_IXMLDOMParseError},
    {"ISAXXMLReader", IID_ISAXXMLReader},
    {"ISAXContentHandler", IID_ISAXContentHandler},
    {"ISequentialStream", IID_ISequentialStream},
    {"IStream", IID_IStream},
};

class DomObjects : public DomTest {};

TEST_F(DomObjects, EachAnswersItsInterfacesWithOneIdentity) {
    CComPtr<IXMLDOMDocument2> doc = Parse("<a x='1'><b/></a>");
    ASSERT_TRUE(doc);
    using Make = std::function<CComPtr<IUnknown>()>;
    auto node = [&](DOMNodeType type, const char* name, const char* uri = "") -> Make {
        return [&doc, type, name, uri] {
            CComPtr<IUnknown> made;
            CreateNode(doc, type, name, uri).QueryInterface(&made);
            return made;
        };
    };
    const struct {
        const char* name;
        Make make;
        std::vector<std::string> answers; // besides IUnknown
    } cases[] = {
        // The document also answers the stream interfaces, with a new stream of its text.
        {"document",
         [&] {
             CComPtr<IUnknown> made;
             doc.QueryInterface(&made);
             return made;
         },
         {"IXMLDOMNode", "IXMLDOMDocument", "IXMLDOMDocument2", "ISequentialStream", "IStream"}},
        {"element", node(NODE_ELEMENT, "e"), {"IXMLDOMNode", "IXMLDOMElement"}},
        {"attribute", node(NODE_ATTRIBUTE, "x"), {"IXMLDOMNode", "IXMLDOMAttribute"}},
        {"namespace declaration",
         node(NODE_ATTRIBUTE, "xmlns:p"),
         {"IXMLDOMNode", "IXMLDOMAttribute"}},
        {"text", node(NODE_TEXT, ""), {"IXMLDOMNode", "IXMLDOMCharacterData", "IXMLDOMText"}},
        {"CDATA section",
         node(NODE_CDATA_SECTION, ""),
         {"IXMLDOMNode", "IXMLDOMCharacterData", "IXMLDOMText", "IXMLDOMCDATASection"}},
        {"comment",
         node(NODE_COMMENT, ""),
         {"IXMLDOMNode", "IXMLDOMCharacterData", "IXMLDOMComment"}},
        {"processing instruction",
         node(NODE_PROCESSING_INSTRUCTION, "pi"),
         {"IXMLDOMNode", "IXMLDOMProcessingInstruction"}},
        {"node list",
         [&] {
             CComPtr<IXMLDOMNodeList> list;
             doc->selectNodes(CComBSTR(u"//*"), &list);
             CComPtr<IUnknown> made;
             list.QueryInterface(&made);
             return made;
         },
         {"IXMLDOMNodeList"}},
        {"attribute map",
         [&] {
             CComPtr<IXMLDOMNamedNodeMap> map;
             Select(doc, "/a")->get_attributes(&map);
             CComPtr<IUnknown> made;
             map.QueryInterface(&made);
             return made;
         },
         {"IXMLDOMNamedNodeMap"}},
        {"parse error",
         [&] {
             CComPtr<IXMLDOMParseError> error;
             doc->get_parseError(&error);
             CComPtr<IUnknown> made;
             error.QueryInterface(&made);
             return made;
         },
         {"IXMLDOMParseError"}},
        {"SAX reader",
         [] {
             CComPtr<IUnknown> made;
             CoCreateInstance(CLSID_SAXXMLReader60, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                              reinterpret_cast<void**>(&made));
             return made;
         },
         {"ISAXXMLReader"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CComPtr<IUnknown> object = c.make();
        ASSERT_TRUE(object);
        const ULONG references = comtest::RefCount(object.p);
        for (const NamedIid& entry : kInterfaces) {
            SCOPED_TRACE(entry.name);
            const bool expected =
                std::string(entry.name) == "IUnknown" ||
                std::find(c.answers.begin(), c.answers.end(), entry.name) != c.answers.end();
            IUnknown* answer = reinterpret_cast<IUnknown*>(&answer);
            const HRESULT hr = object->QueryInterface(entry.iid, reinterpret_cast<void**>(&answer));
            if (!expected) {
                EXPECT_EQ(E_NOINTERFACE, hr);
                EXPECT_EQ(nullptr, answer);
                continue;
            }
            ASSERT_EQ(S_OK, hr);
            ASSERT_NE(nullptr, answer);
            const std::string name = entry.name;
            if (std::string(c.name) != "document" || name.find("Stream") == std::string::npos) {
                CComPtr<IUnknown> identity;
                ASSERT_EQ(S_OK, answer->QueryInterface(IID_IUnknown,
                                                       reinterpret_cast<void**>(&identity)));
                EXPECT_EQ(object.p, identity.p);
            }
            answer->Release();
        }
        EXPECT_REF(object.p, references);
    }
}

} // namespace
