// The driver's private block inside a devmode (layout in kdevmode.h): finding it, walking its
// records, reading and replacing the persisted settings in its state record.
//
// Contract. Everything works in place on bytes that the caller owns; nothing is kept. A
// devmode comes with the size of its buffer, whose contents are not trusted (bytes decoded
// from a ticket): every read and write stays inside that size. Only the one-argument Find
// takes the caller's word that dmSize + dmDriverExtra bytes are readable. A block found is a
// pointer into the caller's buffer, valid as long as the buffer is, and may be unaligned.
// Damaged or hostile bytes give null, false or nothing, never an access outside the buffer.
#pragma once

#include <kldutil/kdevmode.h>
#include <kldutil/kldutilexport.h>
#include <kldutil/littleendian.h>
#include <kldutil/persistentattributes.h>

#include <windows.h>

#include <memory>
#include <optional>

// A record's header as a walk finds it. The header lies inside the block; the data that the
// length claims may run past it (FitsBlock).
struct KDevmodeRecordHeader {
    DWORD position = 0; // of the header, from the block's first byte
    WORD id = 0;
    WORD length = 0;

    DWORD DataPosition() const noexcept { return position + KDevmode::kRecordHeaderSize; }
    DWORD End() const noexcept { return DataPosition() + length; }
    bool FitsBlock() const noexcept { return End() <= KDevmode::kBlockSize; }
};

class KLDUTIL_API KDevmodeBlock {
public:
    // The block of a devmode whose dmSize + dmDriverExtra bytes are readable, or null: the
    // offset stored at private offset 114 is tried first, then the one at 8. A block must
    // lie wholly inside the private data and carry the block size and the signature. A dmSize
    // below the public part's size fields, or a null devmode, gives null.
    static tagOEMDEV* Find(DEVMODEW* devmode) noexcept;
    // The same for a buffer of bufferSize bytes: null as well when the buffer is too short
    // for the size fields or for dmSize + dmDriverExtra.
    static tagOEMDEV* Find(DEVMODEW* devmode, DWORD bufferSize) noexcept;

    // Whether the four leading fields are those of this driver's layout: block size,
    // signature, version 1 and checksummed size.
    static bool IsCurrentLayout(const tagOEMDEV& block) noexcept;
    static bool ChecksumMatches(const tagOEMDEV& block) noexcept;

    // Walks the records as the driver reads them: from kRecordsOffset, at most as many as the
    // record count says, while a record's header still lies inside the block. visit gets
    // each KDevmodeRecordHeader and returns false to stop.
    template <class Visit>
    static void ForEachRecord(const tagOEMDEV& block, Visit&& visit);

    // The state record: the first record with kStateRecordId, when its data (at most
    // kMaxStateSize bytes) lies inside the block. Nothing when the first such record is
    // unusable or there is none.
    static std::optional<KDevmodeRecordHeader> FindStateRecord(const tagOEMDEV& block) noexcept;
    // The persisted settings of the state record, decoded; null when there is no usable
    // state record or its state cannot be decoded (damaged, or a newer format). The checksum
    // is the caller's to check.
    static std::unique_ptr<PersistentAttributes> ReadState(const tagOEMDEV& block);

    // Replaces the state record's data with length bytes of state: the records after it move
    // to follow the new data, the bytes freed at the end of the block become zero, every
    // record kUiStampRecordId of at least 4 bytes is set to 0 and the checksum is renewed.
    // Returns false, leaving the buffer unchanged, when the devmode or the state is null,
    // when the devmode has no block with a matching checksum or no state record, when the
    // state exceeds kMaxStateSize, when the state and the records after it would not fit the
    // block, or when the new bytes would change the offset that locates the block.
    static bool ReplaceState(DEVMODEW* devmode, DWORD bufferSize, const BYTE* state,
                             DWORD length) noexcept;

    // Writes a record (header and length bytes of data) at position; the caller has checked
    // that it fits the block.
    static void PutRecord(tagOEMDEV& block, DWORD position, WORD id, const BYTE* data,
                          WORD length) noexcept;

    static const BYTE* BytesOf(const tagOEMDEV& block) noexcept {
        return reinterpret_cast<const BYTE*>(&block);
    }
    static BYTE* BytesOf(tagOEMDEV& block) noexcept { return reinterpret_cast<BYTE*>(&block); }
};

template <class Visit>
void KDevmodeBlock::ForEachRecord(const tagOEMDEV& block, Visit&& visit) {
    const BYTE* bytes = BytesOf(block);
    const DWORD count = LittleEndian::ReadWord(bytes + KDevmode::kRecordCountOffset);
    DWORD position = KDevmode::kRecordsOffset;
    for (DWORD i = 0; i < count && position + KDevmode::kRecordHeaderSize <= KDevmode::kBlockSize;
         ++i) {
        const KDevmodeRecordHeader header{
            position, LittleEndian::ReadWord(bytes + position + KDevmode::kRecordIdOffset),
            LittleEndian::ReadWord(bytes + position + KDevmode::kRecordLengthOffset)};
        if (!visit(header)) {
            return;
        }
        position = header.End();
    }
}
