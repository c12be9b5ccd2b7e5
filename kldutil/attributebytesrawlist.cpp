#include <kldutil/attributebytesrawlist.h>

#include <kldutil/raise.h>

namespace {

constexpr HRESULT kInvalidData = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

// Attribute header: feature id (2), kind (1).
constexpr size_t kHeaderSize = 3;

[[noreturn]] void Malformed() {
    kldutil::RaiseComError(kInvalidData, __FILE__, __LINE__, "AttributeBytesRawList::Decode");
}

WORD ReadWord(const BYTE* p) {
    return static_cast<WORD>(p[0] | (p[1] << 8));
}

int32_t ReadInt32(const BYTE* p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                                (static_cast<uint32_t>(p[2]) << 16) |
                                (static_cast<uint32_t>(p[3]) << 24));
}

void AppendWord(std::vector<BYTE>& out, WORD value) {
    out.push_back(static_cast<BYTE>(value));
    out.push_back(static_cast<BYTE>(value >> 8));
}

void AppendInt32(std::vector<BYTE>& out, int32_t value) {
    const auto bits = static_cast<uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<BYTE>(bits >> shift));
    }
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
        const AttributeBytesFeatureId feature(ReadWord(data + pos));
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
            out.Store(Attribute(feature, kind, ReadInt32(data + pos)));
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
            const WORD length = ReadWord(data + pos);
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
        AppendWord(out, static_cast<WORD>(attribute.GetFeatureId().GetId()));
        out.push_back(static_cast<BYTE>(attribute.GetKind()));
        switch (attribute.GetKind()) {
        case AttributeBytesKind::Option:
        case AttributeBytesKind::Integer:
            AppendInt32(out, attribute.GetValue());
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
            AppendWord(out, 0);
            Encode(attribute.GetCollection(), depth + 1, out);
            const size_t length = out.size() - lengthAt - 2;
            if (length > kMaxSize) {
                kldutil::RaiseComError(E_INVALIDARG, __FILE__, __LINE__,
                                       "AttributeBytesRawList::ImportFromIndexedList");
            }
            out[lengthAt] = static_cast<BYTE>(length);
            out[lengthAt + 1] = static_cast<BYTE>(length >> 8);
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
