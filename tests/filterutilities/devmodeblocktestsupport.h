// Test support for the private block of driver devmodes: real devmodes made as the driver's
// user interface makes them (KDevmode::Build), and byte-level access to their private block
// for damaging them or reading them back independently of the code under test.
#pragma once

#include <kldutil/attributebytesindexedlist.h>
#include <kldutil/attributebytesnamespaces.h>
#include <kldutil/attributebytesrawlist.h>
#include <kldutil/bytebuffer.h>
#include <kldutil/crc32.h>
#include <kldutil/kdevmode.h>
#include <kldutil/persistentattributes.h>

#include <windows.h>

#include <cstring>
#include <ostream>
#include <vector>

namespace devmodeblocktest {

inline AttributeBytesFeatureId F(int id) {
    return AttributeBytesFeatureId(id);
}
inline AttributeBytesNameSpacesId DocPropNs() {
    return PersistentAttributes::GetDataModelDocPropNameSpaceId();
}
inline AttributeBytesNameSpacesId DevCapsNs() {
    return PersistentAttributes::GetMsDeviceCapabilitiesNameSpaceId();
}

// The driver's document settings: four pages per sheet, no scaling at 100 %, booklet on, and
// a paper size collection.
inline AttributeBytesIndexedList DocProps() {
    AttributeBytesIndexedList model;
    model.SetOptionValue(F(215), 7242);
    model.SetOptionValue(F(219), 7261);
    model.SetIntegerValue(F(160), 100);
    model.SetBooleanValue(F(216), true);
    AttributeBytesIndexedList size;
    size.SetOptionValue(F(168), 6732);
    size.SetIntegerValue(F(172), 210000);
    size.SetIntegerValue(F(173), 297000);
    model.SetCollection(F(210), size);
    return model;
}

// Device capabilities the driver reports alongside.
inline AttributeBytesIndexedList DevCaps() {
    AttributeBytesIndexedList caps;
    caps.SetBooleanValue(F(900), true);
    caps.SetIntegerValue(F(902), 1200);
    return caps;
}

// The block at an odd offset, so that every read of it is unaligned.
inline KDevmodeSettings OddOffsetSettings() {
    KDevmodeSettings settings;
    settings.blockOffset = 117;
    return settings;
}

// A devmode whose state holds docProps and, when given, devCaps.
inline ByteBuffer BuildDevmode(const AttributeBytesIndexedList& docProps,
                               const AttributeBytesIndexedList* devCaps = nullptr,
                               const KDevmodeSettings& settings = {}) {
    AttributeBytesNameSpaces nameSpaces;
    AttributeBytesRawList raw;
    raw.ImportFromIndexedList(docProps);
    nameSpaces.SetAttributeBytesRawList(DocPropNs(), raw);
    if (devCaps != nullptr) {
        raw.ImportFromIndexedList(*devCaps);
        nameSpaces.SetAttributeBytesRawList(DevCapsNs(), raw);
    }
    PersistentAttributes attributes;
    attributes.SetAttributeBytesNameSpaces(nameSpaces);
    return KDevmode::Build(attributes, settings);
}

// The persisted state of a document settings list.
inline std::vector<BYTE> StateOf(const AttributeBytesIndexedList& docProps) {
    AttributeBytesRawList raw;
    raw.ImportFromIndexedList(docProps);
    AttributeBytesNameSpaces nameSpaces;
    nameSpaces.SetAttributeBytesRawList(DocPropNs(), raw);
    PersistentAttributes attributes;
    attributes.SetAttributeBytesNameSpaces(nameSpaces);
    const ByteBuffer state = attributes.GetPersistentAttributesState();
    return std::vector<BYTE>(state.getLpbyte(), state.getLpbyte() + state.getDword());
}

inline WORD ReadWord(const BYTE* p) {
    return static_cast<WORD>(p[0] | (p[1] << 8));
}
inline DWORD ReadDword(const BYTE* p) {
    return DWORD{p[0]} | (DWORD{p[1]} << 8) | (DWORD{p[2]} << 16) | (DWORD{p[3]} << 24);
}
inline void PutWord(BYTE* p, WORD value) {
    p[0] = static_cast<BYTE>(value);
    p[1] = static_cast<BYTE>(value >> 8);
}
inline void PutDword(BYTE* p, DWORD value) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<BYTE>(value >> (8 * i));
    }
}

// The public part's fields, read and written bytewise (offsets 68 and 70).
inline WORD PublicSize(const ByteBuffer& devmode) {
    return ReadWord(devmode.getLpbyte() + 68);
}
inline WORD DriverExtra(const ByteBuffer& devmode) {
    return ReadWord(devmode.getLpbyte() + 70);
}
inline void SetDriverExtra(ByteBuffer& devmode, WORD value) {
    PutWord(devmode.getLpbyte() + 70, value);
}
inline BYTE* PrivateData(ByteBuffer& devmode) {
    return devmode.getLpbyte() + PublicSize(devmode);
}
// The block that the offset at private offset 114 names.
inline BYTE* Block(ByteBuffer& devmode) {
    return PrivateData(devmode) + ReadWord(PrivateData(devmode) + 114);
}

inline void FixChecksum(BYTE* block) {
    PutDword(block + KDevmode::kChecksumOffset,
             Crc32::GetCrc(block + KDevmode::kRecordCountOffset, KDevmode::kChecksumDataSize));
}

struct Record {
    WORD id;
    std::vector<BYTE> data;
    bool operator==(const Record&) const = default;
};
inline std::ostream& operator<<(std::ostream& out, const Record& record) {
    return out << "record " << record.id << " of " << record.data.size() << " bytes";
}

// Lays the records out back to back from offset 62, zeroes the rest of the block, sets the
// count and a matching checksum. The records must fit.
inline void WriteRecords(BYTE* block, const std::vector<Record>& records) {
    std::memset(block + KDevmode::kRecordsOffset, 0,
                KDevmode::kBlockSize - KDevmode::kRecordsOffset);
    DWORD position = KDevmode::kRecordsOffset;
    for (const Record& record : records) {
        PutWord(block + position, record.id);
        PutWord(block + position + 2, static_cast<WORD>(record.data.size()));
        if (!record.data.empty()) {
            std::memcpy(block + position + 4, record.data.data(), record.data.size());
        }
        position += 4 + static_cast<DWORD>(record.data.size());
    }
    PutWord(block + KDevmode::kRecordCountOffset, static_cast<WORD>(records.size()));
    FixChecksum(block);
}

// The records of a well-formed block.
inline std::vector<Record> ReadRecords(const BYTE* block) {
    std::vector<Record> records;
    DWORD position = KDevmode::kRecordsOffset;
    for (WORD i = 0; i < ReadWord(block + KDevmode::kRecordCountOffset); ++i) {
        const WORD length = ReadWord(block + position + 2);
        if (position + 4 + length > KDevmode::kBlockSize) {
            break;
        }
        records.push_back({ReadWord(block + position),
                           std::vector<BYTE>(block + position + 4, block + position + 4 + length)});
        position += 4 + length;
    }
    return records;
}

} // namespace devmodeblocktest
