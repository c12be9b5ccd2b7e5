// The decoded attributes of one namespace, looked up by feature id. This is the form the
// readers work on (AttributeBytesReader) and the one a user interface edits; its stored
// form is an AttributeBytesRawList.
//
// A collection attribute holds a nested list, so a setting made of several values (a paper
// size with its id, width and height) is one attribute. Lists are values: copying copies the
// nested lists too.
//
// Reads of a feature that is absent raise KeldanComException with
// HRESULT_FROM_WIN32(ERROR_NOT_FOUND) (0x80070490); reads of the wrong kind raise it with
// DISP_E_TYPEMISMATCH. Writes of a feature id outside 0 to 65535 raise E_INVALIDARG.
#pragma once

#include <kldutil/attributebytesids.h>
#include <kldutil/dimension.h>
#include <kldutil/kldutilexport.h>

#include <windows.h>

#include <memory>
#include <vector>

class AttributeBytesRawList;

class KLDUTIL_API AttributeBytesIndexedList {
public:
    // One feature's setting.
    class KLDUTIL_API Attribute {
    public:
        // An option, integer or boolean; a collection kind raises E_INVALIDARG (collections
        // are made with their list).
        Attribute(AttributeBytesFeatureId feature, AttributeBytesKind kind, int32_t value);
        Attribute(AttributeBytesFeatureId feature, const AttributeBytesIndexedList& collection);
        Attribute(const Attribute& other);
        Attribute(Attribute&& other) noexcept = default;
        Attribute& operator=(const Attribute& other);
        Attribute& operator=(Attribute&& other) noexcept = default;
        ~Attribute();

        AttributeBytesFeatureId GetFeatureId() const { return m_feature; }
        AttributeBytesKind GetKind() const { return m_kind; }
        // The value id, the integer, or 0 / 1 for a boolean; 0 for a collection.
        int32_t GetValue() const { return m_value; }
        // The nested list; DISP_E_TYPEMISMATCH when this is not a collection.
        const AttributeBytesIndexedList& GetCollection() const;
        AttributeBytesIndexedList& GetCollection();

        bool operator==(const Attribute& other) const;

    private:
        AttributeBytesFeatureId m_feature;
        AttributeBytesKind m_kind;
        int32_t m_value;
        std::unique_ptr<AttributeBytesIndexedList> m_collection;
    };
    using const_iterator = std::vector<Attribute>::const_iterator;

    AttributeBytesIndexedList();
    AttributeBytesIndexedList(const AttributeBytesIndexedList& other);
    AttributeBytesIndexedList(AttributeBytesIndexedList&& other) noexcept;
    AttributeBytesIndexedList& operator=(const AttributeBytesIndexedList& other);
    AttributeBytesIndexedList& operator=(AttributeBytesIndexedList&& other) noexcept;
    ~AttributeBytesIndexedList();

    // Number of attributes at this level (a collection counts as one).
    DWORD GetNumberOfAttributeBytes() const { return static_cast<DWORD>(m_attributes.size()); }
    bool IsEmpty() const { return m_attributes.empty(); }
    // Attributes in ascending feature id order.
    const_iterator begin() const { return m_attributes.begin(); }
    const_iterator end() const { return m_attributes.end(); }

    // The attribute of a feature, null when the feature is absent.
    const Attribute* Find(AttributeBytesFeatureId feature) const;
    bool IsSpecified(AttributeBytesFeatureId feature) const { return Find(feature) != nullptr; }

    int32_t GetOptionValue(AttributeBytesFeatureId feature) const;
    int32_t GetIntegerValue(AttributeBytesFeatureId feature) const;
    bool GetBooleanValue(AttributeBytesFeatureId feature) const;
    // An integer attribute read as a length in micrometres.
    Dimension GetDimensionValue(AttributeBytesFeatureId feature) const;
    // The option's value id, or DataModelIds::NewId when the feature is absent.
    int32_t GetOptionValueOrNewId(AttributeBytesFeatureId feature) const;
    const AttributeBytesIndexedList& GetCollection(AttributeBytesFeatureId feature) const;
    AttributeBytesIndexedList& GetCollection(AttributeBytesFeatureId feature);

    // Writes add the feature or replace its value and kind.
    void SetOptionValue(AttributeBytesFeatureId feature, int32_t valueId);
    void SetIntegerValue(AttributeBytesFeatureId feature, int32_t value);
    void SetBooleanValue(AttributeBytesFeatureId feature, bool value);
    // Stored as whole micrometres, rounded half away from zero; a length beyond the int32
    // range raises E_INVALIDARG.
    void SetDimensionValue(AttributeBytesFeatureId feature, const Dimension& value);
    // Stores a copy of the collection and returns the stored list for further edits.
    AttributeBytesIndexedList& SetCollection(AttributeBytesFeatureId feature,
                                             const AttributeBytesIndexedList& collection);
    // Whether the feature was there.
    bool Remove(AttributeBytesFeatureId feature);
    void Clear() { m_attributes.clear(); }

    // Replaces the contents with the decoded raw list.
    void ImportFromRawList(const AttributeBytesRawList& rawList);

    bool operator==(const AttributeBytesIndexedList& other) const;

private:
    friend class AttributeBytesRawList;

    const Attribute& Require(AttributeBytesFeatureId feature, AttributeBytesKind kind,
                             const char* function) const;
    void Store(Attribute attribute);

    // Sorted by feature id, ids unique.
    std::vector<Attribute> m_attributes;
};
