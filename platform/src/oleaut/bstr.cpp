// OLE Automation: BSTR, VARIANT and the BSTR comparisons.
//
// Who owns what:
// - A BSTR is one block of the platform allocator: a 32-bit byte length, the UTF-16 text and a
//   terminator; the BSTR points at the text. Whoever receives one owns it and frees it with
//   SysFreeString; the platform keeps none.
// - A VARIANT owns what it holds (a BSTR, or one reference to an object): VariantClear gives
//   it back, VariantCopy makes a copy of its own.
#include "oleauto.h"

#include "com/allocator.h"

#include <cstring>
#include <limits>

namespace {

constexpr size_t kPrefixBytes = sizeof(uint32_t);

// The length prefix sits right before the text.
uint32_t& ByteLengthOf(BSTR text) {
    return *reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(text) - kPrefixBytes);
}

// Allocates room for byteLength bytes of text plus a UTF-16 terminator; the text is zeroed.
BSTR AllocateBytes(size_t byteLength) {
    if (byteLength > std::numeric_limits<uint32_t>::max() - 2 * kPrefixBytes) {
        return nullptr;
    }
    void* block = platform::Allocate(kPrefixBytes + byteLength + sizeof(OLECHAR));
    if (!block) {
        return nullptr;
    }
    std::memset(block, 0, kPrefixBytes + byteLength + sizeof(OLECHAR));
    auto* text = reinterpret_cast<BSTR>(static_cast<char*>(block) + kPrefixBytes);
    ByteLengthOf(text) = static_cast<uint32_t>(byteLength);
    return text;
}

size_t Length(const OLECHAR* text) {
    size_t n = 0;
    while (text && text[n]) {
        ++n;
    }
    return n;
}

OLECHAR FoldAscii(OLECHAR c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<OLECHAR>(c + 32) : c;
}

} // namespace

extern "C" {

BSTR WINAPI SysAllocString(const OLECHAR* text) {
    if (!text) {
        return nullptr;
    }
    return SysAllocStringLen(text, static_cast<UINT>(Length(text)));
}

BSTR WINAPI SysAllocStringLen(const OLECHAR* text, UINT length) {
    BSTR result = AllocateBytes(static_cast<size_t>(length) * sizeof(OLECHAR));
    if (result && text) {
        std::memcpy(result, text, static_cast<size_t>(length) * sizeof(OLECHAR));
    }
    return result;
}

BSTR WINAPI SysAllocStringByteLen(LPCSTR bytes, UINT length) {
    BSTR result = AllocateBytes(length);
    if (result && bytes) {
        std::memcpy(result, bytes, length);
    }
    return result;
}

void WINAPI SysFreeString(BSTR text) {
    if (text) {
        platform::Free(reinterpret_cast<char*>(text) - kPrefixBytes);
    }
}

UINT WINAPI SysStringLen(BSTR text) {
    return text ? ByteLengthOf(text) / sizeof(OLECHAR) : 0;
}

UINT WINAPI SysStringByteLen(BSTR text) {
    return text ? ByteLengthOf(text) : 0;
}

INT WINAPI SysReAllocString(BSTR* text, const OLECHAR* newText) {
    return SysReAllocStringLen(text, newText, static_cast<UINT>(Length(newText)));
}

INT WINAPI SysReAllocStringLen(BSTR* text, const OLECHAR* newText, UINT length) {
    if (!text) {
        return FALSE;
    }
    // newText may point into *text, so copy before freeing.
    BSTR copy = SysAllocStringLen(newText, length);
    if (!copy) {
        return FALSE;
    }
    SysFreeString(*text);
    *text = copy;
    return TRUE;
}

void WINAPI VariantInit(VARIANT* variant) {
    if (variant) {
        std::memset(variant, 0, sizeof(*variant));
        variant->vt = VT_EMPTY;
    }
}

HRESULT WINAPI VariantClear(VARIANT* variant) {
    if (!variant) {
        return E_INVALIDARG;
    }
    if (!(variant->vt & VT_BYREF)) {
        switch (variant->vt) {
        case VT_BSTR:
            SysFreeString(variant->bstrVal);
            break;
        case VT_UNKNOWN:
        case VT_DISPATCH:
            if (variant->punkVal) {
                variant->punkVal->Release();
            }
            break;
        default:
            break;
        }
    }
    VariantInit(variant);
    return S_OK;
}

HRESULT WINAPI VariantCopy(VARIANT* target, const VARIANT* source) {
    if (!target || !source) {
        return E_INVALIDARG;
    }
    if (target == source) {
        return S_OK;
    }
    VARIANT copy = *source;
    if (!(source->vt & VT_BYREF)) {
        if (source->vt == VT_BSTR && source->bstrVal) {
            copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<const char*>(source->bstrVal),
                                                 SysStringByteLen(source->bstrVal));
            if (!copy.bstrVal) {
                return E_OUTOFMEMORY;
            }
        } else if ((source->vt == VT_UNKNOWN || source->vt == VT_DISPATCH) && source->punkVal) {
            source->punkVal->AddRef();
        }
    }
    VariantClear(target);
    *target = copy;
    return S_OK;
}

HRESULT WINAPI VarBstrCmp(BSTR left, BSTR right, LCID, ULONG flags) {
    const UINT leftLength = SysStringLen(left);
    const UINT rightLength = SysStringLen(right);
    const UINT common = leftLength < rightLength ? leftLength : rightLength;
    const bool ignoreCase = (flags & NORM_IGNORECASE) != 0;
    for (UINT i = 0; i < common; ++i) {
        OLECHAR a = left[i];
        OLECHAR b = right[i];
        if (ignoreCase) {
            a = FoldAscii(a);
            b = FoldAscii(b);
        }
        if (a != b) {
            return a < b ? VARCMP_LT : VARCMP_GT;
        }
    }
    if (leftLength == rightLength) {
        return VARCMP_EQ;
    }
    return leftLength < rightLength ? VARCMP_LT : VARCMP_GT;
}

HRESULT WINAPI VarBstrCat(BSTR left, BSTR right, LPBSTR result) {
    if (!result) {
        return E_INVALIDARG;
    }
    *result = nullptr;
    const size_t leftBytes = SysStringByteLen(left);
    const size_t rightBytes = SysStringByteLen(right);
    BSTR joined = AllocateBytes(leftBytes + rightBytes);
    if (!joined) {
        return E_OUTOFMEMORY;
    }
    if (leftBytes) {
        std::memcpy(joined, left, leftBytes);
    }
    if (rightBytes) {
        std::memcpy(reinterpret_cast<char*>(joined) + leftBytes, right, rightBytes);
    }
    *result = joined;
    return S_OK;
}

} // extern "C"
