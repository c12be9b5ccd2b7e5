#include <kldutil/globalcaches.h>

#include <kldutil/raise.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <vector>

namespace {

struct Entry {
    AttributeBytesNameSpacesId nameSpace;
    DWORD checksum;
    std::vector<BYTE> checkedBytes;
    AttributeBytesIndexedList list;
    uint64_t lastUse;
};

class KDevmodeCache {
public:
    bool Check(AttributeBytesNameSpacesId nameSpace, DWORD checksum, const BYTE* bytes, DWORD size,
               AttributeBytesIndexedList& list) {
        std::lock_guard lock(m_mutex);
        Entry* entry = FindLocked(nameSpace, checksum, bytes, size);
        if (entry == nullptr) {
            return false;
        }
        entry->lastUse = ++m_clock;
        list = entry->list;
        return true;
    }

    void Add(AttributeBytesNameSpacesId nameSpace, DWORD checksum, const BYTE* bytes, DWORD size,
             const AttributeBytesIndexedList& list) {
        // Copy outside the lock; only the insertion needs it.
        Entry fresh{nameSpace, checksum, std::vector<BYTE>(bytes, bytes + size), list, 0};
        std::lock_guard lock(m_mutex);
        fresh.lastUse = ++m_clock;
        if (Entry* existing = FindLocked(nameSpace, checksum, bytes, size)) {
            *existing = std::move(fresh);
            return;
        }
        if (m_entries.size() >= GlobalCaches::kKDevmodeCacheCapacity) {
            const auto oldest = std::min_element(
                m_entries.begin(), m_entries.end(),
                [](const Entry& a, const Entry& b) { return a.lastUse < b.lastUse; });
            *oldest = std::move(fresh);
            return;
        }
        m_entries.push_back(std::move(fresh));
    }

    void Clear() {
        std::lock_guard lock(m_mutex);
        m_entries.clear();
    }

    DWORD Size() {
        std::lock_guard lock(m_mutex);
        return static_cast<DWORD>(m_entries.size());
    }

private:
    Entry* FindLocked(AttributeBytesNameSpacesId nameSpace, DWORD checksum, const BYTE* bytes,
                      DWORD size) {
        for (Entry& entry : m_entries) {
            if (entry.nameSpace == nameSpace && entry.checksum == checksum &&
                entry.checkedBytes.size() == size &&
                std::equal(entry.checkedBytes.begin(), entry.checkedBytes.end(), bytes)) {
                return &entry;
            }
        }
        return nullptr;
    }

    std::mutex m_mutex;
    std::vector<Entry> m_entries;
    uint64_t m_clock = 0;
};

KDevmodeCache& Cache() {
    static KDevmodeCache cache;
    return cache;
}

void CheckBytes(const BYTE* bytes, DWORD size, const char* function) {
    if (bytes == nullptr && size > 0) {
        kldutil::RaiseNullPointer(__FILE__, __LINE__, function);
    }
}

} // namespace

bool GlobalCaches::CheckKDevmodeAttributeBytesIndexedListCache(AttributeBytesNameSpacesId nameSpace,
                                                               DWORD checksum,
                                                               const BYTE* checkedBytes,
                                                               DWORD checkedSize,
                                                               AttributeBytesIndexedList& list) {
    CheckBytes(checkedBytes, checkedSize,
               "GlobalCaches::CheckKDevmodeAttributeBytesIndexedListCache");
    return Cache().Check(nameSpace, checksum, checkedBytes, checkedSize, list);
}

void GlobalCaches::AddKDevmodeAttributeBytesIndexedListCache(
    AttributeBytesNameSpacesId nameSpace, DWORD checksum, const BYTE* checkedBytes,
    DWORD checkedSize, const AttributeBytesIndexedList& list) {
    CheckBytes(checkedBytes, checkedSize,
               "GlobalCaches::AddKDevmodeAttributeBytesIndexedListCache");
    if (list.IsEmpty()) {
        return;
    }
    Cache().Add(nameSpace, checksum, checkedBytes, checkedSize, list);
}

void GlobalCaches::ClearKDevmodeAttributeBytesIndexedListCache() {
    Cache().Clear();
}

DWORD GlobalCaches::GetKDevmodeAttributeBytesIndexedListCacheSize() {
    return Cache().Size();
}
