// The devmode side of the attribute bytes bridge: locating the private block, decoding the
// persisted attributes per namespace, writing them back into the block.
#include <filterutilities/printticketattributebytesreaderwriter.h>

#include "devmodeblocktestsupport.h"
#include "kldutil/datamodeltesthelpers.h"

#include <kldutil/crc32.h>
#include <kldutil/globalcaches.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

using namespace devmodeblocktest;

namespace {

// Reaches the protected write primitive.
class Bridge : public PrintTicketAttributeBytesReaderWriter {
public:
    using PrintTicketAttributeBytesReaderWriter::PrintTicketAttributeBytesReaderWriter;
    using PrintTicketAttributeBytesReaderWriter::WritePersistedAttributesToDevmodePropertyBag;
};

// A bridge that consults no process-wide cache, holding devmode.
Bridge Holding(ByteBuffer devmode) {
    Bridge bridge(nullptr, true);
    bridge.SetDevmode(devmode);
    return bridge;
}

ByteBuffer Held(Bridge& bridge) {
    const DEVMODEW* devmode = bridge.GetPublicDevmodePtr();
    return ByteBuffer(reinterpret_cast<const BYTE*>(devmode),
                      DWORD{devmode->dmSize} + devmode->dmDriverExtra);
}

} // namespace

TEST(PrintTicketAttributeBytesReaderWriter, LocatesTheBlockByEitherOffsetPreferringTheOneAt114) {
    // Two valid blocks: the offset at 114 names the first, the offset at 8 the second.
    KDevmodeSettings two;
    two.trailingBytes = KDevmode::kBlockSize;
    ByteBuffer twoBlocks = BuildDevmode(DocProps(), nullptr, two);
    const DWORD second = two.blockOffset + KDevmode::kBlockSize;
    std::memcpy(PrivateData(twoBlocks) + second, Block(twoBlocks), KDevmode::kBlockSize);
    PutWord(PrivateData(twoBlocks) + 8, static_cast<WORD>(second));

    struct Case {
        const char* name;
        std::function<void(ByteBuffer&)> damage;
        int expectedOffset; // in the private data; -1 for none
    };
    const KDevmodeSettings settings = OddOffsetSettings();
    const int at = settings.blockOffset;
    const Case cases[] = {
        {"both offsets", [](ByteBuffer&) {}, at},
        {"only the offset at 8", [](ByteBuffer& d) { PutWord(PrivateData(d) + 114, 0); }, at},
        {"only the offset at 114", [](ByteBuffer& d) { PutWord(PrivateData(d) + 8, 0); }, at},
        {"offset at 114 past the end, offset at 8 valid",
         [](ByteBuffer& d) { PutWord(PrivateData(d) + 114, 0xFFF0); }, at},
        {"offset at 114 names no block, offset at 8 valid",
         [](ByteBuffer& d) { PutWord(PrivateData(d) + 114, 200); }, at},
        {"both offsets past the end",
         [](ByteBuffer& d) {
             const WORD pastEnd = static_cast<WORD>(DriverExtra(d) - KDevmode::kBlockSize + 1);
             PutWord(PrivateData(d) + 8, pastEnd);
             PutWord(PrivateData(d) + 114, pastEnd);
         },
         -1},
        {"both offsets zero",
         [](ByteBuffer& d) {
             PutWord(PrivateData(d) + 8, 0);
             PutWord(PrivateData(d) + 114, 0);
         },
         -1},
        {"wrong block size", [at](ByteBuffer& d) { PutDword(PrivateData(d) + at, 5955); }, -1},
        {"wrong signature", [at](ByteBuffer& d) { PutDword(PrivateData(d) + at + 4, 0x314E444B); },
         -1},
        {"dmDriverExtra 0", [](ByteBuffer& d) { SetDriverExtra(d, 0); }, -1},
        {"dmDriverExtra one byte short of the block",
         [](ByteBuffer& d) { SetDriverExtra(d, static_cast<WORD>(DriverExtra(d) - 1)); }, -1},
        {"dmDriverExtra too short for the offset at 114",
         [](ByteBuffer& d) { SetDriverExtra(d, 116); }, -1},
        {"dmSize over its own size fields",
         [](ByteBuffer& d) { reinterpret_cast<DEVMODEW*>(d.getLpbyte())->dmSize = 70; }, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ByteBuffer devmode = BuildDevmode(DocProps(), nullptr, settings);
        c.damage(devmode);
        auto* devmodePtr = reinterpret_cast<DEVMODEW*>(devmode.getLpbyte());
        const tagOEMDEV* block =
            PrintTicketAttributeBytesReaderWriter::GetOemDevmodeFromDevmode(devmodePtr);
        const BYTE* expected =
            c.expectedOffset < 0 ? nullptr : PrivateData(devmode) + c.expectedOffset;
        EXPECT_EQ(expected, reinterpret_cast<const BYTE*>(block));
        EXPECT_EQ(block, PrintTicketAttributeBytesReaderWriter::GetOemDevmodeFromDevmode(
                             devmodePtr, devmode.getDword()));
    }

    auto* devmodePtr = reinterpret_cast<DEVMODEW*>(twoBlocks.getLpbyte());
    EXPECT_EQ(PrivateData(twoBlocks) + two.blockOffset,
              reinterpret_cast<const BYTE*>(
                  PrintTicketAttributeBytesReaderWriter::GetOemDevmodeFromDevmode(devmodePtr)));
    PutDword(PrivateData(twoBlocks) + two.blockOffset + 4, 0); // first block spoilt
    EXPECT_EQ(PrivateData(twoBlocks) + second,
              reinterpret_cast<const BYTE*>(
                  PrintTicketAttributeBytesReaderWriter::GetOemDevmodeFromDevmode(devmodePtr)));
}

TEST(PrintTicketAttributeBytesReaderWriter, BoundedLocatorRefusesBuffersShorterThanTheDevmode) {
    ByteBuffer devmode = BuildDevmode(DocProps());
    auto* devmodePtr = reinterpret_cast<DEVMODEW*>(devmode.getLpbyte());
    const DWORD size = devmode.getDword();
    EXPECT_NE(nullptr,
              PrintTicketAttributeBytesReaderWriter::GetOemDevmodeFromDevmode(devmodePtr, size));
    for (const DWORD shorter : {size - 1, DWORD{220}, DWORD{72}, DWORD{71}, DWORD{0}}) {
        SCOPED_TRACE(shorter);
        EXPECT_EQ(nullptr, PrintTicketAttributeBytesReaderWriter::GetOemDevmodeFromDevmode(
                               devmodePtr, shorter));
    }
    for (auto locate :
         {+[] { PrintTicketAttributeBytesReaderWriter::GetOemDevmodeFromDevmode(nullptr); },
          +[] {
              PrintTicketAttributeBytesReaderWriter::GetOemDevmodeFromDevmode(nullptr, 4096);
          }}) {
        EXPECT_THROW(locate(), ExceptionInvalidArgumentNullPointer);
    }
}

TEST(PrintTicketAttributeBytesReaderWriter, DecodesEachNamespaceOfAValidDevmode) {
    const AttributeBytesIndexedList capabilities = DevCaps();
    Bridge bridge = Holding(BuildDevmode(DocProps(), &capabilities, OddOffsetSettings()));

    EXPECT_EQ(DocProps(), bridge.GetAttributeBytesIndexedListRef());
    EXPECT_EQ(7242, bridge.GetOptionValueFromAttributeBytes(F(215)));
    EXPECT_EQ(capabilities, bridge.GetAttributeBytesIndexedListRef(DevCapsNs()));
    const Bridge& constBridge = bridge;
    EXPECT_EQ(DocProps(), constBridge.GetAttributeBytesIndexedListRef(DocPropNs()));
    EXPECT_TRUE(bridge.GetAttributeBytesIndexedListRef(AttributeBytesNameSpacesId(77)).IsEmpty());

    // -1 is no namespace: not even the held list of a namespace that came out empty.
    bridge.GetAttributeBytesIndexedListRef(AttributeBytesNameSpacesId(77)).SetIntegerValue(F(1), 1);
    EXPECT_TRUE(bridge.GetAttributeBytesIndexedListRef(AttributeBytesNameSpacesId(-1)).IsEmpty());
}

// Every hostile devmode gives an empty list, read only inside its buffer.
TEST(PrintTicketAttributeBytesReaderWriter, HostileDevmodesGiveAnEmptyList) {
    struct Case {
        const char* name;
        std::function<ByteBuffer()> make;
    };
    const auto built = [](std::function<void(ByteBuffer&, BYTE * block)> damage) {
        return [damage] {
            ByteBuffer devmode = BuildDevmode(DocProps());
            damage(devmode, Block(devmode));
            return devmode;
        };
    };
    const std::vector<BYTE> state = StateOf(DocProps());
    const Case cases[] = {
        {"no bytes", [] { return ByteBuffer(); }},
        {"shorter than the size fields", [] { return ByteBuffer(71, 0); }},
        {"public part only", [] { return ByteBuffer(sizeof(DEVMODEW), 0); }},
        {"dmDriverExtra 0", built([](ByteBuffer& d, BYTE*) { SetDriverExtra(d, 0); })},
        {"truncated buffer",
         [] {
             ByteBuffer devmode = BuildDevmode(DocProps());
             devmode.resize(devmode.getDword() - 1);
             return devmode;
         }},
        {"dmDriverExtra larger than the buffer",
         built([](ByteBuffer& d, BYTE*) { SetDriverExtra(d, 0xFFFF); })},
        {"both offsets past the end", built([](ByteBuffer& d, BYTE*) {
             PutWord(PrivateData(d) + 8, 0xFFFF);
             PutWord(PrivateData(d) + 114, 0xFFFF);
         })},
        {"wrong block size",
         built([](ByteBuffer&, BYTE* b) { PutDword(b, KDevmode::kBlockSize + 1); })},
        {"wrong signature", built([](ByteBuffer&, BYTE* b) { PutDword(b + 4, 0); })},
        {"checksum does not match well-formed records",
         built([](ByteBuffer&, BYTE* b) { b[KDevmode::kChecksumOffset] ^= 1; })},
        {"records edited without a new checksum",
         built([](ByteBuffer&, BYTE* b) { b[KDevmode::kRecordsOffset + 4 + 9] ^= 1; })},
        {"no state record", built([](ByteBuffer&, BYTE* b) {
             WriteRecords(b, {{23, {0, 0, 0, 0}}, {5, {1}}});
         })},
        {"record count 0", built([](ByteBuffer&, BYTE* b) {
             PutWord(b + KDevmode::kRecordCountOffset, 0);
             FixChecksum(b);
         })},
        {"a record before the state runs past the block", built([state](ByteBuffer&, BYTE* b) {
             WriteRecords(b, {{5, {1, 2}}, {1, state}});
             PutWord(b + KDevmode::kRecordsOffset + 2, 0xFFFF);
             FixChecksum(b);
         })},
        {"state record runs past the block", built([state](ByteBuffer&, BYTE* b) {
             // A header in the last 4 bytes of the block, claiming data beyond it.
             const DWORD filler = KDevmode::kBlockSize - KDevmode::kRecordsOffset - 8;
             WriteRecords(b, {{5, std::vector<BYTE>(filler, 0)}, {1, {}}});
             PutWord(b + KDevmode::kBlockSize - 2, 16);
             FixChecksum(b);
         })},
        {"record header cut by the end of the block", built([](ByteBuffer&, BYTE* b) {
             const DWORD filler = KDevmode::kBlockSize - KDevmode::kRecordsOffset - 4 - 2;
             WriteRecords(b, {{5, std::vector<BYTE>(filler, 0)}});
             PutWord(b + KDevmode::kRecordCountOffset, 2);
             PutWord(b + KDevmode::kBlockSize - 2, 1); // an id, with no room for a length
             FixChecksum(b);
         })},
        {"state record longer than 5400 bytes", built([state](ByteBuffer&, BYTE* b) {
             std::vector<BYTE> padded = state;
             padded.resize(KDevmode::kMaxStateSize + 1);
             WriteRecords(b, {{1, padded}});
         })},
        {"second state record ignored when the first is too long",
         built([state](ByteBuffer&, BYTE* b) {
             WriteRecords(b, {{1, std::vector<BYTE>(KDevmode::kMaxStateSize + 1, 0)}, {1, state}});
         })},
        {"state that is not a state", built([](ByteBuffer&, BYTE* b) {
             WriteRecords(b, {{1, {'K', 'P', 'A', 'S', 9, 9}}});
         })},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ByteBuffer devmode = c.make();
        Bridge bridge = Holding(devmode);
        EXPECT_TRUE(bridge.GetAttributeBytesIndexedListRef().IsEmpty());
        // Nothing was decoded, so nothing is written back.
        bridge.SetOptionValueInAttributeBytes(F(215), 7241);
        bridge.CommitChangesToPrintTicket();
        if (!devmode.isEmpty()) {
            EXPECT_EQ(0, std::memcmp(devmode.getLpbyte(), bridge.GetPublicDevmodePtr(),
                                     devmode.getDword()));
        }
    }
}

TEST(PrintTicketAttributeBytesReaderWriter, TheStateRecordMayFollowOtherRecords) {
    ByteBuffer devmode = BuildDevmode(AttributeBytesIndexedList());
    WriteRecords(Block(devmode), {{23, {1, 2, 3, 4}}, {9, {}}, {1, StateOf(DocProps())}});
    Bridge bridge = Holding(devmode);
    EXPECT_EQ(DocProps(), bridge.GetAttributeBytesIndexedListRef());
}

TEST(PrintTicketAttributeBytesReaderWriter, KeepsTheDecodedListUntilTheDevmodeChanges) {
    Bridge bridge = Holding(BuildDevmode(DocProps()));
    AttributeBytesIndexedList& list = bridge.GetAttributeBytesIndexedListRef();
    list.SetOptionValue(F(215), 7245); // an edit is seen by the next request: no new decode
    EXPECT_EQ(&list, &bridge.GetAttributeBytesIndexedListRef());
    EXPECT_EQ(7245, bridge.GetOptionValueFromAttributeBytes(F(215)));

    // Another namespace replaces the held list; asking again decodes the devmode anew.
    EXPECT_TRUE(bridge.GetAttributeBytesIndexedListRef(DevCapsNs()).IsEmpty());
    EXPECT_EQ(7242, bridge.GetOptionValueFromAttributeBytes(F(215)));

    AttributeBytesIndexedList other;
    other.SetIntegerValue(F(160), 50);
    ByteBuffer otherDevmode = BuildDevmode(other);
    bridge.SetDevmode(otherDevmode);
    EXPECT_EQ(other, bridge.GetAttributeBytesIndexedListRef());

    bridge.ClearCachedIndexedList();
    bridge.GetAttributeBytesIndexedListRef().Clear();
    bridge.ClearCachedIndexedList();
    EXPECT_EQ(other, bridge.GetAttributeBytesIndexedListRef());
}

TEST(PrintTicketAttributeBytesReaderWriter, EditsToAnEmptyListSurviveFurtherRequests) {
    // The devmode holds device capabilities only: the document settings start empty.
    const AttributeBytesIndexedList capabilities = DevCaps();
    Bridge bridge = Holding(BuildDevmode(AttributeBytesIndexedList(), &capabilities));
    bridge.SetOptionValueInAttributeBytes(F(215), 7241);
    bridge.SetIntegerValueInAttributeBytes(F(160), 80);
    EXPECT_EQ(7241, bridge.GetOptionValueFromAttributeBytes(F(215)));
    EXPECT_EQ(80, bridge.GetIntegerValueFromAttributeBytes(F(160)));

    bridge.CommitChangesToPrintTicket();
    Bridge reader = Holding(Held(bridge));
    EXPECT_EQ(2u, reader.GetAttributeBytesIndexedListRef().GetNumberOfAttributeBytes());
    EXPECT_EQ(capabilities, reader.GetAttributeBytesIndexedListRef(DevCapsNs()));
}

TEST(PrintTicketAttributeBytesReaderWriter, ProcessWideCacheIsKeptUnlessTurnedOff) {
    GlobalCaches::ClearKDevmodeAttributeBytesIndexedListCache();
    ByteBuffer devmode = BuildDevmode(DocProps());

    Bridge uncached(nullptr, true);
    uncached.SetDevmode(devmode);
    EXPECT_EQ(DocProps(), uncached.GetAttributeBytesIndexedListRef());
    EXPECT_EQ(0u, GlobalCaches::GetKDevmodeAttributeBytesIndexedListCacheSize());

    Bridge first;
    first.SetDevmode(devmode);
    EXPECT_EQ(DocProps(), first.GetAttributeBytesIndexedListRef());
    EXPECT_EQ(1u, GlobalCaches::GetKDevmodeAttributeBytesIndexedListCacheSize());

    // A list served by the cache is committed like a decoded one.
    Bridge second;
    second.SetDevmode(devmode);
    second.SetOptionValueInAttributeBytes(F(215), 7244);
    second.CommitChangesToPrintTicket();
    Bridge reader = Holding(Held(second));
    EXPECT_EQ(7244, reader.GetOptionValueFromAttributeBytes(F(215)));
    GlobalCaches::ClearKDevmodeAttributeBytesIndexedListCache();
}

TEST(PrintTicketAttributeBytesReaderWriter, CommitWritesTheListBackAndMarksTheSettingsChanged) {
    const AttributeBytesIndexedList capabilities = DevCaps();
    KDevmodeSettings settings = OddOffsetSettings();
    settings.extraRecords.push_back({40, ByteBuffer(reinterpret_cast<const BYTE*>("tail"), 4)});
    Bridge bridge = Holding(BuildDevmode(DocProps(), &capabilities, settings));
    bridge.SetOptionValueInAttributeBytes(F(215), 7243);
    bridge.RemoveFromAttributeBytes(F(160));
    bridge.CommitChangesToPrintTicket();

    ByteBuffer written = Held(bridge);
    const BYTE* block = Block(written);
    EXPECT_EQ(ReadDword(block + KDevmode::kChecksumOffset),
              Crc32::GetCrc(block + KDevmode::kRecordCountOffset, KDevmode::kChecksumDataSize));
    const std::vector<Record> records = ReadRecords(block);
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ((Record{23, {0, 0, 0, 0}}), records[1]);
    EXPECT_EQ((Record{40, {'t', 'a', 'i', 'l'}}), records[2]);

    AttributeBytesIndexedList expected = DocProps();
    expected.SetOptionValue(F(215), 7243);
    expected.Remove(F(160));
    Bridge reader = Holding(written);
    EXPECT_EQ(expected, reader.GetAttributeBytesIndexedListRef());
    EXPECT_EQ(capabilities, reader.GetAttributeBytesIndexedListRef(DevCapsNs()));
}

TEST(PrintTicketAttributeBytesReaderWriter, CommitWritesTheListUnderTheNamespaceItCameFrom) {
    const AttributeBytesIndexedList capabilities = DevCaps();
    Bridge bridge = Holding(BuildDevmode(DocProps(), &capabilities));
    bridge.GetAttributeBytesIndexedListRef(DevCapsNs()).SetBooleanValue(F(900), false);
    bridge.CommitChangesToPrintTicket();

    AttributeBytesIndexedList expected = capabilities;
    expected.SetBooleanValue(F(900), false);
    Bridge reader = Holding(Held(bridge));
    EXPECT_EQ(DocProps(), reader.GetAttributeBytesIndexedListRef());
    EXPECT_EQ(expected, reader.GetAttributeBytesIndexedListRef(DevCapsNs()));
}

TEST(PrintTicketAttributeBytesReaderWriter, CommitLeavesTheDevmodeWhenTheStateWouldNotFit) {
    // The state may not grow beyond 5400 bytes.
    Bridge bridge = Holding(BuildDevmode(DocProps()));
    const ByteBuffer before = Held(bridge);
    for (int feature = 1000; feature < 2000; ++feature) {
        bridge.SetIntegerValueInAttributeBytes(F(feature), feature);
    }
    ASSERT_GT(StateOf(bridge.GetAttributeBytesIndexedListRef()).size(), KDevmode::kMaxStateSize);
    bridge.CommitChangesToPrintTicket();
    EXPECT_EQ(before, Held(bridge));
}

// Writing a state straight into the held devmode.
TEST(PrintTicketAttributeBytesReaderWriter, WriteMovesTheFollowingRecordsWithTheState) {
    const std::vector<BYTE> tail = {'t', 'a', 'i', 'l'};
    const std::vector<BYTE> stamp = {9, 9, 9, 9};
    const std::vector<BYTE> old(100, 0x11);
    struct Case {
        const char* name;
        std::vector<Record> before;
        std::vector<BYTE> state;
        std::vector<Record> after;
    };
    const Case cases[] = {
        {"10 bytes shorter",
         {{1, old}, {23, stamp}, {40, tail}},
         std::vector<BYTE>(90, 0x22),
         {{1, std::vector<BYTE>(90, 0x22)}, {23, {0, 0, 0, 0}}, {40, tail}}},
        {"10 bytes longer",
         {{1, old}, {23, stamp}, {40, tail}},
         std::vector<BYTE>(110, 0x22),
         {{1, std::vector<BYTE>(110, 0x22)}, {23, {0, 0, 0, 0}}, {40, tail}}},
        {"records before the state are visited too",
         {{23, stamp}, {40, tail}, {1, old}, {41, {}}},
         {7},
         {{23, {0, 0, 0, 0}}, {40, tail}, {1, {7}}, {41, {}}}},
        {"only the first state record is replaced",
         {{1, old}, {1, old}},
         {7},
         {{1, {7}}, {1, old}}},
        {"a stamp of fewer than 4 bytes is left alone",
         {{1, old}, {23, {5, 5}}},
         {},
         {{1, {}}, {23, {5, 5}}}},
        {"the largest state filling the block",
         {{1, old}, {23, stamp}},
         std::vector<BYTE>(KDevmode::kMaxStateSize, 0x33),
         {{1, std::vector<BYTE>(KDevmode::kMaxStateSize, 0x33)}, {23, {0, 0, 0, 0}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ByteBuffer devmode = BuildDevmode(DocProps(), nullptr, OddOffsetSettings());
        WriteRecords(Block(devmode), c.before);
        Bridge bridge = Holding(devmode);
        bridge.WritePersistedAttributesToDevmodePropertyBag(
            ByteBuffer(c.state.data(), static_cast<DWORD>(c.state.size())));

        // The expected block: the records laid out afresh, zero to the end, a new checksum.
        ByteBuffer expected = devmode;
        WriteRecords(Block(expected), c.after);
        EXPECT_EQ(expected, Held(bridge));
    }
}

TEST(PrintTicketAttributeBytesReaderWriter, WriteLeavesTheBlockUnchangedWhenItCannot) {
    const std::vector<BYTE> state(40, 0x22);
    const std::vector<BYTE> stamp = {9, 9, 9, 9};
    const DWORD room = KDevmode::kBlockSize - KDevmode::kRecordsOffset;
    struct Case {
        const char* name;
        std::vector<Record> records;
        std::function<void(BYTE* block)> damage;
        std::vector<BYTE> newState;
    };
    const auto none = [](BYTE*) {};
    const Case cases[] = {
        {"no state record", {{23, stamp}}, none, state},
        {"state record too long",
         {{1, std::vector<BYTE>(KDevmode::kMaxStateSize + 1, 0)}},
         none,
         state},
        {"new state too long",
         {{1, state}, {23, stamp}},
         none,
         std::vector<BYTE>(KDevmode::kMaxStateSize + 1, 0)},
        {"a following record would be cut",
         // The block is full: the state and a record that fills the rest.
         {{1, state}, {40, std::vector<BYTE>(room - 8 - state.size(), 0x44)}},
         none,
         std::vector<BYTE>(state.size() + 1, 0x55)},
        {"checksum does not match",
         {{1, state}, {23, stamp}},
         [](BYTE* b) { b[KDevmode::kChecksumOffset] ^= 1; },
         {7}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ByteBuffer devmode = BuildDevmode(DocProps());
        WriteRecords(Block(devmode), c.records);
        c.damage(Block(devmode));
        Bridge bridge = Holding(devmode);
        bridge.WritePersistedAttributesToDevmodePropertyBag(
            ByteBuffer(c.newState.data(), static_cast<DWORD>(c.newState.size())));
        EXPECT_EQ(devmode, Held(bridge));
    }
    Bridge empty(nullptr, true);
    empty.WritePersistedAttributesToDevmodePropertyBag(ByteBuffer(4, 0));
    EXPECT_EQ(nullptr, empty.GetPublicDevmodePtr());
}

TEST(PrintTicketAttributeBytesReaderWriter, WriteNeverMakesTheDevmodeNameAnotherBlock) {
    // Block A sits at private offset 16, named by the offset at 8, so the offset at 114 lies
    // inside its state record (state byte 32). A valid block B follows at private offset X.
    KDevmodeSettings settings;
    settings.trailingBytes = KDevmode::kBlockSize;
    const ByteBuffer built = BuildDevmode(DocProps(), nullptr, settings);
    const WORD x = static_cast<WORD>(settings.blockOffset + KDevmode::kBlockSize);
    for (const WORD pointer : {WORD{0}, x}) {
        SCOPED_TRACE(pointer);
        ByteBuffer devmode = built;
        BYTE* privateData = PrivateData(devmode);
        std::memcpy(privateData + x, Block(devmode), KDevmode::kBlockSize);
        std::memmove(privateData + 16, Block(devmode), KDevmode::kBlockSize);
        PutWord(privateData + 8, 16);
        BYTE* blockA = privateData + 16;
        WriteRecords(blockA, {{1, StateOf(DocProps())}});
        ASSERT_EQ(blockA, reinterpret_cast<BYTE*>(
                              PrintTicketAttributeBytesReaderWriter::GetOemDevmodeFromDevmode(
                                  reinterpret_cast<DEVMODEW*>(devmode.getLpbyte()))));

        std::vector<BYTE> state(40, 0);
        PutWord(state.data() + 32, pointer);
        Bridge bridge = Holding(devmode);
        bridge.WritePersistedAttributesToDevmodePropertyBag(ByteBuffer(state.data(), 40));
        const bool unchanged = devmode == Held(bridge);
        EXPECT_EQ(pointer == x, unchanged);
    }
}

// The typed reads of AttributeBytesReader reach a derived class's choice of list.
TEST(PrintTicketAttributeBytesReaderWriter, ReadsGoThroughTheVirtualListRequest) {
    class View : public PrintTicketAttributeBytesReaderWriter {
    public:
        using PrintTicketAttributeBytesReaderWriter::GetAttributeBytesIndexedListRef;
        AttributeBytesIndexedList& GetAttributeBytesIndexedListRef() override {
            ++requests;
            return GetAttributeBytesIndexedListRef(DevCapsNs());
        }
        int requests = 0;
    };
    const AttributeBytesIndexedList capabilities = DevCaps();
    ByteBuffer devmode = BuildDevmode(DocProps(), &capabilities);
    View view;
    view.SetDevmode(devmode);
    EXPECT_TRUE(view.GetBooleanValueFromAttributeBytes(F(900)));
    view.SetOptionValueInAttributeBytes(F(901), 3);
    EXPECT_EQ(2, view.requests);
    EXPECT_EQ(3, view.GetAttributeBytesIndexedListRef(DevCapsNs()).GetOptionValue(F(901)));
    GlobalCaches::ClearKDevmodeAttributeBytesIndexedListCache();
}

TEST(PrintTicketAttributeBytesReaderWriter, MovingTakesTheDecodedListAlong) {
    Bridge source = Holding(BuildDevmode(DocProps()));
    AttributeBytesIndexedList* list = &source.GetAttributeBytesIndexedListRef();
    list->SetOptionValue(F(215), 7245);

    Bridge moved(std::move(source));
    EXPECT_EQ(list, &moved.GetAttributeBytesIndexedListRef());
    Bridge assigned(nullptr, true);
    assigned = std::move(moved);
    EXPECT_EQ(list, &assigned.GetAttributeBytesIndexedListRef());
    EXPECT_EQ(7245, assigned.GetOptionValueFromAttributeBytes(F(215)));
    EXPECT_NE(nullptr, assigned.GetPublicDevmodePtr());
}
