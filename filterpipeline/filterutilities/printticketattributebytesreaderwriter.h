// The driver's own data model, read from and written back to the devmode snapshot that a
// print ticket carries.
//
// Contract. The object holds one devmode (public DEVMODEW, then the driver-private data with
// the private block, kdevmode.h). It takes it from SetDevmode or, when it holds none, from
// the ticket given at construction (PrintTicketXmlDocument::GetDevmodeFromPrintTicket). The
// ticket is not owned and must outlive every call that may reach it (the list requests and
// CommitChangesToPrintTicket).
//
// GetAttributeBytesIndexedListRef(namespace) decodes the persisted attributes of one
// namespace into a list that this object owns and keeps until the next request for another
// namespace, ClearCachedIndexedList or SetDevmode; references to it are valid until then.
// A list that came out empty (and was not edited since) is decoded again on the next
// request. Asking for another namespace drops the held list, edits included: commit them
// first. The const forms decode through the non-const ones, so a list request changes the
// object's state even through a const reference; an object defined const must not be asked.
//
// A devmode that is short, truncated, lies about its sizes or offsets, carries a block with
// a wrong size, signature or checksum, or has no well-formed state record gives an empty
// list, never a read outside its buffer. The attributes are written back to the devmode and
// the devmode back into the ticket only by CommitChangesToPrintTicket.
#pragma once

#include <filterutilities/filterutilitiesexport.h>

#include <kldutil/attributebytesids.h>
#include <kldutil/attributebytesindexedlist.h>
#include <kldutil/attributebytesreaderwriter.h>
#include <kldutil/bytebuffer.h>
#include <kldutil/kdevmode.h>
#include <kldutil/persistentattributes.h>

#include <windows.h>

#include <memory>

class PrintTicketXmlDocument;

class FILTERUTILITIES_API PrintTicketAttributeBytesReaderWriter
    : public AttributeBytesReaderWriter {
public:
    // No ticket; the process-wide cache of decoded lists is consulted.
    PrintTicketAttributeBytesReaderWriter();
    // ticket (may be null) is where a devmode is taken from when none was set; with
    // noGlobalCache the process-wide cache of decoded lists is neither read nor filled.
    PrintTicketAttributeBytesReaderWriter(PrintTicketXmlDocument* ticket, bool noGlobalCache);
    ~PrintTicketAttributeBytesReaderWriter() override;

    // Copies the ticket pointer, the flag and the devmode, and takes the decoded list and
    // attributes over from the source, which decodes anew when next asked.
    PrintTicketAttributeBytesReaderWriter(PrintTicketAttributeBytesReaderWriter&& source) noexcept;
    PrintTicketAttributeBytesReaderWriter&
    operator=(PrintTicketAttributeBytesReaderWriter&& source) noexcept;
    PrintTicketAttributeBytesReaderWriter(const PrintTicketAttributeBytesReaderWriter&) = delete;
    PrintTicketAttributeBytesReaderWriter&
    operator=(const PrintTicketAttributeBytesReaderWriter&) = delete;

    // The list of the driver's document settings
    // (PersistentAttributes::GetDataModelDocPropNameSpaceId()).
    const AttributeBytesIndexedList& GetAttributeBytesIndexedListRef() const override;
    AttributeBytesIndexedList& GetAttributeBytesIndexedListRef() override;
    void Dump() const override;
    // The list of one namespace; empty when the devmode carries none.
    virtual const AttributeBytesIndexedList&
    GetAttributeBytesIndexedListRef(AttributeBytesNameSpacesId nameSpace) const;
    virtual AttributeBytesIndexedList&
    GetAttributeBytesIndexedListRef(AttributeBytesNameSpacesId nameSpace);

    // The held devmode, null when none is held.
    DEVMODEW* GetPublicDevmodePtr();
    // The held devmode's bytes, empty when none is held.
    const ByteBuffer& GetDevmode() const noexcept { return m_devmode; }
    // Holds a copy of devmode and drops the decoded list.
    void SetDevmode(ByteBuffer& devmode);
    // Drops the decoded list and attributes; the next request decodes the devmode again.
    void ClearCachedIndexedList();

    // Writes the held list back into the devmode's state record (zeroing record 23 and
    // renewing the checksum) and embeds the devmode in the ticket as its page devmode
    // snapshot. The list goes back under the namespace it was asked for; the state's other
    // namespaces are kept. Nothing happens when no list is held, when the devmode has no
    // valid block with a decodable state, or when the new state would exceed 5400 bytes or
    // not fit the block. Without a ticket only the devmode changes. A failure to embed
    // raises KeldanComException; a list too large to encode raises E_INVALIDARG.
    void CommitChangesToPrintTicket();

    // The private block of a devmode whose buffer holds at least dmSize + dmDriverExtra
    // bytes (the caller's obligation), or null when there is no valid block: the offset
    // stored at private offset 114 is tried first, then the one at private offset 8; a
    // block must lie inside the private data and carry size 5956 and the signature. A dmSize
    // below 72 (private data over the size fields) gives null. A null devmode raises
    // ExceptionInvalidArgumentNullPointer. The block may be unaligned: read
    // it through its fields or memcpy. KDevmodeBlock::Find does the locating.
    static tagOEMDEV* GetOemDevmodeFromDevmode(DEVMODEW* devmode);
    // The same for a buffer of bufferSize bytes whose contents are not trusted: null as
    // well when the buffer is too short for the size fields or for dmSize + dmDriverExtra.
    // Use this form for bytes decoded from a ticket.
    static tagOEMDEV* GetOemDevmodeFromDevmode(DEVMODEW* devmode, DWORD bufferSize);

    // The persisted settings held in a block's state record, decoded; null when the block has
    // no usable state record or the state cannot be decoded (damaged, or a newer format). The
    // block's checksum is the caller's to check. KDevmodeBlock::ReadState does the reading.
    static std::unique_ptr<PersistentAttributes> ReadPersistedAttributes(const tagOEMDEV& block);

protected:
    // Replaces the state record (the first record with id 1, when it holds at most 5400
    // bytes inside the block) with state: the records after it move to follow the new data
    // and the bytes freed at the end of the block become zero. Record 23 is set to 0 and
    // the checksum renewed. The block stays unchanged when the devmode has no valid block
    // (checksum included) or state record, when the state exceeds 5400 bytes, when the state
    // and the records after it would not fit the block, or when the new bytes would change
    // the offset that locates the block (KDevmodeBlock::ReplaceState).
    void WritePersistedAttributesToDevmodePropertyBag(ByteBuffer state);

private:
    // The block of the held devmode, or null.
    tagOEMDEV* HeldBlock();
    // Decodes the block's state record into m_persistentAttributes; false (keeping what was
    // held) when there is no state record or the state cannot be decoded.
    bool DecodeState(const tagOEMDEV& block);
    // Writes state into the held devmode; false when the block was left unchanged.
    bool WriteState(const ByteBuffer& state);

    PrintTicketXmlDocument* m_ticket = nullptr;
    std::unique_ptr<AttributeBytesIndexedList> m_indexedList;
    bool m_noGlobalCache = false;
    // The namespace whose decoded list is held, -1 when the held list must be decoded
    // again (it came out empty).
    int32_t m_cachedNameSpace = -1;
    ByteBuffer m_devmode;
    std::unique_ptr<PersistentAttributes> m_persistentAttributes;
    // The namespace the held list belongs to, also when it came out empty; -1 with no list.
    // The list is written back under this namespace.
    int32_t m_listNameSpace = -1;
};
