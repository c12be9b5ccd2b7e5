// Hostile bytes against the data model's decoders: a persisted attributes state (decoded,
// re-encoded and decoded again, which must agree), and the same bytes read as UTF-16 text
// by the Base64 decoder (whose output must stay in its buffer and, when accepted, survive a
// round trip through the encoder).
// fuzz-links: kldutil platform
#include <kldutil/attributebytesindexedlist.h>
#include <kldutil/attributebytesrawlist.h>
#include <kldutil/keldanutilities.h>
#include <kldutil/persistentattributes.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

void Require(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

void FuzzState(const uint8_t* data, size_t size) {
    const PersistentAttributes decoded(data, static_cast<DWORD>(size), false);
    if (FAILED(decoded.GetDecodeResult())) {
        Require(decoded.GetAttributeBytesNameSpaces().GetNumberOfNameSpaces() == 0);
        return;
    }
    const ByteBuffer state = decoded.GetPersistentAttributesState();
    const PersistentAttributes again(state, true);
    Require(again.GetAttributeBytesNameSpaces() == decoded.GetAttributeBytesNameSpaces());
    Require(again.GetPersistentAttributesState() == state);
    for (const auto& [id, raw] : decoded.GetAttributeBytesNameSpaces()) {
        AttributeBytesIndexedList list;
        list.ImportFromRawList(raw);
        Require(list.GetNumberOfAttributeBytes() == raw.GetNumberOfAttributeBytes());
        AttributeBytesRawList canonical;
        canonical.ImportFromIndexedList(list);
        Require(canonical.GetSize() == raw.GetSize());
        AttributeBytesIndexedList back;
        back.ImportFromRawList(canonical);
        Require(back == list);
    }
}

void FuzzBase64(const uint8_t* data, size_t size) {
    const int characters = static_cast<int>(size / 2);
    std::vector<WCHAR> text(static_cast<size_t>(characters));
    if (characters > 0) {
        std::memcpy(text.data(), data, static_cast<size_t>(characters) * 2);
    }
    const int capacity = KeldanUtilities::Base64DecodeGetRequiredLength(characters);
    std::vector<BYTE> bytes(static_cast<size_t>(capacity));
    int length = capacity;
    const BOOL ok = KeldanUtilities::Base64Decode(text.data(), characters, bytes.data(), &length);
    Require(length >= 0 && length <= capacity);
    if (!ok) {
        return;
    }
    int encodedLength =
        KeldanUtilities::Base64EncodeGetRequiredLength(length, KeldanUtilities::Base64FlagNoCrLf);
    std::vector<WCHAR> encoded(static_cast<size_t>(encodedLength));
    Require(KeldanUtilities::Base64Encode(bytes.data(), length, encoded.data(), &encodedLength,
                                          KeldanUtilities::Base64FlagNoCrLf));
    std::vector<BYTE> back(static_cast<size_t>(capacity));
    int backLength = capacity;
    Require(KeldanUtilities::Base64Decode(encoded.data(), encodedLength, back.data(), &backLength));
    Require(backLength == length && (length == 0 || std::memcmp(back.data(), bytes.data(),
                                                                static_cast<size_t>(length)) == 0));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0x20000) {
        return 0;
    }
    FuzzState(data, size);
    FuzzBase64(data, size);
    return 0;
}
