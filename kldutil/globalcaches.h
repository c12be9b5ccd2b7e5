// Process-wide caches of the utility library. All operations are thread-safe.
//
// The devmode attribute cache keeps the decoded attribute list of recently seen driver
// devmodes, so that the many print ticket views of a job, which all carry the same devmode,
// decode it once. An entry is keyed by namespace and the block checksum and holds a copy of
// the checksummed bytes as well: a hit needs equal bytes, so two devmodes whose checksums
// collide (CRC-32 is easy to forge) never share an entry. The cache holds at most
// kKDevmodeCacheCapacity entries and drops the least recently used one to make room.
#pragma once

#include <kldutil/attributebytesids.h>
#include <kldutil/attributebytesindexedlist.h>
#include <kldutil/kldutilexport.h>

#include <windows.h>

class KLDUTIL_API GlobalCaches {
public:
    static constexpr DWORD kKDevmodeCacheCapacity = 32;

    // When an entry for the namespace, checksum and bytes exists, copies its list into list
    // and returns true; otherwise leaves list as it is and returns false. checkedBytes are
    // the checkedSize bytes the checksum was computed over.
    static bool CheckKDevmodeAttributeBytesIndexedListCache(AttributeBytesNameSpacesId nameSpace,
                                                            DWORD checksum,
                                                            const BYTE* checkedBytes,
                                                            DWORD checkedSize,
                                                            AttributeBytesIndexedList& list);
    // Remembers a decoded list. An empty list is not kept (there is nothing to save).
    static void AddKDevmodeAttributeBytesIndexedListCache(AttributeBytesNameSpacesId nameSpace,
                                                          DWORD checksum, const BYTE* checkedBytes,
                                                          DWORD checkedSize,
                                                          const AttributeBytesIndexedList& list);
    static void ClearKDevmodeAttributeBytesIndexedListCache();
    static DWORD GetKDevmodeAttributeBytesIndexedListCacheSize();
};
