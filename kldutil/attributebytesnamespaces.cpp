#include <kldutil/attributebytesnamespaces.h>

#include <kldutil/raise.h>

#include <algorithm>

namespace {

auto LowerBound(auto& entries, AttributeBytesNameSpacesId id) {
    return std::lower_bound(
        entries.begin(), entries.end(), id,
        [](const auto& entry, AttributeBytesNameSpacesId key) { return entry.first < key; });
}

} // namespace

void AttributeBytesNameSpaces::SetAttributeBytesRawList(AttributeBytesNameSpacesId id,
                                                        const AttributeBytesRawList& list) {
    if (!id.IsStorable()) {
        kldutil::RaiseComError(E_INVALIDARG, __FILE__, __LINE__,
                               "AttributeBytesNameSpaces::SetAttributeBytesRawList");
    }
    const auto it = LowerBound(m_entries, id);
    if (it != m_entries.end() && it->first == id) {
        it->second = list;
    } else {
        m_entries.emplace(it, id, list);
    }
}

const AttributeBytesRawList* AttributeBytesNameSpaces::Find(AttributeBytesNameSpacesId id) const {
    const auto it = LowerBound(m_entries, id);
    return it != m_entries.end() && it->first == id ? &it->second : nullptr;
}

bool AttributeBytesNameSpaces::Remove(AttributeBytesNameSpacesId id) {
    const auto it = LowerBound(m_entries, id);
    if (it == m_entries.end() || it->first != id) {
        return false;
    }
    m_entries.erase(it);
    return true;
}
