#include <kldutil/kdevmodeblock.h>

#include <algorithm>
#include <cstring>

namespace {

// The block named by the 16-bit offset stored at offsetField of the private data, when it
// lies wholly inside the private data and carries the block size and the signature.
tagOEMDEV* BlockNamedAt(BYTE* privateData, DWORD driverExtra, DWORD offsetField) noexcept {
    if (driverExtra <= offsetField + KDevmode::kBlockOffsetFieldSize) {
        return nullptr;
    }
    const DWORD offset = LittleEndian::ReadWord(privateData + offsetField);
    if (offset == 0 || offset + KDevmode::kBlockSize > driverExtra) {
        return nullptr;
    }
    auto* block = reinterpret_cast<tagOEMDEV*>(privateData + offset);
    if (block->dwSize != KDevmode::kBlockSize || block->dwSignature != KDevmode::kSignature) {
        return nullptr;
    }
    return block;
}

} // namespace

tagOEMDEV* KDevmodeBlock::Find(DEVMODEW* devmode) noexcept {
    if (devmode == nullptr) {
        return nullptr;
    }
    const DWORD publicSize = devmode->dmSize;
    if (publicSize < KDevmode::kPublicSizeFieldsEnd) {
        return nullptr;
    }
    BYTE* privateData = reinterpret_cast<BYTE*>(devmode) + publicSize;
    const DWORD driverExtra = devmode->dmDriverExtra;
    if (tagOEMDEV* block = BlockNamedAt(privateData, driverExtra, KDevmode::kBlockOffsetField)) {
        return block;
    }
    return BlockNamedAt(privateData, driverExtra, KDevmode::kLegacyBlockOffsetField);
}

tagOEMDEV* KDevmodeBlock::Find(DEVMODEW* devmode, DWORD bufferSize) noexcept {
    if (devmode == nullptr || bufferSize < KDevmode::kPublicSizeFieldsEnd ||
        DWORD{devmode->dmSize} + devmode->dmDriverExtra > bufferSize) {
        return nullptr;
    }
    return Find(devmode);
}

bool KDevmodeBlock::IsCurrentLayout(const tagOEMDEV& block) noexcept {
    return block.dwSize == KDevmode::kBlockSize && block.dwSignature == KDevmode::kSignature &&
           block.dwVersion == KDevmode::kVersion &&
           block.dwChecksummedSize == KDevmode::kChecksummedSize;
}

bool KDevmodeBlock::ChecksumMatches(const tagOEMDEV& block) noexcept {
    return block.dwChecksum == KDevmode::ComputeChecksum(block);
}

std::optional<KDevmodeRecordHeader>
KDevmodeBlock::FindStateRecord(const tagOEMDEV& block) noexcept {
    std::optional<KDevmodeRecordHeader> state;
    ForEachRecord(block, [&](const KDevmodeRecordHeader& record) {
        if (record.id != KDevmode::kStateRecordId) {
            return true;
        }
        if (record.length <= KDevmode::kMaxStateSize && record.FitsBlock()) {
            state = record;
        }
        return false;
    });
    return state;
}

std::unique_ptr<PersistentAttributes> KDevmodeBlock::ReadState(const tagOEMDEV& block) {
    const std::optional<KDevmodeRecordHeader> record = FindStateRecord(block);
    if (!record) {
        return nullptr;
    }
    auto decoded = std::make_unique<PersistentAttributes>(BytesOf(block) + record->DataPosition(),
                                                          record->length, false);
    if (FAILED(decoded->GetDecodeResult())) {
        return nullptr;
    }
    return decoded;
}

void KDevmodeBlock::PutRecord(tagOEMDEV& block, DWORD position, WORD id, const BYTE* data,
                              WORD length) noexcept {
    BYTE* bytes = BytesOf(block);
    LittleEndian::PutWord(bytes + position + KDevmode::kRecordIdOffset, id);
    LittleEndian::PutWord(bytes + position + KDevmode::kRecordLengthOffset, length);
    if (length > 0) {
        std::memcpy(bytes + position + KDevmode::kRecordHeaderSize, data, length);
    }
}

bool KDevmodeBlock::ReplaceState(DEVMODEW* devmode, DWORD bufferSize, const BYTE* state,
                                 DWORD length) noexcept {
    if (state == nullptr && length > 0) {
        return false;
    }
    tagOEMDEV* block = Find(devmode, bufferSize);
    if (block == nullptr || !ChecksumMatches(*block) || length > KDevmode::kMaxStateSize) {
        return false;
    }
    const std::optional<KDevmodeRecordHeader> record = FindStateRecord(*block);
    if (!record) {
        return false;
    }
    // The records after the state move with it; they must all still fit. Bytes beyond the
    // last whole record are padding and may be dropped.
    DWORD recordsEnd = 0;
    ForEachRecord(*block, [&](const KDevmodeRecordHeader& each) {
        if (each.FitsBlock()) {
            recordsEnd = each.End();
        }
        return true;
    });
    if (recordsEnd - record->length + length > KDevmode::kBlockSize) {
        return false;
    }

    tagOEMDEV updated{};
    const BYTE* bytes = BytesOf(*block);
    std::memcpy(&updated, bytes, record->position);
    PutRecord(updated, record->position, record->id, state, static_cast<WORD>(length));
    const DWORD tailStart = record->End();
    const DWORD newTailStart = record->DataPosition() + length;
    const DWORD tailLength =
        std::min(KDevmode::kBlockSize - tailStart, KDevmode::kBlockSize - newTailStart);
    std::memcpy(BytesOf(updated) + newTailStart, bytes + tailStart, tailLength);

    // The settings no longer are what the user interface wrote.
    ForEachRecord(updated, [&](const KDevmodeRecordHeader& each) {
        if (each.id == KDevmode::kUiStampRecordId && each.length >= sizeof(DWORD) &&
            each.FitsBlock()) {
            LittleEndian::PutDword(BytesOf(updated) + each.DataPosition(), 0);
        }
        return true;
    });
    updated.dwChecksum = KDevmode::ComputeChecksum(updated);

    // A block may hold one of the offsets that locate it (an early layout put it right after
    // the offset at 8, over the one at 114). A write that would make the devmode name
    // another block is refused.
    tagOEMDEV original;
    std::memcpy(&original, block, sizeof(original));
    std::memcpy(block, &updated, sizeof(updated));
    if (Find(devmode, bufferSize) != block) {
        std::memcpy(block, &original, sizeof(original));
        return false;
    }
    return true;
}
