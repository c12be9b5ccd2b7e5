// The provider's contract: opening and closing, threads, bad tickets with their messages,
// impersonation, memory running out.
#include "printtickettest.h"

#include "handleapi.h"
#include "platformsecurity.h"
#include "platformtest.h"

#include <msxml6.h>
#include <oleauto.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

namespace {

using printtickettest::kBuiltin;
using printtickettest::kDocsPrinter;
using printtickettest::Outcome;

const char kGood[] =
    R"(<psf:PrintTicket xmlns:psf="http://schemas.microsoft.com/windows/2003/08/printing/printschemaframework"
  xmlns:psk="http://schemas.microsoft.com/windows/2003/08/printing/printschemakeywords" version="1">
  <psf:Feature name="psk:PageOrientation"><psf:Option name="psk:Landscape"/></psf:Feature>
</psf:PrintTicket>)";

std::string Ticket(const std::string& body, const std::string& root = "psf:PrintTicket") {
    return "<" + root +
           R"( xmlns:psf="http://schemas.microsoft.com/windows/2003/08/printing/printschemaframework"
  xmlns:psk="http://schemas.microsoft.com/windows/2003/08/printing/printschemakeywords" version="1">)" +
           body + "</" + root + ">";
}

class Provider : public printtickettest::PrinterFixture {};

TEST_F(Provider, OpensForKnownPrintersAndVersionOneOnly) {
    HPTPROVIDER provider = reinterpret_cast<HPTPROVIDER>(1);
    EXPECT_EQ(E_INVALIDARG, PTOpenProvider(u"FilterUtilities XPS Printer", 2, &provider));
    EXPECT_EQ(nullptr, provider);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME),
              PTOpenProvider(u"No Such Printer", 1, &provider));
    EXPECT_EQ(E_POINTER, PTOpenProvider(u"FilterUtilities XPS Printer", 1, nullptr));

    ASSERT_EQ(S_OK, PTOpenProvider(u"filterutilities xps printer", 1, &provider));
    EXPECT_EQ(S_OK, PTCloseProvider(provider));
    EXPECT_EQ(E_HANDLE, PTCloseProvider(provider)) << "a provider closes once";
    CComPtr<IStream> base = printtickettest::StreamOf(kGood);
    CComPtr<IStream> result = printtickettest::StreamOf("");
    EXPECT_EQ(E_HANDLE,
              PTMergeAndValidatePrintTicket(provider, base, nullptr, kPTJobScope, result, nullptr));
}

TEST_F(Provider, BelongsToTheThreadThatOpenedIt) {
    HPTPROVIDER provider = nullptr;
    ASSERT_EQ(S_OK, PTOpenProvider(u"FilterUtilities XPS Printer", 1, &provider));
    std::thread([provider] {
        CComPtr<IStream> base = printtickettest::StreamOf(kGood);
        CComPtr<IStream> result = printtickettest::StreamOf("");
        EXPECT_EQ(E_INVALIDARG, PTMergeAndValidatePrintTicket(provider, base, nullptr, kPTJobScope,
                                                              result, nullptr));
        EXPECT_EQ(E_INVALIDARG, PTCloseProvider(provider));
    }).join();
    EXPECT_EQ(S_OK, PTCloseProvider(provider));
}

TEST_F(Provider, RefusesMissingStreamsAndUnknownScopes) {
    HPTPROVIDER provider = nullptr;
    ASSERT_EQ(S_OK, PTOpenProvider(u"FilterUtilities XPS Printer", 1, &provider));
    CComPtr<IStream> base = printtickettest::StreamOf(kGood);
    CComPtr<IStream> result = printtickettest::StreamOf("");
    EXPECT_EQ(E_POINTER, PTMergeAndValidatePrintTicket(provider, nullptr, nullptr, kPTJobScope,
                                                       result, nullptr));
    EXPECT_EQ(E_POINTER, PTMergeAndValidatePrintTicket(provider, base, nullptr, kPTJobScope,
                                                       nullptr, nullptr));
    EXPECT_EQ(E_INVALIDARG,
              PTMergeAndValidatePrintTicket(provider, base, nullptr,
                                            static_cast<EPrintTicketScope>(3), result, nullptr));
    EXPECT_EQ(S_OK, PTCloseProvider(provider));
}

TEST_F(Provider, BadTicketsAreRefusedWithAMessageSayingWhy) {
    const std::string feature =
        R"(<psf:Feature name="psk:PageOrientation"><psf:Option name="psk:Portrait"/></psf:Feature>)";
    const struct {
        const char* what;
        std::string ticket;
        const char* message;
    } bad[] = {
        {"not XML", "this is no ticket", "is not well-formed XML"},
        {"cut short", Ticket(feature).substr(0, 120), "is not well-formed XML (line"},
        {"capabilities", Ticket(feature, "psf:PrintCapabilities"),
         "the root element is not a PrintTicket"},
        {"wrong namespace", "<psf:PrintTicket xmlns:psf=\"http://example.com/\"/>",
         "the root element is not a PrintTicket"},
        {"nameless feature", Ticket("<psf:Feature><psf:Option name=\"psk:A\"/></psf:Feature>"),
         "line 2: Feature has no name"},
        {"undeclared prefix", Ticket("<psf:ParameterInit name=\"zz:Copies\"/>"),
         "ParameterInit name \"zz:Copies\" uses the undeclared prefix \"zz\""},
        {"feature twice", Ticket(feature + "\n" + feature), "PageOrientation ("},
        {"document type", "<!DOCTYPE x [<!ENTITY a 'b'>]>" + Ticket(feature),
         "A document type definition (DTD) is not allowed."},
        {"empty", "", "is not well-formed XML"},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.what);
        Outcome asBase = MergeTexts(kBuiltin, c.ticket, kGood, kPTPageScope);
        EXPECT_EQ(E_PRINTTICKET_FORMAT, asBase.hr);
        EXPECT_NE(std::string::npos, asBase.message.find("the base ticket")) << asBase.message;
        EXPECT_NE(std::string::npos, asBase.message.find(c.message)) << asBase.message;

        Outcome asDelta = MergeTexts(kBuiltin, kGood, c.ticket, kPTPageScope);
        EXPECT_EQ(E_DELTA_PRINTTICKET_FORMAT, asDelta.hr);
        EXPECT_NE(std::string::npos, asDelta.message.find("the delta ticket")) << asDelta.message;
        EXPECT_NE(std::string::npos, asDelta.message.find(c.message)) << asDelta.message;
    }
    // A value deep inside the delta that names an undeclared prefix cannot be carried over.
    Outcome nested = MergeTexts(
        kBuiltin, kGood,
        Ticket(
            R"(<psf:Feature name="psk:PageOrientation"><psf:Option name="zz:Sideways"/></psf:Feature>)"),
        kPTPageScope);
    EXPECT_EQ(E_DELTA_PRINTTICKET_FORMAT, nested.hr);
    EXPECT_NE(std::string::npos, nested.message.find("\"zz:Sideways\" uses the undeclared prefix"))
        << nested.message;
}

TEST_F(Provider, ASuccessLeavesNoMessageAndReadsFromWhereTheStreamStands) {
    HPTPROVIDER provider = nullptr;
    ASSERT_EQ(S_OK, PTOpenProvider(u"FilterUtilities XPS Printer", 1, &provider));
    CComPtr<IStream> base = printtickettest::StreamOf(std::string("garbage") + kGood);
    LARGE_INTEGER skip{};
    skip.QuadPart = 7;
    base->Seek(skip, STREAM_SEEK_SET, nullptr);
    CComPtr<IStream> result = printtickettest::StreamOf("");
    BSTR message = SysAllocString(u"stale");
    BSTR stale = message;
    EXPECT_EQ(S_PT_NO_CONFLICT, PTMergeAndValidatePrintTicket(provider, base, nullptr, kPTPageScope,
                                                              result, &message));
    EXPECT_EQ(nullptr, message);
    SysFreeString(stale);
    EXPECT_EQ("psk:Landscape",
              printtickettest::Settings(printtickettest::ContentOf(result))["psk:PageOrientation"]);
    EXPECT_EQ(S_OK, PTCloseProvider(provider));
}

// The printer's capabilities are read once per provider, and a base ticket that comes again is
// parsed once and copied: merges onto one base that fall back to a default option, match
// nameless options or clamp a parameter answer the same through one provider, byte for byte,
// however often and in whatever order, as each does through a provider of its own.
TEST_F(Provider, EveryMergeOfOneProviderAnswersAsAFreshProviderDoes) {
    const std::string deltas[] = {
        Ticket(
            R"(<psf:Feature name="psk:PageOutputColor"><psf:Option name="psk:Grayscale"/></psf:Feature>)"),
        printtickettest::File("ticket-custom-media-size.xml"),
        printtickettest::File("ticket-3d-example.xml"),
        Ticket(
            R"(<psf:Feature name="psk:PageOrientation"><psf:Option name="psk:Portrait"/></psf:Feature>)"),
    };
    std::vector<Outcome> fresh;
    for (const std::string& delta : deltas) {
        fresh.push_back(MergeTexts(kDocsPrinter, kGood, delta, kPTPageScope));
        ASSERT_TRUE(SUCCEEDED(fresh.back().hr)) << fresh.back().message;
    }
    HPTPROVIDER provider = nullptr;
    ASSERT_EQ(S_OK, PTOpenProvider(u"Docs Example Printer", 1, &provider));
    for (int round = 0; round < 2; ++round) {
        for (size_t i = std::size(deltas); i-- > 0;) {
            SCOPED_TRACE(testing::Message() << "round " << round << ", delta " << i);
            CComPtr<IStream> base = printtickettest::StreamOf(kGood);
            CComPtr<IStream> delta = printtickettest::StreamOf(printtickettest::Resolve(deltas[i]));
            CComPtr<IStream> result = printtickettest::StreamOf("");
            EXPECT_EQ(fresh[i].hr, PTMergeAndValidatePrintTicket(provider, base, delta,
                                                                 kPTPageScope, result, nullptr));
            EXPECT_EQ(fresh[i].result, printtickettest::ContentOf(result));
        }
    }
    EXPECT_EQ(S_OK, PTCloseProvider(provider));
}

// The printer's capabilities are parsed once and read by every provider of the printer: four
// threads merging at once answer as one provider does alone, conflicts resolved from the
// capabilities' default options included.
TEST_F(Provider, ProvidersOnSeveralThreadsAnswerAsOneDoes) {
    const std::string deltas[] = {
        printtickettest::File("ticket-custom-media-size.xml"),
        printtickettest::File("ticket-3d-example.xml"),
        Ticket(
            R"(<psf:Feature name="psk:PageOutputColor"><psf:Option name="psk:Grayscale"/></psf:Feature>)"),
    };
    std::vector<Outcome> alone;
    for (const std::string& delta : deltas) {
        alone.push_back(MergeTexts(kDocsPrinter, kGood, delta, kPTPageScope));
        ASSERT_TRUE(SUCCEEDED(alone.back().hr)) << alone.back().message;
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < 3; ++round) {
                for (size_t i = 0; i < std::size(deltas); ++i) {
                    const Outcome outcome =
                        MergeTexts(kDocsPrinter, kGood, deltas[i], kPTPageScope);
                    EXPECT_EQ(alone[i].hr, outcome.hr) << outcome.message;
                    EXPECT_EQ(alone[i].result, outcome.result);
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

// A printer whose capabilities file changes is validated against the new capabilities by the
// providers opened after the change.
TEST_F(Provider, ChangedCapabilitiesAreReadAgain) {
    const std::filesystem::path capabilities = Folder() / "changing-capabilities.xml";
    std::filesystem::copy_file(printtickettest::DataFile("capabilities-docs-example.xml"),
                               capabilities);
    std::ofstream(Folder() / "changing.printer")
        << "name = Changing Printer\ndriver = Docs Example Driver\ncapabilities = "
        << capabilities.string()
        << "\ndefault-ticket = " << printtickettest::DataFile("ticket-custom-media-size.xml")
        << "\n";
    const Outcome before =
        MergeTexts("Changing Printer", kGood, printtickettest::kNullDelta, kPTPageScope);
    ASSERT_TRUE(SUCCEEDED(before.hr)) << before.message;
    EXPECT_NE(std::string::npos, before.result.find("psk:Landscape")) << before.result;

    std::ofstream(capabilities, std::ios::trunc)
        << R"(<psf:PrintCapabilities xmlns:psf="http://schemas.microsoft.com/windows/2003/08/printing/printschemaframework" version="1"/>)";
    const Outcome after =
        MergeTexts("Changing Printer", kGood, printtickettest::kNullDelta, kPTPageScope);
    ASSERT_TRUE(SUCCEEDED(after.hr)) << after.message;
    EXPECT_EQ(std::string::npos, after.result.find("PageOrientation")) << after.result;
}

TEST_F(Provider, KeepsTheDeclarationsTheResultNeedsAndNoOthers) {
    // The 3D delta brings three namespaces whose settings the printer then drops.
    const Outcome dropped = MergeTexts(
        kDocsPrinter, kGood, printtickettest::File("ticket-3d-example.xml"), kPTPageScope);
    ASSERT_EQ(S_PT_CONFLICT_RESOLVED, dropped.hr);
    EXPECT_EQ(std::string::npos, dropped.result.find("pskeywords3d")) << dropped.result;
    EXPECT_EQ(std::string::npos, dropped.result.find("http://foo")) << dropped.result;

    // A private option of the delta, under a prefix the base lacks, and a QName value.
    const Outcome kept = MergeTexts(
        kDocsPrinter, kGood,
        Ticket(
            R"(<psf:Feature name="psk:JobInputBin" xmlns:b="http://schemas.microsoft.com/windows/printing/oemdriverpt/ES_LNseries_PowerPrinter"
             xmlns:i="http://www.w3.org/2001/XMLSchema-instance" xmlns:s="http://www.w3.org/2001/XMLSchema">
             <psf:Option name="b:ESLDProBin"><psf:ScoredProperty name="psk:BinType">
             <psf:Value i:type="s:QName">psk:Manual</psf:Value></psf:ScoredProperty>
             <v:Hint xmlns:v="urn:vendor" name="two words"/></psf:Option></psf:Feature>)"),
        kPTPageScope);
    ASSERT_EQ(S_PT_NO_CONFLICT, kept.hr) << kept.message;
    EXPECT_NE(
        std::string::npos,
        kept.result.find(
            R"(xmlns:b="http://schemas.microsoft.com/windows/printing/oemdriverpt/ES_LNseries_PowerPrinter")"))
        << kept.result;
    EXPECT_NE(std::string::npos, kept.result.find(R"(<psf:Value i:type="s:QName">psk:Manual<)"))
        << kept.result;
    // Another vocabulary's attribute called name is text, not a name to resolve.
    EXPECT_NE(std::string::npos, kept.result.find(R"(<v:Hint name="two words"/>)")) << kept.result;
    EXPECT_NE(std::string::npos, kept.result.find(R"(xmlns:v="urn:vendor")")) << kept.result;
}

TEST_F(Provider, AnElementInNoNamespaceStaysInNone) {
    const char base[] =
        R"(<PrintTicket xmlns="http://schemas.microsoft.com/windows/2003/08/printing/printschemaframework" version="1"/>)";
    const Outcome merged = MergeTexts(
        kBuiltin, base,
        Ticket(
            R"(<psf:Feature name="psk:PageOrientation"><psf:Option name="psk:Landscape"><Note/></psf:Option></psf:Feature>)"),
        kPTPageScope);
    ASSERT_EQ(S_PT_NO_CONFLICT, merged.hr) << merged.message;
    EXPECT_NE(std::string::npos, merged.result.find(R"(<Note xmlns=""/>)")) << merged.result;
    EXPECT_EQ("psk:Landscape", printtickettest::Settings(merged.result)["psk:PageOrientation"]);
}

TEST_F(Provider, RunsAsTheImpersonatedUser) {
    HANDLE alice = platformtest::CreateTestUserToken(u"alice", "/a");
    platformtest::ImpersonationLog log;
    ASSERT_TRUE(SetThreadToken(nullptr, alice));
    HPTPROVIDER provider = nullptr;
    ASSERT_EQ(S_OK, PTOpenProvider(u"FilterUtilities XPS Printer", 1, &provider));
    CComPtr<IStream> base = printtickettest::StreamOf(kGood);
    CComPtr<IStream> result = printtickettest::StreamOf("");
    EXPECT_EQ(S_PT_NO_CONFLICT,
              PTMergeAndValidatePrintTicket(provider, base, nullptr, kPTJobScope, result, nullptr));
    ASSERT_TRUE(SetThreadToken(nullptr, nullptr));
    EXPECT_EQ(S_OK, PTCloseProvider(provider));
    EXPECT_TRUE(CloseHandle(alice));
    using Entry = platformtest::ImpersonationLog::Entry;
    EXPECT_EQ((std::vector<Entry>{{"SetThreadToken", u"alice"},
                                  {"PTOpenProvider", u"alice"},
                                  {"PTMergeAndValidatePrintTicket", u"alice"},
                                  {"SetThreadToken", u""},
                                  {"PTCloseProvider", u""}}),
              log.Entries());
}

// Every allocation of the platform's allocator on the way (the result stream growing, the
// error message) fails once in turn: the merge reports the failure or completes, and never
// reports success over a result it could not write.
TEST_F(Provider, MemoryRunningOutIsReportedNeverHidden) {
    const std::string delta =
        printtickettest::ReadFile(printtickettest::DataFile("ticket-custom-media-size.xml"));
    HPTPROVIDER provider = nullptr;
    ASSERT_EQ(S_OK, PTOpenProvider(u"Docs Example Printer", 1, &provider));
    bool completed = false;
    for (unsigned long n = 1; n < 200 && !completed; ++n) {
        SCOPED_TRACE(n);
        CComPtr<IStream> base = printtickettest::StreamOf(kGood);
        CComPtr<IStream> deltaStream = printtickettest::StreamOf(delta);
        CComPtr<IStream> result;
        ASSERT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, &result));
        BSTR message = nullptr;
        HRESULT hr;
        {
            platformtest::AllocationFailure failure(n);
            hr = PTMergeAndValidatePrintTicket(provider, base, deltaStream, kPTPageScope, result,
                                               &message);
        }
        SysFreeString(message);
        if (SUCCEEDED(hr)) {
            EXPECT_EQ(S_PT_CONFLICT_RESOLVED, hr);
            EXPECT_EQ("87291", printtickettest::Settings(printtickettest::ContentOf(
                                   result))["psk:PageMediaSizeMediaSizeWidth"]);
            completed = true;
        } else {
            EXPECT_TRUE(hr == E_OUTOFMEMORY || hr == STG_E_MEDIUMFULL) << std::hex << hr;
        }
    }
    EXPECT_TRUE(completed);
    EXPECT_EQ(S_OK, PTCloseProvider(provider));
}

// A DOM document's text as it would stand in its stream: loaded (white space kept or not),
// then changed or not.
CComPtr<IXMLDOMDocument2> Dom(const std::string& text, bool preserveWhiteSpace, bool edited) {
    CComPtr<IXMLDOMDocument2> doc;
    EXPECT_EQ(S_OK, CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_ALL, IID_IXMLDOMDocument2,
                                     reinterpret_cast<void**>(&doc)));
    doc->put_preserveWhiteSpace(preserveWhiteSpace ? VARIANT_TRUE : VARIANT_FALSE);
    VARIANT_BOOL loaded = VARIANT_FALSE;
    CComBSTR xml(printtickettest::Utf16(text).c_str());
    EXPECT_EQ(S_OK, doc->loadXML(xml, &loaded));
    if (edited) {
        CComPtr<IXMLDOMElement> root;
        doc->get_documentElement(&root);
        CComBSTR two(u"2");
        VARIANT value;
        VariantInit(&value);
        value.vt = VT_BSTR;
        value.bstrVal = two; // borrowed
        EXPECT_EQ(S_OK, root->setAttribute(CComBSTR(u"version"), value));
    }
    return doc;
}

CComPtr<IStream> StreamOfDom(IXMLDOMDocument2* doc) {
    CComPtr<IStream> stream;
    EXPECT_EQ(S_OK, doc->QueryInterface(IID_IStream, reinterpret_cast<void**>(&stream)));
    return stream;
}

// A ticket handed over as a DOM document's stream merges exactly as its text does: the same
// outcome, result, message and streams read to their end, whether the provider takes the
// document's tree or reads its text (a changed document, white space kept, a ticket it
// refuses). The result, loaded into a DOM document, is the document its text makes.
TEST_F(Provider, DomDocumentsMergeAsTheirTextDoes) {
    const std::string preserved = Ticket(R"(
  <psf:Feature name="psk:PageOrientation" xml:space="preserve">
    <psf:Option name="psk:Portrait"/>
  </psf:Feature>)");
    const struct {
        const char* what;
        std::string base;
        std::string delta;
        bool preserveWhiteSpace;
        bool edited;
    } cases[] = {
        {"as loaded", kGood,
         printtickettest::ReadFile(printtickettest::DataFile("ticket-3d-example.xml")), false,
         false},
        {"custom media size", kGood,
         printtickettest::ReadFile(printtickettest::DataFile("ticket-custom-media-size.xml")),
         false, false},
        {"edited since the load", kGood,
         printtickettest::ReadFile(printtickettest::DataFile("ticket-custom-media-size.xml")),
         false, true},
        {"white space kept", kGood, preserved, true, false},
        {"xml:space in the result", kGood, preserved, false, false},
        {"undeclared option prefix", kGood,
         Ticket(
             R"(<psf:Feature name="psk:PageOrientation"><psf:Option name="zz:Sideways"/></psf:Feature>)"),
         false, false},
        {"feature twice", kGood,
         Ticket(
             R"(<psf:Feature name="psk:PageOrientation"><psf:Option name="psk:Portrait"/></psf:Feature>
<psf:Feature name="psk:PageOrientation"><psf:Option name="psk:Portrait"/></psf:Feature>)"),
         false, false},
        {"base is a capabilities document", Ticket("", "psf:PrintCapabilities"), kGood, false,
         false},
    };
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    HPTPROVIDER provider = nullptr;
    ASSERT_EQ(S_OK, PTOpenProvider(u"Docs Example Printer", 1, &provider));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CComPtr<IXMLDOMDocument2> baseDom = Dom(c.base, c.preserveWhiteSpace, c.edited);
        CComPtr<IXMLDOMDocument2> deltaDom = Dom(c.delta, c.preserveWhiteSpace, c.edited);
        const Outcome fromText =
            MergeTexts(kDocsPrinter, printtickettest::ContentOf(StreamOfDom(baseDom)),
                       printtickettest::ContentOf(StreamOfDom(deltaDom)), kPTPageScope);

        CComPtr<IStream> base = StreamOfDom(baseDom);
        CComPtr<IStream> delta = StreamOfDom(deltaDom);
        CComPtr<IStream> result;
        ASSERT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, &result));
        CComBSTR message;
        EXPECT_EQ(fromText.hr, PTMergeAndValidatePrintTicket(provider, base, delta, kPTPageScope,
                                                             result, &message));
        EXPECT_EQ(fromText.message, printtickettest::Narrow(message));
        if (FAILED(fromText.hr)) {
            continue;
        }
        for (IStream* read : {base.p, delta.p}) {
            char byte = 0;
            ULONG count = 1;
            EXPECT_EQ(S_OK, read->Read(&byte, 1, &count));
            EXPECT_EQ(0u, count) << "a stream the merge read stands at its end";
        }
        CComPtr<IXMLDOMDocument2> loaded = Dom("<a/>", false, false);
        VARIANT_BOOL ok = VARIANT_FALSE;
        VARIANT source;
        VariantInit(&source);
        source.vt = VT_UNKNOWN;
        source.punkVal = result; // borrowed
        EXPECT_EQ(S_OK, loaded->load(source, &ok));
        CComPtr<IXMLDOMDocument2> parsed = Dom(fromText.result, false, false);
        EXPECT_EQ(printtickettest::ContentOf(StreamOfDom(parsed)),
                  printtickettest::ContentOf(StreamOfDom(loaded)));
        EXPECT_EQ(fromText.result, printtickettest::ContentOf(result));
    }
    EXPECT_EQ(S_OK, PTCloseProvider(provider));
    CoUninitialize();
}

} // namespace
