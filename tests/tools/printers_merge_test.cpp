// filterutil printers and filterutil ticket merge, run as a user runs them.
#include "tools/toolrunner.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

const std::string kData = FILTERUTILITIES_TEST_DATA "/printschema/";
const std::string kJobTicket = FILTERUTILITIES_EXAMPLES "/tickets/job-ticket-a4-duplex.xml";

// A folder of printer descriptions first on the search path for the programs a test runs.
class PrinterFolder {
public:
    PrinterFolder() {
        setenv("FILTERUTILITIES_PRINTERS", folder_.Path("").c_str(), 1);
        setenv("XDG_CONFIG_HOME", folder_.Path("no-config").c_str(), 1);
        WriteFile(folder_.Path("docs.printer"),
                  "name = Docs Example Printer\ndriver = Docs Driver\ncapabilities = " + kData +
                      "capabilities-docs-example.xml\ndefault-ticket = " + kData +
                      "ticket-custom-media-size.xml\nmargins = 1 2 3 4\n"
                      "form = 1 2159 2794 5101 25001 Letter\n");
        WriteFile(folder_.Path("broken.printer"), "name = Broken\ndriver = D\n");
    }
    ~PrinterFolder() {
        unsetenv("FILTERUTILITIES_PRINTERS");
        unsetenv("XDG_CONFIG_HOME");
    }
    std::string Path(const std::string& name) const { return folder_.Path(name); }

private:
    ScratchFolder folder_;
};

TEST(FilterutilPrinters, ListsDescriptionsAndTheBuiltInAndNamesWhatItSkipped) {
    PrinterFolder printers;
    const ToolRun text = RunFilterutil({"printers"});
    ASSERT_EQ(0, text.status) << text.err;
    EXPECT_NE(std::string::npos,
              text.out.find("Docs Example Printer\n  source: " + printers.Path("docs.printer")));
    EXPECT_NE(std::string::npos, text.out.find("margins (micrometres, left top right bottom): "
                                               "1 2 3 4"));
    EXPECT_NE(std::string::npos, text.out.find("FilterUtilities XPS Printer (default)"));
    EXPECT_EQ("filterutil: " + printers.Path("broken.printer") +
                  ": no capabilities given (skipped)\n",
              text.err);

    const ToolRun json = RunFilterutil({"printers", "--json"});
    ASSERT_EQ(0, json.status) << json.err;
    EXPECT_NE(std::string::npos, json.out.find(R"("name": "Docs Example Printer",
      "default": false,)"));
    EXPECT_NE(std::string::npos, json.out.find(R"("skipped": [
    {
      "source": ")" + printers.Path("broken.printer") +
                                               R"(",
      "problem": "no capabilities given")"));

    const ToolRun bad = RunFilterutil({"printers", "--all"});
    EXPECT_EQ(2, bad.status);
    EXPECT_EQ("filterutil: printers: unknown argument --all\n", bad.err);
}

TEST(FilterutilMerge, MergesValidatesAndSaysWhetherItResolvedConflicts) {
    PrinterFolder printers;
    WriteFile(
        printers.Path("copies.xml"),
        R"(<psf:PrintTicket xmlns:psf="http://schemas.microsoft.com/windows/2003/08/printing/printschemaframework"
  xmlns:p="http://schemas.microsoft.com/windows/2003/08/printing/printschemakeywords"
  xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns:xsd="http://www.w3.org/2001/XMLSchema" version="1">
  <psf:ParameterInit name="p:JobCopiesAllDocuments"><psf:Value xsi:type="xsd:integer">100000</psf:Value></psf:ParameterInit>
</psf:PrintTicket>)");

    // The built-in printer takes custom sizes from 76200 x 127000 micrometres.
    const ToolRun page = RunFilterutil(
        {"ticket", "merge", kJobTicket, kData + "ticket-custom-media-size.xml", "--scope", "page"});
    ASSERT_EQ(0, page.status) << page.err;
    EXPECT_NE(std::string::npos, page.out.find("psk:CustomMediaSize"));
    EXPECT_NE(
        std::string::npos,
        page.out.find(
            R"(name="psk:PageMediaSizeMediaSizeWidth"><psf:Value xsi:type="xsd:integer">76200<)"));
    EXPECT_EQ("filterutil: conflicts resolved: settings the printer does not support were "
              "dropped or replaced\n",
              page.err);

    const ToolRun job = RunFilterutil({"ticket", "merge", kData + "ticket-custom-media-size.xml",
                                       printers.Path("copies.xml"), "--scope", "job", "--printer",
                                       "docs example printer", "-o", printers.Path("out.xml")});
    ASSERT_EQ(0, job.status) << job.err;
    EXPECT_EQ("", job.out);
    const std::string written = ReadFile(printers.Path("out.xml"));
    EXPECT_NE(std::string::npos, written.find(">9999<")) << written;
    EXPECT_EQ(std::string::npos, written.find("PageMediaSize"))
        << "page settings leave a job ticket";

    const ToolRun same =
        RunFilterutil({"ticket", "merge", printers.Path("out.xml"), printers.Path("out.xml"),
                       "--scope", "job", "--printer", "Docs Example Printer"});
    ASSERT_EQ(0, same.status) << same.err;
    EXPECT_EQ("filterutil: no conflicts\n", same.err);
}

TEST(FilterutilMerge, BadInputGivesOneLineAndStatusTwo) {
    PrinterFolder printers;
    WriteFile(printers.Path("broken.xml"), "<psf:PrintTicket");
    const std::string custom = kData + "ticket-custom-media-size.xml";
    const std::string capabilities = kData + "capabilities-docs-example.xml";
    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } cases[] = {
        {{custom, capabilities, "--scope", "page"},
         capabilities + ": the delta ticket: the root element is not a PrintTicket"},
        {{capabilities, custom, "--scope", "page"},
         capabilities + ": the base ticket: the root element is not a PrintTicket"},
        {{custom, printers.Path("broken.xml"), "--scope", "page"},
         printers.Path("broken.xml") + ": not well-formed XML"},
        {{custom, custom, "--scope", "page", "--printer", "Broken"},
         "ticket merge: no printer is named \"Broken\" (see filterutil printers)"},
        {{custom, custom, "--scope", "sheet"},
         "ticket merge: --scope is job, document or page, not \"sheet\""},
        {{custom, custom}, "ticket merge: --scope job|document|page is required"},
        {{custom, "--scope", "job"}, "ticket merge: give BASE and DELTA"},
        {{custom, custom, "--scope", "job", "-o"}, "ticket merge: -o needs a value"},
        {{custom, printers.Path("missing.xml"), "--scope", "job"},
         printers.Path("missing.xml") + ": cannot open"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments{"ticket", "merge"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        SCOPED_TRACE(c.message);
        const ToolRun run = RunFilterutil(arguments);
        EXPECT_EQ(2, run.status);
        EXPECT_EQ(0u, run.err.rfind("filterutil: " + c.message, 0)) << run.err;
        EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
        EXPECT_EQ("", run.out);
    }
}

} // namespace
