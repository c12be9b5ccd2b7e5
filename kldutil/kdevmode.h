// The driver's devmode: the public DEVMODEW, then dmDriverExtra bytes of driver-private data
// that contain the private block (tagOEMDEV), which carries the persisted settings.
//
// Driver-private data (offsets from its first byte, which is at dmSize):
//
//   offset  size  field
//   8       2     offset of the private block (first layout of the driver)
//   114     2     offset of the private block (current layout); preferred when valid
//   other         driver fields that the filters do not read; zero when built here
//
// Private block (tagOEMDEV), 5956 bytes, little-endian:
//
//   offset  size  field
//   0       4     block size, 5956
//   4       4     signature 0x4B444E31
//   8       4     version, 1
//   12      4     size of the checksummed area with its checksum, 5900
//   16      40    reserved, zero
//   56      4     checksum: Crc32::GetCrc of the 5896 bytes from offset 60 to the end
//   60      2     number of records
//   62      5894  records back to back, then zero bytes to the end of the block
//
// Record: 16-bit id, 16-bit data length, data. Record 1 holds the PersistentAttributes
// state (at most 5400 bytes). Record 23 holds a 32-bit value: the CRC-32 of the record-1
// state as the user interface last wrote it, 0 when something else has changed the state
// since (a filter that writes settings back sets it to 0).
//
// The block may start at any offset, so its fields are unaligned: the struct is packed and
// must be read through its fields or with memcpy, never through a DWORD* into it. Records
// are read and written with LittleEndian (littleendian.h). KDevmodeBlock (kdevmodeblock.h)
// locates a block in a devmode, walks its records and rewrites its state; KDevmode below
// builds devmodes as the user interface does.
#pragma once

#include <kldutil/bytebuffer.h>
#include <kldutil/kldutilexport.h>
#include <kldutil/persistentattributes.h>

#include <windows.h>

#include <bit>
#include <cstddef>
#include <vector>

// The packed struct is the layout only where the host stores its fields little-endian.
static_assert(std::endian::native == std::endian::little);

#pragma pack(push, 1)
struct tagOEMDEV {
    DWORD dwSize;
    DWORD dwSignature;
    DWORD dwVersion;
    DWORD dwChecksummedSize;
    BYTE reserved[40];
    DWORD dwChecksum;
    WORD wRecordCount;
    BYTE records[5894];
};
#pragma pack(pop)
static_assert(sizeof(tagOEMDEV) == 5956);
static_assert(offsetof(tagOEMDEV, dwChecksum) == 56);
static_assert(offsetof(tagOEMDEV, wRecordCount) == 60);
static_assert(offsetof(tagOEMDEV, records) == 62);
static_assert(offsetof(DEVMODEW, dmDriverExtra) + sizeof(WORD) == 72);
using OEMDEV = tagOEMDEV;
using POEMDEV = tagOEMDEV*;

// A record to put into a built block after records 1 and 23.
struct KDevmodeRecord {
    WORD id = 0;
    ByteBuffer data;
};

// What the driver's user interface puts into the public part, and where it puts the block.
struct KDevmodeSettings {
    const WCHAR* deviceName = u"Keldan Printer";
    WORD driverVersion = 0x0500;
    short orientation = DMORIENT_PORTRAIT;
    short paperSize = DMPAPER_LETTER;
    short paperLength = 2794; // tenths of a millimetre
    short paperWidth = 2159;
    const WCHAR* formName = u"Letter";
    short copies = 1;
    short printQuality = 600;
    short yResolution = 600;
    short color = DMCOLOR_COLOR;
    short duplex = DMDUP_SIMPLEX;
    short collate = 1;
    // Offset of the block in the private data, and which of the two offset fields name it.
    WORD blockOffset = 128;
    bool offsetAt8 = true;
    bool offsetAt114 = true;
    // Zero bytes after the block, at the end of the private data.
    WORD trailingBytes = 0;
    std::vector<KDevmodeRecord> extraRecords;
};

class KLDUTIL_API KDevmode {
public:
    static constexpr DWORD kBlockSize = 5956;
    static constexpr DWORD kSignature = 0x4B444E31;
    static constexpr DWORD kVersion = 1;
    static constexpr DWORD kChecksummedSize = 5900;
    static constexpr DWORD kChecksumOffset = 56;
    static constexpr DWORD kRecordCountOffset = 60;
    static constexpr DWORD kRecordsOffset = 62;
    // The checksum covers the block from the record count to the end.
    static constexpr DWORD kChecksumDataSize = kBlockSize - kRecordCountOffset;
    // A record: its header (id, then data length), then its data.
    static constexpr DWORD kRecordIdOffset = 0;
    static constexpr DWORD kRecordLengthOffset = 2;
    static constexpr DWORD kRecordHeaderSize = 4;
    static constexpr WORD kStateRecordId = 1;
    static constexpr DWORD kMaxStateSize = 5400;
    static constexpr WORD kUiStampRecordId = 23;
    // The 16-bit fields of the private data that hold the block's offset.
    static constexpr DWORD kBlockOffsetField = 114;
    static constexpr DWORD kLegacyBlockOffsetField = 8;
    static constexpr DWORD kBlockOffsetFieldSize = sizeof(WORD);
    // Where the public part's own size fields end: a dmSize below it would put the private
    // data on top of them, and writing the block could then change the devmode's length.
    static constexpr DWORD kPublicSizeFieldsEnd = offsetof(DEVMODEW, dmDriverExtra) + sizeof(WORD);

    // The checksum a block should carry: Crc32::GetCrc of its bytes from offset 60.
    static DWORD ComputeChecksum(const tagOEMDEV& block);

    // A complete devmode as the driver's user interface makes it: the public part from the
    // settings, the private data with the block, records 1 (the encoded attributes), 23 (the
    // state's CRC-32) and the extra records, and the checksum. Raises KeldanComException
    // with E_INVALIDARG when the state exceeds kMaxStateSize, the records do not fit the
    // block, the block offset is below 116 (it would overlap the offset fields) or the
    // private data would exceed 65535 bytes.
    static ByteBuffer Build(const PersistentAttributes& attributes,
                            const KDevmodeSettings& settings = {});
    // The same with only the document-property namespace, holding dataModel.
    static ByteBuffer Build(const AttributeBytesIndexedList& dataModel,
                            const KDevmodeSettings& settings = {});
};

// The struct and the offsets describe one layout.
static_assert(sizeof(tagOEMDEV) == KDevmode::kBlockSize);
static_assert(offsetof(tagOEMDEV, dwChecksum) == KDevmode::kChecksumOffset);
static_assert(offsetof(tagOEMDEV, wRecordCount) == KDevmode::kRecordCountOffset);
static_assert(offsetof(tagOEMDEV, records) == KDevmode::kRecordsOffset);
// The checksummed area, as the block's fourth field counts it, is the checksum and the bytes
// it covers.
static_assert(KDevmode::kChecksummedSize == sizeof(DWORD) + KDevmode::kChecksumDataSize);
