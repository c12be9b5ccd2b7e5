#include "kldutil/datamodeltesthelpers.h"

#include <kldutil/persistentattributes.h>

#include <gtest/gtest.h>

#include <memory>

namespace {

constexpr HRESULT kInvalidData = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
constexpr HRESULT kUnknownVersion = HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);

AttributeBytesFeatureId F(int id) {
    return AttributeBytesFeatureId(id);
}

AttributeBytesRawList Raw(const AttributeBytesIndexedList& list) {
    AttributeBytesRawList raw;
    raw.ImportFromIndexedList(list);
    return raw;
}

// Three namespaces: the user interface's settings, the device capabilities, and one that a
// newer driver might add.
PersistentAttributes Sample() {
    AttributeBytesIndexedList docProp;
    docProp.SetOptionValue(F(215), 7242);
    docProp.SetBooleanValue(F(216), true);
    AttributeBytesIndexedList size;
    size.SetIntegerValue(F(172), 210000);
    docProp.SetCollection(F(164), size);
    AttributeBytesIndexedList caps;
    caps.SetIntegerValue(F(3), 600);
    AttributeBytesIndexedList future;
    future.SetOptionValue(F(9), 10185);

    AttributeBytesNameSpaces nameSpaces;
    nameSpaces.SetAttributeBytesRawList(PersistentAttributes::GetMsDeviceCapabilitiesNameSpaceId(),
                                        Raw(caps));
    nameSpaces.SetAttributeBytesRawList(AttributeBytesNameSpacesId(7), Raw(future));
    nameSpaces.SetAttributeBytesRawList(PersistentAttributes::GetDataModelDocPropNameSpaceId(),
                                        Raw(docProp));
    PersistentAttributes attributes;
    attributes.SetAttributeBytesNameSpaces(nameSpaces);
    return attributes;
}

std::vector<BYTE> StateOf(const PersistentAttributes& attributes) {
    const ByteBuffer state = attributes.GetPersistentAttributesState();
    return std::vector<BYTE>(state.getLpbyte(), state.getLpbyte() + state.getDword());
}

// Decodes from an exact-size heap copy, so that ASan sees any read past the end.
PersistentAttributes DecodeExact(const std::vector<BYTE>& state, bool throwOnMalformed) {
    std::unique_ptr<BYTE[]> exact(new BYTE[state.size() + (state.empty() ? 1 : 0)]);
    std::copy(state.begin(), state.end(), exact.get());
    return PersistentAttributes(exact.get(), static_cast<DWORD>(state.size()), throwOnMalformed);
}

} // namespace

TEST(PersistentAttributes, StateRoundTripsByteForByte) {
    const PersistentAttributes original = Sample();
    const std::vector<BYTE> state = StateOf(original);
    // Header: magic, version 1, three namespaces; then the first section's id and length.
    const std::vector<BYTE> header = Bytes({'K', 'P', 'A', 'S', 1, 0, 3, 0, 1, 0});
    ASSERT_GE(state.size(), header.size());
    EXPECT_EQ(header, std::vector<BYTE>(state.begin(), state.begin() + 10));

    const PersistentAttributes decoded = DecodeExact(state, true);
    EXPECT_EQ(S_OK, decoded.GetDecodeResult());
    EXPECT_EQ(original.GetAttributeBytesNameSpaces(), decoded.GetAttributeBytesNameSpaces());
    EXPECT_EQ(state, StateOf(decoded));

    AttributeBytesIndexedList docProp;
    docProp.ImportFromRawList(decoded.GetAttributeBytesListForNameSpace(
        PersistentAttributes::GetDataModelDocPropNameSpaceId()));
    EXPECT_EQ(7242, docProp.GetOptionValue(F(215)));
    EXPECT_EQ(210000, docProp.GetCollection(F(164)).GetIntegerValue(F(172)));
    EXPECT_TRUE(decoded.GetAttributeBytesListForNameSpace(AttributeBytesNameSpacesId(3)).IsEmpty());
}

TEST(PersistentAttributes, EmptyStates) {
    const PersistentAttributes none = DecodeExact({}, true);
    EXPECT_EQ(S_OK, none.GetDecodeResult());
    EXPECT_EQ(0u, none.GetAttributeBytesNameSpaces().GetNumberOfNameSpaces());
    EXPECT_EQ(Bytes({'K', 'P', 'A', 'S', 1, 0, 0, 0}), StateOf(none));
    EXPECT_EQ(
        0u, DecodeExact(StateOf(none), true).GetAttributeBytesNameSpaces().GetNumberOfNameSpaces());
}

// Setting some namespaces keeps the others: a writer that knows two namespaces must not
// drop a third one written by someone else.
TEST(PersistentAttributes, SettingNameSpacesKeepsTheOthers) {
    PersistentAttributes attributes = Sample();
    AttributeBytesIndexedList changed;
    changed.SetOptionValue(F(215), 7241);
    AttributeBytesNameSpaces update;
    update.SetAttributeBytesRawList(PersistentAttributes::GetDataModelDocPropNameSpaceId(),
                                    Raw(changed));
    attributes.SetAttributeBytesNameSpaces(update);

    const PersistentAttributes decoded = DecodeExact(StateOf(attributes), true);
    EXPECT_EQ(3u, decoded.GetAttributeBytesNameSpaces().GetNumberOfNameSpaces());
    EXPECT_EQ(Raw(changed), decoded.GetAttributeBytesListForNameSpace(
                                PersistentAttributes::GetDataModelDocPropNameSpaceId()));
    EXPECT_EQ(Sample().GetAttributeBytesListForNameSpace(AttributeBytesNameSpacesId(7)),
              decoded.GetAttributeBytesListForNameSpace(AttributeBytesNameSpacesId(7)));
}

TEST(PersistentAttributes, HostileStatesAreRefusedWhole) {
    const std::vector<BYTE> valid = StateOf(Sample());
    auto with = [&](size_t offset, std::initializer_list<int> bytes) {
        std::vector<BYTE> state = valid;
        for (int b : bytes) {
            state[offset++] = static_cast<BYTE>(b);
        }
        return state;
    };
    std::vector<BYTE> trailing = valid;
    trailing.push_back(0);
    // Section 1 (docProp) starts at 8; its list at 12. The sections in id order are 1, 2, 7.
    const WORD firstLength = static_cast<WORD>(valid[10] | (valid[11] << 8));
    const size_t second = 12 + firstLength;
    struct Case {
        const char* what;
        std::vector<BYTE> state;
        HRESULT expected;
    };
    const Case cases[] = {
        {"header cut", Bytes({'K', 'P', 'A', 'S', 1}), kInvalidData},
        {"wrong magic", with(0, {'K', 'P', 'A', 'X'}), kInvalidData},
        {"version 0", with(4, {0, 0}), kUnknownVersion},
        {"version 2", with(4, {2, 0}), kUnknownVersion},
        {"count says four", with(6, {4, 0}), kInvalidData},
        {"count says two", with(6, {2, 0}), kInvalidData},
        {"count says 65535", with(6, {0xFF, 0xFF}), kInvalidData},
        {"first length runs past the end", with(10, {0xFF, 0xFF}), kInvalidData},
        {"first length one short", with(10, {firstLength - 1, 0}), kInvalidData},
        {"namespace id twice", with(second, {1, 0}), kInvalidData},
        {"attribute of unknown kind", with(14, {9}), kInvalidData},
        {"trailing byte", trailing, kInvalidData},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const PersistentAttributes lenient = DecodeExact(c.state, false);
        EXPECT_EQ(c.expected, lenient.GetDecodeResult());
        EXPECT_EQ(0u, lenient.GetAttributeBytesNameSpaces().GetNumberOfNameSpaces());
        EXPECT_EQ(c.expected, RaisedHresult([&] { DecodeExact(c.state, true); }));
    }
}

// Every truncation of a valid state is refused, and none reads past its end.
TEST(PersistentAttributes, EveryTruncationIsRefused) {
    const std::vector<BYTE> valid = StateOf(Sample());
    for (size_t size = 1; size < valid.size(); ++size) {
        SCOPED_TRACE(size);
        const PersistentAttributes decoded =
            DecodeExact(std::vector<BYTE>(valid.begin(), valid.begin() + size), false);
        EXPECT_TRUE(FAILED(decoded.GetDecodeResult()));
    }
}
