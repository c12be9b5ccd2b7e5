// The block reader and writer against devmodes made by the builder. The hostile devmodes and
// the byte-exact rewrites are covered where the filters use them, through the attribute
// bytes bridge; here the two halves of the utility library must agree with each other.
#include <kldutil/kdevmodeblock.h>

#include <kldutil/attributebytesindexedlist.h>
#include <kldutil/attributebytesnamespaces.h>
#include <kldutil/attributebytesrawlist.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

AttributeBytesIndexedList DataModel(int32_t paperOption) {
    AttributeBytesIndexedList model;
    model.SetOptionValue(AttributeBytesFeatureId(215), paperOption);
    model.SetIntegerValue(AttributeBytesFeatureId(160), 100);
    return model;
}

AttributeBytesIndexedList DecodedModel(const tagOEMDEV& block) {
    const std::unique_ptr<PersistentAttributes> state = KDevmodeBlock::ReadState(block);
    AttributeBytesIndexedList model;
    if (state) {
        model.ImportFromRawList(state->GetAttributeBytesListForNameSpace(
            PersistentAttributes::GetDataModelDocPropNameSpaceId()));
    }
    return model;
}

std::vector<KDevmodeRecordHeader> Records(const tagOEMDEV& block) {
    std::vector<KDevmodeRecordHeader> records;
    KDevmodeBlock::ForEachRecord(block, [&](const KDevmodeRecordHeader& record) {
        records.push_back(record);
        return true;
    });
    return records;
}

ByteBuffer StateOf(const AttributeBytesIndexedList& model) {
    AttributeBytesRawList raw;
    raw.ImportFromIndexedList(model);
    AttributeBytesNameSpaces nameSpaces;
    nameSpaces.SetAttributeBytesRawList(PersistentAttributes::GetDataModelDocPropNameSpaceId(),
                                        raw);
    PersistentAttributes attributes;
    attributes.SetAttributeBytesNameSpaces(nameSpaces);
    return attributes.GetPersistentAttributesState();
}

TEST(KDevmodeBlock, ReadsAndRewritesWhatTheBuilderWrote) {
    KDevmodeSettings settings;
    settings.blockOffset = 117; // odd: every field of the block is unaligned
    settings.offsetAt114 = false;
    settings.extraRecords.push_back({40, ByteBuffer(reinterpret_cast<const BYTE*>("tail"), 4)});
    ByteBuffer devmode = KDevmode::Build(DataModel(7242), settings);
    auto* publicPart = reinterpret_cast<DEVMODEW*>(devmode.getLpbyte());

    tagOEMDEV* block = KDevmodeBlock::Find(publicPart, devmode.getDword());
    ASSERT_EQ(devmode.getLpbyte() + sizeof(DEVMODEW) + 117, KDevmodeBlock::BytesOf(*block));
    EXPECT_TRUE(KDevmodeBlock::IsCurrentLayout(*block));
    EXPECT_TRUE(KDevmodeBlock::ChecksumMatches(*block));
    const std::vector<KDevmodeRecordHeader> before = Records(*block);
    ASSERT_EQ(3u, before.size());
    EXPECT_EQ(KDevmode::kStateRecordId, before[0].id);
    EXPECT_EQ(KDevmode::kRecordsOffset, before[0].position);
    EXPECT_EQ(KDevmode::kUiStampRecordId, before[1].id);
    EXPECT_EQ(40, before[2].id);
    EXPECT_EQ(DataModel(7242), DecodedModel(*block));

    // A larger state: the records behind it move up, the stamp is cleared, the block still
    // checks and is still the one the devmode names.
    AttributeBytesIndexedList edited = DataModel(7243);
    edited.SetBooleanValue(AttributeBytesFeatureId(216), true);
    const ByteBuffer state = StateOf(edited);
    ASSERT_GT(state.getDword(), before[0].length);
    ASSERT_TRUE(KDevmodeBlock::ReplaceState(publicPart, devmode.getDword(), state.getLpbyte(),
                                            state.getDword()));
    ASSERT_EQ(block, KDevmodeBlock::Find(publicPart, devmode.getDword()));
    EXPECT_TRUE(KDevmodeBlock::ChecksumMatches(*block));
    EXPECT_EQ(edited, DecodedModel(*block));
    const std::vector<KDevmodeRecordHeader> after = Records(*block);
    ASSERT_EQ(3u, after.size());
    const DWORD moved = state.getDword() - before[0].length;
    EXPECT_EQ(before[2].position + moved, after[2].position);
    DWORD stamp = 1;
    std::memcpy(&stamp, KDevmodeBlock::BytesOf(*block) + after[1].DataPosition(), sizeof(stamp));
    EXPECT_EQ(0u, stamp);
    EXPECT_EQ(0, std::memcmp("tail", KDevmodeBlock::BytesOf(*block) + after[2].DataPosition(), 4));
}

TEST(KDevmodeBlock, TrustsNoSizeBeyondTheBuffer) {
    ByteBuffer devmode = KDevmode::Build(DataModel(7242));
    const ByteBuffer original = devmode;
    auto* publicPart = reinterpret_cast<DEVMODEW*>(devmode.getLpbyte());
    const ByteBuffer state = StateOf(DataModel(7243));
    for (const DWORD size : {devmode.getDword() - 1, DWORD{KDevmode::kPublicSizeFieldsEnd - 1}}) {
        SCOPED_TRACE(size);
        EXPECT_EQ(nullptr, KDevmodeBlock::Find(publicPart, size));
        EXPECT_FALSE(
            KDevmodeBlock::ReplaceState(publicPart, size, state.getLpbyte(), state.getDword()));
        EXPECT_EQ(original, devmode);
    }
    EXPECT_EQ(nullptr, KDevmodeBlock::Find(nullptr));
    EXPECT_EQ(nullptr, KDevmodeBlock::Find(nullptr, 4096));
    EXPECT_FALSE(KDevmodeBlock::ReplaceState(nullptr, 4096, state.getLpbyte(), state.getDword()));
    EXPECT_FALSE(KDevmodeBlock::ReplaceState(publicPart, devmode.getDword(), nullptr, 4));
    EXPECT_EQ(original, devmode);
}

} // namespace
