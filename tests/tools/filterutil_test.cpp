// filterutil end to end: the program run on real tickets, its output read back with libxml2.
#include "tools/toolrunner.h"

#include "filterutilities/printschematestsupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using printschematest::Canonical;
using printschematest::ParseWithLibxml2;
using printschematest::RedundantDeclarations;

size_t CountOf(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

const std::string kData = FILTERUTILITIES_TEST_DATA "/printschema/";
const std::string kJobTicket = FILTERUTILITIES_EXAMPLES "/tickets/job-ticket-a4-duplex.xml";

TEST(FilterutilShow, JsonOfARealTicketFollowsParameterReferences) {
    const ToolRun run =
        RunFilterutil({"ticket", "show", "--json", kData + "ticket-custom-media-size.xml"});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ(R"({
  "root": "PrintTicket",
  "prefixes": {
    "framework": "psf:",
    "keywords": "psk:",
    "userKeywords": "ns0000:"
  },
  "features": [
    {
      "name": "psk:PageMediaSize",
      "option": "psk:CustomMediaSize",
      "scoredProperties": {
        "psk:MediaSizeWidth": "2540",
        "psk:MediaSizeHeight": "4233"
      },
      "features": []
    }
  ],
  "parameterInits": {
    "psk:PageMediaSizeMediaSizeWidth": "2540",
    "psk:PageMediaSizeMediaSizeHeight": "4233"
  }
}
)",
              run.out);
    EXPECT_EQ("", run.err);
}

TEST(FilterutilShow, ReadsEveryRealDocument) {
    struct Case {
        std::string file;
        std::string firstLine;
    };
    const Case cases[] = {
        {kData + "ticket-3d-example.xml", "PrintTicket"},
        {kData + "ticket-pin-printing.xml", "PrintTicket"},
        {kData + "capabilities-docs-example.xml", "PrintCapabilities"},
        {kData + "capabilities-generic-text-only.xml", "PrintCapabilities"},
        {kData + "capabilities-kip-nup.xml", "PrintCapabilities"},
        {kJobTicket, "PrintTicket"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        for (const bool json : {false, true}) {
            std::vector<std::string> arguments{"ticket", "show", c.file};
            if (json) {
                arguments.insert(arguments.begin() + 2, "--json");
            }
            const ToolRun run = RunFilterutil(arguments);
            ASSERT_EQ(0, run.status) << run.err;
            if (json) {
                EXPECT_NE(std::string::npos, run.out.find("\"root\": \"" + c.firstLine + "\""));
            } else {
                EXPECT_EQ(0u, run.out.rfind(c.firstLine + "\n", 0));
            }
        }
    }
}

TEST(FilterutilShow, NestedFeaturesAndCapabilityOptions) {
    const ToolRun ticket = RunFilterutil({"ticket", "show", kJobTicket});
    ASSERT_EQ(0, ticket.status) << ticket.err;
    EXPECT_NE(std::string::npos,
              ticket.out.find("feature psk:JobNUpAllDocumentsContiguously: (none)\n"
                              "    psk:PagesPerSheet = 2\n"
                              "  feature psk:PresentationDirection: psk:RightBottom\n"));
    EXPECT_NE(std::string::npos, ticket.out.find("    psk:Scale = 85\n")); // through ParameterRef

    const ToolRun nup =
        RunFilterutil({"ticket", "show", "--json", kData + "capabilities-kip-nup.xml"});
    ASSERT_EQ(0, nup.status) << nup.err;
    EXPECT_NE(std::string::npos, nup.out.find(R"("name": null,
          "scoredProperties": {
            "psk:PagesPerSheet": "4"
          })"));
    EXPECT_NE(std::string::npos, nup.out.find(R"("name": "ns0000:Borders")"));
}

TEST(FilterutilErrors, BadInputIsOneLineAndStatusTwo) {
    ScratchFolder folder;
    WriteFile(folder.Path("broken.xml"), "<psf:PrintTicket");
    WriteFile(folder.Path("other.xml"), "<html/>");
    WriteFile(folder.Path("default-ns.xml"),
              "<PrintTicket xmlns=\"http://schemas.microsoft.com/windows/2003/08/printing/"
              "printschemaframework\"/>");
    WriteFile(folder.Path("dtd.xml"),
              "<!DOCTYPE a [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><a>&e;</a>");
    WriteFile(folder.Path("empty.xml"), "");
    const std::vector<std::vector<std::string>> cases = {
        {"ticket", "show", folder.Path("broken.xml")},
        {"ticket", "show", folder.Path("other.xml")},
        {"ticket", "show", folder.Path("default-ns.xml")},
        {"ticket", "show", folder.Path("dtd.xml")},
        {"ticket", "show", folder.Path("empty.xml")},
        {"ticket", "show", folder.Path("missing.xml")},
        {"ticket", "show"},
        {"ticket", "show", "--yaml", kJobTicket},
        {"ticket", "frobnicate", kJobTicket},
        {"ticket", "set", kData + "capabilities-kip-nup.xml", "psk:A", "psk:B"},
        {"ticket", "set", kJobTicket, "psk:PageMediaSize"},
        {"ticket", "set", kJobTicket, "PageMediaSize", "psk:ISOA3"},
        {"ticket", "param", kJobTicket, "psk:JobCopiesAllDocuments", "two", "--integer"},
        {"ticket", "param", kJobTicket, "psk:JobCopiesAllDocuments", "4294967296", "--integer"},
        {"ticket", "param", kJobTicket, "psk:JobCopiesAllDocuments", "2", "-o"},
    };
    for (const auto& arguments : cases) {
        std::string shown;
        for (const auto& argument : arguments) {
            shown += argument + " ";
        }
        SCOPED_TRACE(shown);
        const ToolRun run = RunFilterutil(arguments);
        EXPECT_EQ(2, run.status);
        EXPECT_EQ("", run.out);
        EXPECT_EQ(0u, run.err.rfind("filterutil: ", 0)) << run.err;
        EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
    }
}

// The ticket as the DOM holds it after loading: canonical, whitespace-only text left out.
std::string CanonicalFile(const std::string& path) {
    return Canonical(ReadFile(path));
}

TEST(FilterutilSet, ReplacesTheFeatureWhereItStandsAndChangesNothingElse) {
    ScratchFolder folder;
    const std::string original = ReadFile(kJobTicket);
    const std::string changed = folder.Path("changed.xml");
    const std::string restored = folder.Path("restored.xml");

    ToolRun run =
        RunFilterutil({"ticket", "set", kJobTicket, "psk:JobDuplexAllDocumentsContiguously",
                       "psk:OneSided", "-o", changed});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ(original, ReadFile(kJobTicket)); // the input is never touched
    const std::string bytes = ReadFile(changed);
    EXPECT_EQ(0u, bytes.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0));
    EXPECT_EQ(std::vector<std::string>{}, RedundantDeclarations(ParseWithLibxml2(bytes).get()));

    run = RunFilterutil({"ticket", "show", changed});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_NE(std::string::npos,
              run.out.find("feature psk:JobDuplexAllDocumentsContiguously: psk:OneSided\n"));

    // Setting the old option back gives the original document, feature order included.
    run = RunFilterutil({"ticket", "set", changed, "psk:JobDuplexAllDocumentsContiguously",
                         "psk:TwoSidedLongEdge", "-o", restored});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ(CanonicalFile(kJobTicket), CanonicalFile(restored));
}

TEST(FilterutilSet, KeepsSubFeaturesAndAddsMissingFeatures) {
    ScratchFolder folder;
    const std::string out = folder.Path("out.xml");
    ToolRun run = RunFilterutil({"ticket", "set", kJobTicket, "psk:JobNUpAllDocumentsContiguously",
                                 "psk:Custom", "-o", out});
    ASSERT_EQ(0, run.status) << run.err;
    run = RunFilterutil({"ticket", "set", out, "psk:PageBorderless", "psk:None", "-o", out});
    ASSERT_EQ(0, run.status) << run.err;
    run = RunFilterutil({"ticket", "show", out});
    EXPECT_NE(std::string::npos,
              run.out.find("feature psk:JobNUpAllDocumentsContiguously: psk:Custom\n"
                           "  feature psk:PresentationDirection: psk:RightBottom\n"));
    EXPECT_NE(std::string::npos,
              run.out.find("feature psk:PageBorderless: psk:None\nparameter psk:PageScalingScale"));
}

TEST(FilterutilSet, WritesToStandardOutputWithoutOutputFile) {
    ScratchFolder folder;
    const std::string copy = folder.Path("ticket.xml");
    WriteFile(copy, ReadFile(kData + "ticket-custom-media-size.xml"));
    const ToolRun run =
        RunFilterutil({"ticket", "set", copy, "psk:PageOrientation", "psk:Landscape"});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ(ReadFile(kData + "ticket-custom-media-size.xml"), ReadFile(copy));
    EXPECT_NE(std::string::npos,
              Canonical(run.out).find("<psf:Feature name=\"psk:PageOrientation\"><psf:Option "
                                      "name=\"psk:Landscape\"></psf:Option></psf:Feature>"));
}

TEST(FilterutilParam, ReplacesInPlaceOrAppends) {
    struct Case {
        std::vector<std::string> extra;
        std::string expectedValue;
    };
    const Case cases[] = {
        {{"psk:JobCopiesAllDocuments", "7", "--integer"},
         "<psf:ParameterInit name=\"psk:JobCopiesAllDocuments\"><psf:Value "
         "xsi:type=\"xsd:integer\">7</psf:Value></psf:ParameterInit></psf:PrintTicket>"},
        {{"psk:PageScalingScale", "-5", "--integer"},
         "<psf:ParameterInit name=\"psk:PageScalingScale\"><psf:Value "
         "xsi:type=\"xsd:integer\">-5</psf:Value></psf:ParameterInit><psf:ParameterInit"},
        {{"psk:JobPasscodeString", "a<b & \xc3\xa9"},
         "<psf:ParameterInit name=\"psk:JobPasscodeString\"><psf:Value "
         "xsi:type=\"xsd:string\">a&lt;b &amp; "
         "\xc3\xa9</psf:Value></psf:ParameterInit></psf:PrintTicket>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extra[0]);
        ScratchFolder folder;
        std::vector<std::string> arguments{"ticket", "param", kJobTicket};
        arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());
        arguments.insert(arguments.end(), {"-o", folder.Path("out.xml")});
        const ToolRun run = RunFilterutil(arguments);
        ASSERT_EQ(0, run.status) << run.err;
        const std::string canonical = CanonicalFile(folder.Path("out.xml"));
        EXPECT_NE(std::string::npos, canonical.find(c.expectedValue)) << canonical;
        EXPECT_EQ(1u, CountOf(canonical, "<psf:ParameterInit name=\"" + c.extra[0] + "\""))
            << "replaced, not added";
    }
}

TEST(FilterutilPrune, RemovesOnlyUnreferencedInitialisers) {
    ScratchFolder folder;
    const std::string out = folder.Path("out.xml");
    const ToolRun run = RunFilterutil({"ticket", "prune", kJobTicket, "-o", out});
    ASSERT_EQ(0, run.status) << run.err;
    const std::string canonical = CanonicalFile(out);
    EXPECT_NE(std::string::npos, canonical.find("name=\"psk:PageScalingScale\""));
    EXPECT_EQ(std::string::npos, canonical.find("name=\"psk:JobCopiesAllDocuments\""));
}

} // namespace
