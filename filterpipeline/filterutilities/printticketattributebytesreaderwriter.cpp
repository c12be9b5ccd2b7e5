#include <filterutilities/printticketattributebytesreaderwriter.h>

#include <filterutilities/errorconvention.h>
#include <filterutilities/printticketxmldocument.h>

#include <kldutil/attributebytesnamespaces.h>
#include <kldutil/attributebytesrawlist.h>
#include <kldutil/globalcaches.h>
#include <kldutil/kdevmodeblock.h>

#include <utility>

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
    if (block == nullptr || !KDevmodeBlock::ChecksumMatches(*block)) {
        return list;
    }

    const BYTE* checked = KDevmodeBlock::BytesOf(*block) + KDevmode::kRecordCountOffset;
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
        if (block == nullptr || !KDevmodeBlock::ChecksumMatches(*block) || !DecodeState(*block)) {
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
    return KDevmodeBlock::Find(devmode);
}

tagOEMDEV* PrintTicketAttributeBytesReaderWriter::GetOemDevmodeFromDevmode(DEVMODEW* devmode,
                                                                           DWORD bufferSize) {
    if (devmode == nullptr) {
        FU_THROW_INVALID_ARGUMENT_NULL_POINTER();
    }
    return KDevmodeBlock::Find(devmode, bufferSize);
}

tagOEMDEV* PrintTicketAttributeBytesReaderWriter::HeldBlock() {
    if (m_devmode.isEmpty()) {
        return nullptr;
    }
    return GetOemDevmodeFromDevmode(GetPublicDevmodePtr(), m_devmode.getDword());
}

std::unique_ptr<PersistentAttributes>
PrintTicketAttributeBytesReaderWriter::ReadPersistedAttributes(const tagOEMDEV& block) {
    return KDevmodeBlock::ReadState(block);
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
    return !m_devmode.isEmpty() &&
           KDevmodeBlock::ReplaceState(GetPublicDevmodePtr(), m_devmode.getDword(),
                                       state.getLpbyte(), state.getDword());
}
