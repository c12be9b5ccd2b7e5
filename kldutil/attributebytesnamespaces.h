// The attribute lists of several namespaces, each in its stored form, as a persisted state
// holds them (PersistentAttributes).
#pragma once

#include <kldutil/attributebytesids.h>
#include <kldutil/attributebytesrawlist.h>
#include <kldutil/kldutilexport.h>

#include <utility>
#include <vector>

class KLDUTIL_API AttributeBytesNameSpaces {
public:
    using Entry = std::pair<AttributeBytesNameSpacesId, AttributeBytesRawList>;
    using const_iterator = std::vector<Entry>::const_iterator;

    // Adds the namespace or replaces its list. An id outside 0 to 65535 raises
    // KeldanComException with E_INVALIDARG.
    void SetAttributeBytesRawList(AttributeBytesNameSpacesId id, const AttributeBytesRawList& list);
    // The list of a namespace, null when the namespace is absent.
    const AttributeBytesRawList* Find(AttributeBytesNameSpacesId id) const;
    bool Remove(AttributeBytesNameSpacesId id);

    DWORD GetNumberOfNameSpaces() const { return static_cast<DWORD>(m_entries.size()); }
    // Namespaces in ascending id order.
    const_iterator begin() const { return m_entries.begin(); }
    const_iterator end() const { return m_entries.end(); }

    bool operator==(const AttributeBytesNameSpaces& other) const = default;

private:
    std::vector<Entry> m_entries; // sorted by id, ids unique
};
