#include <filterutilities/printticketattributebytesreaderwriter.h>

#include <filterutilities/errorconvention.h>
#include <filterutilities/printticketxmldocument.h>

#include <kldutil/attributebytesnamespaces.h>
#include <kldutil/attributebytesrawlist.h>
#include <kldutil/crc32.h>
#include <kldutil/globalcaches.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <utility>

namespace {

// The devmode's own size fields end here; a dmSize below it would put the private data on
// top of them, and writing the block could then change the devmode's length.
constexpr DWORD kSizeFieldsEnd = offsetof(DEVMODEW, dmDriverExtra) + sizeof(WORD);
static_assert(kSizeFieldsEnd == 72);

constexpr DWORD kBlockSize = KDevmode::kBlockSize;
constexpr DWORD kRecordHeaderSize = 4; // id, then data length

WORD ReadWord(const BYTE* p) {
    return static_cast<WORD>(p[0] | (p[1] << 8));
}

void PutWord(BYTE* p, WORD value) {
    p[0] = static_cast<BYTE>(value);
    p[1] = static_cast<BYTE>(value >> 8);
}

void PutDword(BYTE* p, DWORD value) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<BYTE>(value >> (8 * i));
    }
}

BYTE* BytesOf(tagOEMDEV* block) {
    return reinterpret_cast<BYTE*>(block);
}

// The block named by the 16-bit offset stored at offsetField of the private data, when it
// lies wholly inside the private data and carries the block size and the signature.
tagOEMDEV* BlockNamedAt(BYTE* privateData, DWORD driverExtra, DWORD offsetField) {
    if (driverExtra <= offsetField + sizeof(WORD)) {
        return nullptr;
    }
    const DWORD offset = ReadWord(privateData + offsetField);
    if (offset == 0 || offset + kBlockSize > driverExtra) {
        return nullptr;
    }
    auto* block = reinterpret_cast<tagOEMDEV*>(privateData + offset);
    if (block->dwSize != kBlockSize || block->dwSignature != KDevmode::kSignature) {
        return nullptr;
    }
    return block;
}

bool ChecksumMatches(const tagOEMDEV& block) {
    return block.dwChecksum == KDevmode::ComputeChecksum(block);
}

// Walks the records of a block as the driver reads them: from offset 62, at most as many
// as the record count says, while a record's id and length still lie inside the block.
// visit(position, id, length) gets each record's header position and returns false to
// stop. A record's data may run past the block; visit must check before reading it.
template <class Visit>
void WalkRecords(const BYTE* block, Visit&& visit) {
    const DWORD count = ReadWord(block + KDevmode::kRecordCountOffset);
    DWORD position = KDevmode::kRecordsOffset;
    for (DWORD i = 0; i < count && position + kRecordHeaderSize <= kBlockSize; ++i) {
        const WORD id = ReadWord(block + position);
        const WORD length = ReadWord(block + position + 2);
        if (!visit(position, id, length)) {
            return;
        }
        position += kRecordHeaderSize + length;
    }
}

bool RecordFits(DWORD position, DWORD length) {
    return position + kRecordHeaderSize + length <= kBlockSize;
}

// The state record: the first record with id 1, usable when its data (at most 5400 bytes)
// lies inside the block.
struct StateRecord {
    bool found = false;
    DWORD position = 0;
    DWORD length = 0;
};

StateRecord FindStateRecord(const BYTE* block) {
    StateRecord record;
    WalkRecords(block, [&](DWORD position, WORD id, WORD length) {
        if (id != KDevmode::kStateRecordId) {
            return true;
        }
        if (length <= KDevmode::kMaxStateSize && RecordFits(position, length)) {
            record = {true, position, length};
        }
        return false;
    });
    return record;
}

} // namespace

PrintTicketAttributeBytesReaderWriter::PrintTicketAttributeBytesReaderWriter() = default;

PrintTicketAttributeBytesReaderWriter::PrintTicketAttributeBytesReaderWriter(
    PrintTicketXmlDocument* ticket, bool noGlobalCache)
    : m_ticket(ticket), m_noGlobalCache(noGlobalCache) {}

PrintTicketAttributeBytesReaderWriter::~PrintTicketAttributeBytesReaderWriter() = default;

PrintTicketAttributeBytesReaderWriter::PrintTicketAttributeBytesReaderWriter(
    PrintTicketAttributeBytesReaderWriter&& source) noexcept
    : AttributeBytesReaderWriter(source), m_ticket(source.m_ticket),
      m_indexedList(std::move(source.m_indexedList)), m_noGlobalCache(source.m_noGlobalCache),
      m_cachedNameSpace(std::exchange(source.m_cachedNameSpace, -1)),
      m_devmode(std::move(source.m_devmode)),
      m_persistentAttributes(std::move(source.m_persistentAttributes)),
      m_listNameSpace(std::exchange(source.m_listNameSpace, -1)) {
    source.m_devmode.clear();
}

PrintTicketAttributeBytesReaderWriter& PrintTicketAttributeBytesReaderWriter::operator=(
    PrintTicketAttributeBytesReaderWriter&& source) noexcept {
    if (this != &source) {
        AttributeBytesReaderWriter::operator=(source);
        m_ticket = source.m_ticket;
        m_indexedList = std::move(source.m_indexedList);
        m_noGlobalCache = source.m_noGlobalCache;
        m_cachedNameSpace = std::exchange(source.m_cachedNameSpace, -1);
        m_devmode = std::move(source.m_devmode);
        source.m_devmode.clear();
        m_persistentAttributes = std::move(source.m_persistentAttributes);
        m_listNameSpace = std::exchange(source.m_listNameSpace, -1);
    }
    return *this;
}

// The const forms decode through the virtual non-const forms, so that a derived view that
// chooses its devmode in GetAttributeBytesIndexedListRef() also serves the typed reads of
// AttributeBytesReader.
const AttributeBytesIndexedList&
PrintTicketAttributeBytesReaderWriter::GetAttributeBytesIndexedListRef() const {
    return const_cast<PrintTicketAttributeBytesReaderWriter*>(this)
        ->GetAttributeBytesIndexedListRef();
}

AttributeBytesIndexedList&
PrintTicketAttributeBytesReaderWriter::GetAttributeBytesIndexedListRef() {
    return GetAttributeBytesIndexedListRef(PersistentAttributes::GetDataModelDocPropNameSpaceId());
}

void PrintTicketAttributeBytesReaderWriter::Dump() const {}

const AttributeBytesIndexedList&
PrintTicketAttributeBytesReaderWriter::GetAttributeBytesIndexedListRef(
    AttributeBytesNameSpacesId nameSpace) const {
    return const_cast<PrintTicketAttributeBytesReaderWriter*>(this)
        ->GetAttributeBytesIndexedListRef(nameSpace);
}

AttributeBytesIndexedList& PrintTicketAttributeBytesReaderWriter::GetAttributeBytesIndexedListRef(
    AttributeBytesNameSpacesId nameSpace) {
    if (m_indexedList != nullptr && m_cachedNameSpace >= 0 &&
        m_cachedNameSpace == nameSpace.GetId()) {
        return *m_indexedList;
    }
    // A list that came out empty is decoded again, unless it has been edited since: that
    // would throw the caller's settings away before they are committed.
    if (m_indexedList != nullptr && m_listNameSpace == nameSpace.GetId() &&
        !m_indexedList->IsEmpty()) {
        return *m_indexedList;
    }

    m_indexedList = std::make_unique<AttributeBytesIndexedList>();
    m_cachedNameSpace = -1;
    m_listNameSpace = nameSpace.GetId();
    AttributeBytesIndexedList& list = *m_indexedList;

    if (m_devmode.isEmpty() && m_ticket != nullptr) {
        // A missing or foreign snapshot leaves the buffer empty, and the next request asks
        // the ticket again.
        static_cast<void>(m_ticket->GetDevmodeFromPrintTicket(m_devmode));
    }
    tagOEMDEV* block = HeldBlock();
    if (block == nullptr || !ChecksumMatches(*block)) {
        return list;
    }

    const BYTE* checked = BytesOf(block) + KDevmode::kRecordCountOffset;
    const DWORD checksum = block->dwChecksum;
    if (!m_noGlobalCache) {
        GlobalCaches::CheckKDevmodeAttributeBytesIndexedListCache(
            nameSpace, checksum, checked, KDevmode::kChecksumDataSize, list);
    }
    if (list.IsEmpty() && DecodeState(*block)) {
        list.ImportFromRawList(
            m_persistentAttributes->GetAttributeBytesListForNameSpace(nameSpace));
        if (!m_noGlobalCache && !list.IsEmpty()) {
            GlobalCaches::AddKDevmodeAttributeBytesIndexedListCache(
                nameSpace, checksum, checked, KDevmode::kChecksumDataSize, list);
        }
    }
    if (!list.IsEmpty()) {
        m_cachedNameSpace = nameSpace.GetId();
    }
    return list;
}

DEVMODEW* PrintTicketAttributeBytesReaderWriter::GetPublicDevmodePtr() {
    return reinterpret_cast<DEVMODEW*>(m_devmode.getLpbyte());
}

void PrintTicketAttributeBytesReaderWriter::SetDevmode(ByteBuffer& devmode) {
    m_devmode = devmode;
    ClearCachedIndexedList();
}

void PrintTicketAttributeBytesReaderWriter::ClearCachedIndexedList() {
    m_persistentAttributes.reset();
    m_indexedList.reset();
    m_cachedNameSpace = -1;
    m_listNameSpace = -1;
}

void PrintTicketAttributeBytesReaderWriter::CommitChangesToPrintTicket() {
    if (m_indexedList == nullptr) {
        return;
    }
    // A list taken from the process-wide cache came without the decoded state; the other
    // namespaces are needed to write the state back whole.
    if (m_persistentAttributes == nullptr) {
        tagOEMDEV* block = HeldBlock();
        if (block == nullptr || !ChecksumMatches(*block) || !DecodeState(*block)) {
            return;
        }
    }

    // The held list goes back under the namespace it was decoded for; the other namespaces
    // stay as the state holds them.
    AttributeBytesRawList edited;
    edited.ImportFromIndexedList(*m_indexedList);
    const AttributeBytesNameSpacesId listNameSpace(m_listNameSpace);
    AttributeBytesNameSpaces nameSpaces;
    for (const AttributeBytesNameSpacesId id :
         {PersistentAttributes::GetDataModelDocPropNameSpaceId(),
          PersistentAttributes::GetMsDeviceCapabilitiesNameSpaceId(), listNameSpace}) {
        nameSpaces.SetAttributeBytesRawList(
            id, id == listNameSpace
                    ? edited
                    : m_persistentAttributes->GetAttributeBytesListForNameSpace(id));
    }
    PersistentAttributes updated = *m_persistentAttributes;
    updated.SetAttributeBytesNameSpaces(nameSpaces);
    const ByteBuffer state = updated.GetPersistentAttributesState();
    if (state.getDword() > KDevmode::kMaxStateSize || !WriteState(state)) {
        return;
    }
    *m_persistentAttributes = std::move(updated);
    if (m_ticket != nullptr) {
        FU_THROW_IF_FAILED(
            m_ticket->AddOrReplacePageDevmodeSnapshotInPrintTicket(GetPublicDevmodePtr()));
    }
}

void PrintTicketAttributeBytesReaderWriter::WritePersistedAttributesToDevmodePropertyBag(
    ByteBuffer state) {
    WriteState(state);
}

tagOEMDEV* PrintTicketAttributeBytesReaderWriter::GetOemDevmodeFromDevmode(DEVMODEW* devmode) {
    if (devmode == nullptr) {
        FU_THROW_INVALID_ARGUMENT_NULL_POINTER();
    }
    const DWORD publicSize = devmode->dmSize;
    if (publicSize < kSizeFieldsEnd) {
        return nullptr;
    }
    BYTE* privateData = reinterpret_cast<BYTE*>(devmode) + publicSize;
    const DWORD driverExtra = devmode->dmDriverExtra;
    if (tagOEMDEV* block = BlockNamedAt(privateData, driverExtra, KDevmode::kBlockOffsetField)) {
        return block;
    }
    return BlockNamedAt(privateData, driverExtra, KDevmode::kLegacyBlockOffsetField);
}

tagOEMDEV* PrintTicketAttributeBytesReaderWriter::GetOemDevmodeFromDevmode(DEVMODEW* devmode,
                                                                           DWORD bufferSize) {
    if (devmode == nullptr) {
        FU_THROW_INVALID_ARGUMENT_NULL_POINTER();
    }
    if (bufferSize < kSizeFieldsEnd ||
        DWORD{devmode->dmSize} + devmode->dmDriverExtra > bufferSize) {
        return nullptr;
    }
    return GetOemDevmodeFromDevmode(devmode);
}

tagOEMDEV* PrintTicketAttributeBytesReaderWriter::HeldBlock() {
    if (m_devmode.isEmpty()) {
        return nullptr;
    }
    return GetOemDevmodeFromDevmode(GetPublicDevmodePtr(), m_devmode.getDword());
}

std::unique_ptr<PersistentAttributes>
PrintTicketAttributeBytesReaderWriter::ReadPersistedAttributes(const tagOEMDEV& block) {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(&block);
    const StateRecord record = FindStateRecord(bytes);
    if (!record.found) {
        return nullptr;
    }
    auto decoded = std::make_unique<PersistentAttributes>(
        bytes + record.position + kRecordHeaderSize, record.length, false);
    if (FAILED(decoded->GetDecodeResult())) {
        return nullptr;
    }
    return decoded;
}

bool PrintTicketAttributeBytesReaderWriter::DecodeState(const tagOEMDEV& block) {
    // A state this library cannot read (damaged, or of a newer format) is not kept: writing
    // it back would replace settings that were never read.
    std::unique_ptr<PersistentAttributes> decoded = ReadPersistedAttributes(block);
    if (!decoded) {
        return false;
    }
    m_persistentAttributes = std::move(decoded);
    return true;
}

bool PrintTicketAttributeBytesReaderWriter::WriteState(const ByteBuffer& state) {
    tagOEMDEV* block = HeldBlock();
    if (block == nullptr || !ChecksumMatches(*block) ||
        state.getDword() > KDevmode::kMaxStateSize) {
        return false;
    }
    BYTE* bytes = BytesOf(block);
    const StateRecord record = FindStateRecord(bytes);
    if (!record.found) {
        return false;
    }
    // The records after the state move with it; they must all still fit. Bytes beyond the
    // last whole record are padding and may be dropped.
    DWORD recordsEnd = 0;
    WalkRecords(bytes, [&](DWORD position, WORD, WORD length) {
        if (RecordFits(position, length)) {
            recordsEnd = position + kRecordHeaderSize + length;
        }
        return true;
    });
    const DWORD newLength = state.getDword();
    if (recordsEnd - record.length + newLength > kBlockSize) {
        return false;
    }

    std::array<BYTE, kBlockSize> updated{};
    const DWORD dataStart = record.position + kRecordHeaderSize;
    std::memcpy(updated.data(), bytes, dataStart);
    PutWord(updated.data() + record.position + 2, static_cast<WORD>(newLength));
    if (newLength > 0) {
        std::memcpy(updated.data() + dataStart, state.getLpbyte(), newLength);
    }
    const DWORD tailStart = dataStart + record.length;
    const DWORD newTailStart = dataStart + newLength;
    const DWORD tailLength = std::min(kBlockSize - tailStart, kBlockSize - newTailStart);
    std::memcpy(updated.data() + newTailStart, bytes + tailStart, tailLength);

    // The settings no longer are what the user interface wrote.
    WalkRecords(updated.data(), [&](DWORD position, WORD id, WORD length) {
        if (id == KDevmode::kUiStampRecordId && length >= 4 && RecordFits(position, length)) {
            PutDword(updated.data() + position + kRecordHeaderSize, 0);
        }
        return true;
    });
    PutDword(
        updated.data() + KDevmode::kChecksumOffset,
        Crc32::GetCrc(updated.data() + KDevmode::kRecordCountOffset, KDevmode::kChecksumDataSize));
    // A block may hold one of the offsets that locate it (an early layout put it right
    // after the offset at 8, over the one at 114). A write that would make the devmode name
    // another block is refused.
    std::array<BYTE, kBlockSize> original;
    std::memcpy(original.data(), bytes, kBlockSize);
    std::memcpy(bytes, updated.data(), kBlockSize);
    if (HeldBlock() != block) {
        std::memcpy(bytes, original.data(), kBlockSize);
        return false;
    }
    return true;
}
