#include <kldutil/persistentattributes.h>

#include <kldutil/keldanexception.h>
#include <kldutil/littleendian.h>
#include <kldutil/raise.h>

#include <cstring>
#include <vector>

namespace {

constexpr HRESULT kInvalidData = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
constexpr HRESULT kUnknownVersion = HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
// Namespace section header: id (2), list length (2).
constexpr DWORD kSectionHeaderSize = 4;

// Decodes a whole state, or returns the HRESULT that says why it cannot be decoded.
HRESULT Decode(const BYTE* state, DWORD size, AttributeBytesNameSpaces& out) {
    if (size == 0) {
        return S_OK;
    }
    if (state == nullptr) {
        return E_POINTER;
    }
    if (size < PersistentAttributes::kHeaderSize ||
        std::memcmp(state, PersistentAttributes::kMagic, sizeof(PersistentAttributes::kMagic)) !=
            0) {
        return kInvalidData;
    }
    if (LittleEndian::ReadWord(state + 4) != PersistentAttributes::kFormatVersion) {
        return kUnknownVersion;
    }
    const WORD count = LittleEndian::ReadWord(state + 6);
    DWORD pos = PersistentAttributes::kHeaderSize;
    for (WORD i = 0; i < count; ++i) {
        if (size - pos < kSectionHeaderSize) {
            return kInvalidData;
        }
        const AttributeBytesNameSpacesId id(LittleEndian::ReadWord(state + pos));
        const WORD length = LittleEndian::ReadWord(state + pos + 2);
        pos += kSectionHeaderSize;
        if (length > size - pos || out.Find(id) != nullptr) {
            return kInvalidData;
        }
        try {
            out.SetAttributeBytesRawList(id, AttributeBytesRawList::FromBytes(state + pos, length));
        } catch (const KeldanComException& e) {
            return e.GetHresult();
        }
        pos += length;
    }
    // Nothing may follow the last section: trailing bytes mean the count is wrong.
    return pos == size ? S_OK : kInvalidData;
}

} // namespace

PersistentAttributes::PersistentAttributes(const BYTE* state, DWORD size,
                                           bool throwOnMalformedState) {
    AttributeBytesNameSpaces decoded;
    m_decodeResult = Decode(state, size, decoded);
    if (FAILED(m_decodeResult)) {
        if (throwOnMalformedState) {
            kldutil::RaiseComError(m_decodeResult, __FILE__, __LINE__,
                                   "PersistentAttributes::PersistentAttributes");
        }
        return;
    }
    m_nameSpaces = std::move(decoded);
}

PersistentAttributes::PersistentAttributes(const ByteBuffer& state, bool throwOnMalformedState)
    : PersistentAttributes(state.getLpbyte(), state.getDword(), throwOnMalformedState) {}

AttributeBytesRawList
PersistentAttributes::GetAttributeBytesListForNameSpace(AttributeBytesNameSpacesId id) const {
    const AttributeBytesRawList* list = m_nameSpaces.Find(id);
    return list != nullptr ? *list : AttributeBytesRawList();
}

void PersistentAttributes::SetAttributeBytesNameSpaces(const AttributeBytesNameSpaces& nameSpaces) {
    for (const auto& [id, list] : nameSpaces) {
        m_nameSpaces.SetAttributeBytesRawList(id, list);
    }
}

ByteBuffer PersistentAttributes::GetPersistentAttributesState() const {
    std::vector<BYTE> out(std::begin(kMagic), std::end(kMagic));
    LittleEndian::AppendWord(out, kFormatVersion);
    // Ids are unique 16-bit numbers, so there are at most 65536 namespaces; the count field
    // holds 65535.
    if (m_nameSpaces.GetNumberOfNameSpaces() > 0xFFFF) {
        kldutil::RaiseComError(E_INVALIDARG, __FILE__, __LINE__,
                               "PersistentAttributes::GetPersistentAttributesState");
    }
    LittleEndian::AppendWord(out, static_cast<WORD>(m_nameSpaces.GetNumberOfNameSpaces()));
    for (const auto& [id, list] : m_nameSpaces) {
        LittleEndian::AppendWord(out, static_cast<WORD>(id.GetId()));
        static_assert(AttributeBytesRawList::kMaxSize <= 0xFFFF, "list lengths are 16-bit");
        LittleEndian::AppendWord(out, static_cast<WORD>(list.GetSize()));
        out.insert(out.end(), list.GetBytes(), list.GetBytes() + list.GetSize());
    }
    return ByteBuffer(out.data(), static_cast<DWORD>(out.size()));
}
