#include "kldutil/datamodeltesthelpers.h"

#include <kldutil/attributebytesindexedlist.h>
#include <kldutil/attributebytesrawlist.h>
#include <kldutil/attributebytesreaderwriter.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
constexpr HRESULT kInvalidData = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

AttributeBytesFeatureId F(int id) {
    return AttributeBytesFeatureId(id);
}

// An output paper size as the driver's model nests it: 477 > 210 > (168, 164 > (172, 173)).
AttributeBytesIndexedList OutputPaperModel() {
    AttributeBytesIndexedList size;
    size.SetDimensionValue(F(172), Dimension(210, Dimension::Millimetre));
    size.SetDimensionValue(F(173), Dimension(297, Dimension::Millimetre));
    AttributeBytesIndexedList entry;
    entry.SetCollection(F(164), size);
    AttributeBytesIndexedList output;
    output.SetCollection(F(210), entry);
    AttributeBytesIndexedList model;
    model.SetOptionValue(F(751), 9685);
    model.SetCollection(F(477), output);
    model.SetIntegerValue(F(160), 100);
    model.SetBooleanValue(F(216), true);
    return model;
}

AttributeBytesRawList Raw(const AttributeBytesIndexedList& list) {
    AttributeBytesRawList raw;
    raw.ImportFromIndexedList(list);
    return raw;
}

class ModelHolder : public AttributeBytesReaderWriter {
public:
    explicit ModelHolder(AttributeBytesIndexedList list) : m_list(std::move(list)) {}
    const AttributeBytesIndexedList& GetAttributeBytesIndexedListRef() const override {
        return m_list;
    }
    AttributeBytesIndexedList& GetAttributeBytesIndexedListRef() override { return m_list; }
    void Dump() const override {}

private:
    AttributeBytesIndexedList m_list;
};

} // namespace

TEST(AttributeBytesIndexedList, StoresOneValuePerFeatureInIdOrder) {
    AttributeBytesIndexedList list;
    list.SetOptionValue(F(219), 7261);
    list.SetIntegerValue(F(5), -7);
    list.SetBooleanValue(F(60000), true);
    list.SetOptionValue(F(219), 7262); // replaces
    list.SetIntegerValue(F(5), 12);    // replaces, same kind
    list.SetOptionValue(F(5), 8000);   // replaces, other kind

    EXPECT_EQ(3u, list.GetNumberOfAttributeBytes());
    std::vector<int> ids;
    for (const auto& attribute : list) {
        ids.push_back(attribute.GetFeatureId().GetId());
    }
    EXPECT_EQ((std::vector<int>{5, 219, 60000}), ids);
    EXPECT_EQ(8000, list.GetOptionValue(F(5)));
    EXPECT_EQ(7262, list.GetOptionValue(F(219)));
    EXPECT_TRUE(list.GetBooleanValue(F(60000)));
    EXPECT_TRUE(list.Remove(F(219)));
    EXPECT_FALSE(list.Remove(F(219)));
    EXPECT_FALSE(list.IsSpecified(F(219)));
}

TEST(AttributeBytesIndexedList, ReadsFailByAbsenceAndByKind) {
    const AttributeBytesIndexedList model = OutputPaperModel();
    struct Case {
        const char* what;
        std::function<void()> read;
        HRESULT expected;
    };
    const Case cases[] = {
        {"absent option", [&] { model.GetOptionValue(F(1)); }, kNotFound},
        {"absent integer", [&] { model.GetIntegerValue(F(1)); }, kNotFound},
        {"absent boolean", [&] { model.GetBooleanValue(F(1)); }, kNotFound},
        {"absent collection", [&] { model.GetCollection(F(1)); }, kNotFound},
        {"absent dimension", [&] { model.GetDimensionValue(F(1)); }, kNotFound},
        {"option read as integer", [&] { model.GetIntegerValue(F(751)); }, DISP_E_TYPEMISMATCH},
        {"integer read as option", [&] { model.GetOptionValue(F(160)); }, DISP_E_TYPEMISMATCH},
        {"boolean read as option", [&] { model.GetOptionValue(F(216)); }, DISP_E_TYPEMISMATCH},
        {"collection read as option", [&] { model.GetOptionValueOrNewId(F(477)); },
         DISP_E_TYPEMISMATCH},
        {"option read as collection", [&] { model.GetCollection(F(751)); }, DISP_E_TYPEMISMATCH},
        {"attribute's collection of an option", [&] { model.Find(F(751))->GetCollection(); },
         DISP_E_TYPEMISMATCH},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.expected, RaisedHresult(c.read));
    }
}

TEST(AttributeBytesIndexedList, WritesRefuseIdsAndLengthsThatCannotBeStored) {
    AttributeBytesIndexedList list;
    EXPECT_EQ(E_INVALIDARG, RaisedHresult([&] { list.SetOptionValue(F(-1), 1); }));
    EXPECT_EQ(E_INVALIDARG, RaisedHresult([&] { list.SetBooleanValue(F(65536), true); }));
    EXPECT_EQ(E_INVALIDARG, RaisedHresult([&] {
                  list.SetDimensionValue(F(1), Dimension(1e6, Dimension::Inch));
              }));
    EXPECT_TRUE(list.IsEmpty());
    // A collection is made with its list, never as a bare kind (it would hold nothing).
    EXPECT_EQ(E_INVALIDARG, RaisedHresult([] {
                  AttributeBytesIndexedList::Attribute(F(1), AttributeBytesKind::Collection, 0);
              }));
}

TEST(AttributeBytesIndexedList, CollectionsNestAndCopyDeeply) {
    AttributeBytesIndexedList model = OutputPaperModel();
    const AttributeBytesIndexedList& entry = model.GetCollection(F(477)).GetCollection(F(210));
    EXPECT_EQ(DataModelIds::NewId, entry.GetOptionValueOrNewId(F(168)));
    const AttributeBytesIndexedList& size = entry.GetCollection(F(164));
    EXPECT_EQ(210000,
              size.GetDimensionValue(F(172)).GetValue(Dimension::Micrometre).GetIntValue(0.5));
    EXPECT_EQ(297000, size.GetIntegerValue(F(173)));

    AttributeBytesIndexedList copy = model;
    copy.GetCollection(F(477)).GetCollection(F(210)).SetOptionValue(F(168), 6732);
    EXPECT_EQ(DataModelIds::NewId, entry.GetOptionValueOrNewId(F(168)));
    EXPECT_EQ(6732, copy.GetCollection(F(477)).GetCollection(F(210)).GetOptionValueOrNewId(F(168)));
    EXPECT_FALSE(copy == model);

    // A list stored into itself is copied first.
    AttributeBytesIndexedList& inner = model.SetCollection(F(1), model);
    EXPECT_EQ(OutputPaperModel(), inner);
}

// The stored bytes of a small list, as persistentattributes.md describes them.
TEST(AttributeBytesRawList, EncodesTheDocumentedLayout) {
    AttributeBytesIndexedList inner;
    inner.SetBooleanValue(F(2), true);
    AttributeBytesIndexedList list;
    list.SetOptionValue(F(219), 7261);
    list.SetIntegerValue(F(1), -2);
    list.SetCollection(F(0x1234), inner);
    const AttributeBytesRawList raw = Raw(list);
    const std::vector<BYTE> expected = Bytes({
        0x01, 0x00, 0x02, 0xFE, 0xFF, 0xFF, 0xFF,             // 1: integer -2
        0xDB, 0x00, 0x01, 0x5D, 0x1C, 0x00, 0x00,             // 219: option 7261
        0x34, 0x12, 0x04, 0x04, 0x00, 0x02, 0x00, 0x03, 0x01, // 0x1234: collection of 4 bytes
    });
    EXPECT_EQ(expected, std::vector<BYTE>(raw.GetBytes(), raw.GetBytes() + raw.GetSize()));
    EXPECT_EQ(3u, raw.GetNumberOfAttributeBytes());

    AttributeBytesIndexedList back;
    back.ImportFromRawList(raw);
    EXPECT_EQ(list, back);
    EXPECT_EQ(raw, AttributeBytesRawList::FromBytes(expected.data(),
                                                    static_cast<DWORD>(expected.size())));
}

TEST(AttributeBytesRawList, FromBytesRefusesMalformedLists) {
    std::vector<BYTE> deep; // nine collections, each holding the next
    for (int level = 9; level >= 1; --level) {
        std::vector<BYTE> outer = Bytes({level, 0, 4, static_cast<int>(deep.size()), 0});
        outer.insert(outer.end(), deep.begin(), deep.end());
        deep = outer;
    }
    struct Case {
        const char* what;
        std::vector<BYTE> bytes;
    };
    const Case cases[] = {
        {"header cut", Bytes({1, 0})},
        {"option value cut", Bytes({1, 0, 1, 5, 0, 0})},
        {"boolean value missing", Bytes({1, 0, 3})},
        {"boolean neither 0 nor 1", Bytes({1, 0, 3, 2})},
        {"unknown kind", Bytes({1, 0, 5, 0, 0, 0, 0})},
        {"kind 0", Bytes({1, 0, 0, 0, 0, 0, 0})},
        {"collection length cut", Bytes({1, 0, 4, 3})},
        // Seven bytes claimed, six there: the nested option would read one byte too far.
        {"collection one byte longer than the list", Bytes({1, 0, 4, 7, 0, 2, 0, 1, 1, 2, 3})},
        {"collection content malformed", Bytes({1, 0, 4, 3, 0, 2, 0, 3})},
        {"feature twice", Bytes({1, 0, 3, 1, 1, 0, 2, 0, 0, 0, 0})},
        {"collections nested nine deep", deep},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // An exact-size heap copy, so that ASan sees any read past the end.
        std::unique_ptr<BYTE[]> exact(new BYTE[c.bytes.size()]);
        std::copy(c.bytes.begin(), c.bytes.end(), exact.get());
        EXPECT_EQ(kInvalidData, RaisedHresult([&] {
                      AttributeBytesRawList::FromBytes(exact.get(),
                                                       static_cast<DWORD>(c.bytes.size()));
                  }));
    }
    std::vector<BYTE> tooLong(AttributeBytesRawList::kMaxSize + 1, 0);
    EXPECT_EQ(kInvalidData, RaisedHresult([&] {
                  AttributeBytesRawList::FromBytes(tooLong.data(),
                                                   static_cast<DWORD>(tooLong.size()));
              }));
    EXPECT_TRUE(AttributeBytesRawList::FromBytes(nullptr, 0).IsEmpty());
}

TEST(AttributeBytesRawList, EncodingRefusesListsTheFormatCannotHold) {
    AttributeBytesIndexedList nested;
    nested.SetBooleanValue(F(1), true);
    for (int level = 0; level < AttributeBytesRawList::kMaxCollectionDepth; ++level) {
        AttributeBytesIndexedList outer;
        outer.SetCollection(F(1), nested);
        nested = outer;
    }
    EXPECT_EQ(S_OK, RaisedHresult([&] { Raw(nested); })) << "eight levels fit";
    AttributeBytesIndexedList tooDeep;
    tooDeep.SetCollection(F(1), nested);
    AttributeBytesRawList raw = Raw(OutputPaperModel());
    EXPECT_EQ(E_INVALIDARG, RaisedHresult([&] { raw.ImportFromIndexedList(tooDeep); }));
    EXPECT_EQ(Raw(OutputPaperModel()), raw) << "a failed import leaves the list as it was";

    AttributeBytesIndexedList huge;
    for (int id = 0; id < 10000; ++id) {
        huge.SetIntegerValue(F(id), id); // 7 bytes each
    }
    EXPECT_EQ(E_INVALIDARG, RaisedHresult([&] { Raw(huge); }));
}

TEST(AttributeBytesReader, ReadsThroughTheDerivedClassList) {
    ModelHolder holder(OutputPaperModel());
    const AttributeBytesReader& reader = holder;
    EXPECT_EQ(9685, reader.GetOptionValueFromAttributeBytes(F(751)));
    EXPECT_EQ(7240, reader.GetOptionValueFromAttributeBytes(F(215), 7240));
    EXPECT_EQ(kNotFound, RaisedHresult([&] { reader.GetOptionValueFromAttributeBytes(F(215)); }));
    EXPECT_EQ(100, reader.GetIntegerValueFromAttributeBytes(F(160)));
    EXPECT_EQ(-1, reader.GetIntegerValueFromAttributeBytes(F(161), -1));
    EXPECT_EQ(DISP_E_TYPEMISMATCH,
              RaisedHresult([&] { reader.GetIntegerValueFromAttributeBytes(F(751), 0); }));

    bool specified = false;
    EXPECT_TRUE(reader.GetBooleanValueFromAttributeBytes(F(216), &specified));
    EXPECT_TRUE(specified);
    EXPECT_FALSE(reader.GetBooleanValueFromAttributeBytes(F(217), &specified));
    EXPECT_FALSE(specified);
    EXPECT_FALSE(reader.GetBooleanValueFromAttributeBytes(F(217)));
    EXPECT_TRUE(reader.IsSpecifiedInAttributeBytes(F(477)));

    holder.SetOptionValueInAttributeBytes(F(215), 7242);
    holder.SetBooleanValueInAttributeBytes(F(216), false);
    holder.SetIntegerValueInAttributeBytes(F(160), 50);
    EXPECT_TRUE(holder.RemoveFromAttributeBytes(F(477)));
    EXPECT_EQ(7242, reader.GetOptionValueFromAttributeBytes(F(215)));
    EXPECT_FALSE(reader.GetBooleanValueFromAttributeBytes(F(216), &specified));
    EXPECT_TRUE(specified);
    EXPECT_EQ(50, reader.GetIntegerValueFromAttributeBytes(F(160)));
    EXPECT_FALSE(reader.IsSpecifiedInAttributeBytes(F(477)));
}
