// filterutil forms and ticket mediasize: a printer's forms as a filter sees them, and one of
// them written into a ticket as its PageMediaSize.
#include "tools/toolrunner.h"

#include "filterutilities/devmodetestsupport.h"
#include "filterutilities/printschematestsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using devmodetest::FeatureXml;
using devmodetest::TicketXml;
using printschematest::Canonical;

const std::string kJobTicket = FILTERUTILITIES_EXAMPLES "/tickets/job-ticket-a4-duplex.xml";

TEST(FilterutilForms, ListsEveryFormWithWhatAFilterMakesOfIt) {
    const ToolRun run = RunFilterutil({"forms"});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ(
        "printer: FilterUtilities XPS Printer\n"
        "forms (number, width x height in tenths of a millimetre, paper size id, kind, whether "
        "a ticket may name it, option):\n"
        "  Letter: 1, 2159 x 2794, 5101, 25001 (driver form), kept, psk:NorthAmericaLetter "
        "(keywords)\n"
        "  Legal: 5, 2159 x 3556, 5105, 25001 (driver form), kept, psk:NorthAmericaLegal "
        "(keywords)\n"
        "  A3: 8, 2970 x 4200, 5108, 25001 (driver form), kept, psk:ISOA3 (keywords)\n"
        "  A4: 9, 2100 x 2970, 5109, 25001 (driver form), kept, psk:ISOA4 (keywords)\n"
        "  A5: 11, 1480 x 2100, 5111, 25001 (driver form), kept, psk:ISOA5 (keywords)\n"
        "  A6: 70, 1050 x 1480, 5170, 25002 (hidden form), dropped, psk:ISOA6 (keywords)\n"
        "  A4: 9, 2100 x 2970, 5109, 25004 (system form), dropped, psk:ISOA4 (keywords)\n"
        "  B5 (JIS): 13, 1820 x 2570, 5113, 25004 (system form), kept, psk:JISB5 (keywords)\n"
        "  Ledger: 4, 4318 x 2794, 5104, 25004 (system form), kept, pk:Ledger (private)\n"
        "  Label 100 x 200 mm: 3, 1000 x 2000, 5503, 25005 (user form), kept, "
        "pk:UserForm_3_1000x2000 (private)\n"
        "  My Letter: 2, 2159 x 2794, 5504, 25005 (user form), dropped, "
        "pk:UserForm_2_2159x2794 (private)\n"
        "  Photo 120 x 180 mm: 300, 1200 x 1800, 5600, 25003 (driver custom size), kept, "
        "pk:DriverCustomSize_300_1200x1800 (private)\n"
        "  Label 100 x 200 mm (driver): 301, 1000 x 2000, 5601, 25003 (driver custom size), "
        "dropped, pk:DriverCustomSize_301_1000x2000 (private)\n"
        "  B4 (ISO): 42, 2500 x 3530, 5142, 25006 (unknown kind), dropped, no option: the "
        "library cannot name it: unspecified failure (0x80004005)\n"
        "  DL Envelope: 27, 1100 x 2200, 5127, 25007 (unknown kind), dropped, no option: the "
        "library cannot name it: unspecified failure (0x80004005)\n"
        "  Custom size: 256, 0 x 0, 5256, 25008 (custom size), kept, psk:CustomMediaSize "
        "(keywords)\n",
        run.out);

    const ToolRun json =
        RunFilterutil({"forms", "--json", "--printer", "filterutilities xps printer"});
    ASSERT_EQ(0, json.status) << json.err;
    EXPECT_NE(std::string::npos, json.out.find(R"({
      "number": 3,
      "name": "Label 100 x 200 mm",
      "width": 1000,
      "height": 2000,
      "paperSizeId": 5503,
      "kind": 25005,
      "kindName": "user form",
      "kept": true,
      "option": "pk:UserForm_3_1000x2000",
      "namespace": "private"
    })"))
        << json.out;
    EXPECT_NE(std::string::npos, json.out.find(R"j("option": null,
      "namespace": null,
      "problem": "the library cannot name it: unspecified failure (0x80004005)")j"))
        << json.out;
}

TEST(FilterutilForms, BadCommandLinesSayWhyWithStatusTwo) {
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    } const cases[] = {
        {{"forms", "--printer", "Nobody"}, "no printer is named \"Nobody\""},
        {{"forms", "--printer"}, "--printer needs a value"},
        {{"forms", "--printer", "A", "--printer", "B"}, "--printer is given twice"},
        {{"forms", "--printer", "\xff"}, "cannot name a printer"},
        {{"forms", "extra"}, "unknown argument extra"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const ToolRun run = RunFilterutil(c.arguments);
        EXPECT_EQ(2, run.status);
        EXPECT_EQ("", run.out);
        EXPECT_NE(std::string::npos, run.err.find(c.message)) << run.err;
    }
}

// The ticket as the library writes it, for comparing with what the tool wrote: the library
// names the driver's namespace pk.
std::string Expected(const std::string& body) {
    std::string text = TicketXml(body);
    for (size_t at = text.find("ns0000"); at != std::string::npos; at = text.find("ns0000", at)) {
        text.replace(at, 6, "pk");
    }
    return Canonical(text);
}

std::string ScoredInteger(const std::string& name, int value) {
    return "<psf:ScoredProperty name=\"psk:" + name + "\"><psf:Value xsi:type=\"xsd:integer\">" +
           std::to_string(value) + "</psf:Value></psf:ScoredProperty>";
}
std::string ScoredReference(const std::string& name, const std::string& parameter) {
    return "<psf:ScoredProperty name=\"psk:" + name +
           "\"><psf:ParameterRef name=\"psk:" + parameter + "\"/></psf:ScoredProperty>";
}
std::string IntegerInit(const std::string& name, int value) {
    return "<psf:ParameterInit name=\"psk:" + name + "\"><psf:Value xsi:type=\"xsd:integer\">" +
           std::to_string(value) + "</psf:Value></psf:ParameterInit>";
}

TEST(FilterutilMediaSize, WritesTheFormAFilterWould) {
    ScratchFolder folder;
    const std::string input = folder.Path("in.xml");
    // An old custom size with its initialisers, which the new size replaces.
    WriteFile(input, TicketXml(FeatureXml("PageOrientation", "Portrait") +
                               "<psf:Feature name=\"psk:PageMediaSize\"><psf:Option "
                               "name=\"psk:CustomMediaSize\"/></psf:Feature>" +
                               IntegerInit("PageMediaSizeMediaSizeWidth", 1) +
                               IntegerInit("JobCopiesAllDocuments", 2)));
    const std::string kept =
        FeatureXml("PageOrientation", "Portrait") + IntegerInit("JobCopiesAllDocuments", 2);
    struct Case {
        std::vector<std::string> selection;
        std::string written;
    } const cases[] = {
        {{"--size", "8.5x11in"},
         "<psf:Feature name=\"psk:PageMediaSize\"><psf:Option name=\"psk:NorthAmericaLetter\">" +
             ScoredInteger("MediaSizeWidth", 215900) + ScoredInteger("MediaSizeHeight", 279400) +
             "</psf:Option></psf:Feature>"},
        {{"--form", "Label 100 x 200 mm"},
         "<psf:Feature name=\"psk:PageMediaSize\"><psf:Option "
         "name=\"pk:UserForm_3_1000x2000\">" +
             ScoredInteger("MediaSizeWidth", 100000) + ScoredInteger("MediaSizeHeight", 200000) +
             "</psf:Option></psf:Feature>"},
        {{"--size", "150x250.04"},
         "<psf:Feature name=\"psk:PageMediaSize\"><psf:Option name=\"psk:CustomMediaSize\">" +
             ScoredReference("MediaSizeWidth", "PageMediaSizeMediaSizeWidth") +
             ScoredReference("MediaSizeHeight", "PageMediaSizeMediaSizeHeight") +
             "</psf:Option></psf:Feature>" + IntegerInit("PageMediaSizeMediaSizeWidth", 150000) +
             IntegerInit("PageMediaSizeMediaSizeHeight", 250000)},
        {{"--size", "150x250mm", "--postscript"},
         "<psf:Feature name=\"psk:PageMediaSize\"><psf:Option name=\"psk:PSCustomMediaSize\">" +
             ScoredReference("PSWidth", "PageMediaSizePSWidth") +
             ScoredReference("PSHeight", "PageMediaSizePSHeight") +
             ScoredReference("PSWidthOffset", "PageMediaSizePSWidthOffset") +
             ScoredReference("PSHeightOffset", "PageMediaSizePSHeightOffset") +
             ScoredReference("PSOrientation", "PageMediaSizePSOrientation") +
             "</psf:Option></psf:Feature>" + IntegerInit("PageMediaSizePSWidth", 150000) +
             IntegerInit("PageMediaSizePSHeight", 250000) +
             IntegerInit("PageMediaSizePSWidthOffset", 0) +
             IntegerInit("PageMediaSizePSHeightOffset", 0) +
             IntegerInit("PageMediaSizePSOrientation", 1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.selection[1]);
        std::vector<std::string> arguments = {"ticket", "mediasize", input};
        arguments.insert(arguments.end(), c.selection.begin(), c.selection.end());
        const ToolRun run = RunFilterutil(arguments);
        ASSERT_EQ(0, run.status) << run.err;
        EXPECT_EQ(Expected(kept + c.written), Canonical(run.out));
    }
    const std::string before = ReadFile(input);
    const ToolRun toFile =
        RunFilterutil({"ticket", "mediasize", input, "--form", "A5", "-o", folder.Path("out.xml")});
    ASSERT_EQ(0, toFile.status) << toFile.err;
    EXPECT_EQ("", toFile.out);
    EXPECT_NE(std::string::npos, ReadFile(folder.Path("out.xml")).find("psk:ISOA5"));
    EXPECT_EQ(before, ReadFile(input)) << "the input changes only when -o names it";
}

TEST(FilterutilMediaSize, BadInputSaysWhyWithStatusTwo) {
    ScratchFolder folder;
    const std::string ticket = folder.Path("ticket.xml");
    WriteFile(ticket, TicketXml(FeatureXml("PageOrientation", "Portrait")));
    const std::string capabilities =
        FILTERUTILITIES_TEST_DATA "/printschema/capabilities-kip-nup.xml";
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    } const cases[] = {
        {{ticket}, "usage: filterutil ticket mediasize"},
        {{ticket, "--form", "A4", "--size", "1x1"}, "usage: filterutil ticket mediasize"},
        {{"--form", "A4"}, "usage"},
        {{ticket, ticket, "--form", "A4"}, "one TICKET only"},
        {{ticket, "--form"}, "--form needs a value"},
        {{ticket, "--size", "0x5"}, "is not a size"},
        {{ticket, "--size", "-5x5"}, "is not a size"},
        {{ticket, "--size", "5x-5"}, "is not a size"},
        {{ticket, "--size", "5x"}, "is not a size"},
        {{ticket, "--size", "210"}, "is not a size"},
        {{ticket, "--size", "1e3x5"}, "is not a size"},
        {{ticket, "--size", "nanxinf"}, "is not a size"},
        {{ticket, "--size", "10001x5"}, "is not a size"},
        {{ticket, "--size", "5x5cm"}, "is not a size"},
        {{ticket, "--form", "Tabloid"}, "has no form \"Tabloid\" that a ticket may name"},
        {{ticket, "--form", "A6"}, "has no form \"A6\""}, // hidden
        {{ticket, "--form", "A4", "--printer", "Nobody"}, "no printer is named \"Nobody\""},
        {{capabilities, "--form", "A4"}, "not a print ticket"},
        {{folder.Path("missing.xml"), "--form", "A4"}, "missing.xml"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments = {"ticket", "mediasize"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        SCOPED_TRACE(c.message);
        const ToolRun run = RunFilterutil(arguments);
        EXPECT_EQ(2, run.status) << run.err;
        EXPECT_EQ("", run.out);
        EXPECT_NE(std::string::npos, run.err.find(c.message)) << run.err;
        EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
    }
}

} // namespace
