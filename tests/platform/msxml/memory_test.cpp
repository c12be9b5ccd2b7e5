// Running out of memory: every allocation the DOM makes through the platform allocator may
// fail; the call then answers E_OUTOFMEMORY and leaves the document whole.
#include "domtest.h"

#include <platformtest.h>

#include <vector>

using namespace domtest;

namespace {

class DomMemory : public DomTest {
protected:
    // The texts the edit passes in, made before any allocation is told to fail.
    struct Texts {
        CComBSTR featureQuery{u"//f:Feature[@name='psk:A']"};
        CComBSTR optionName{u"psf:Option"};
        CComBSTR framework{u"urn:f"};
        CComBSTR name{u"name"};
        CComBSTR value{u"psk:A2"};
        CComBSTR optionQuery{u"//f:Option"};
    };

    // A typical ticket edit; the results of its calls in order (a step whose input is
    // missing because an earlier one failed is skipped).
    static std::vector<HRESULT> Edit(IXMLDOMDocument2* doc, const Texts& t) {
        std::vector<HRESULT> results;
        results.reserve(16);
        auto record = [&](HRESULT hr) {
            results.push_back(hr);
            return SUCCEEDED(hr);
        };
        CComPtr<IXMLDOMNode> feature;
        if (record(doc->selectSingleNode(t.featureQuery, &feature)) && feature) {
            CComPtr<IXMLDOMNode> option;
            if (record(doc->createNode(Int(NODE_ELEMENT), t.optionName, t.framework, &option))) {
                CComPtr<IXMLDOMElement> element;
                if (record(option.QueryInterface(&element))) {
                    record(element->setAttribute(t.name, Text(t.value)));
                }
                record(feature->appendChild(option, nullptr));
            }
            CComPtr<IXMLDOMNamedNodeMap> map;
            if (record(feature->get_attributes(&map))) {
                CComPtr<IXMLDOMNode> name;
                record(map->getNamedItem(t.name, &name));
            }
        }
        CComPtr<IXMLDOMNodeList> options;
        if (record(doc->selectNodes(t.optionQuery, &options))) {
            CComPtr<IXMLDOMNode> first;
            if (record(options->get_item(0, &first)) && first) {
                CComPtr<IXMLDOMNode> parent;
                if (record(first->get_parentNode(&parent))) {
                    record(parent->removeChild(first, nullptr));
                }
            }
        }
        CComBSTR xml;
        record(doc->get_xml(&xml));
        return results;
    }
};

TEST_F(DomMemory, EveryFailedAllocationIsReportedAndLeavesTheDocumentWhole) {
    const char kXml[] = "<psf:PrintTicket xmlns:psf='urn:f'><psf:Feature name='psk:A'>"
                        "<psf:Option name='psk:A1'/></psf:Feature></psf:PrintTicket>";
    const char kEdited[] = "<psf:PrintTicket xmlns:psf=\"urn:f\"><psf:Feature name=\"psk:A\">"
                           "<psf:Option name=\"psk:A2\"/></psf:Feature></psf:PrintTicket>\r\n";
    unsigned long allocations = 0;
    {
        CComPtr<IXMLDOMDocument2> doc = Parse(kXml, "xmlns:f='urn:f'");
        const Texts texts;
        const unsigned long before = platformtest::AllocationCount();
        for (HRESULT hr : Edit(doc, texts)) {
            EXPECT_TRUE(SUCCEEDED(hr));
        }
        allocations = platformtest::AllocationCount() - before;
        EXPECT_EQ(kEdited, Xml(doc));
    }
    ASSERT_GT(allocations, 5u);
    for (unsigned long n = 1; n <= allocations; ++n) {
        SCOPED_TRACE(n);
        CComPtr<IXMLDOMDocument2> doc = Parse(kXml, "xmlns:f='urn:f'");
        ASSERT_TRUE(doc);
        const Texts texts;
        std::vector<HRESULT> results;
        {
            platformtest::AllocationFailure failure(n);
            results = Edit(doc, texts);
        }
        int outOfMemory = 0;
        for (HRESULT hr : results) {
            EXPECT_TRUE(SUCCEEDED(hr) || hr == E_OUTOFMEMORY) << std::hex << hr;
            outOfMemory += hr == E_OUTOFMEMORY;
        }
        EXPECT_EQ(1, outOfMemory);
        // Whatever happened, the document still serialises and parses.
        CComPtr<IXMLDOMDocument2> again = Parse(Xml(doc));
        ASSERT_TRUE(again);
        EXPECT_EQ(Xml(doc), Xml(again));
    }
}

} // namespace
