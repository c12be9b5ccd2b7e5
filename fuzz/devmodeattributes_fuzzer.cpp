// Hostile devmodes against the attribute bytes bridge: locating the private block, decoding
// the persisted attributes of both namespaces, and writing an edit back. The first input byte
// chooses how the rest is read:
//   bit 0  the rest is UTF-16 Base64 text, decoded as a ticket's devmode snapshot is;
//          otherwise it is the devmode itself
//   bit 1  the located block's checksum is made to match first, so that the record walk and
//          the state decoder see mutated blocks (a fuzzer cannot forge a CRC-32 by itself)
// Checked: the block lies inside the private data; a commit either leaves the devmode as it
// was or writes a block that still checks and decodes to the edited list.
// fuzz-links: filterutilities kldutil platform
#include <filterutilities/printticketattributebytesreaderwriter.h>

#include <kldutil/crc32.h>
#include <kldutil/keldanutilities.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

void Require(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

ByteBuffer DecodeSnapshot(const uint8_t* data, size_t size) {
    const int characters = static_cast<int>(size / 2);
    std::vector<WCHAR> text(static_cast<size_t>(characters));
    if (characters > 0) {
        std::memcpy(text.data(), data, static_cast<size_t>(characters) * 2);
    }
    int length = KeldanUtilities::Base64DecodeGetRequiredLength(characters);
    ByteBuffer bytes(static_cast<DWORD>(length), 0);
    // A malformed text gives the bytes before the fault, as the snapshot reader keeps them.
    KeldanUtilities::Base64Decode(text.data(), characters, bytes.getLpbyte(), &length);
    bytes.resize(static_cast<DWORD>(length));
    return bytes;
}

void FixChecksum(ByteBuffer& devmode) {
    if (devmode.isEmpty()) {
        return;
    }
    tagOEMDEV* block = PrintTicketAttributeBytesReaderWriter::GetOemDevmodeFromDevmode(
        reinterpret_cast<DEVMODEW*>(devmode.getLpbyte()), devmode.getDword());
    if (block != nullptr) {
        block->dwChecksum = KDevmode::ComputeChecksum(*block);
    }
}

void CheckLocator(ByteBuffer& devmode) {
    if (devmode.isEmpty()) {
        return;
    }
    auto* publicPart = reinterpret_cast<DEVMODEW*>(devmode.getLpbyte());
    const BYTE* block = reinterpret_cast<const BYTE*>(
        PrintTicketAttributeBytesReaderWriter::GetOemDevmodeFromDevmode(publicPart,
                                                                        devmode.getDword()));
    if (block != nullptr) {
        const BYTE* privateData = devmode.getLpbyte() + publicPart->dmSize;
        Require(block >= privateData &&
                block + KDevmode::kBlockSize <= privateData + publicPart->dmDriverExtra);
        Require(block + KDevmode::kBlockSize <= devmode.getLpbyte() + devmode.getDword());
    }
}

void FuzzDevmode(ByteBuffer devmode) {
    CheckLocator(devmode);

    PrintTicketAttributeBytesReaderWriter bridge(nullptr, true);
    bridge.SetDevmode(devmode);
    const AttributeBytesIndexedList capabilities = bridge.GetAttributeBytesIndexedListRef(
        PersistentAttributes::GetMsDeviceCapabilitiesNameSpaceId());
    AttributeBytesIndexedList& list = bridge.GetAttributeBytesIndexedListRef();
    list.SetOptionValue(AttributeBytesFeatureId(215), 7243);
    const AttributeBytesIndexedList edited = list;
    bridge.CommitChangesToPrintTicket();

    const BYTE* written = reinterpret_cast<const BYTE*>(bridge.GetPublicDevmodePtr());
    if (written == nullptr || std::memcmp(written, devmode.getLpbyte(), devmode.getDword()) == 0) {
        return;
    }
    // Written back: a fresh reader finds the edit and the other namespace as they were.
    ByteBuffer after(written, devmode.getDword());
    PrintTicketAttributeBytesReaderWriter reader(nullptr, true);
    reader.SetDevmode(after);
    Require(reader.GetAttributeBytesIndexedListRef() == edited);
    Require(reader.GetAttributeBytesIndexedListRef(
                PersistentAttributes::GetMsDeviceCapabilitiesNameSpaceId()) == capabilities);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 0x30000) {
        return 0;
    }
    const uint8_t mode = data[0];
    ByteBuffer devmode = (mode & 1) != 0 ? DecodeSnapshot(data + 1, size - 1)
                                         : ByteBuffer(data + 1, static_cast<DWORD>(size - 1));
    if ((mode & 2) != 0) {
        FixChecksum(devmode);
    }
    FuzzDevmode(devmode);
    return 0;
}
