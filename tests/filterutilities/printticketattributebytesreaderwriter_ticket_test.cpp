// The ticket side of the attribute bytes bridge: the devmode taken from a print ticket's
// snapshot, and edited attributes committed back into the ticket.
#include <filterutilities/printticketattributebytesreaderwriter.h>

#include "devmodeblocktestsupport.h"
#include "devmodetestsupport.h"
#include "printschematestsupport.h"

#include <filterutilities/printticketxmldocument.h>

#include <kldutil/crc32.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace printschematest;
using namespace devmodeblocktest;

namespace {

class AttributeBytesTicketTest : public DomTest {};

// A ticket whose snapshot is devmode (none when it is empty).
std::string TicketHolding(const ByteBuffer& devmode) {
    return devmodetest::TicketWithSnapshots(
        devmode.isEmpty() ? std::vector<std::string>{}
                          : std::vector<std::string>{devmodetest::Base64(devmode)});
}

} // namespace

TEST_F(AttributeBytesTicketTest, ACommittedEditReadsBackFromAFreshlyLoadedTicket) {
    const AttributeBytesIndexedList capabilities = DevCaps();
    KDevmodeSettings settings = OddOffsetSettings();
    settings.extraRecords.push_back({40, ByteBuffer(reinterpret_cast<const BYTE*>("tail"), 4)});
    CComPtr<IXMLDOMDocument2> dom =
        LoadBytes(TicketHolding(BuildDevmode(DocProps(), &capabilities, settings)));
    {
        PrintTicketXmlDocument ticket(dom);
        PrintTicketAttributeBytesReaderWriter view(&ticket, true);
        EXPECT_EQ(7242, view.GetOptionValueFromAttributeBytes(F(215)));
        view.SetOptionValueInAttributeBytes(F(215), 7244);
        view.CommitChangesToPrintTicket();
    }

    const std::string saved = StreamBytesOf(dom);
    EXPECT_EQ(1u, devmodetest::ParameterInitValues(saved, "PageDevmodeSnapshot").size());
    PrintTicketXmlDocument reloaded(LoadBytes(saved));
    PrintTicketAttributeBytesReaderWriter reader(&reloaded, true);
    AttributeBytesIndexedList expected = DocProps();
    expected.SetOptionValue(F(215), 7244);
    EXPECT_EQ(expected, reader.GetAttributeBytesIndexedListRef());
    EXPECT_EQ(capabilities, reader.GetAttributeBytesIndexedListRef(DevCapsNs()));

    // Read independently: the checksum holds, record 23 is zero, the other records are kept.
    ByteBuffer devmode;
    ASSERT_EQ(S_OK, reloaded.GetDevmodeFromPrintTicket(devmode));
    const BYTE* block = Block(devmode);
    EXPECT_EQ(ReadDword(block + KDevmode::kChecksumOffset),
              Crc32::GetCrc(block + KDevmode::kRecordCountOffset, KDevmode::kChecksumDataSize));
    const std::vector<Record> records = ReadRecords(block);
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ((Record{23, {0, 0, 0, 0}}), records[1]);
    EXPECT_EQ((Record{40, {'t', 'a', 'i', 'l'}}), records[2]);
}

TEST_F(AttributeBytesTicketTest, TicketsWithoutAUsableSnapshotGiveAnEmptyListAndStayAsTheyAre) {
    const ByteBuffer valid = BuildDevmode(DocProps());
    struct Case {
        const char* name;
        std::string xml;
    };
    ByteBuffer version2 = valid;
    PutDword(Block(version2) + 8, 2);
    FixChecksum(Block(version2));
    ByteBuffer badChecksum = valid;
    Block(badChecksum)[KDevmode::kChecksumOffset] ^= 1;
    ByteBuffer publicOnly = valid;
    publicOnly.resize(sizeof(DEVMODEW));
    SetDriverExtra(publicOnly, 0);
    const Case cases[] = {
        {"no snapshot", TicketHolding(ByteBuffer())},
        {"version 2", TicketHolding(version2)},
        {"checksum does not match", TicketHolding(badChecksum)},
        {"dmDriverExtra 0", TicketHolding(publicOnly)},
        {"not Base64", devmodetest::TicketWithSnapshots({"not*base64"})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CComPtr<IXMLDOMDocument2> dom = LoadBytes(c.xml);
        PrintTicketXmlDocument ticket(dom);
        const std::string before = StreamBytesOf(dom);
        PrintTicketAttributeBytesReaderWriter view(&ticket, true);
        EXPECT_TRUE(view.GetAttributeBytesIndexedListRef().IsEmpty());
        view.SetOptionValueInAttributeBytes(F(215), 7241);
        view.CommitChangesToPrintTicket();
        EXPECT_TRUE(before == StreamBytesOf(dom));
    }
}

TEST_F(AttributeBytesTicketTest, AnEmptyAnswerAsksTheTicketAgain) {
    CComPtr<IXMLDOMDocument2> dom = LoadBytes(TicketHolding(ByteBuffer()));
    PrintTicketXmlDocument ticket(dom);
    PrintTicketAttributeBytesReaderWriter view(&ticket, true);
    EXPECT_TRUE(view.GetAttributeBytesIndexedListRef().IsEmpty());
    EXPECT_EQ(nullptr, view.GetPublicDevmodePtr());

    const ByteBuffer devmode = BuildDevmode(DocProps());
    ASSERT_EQ(S_OK, ticket.AddOrReplacePageDevmodeSnapshotInPrintTicket(
                        reinterpret_cast<const DEVMODEW*>(devmode.getLpbyte())));
    EXPECT_EQ(DocProps(), view.GetAttributeBytesIndexedListRef());
}

TEST_F(AttributeBytesTicketTest, ASetDevmodeIsPreferredToTheTicketsSnapshot) {
    CComPtr<IXMLDOMDocument2> dom = LoadBytes(TicketHolding(BuildDevmode(DocProps())));
    PrintTicketXmlDocument ticket(dom);
    PrintTicketAttributeBytesReaderWriter view(&ticket, true);
    AttributeBytesIndexedList other;
    other.SetIntegerValue(F(160), 50);
    ByteBuffer otherDevmode = BuildDevmode(other);
    view.SetDevmode(otherDevmode);
    EXPECT_EQ(other, view.GetAttributeBytesIndexedListRef());

    // Committing embeds the held devmode, replacing the ticket's snapshot.
    view.SetIntegerValueInAttributeBytes(F(160), 60);
    view.CommitChangesToPrintTicket();
    PrintTicketAttributeBytesReaderWriter reader(&ticket, true);
    EXPECT_EQ(60, reader.GetIntegerValueFromAttributeBytes(F(160)));
    EXPECT_FALSE(reader.IsSpecifiedInAttributeBytes(F(215)));
}
