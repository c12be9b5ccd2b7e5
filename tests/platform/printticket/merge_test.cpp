// PTMergeAndValidatePrintTicket over real tickets and capabilities: replacement by namespace
// URI + local name whatever the prefixes, scopes, validation against the printer, errors.
#include "printtickettest.h"

namespace {

using printtickettest::Case;

// Settings are written with fixed prefixes for readability; the results are compared after
// resolving every name, so the prefixes a result happens to use do not matter.
const char kBase[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<psf:PrintTicket xmlns:psf="http://schemas.microsoft.com/windows/2003/08/printing/printschemaframework"
    xmlns:psk="http://schemas.microsoft.com/windows/2003/08/printing/printschemakeywords"
    xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns:xsd="http://www.w3.org/2001/XMLSchema" version="1">
  <psf:Feature name="psk:PageMediaSize"><psf:Option name="psk:NorthAmericaLetter"/></psf:Feature>
  <psf:Feature name="psk:PageOrientation"><psf:Option name="psk:Portrait"/></psf:Feature>
  <psf:Feature name="psk:DocumentCollate"><psf:Option name="psk:Uncollated"/></psf:Feature>
  <psf:Feature name="psk:JobInputBin"><psf:Option name="psk:AutoSelect"/></psf:Feature>
  <psf:ParameterInit name="psk:JobCopiesAllDocuments"><psf:Value xsi:type="xsd:integer">1</psf:Value></psf:ParameterInit>
</psf:PrintTicket>)";

// The same framework and keywords under other prefixes, the printer's private namespace under
// a third, and framework elements in the default namespace.
const char kDeltaOtherPrefixes[] =
    R"(<PrintTicket xmlns="http://schemas.microsoft.com/windows/2003/08/printing/printschemaframework"
    xmlns:k="http://schemas.microsoft.com/windows/2003/08/printing/printschemakeywords"
    xmlns:vendor="http://schemas.microsoft.com/windows/printing/oemdriverpt/ES_LNseries_PowerPrinter"
    xmlns:i="http://www.w3.org/2001/XMLSchema-instance" xmlns:s="http://www.w3.org/2001/XMLSchema" version="1">
  <Feature name="k:JobInputBin"><Option name="vendor:ESLDProBin">
    <ScoredProperty name="k:BinType"><Value i:type="s:QName">k:Manual</Value></ScoredProperty>
  </Option></Feature>
  <Feature name="k:PageOrientation"><Option name="k:Landscape"/></Feature>
  <Feature name="k:DocumentCollate"><Option name="k:Collated"/></Feature>
</PrintTicket>)";

// Settings that declare the keywords namespace themselves: a setting the delta replaces takes
// its declaration with it while later settings are still being looked up.
const char kBaseDeclaringPerSetting[] =
    R"(<psf:PrintTicket xmlns:psf="http://schemas.microsoft.com/windows/2003/08/printing/printschemaframework" version="1">
  <psf:Feature xmlns:k="http://schemas.microsoft.com/windows/2003/08/printing/printschemakeywords" name="k:PageOrientation"><psf:Option name="k:Portrait"/></psf:Feature>
  <psf:Feature xmlns:k="http://schemas.microsoft.com/windows/2003/08/printing/printschemakeywords" name="k:DocumentCollate"><psf:Option name="k:Uncollated"/></psf:Feature>
</psf:PrintTicket>)";

std::string Delta(const std::string& settings) {
    return R"(<psf:PrintTicket xmlns:psf="http://schemas.microsoft.com/windows/2003/08/printing/printschemaframework"
    xmlns:psk="http://schemas.microsoft.com/windows/2003/08/printing/printschemakeywords"
    xmlns:drv="http://schemas.keldan.com/enterprise/print/driver/native/printSchemaPrivateKeywords/2006/11"
    xmlns:oem="http://schemas.microsoft.com/windows/printing/oemdriverpt/ES_LNseries_PowerPrinter"
    xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns:xsd="http://www.w3.org/2001/XMLSchema" version="1">)" +
           settings + "</psf:PrintTicket>";
}

std::string Copies(const std::string& value) {
    return Delta(
        R"(<psf:ParameterInit name="psk:JobCopiesAllDocuments"><psf:Value xsi:type="xsd:integer">)" +
        value + "</psf:Value></psf:ParameterInit>");
}

std::string NUp(const std::string& pages, const std::string& direction) {
    return Delta(R"(<psf:Feature name="psk:JobNUpAllDocumentsContiguously"><psf:Option>
      <psf:ScoredProperty name="psk:PagesPerSheet"><psf:Value xsi:type="xsd:integer">)" +
                 pages + R"(</psf:Value></psf:ScoredProperty></psf:Option>
      <psf:Feature name="psk:PresentationDirection"><psf:Option name="psk:)" +
                 direction + R"("/></psf:Feature></psf:Feature>)");
}

class Merge : public printtickettest::PrinterFixture, public ::testing::WithParamInterface<Case> {};

TEST_P(Merge, GivesTheSettingsItShould) {
    const Case& c = GetParam();
    const auto outcome = MergeTexts(c.printer, c.base, c.delta, c.scope);
    ASSERT_EQ(c.expected, outcome.hr) << outcome.message;
    const auto settings = printtickettest::Settings(outcome.result);
    for (const auto& [key, value] : c.settings) {
        SCOPED_TRACE(key);
        const auto found = settings.find(key);
        if (value.empty()) {
            EXPECT_EQ(settings.end(), found) << "present as " << found->second;
        } else {
            ASSERT_NE(settings.end(), found) << outcome.result;
            EXPECT_EQ(value, found->second);
        }
    }
}

using printtickettest::File;
using printtickettest::kBuiltin;
using printtickettest::kDocsPrinter;
using printtickettest::kNullDelta;

INSTANTIATE_TEST_SUITE_P(
    Tickets, Merge,
    ::testing::Values(
        Case{"PrefixesDifferFromTheBase",
             kDocsPrinter,
             kBase,
             kDeltaOtherPrefixes,
             kPTPageScope,
             S_PT_NO_CONFLICT,
             {{"psk:JobInputBin", "oem:ESLDProBin"},
              {"psk:PageOrientation", "psk:Landscape"},
              {"psk:DocumentCollate", "psk:Collated"},
              {"psk:PageMediaSize", "psk:NorthAmericaLetter"},
              {"psk:JobCopiesAllDocuments", "1"}}},
        Case{"ReplacedSettingsThatDeclaredTheirOwnPrefix",
             kDocsPrinter,
             kBaseDeclaringPerSetting,
             kDeltaOtherPrefixes,
             kPTPageScope,
             S_PT_NO_CONFLICT,
             {{"psk:JobInputBin", "oem:ESLDProBin"},
              {"psk:PageOrientation", "psk:Landscape"},
              {"psk:DocumentCollate", "psk:Collated"}}},
        Case{"DocumentScopeLeavesOutPageSettings",
             kDocsPrinter,
             kBase,
             kDeltaOtherPrefixes,
             kPTDocumentScope,
             S_PT_NO_CONFLICT,
             {{"psk:JobInputBin", "oem:ESLDProBin"},
              {"psk:DocumentCollate", "psk:Collated"},
              {"psk:PageOrientation", ""},
              {"psk:PageMediaSize", ""}}},
        Case{"JobScopeKeepsOnlyJobSettings",
             kDocsPrinter,
             kBase,
             kDeltaOtherPrefixes,
             kPTJobScope,
             S_PT_NO_CONFLICT,
             {{"psk:JobInputBin", "oem:ESLDProBin"},
              {"psk:JobCopiesAllDocuments", "1"},
              {"psk:DocumentCollate", ""},
              {"psk:PageOrientation", ""}}},
        Case{"CopiesAboveTheMaximumAreClamped",
             kDocsPrinter,
             kBase,
             Copies("100000"),
             kPTJobScope,
             S_PT_CONFLICT_RESOLVED,
             {{"psk:JobCopiesAllDocuments", "9999"}}},
        Case{"CopiesBelowTheMinimumAreClamped",
             kDocsPrinter,
             kBase,
             Copies(" -3 "),
             kPTJobScope,
             S_PT_CONFLICT_RESOLVED,
             {{"psk:JobCopiesAllDocuments", "1"}}},
        Case{"CopiesThatAreNoNumberTakeTheDefault",
             kDocsPrinter,
             kBase,
             Copies("many"),
             kPTJobScope,
             S_PT_CONFLICT_RESOLVED,
             {{"psk:JobCopiesAllDocuments", "1"}}},
        Case{"CopiesInRangeAreLeftAlone",
             kDocsPrinter,
             kBase,
             Copies("42"),
             kPTJobScope,
             S_PT_NO_CONFLICT,
             {{"psk:JobCopiesAllDocuments", "42"}}},
        Case{"CustomMediaSizeParametersAreClamped",
             kDocsPrinter,
             kBase,
             File("ticket-custom-media-size.xml"),
             kPTPageScope,
             S_PT_CONFLICT_RESOLVED,
             {{"psk:PageMediaSize", "psk:CustomMediaSize"},
              {"psk:PageMediaSizeMediaSizeWidth", "87291"},
              {"psk:PageMediaSizeMediaSizeHeight", "134535"}}},
        Case{"CustomMediaSizeParametersOfAPageLeaveAJobTicket",
             kDocsPrinter,
             kBase,
             File("ticket-custom-media-size.xml"),
             kPTJobScope,
             S_PT_NO_CONFLICT,
             {{"psk:PageMediaSize", ""}, {"psk:PageMediaSizeMediaSizeWidth", ""}}},
        Case{
            "UnknownOptionTakesTheFirstOption",
            kDocsPrinter,
            kBase,
            Delta(
                R"(<psf:Feature name="psk:PageOutputColor"><psf:Option name="psk:Grayscale"/></psf:Feature>)"),
            kPTPageScope,
            S_PT_CONFLICT_RESOLVED,
            {{"psk:PageOutputColor", "psk:Monochrome"}}},
        Case{"UnknownFeaturesAndParametersAreDropped",
             kDocsPrinter,
             kBase,
             File("ticket-3d-example.xml"),
             kPTPageScope,
             S_PT_CONFLICT_RESOLVED,
             {{"psk3d:Job3DQuality", ""},
              {"psk3d:Job3DRaftMaterial", ""},
              {"vnd:Job3DAMap", ""},
              {"psk:PageOrientation", "psk:Portrait"}}},
        Case{"AFeatureOfANamespaceThePrinterLacksIsDropped",
             kDocsPrinter,
             kBase,
             File("ticket-pin-printing.xml"),
             kPTJobScope,
             S_PT_CONFLICT_RESOLVED,
             {{"{ http://schemas.microsoft.com/windows/2013/05/printing/"
               "printschemakeywordsv11}JobPasscode",
               ""},
              {"psk:JobInputBin", "psk:AutoSelect"}}},
        Case{
            "PrivateFeatureOfThePrinter",
            kBuiltin,
            File("builtin-default"),
            Delta(
                R"(<psf:Feature name="drv:TonerSaving"><psf:Option name="drv:On"/></psf:Feature>)"),
            kPTJobScope,
            S_PT_NO_CONFLICT,
            {{"drv:TonerSaving", "drv:On"}}},
        Case{
            "PrivateOptionTheDriverDoesNotOffer",
            kBuiltin,
            File("builtin-default"),
            Delta(
                R"(<psf:Feature name="drv:TonerSaving"><psf:Option name="drv:Turbo"/></psf:Feature>)"),
            kPTJobScope,
            S_PT_CONFLICT_RESOLVED,
            {{"drv:TonerSaving", "drv:Off"}}},
        Case{
            "PrivateFeatureOfAnotherDriver",
            kBuiltin,
            File("builtin-default"),
            Delta(
                R"(<psf:Feature name="oem:TonerSaving"><psf:Option name="drv:On"/></psf:Feature>)"),
            kPTJobScope,
            S_PT_CONFLICT_RESOLVED,
            {{"oem:TonerSaving", ""}, {"drv:TonerSaving", "drv:Off"}}},
        Case{"NamelessNUpOptionsMatchByPagesPerSheet",
             kBuiltin,
             File("builtin-default"),
             NUp("4", "BottomLeft"),
             kPTJobScope,
             S_PT_NO_CONFLICT,
             {{"psk:JobNUpAllDocumentsContiguously", "PagesPerSheet=4"},
              {"psk:JobNUpAllDocumentsContiguously/psk:PresentationDirection", "psk:BottomLeft"}}},
        Case{"NUpTheDriverCannotDoAndANestedUnknownOption",
             kBuiltin,
             File("builtin-default"),
             NUp("3", "Diagonal"),
             kPTJobScope,
             S_PT_CONFLICT_RESOLVED,
             {{"psk:JobNUpAllDocumentsContiguously", "PagesPerSheet=1"},
              {"psk:JobNUpAllDocumentsContiguously/psk:PresentationDirection", "psk:RightBottom"}}},
        Case{
            "TheMarkedDefaultOptionWinsOverTheFirst",
            kBuiltin,
            File("builtin-default"),
            Delta(
                R"(<psf:Feature name="psk:PageMediaSize"><psf:Option name="psk:ISOB5"/></psf:Feature>)"),
            kPTPageScope,
            S_PT_CONFLICT_RESOLVED,
            {{"psk:PageMediaSize", "psk:ISOA4"}}},
        Case{"ANullDeltaValidatesTheBaseAlone",
             kBuiltin,
             File("builtin-default"),
             kNullDelta,
             kPTPageScope,
             S_PT_NO_CONFLICT,
             {{"psk:PageMediaSize", "psk:ISOA4"}, {"drv:TonerSaving", "drv:Off"}}},
        Case{"ANullDeltaStillDropsWhatThePrinterLacks",
             kDocsPrinter,
             File("ticket-3d-example.xml"),
             kNullDelta,
             kPTJobScope,
             S_PT_CONFLICT_RESOLVED,
             {{"psk3d:Job3DQuality", ""}}}),
    [](const auto& info) { return info.param.name; });

} // namespace
