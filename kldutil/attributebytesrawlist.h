// The stored form of one namespace's attributes: the attribute bytes, exactly as they stand
// in a persisted state (format in persistentattributes.md). A raw list is always well formed:
// it is made only by checking bytes (FromBytes) or by encoding an indexed list, so decoding
// one into an AttributeBytesIndexedList cannot fail.
#pragma once

#include <kldutil/attributebytesindexedlist.h>
#include <kldutil/kldutilexport.h>

#include <windows.h>

#include <vector>

class KLDUTIL_API AttributeBytesRawList {
public:
    // Largest list, in bytes: its length is stored in 16 bits.
    static constexpr DWORD kMaxSize = 0xFFFF;
    // Deepest nesting of collections inside a list.
    static constexpr int kMaxCollectionDepth = 8;

    // The empty list.
    AttributeBytesRawList() = default;

    // Checks size bytes at data and keeps a copy. Malformed bytes (see the format) raise
    // KeldanComException with HRESULT_FROM_WIN32(ERROR_INVALID_DATA); nothing outside the
    // size bytes is read.
    static AttributeBytesRawList FromBytes(const BYTE* data, DWORD size);

    // Replaces the contents with the encoding of the indexed list (attributes in ascending
    // feature id order, so equal lists encode to equal bytes). A list that encodes to more
    // than kMaxSize bytes or nests collections deeper than kMaxCollectionDepth raises
    // E_INVALIDARG and leaves this list as it was.
    void ImportFromIndexedList(const AttributeBytesIndexedList& indexedList);

    const BYTE* GetBytes() const { return m_bytes.data(); }
    DWORD GetSize() const { return static_cast<DWORD>(m_bytes.size()); }
    // Number of attributes at the top level.
    DWORD GetNumberOfAttributeBytes() const { return m_count; }
    bool IsEmpty() const { return m_count == 0; }

    bool operator==(const AttributeBytesRawList& other) const { return m_bytes == other.m_bytes; }

private:
    friend class AttributeBytesIndexedList;

    // Decodes a list of size bytes into the empty list out; returns the number of
    // attributes at the top level. Raises ERROR_INVALID_DATA on malformed bytes.
    static DWORD Decode(const BYTE* data, size_t size, int depth, AttributeBytesIndexedList& out);
    static void Encode(const AttributeBytesIndexedList& list, int depth, std::vector<BYTE>& out);

    std::vector<BYTE> m_bytes;
    DWORD m_count = 0;
};
