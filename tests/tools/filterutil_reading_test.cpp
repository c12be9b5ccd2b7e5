// filterutil reading tickets: options shown as the library reads them, each feature of
// effective answered on its own, control characters escaped, standard input streamed.
#include "tools/toolrunner.h"

#include "filterutilities/printschematestsupport.h"

#include <filterutilities/printticketxmldocument.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using printschematest::LoadBytes;
using printschematest::RaisedBy;

const std::string kJobTicket = FILTERUTILITIES_EXAMPLES "/tickets/job-ticket-a4-duplex.xml";

constexpr char kHead[] =
    "<psf:PrintTicket "
    "xmlns:psf=\"http://schemas.microsoft.com/windows/2003/08/printing/printschemaframework\" "
    "xmlns:psk=\"http://schemas.microsoft.com/windows/2003/08/printing/printschemakeywords\" "
    "xmlns:ns0002=\"http://schemas.keldan.com/enterprise/print/driver/native/"
    "printSchemaPrivateKeywords/2006/11\" version=\"1\">";

std::string Ticket(const std::string& body) {
    return std::string(kHead) + body + "</psf:PrintTicket>";
}

// Each feature's selected option as the tool shows it and as the library's GetFeatureOption
// answers: the option's name, "unreadable" (the library raises), or nothing (0x80070490).
struct OptionCase {
    std::string feature; // local name in the keywords namespace
    std::string body;    // the feature's children
    std::string shown;   // what follows "feature psk:NAME: " in the text output
    std::optional<std::string> library;
};

const std::vector<OptionCase>& OptionCases() {
    static const std::vector<OptionCase> cases = {
        {"Named", "<psf:Option name=\"psk:A\"/>", "psk:A", "psk:A"},
        {"OptionNameFirst",
         "<psf:ScoredProperty name=\"psk:OptionName\"><psf:Value>psk:B</psf:Value>"
         "</psf:ScoredProperty><psf:Option/>",
         "psk:B", "psk:B"},
        {"OptionFirst",
         "<psf:Option name=\"psk:C\"/><psf:ScoredProperty name=\"psk:OptionName\">"
         "<psf:Value>psk:Other</psf:Value></psf:ScoredProperty>",
         "psk:C", "psk:C"},
        {"Nameless",
         "<psf:Option><psf:ScoredProperty name=\"psk:PagesPerSheet\"><psf:Value>2</psf:Value>"
         "</psf:ScoredProperty></psf:Option>",
         "(unreadable: its Option has no name)", "unreadable"},
        {"NoPrefix", "<psf:Option name=\"Letter\"/>",
         "(unreadable: its option name \"Letter\" has no prefix)", "unreadable"},
        {"NamelessOptionNameValue",
         "<psf:ScoredProperty name=\"psk:OptionName\"><psf:Value></psf:Value>"
         "</psf:ScoredProperty>",
         "(unreadable: its OptionName value is empty)", "unreadable"},
        {"Private", "<psf:Option name=\"ns0002:Custom\"/>", "pk:Custom", "pk:Custom"},
        {"None", "", "(none)", std::nullopt},
    };
    return cases;
}

std::string OptionTicket() {
    std::string body;
    for (const OptionCase& c : OptionCases()) {
        body += "<psf:Feature name=\"psk:" + c.feature + "\">" + c.body + "</psf:Feature>";
    }
    return Ticket(body);
}

class FilterutilShowOptions : public printschematest::DomTest {};

TEST_F(FilterutilShowOptions, AgreeWithTheLibrarysGetFeatureOption) {
    ScratchFolder folder;
    WriteFile(folder.Path("ticket.xml"), OptionTicket());
    const ToolRun run = RunFilterutil({"ticket", "show", folder.Path("ticket.xml")});
    ASSERT_EQ(0, run.status) << run.err;

    PrintTicketXmlDocument ticket(LoadBytes(OptionTicket()));
    for (const OptionCase& c : OptionCases()) {
        SCOPED_TRACE(c.feature);
        EXPECT_NE(std::string::npos,
                  run.out.find("feature psk:" + c.feature + ": " + c.shown + "\n"))
            << run.out;
        CComBSTR name(printschematest::Utf16(c.feature).c_str());
        CComBSTR option;
        CComBSTR prefix;
        HRESULT answer = S_OK;
        const HRESULT raised =
            RaisedBy([&] { answer = ticket.GetFeatureOption(name, &option, &prefix); });
        if (!c.library) {
            EXPECT_EQ(S_OK, raised);
            EXPECT_EQ(PrintSchema::E_ELEMENT_NOT_FOUND, answer);
        } else if (*c.library == "unreadable") {
            EXPECT_TRUE(FAILED(raised));
        } else {
            ASSERT_EQ(S_OK, raised);
            ASSERT_EQ(S_OK, answer);
            EXPECT_EQ(*c.library, printschematest::Utf8(prefix) + printschematest::Utf8(option));
        }
    }
}

TEST_F(FilterutilShowOptions, ValuesFollowTheFirstInitialiserOfTheirNameAsTheLibraryDoes) {
    const std::string bytes =
        Ticket("<psf:Feature name=\"psk:PageScaling\"><psf:Option name=\"psk:Custom\">"
               "<psf:ScoredProperty name=\"psk:Scale\"><psf:ParameterRef name=\"psk:S\"/>"
               "</psf:ScoredProperty><psf:ScoredProperty name=\"psk:Lost\">"
               "<psf:ParameterRef name=\"psk:Missing\"/></psf:ScoredProperty></psf:Option>"
               "</psf:Feature>"
               "<psf:ParameterInit name=\"psk:S\"><psf:Value>first</psf:Value>"
               "</psf:ParameterInit><psf:ParameterInit name=\"psk:S\"><psf:Value>second"
               "</psf:Value></psf:ParameterInit>");
    ScratchFolder folder;
    WriteFile(folder.Path("ticket.xml"), bytes);
    const ToolRun run = RunFilterutil({"ticket", "show", folder.Path("ticket.xml")});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_NE(std::string::npos,
              run.out.find("    psk:Scale = first\n    psk:Lost = (none)\n"
                           "parameter psk:S = first\nparameter psk:S = second\n"))
        << run.out;

    PrintTicketXmlDocument ticket(LoadBytes(bytes));
    CComBSTR feature(u"PageScaling");
    CComBSTR value;
    ASSERT_EQ(S_OK, ticket.GetScoredPropertyValue(feature, CComBSTR(u"Scale"), &value));
    EXPECT_EQ("first", printschematest::Utf8(value));
    CComBSTR lost; // the out-parameter is cleared, not freed: a fresh one
    EXPECT_EQ(PrintSchema::E_ELEMENT_NOT_FOUND,
              ticket.GetScoredPropertyValue(feature, CComBSTR(u"Lost"), &lost));
}

TEST(FilterutilShow, ControlCharactersFromTheDocumentAreEscaped) {
    ScratchFolder folder;
    // XML 1.0 carries line breaks and tabs as references in attributes, and DEL and the C1
    // controls (U+009B starts a terminal command) as they are.
    WriteFile(folder.Path("ticket.xml"),
              Ticket("<psf:Feature name=\"psk:A&#10;feature psk:Forged\"><psf:Option "
                     "name=\"psk:X\xc2\x9b"
                     "31m&#9;\x7f\"/></psf:Feature>"));
    for (const bool json : {false, true}) {
        SCOPED_TRACE(json ? "json" : "text");
        std::vector<std::string> arguments{"ticket", "show", folder.Path("ticket.xml")};
        if (json) {
            arguments.push_back("--json");
        }
        const ToolRun run = RunFilterutil(arguments);
        ASSERT_EQ(0, run.status) << run.err;
        EXPECT_NE(std::string::npos, run.out.find("psk:A\\nfeature psk:Forged")) << run.out;
        EXPECT_NE(std::string::npos, run.out.find("psk:X\\u009b31m\\t\\u007f")) << run.out;
        for (const char c : run.out) {
            EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << int(c);
        }
        EXPECT_EQ(std::string::npos, run.out.find("\xc2\x9b"));
        EXPECT_EQ(std::string::npos, run.out.find('\x7f'));
    }
}

TEST(FilterutilShow, StandardInputIsReadUpToTheSizeCap) {
    ToolSetting ticket;
    ticket.standardInput = kJobTicket;
    ToolRun run = RunFilterutil({"ticket", "show", "-"}, ticket);
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ(0u, run.out.rfind("PrintTicket\n", 0));

    // An endless input is refused once the cap is reached, not buffered until memory runs out.
    ToolSetting endless;
    endless.standardInput = "/dev/zero";
    run = RunFilterutil({"ticket", "show", "-"}, endless);
    EXPECT_EQ(2, run.status);
    EXPECT_EQ(0u, run.err.rfind("filterutil: standard input: too large", 0)) << run.err;
}

TEST(FilterutilEffective, AnUnreadableOptionIsReportedAndTheOtherFeaturesAnswered) {
    const ToolRun json =
        RunFilterutil({"ticket", "effective", "--json", "--default", kJobTicket, "PageMediaSize",
                       "JobNUpAllDocumentsContiguously", "JobInputBin"});
    ASSERT_EQ(0, json.status) << json.err;
    EXPECT_EQ(R"({
  "PageMediaSize": {
    "option": "psk:ISOA4",
    "from": "default"
  },
  "JobNUpAllDocumentsContiguously": {
    "unreadable": "its Option has no name",
    "from": "default"
  },
  "JobInputBin": {
    "option": "psk:AutoSelect",
    "from": "default"
  }
}
)",
              json.out);

    ScratchFolder folder;
    WriteFile(folder.Path("job.xml"),
              Ticket("<psf:Feature name=\"psk:JobNUpAllDocumentsContiguously\">"
                     "<psf:Option name=\"Two\"/></psf:Feature>"));
    const ToolRun text =
        RunFilterutil({"ticket", "effective", "--default", kJobTicket, "--job",
                       folder.Path("job.xml"), "JobNUpAllDocumentsContiguously", "JobInputBin"});
    ASSERT_EQ(0, text.status) << text.err;
    EXPECT_EQ("JobNUpAllDocumentsContiguously: (unreadable in the job ticket: its option name "
              "\"Two\" has no prefix)\nJobInputBin: psk:AutoSelect (from the default ticket)\n",
              text.out);
}

} // namespace
