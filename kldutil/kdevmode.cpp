#include <kldutil/kdevmode.h>

#include <kldutil/crc32.h>
#include <kldutil/kdevmodeblock.h>
#include <kldutil/littleendian.h>
#include <kldutil/raise.h>

#include <cstring>

namespace {

[[noreturn]] void InvalidArgument() {
    kldutil::RaiseComError(E_INVALIDARG, __FILE__, __LINE__, "KDevmode::Build");
}

// Copies a terminated string into a fixed field of count characters, cut to fit and always
// terminated.
void PutString(WCHAR* field, size_t count, const WCHAR* text) {
    size_t i = 0;
    for (; text != nullptr && text[i] != 0 && i + 1 < count; ++i) {
        field[i] = text[i];
    }
    for (; i < count; ++i) {
        field[i] = 0;
    }
}

} // namespace

DWORD KDevmode::ComputeChecksum(const tagOEMDEV& block) {
    return Crc32::GetCrc(reinterpret_cast<const BYTE*>(&block) + kRecordCountOffset,
                         kChecksumDataSize);
}

ByteBuffer KDevmode::Build(const PersistentAttributes& attributes,
                           const KDevmodeSettings& settings) {
    const ByteBuffer state = attributes.GetPersistentAttributesState();
    if (state.getDword() > kMaxStateSize) {
        InvalidArgument();
    }
    // The block must not overlap the offset field at 114..115.
    if (settings.blockOffset < kBlockOffsetField + kBlockOffsetFieldSize) {
        InvalidArgument();
    }
    const DWORD driverExtra = DWORD{settings.blockOffset} + kBlockSize + settings.trailingBytes;
    if (driverExtra > 0xFFFF) {
        InvalidArgument();
    }

    // Records: 1 (state), 23 (the state's CRC as the user interface wrote it), then extras.
    tagOEMDEV block{};
    block.dwSize = kBlockSize;
    block.dwSignature = kSignature;
    block.dwVersion = kVersion;
    block.dwChecksummedSize = kChecksummedSize;
    DWORD end = kRecordsOffset;
    WORD count = 0;
    auto addRecord = [&](WORD id, const BYTE* data, DWORD length) {
        if (length > 0xFFFF || length + kRecordHeaderSize > kBlockSize - end || count == 0xFFFF) {
            InvalidArgument();
        }
        KDevmodeBlock::PutRecord(block, end, id, data, static_cast<WORD>(length));
        end += kRecordHeaderSize + length;
        ++count;
    };
    addRecord(kStateRecordId, state.getLpbyte(), state.getDword());
    BYTE stamp[sizeof(DWORD)];
    LittleEndian::PutDword(stamp, Crc32::GetCrc(state.getLpbyte(), state.getDword()));
    addRecord(kUiStampRecordId, stamp, sizeof(stamp));
    for (const KDevmodeRecord& record : settings.extraRecords) {
        addRecord(record.id, record.data.getLpbyte(), record.data.getDword());
    }
    block.wRecordCount = count;
    block.dwChecksum = ComputeChecksum(block);

    DEVMODEW publicPart{};
    PutString(publicPart.dmDeviceName, CCHDEVICENAME, settings.deviceName);
    publicPart.dmSpecVersion = DM_SPECVERSION;
    publicPart.dmDriverVersion = settings.driverVersion;
    publicPart.dmSize = sizeof(DEVMODEW);
    publicPart.dmDriverExtra = static_cast<WORD>(driverExtra);
    publicPart.dmFields = DM_ORIENTATION | DM_PAPERSIZE | DM_PAPERLENGTH | DM_PAPERWIDTH |
                          DM_COPIES | DM_PRINTQUALITY | DM_COLOR | DM_DUPLEX | DM_YRESOLUTION |
                          DM_COLLATE | DM_FORMNAME;
    publicPart.dmOrientation = settings.orientation;
    publicPart.dmPaperSize = settings.paperSize;
    publicPart.dmPaperLength = settings.paperLength;
    publicPart.dmPaperWidth = settings.paperWidth;
    publicPart.dmScale = 100;
    publicPart.dmCopies = settings.copies;
    publicPart.dmPrintQuality = settings.printQuality;
    publicPart.dmColor = settings.color;
    publicPart.dmDuplex = settings.duplex;
    publicPart.dmYResolution = settings.yResolution;
    publicPart.dmCollate = settings.collate;
    PutString(publicPart.dmFormName, CCHFORMNAME, settings.formName);

    ByteBuffer devmode(sizeof(DEVMODEW) + driverExtra, 0);
    BYTE* bytes = devmode.getLpbyte();
    std::memcpy(bytes, &publicPart, sizeof(DEVMODEW));
    BYTE* privateData = bytes + sizeof(DEVMODEW);
    if (settings.offsetAt8) {
        LittleEndian::PutWord(privateData + kLegacyBlockOffsetField, settings.blockOffset);
    }
    if (settings.offsetAt114) {
        LittleEndian::PutWord(privateData + kBlockOffsetField, settings.blockOffset);
    }
    std::memcpy(privateData + settings.blockOffset, &block, sizeof(block));
    return devmode;
}

ByteBuffer KDevmode::Build(const AttributeBytesIndexedList& dataModel,
                           const KDevmodeSettings& settings) {
    AttributeBytesRawList raw;
    raw.ImportFromIndexedList(dataModel);
    AttributeBytesNameSpaces nameSpaces;
    nameSpaces.SetAttributeBytesRawList(PersistentAttributes::GetDataModelDocPropNameSpaceId(),
                                        raw);
    PersistentAttributes attributes;
    attributes.SetAttributeBytesNameSpaces(nameSpaces);
    return Build(attributes, settings);
}
