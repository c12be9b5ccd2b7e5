// filterutil end to end: the program run on real tickets, its output read back with libxml2.
#include "tools/toolrunner.h"

#include "filterutilities/printschematestsupport.h"

#include <kldutil/attributebytesindexedlist.h>
#include <kldutil/kdevmode.h>
#include <kldutil/keldanutilities.h>

#include <gtest/gtest.h>

#include <cstring>

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
    EXPECT_NE(
        std::string::npos,
        ticket.out.find(
            "feature psk:JobNUpAllDocumentsContiguously: (unreadable: its Option has no name)\n"
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

namespace {

constexpr char kTicketHead[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<psf:PrintTicket "
    "xmlns:psf=\"http://schemas.microsoft.com/windows/2003/08/printing/printschemaframework\" "
    "xmlns:psk=\"http://schemas.microsoft.com/windows/2003/08/printing/printschemakeywords\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
    "xmlns:pk=\"http://schemas.keldan.com/enterprise/print/driver/native/"
    "printSchemaPrivateKeywords/2006/11\" version=\"1\">";

std::string TicketWithSnapshot(const std::string& base64) {
    return std::string(kTicketHead) +
           "<psf:ParameterInit name=\"pk:PageDevmodeSnapshot\"><psf:Value "
           "xsi:type=\"xsd:string\">" +
           base64 + "</psf:Value></psf:ParameterInit></psf:PrintTicket>";
}

// The 1,000-byte devmode of another driver that a real capabilities document carries.
std::string ForeignDevmodeBase64() {
    const std::string text = ReadFile(kData + "capabilities-generic-text-only.xml");
    const size_t parameter = text.find("ns0000:PageDevmodeSnapshot");
    const size_t defaultValue = text.find("psf:DefaultValue", parameter);
    const size_t value = text.find('>', text.find("<psf:Value", defaultValue)) + 1;
    return text.substr(value, text.find("</psf:Value>", value) - value);
}

TEST(FilterutilDevmode, NewDevmodeSetAndReadBack) {
    ScratchFolder folder;
    const std::string fresh = folder.Path("fresh.xml");
    const std::string edited = folder.Path("edited.xml");
    ToolRun run = RunFilterutil({"ticket", "devmode", "--new", kJobTicket, "-o", fresh});
    ASSERT_EQ(0, run.status) << run.err;
    run = RunFilterutil({"ticket", "devmode", "--set", "5=3", "7=-100", fresh, "-o", edited});
    ASSERT_EQ(0, run.status) << run.err;
    // A feature named twice takes its last value.
    run = RunFilterutil({"ticket", "devmode", "--set", "5=1", "5=4", edited, "-o", edited});
    ASSERT_EQ(0, run.status) << run.err;

    run = RunFilterutil({"ticket", "devmode", "--json", edited});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_NE(std::string::npos, run.out.find("\"dmSize\": 220,"));
    EXPECT_NE(std::string::npos, run.out.find(R"("privateBlock": {
    "present": true,
    "signature": true,
    "version": 1,
    "checksumOk": true
  })"));
    EXPECT_NE(std::string::npos, run.out.find(R"("1": {
      "5": 4,
      "7": -100
    })"));
    // The rest of the ticket is still there.
    run = RunFilterutil({"ticket", "show", edited});
    EXPECT_NE(std::string::npos, run.out.find("feature psk:PageMediaSize: psk:ISOA4\n"));
}

TEST(FilterutilDevmode, SnapshotsThatAreNotThisDriversAreReported) {
    ScratchFolder folder;
    struct Case {
        std::string name;
        std::string ticket;
        std::string message;
        bool printsReport;
    };
    const Case cases[] = {
        {"none", ReadFile(kJobTicket), "carries no page devmode snapshot", false},
        {"not base64", TicketWithSnapshot("this is *not* Base64!"), "is not Base64", false},
        {"too short", TicketWithSnapshot("AAAA"), "is not a devmode", false},
        {"other driver", TicketWithSnapshot(ForeignDevmodeBase64()),
         "is not a devmode of this driver", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = folder.Path(c.name + ".xml");
        WriteFile(path, c.ticket);
        const ToolRun run = RunFilterutil({"ticket", "devmode", "--json", path});
        EXPECT_EQ(2, run.status);
        EXPECT_NE(std::string::npos, run.err.find(c.message)) << run.err;
        if (c.printsReport) {
            // What could be read is shown: the other driver's public part, no block of ours.
            EXPECT_NE(std::string::npos, run.out.find("\"dmDriverExtra\": 780,")) << run.out;
            EXPECT_NE(std::string::npos, run.out.find("\"present\": false")) << run.out;
        } else {
            EXPECT_EQ("", run.out);
        }
        const ToolRun edit =
            RunFilterutil({"ticket", "devmode", "--set", "1=1", path, "-o", folder.Path("x.xml")});
        EXPECT_EQ(2, edit.status);
    }
}

// A devmode of this driver whose checksum holds but whose settings state is damaged.
std::string DamagedStateBase64() {
    ByteBuffer devmode = KDevmode::Build(AttributeBytesIndexedList());
    BYTE* block = devmode.getLpbyte() + sizeof(DEVMODEW) + 128; // where Build puts it
    block[KDevmode::kRecordsOffset + 4] ^= 0xFF;                // the state's "KPAS" magic
    tagOEMDEV copy;
    std::memcpy(&copy, block, sizeof copy);
    const DWORD checksum = KDevmode::ComputeChecksum(copy);
    std::memcpy(block + KDevmode::kChecksumOffset, &checksum, sizeof checksum);
    int length = KeldanUtilities::Base64EncodeGetRequiredLength(
        static_cast<int>(devmode.getDword()), KeldanUtilities::Base64FlagNoCrLf);
    std::u16string text(static_cast<size_t>(length), u'\0');
    KeldanUtilities::Base64Encode(devmode.getLpbyte(), static_cast<int>(devmode.getDword()),
                                  text.data(), &length, KeldanUtilities::Base64FlagNoCrLf);
    return std::string(text.begin(), text.begin() + length); // Base64 is ASCII
}

TEST(FilterutilDevmode, DamagedSettingsAreNeitherShownNorOverwritten) {
    ScratchFolder folder;
    const std::string path = folder.Path("damaged.xml");
    WriteFile(path, TicketWithSnapshot(DamagedStateBase64()));
    const ToolRun shown = RunFilterutil({"ticket", "devmode", path});
    ASSERT_EQ(0, shown.status) << shown.err;
    EXPECT_NE(std::string::npos, shown.out.find("settings: cannot be read\n"));

    const ToolRun edit =
        RunFilterutil({"ticket", "devmode", "--set", "5=3", path, "-o", folder.Path("out.xml")});
    EXPECT_EQ(2, edit.status);
    EXPECT_NE(std::string::npos, edit.err.find("the settings in the devmode cannot be read"));
}

TEST(FilterutilDevmode, BadCommandLines) {
    const std::vector<std::vector<std::string>> cases = {
        {"ticket", "devmode", "--set", "5=3", kJobTicket}, // no -o
        {"ticket", "devmode", "--new", "--set", "5", kJobTicket, "-o", "/tmp/x"},
        {"ticket", "devmode", "--new", "--set", "70000=1", kJobTicket, "-o", "/tmp/x"},
        {"ticket", "devmode", "--new", "--set", "5=99999999999", kJobTicket, "-o", "/tmp/x"},
        {"ticket", "devmode", kJobTicket, "-o", "/tmp/x"}, // -o without an edit
    };
    for (const auto& arguments : cases) {
        SCOPED_TRACE(arguments[3]);
        const ToolRun run = RunFilterutil(arguments);
        EXPECT_EQ(2, run.status);
        EXPECT_EQ(0u, run.err.rfind("filterutil: ticket devmode: ", 0)) << run.err;
    }
}

TEST(FilterutilEffective, EachFeatureFromTheNarrowestTicketOfItsScope) {
    ScratchFolder folder;
    const std::string page = folder.Path("page.xml");
    const std::string job = folder.Path("job.xml");
    const std::string document = folder.Path("document.xml");
    WriteFile(page, std::string(kTicketHead) +
                        "<psf:Feature name=\"psk:PageMediaSize\"><psf:Option name=\"psk:ISOA3\"/>"
                        "</psf:Feature><psf:Feature name=\"psk:JobInputBin\"><psf:Option "
                        "name=\"psk:Manual\"/></psf:Feature></psf:PrintTicket>");
    WriteFile(document, std::string(kTicketHead) +
                            "<psf:Feature name=\"psk:DocumentCollate\"><psf:Option "
                            "name=\"psk:Collated\"/></psf:Feature><psf:Feature "
                            "name=\"psk:PageOrientation\"><psf:Option name=\"psk:Landscape\"/>"
                            "</psf:Feature></psf:PrintTicket>");
    WriteFile(job, std::string(kTicketHead) +
                       "<psf:Feature name=\"psk:JobDuplexAllDocumentsContiguously\"><psf:Option "
                       "name=\"psk:OneSided\"/></psf:Feature></psf:PrintTicket>");
    const ToolRun run = RunFilterutil(
        {"ticket", "effective", "--json", "--default", kJobTicket, "--job", job, "--document",
         document, "--page", page, "PageMediaSize", "psk:JobDuplexAllDocumentsContiguously",
         "JobInputBin", "PageOrientation", "DocumentCollate", "DocumentBinding"});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ(R"({
  "PageMediaSize": {
    "option": "psk:ISOA3",
    "from": "page"
  },
  "psk:JobDuplexAllDocumentsContiguously": {
    "option": "psk:OneSided",
    "from": "job"
  },
  "JobInputBin": {
    "option": "psk:AutoSelect",
    "from": "default"
  },
  "PageOrientation": {
    "option": "psk:Landscape",
    "from": "document"
  },
  "DocumentCollate": {
    "option": "psk:Collated",
    "from": "document"
  },
  "DocumentBinding": null
}
)",
              run.out);

    const ToolRun missingDefault = RunFilterutil({"ticket", "effective", "--page", page, "X"});
    EXPECT_EQ(2, missingDefault.status);
    // Only Print Schema keywords are looked up: another namespace's feature is not one.
    const ToolRun otherNamespace =
        RunFilterutil({"ticket", "effective", "--default", kJobTicket, "ns0000:PageMediaSize"});
    EXPECT_EQ(2, otherNamespace.status);
    EXPECT_EQ("", otherNamespace.out);
}

} // namespace
