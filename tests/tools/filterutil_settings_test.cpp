// filterutil ticket settings: the typed settings of a page view over a job's tickets, each with
// the ticket it came from, and its answers to bad command lines.
#include "tools/toolrunner.h"

#include "filterutilities/devmodetestsupport.h"

#include <filterutilities/xpsfilterprintticket.h>

#include <kldutil/attributebytesindexedlist.h>
#include <kldutil/clientjobdatareaderwriter.h>
#include <kldutil/kdevmode.h>
#include <kldutil/printer.h>

#include <handleapi.h>
#include <objbase.h>
#include <processthreadsapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
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
              "the default ticket)\n"
              // The built-in printer's margins of 4233 um, turned for ReversePortrait.
              "imageable area: origin 4233 x 4233, extent 201534 x 288534 on a page of 210000 "
              "x 297000 um\n"
              "watermark: none (type 4) (settings text: none; data model: the document ticket)\n"
              "  offset 0 x 0 (1/96 in), on a page of 793.701 x 1122.52\n"
              "  draw mode 1, data-model watermark no\n",
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
  },
  "imageableArea": {
    "value": {
      "width": 215900,
      "height": 279400,
      "originWidth": 4233,
      "originHeight": 4233,
      "extentWidth": 207434,
      "extentHeight": 270934
    },
    "state": "read"
  },
  "watermark": {
    "type": "none",
    "typeNumber": 4,
    "text": "",
    "font": {
      "face": "Arial",
      "pointSize": 72,
      "height": 0,
      "weight": 400,
      "italic": 0,
      "underline": 0,
      "strikeOut": 0,
      "charSet": 0,
      "escapement": 0
    },
    "colour": "#000000",
    "density": 25,
    "angle": 0,
    "x": 0,
    "y": 0,
    "extentWidth": 816,
    "extentHeight": 1056,
    "xOffset": 0,
    "yOffset": 0,
    "pageWidth": 816,
    "pageHeight": 1056,
    "imageFile": "",
    "imageScale": 0,
    "drawMode": 1,
    "dataModelWatermark": false,
    "state": "read",
    "settingsFrom": "none",
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
        "output paper size: 215900 x 279400 um, value id 5001, the page media size (defaults)\n"
        // An orientation that cannot be read turns nothing.
        "imageable area: origin 4233 x 4233, extent 207434 x 270934 on a page of 215900 x "
        "279400 um\n"
        "watermark: none (type 4) (settings text: none; data model: the page ticket)\n"
        "  offset 0 x 0 (1/96 in), on a page of 816 x 1056\n"
        "  draw mode 1, data-model watermark no\n",
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

// The numbers of a flat JSON object's members, and its strings, read with a small scanner of
// the tool's own layout: "key": value on each line.
std::map<std::string, std::string> Members(const std::string& json, const std::string& object) {
    std::map<std::string, std::string> members;
    const size_t start = json.find("\"" + object + "\": {");
    if (start == std::string::npos) {
        return members;
    }
    int depth = 0;
    for (size_t at = json.find('{', start); at < json.size(); ++at) {
        if (json[at] == '{') {
            ++depth;
        } else if (json[at] == '}' && --depth == 0) {
            break;
        } else if (json[at] == '"' && depth == 1) {
            const size_t keyEnd = json.find('"', at + 1);
            const std::string key = json.substr(at + 1, keyEnd - at - 1);
            size_t valueStart = json.find_first_not_of(": ", keyEnd + 1);
            size_t valueEnd = json.find_first_of(",\n", valueStart);
            if (json[valueStart] == '{') {
                at = keyEnd;
                continue;
            }
            members[key] = json.substr(valueStart, valueEnd - valueStart);
            at = valueEnd - 1;
        }
    }
    return members;
}

double NumberOf(const std::map<std::string, std::string>& members, const std::string& key) {
    const auto found = members.find(key);
    return found == members.end() ? -1e300 : std::strtod(found->second.c_str(), nullptr);
}

class FilterutilSettingsWatermark : public FilterutilSettings {
protected:
    void SetUp() override {
        setenv("FILTERUTILITIES_SPOOL", folder_.Path("spool").c_str(), 1);
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    }
    void TearDown() override {
        CoUninitialize();
        unsetenv("FILTERUTILITIES_SPOOL");
    }

    // The watermark record the library makes for the same tickets and settings text.
    PrintSchema::Watermark::WatermarkData InProcess(const std::string& defaultTicket,
                                                    const std::string& pageTicket,
                                                    const std::u16string& settings) {
        CComPtr<IXMLDOMDocument2> dom = printschematest::LoadBytes(ReadFile(defaultTicket));
        CComPtr<IXMLDOMDocument2> page = printschematest::LoadBytes(ReadFile(pageTicket));
        HANDLE token = nullptr;
        EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_IMPERSONATE | TOKEN_QUERY, &token));
        XpsFilterPrintTicket view;
        view.Initialize(kPTPageScope, dom, nullptr, nullptr, page, nullptr,
                        CXString(u"FilterUtilities XPS Printer"), token);
        const auto media = view.GetPageMediaSize();
        view.SetPageSize(media.width * 96.0 / 25400.0, media.height * 96.0 / 25400.0, {});
        CXString text(settings.c_str());
        const PrintSchema::Watermark::WatermarkData record = view.ParseWatermarkData(&text);
        CloseHandle(token);
        return record;
    }
};

TEST_F(FilterutilSettingsWatermark, TheToolDrawsTheWatermarkTheLibraryParses) {
    const std::u16string settings =
        u"<IniDataType>38</IniDataType><DrawMode>7170</DrawMode><Type>0</Type>"
        u"<KldWmText>CONFIDENTIAL</KldWmText><FontHeight>48</FontHeight><FontEsc>450</FontEsc>"
        u"<FontWeight>700</FontWeight><FontFace>Helvetica</FontFace><Red>255</Red>"
        u"<XOffset>10</XOffset>";
    // The page ticket carries the driver's data model, so that the page is the default
    // ticket's A4.
    const std::string page = Write("page.xml", DataModelSnapshot());
    const PrintSchema::Watermark::WatermarkData expected = InProcess(kJobTicket, page, settings);
    ASSERT_GT(expected.extentWidth, 0.0f);

    const ToolRun run =
        RunFilterutil({"ticket", "settings", "--json", "--printer", "FilterUtilities XPS Printer",
                       "--page", page, "--watermark", printschematest::Utf8(settings), kJobTicket});
    ASSERT_EQ(0, run.status) << run.err;
    const auto watermark = Members(run.out, "watermark");
    EXPECT_EQ("\"text\"", watermark.at("type"));
    EXPECT_EQ("\"CONFIDENTIAL\"", watermark.at("text"));
    EXPECT_EQ("\"#FF0000\"", watermark.at("colour"));
    EXPECT_EQ("45", watermark.at("angle"));
    EXPECT_EQ("0", watermark.at("drawMode"));
    EXPECT_EQ("\"--watermark\"", watermark.at("settingsFrom"));
    // The measured extent and the centred position, as the library computes them for an A4
    // page (the default ticket's media size) in 1/96 inch.
    EXPECT_NEAR(210000 * 96.0 / 25400.0, NumberOf(watermark, "pageWidth"), 1e-9);
    for (const auto& [key, value] :
         std::map<std::string, double>{{"extentWidth", expected.extentWidth},
                                       {"extentHeight", expected.extentHeight},
                                       {"x", expected.x},
                                       {"y", expected.y},
                                       {"xOffset", expected.xOffset}}) {
        EXPECT_NEAR(value, NumberOf(watermark, key), 1e-3) << key;
    }
    EXPECT_NEAR((NumberOf(watermark, "pageWidth") - NumberOf(watermark, "extentWidth")) / 2,
                NumberOf(watermark, "x"), 1e-3);

    // A landscape page turns the page the watermark is centred on.
    const std::string landscape =
        Write("landscape.xml", FeatureXml("PageOrientation", "Landscape") + DataModelSnapshot());
    const ToolRun turned = RunFilterutil({"ticket", "settings", "--page", landscape, "--watermark",
                                          printschematest::Utf8(settings), kJobTicket});
    ASSERT_EQ(0, turned.status) << turned.err;
    EXPECT_NE(std::string::npos, turned.out.find(" (1/96 in), on a page of 1122.52 x 793.701\n"))
        << turned.out;
}

TEST_F(FilterutilSettingsWatermark, TheSettingsTextOfAJobComesFromItsClientJobData) {
    {
        const Printer printer = Printer::CreateHandle(u"FilterUtilities XPS Printer");
        ASSERT_TRUE(printer);
        const ClientJobDataReaderWriter job(printer.GetHandle(), 12);
        ASSERT_TRUE(job.SetStringInParameterList(
            3, u"<Type>2</Type><ImageFile>/srv/logo\u001b.png</ImageFile><Scale>0</Scale>"));
        ASSERT_TRUE(job.SetByteBufferInParameterList(4, ByteBuffer(3, 0xAB)));
    }
    const ToolRun run =
        RunFilterutil({"ticket", "settings", "--watermark-job", "12:3", kJobTicket});
    ASSERT_EQ(0, run.status) << run.err;
    // The file name's control character is escaped.
    EXPECT_NE(std::string::npos,
              run.out.find("watermark: image \"/srv/logo\\u001b.png\" (settings text: client "
                           "job data 12:3; data model: none)\n  scale 1, density 25\n"))
        << run.out;

    // No text watermark without a settings text: the record says none.
    const ToolRun none = RunFilterutil({"ticket", "settings", kJobTicket});
    ASSERT_EQ(0, none.status) << none.err;
    EXPECT_NE(std::string::npos,
              none.out.find("watermark: none (type 4) (settings text: none; data model: none)\n"))
        << none.out;

    struct Case {
        std::vector<std::string> arguments;
        std::string reason;
    };
    const Case cases[] = {
        {{"--watermark-job", "12:4"}, "has no client job data text 4 for job 12"},
        {{"--watermark-job", "13:3"}, "has no client job data text 3 for job 13"},
        {{"--watermark-job", "0:3"}, "takes JOB:PARAMETER"},
        {{"--watermark-job", "12"}, "takes JOB:PARAMETER"},
        {{"--watermark-job", "12:-1"}, "takes JOB:PARAMETER"},
        {{"--watermark-job", "99999999999:1"}, "takes JOB:PARAMETER"},
        {{"--watermark-job", "12:3", "--watermark", "x"}, "one watermark settings text only"},
        {{"--watermark", "\xff"}, "not UTF-8 text"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments = {"ticket", "settings"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        arguments.push_back(kJobTicket);
        SCOPED_TRACE(c.reason);
        const ToolRun bad = RunFilterutil(arguments);
        EXPECT_EQ(2, bad.status);
        EXPECT_EQ("", bad.out);
        EXPECT_NE(std::string::npos, bad.err.find(c.reason)) << bad.err;
        EXPECT_EQ(1, std::count(bad.err.begin(), bad.err.end(), '\n')) << bad.err;
    }
}

} // namespace
