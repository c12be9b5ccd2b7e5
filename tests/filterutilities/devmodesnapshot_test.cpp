// The driver's payloads in print tickets: the page devmode snapshot and the Kjtf job ticket.
#include "devmodetestsupport.h"
#include "printschematestsupport.h"

#include <filterutilities/printticketxmldocument.h>

#include <kldutil/kdevmode.h>

#include <platformtest.h>

#include <gtest/gtest.h>

#include <cstring>

using namespace printschematest;
using namespace devmodetest;

namespace {

constexpr HRESULT kNotBase64 = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

class DevmodeSnapshotTest : public DomTest {};

// The snapshot ParameterInits of a serialised ticket, as libxml2 reads them.
std::vector<std::string> SnapshotValues(IXMLDOMDocument2* dom) {
    return ParameterInitValues(StreamBytesOf(dom), "PageDevmodeSnapshot");
}

TEST_F(DevmodeSnapshotTest, ASnapshotReadsBackAsTheDevmodeBytesInAFreshlyLoadedTicket) {
    const ByteBuffer devmode = DriverDevmode({{215, 7242}, {219, 7261}});
    CComPtr<IXMLDOMDocument2> dom = LoadBytes(TicketWithSnapshots({}));
    {
        PrintTicketXmlDocument ticket(dom);
        ASSERT_EQ(S_OK, ticket.AddOrReplacePageDevmodeSnapshotInPrintTicket(AsDevmode(devmode)));
    }

    // What the ticket holds is plain Base64 of exactly dmSize + dmDriverExtra bytes, as the
    // last child of the root, in the driver's namespace, typed xsd:string.
    const std::string saved = StreamBytesOf(dom);
    EXPECT_EQ(std::vector<std::string>{Base64(devmode)},
              ParameterInitValues(saved, "PageDevmodeSnapshot"));
    const XmlDoc parsed = ParseWithLibxml2(saved);
    ASSERT_TRUE(parsed);
    const xmlNode* last = xmlGetLastChild(xmlDocGetRootElement(parsed.get()));
    while (last && last->type != XML_ELEMENT_NODE) {
        last = last->prev;
    }
    ASSERT_TRUE(last);
    EXPECT_STREQ("ParameterInit", reinterpret_cast<const char*>(last->name));
    EXPECT_EQ(std::string(PrivateKeywordsUri()), NameNamespace(last));
    EXPECT_EQ("string", ValueType(last));

    PrintTicketXmlDocument reloaded(LoadBytes(saved));
    ByteBuffer read;
    reloaded.GetPageDevmodeSnapshotFromPrintTicket(read);
    EXPECT_TRUE(read == devmode);
    ByteBuffer checked;
    EXPECT_EQ(S_OK, reloaded.GetDevmodeFromPrintTicket(checked));
    EXPECT_TRUE(checked == devmode);
}

TEST_F(DevmodeSnapshotTest, ASnapshotIsNamedInTheDriversNamespaceWhateverTheTicketDeclares) {
    // The first ticket declares no private namespace; the second binds ns0000 to another
    // driver's. Written there, the snapshot must still be this driver's, and read back.
    const ByteBuffer devmode = DriverDevmode({{215, 7243}});
    for (const char* file :
         {"printschema/ticket-custom-media-size.xml", "printschema/ticket-3d-example.xml"}) {
        SCOPED_TRACE(file);
        CComPtr<IXMLDOMDocument2> dom = LoadTestFile(file);
        {
            PrintTicketXmlDocument ticket(dom);
            ByteBuffer none;
            EXPECT_EQ(S_FALSE, ticket.GetDevmodeFromPrintTicket(none));
            ASSERT_EQ(S_OK,
                      ticket.AddOrReplacePageDevmodeSnapshotInPrintTicket(AsDevmode(devmode)));
            ticket.CreateKeldanKjtfParameterInit(ByteBuffer(reinterpret_cast<const BYTE*>("x"), 1));
        }
        const std::string saved = StreamBytesOf(dom);
        EXPECT_EQ(std::vector<std::string>{Base64(devmode)},
                  ParameterInitValues(saved, "PageDevmodeSnapshot"));
        EXPECT_EQ(std::vector<std::string>{"<![CDATA[\nx\n]]>"},
                  ParameterInitValues(saved, "JobKeldanKjtfJobTicket"));
        PrintTicketXmlDocument reloaded(LoadBytes(saved));
        ByteBuffer read;
        EXPECT_EQ(S_OK, reloaded.GetDevmodeFromPrintTicket(read));
        EXPECT_TRUE(read == devmode);
    }
}

TEST_F(DevmodeSnapshotTest, OnlyTheNewestSnapshotStays) {
    // The ticket arrives with two snapshots (a merge of two producers, say): a reader takes the
    // first, so writing one must leave none of the old ones behind.
    const ByteBuffer first = DriverDevmode({{215, 7241}});
    const ByteBuffer second = DriverDevmode({{215, 7242}});
    const ByteBuffer newest = DriverDevmode({{215, 7245}});
    CComPtr<IXMLDOMDocument2> dom = LoadBytes(TicketWithSnapshots({Base64(first), Base64(second)}));
    PrintTicketXmlDocument ticket(dom);
    ASSERT_EQ(S_OK, ticket.AddOrReplacePageDevmodeSnapshotInPrintTicket(AsDevmode(newest)));
    ASSERT_EQ(S_OK, ticket.AddOrReplacePageDevmodeSnapshotInPrintTicket(AsDevmode(newest)));

    EXPECT_EQ(std::vector<std::string>{Base64(newest)}, SnapshotValues(dom));
    ByteBuffer read;
    EXPECT_EQ(S_OK, ticket.GetDevmodeFromPrintTicket(read));
    EXPECT_TRUE(read == newest);
}

TEST_F(DevmodeSnapshotTest, AFailedReplacementKeepsASnapshotInTheTicket) {
    // Whichever allocation fails, the ticket ends with the old snapshot or the new one, never
    // without one and never with both.
    const ByteBuffer old = DriverDevmode({{215, 7241}});
    const ByteBuffer replacement = DriverDevmode({{215, 7244}});
    const std::string source = TicketWithSnapshots({Base64(old)});
    bool succeeded = false;
    int failures = 0;
    for (unsigned long n = 1; n < 400 && !succeeded; ++n) {
        SCOPED_TRACE(n);
        CComPtr<IXMLDOMDocument2> dom = LoadBytes(source);
        PrintTicketXmlDocument ticket(dom);
        HRESULT hr = E_UNEXPECTED;
        {
            platformtest::AllocationFailure failure(n);
            try {
                hr = ticket.AddOrReplacePageDevmodeSnapshotInPrintTicket(AsDevmode(replacement));
            } catch (const ATL::CAtlException& exception) {
                hr = exception;
            }
        }
        succeeded = hr == S_OK;
        failures += succeeded ? 0 : 1;
        const std::vector<std::string> values = SnapshotValues(dom);
        ASSERT_EQ(1u, values.size());
        EXPECT_EQ(succeeded ? Base64(replacement) : Base64(old), values.front());
        EXPECT_TRUE(succeeded || FAILED(hr));
    }
    EXPECT_TRUE(succeeded);
    EXPECT_GT(failures, 5); // the sweep did reach into the operation
}

TEST_F(DevmodeSnapshotTest, RefusesWhatIsNoDevmodeToWrite) {
    CComPtr<IXMLDOMDocument2> dom = LoadBytes(TicketWithSnapshots({}));
    PrintTicketXmlDocument ticket(dom);
    EXPECT_EQ(E_POINTER, ticket.AddOrReplacePageDevmodeSnapshotInPrintTicket(nullptr));
    DEVMODEW tooSmall{};
    tooSmall.dmSize = 10;
    EXPECT_EQ(E_INVALIDARG, ticket.AddOrReplacePageDevmodeSnapshotInPrintTicket(&tooSmall));
    EXPECT_TRUE(SnapshotValues(dom).empty());

    PrintTicketXmlDocument empty(nullptr);
    const ByteBuffer devmode = DriverDevmode({});
    EXPECT_EQ(E_PENDING, empty.AddOrReplacePageDevmodeSnapshotInPrintTicket(AsDevmode(devmode)));
}

// What GetDevmodeFromPrintTicket makes of a snapshot written by someone else.
struct SnapshotCase {
    const char* name;
    std::function<std::string()> value; // the Value text; null for a ticket without snapshot
    HRESULT expected;
    bool holdsDevmode; // afterwards: the decoded snapshot, or nothing
    // The namespace that the snapshot's prefix is bound to; null for the driver's.
    const char* snapshotNamespace = nullptr;
};

// The driver's devmode with a 32-bit field of its private block changed.
std::string WithBlockField(size_t offset, DWORD value) {
    ByteBuffer devmode = DriverDevmode({{215, 7242}});
    std::memcpy(BlockOf(devmode) + offset, &value, sizeof(value));
    return Base64(devmode);
}

ByteBuffer Prefix(const ByteBuffer& bytes, DWORD count) {
    return ByteBuffer(bytes.getLpbyte(), count);
}

const ByteBuffer& Reference() {
    static const ByteBuffer devmode = DriverDevmode({{215, 7242}});
    return devmode;
}

class SnapshotVerdictTest : public DevmodeSnapshotTest,
                            public testing::WithParamInterface<SnapshotCase> {};

TEST_P(SnapshotVerdictTest, TellsWhatTheSnapshotIs) {
    const SnapshotCase& c = GetParam();
    const std::string namespaceUri =
        c.snapshotNamespace ? c.snapshotNamespace : PrivateKeywordsUri();
    const std::string source = c.value ? TicketWithSnapshots({c.value()}, namespaceUri)
                                       : TicketWithSnapshots({}, namespaceUri);
    PrintTicketXmlDocument ticket(LoadBytes(source));
    ByteBuffer devmode(7, 0xAB); // whatever the caller had is replaced
    EXPECT_EQ(c.expected, ticket.GetDevmodeFromPrintTicket(devmode));
    EXPECT_EQ(c.holdsDevmode ? Reference().getDword() : 0u, devmode.getDword());
}

INSTANTIATE_TEST_SUITE_P(
    Snapshots, SnapshotVerdictTest,
    testing::Values(
        SnapshotCase{"NoSnapshot", nullptr, S_FALSE, false},
        SnapshotCase{"EmptySnapshot", [] { return std::string(); }, S_FALSE, false},
        SnapshotCase{"DriverDevmode", [] { return Base64(Reference()); }, S_OK, true},
        // The same name and bytes under another driver's namespace are not this driver's
        // snapshot (a real namespace, from tests/data/printschema/ticket-3d-example.xml).
        SnapshotCase{"DriverDevmodeInAnotherNamespace", [] { return Base64(Reference()); }, S_FALSE,
                     false, "http://schemas.microsoft.com/windows/printing/oemdriverpt/3dprinter"},
        // Pretty-printed by another writer: line breaks and indentation inside the text.
        SnapshotCase{"WrappedLines", [] { return Wrapped(Base64(Reference()), 76); }, S_OK, true},
        SnapshotCase{"NotBase64", [] { return std::string("not a devmode!"); }, kNotBase64, false},
        SnapshotCase{"TextAfterPadding", [] { return Base64(Reference()) + "QUJD"; }, kNotBase64,
                     false},
        // A real Windows devmode of another driver ("Generic / Text Only").
        SnapshotCase{"OtherDriversDevmode", [] { return GenericTextOnlyDevmodeText(); }, E_FAIL,
                     false},
        SnapshotCase{"PublicPartOnly",
                     [] {
                         ByteBuffer devmode = Prefix(Reference(), sizeof(DEVMODEW));
                         AsDevmode(devmode)->dmDriverExtra = 0;
                         return Base64(devmode);
                     },
                     E_FAIL, false},
        SnapshotCase{"ShorterThanItsSizeFields",
                     [] { return Base64(Prefix(Reference(), Reference().getDword() - 1)); }, E_FAIL,
                     false},
        SnapshotCase{"ShorterThanADevmode", [] { return Base64(Prefix(Reference(), 71)); }, E_FAIL,
                     false},
        SnapshotCase{"BlockSize", [] { return WithBlockField(0, 5955); }, E_FAIL, false},
        SnapshotCase{"Signature", [] { return WithBlockField(4, 0x4B444E32); }, E_FAIL, false},
        SnapshotCase{"Version2", [] { return WithBlockField(8, 2); }, E_FAIL, false},
        SnapshotCase{"ChecksummedSize", [] { return WithBlockField(12, 5899); }, E_FAIL, false},
        // The checksum is the data model's business, not the snapshot's.
        SnapshotCase{"ChecksumWrong", [] { return WithBlockField(56, 0); }, S_OK, true}),
    [](const testing::TestParamInfo<SnapshotCase>& info) { return info.param.name; });

TEST_F(DevmodeSnapshotTest, ReadingReportsMalformedTextAndLeavesTheBufferEmpty) {
    PrintTicketXmlDocument ticket(LoadBytes(TicketWithSnapshots({"QUJD*"})));
    ByteBuffer devmode(3, 1);
    EXPECT_EQ(kNotBase64, RaisedBy([&] { ticket.GetPageDevmodeSnapshotFromPrintTicket(devmode); }));
    EXPECT_TRUE(devmode.isEmpty());

    // The first snapshot in document order is the one read.
    PrintTicketXmlDocument two(LoadBytes(TicketWithSnapshots({"QUJD", "REVG"})));
    two.GetPageDevmodeSnapshotFromPrintTicket(devmode);
    EXPECT_EQ("ABC",
              std::string(reinterpret_cast<const char*>(devmode.getLpbyte()), devmode.getDword()));
}

TEST_F(DevmodeSnapshotTest, AJobTicketPayloadGoesFirstAsWrappedText) {
    CComPtr<IXMLDOMDocument2> dom = LoadBytes(TicketWithSnapshots({}));
    PrintTicketXmlDocument ticket(dom);
    const std::string first = "abc";
    const std::string second = "<job copies=\"2\">]]>&amp;</job>";
    ticket.CreateKeldanKjtfParameterInit(
        ByteBuffer(reinterpret_cast<const BYTE*>(first.data()), first.size()));
    ticket.CreateKeldanKjtfParameterInit(
        ByteBuffer(reinterpret_cast<const BYTE*>(second.data()), second.size()));

    // Serialised and read back by another parser, the text is exactly the wrapper around
    // the payload: markup in the payload is escaped text, not markup of the ticket.
    const std::string saved = StreamBytesOf(dom);
    EXPECT_EQ((std::vector<std::string>{"<![CDATA[\n" + second + "\n]]>", "<![CDATA[\nabc\n]]>"}),
              ParameterInitValues(saved, "JobKeldanKjtfJobTicket"));
    const XmlDoc parsed = ParseWithLibxml2(saved);
    ASSERT_TRUE(parsed);
    const xmlNode* firstChild = xmlFirstElementChild(xmlDocGetRootElement(parsed.get()));
    ASSERT_TRUE(firstChild);
    EXPECT_EQ("JobKeldanKjtfJobTicket", NameLocalPart(firstChild));
    EXPECT_EQ("string", ValueType(firstChild));
}

TEST_F(DevmodeSnapshotTest, AJobTicketPayloadThatXmlCannotCarryIsRefused) {
    CComPtr<IXMLDOMDocument2> dom = LoadBytes(TicketWithSnapshots({}));
    PrintTicketXmlDocument ticket(dom);
    const std::string before = StreamBytesOf(dom);
    const BYTE payload[] = {'a', 0x01, 'b'};
    EXPECT_EQ(E_INVALIDARG,
              RaisedBy([&] { ticket.CreateKeldanKjtfParameterInit(ByteBuffer(payload, 3)); }));
    EXPECT_EQ(before, StreamBytesOf(dom));
}

} // namespace

TEST_F(DevmodeSnapshotTest, AFailedFirstSnapshotLeavesTheTicketUntouched) {
    // The ticket does not declare the driver's namespace: the declaration a snapshot needs may
    // only be added once the snapshot can be written, so a failure changes nothing at all.
    const std::string source =
        "<psf:PrintTicket xmlns:psf=\"http://schemas.microsoft.com/windows/2003/08/printing/"
        "printschemaframework\" version=\"1\"/>";
    const ByteBuffer devmode = DriverDevmode({{215, 7241}});
    bool succeeded = false;
    for (unsigned long n = 1; n < 400 && !succeeded; ++n) {
        SCOPED_TRACE(n);
        CComPtr<IXMLDOMDocument2> dom = LoadBytes(source);
        PrintTicketXmlDocument ticket(dom);
        CComBSTR before;
        ASSERT_EQ(S_OK, dom->get_xml(&before));
        HRESULT hr = E_UNEXPECTED;
        {
            platformtest::AllocationFailure failure(n);
            try {
                hr = ticket.AddOrReplacePageDevmodeSnapshotInPrintTicket(AsDevmode(devmode));
            } catch (const ATL::CAtlException& exception) {
                hr = exception;
            }
        }
        succeeded = hr == S_OK;
        if (!succeeded) {
            CComBSTR after;
            ASSERT_EQ(S_OK, dom->get_xml(&after));
            EXPECT_TRUE(before == after);
        }
    }
    EXPECT_TRUE(succeeded);
}
