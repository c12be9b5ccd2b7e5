#include <kldutil/attributebytesrawlist.h>

#include <kldutil/littleendian.h>
#include <kldutil/raise.h>

namespace {

constexpr HRESULT kInvalidData = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

// Attribute header: feature id (2), kind (1).
constexpr size_t kHeaderSize = 3;

[[noreturn]] void Malformed() {
    kldutil::RaiseComError(kInvalidData, __FILE__, __LINE__, "AttributeBytesRawList::Decode");
}

} // namespace

DWORD AttributeBytesRawList::Decode(const BYTE* data, size_t size, int depth,
                                    AttributeBytesIndexedList& out) {
    using Attribute = AttributeBytesIndexedList::Attribute;
    DWORD count = 0;
    size_t pos = 0;
    while (pos < size) {
        // Each length is compared with what remains before pos moves past it.
        if (size - pos < kHeaderSize) {
            Malformed();
        }
        const AttributeBytesFeatureId feature(LittleEndian::ReadWord(data + pos));
        const auto kind = static_cast<AttributeBytesKind>(data[pos + 2]);
        pos += kHeaderSize;
        if (out.IsSpecified(feature)) {
            Malformed(); // a feature twice in one list
        }
        const size_t remaining = size - pos;
        switch (kind) {
        case AttributeBytesKind::Option:
        case AttributeBytesKind::Integer:
            if (remaining < 4) {
                Malformed();
            }
            out.Store(Attribute(feature, kind,
                                static_cast<int32_t>(LittleEndian::ReadDword(data + pos))));
            pos += 4;
            break;
        case AttributeBytesKind::Boolean:
            if (remaining < 1 || data[pos] > 1) {
                Malformed();
            }
            out.Store(Attribute(feature, kind, data[pos]));
            pos += 1;
            break;
        case AttributeBytesKind::Collection: {
            if (remaining < 2 || depth >= kMaxCollectionDepth) {
                Malformed();
            }
            const WORD length = LittleEndian::ReadWord(data + pos);
            pos += 2;
            if (length > size - pos) {
                Malformed();
            }
            Attribute attribute(feature, AttributeBytesIndexedList());
            Decode(data + pos, length, depth + 1, attribute.GetCollection());
            out.Store(std::move(attribute));
            pos += length;
            break;
        }
        default:
            Malformed();
        }
        ++count;
    }
    return count;
}

void AttributeBytesRawList::Encode(const AttributeBytesIndexedList& list, int depth,
                                   std::vector<BYTE>& out) {
    for (const auto& attribute : list) {
        LittleEndian::AppendWord(out, static_cast<WORD>(attribute.GetFeatureId().GetId()));
        out.push_back(static_cast<BYTE>(attribute.GetKind()));
        switch (attribute.GetKind()) {
        case AttributeBytesKind::Option:
        case AttributeBytesKind::Integer:
            LittleEndian::AppendDword(out, static_cast<DWORD>(attribute.GetValue()));
            break;
        case AttributeBytesKind::Boolean:
            out.push_back(attribute.GetValue() != 0 ? 1 : 0);
            break;
        case AttributeBytesKind::Collection: {
            if (depth >= kMaxCollectionDepth) {
                kldutil::RaiseComError(E_INVALIDARG, __FILE__, __LINE__,
                                       "AttributeBytesRawList::ImportFromIndexedList");
            }
            const size_t lengthAt = out.size();
            LittleEndian::AppendWord(out, 0);
            Encode(attribute.GetCollection(), depth + 1, out);
            const size_t length = out.size() - lengthAt - 2;
            if (length > kMaxSize) {
                kldutil::RaiseComError(E_INVALIDARG, __FILE__, __LINE__,
                                       "AttributeBytesRawList::ImportFromIndexedList");
            }
            LittleEndian::PutWord(out.data() + lengthAt, static_cast<WORD>(length));
            break;
        }
        }
    }
}

AttributeBytesRawList AttributeBytesRawList::FromBytes(const BYTE* data, DWORD size) {
    if (size == 0) {
        return {};
    }
    if (data == nullptr) {
        kldutil::RaiseNullPointer(__FILE__, __LINE__, "AttributeBytesRawList::FromBytes");
    }
    if (size > kMaxSize) {
        Malformed();
    }
    AttributeBytesIndexedList checked;
    AttributeBytesRawList list;
    list.m_count = Decode(data, size, 0, checked);
    list.m_bytes.assign(data, data + size);
    return list;
}

void AttributeBytesRawList::ImportFromIndexedList(const AttributeBytesIndexedList& indexedList) {
    std::vector<BYTE> bytes;
    Encode(indexedList, 0, bytes);
    if (bytes.size() > kMaxSize) {
        kldutil::RaiseComError(E_INVALIDARG, __FILE__, __LINE__,
                               "AttributeBytesRawList::ImportFromIndexedList");
    }
    m_bytes = std::move(bytes);
    m_count = indexedList.GetNumberOfAttributeBytes();
}
