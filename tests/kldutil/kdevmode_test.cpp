#include "kldutil/datamodeltesthelpers.h"

#include <kldutil/crc32.h>
#include <kldutil/kdevmode.h>
#include <kldutil/keldanutilities.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

AttributeBytesFeatureId F(int id) {
    return AttributeBytesFeatureId(id);
}

AttributeBytesIndexedList DataModel() {
    AttributeBytesIndexedList model;
    model.SetOptionValue(F(215), 7242);
    model.SetOptionValue(F(219), 7261);
    model.SetIntegerValue(F(160), 100);
    model.SetBooleanValue(F(216), true);
    return model;
}

WORD Word(const BYTE* p) {
    return static_cast<WORD>(p[0] | (p[1] << 8));
}
DWORD Dword(const BYTE* p) {
    return DWORD{p[0]} | (DWORD{p[1]} << 8) | (DWORD{p[2]} << 16) | (DWORD{p[3]} << 24);
}

struct Record {
    WORD id;
    std::vector<BYTE> data;
};

// Reads a built devmode independently of the builder: the block at the offset that private
// offset 114 names, its header fields, and the record list.
struct Parsed {
    DEVMODEW publicPart;
    WORD offsetAt8;
    WORD offsetAt114;
    const BYTE* block;
    std::vector<Record> records;
    size_t recordBytes;
};

Parsed Parse(const ByteBuffer& devmode) {
    Parsed p{};
    std::memcpy(&p.publicPart, devmode.getLpbyte(), sizeof(DEVMODEW));
    const BYTE* privateData = devmode.getLpbyte() + p.publicPart.dmSize;
    p.offsetAt8 = Word(privateData + 8);
    p.offsetAt114 = Word(privateData + 114);
    const WORD offset = p.offsetAt114 != 0 ? p.offsetAt114 : p.offsetAt8;
    EXPECT_LE(offset + KDevmode::kBlockSize, p.publicPart.dmDriverExtra);
    p.block = privateData + offset;
    size_t pos = KDevmode::kRecordsOffset;
    for (WORD i = 0; i < Word(p.block + 60); ++i) {
        const WORD length = Word(p.block + pos + 2);
        EXPECT_LE(pos + 4 + length, KDevmode::kBlockSize);
        p.records.push_back({Word(p.block + pos),
                             std::vector<BYTE>(p.block + pos + 4, p.block + pos + 4 + length)});
        pos += 4 + length;
    }
    p.recordBytes = pos - KDevmode::kRecordsOffset;
    return p;
}

} // namespace

TEST(KDevmode, BuildsAValidDevmodeWithTheAttributesInRecordOne) {
    KDevmodeSettings settings;
    settings.extraRecords.push_back({7, ByteBuffer(3, 0xAB)});
    const ByteBuffer devmode = KDevmode::Build(DataModel(), settings);
    ASSERT_EQ(220u + 128u + 5956u, devmode.getDword());
    const Parsed p = Parse(devmode);

    EXPECT_EQ(220, p.publicPart.dmSize);
    EXPECT_EQ(128 + 5956, p.publicPart.dmDriverExtra);
    EXPECT_EQ(DM_SPECVERSION, p.publicPart.dmSpecVersion);
    EXPECT_EQ(std::u16string(u"Keldan Printer"), std::u16string(p.publicPart.dmDeviceName));
    EXPECT_EQ(std::u16string(u"Letter"), std::u16string(p.publicPart.dmFormName));
    EXPECT_EQ(DMPAPER_LETTER, p.publicPart.dmPaperSize);
    EXPECT_EQ(128, p.offsetAt8);
    EXPECT_EQ(128, p.offsetAt114);

    // Header fields as the filters check them.
    EXPECT_EQ(5956u, Dword(p.block));
    EXPECT_EQ(0x4B444E31u, Dword(p.block + 4));
    EXPECT_EQ(1u, Dword(p.block + 8));
    EXPECT_EQ(5900u, Dword(p.block + 12));
    EXPECT_EQ(Crc32::GetCrc(p.block + 60, 5896), Dword(p.block + 56));
    tagOEMDEV block;
    std::memcpy(&block, p.block, sizeof(block));
    EXPECT_EQ(Dword(p.block + 56), KDevmode::ComputeChecksum(block));

    ASSERT_EQ(3u, p.records.size());
    EXPECT_EQ(1, p.records[0].id);
    const PersistentAttributes attributes(p.records[0].data.data(),
                                          static_cast<DWORD>(p.records[0].data.size()), true);
    AttributeBytesIndexedList model;
    model.ImportFromRawList(attributes.GetAttributeBytesListForNameSpace(
        PersistentAttributes::GetDataModelDocPropNameSpaceId()));
    EXPECT_EQ(DataModel(), model);
    EXPECT_EQ(23, p.records[1].id);
    ASSERT_EQ(4u, p.records[1].data.size());
    EXPECT_EQ(Crc32::GetCrc(p.records[0].data.data(), static_cast<DWORD>(p.records[0].data.size())),
              Dword(p.records[1].data.data()));
    EXPECT_EQ(7, p.records[2].id);
    EXPECT_EQ(std::vector<BYTE>(3, 0xAB), p.records[2].data);

    // Everything after the records is zero.
    for (size_t i = KDevmode::kRecordsOffset + p.recordBytes; i < KDevmode::kBlockSize; ++i) {
        ASSERT_EQ(0, p.block[i]) << i;
    }
}

TEST(KDevmode, LayoutOptionsPlaceTheBlock) {
    KDevmodeSettings settings;
    settings.blockOffset = 300;
    settings.offsetAt114 = false;
    settings.trailingBytes = 10;
    settings.deviceName = u"A printer whose name is longer than thirty-one characters";
    const ByteBuffer devmode = KDevmode::Build(DataModel(), settings);
    const Parsed p = Parse(devmode);
    EXPECT_EQ(300 + 5956 + 10, p.publicPart.dmDriverExtra);
    EXPECT_EQ(300, p.offsetAt8);
    EXPECT_EQ(0, p.offsetAt114);
    EXPECT_EQ(0x4B444E31u, Dword(p.block + 4));
    EXPECT_EQ(31u, std::u16string(p.publicPart.dmDeviceName).size()) << "cut and terminated";
}

TEST(KDevmode, RefusesWhatTheBlockCannotHold) {
    AttributeBytesIndexedList big;
    for (int id = 0; id < 800; ++id) {
        big.SetIntegerValue(F(id), id); // 5600 bytes of attributes
    }
    KDevmodeSettings lowOffset;
    lowOffset.blockOffset = 115;
    KDevmodeSettings tooManyRecords;
    tooManyRecords.extraRecords.push_back({2, ByteBuffer(5894, 1)});
    KDevmodeSettings tooLong;
    tooLong.blockOffset = 60000;
    struct Case {
        const char* what;
        const AttributeBytesIndexedList& model;
        const KDevmodeSettings& settings;
    };
    const KDevmodeSettings defaults;
    const Case cases[] = {
        {"state over 5400 bytes", big, defaults},
        {"block over the offset field", DataModel(), lowOffset},
        {"records past the block", DataModel(), tooManyRecords},
        {"private data over 65535 bytes", DataModel(), tooLong},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(E_INVALIDARG, RaisedHresult([&] { KDevmode::Build(c.model, c.settings); }));
    }
}

// What a snapshot carries: the devmode survives Base64 without line breaks byte for byte.
TEST(KDevmode, SurvivesTheSnapshotEncoding) {
    const ByteBuffer devmode = KDevmode::Build(DataModel());
    const int n = static_cast<int>(devmode.getDword());
    int length =
        KeldanUtilities::Base64EncodeGetRequiredLength(n, KeldanUtilities::Base64FlagNoCrLf);
    std::u16string text(static_cast<size_t>(length), u'\0');
    ASSERT_TRUE(KeldanUtilities::Base64Encode(devmode.getLpbyte(), n, text.data(), &length,
                                              KeldanUtilities::Base64FlagNoCrLf));
    int size = KeldanUtilities::Base64DecodeGetRequiredLength(length);
    ByteBuffer back(static_cast<DWORD>(size), 0);
    ASSERT_TRUE(KeldanUtilities::Base64Decode(text.data(), length, back.getLpbyte(), &size));
    back.resize(static_cast<DWORD>(size));
    EXPECT_EQ(devmode, back);
}
