#include <kldutil/attributebytesindexedlist.h>

#include <kldutil/attributebytesrawlist.h>
#include <kldutil/raise.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

[[noreturn]] void Raise(HRESULT hr, const char* function) {
    kldutil::RaiseComError(hr, __FILE__, __LINE__, function);
}

void CheckStorable(AttributeBytesFeatureId feature, const char* function) {
    if (!feature.IsStorable()) {
        Raise(E_INVALIDARG, function);
    }
}

} // namespace

// --- Attribute ---

AttributeBytesIndexedList::Attribute::Attribute(AttributeBytesFeatureId feature,
                                                AttributeBytesKind kind, int32_t value)
    : m_feature(feature), m_kind(kind), m_value(value) {
    // A collection is made with its list; without one it would have nothing to hold.
    if (kind == AttributeBytesKind::Collection) {
        Raise(E_INVALIDARG, "AttributeBytesIndexedList::Attribute::Attribute");
    }
}

AttributeBytesIndexedList::Attribute::Attribute(AttributeBytesFeatureId feature,
                                                const AttributeBytesIndexedList& collection)
    : m_feature(feature), m_kind(AttributeBytesKind::Collection), m_value(0),
      m_collection(std::make_unique<AttributeBytesIndexedList>(collection)) {}

AttributeBytesIndexedList::Attribute::Attribute(const Attribute& other)
    : m_feature(other.m_feature), m_kind(other.m_kind), m_value(other.m_value),
      m_collection(other.m_collection
                       ? std::make_unique<AttributeBytesIndexedList>(*other.m_collection)
                       : nullptr) {}

AttributeBytesIndexedList::Attribute&
AttributeBytesIndexedList::Attribute::operator=(const Attribute& other) {
    if (this != &other) {
        Attribute copy(other);
        *this = std::move(copy);
    }
    return *this;
}

AttributeBytesIndexedList::Attribute::~Attribute() = default;

const AttributeBytesIndexedList& AttributeBytesIndexedList::Attribute::GetCollection() const {
    if (!m_collection) {
        Raise(DISP_E_TYPEMISMATCH, "AttributeBytesIndexedList::Attribute::GetCollection");
    }
    return *m_collection;
}

AttributeBytesIndexedList& AttributeBytesIndexedList::Attribute::GetCollection() {
    if (!m_collection) {
        Raise(DISP_E_TYPEMISMATCH, "AttributeBytesIndexedList::Attribute::GetCollection");
    }
    return *m_collection;
}

bool AttributeBytesIndexedList::Attribute::operator==(const Attribute& other) const {
    if (m_feature != other.m_feature || m_kind != other.m_kind || m_value != other.m_value) {
        return false;
    }
    if (m_kind != AttributeBytesKind::Collection) {
        return true;
    }
    return *m_collection == *other.m_collection;
}

// --- AttributeBytesIndexedList ---

AttributeBytesIndexedList::AttributeBytesIndexedList() = default;
AttributeBytesIndexedList::AttributeBytesIndexedList(const AttributeBytesIndexedList& other) =
    default;
AttributeBytesIndexedList::AttributeBytesIndexedList(AttributeBytesIndexedList&& other) noexcept =
    default;
AttributeBytesIndexedList&
AttributeBytesIndexedList::operator=(const AttributeBytesIndexedList& other) = default;
AttributeBytesIndexedList&
AttributeBytesIndexedList::operator=(AttributeBytesIndexedList&& other) noexcept = default;
AttributeBytesIndexedList::~AttributeBytesIndexedList() = default;

const AttributeBytesIndexedList::Attribute*
AttributeBytesIndexedList::Find(AttributeBytesFeatureId feature) const {
    const auto it = std::lower_bound(
        m_attributes.begin(), m_attributes.end(), feature,
        [](const Attribute& a, AttributeBytesFeatureId id) { return a.GetFeatureId() < id; });
    return it != m_attributes.end() && it->GetFeatureId() == feature ? &*it : nullptr;
}

const AttributeBytesIndexedList::Attribute&
AttributeBytesIndexedList::Require(AttributeBytesFeatureId feature, AttributeBytesKind kind,
                                   const char* function) const {
    const Attribute* attribute = Find(feature);
    if (attribute == nullptr) {
        Raise(kNotFound, function);
    }
    if (attribute->GetKind() != kind) {
        Raise(DISP_E_TYPEMISMATCH, function);
    }
    return *attribute;
}

int32_t AttributeBytesIndexedList::GetOptionValue(AttributeBytesFeatureId feature) const {
    return Require(feature, AttributeBytesKind::Option, "AttributeBytesIndexedList::GetOptionValue")
        .GetValue();
}

int32_t AttributeBytesIndexedList::GetIntegerValue(AttributeBytesFeatureId feature) const {
    return Require(feature, AttributeBytesKind::Integer,
                   "AttributeBytesIndexedList::GetIntegerValue")
        .GetValue();
}

bool AttributeBytesIndexedList::GetBooleanValue(AttributeBytesFeatureId feature) const {
    return Require(feature, AttributeBytesKind::Boolean,
                   "AttributeBytesIndexedList::GetBooleanValue")
               .GetValue() != 0;
}

Dimension AttributeBytesIndexedList::GetDimensionValue(AttributeBytesFeatureId feature) const {
    return Dimension(Require(feature, AttributeBytesKind::Integer,
                             "AttributeBytesIndexedList::GetDimensionValue")
                         .GetValue(),
                     Dimension::Micrometre);
}

int32_t AttributeBytesIndexedList::GetOptionValueOrNewId(AttributeBytesFeatureId feature) const {
    if (!IsSpecified(feature)) {
        return DataModelIds::NewId;
    }
    return GetOptionValue(feature);
}

const AttributeBytesIndexedList&
AttributeBytesIndexedList::GetCollection(AttributeBytesFeatureId feature) const {
    return Require(feature, AttributeBytesKind::Collection,
                   "AttributeBytesIndexedList::GetCollection")
        .GetCollection();
}

AttributeBytesIndexedList&
AttributeBytesIndexedList::GetCollection(AttributeBytesFeatureId feature) {
    return const_cast<Attribute&>(Require(feature, AttributeBytesKind::Collection,
                                          "AttributeBytesIndexedList::GetCollection"))
        .GetCollection();
}

void AttributeBytesIndexedList::Store(Attribute attribute) {
    const auto it = std::lower_bound(
        m_attributes.begin(), m_attributes.end(), attribute.GetFeatureId(),
        [](const Attribute& a, AttributeBytesFeatureId id) { return a.GetFeatureId() < id; });
    if (it != m_attributes.end() && it->GetFeatureId() == attribute.GetFeatureId()) {
        *it = std::move(attribute);
    } else {
        m_attributes.insert(it, std::move(attribute));
    }
}

void AttributeBytesIndexedList::SetOptionValue(AttributeBytesFeatureId feature, int32_t valueId) {
    CheckStorable(feature, "AttributeBytesIndexedList::SetOptionValue");
    Store(Attribute(feature, AttributeBytesKind::Option, valueId));
}

void AttributeBytesIndexedList::SetIntegerValue(AttributeBytesFeatureId feature, int32_t value) {
    CheckStorable(feature, "AttributeBytesIndexedList::SetIntegerValue");
    Store(Attribute(feature, AttributeBytesKind::Integer, value));
}

void AttributeBytesIndexedList::SetBooleanValue(AttributeBytesFeatureId feature, bool value) {
    CheckStorable(feature, "AttributeBytesIndexedList::SetBooleanValue");
    Store(Attribute(feature, AttributeBytesKind::Boolean, value ? 1 : 0));
}

void AttributeBytesIndexedList::SetDimensionValue(AttributeBytesFeatureId feature,
                                                  const Dimension& value) {
    CheckStorable(feature, "AttributeBytesIndexedList::SetDimensionValue");
    const double micrometres = std::round(value.GetValue(Dimension::Micrometre).GetDoubleValue());
    if (!(micrometres >= std::numeric_limits<int32_t>::min() &&
          micrometres <= std::numeric_limits<int32_t>::max())) {
        Raise(E_INVALIDARG, "AttributeBytesIndexedList::SetDimensionValue");
    }
    Store(Attribute(feature, AttributeBytesKind::Integer, static_cast<int32_t>(micrometres)));
}

AttributeBytesIndexedList&
AttributeBytesIndexedList::SetCollection(AttributeBytesFeatureId feature,
                                         const AttributeBytesIndexedList& collection) {
    CheckStorable(feature, "AttributeBytesIndexedList::SetCollection");
    // Copy first: collection may be this list or lie inside it.
    Attribute attribute(feature, collection);
    Store(std::move(attribute));
    return GetCollection(feature);
}

bool AttributeBytesIndexedList::Remove(AttributeBytesFeatureId feature) {
    const Attribute* attribute = Find(feature);
    if (attribute == nullptr) {
        return false;
    }
    m_attributes.erase(m_attributes.begin() + (attribute - m_attributes.data()));
    return true;
}

void AttributeBytesIndexedList::ImportFromRawList(const AttributeBytesRawList& rawList) {
    AttributeBytesIndexedList decoded;
    AttributeBytesRawList::Decode(rawList.GetBytes(), rawList.GetSize(), 0, decoded);
    *this = std::move(decoded);
}

bool AttributeBytesIndexedList::operator==(const AttributeBytesIndexedList& other) const {
    return m_attributes == other.m_attributes;
}
