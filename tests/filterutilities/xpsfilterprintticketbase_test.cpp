// The filter's view of the tickets of one scope: feature look-up by the feature's own scope,
// the devmode taken from the nearest ticket that carries one, and the change counter.
#include "devmodetestsupport.h"
#include "printschematestsupport.h"

#include <filterutilities/errorconvention.h>
#include <filterutilities/xpsfilterprintticketbase.h>

#include <kldutil/keldanexception.h>

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <optional>

using namespace printschematest;
using namespace devmodetest;

namespace {

using View = XpsFilterPrintTicketBase;
constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

// Exposes the protected tail of the typed getters.
class GetterTail : public XpsFilterPrintTicketBase {
public:
    using XpsFilterPrintTicketBase::DoStandardStatusReturnProcessing;
};

TEST(XpsFilterPrintTicketBaseScopes, MapTheApiScopeAndTheFeatureNames) {
    const std::pair<int, View::EFilterPtScope> scopes[] = {
        {kPTPageScope, View::PagePtScope}, {kPTDocumentScope, View::DocumentPtScope},
        {kPTJobScope, View::JobPtScope},   {7, View::DefaultPtScope},
        {-1, View::DefaultPtScope},
    };
    for (const auto& [scope, expected] : scopes) {
        SCOPED_TRACE(scope);
        EXPECT_EQ(expected,
                  View::MsEPrintTicketScopeToEFilterPtScope(static_cast<EPrintTicketScope>(scope)));
    }

    const std::pair<const WCHAR*, View::EFilterPtScope> features[] = {
        {u"PageMediaSize", View::PagePtScope},
        {u"Page", View::PagePtScope},
        {u"DocumentCollate", View::DocumentPtScope},
        {u"JobCopiesAllDocuments", View::JobPtScope},
        // The test is on the name as given: a prefixed name is a job feature.
        {u"psk:PageMediaSize", View::JobPtScope},
        {u"pageMediaSize", View::JobPtScope},
        {u"Pag", View::JobPtScope},
        {u"", View::JobPtScope},
    };
    for (const auto& [name, expected] : features) {
        SCOPED_TRACE(Utf8(name));
        EXPECT_EQ(expected, View::GetFeatureScopeFromName(CXString(name)));
    }
}

TEST(XpsFilterPrintTicketBaseScopes, ChangeCounterStartsUninitialised) {
    View::PtChangeCounter counter;
    EXPECT_FALSE(counter.IsInitialized());
    EXPECT_EQ(-1, counter.Get());
    counter.Increment();
    EXPECT_TRUE(counter.IsInitialized());
    EXPECT_EQ(0, counter.Get());
    counter.Set(INT32_MAX);
    counter.Increment(); // wraps, without signed overflow
    EXPECT_EQ(INT32_MIN, counter.Get());
    EXPECT_TRUE(counter.IsInitialized());
    View::PtChangeCounter other;
    EXPECT_NE(counter, other);
    other = counter;
    EXPECT_EQ(counter, other);
    counter.Reset();
    EXPECT_FALSE(counter.IsInitialized());
}

TEST(XpsFilterPrintTicketBaseScopes, StandardStatusReturnProcessing) {
    struct Case {
        HRESULT hr;
        bool withFound;
        bool withStatus;
        HRESULT returned;
        std::optional<bool> found;
        std::optional<HRESULT> status;
    };
    const Case cases[] = {
        {kNotFound, true, true, S_OK, false, S_FALSE},
        {E_FAIL, true, true, S_OK, false, E_FAIL},
        {S_OK, true, true, S_OK, true, S_OK},
        {S_FALSE, true, true, S_OK, true, S_FALSE},
        {kNotFound, false, true, S_OK, std::nullopt, kNotFound},
        {E_FAIL, false, true, S_OK, std::nullopt, E_FAIL},
        {kNotFound, true, false, S_OK, false, std::nullopt},
        {E_FAIL, true, false, E_FAIL, false, std::nullopt},
        {S_OK, true, false, S_OK, true, std::nullopt},
        {kNotFound, false, false, kNotFound, std::nullopt, std::nullopt},
        {E_FAIL, false, false, E_FAIL, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << std::hex << c.hr << " found " << c.withFound << " status " << c.withStatus);
        bool found = !c.found.value_or(true);
        HRESULT status = 12345;
        EXPECT_EQ(c.returned,
                  GetterTail::DoStandardStatusReturnProcessing(c.hr, c.withFound ? &found : nullptr,
                                                               c.withStatus ? &status : nullptr));
        if (c.found) {
            EXPECT_EQ(*c.found, found);
        }
        EXPECT_EQ(c.status.value_or(12345), status);
    }
}

// Four tickets in which the same features select different options, so that the answer shows
// which ticket it came from.
class XpsFilterPrintTicketBaseTest : public DomTest {
protected:
    void SetUp() override {
        DomTest::SetUp();
        m_default = LoadBytes(TicketXml(
            FeatureXml("PageMediaSize", "ISOA4") + FeatureXml("PageOrientation", "Portrait") +
            FeatureXml("DocumentCollate", "Collated") +
            FeatureXml("JobDuplexAllDocumentsContiguously", "OneSided")));
        m_job = LoadBytes(
            TicketXml(FeatureXml("PageOrientation", "Landscape") +
                      FeatureXml("JobDuplexAllDocumentsContiguously", "TwoSidedLongEdge")));
        m_document = LoadBytes(TicketXml(FeatureXml("DocumentCollate", "Uncollated")));
        // A job feature in the page ticket is not the page's to decide.
        m_page = LoadBytes(TicketXml(
            "  <psf:Feature name=\"psk:PageMediaSize\"><psf:Option "
            "name=\"psk:NorthAmericaLetter\"><psf:ScoredProperty name=\"psk:MediaSizeWidth\">"
            "<psf:Value xsi:type=\"xsd:integer\">215900</psf:Value></psf:ScoredProperty>"
            "</psf:Option></psf:Feature>\n" +
            FeatureXml("JobDuplexAllDocumentsContiguously", "TwoSidedShortEdge")));
    }

    void Fill(View& view, EPrintTicketScope scope, bool withJob = true) {
        view.Initialize(scope, m_default, withJob ? m_job.p : nullptr, m_document, m_page, nullptr,
                        CXString(u"Keldan Printer"), nullptr);
    }

    CComPtr<IXMLDOMDocument2> m_default, m_job, m_document, m_page;
};

struct Lookup {
    const WCHAR* feature;
    HRESULT hr;
    const char* option;
    View::EFilterPtScope from;
};

std::string Describe(View& view, const WCHAR* feature, HRESULT& hr, View::EFilterPtScope& from) {
    CComBSTR option, prefix;
    from = static_cast<View::EFilterPtScope>(-1);
    hr = view.XpsFilterGetFeatureOption(CComBSTR(feature), &option, &prefix, &from);
    return hr == S_OK ? Utf8(prefix.m_str) + Utf8(option.m_str) : "";
}

TEST_F(XpsFilterPrintTicketBaseTest, AFeatureIsLookedUpFromItsOwnScopeDown) {
    const Lookup lookups[] = {
        {u"PageMediaSize", S_OK, "psk:NorthAmericaLetter", View::PagePtScope},
        {u"PageOrientation", S_OK, "psk:Landscape", View::JobPtScope},
        {u"DocumentCollate", S_OK, "psk:Uncollated", View::DocumentPtScope},
        {u"JobDuplexAllDocumentsContiguously", S_OK, "psk:TwoSidedLongEdge", View::JobPtScope},
        {u"PageOutputColor", kNotFound, "", View::EFilterPtScope(-1)},
    };
    // The view's own scope does not limit the look-up: the feature's does.
    for (EPrintTicketScope scope : {kPTPageScope, kPTJobScope}) {
        View view;
        Fill(view, scope);
        for (const Lookup& lookup : lookups) {
            SCOPED_TRACE(Utf8(lookup.feature) + " in scope " + std::to_string(scope));
            HRESULT hr = E_UNEXPECTED;
            View::EFilterPtScope from;
            EXPECT_EQ(lookup.option, Describe(view, lookup.feature, hr, from));
            EXPECT_EQ(lookup.hr, hr);
            EXPECT_EQ(lookup.from, from);
        }
    }
}

TEST_F(XpsFilterPrintTicketBaseTest, AJobFeatureSkipsThePageAndDocumentTickets) {
    View view;
    Fill(view, kPTPageScope, /*withJob=*/false);
    HRESULT hr = E_UNEXPECTED;
    View::EFilterPtScope from;
    EXPECT_EQ("psk:OneSided", Describe(view, u"JobDuplexAllDocumentsContiguously", hr, from));
    EXPECT_EQ(View::DefaultPtScope, from);

    int width = 0;
    EXPECT_EQ(S_OK, view.XpsFilterGetScoredPropertyValue(
                        CComBSTR(u"PageMediaSize"), CComBSTR(u"MediaSizeWidth"), &width, &from));
    EXPECT_EQ(215900, width);
    EXPECT_EQ(View::PagePtScope, from);
    EXPECT_EQ(kNotFound, view.XpsFilterGetScoredPropertyValue(
                             CComBSTR(u"PageMediaSize"), CComBSTR(u"MediaSizeHeight"), &width));
    EXPECT_EQ(215900, width);
}

TEST_F(XpsFilterPrintTicketBaseTest, LookupFailuresAreReturned) {
    View empty;
    CComBSTR option;
    EXPECT_EQ(kNotFound, empty.XpsFilterGetFeatureOption(CComBSTR(u"PageMediaSize"), &option));
    EXPECT_EQ(E_POINTER, empty.XpsFilterGetFeatureOption(CComBSTR(u"PageMediaSize"), nullptr));

    // An option name without a prefix cannot be split: the search ends with E_FAIL there and
    // does not go on to a wider ticket.
    CComPtr<IXMLDOMDocument2> broken = LoadBytes(TicketXml(
        "  <psf:Feature name=\"psk:PageMediaSize\"><psf:Option name=\"Letter\"/></psf:Feature>\n"));
    View view;
    view.Initialize(kPTPageScope, m_default, nullptr, nullptr, broken, nullptr, CXString(),
                    nullptr);
    EXPECT_EQ(E_FAIL, view.XpsFilterGetFeatureOption(CComBSTR(u"PageMediaSize"), &option));
    EXPECT_FALSE(option);
}

TEST_F(XpsFilterPrintTicketBaseTest, ARefillReplacesEveryTicketOrNone) {
    View view;
    Fill(view, kPTDocumentScope);
    EXPECT_EQ(0, view.GetChangeCounter().Get());
    EXPECT_EQ(kPTDocumentScope, view.GetScope());
    EXPECT_EQ(View::DocumentPtScope, view.GetFilterScope());

    // A document that cannot be wrapped: the refill fails, with a failure code even where
    // construction says "not a ticket" with S_FALSE, and nothing of the fill changes.
    const struct {
        const char* name;
        const char* xml;
        HRESULT expected;
    } refused[] = {
        {"capabilities", R"(<psf:PrintCapabilities xmlns:psf="$FW"/>)", E_INVALIDARG},
        {"no Print Schema at all", "<note>hello</note>", E_INVALIDARG},
        {"framework as the default namespace", R"(<PrintTicket xmlns="$FW"/>)", E_FAIL},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.name);
        std::string xml = c.xml;
        for (size_t at; (at = xml.find("$FW")) != std::string::npos;) {
            xml.replace(at, 3, Utf8(std::u16string_view(PrintSchema::FrameworkNamespaceUri)));
        }
        CComPtr<IXMLDOMDocument2> notATicket = LoadBytes(xml);
        // As a caller that turns the library's exceptions into its HRESULT sees it.
        EXPECT_EQ(c.expected, CatchComException([&] {
                      view.Initialize(kPTPageScope, nullptr, nullptr, nullptr, notATicket, nullptr,
                                      CXString(), nullptr);
                      return S_OK;
                  }));
        EXPECT_EQ(0, view.GetChangeCounter().Get());
        EXPECT_EQ(kPTDocumentScope, view.GetScope());
        EXPECT_TRUE(view.GetTicket(View::JobPtScope));
        EXPECT_TRUE(view.GetTicket(View::PagePtScope));
    }

    // A ticket missing from a fill is gone from the view.
    view.Initialize(kPTPageScope, m_default, nullptr, nullptr, nullptr, m_page, CXString(u"Other"),
                    nullptr);
    EXPECT_EQ(1, view.GetChangeCounter().Get());
    EXPECT_FALSE(view.GetTicket(View::JobPtScope));
    EXPECT_FALSE(view.GetTicket(View::PagePtScope));
    EXPECT_TRUE(view.GetMergedTicket());
    EXPECT_EQ(CXString(u"Other"), view.GetPrinterName());
    HRESULT hr = E_UNEXPECTED;
    View::EFilterPtScope from;
    EXPECT_EQ("psk:ISOA4", Describe(view, u"PageMediaSize", hr, from));
}

// A refill with a DOM document that changed since the last fill reads the document as it is
// now, even where the change moves what the view learnt of it (its root and its prefixes).
TEST_F(XpsFilterPrintTicketBaseTest, ARefillReadsADocumentChangedSinceTheLastFill) {
    View view;
    Fill(view, kPTPageScope);
    HRESULT hr = E_UNEXPECTED;
    View::EFilterPtScope from;
    EXPECT_EQ("psk:Landscape", Describe(view, u"PageOrientation", hr, from));
    EXPECT_EQ(View::JobPtScope, from);
    PrintTicketXmlDocument* const job = view.GetTicket(View::JobPtScope);

    Fill(view, kPTPageScope);
    EXPECT_EQ(job, view.GetTicket(View::JobPtScope))
        << "an unchanged document is not wrapped again";

    std::string reloaded = TicketXml(FeatureXml("PageOrientation", "ReversePortrait"));
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"psf:", "fw:"},
                                   {"xmlns:psf=", "xmlns:fw="},
                                   {"psk:", "kw:"},
                                   {"xmlns:psk=", "xmlns:kw="}}) {
        for (size_t at; (at = reloaded.find(from)) != std::string::npos;) {
            reloaded.replace(at, from.size(), to);
        }
    }
    VARIANT_BOOL ok = VARIANT_FALSE;
    ASSERT_EQ(S_OK, m_job->loadXML(CComBSTR(Utf16(reloaded).c_str()), &ok));
    Fill(view, kPTPageScope);
    EXPECT_EQ("kw:ReversePortrait", Describe(view, u"PageOrientation", hr, from));
    EXPECT_EQ(View::JobPtScope, from);
}

// The content counter stays while a refill hands the view what it holds, unchanged, and moves
// with anything that can change an answer; the change counter moves with every refill.
TEST_F(XpsFilterPrintTicketBaseTest, TheContentCounterMovesOnlyWithWhatTheTicketsSay) {
    CComPtr<IXMLDOMDocument2> other =
        LoadBytes(TicketXml(FeatureXml("PageOrientation", "Portrait")));
    struct Refill {
        const char* name;
        std::function<void(View&)> fill;
        bool moves;
    };
    const auto fillWith = [&](EPrintTicketScope scope, IXMLDOMDocument2* job,
                              IXMLDOMDocument2* merged, const char16_t* printer, HANDLE user) {
        return [=, this](View& view) {
            view.Initialize(scope, m_default, job, m_document, m_page, merged, CXString(printer),
                            user);
        };
    };
    const Refill refills[] = {
        {"the same fill", fillWith(kPTPageScope, m_job, nullptr, u"P", nullptr), false},
        {"another DOM in one place", fillWith(kPTPageScope, other, nullptr, u"P", nullptr), true},
        {"the first DOM back", fillWith(kPTPageScope, m_job, nullptr, u"P", nullptr), true},
        {"a ticket added", fillWith(kPTPageScope, m_job, other, u"P", nullptr), true},
        {"the same again", fillWith(kPTPageScope, m_job, other, u"P", nullptr), false},
        {"a ticket dropped", fillWith(kPTPageScope, m_job, nullptr, u"P", nullptr), true},
        {"another scope", fillWith(kPTDocumentScope, m_job, nullptr, u"P", nullptr), true},
        {"another printer", fillWith(kPTDocumentScope, m_job, nullptr, u"Q", nullptr), true},
        {"another user",
         fillWith(kPTDocumentScope, m_job, nullptr, u"Q", reinterpret_cast<HANDLE>(8)), true},
        {"a ticket changed in place",
         [&](View& view) {
             VARIANT_BOOL ok = VARIANT_FALSE;
             ASSERT_EQ(S_OK, m_job->loadXML(CComBSTR(Utf16(TicketXml(FeatureXml("PageOrientation",
                                                                                "ReversePortrait")))
                                                         .c_str()),
                                            &ok));
             fillWith(kPTDocumentScope, m_job, nullptr, u"Q", reinterpret_cast<HANDLE>(8))(view);
         },
         true},
        {"that one again",
         fillWith(kPTDocumentScope, m_job, nullptr, u"Q", reinterpret_cast<HANDLE>(8)), false},
    };
    View view;
    fillWith(kPTPageScope, m_job, nullptr, u"P", nullptr)(view);
    for (const Refill& refill : refills) {
        SCOPED_TRACE(refill.name);
        const View::PtChangeCounter content = view.GetContentCounter();
        const View::PtChangeCounter change = view.GetChangeCounter();
        refill.fill(view);
        EXPECT_EQ(refill.moves, content != view.GetContentCounter());
        EXPECT_NE(change, view.GetChangeCounter());
    }
    HRESULT hr = E_UNEXPECTED;
    View::EFilterPtScope from;
    EXPECT_EQ("psk:ReversePortrait", Describe(view, u"PageOrientation", hr, from));

    // A refill that fails leaves both counters where they were.
    const View::PtChangeCounter content = view.GetContentCounter();
    CComPtr<IXMLDOMDocument2> notATicket = LoadBytes("<note/>");
    EXPECT_EQ(E_INVALIDARG, CatchComException([&] {
                  view.Initialize(kPTPageScope, notATicket, nullptr, nullptr, nullptr, nullptr,
                                  CXString(u"Q"), nullptr);
                  return S_OK;
              }));
    EXPECT_EQ(content, view.GetContentCounter());
}

// The data-model option of feature 215 in the view's devmode; 0 when the list is empty.
int32_t PagesOption(View& view) {
    return view.GetOptionValueFromAttributeBytes(AttributeBytesFeatureId(215), 0);
}

CComPtr<IXMLDOMDocument2> TicketCarrying(const ByteBuffer& devmode) {
    return LoadBytes(TicketWithSnapshots({Base64(devmode)}));
}

TEST_F(XpsFilterPrintTicketBaseTest, TheDevmodeComesFromTheNearestTicketThatCarriesOne) {
    CComPtr<IXMLDOMDocument2> jobTicket = TicketCarrying(DriverDevmode({{215, 7241}}));
    CComPtr<IXMLDOMDocument2> documentTicket = TicketCarrying(DriverDevmode({{215, 7242}}));
    CComPtr<IXMLDOMDocument2> otherDriver =
        LoadBytes(TicketWithSnapshots({GenericTextOnlyDevmodeText()}));
    CComPtr<IXMLDOMDocument2> plain = LoadBytes(TicketWithSnapshots({}));

    View view;
    EXPECT_EQ(0, PagesOption(view)); // never filled: nothing to read
    // The page ticket has none: the document's is the nearest.
    view.Initialize(kPTPageScope, plain, jobTicket, documentTicket, plain, nullptr, CXString(),
                    nullptr);
    EXPECT_EQ(7242, PagesOption(view));
    // A job view starts at the job ticket.
    view.Initialize(kPTJobScope, plain, jobTicket, documentTicket, plain, nullptr, CXString(),
                    nullptr);
    EXPECT_EQ(7241, PagesOption(view));
    // Another driver's devmode is passed over.
    view.Initialize(kPTPageScope, plain, jobTicket, otherDriver, otherDriver, nullptr, CXString(),
                    nullptr);
    EXPECT_EQ(7241, PagesOption(view));
    // No ticket of this fill carries one: the previous devmode stays.
    view.Initialize(kPTPageScope, plain, nullptr, plain, nullptr, nullptr, CXString(), nullptr);
    EXPECT_EQ(7241, PagesOption(view));
}

TEST_F(XpsFilterPrintTicketBaseTest, TheChangeCounterInvalidatesTheAttributeBytes) {
    CComPtr<IXMLDOMDocument2> page = TicketCarrying(DriverDevmode({{215, 7243}}));
    View view;
    view.Initialize(kPTPageScope, nullptr, nullptr, nullptr, page, nullptr, CXString(), nullptr);
    EXPECT_EQ(7243, PagesOption(view));

    // The ticket changes under the view: the view answers from its cache until it is filled
    // again.
    const ByteBuffer changed = DriverDevmode({{215, 7245}});
    PrintTicketXmlDocument(page).AddOrReplacePageDevmodeSnapshotInPrintTicket(AsDevmode(changed));
    EXPECT_EQ(7243, PagesOption(view));
    view.Initialize(kPTPageScope, nullptr, nullptr, nullptr, page, nullptr, CXString(), nullptr);
    EXPECT_EQ(7245, PagesOption(view));
}

TEST_F(XpsFilterPrintTicketBaseTest, DebugDumpDescribesTheFill) {
    View view;
    EXPECT_EQ(E_POINTER, view.DebugDumpToBstr(nullptr));
    Fill(view, kPTPageScope, /*withJob=*/false);
    CComBSTR dump;
    ASSERT_EQ(S_OK, view.DebugDumpToBstr(&dump));
    const std::string text = Utf8(dump.m_str);
    EXPECT_NE(std::string::npos, text.find("tickets: default document page\n")) << text;
    EXPECT_NE(std::string::npos, text.find("Keldan Printer")) << text;
}

} // namespace
