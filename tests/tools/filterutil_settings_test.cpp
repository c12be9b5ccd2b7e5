// filterutil ticket settings: the typed settings of a page view over a job's tickets, each with
// the ticket it came from, and its answers to bad command lines.
#include "tools/toolrunner.h"

#include "filterutilities/devmodetestsupport.h"

#include <kldutil/attributebytesindexedlist.h>
#include <kldutil/kdevmode.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using devmodetest::Base64;
using devmodetest::FeatureXml;
using devmodetest::SnapshotXml;
using devmodetest::TicketXml;

const std::string kJobTicket = FILTERUTILITIES_EXAMPLES "/tickets/job-ticket-a4-duplex.xml";

// The driver's data model: 16 up, booklet bound on the right with measures of an inch and
// a half inch, scaling at 150 % aligned top right.
std::string DataModelSnapshot() {
    AttributeBytesIndexedList model;
    const auto f = [](int id) { return AttributeBytesFeatureId(id); };
    model.SetOptionValue(f(215), 7245);
    model.SetBooleanValue(f(216), true);
    model.SetOptionValue(f(51), 5461);
    model.SetIntegerValue(f(312), 25400);
    model.SetIntegerValue(f(313), 12700);
    model.SetOptionValue(f(219), 7262);
    model.SetIntegerValue(f(160), 150);
    model.SetOptionValue(f(161), 7463);
    return SnapshotXml(Base64(KDevmode::Build(model)));
}

class FilterutilSettings : public testing::Test {
protected:
    std::string Write(const std::string& name, const std::string& body) {
        WriteFile(folder_.Path(name), TicketXml(body));
        return folder_.Path(name);
    }
    ScratchFolder folder_;
};

TEST_F(FilterutilSettings, EachSettingSaysWhichTicketAnswered) {
    const std::string document =
        Write("document.xml", FeatureXml("PageOrientation", "Landscape") + DataModelSnapshot());
    const std::string page =
        Write("page.xml", FeatureXml("PageOrientation", "ReversePortrait") +
                              FeatureXml("JobDuplexAllDocumentsContiguously", "TwoSidedShortEdge"));

    const ToolRun text =
        RunFilterutil({"ticket", "settings", "--document", document, "--page", page, kJobTicket});
    ASSERT_EQ(0, text.status) << text.err;
    EXPECT_EQ("data model: the devmode of the document ticket\n"
              // A job feature in the page ticket is not the page's to set.
              "duplex: TwoSidedLongEdge (from the default ticket)\n"
              "orientation: ReversePortrait (from the page ticket)\n"
              "page scaling: FitApplicationMediaSizeToPageMediaSize, 150 % x 150 %, offset 0 x "
              "0, alignment TopRight, active, value ids 7262 and 5600 (from the document "
              "ticket)\n"
              "page media size: 210000 x 297000 um (from the default ticket)\n"
              "booklet binding: BindRight, measures 600 (1/600 in) and 600 (1/1200 in) (from "
              "the document ticket)\n"
              "pages per sheet: 16, value ids 7611 and 8010 (from the document ticket)\n"
              "output paper size: 210000 x 297000 um, value id 5001, the page media size (from "
              "the default ticket)\n",
              text.out);
    EXPECT_EQ("", text.err);

    // Without the driver's data model: its settings and the media size are the defaults; the
    // JSON form, with the default ticket from standard input.
    ToolSetting fromStandardInput;
    fromStandardInput.standardInput = kJobTicket;
    const ToolRun json = RunFilterutil({"ticket", "settings", "--json", "-"}, fromStandardInput);
    ASSERT_EQ(0, json.status) << json.err;
    EXPECT_EQ(R"({
  "dataModel": null,
  "duplex": {
    "value": "TwoSidedLongEdge",
    "state": "read",
    "from": "default"
  },
  "orientation": {
    "value": "Portrait",
    "state": "read",
    "from": "default"
  },
  "pageScaling": {
    "value": {
      "option": "FitApplicationMediaSizeToPageMediaSize",
      "scaleWidth": 100,
      "scaleHeight": 100,
      "offsetWidth": 0,
      "offsetHeight": 0,
      "alignment": "Center",
      "active": false,
      "scalingValueId": 7261,
      "secondValueId": 5600
    },
    "state": "defaults",
    "from": null
  },
  "pageMediaSize": {
    "value": {
      "width": 215900,
      "height": 279400
    },
    "state": "defaults",
    "from": null
  },
  "bookletBinding": {
    "value": {
      "option": "None",
      "firstMeasure": 0,
      "secondMeasure": 0
    },
    "state": "defaults",
    "from": null
  },
  "nUp": {
    "value": {
      "pagesPerSheet": 1,
      "firstValueId": 7611,
      "secondValueId": 8010
    },
    "state": "defaults",
    "from": null
  },
  "outputPaperSize": {
    "value": {
      "width": 215900,
      "height": 279400,
      "valueId": 5001,
      "fromDataModel": false
    },
    "state": "defaults",
    "from": null
  }
}
)",
              json.out);
}

TEST_F(FilterutilSettings, AbsentAndUnreadableSettingsAreReportedOneByOne) {
    // An orientation option without a prefix, and a data model whose scaling option is stored
    // as a number: those two cannot be read, the others are still answered.
    AttributeBytesIndexedList model;
    model.SetIntegerValue(AttributeBytesFeatureId(219), 7262);
    model.SetOptionValue(AttributeBytesFeatureId(215), 7241);
    const std::string page =
        Write("page.xml", "  <psf:Feature name=\"psk:PageOrientation\"><psf:Option "
                          "name=\"Landscape\"/></psf:Feature>\n" +
                              SnapshotXml(Base64(KDevmode::Build(model))));
    const std::string plain = Write("plain.xml", FeatureXml("PageOutputColor", "Color"));
    const ToolRun run = RunFilterutil({"ticket", "settings", "--page", page, plain});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ(
        "data model: the devmode of the page ticket\n"
        "duplex: OneSided (not set)\n"
        "orientation: Portrait (unreadable: unspecified failure (0x80004005))\n"
        "page scaling: None, 100 % x 100 %, offset 0 x 0, alignment Center, inactive, value ids "
        "7261 and 5600 (unreadable: a setting of the wrong kind (0x80020005))\n"
        "page media size: 215900 x 279400 um (not set)\n"
        "booklet binding: None, measures 0 (1/600 in) and 0 (1/1200 in) (from the page ticket)\n"
        "pages per sheet: 2, value ids 7611 and 8010 (from the page ticket)\n"
        "output paper size: 215900 x 279400 um, value id 5001, the page media size (defaults)\n",
        run.out);
}

TEST_F(FilterutilSettings, BadInputSaysWhyWithStatusTwo) {
    const std::string ticket = Write("ticket.xml", FeatureXml("PageOrientation", "Portrait"));
    WriteFile(folder_.Path("broken.xml"), "<psf:PrintTicket");
    const std::string capabilities =
        FILTERUTILITIES_TEST_DATA "/printschema/capabilities-kip-nup.xml";
    struct Case {
        std::vector<std::string> arguments;
        std::string reason;
    };
    const Case cases[] = {
        {{}, "name the user's DEFAULT ticket"},
        {{"--job", ticket}, "name the user's DEFAULT ticket"},
        {{ticket, ticket}, "one DEFAULT ticket only"},
        {{"--page"}, "--page needs a value"},
        {{"--page", ticket, "--page", ticket, ticket}, "--page is given twice"},
        {{"--scope", "page", ticket}, "unknown option --scope"},
        {{"--printer", "No Such Printer", ticket}, "no printer is named \"No Such Printer\""},
        {{"--printer", "", ticket}, "cannot name a printer"},
        {{"--printer", "\xff", ticket}, "cannot name a printer"},
        {{"--page", "-", "-"}, "only one ticket can be read from standard input"},
        {{folder_.Path("missing.xml")}, "No such file or directory"},
        {{folder_.Path("")}, "is a directory"},
        {{folder_.Path("broken.xml")}, "not well-formed"},
        {{"--document", capabilities, ticket}, "not a print ticket"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments = {"ticket", "settings"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        SCOPED_TRACE(c.reason);
        const ToolRun run = RunFilterutil(arguments);
        EXPECT_EQ(2, run.status);
        EXPECT_EQ("", run.out);
        EXPECT_NE(std::string::npos, run.err.find(c.reason)) << run.err;
        EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
    }
}

} // namespace
