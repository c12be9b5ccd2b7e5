// filterutil's answers to bad input: exit status 2 and one line a person understands, and
// pk: on the command line naming the driver's private namespace in every ticket.
#include "tools/toolrunner.h"

#include "filterutilities/printschematestsupport.h"

#include <gtest/gtest.h>

#include <libxml/tree.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using printschematest::ParseWithLibxml2;

const std::string kJobTicket = FILTERUTILITIES_EXAMPLES "/tickets/job-ticket-a4-duplex.xml";
constexpr char kFramework[] =
    "http://schemas.microsoft.com/windows/2003/08/printing/printschemaframework";
constexpr char kKeywords[] =
    "http://schemas.microsoft.com/windows/2003/08/printing/printschemakeywords";
constexpr char kPrivate[] =
    "http://schemas.keldan.com/enterprise/print/driver/native/printSchemaPrivateKeywords/2006/11";

// A ticket whose root carries the declarations given (framework prefix psf unless they say
// otherwise) and one feature.
std::string TicketDeclaring(const std::string& declarations, const std::string& framework = "psf") {
    return "<" + framework + ":PrintTicket " + declarations + " version=\"1\"><" + framework +
           ":Feature name=\"psk:PageOrientation\"><" + framework +
           ":Option name=\"psk:Portrait\"/></" + framework + ":Feature></" + framework +
           ":PrintTicket>";
}

std::string Declare(const std::string& prefix, const std::string& uri) {
    return (prefix.empty() ? "xmlns" : "xmlns:" + prefix) + "=\"" + uri + "\" ";
}

TEST(FilterutilErrors, BadInputSaysWhyWithStatusTwo) {
    ScratchFolder folder;
    const auto file = [&](const std::string& name, const std::string& bytes) {
        WriteFile(folder.Path(name), bytes);
        return folder.Path(name);
    };
    const std::string psf = Declare("psf", kFramework);
    const std::string fresh = folder.Path("fresh.xml");
    ASSERT_EQ(0, RunFilterutil({"ticket", "devmode", "--new", kJobTicket, "-o", fresh}).status);
    std::vector<std::string> tooManySettings{"ticket", "devmode", "--set"};
    for (int feature = 1; feature <= 3000; ++feature) {
        tooManySettings.push_back(std::to_string(feature) + "=1");
    }
    tooManySettings.insert(tooManySettings.end(), {fresh, "-o", folder.Path("big.xml")});
    struct Case {
        std::vector<std::string> arguments;
        std::string reason;
    };
    const Case cases[] = {
        {{"ticket", "show", folder.Path("")}, "is a directory"},
        {{"ticket", "show",
          file("default-keywords.xml", TicketDeclaring(psf + Declare("", kKeywords)))},
         "makes the Print Schema keywords namespace its default namespace"},
        {{"ticket", "show",
          file("attribute.xml", TicketDeclaring("other=\"" + std::string(kKeywords) + "\" " + psf +
                                                Declare("psk", kKeywords)))},
         "attribute other holds the name of the Print Schema keywords namespace"},
        {{"ticket", "show",
          file("pk-elsewhere.xml",
               TicketDeclaring(psf + Declare("pk", "urn:other") + Declare("ns0002", kPrivate)))},
         "binds the prefix pk to \"urn:other\""},
        {{"ticket", "param", kJobTicket, "psk:JobPasscodeString", ""}, "the value is empty"},
        {{"ticket", "param", kJobTicket, "psk:JobPasscodeString",
          "12\x01"
          "34"},
         "holds U+0001, a character XML cannot carry"},
        {{"ticket", "param", kJobTicket, "psk:JobPasscodeString", "\xff"}, "not UTF-8 text"},
        {{"ticket", "set", kJobTicket, "psk:Bad Name", "psk:X"}, "is not a name XML can carry"},
        {{"ticket", "set", kJobTicket, "psk:A", "psk:X\"]|//*[\""}, "is not a name XML can carry"},
        {{"ticket", "param", kJobTicket, "psk:1st", "x"}, "is not a name XML can carry"},
        {{"ticket", "set", kJobTicket, "xsd:A", "psk:X"}, "can be set, not xsd:A"},
        {{"ticket", "set", kJobTicket, "psk:A", "psk:X", "-o", folder.Path("missing/out.xml")},
         "No such file or directory"},
        {{"ticket", "set", kJobTicket, "psk:A", "psk:X", "-o", folder.Path("")}, "is a directory"},
        {{"ticket", "effective", "--default", kJobTicket, "Page\"Size"},
         "is not a Print Schema keyword feature"},
        {{"ticket", "effective", "--default", "-", "--page", "-", "PageMediaSize"},
         "only one ticket can be read from standard input"},
        {{"ticket", "merge", "-", "-", "--scope", "job"},
         "only one ticket can be read from standard input"},
        {tooManySettings, "the settings do not fit the devmode's block"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments[1] + " " + c.arguments.back());
        const ToolRun run = RunFilterutil(c.arguments);
        EXPECT_EQ(2, run.status);
        EXPECT_EQ("", run.out);
        EXPECT_NE(std::string::npos, run.err.find(c.reason)) << run.err;
        EXPECT_EQ(std::string::npos, run.err.find("0x")) << run.err;
        EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
    }
}

// The element whose name attribute is the text, first in document order.
xmlNode* Named(xmlNode* node, const std::string& name) {
    for (; node; node = node->next) {
        if (node->type != XML_ELEMENT_NODE) {
            continue;
        }
        xmlChar* value = xmlGetProp(node, BAD_CAST "name");
        const bool match = value && name == reinterpret_cast<const char*>(value);
        xmlFree(value);
        if (match) {
            return node;
        }
        if (xmlNode* found = Named(node->children, name)) {
            return found;
        }
    }
    return nullptr;
}

// The namespace a prefix names where the node stands.
std::string NamespaceAt(xmlDoc* doc, xmlNode* node, const char* prefix) {
    const xmlNs* ns = xmlSearchNs(doc, node, BAD_CAST prefix);
    return ns ? reinterpret_cast<const char*>(ns->href) : "(undeclared)";
}

TEST(FilterutilPrivateNames, PkAlwaysNamesTheDriversNamespace) {
    struct Case {
        std::string name;
        std::string ticket;
    };
    const std::string keywords = Declare("psk", kKeywords);
    const Case cases[] = {
        {"no private declaration", TicketDeclaring(Declare("psf", kFramework) + keywords)},
        {"ns0000 is the framework, as the PrintTicket provider writes it",
         TicketDeclaring(Declare("ns0000", kFramework) + keywords, "ns0000")},
        {"ns0000 is another vendor's",
         TicketDeclaring(Declare("psf", kFramework) + keywords + Declare("ns0000", "urn:vendor"))},
        {"the private namespace declared as ns0002",
         TicketDeclaring(Declare("psf", kFramework) + keywords + Declare("ns0002", kPrivate))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchFolder folder;
        WriteFile(folder.Path("in.xml"), c.ticket);
        ToolRun run = RunFilterutil({"ticket", "set", folder.Path("in.xml"), "pk:Tray", "pk:Upper",
                                     "-o", folder.Path("set.xml")});
        ASSERT_EQ(0, run.status) << run.err;
        run = RunFilterutil({"ticket", "param", folder.Path("set.xml"), "pk:Pin", "1234", "-o",
                             folder.Path("out.xml")});
        ASSERT_EQ(0, run.status) << run.err;

        const auto doc = ParseWithLibxml2(ReadFile(folder.Path("out.xml")));
        ASSERT_TRUE(doc);
        xmlNode* root = xmlDocGetRootElement(doc.get());
        for (const char* name : {"pk:Tray", "pk:Upper", "pk:Pin"}) {
            SCOPED_TRACE(name);
            xmlNode* element = Named(root, name);
            ASSERT_NE(nullptr, element);
            EXPECT_EQ(kPrivate, NamespaceAt(doc.get(), element, "pk"));
            EXPECT_EQ(kFramework, std::string(reinterpret_cast<const char*>(element->ns->href)));
        }
        EXPECT_EQ(nullptr, Named(root, "ns0000:Tray"));
        EXPECT_EQ(nullptr, Named(root, "ns0000:Pin"));
        // The ticket's own names keep their namespaces.
        EXPECT_EQ(kKeywords, NamespaceAt(doc.get(), Named(root, "psk:PageOrientation"), "psk"));
    }

    // A ticket that gives pk to another namespace cannot take the driver's names.
    ScratchFolder folder;
    WriteFile(folder.Path("in.xml"),
              TicketDeclaring(Declare("psf", kFramework) + keywords + Declare("pk", "urn:other")));
    const ToolRun run = RunFilterutil({"ticket", "param", folder.Path("in.xml"), "pk:Pin", "1"});
    EXPECT_EQ(2, run.status);
    EXPECT_NE(std::string::npos, run.err.find("binds the prefix pk to \"urn:other\"")) << run.err;
    EXPECT_EQ("", run.out);
}

} // namespace
