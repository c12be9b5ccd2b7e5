// The driver's forms list: read through DeviceCapabilitiesW as the printing user, filtered for
// print tickets, matched against a size; and the PageMediaSize of a ticket removed.
#include "devmodetestsupport.h"
#include "printschematestsupport.h"

#include <filterutilities/pagemediasizeptpchelper.h>

#include <kldcore/pagesizedictionary.h>

#include <handleapi.h>
#include <platformsecurity.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace printschematest;

namespace {

using Helper = PageMediaSizePtPcHelper;

_tag_FormsInfoRec Form(uint16_t number, int32_t width, int32_t height, int32_t paperSize,
                       int32_t kind) {
    _tag_FormsInfoRec form{};
    form.formNumber = number;
    form.width = width;
    form.height = height;
    form.paperSizeValueId = paperSize;
    form.formKind = kind;
    return form;
}

// A form list written as "number/kind" in list order, the way the expectations are.
std::string Numbers(const std::vector<_tag_FormsInfoRec>& forms) {
    std::string text;
    for (const _tag_FormsInfoRec& form : forms) {
        text += (text.empty() ? "" : " ") + std::to_string(form.formNumber) + "/" +
                std::to_string(form.formKind);
    }
    return text;
}

TEST(FilterPaperSizeList, KeepsEachKindByItsRule) {
    const auto a4 = [](uint16_t number, int32_t kind) {
        return Form(number, 2100, 2970, 5109, kind);
    };
    const auto letter = [](uint16_t number, int32_t kind) {
        return Form(number, 2159, 2794, 5101, kind);
    };
    struct Case {
        const char* name;
        std::vector<_tag_FormsInfoRec> list;
        std::string kept;
    } const cases[] = {
        {"a size listed by a driver form drops the later kinds of that size",
         {a4(1, 25004), a4(2, 25001), a4(3, 25003)},
         "2/25001"},
        {"driver forms and the custom record first, in list order, then 25004, 25005, 25003",
         {a4(1, 25003), letter(2, 25005), Form(3, 0, 0, 5256, 25008), Form(4, 1000, 1000, 1, 25004),
          letter(5, 25001)},
         "3/25008 5/25001 4/25004 1/25003"},
        {"25004 before 25005 before 25003 for one size",
         {a4(1, 25003), a4(2, 25005), a4(3, 25004)},
         "3/25004"},
        {"the second form of a size within one kind is dropped",
         {a4(1, 25005), a4(2, 25005), letter(3, 25005)},
         "1/25005 3/25005"},
        {"same width, other height is another size",
         {a4(1, 25001), Form(2, 2100, 2971, 0, 25004)},
         "1/25001 2/25004"},
        {"hidden forms and unknown kinds are dropped, also when their size is free",
         {a4(1, 25002), letter(2, 25006), Form(3, 1, 1, 0, 25007), Form(4, 1, 1, 0, 0)},
         ""},
        {"a driver form is kept even when an earlier one has its size",
         {a4(1, 25001), a4(2, 25001), a4(3, 25008)},
         "1/25001 2/25001 3/25008"},
        {"an empty list", {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.kept, Numbers(Helper::FilterPaperSizeListForPrintTicket(c.list)));
    }
}

TEST(FindFormInfoRect, MatchesBySizeInTenthsThenByPaperSize) {
    const std::vector<_tag_FormsInfoRec> forms = {
        Form(256, 0, 0, 5256, 25008),
        Form(1, 2159, 2794, 5101, 25001),
        Form(2, 2159, 2794, 5102, 25004),
        Form(3, 2100, 2970, 5109, 25001),
        Form(4, 2100, 2970, 5109, 25004),
        Form(5, 1000, 2000, 5503, 25008),
        // What a size of 65759 x 68330 tenths would match if it were cut to 16 bits.
        Form(6, 223, 2794, 5101, 25001),
    };
    struct Case {
        const char* name;
        int width, height, paperSize;
        HRESULT result;
        uint16_t number;
        int32_t width10, height10;
    } const cases[] = {
        {"Letter in micrometres", 215900, 279400, 5101, S_OK, 1, 2159, 2794},
        {"cut towards zero, not rounded", 215999, 279499, 5101, S_OK, 1, 2159, 2794},
        {"the paper size picks among forms of one size", 215900, 279400, 5102, S_OK, 2, 2159, 2794},
        {"5001 takes the first form of the size", 215900, 279400, 5001, S_OK, 1, 2159, 2794},
        {"an unknown paper size falls back to the first of the size", 215900, 279400, 7777, S_OK, 1,
         2159, 2794},
        {"a custom record of the size is no match; the first custom record carries the size",
         100000, 200000, 5503, S_FALSE, 256, 1000, 2000},
        {"no form of the size", 123456, 654321, 5001, S_FALSE, 256, 1234, 6543},
        {"beyond 16 bits of tenths: no small form of the low bits", 6575900 /* 65759 */,
         279400 + 6553600, 5101, S_FALSE, 256, 65759, 68330},
        {"negative sizes match nothing", -215900, -279400, 5101, S_FALSE, 256, -2159, -2794},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        _tag_FormsInfoRec out = Form(999, -1, -1, -1, -1);
        EXPECT_EQ(c.result, Helper::FindFormInfoRect(
                                forms, c.width, c.height,
                                static_cast<DataModelIds::tagValueEnum>(c.paperSize), &out));
        EXPECT_EQ(c.number, out.formNumber);
        EXPECT_EQ(c.width10, out.width);
        EXPECT_EQ(c.height10, out.height);
    }
}

TEST(FindFormInfoRect, WithoutACustomRecordLeavesTheOutputAlone) {
    _tag_FormsInfoRec out = Form(999, 7, 8, 9, 10);
    EXPECT_EQ(S_FALSE, Helper::FindFormInfoRect({Form(1, 2159, 2794, 5101, 25001)}, 100, 100,
                                                DataModelIds::tagValueEnum{5001}, &out));
    EXPECT_EQ(999, out.formNumber);
    EXPECT_EQ(7, out.width);
    EXPECT_EQ(E_POINTER,
              Helper::FindFormInfoRect({}, 0, 0, DataModelIds::tagValueEnum{5001}, nullptr));
}

using Entry = platformtest::ImpersonationLog::Entry;

TEST(FormsList, IsAskedOnlyAsTheImpersonatedUser) {
    CXString printer(u"FilterUtilities XPS Printer");
    {
        platformtest::ImpersonationLog log;
        EXPECT_TRUE(Helper::GetPaperInfoForAnXpsFilter(printer).empty())
            << "a thread that runs as itself gets no forms";
        EXPECT_TRUE(log.Entries().empty()) << "and the driver is not asked";
    }
    HANDLE carol = platformtest::CreateTestUserToken(u"carol", "/c");
    platformtest::ImpersonationLog log;
    const std::vector<_tag_FormsInfoRec> forms =
        Helper::GetFilteredPaperInfoForAnXpsFilter(printer, carol);
    // The built-in printer's forms of every kind, as a ticket may name them.
    EXPECT_EQ(
        "1/25001 5/25001 8/25001 9/25001 11/25001 256/25008 13/25004 4/25004 3/25005 300/25003",
        Numbers(forms));
    EXPECT_EQ((std::vector<Entry>{{"SetThreadToken", u"carol"},
                                  {"DeviceCapabilitiesW", u"carol"},
                                  {"DeviceCapabilitiesW", u"carol"},
                                  {"SetThreadToken", u""}}),
              log.Entries());
    ASSERT_EQ(10u, forms.size());
    EXPECT_EQ(2100, forms[3].width);
    EXPECT_EQ(2970, forms[3].height);
    EXPECT_EQ(5109, forms[3].paperSizeValueId);

    ASSERT_TRUE(SetThreadToken(nullptr, carol));
    CXString unknown(u"No Such Printer");
    EXPECT_TRUE(Helper::GetPaperInfoForAnXpsFilter(unknown).empty());
    EXPECT_EQ(16u, Helper::GetPaperInfoForAnXpsFilter(printer).size()) << "unfiltered";
    ASSERT_TRUE(SetThreadToken(nullptr, nullptr));
    EXPECT_TRUE(CloseHandle(carol));
}

class DeletePageMediaSize : public DomTest {};

TEST_F(DeletePageMediaSize, RemovesTheFeatureAndItsSevenInitialisersOnly) {
    const auto init = [](const std::string& name) {
        return "<psf:ParameterInit name=\"psk:" + name +
               "\"><psf:Value xsi:type=\"xsd:integer\">1</psf:Value></psf:ParameterInit>\n";
    };
    std::string sizeInits;
    for (const char* name :
         {"PageMediaSizePSWidth", "PageMediaSizePSHeight", "PageMediaSizePSWidthOffset",
          "PageMediaSizePSHeightOffset", "PageMediaSizePSOrientation",
          "PageMediaSizeMediaSizeWidth", "PageMediaSizeMediaSizeHeight"}) {
        sizeInits += init(name);
    }
    const std::string kept = devmodetest::FeatureXml("PageOrientation", "Portrait") +
                             init("JobCopiesAllDocuments") + init("PageMediaSizeOther");
    CComPtr<IXMLDOMDocument2> dom = LoadBytes(devmodetest::TicketXml(
        devmodetest::FeatureXml("PageMediaSize", "ISOA4") + sizeInits + kept));
    PrintTicketXmlDocument ticket(dom);
    EXPECT_EQ(S_OK, Helper::DeletePageMediaSizeAndItsParameterInitsIfExist(ticket));
    // The expectation goes through the library too, which names the private namespace pk.
    CComPtr<IXMLDOMDocument2> expected = LoadBytes(devmodetest::TicketXml(kept));
    const PrintTicketXmlDocument renamed(expected);
    EXPECT_EQ(Canonical(StreamBytesOf(expected)), Canonical(StreamBytesOf(dom)));
    EXPECT_EQ(S_OK, Helper::DeletePageMediaSizeAndItsParameterInitsIfExist(ticket))
        << "nothing left to remove is no failure";
}

// --- Writing a form into a ticket ---

std::string IntegerInit(const std::string& name, int value) {
    return "<psf:ParameterInit name=\"psk:" + name + "\"><psf:Value xsi:type=\"xsd:integer\">" +
           std::to_string(value) + "</psf:Value></psf:ParameterInit>";
}
std::string ScoredInteger(const std::string& name, int value) {
    return "<psf:ScoredProperty name=\"psk:" + name + "\"><psf:Value xsi:type=\"xsd:integer\">" +
           std::to_string(value) + "</psf:Value></psf:ScoredProperty>";
}
std::string ScoredReference(const std::string& name, const std::string& parameter) {
    return "<psf:ScoredProperty name=\"psk:" + name +
           "\"><psf:ParameterRef name=\"psk:" + parameter + "\"/></psf:ScoredProperty>";
}
std::string MediaSize(const std::string& option, const std::string& content) {
    return "<psf:Feature name=\"psk:PageMediaSize\"><psf:Option name=\"" + option + "\">" +
           content + "</psf:Option></psf:Feature>";
}

// A ticket as the library holds it: the driver's namespace is named pk.
std::string LibraryCanonical(const std::string& body) {
    CComPtr<IXMLDOMDocument2> dom = LoadBytes(devmodetest::TicketXml(body));
    const PrintTicketXmlDocument renamed(dom);
    return Canonical(StreamBytesOf(dom));
}

class AddOrReplacePageMediaSize : public DomTest {};

TEST_F(AddOrReplacePageMediaSize, WritesTheShapeOfEachKindOfForm) {
    // An old PageMediaSize with initialisers of both custom sizes, which every form replaces.
    const std::string old = devmodetest::FeatureXml("PageMediaSize", "ISOA4") +
                            IntegerInit("PageMediaSizePSWidth", 1) +
                            IntegerInit("PageMediaSizeMediaSizeHeight", 2);
    const std::string kept = devmodetest::FeatureXml("PageOrientation", "Landscape") +
                             IntegerInit("JobCopiesAllDocuments", 3);
    struct Case {
        const char* name;
        _tag_FormsInfoRec form;
        bool postScript;
        std::string written;
    } const cases[] = {
        {"a user form", Form(3, 1000, 2000, 5503, 25005), false,
         MediaSize("pk:UserForm_3_1000x2000", ScoredInteger("MediaSizeWidth", 100000) +
                                                  ScoredInteger("MediaSizeHeight", 200000))},
        {"a driver custom size, PostScript or not", Form(300, 1200, 1800, 5600, 25003), true,
         MediaSize("pk:DriverCustomSize_300_1200x1800",
                   ScoredInteger("MediaSizeWidth", 120000) +
                       ScoredInteger("MediaSizeHeight", 180000))},
        {"the custom size", Form(256, 1500, 2500, 5256, 25008), false,
         MediaSize("psk:CustomMediaSize",
                   ScoredReference("MediaSizeWidth", "PageMediaSizeMediaSizeWidth") +
                       ScoredReference("MediaSizeHeight", "PageMediaSizeMediaSizeHeight")) +
             IntegerInit("PageMediaSizeMediaSizeWidth", 150000) +
             IntegerInit("PageMediaSizeMediaSizeHeight", 250000)},
        {"the PostScript custom size", Form(256, 1500, 2500, 5256, 25008), true,
         MediaSize("psk:PSCustomMediaSize",
                   ScoredReference("PSWidth", "PageMediaSizePSWidth") +
                       ScoredReference("PSHeight", "PageMediaSizePSHeight") +
                       ScoredReference("PSWidthOffset", "PageMediaSizePSWidthOffset") +
                       ScoredReference("PSHeightOffset", "PageMediaSizePSHeightOffset") +
                       ScoredReference("PSOrientation", "PageMediaSizePSOrientation")) +
             IntegerInit("PageMediaSizePSWidth", 150000) +
             IntegerInit("PageMediaSizePSHeight", 250000) +
             IntegerInit("PageMediaSizePSWidthOffset", 0) +
             IntegerInit("PageMediaSizePSHeightOffset", 0) +
             IntegerInit("PageMediaSizePSOrientation", 1)},
        {"a number of 256 is the custom size whatever its kind", Form(256, 10, 20, 0, 25001), false,
         MediaSize("psk:CustomMediaSize",
                   ScoredReference("MediaSizeWidth", "PageMediaSizeMediaSizeWidth") +
                       ScoredReference("MediaSizeHeight", "PageMediaSizeMediaSizeHeight")) +
             IntegerInit("PageMediaSizeMediaSizeWidth", 1000) +
             IntegerInit("PageMediaSizeMediaSizeHeight", 2000)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CComPtr<IXMLDOMDocument2> dom = LoadBytes(devmodetest::TicketXml(old + kept));
        PrintTicketXmlDocument ticket(dom);
        _tag_FormsInfoRec form = c.form;
        EXPECT_EQ(S_OK, Helper::AddOrReplacePageMediaSize(ticket, c.postScript, form));
        EXPECT_EQ(LibraryCanonical(kept + c.written), Canonical(StreamBytesOf(dom)));
    }
}

TEST_F(AddOrReplacePageMediaSize, AFormThatCannotBeWrittenLeavesTheTicketAlone) {
    const std::string body = devmodetest::FeatureXml("PageMediaSize", "ISOA4") +
                             IntegerInit("PageMediaSizeMediaSizeWidth", 1);
    struct Case {
        const char* name;
        _tag_FormsInfoRec form;
        HRESULT result;
    } const cases[] = {
        {"a kind outside the table", Form(7, 2100, 2970, 5109, 25006), E_FAIL},
        {"a negative width", Form(3, -1, 2000, 0, 25005), E_INVALIDARG},
        {"micrometres beyond an int", Form(256, 21474837, 10, 0, 25008), E_INVALIDARG},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CComPtr<IXMLDOMDocument2> dom = LoadBytes(devmodetest::TicketXml(body));
        PrintTicketXmlDocument ticket(dom);
        const std::string before = StreamBytesOf(dom);
        _tag_FormsInfoRec form = c.form;
        EXPECT_EQ(c.result, Helper::AddOrReplacePageMediaSize(ticket, false, form));
        EXPECT_EQ(before, StreamBytesOf(dom));
    }
}

TEST(PageMediaSizeOptionName, NamesEachKindOfForm) {
    struct Case {
        const char* name;
        bool custom, postScript;
        _tag_FormsInfoRec form;
        std::string option;
        PrintSchema::MsPrintTicketNamespacesEnum ns;
    } const cases[] = {
        {"the custom size", true, false, Form(256, 0, 0, 5256, 25008), "CustomMediaSize",
         PrintSchema::KeywordsNs},
        {"the PostScript custom size, whatever the kind", true, true, Form(256, 0, 0, 0, 25006),
         "PSCustomMediaSize", PrintSchema::KeywordsNs},
        {"a driver form", false, false, Form(9, 2100, 2970, 5109, 25001), "ISOA4",
         PrintSchema::KeywordsNs},
        {"a hidden form", false, false, Form(70, 1050, 1480, 5170, 25002), "ISOA6",
         PrintSchema::KeywordsNs},
        {"a system form of the driver's own size", false, false, Form(4, 4318, 2794, 5104, 25004),
         "Ledger", PrintSchema::UserKeywordsNs},
        {"the paper size id picks among entries of one size", false, false,
         Form(1, 2159, 2794, 5102, 25001), "LetterSmall", PrintSchema::UserKeywordsNs},
        {"sizes in tenths of a millimetre find 184150 um", false, false,
         Form(7, 1842, 2667, 5107, 25001), "NorthAmericaExecutive", PrintSchema::KeywordsNs},
        {"no entry of the size and id leaves the name", false, false,
         Form(9, 2100, 2970, 7777, 25001), "unchanged", PrintSchema::KeywordsNs},
        {"a user form", false, false, Form(3, 1000, 2000, 0, 25005), "UserForm_3_1000x2000",
         PrintSchema::UserKeywordsNs},
        {"a driver custom size", false, true, Form(300, 1200, 1800, 0, 25003),
         "DriverCustomSize_300_1200x1800", PrintSchema::UserKeywordsNs},
    };
    PageSizeDictionary dictionary(nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CXString name(u"unchanged");
        auto ns = PrintSchema::UserKeywordsNs;
        Helper::GetMsPageMediaSizeOptionName(c.custom, c.postScript, dictionary, c.form, &name,
                                             &ns);
        EXPECT_EQ(c.option, name.ToUtf8());
        EXPECT_EQ(c.ns, ns);
    }
    CXString name;
    auto ns = PrintSchema::KeywordsNs;
    EXPECT_EQ(E_FAIL, RaisedBy([&] {
                  Helper::GetMsPageMediaSizeOptionName(false, false, Form(1, 1, 1, 1, 25007), &name,
                                                       &ns);
              }));
    EXPECT_EQ(E_POINTER, RaisedBy([&] {
                  Helper::GetMsPageMediaSizeOptionName(true, false, dictionary,
                                                       Form(256, 0, 0, 0, 25008), nullptr, &ns);
              }));
    EXPECT_EQ(E_POINTER, RaisedBy([&] {
                  Helper::GetMsPageMediaSizeOptionName(true, false, dictionary,
                                                       Form(256, 0, 0, 0, 25008), &name, nullptr);
              }));
    // The overload that builds its own dictionary answers as the one given a dictionary.
    Helper::GetMsPageMediaSizeOptionName(false, false, Form(1, 2159, 2794, 5101, 25001), &name,
                                         &ns);
    EXPECT_EQ("NorthAmericaLetter", name.ToUtf8());
}

TEST_F(AddOrReplacePageMediaSize, NamesDriverFormsFromTheDictionary) {
    CComPtr<IXMLDOMDocument2> dom = LoadBytes(devmodetest::TicketXml(""));
    PrintTicketXmlDocument ticket(dom);
    _tag_FormsInfoRec ledger = Form(4, 4318, 2794, 5104, 25004);
    EXPECT_EQ(S_OK, Helper::AddOrReplacePageMediaSize(ticket, false, ledger));
    _tag_FormsInfoRec unnamed = Form(9, 2100, 2970, 7777, 25001);
    EXPECT_EQ(E_INVALIDARG, Helper::AddOrReplacePageMediaSize(ticket, false, unnamed))
        << "a form the dictionary has no name for is not written, and the ticket keeps its size";
    EXPECT_EQ(
        LibraryCanonical(MediaSize("pk:Ledger", ScoredInteger("MediaSizeWidth", 431800) +
                                                    ScoredInteger("MediaSizeHeight", 279400))),
        Canonical(StreamBytesOf(dom)));
}

} // namespace
