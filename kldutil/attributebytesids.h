// The numbers that name things in the driver's data model: features, namespaces, value ids.
//
// The data model is a set of attributes per namespace. An attribute is one feature's
// setting: a feature id and a value of one of four kinds (AttributeBytesKind). Feature ids
// and namespace ids are 0 to 65535; an option's value is a value id of
// DataModelIds::tagValueEnum, whose meanings belong to the driver's user interface.
#pragma once

#include <compare>
#include <cstdint>

namespace DataModelIds {

// Value ids. Only the ids that the utility library itself gives a meaning are named; the
// others are plain numbers of the driver's model.
enum tagValueEnum : int32_t {
    // Returned by AttributeBytesIndexedList::GetOptionValueOrNewId when the collection has no
    // predefined value for the feature: the entry is a new one, described by the collection's
    // other attributes (a custom paper size, for example).
    NewId = 1,
};

} // namespace DataModelIds

// What an attribute holds. The numbers are those of the stored state.
enum class AttributeBytesKind : uint8_t {
    Option = 1,     // a value id
    Integer = 2,    // a signed 32-bit number; lengths are integers in micrometres
    Boolean = 3,    // false or true
    Collection = 4, // a nested list of attributes
};

// A feature of the data model.
class AttributeBytesFeatureId {
public:
    constexpr explicit AttributeBytesFeatureId(int32_t id) : m_id(id) {}
    constexpr int32_t GetId() const { return m_id; }
    // Whether the id can be stored (0 to 65535).
    constexpr bool IsStorable() const { return m_id >= 0 && m_id <= 0xFFFF; }
    constexpr auto operator<=>(const AttributeBytesFeatureId&) const = default;

private:
    int32_t m_id;
};

// A namespace of attributes: the driver keeps its own settings and the device capabilities
// it reports in separate namespaces of one persisted state (PersistentAttributes).
class AttributeBytesNameSpacesId {
public:
    constexpr explicit AttributeBytesNameSpacesId(int32_t id) : m_id(id) {}
    constexpr int32_t GetId() const { return m_id; }
    // Whether the id can be stored (0 to 65535).
    constexpr bool IsStorable() const { return m_id >= 0 && m_id <= 0xFFFF; }
    constexpr auto operator<=>(const AttributeBytesNameSpacesId&) const = default;

private:
    int32_t m_id;
};
