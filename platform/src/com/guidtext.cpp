// GUIDs as text: {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}, the form registry entries and
// configuration files use.
#include "objbase.h"

namespace {

// The value of a hex digit, or -1.
int HexValue(WCHAR c) {
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    if (c >= u'a' && c <= u'f') {
        return c - u'a' + 10;
    }
    if (c >= u'A' && c <= u'F') {
        return c - u'A' + 10;
    }
    return -1;
}

// Reads digits hex digits at text[*at] into value; false when one is not a hex digit.
bool ReadHex(LPCOLESTR text, size_t& at, int digits, uint64_t& value) {
    value = 0;
    for (int i = 0; i < digits; ++i, ++at) {
        const int digit = HexValue(text[at]);
        if (digit < 0) {
            return false; // also stops at the terminating zero
        }
        value = value << 4 | static_cast<uint64_t>(digit);
    }
    return true;
}

bool Expect(LPCOLESTR text, size_t& at, WCHAR c) {
    if (text[at] != c) {
        return false;
    }
    ++at;
    return true;
}

bool ParseGuid(LPCOLESTR text, GUID& guid) {
    size_t at = 0;
    uint64_t value = 0;
    if (!Expect(text, at, u'{') || !ReadHex(text, at, 8, value)) {
        return false;
    }
    GUID parsed{};
    parsed.Data1 = static_cast<uint32_t>(value);
    if (!Expect(text, at, u'-') || !ReadHex(text, at, 4, value)) {
        return false;
    }
    parsed.Data2 = static_cast<uint16_t>(value);
    if (!Expect(text, at, u'-') || !ReadHex(text, at, 4, value)) {
        return false;
    }
    parsed.Data3 = static_cast<uint16_t>(value);
    if (!Expect(text, at, u'-')) {
        return false;
    }
    for (int i = 0; i < 8; ++i) {
        if (i == 2 && !Expect(text, at, u'-')) {
            return false;
        }
        if (!ReadHex(text, at, 2, value)) {
            return false;
        }
        parsed.Data4[i] = static_cast<uint8_t>(value);
    }
    if (!Expect(text, at, u'}') || text[at] != 0) {
        return false;
    }
    guid = parsed;
    return true;
}

} // namespace

extern "C" {

HRESULT WINAPI CLSIDFromString(LPCOLESTR text, LPCLSID clsid) {
    if (!clsid) {
        return E_INVALIDARG;
    }
    return text && ParseGuid(text, *clsid) ? S_OK : CO_E_CLASSSTRING;
}

HRESULT WINAPI IIDFromString(LPCOLESTR text, LPIID iid) {
    if (!iid) {
        return E_INVALIDARG;
    }
    return text && ParseGuid(text, *iid) ? S_OK : E_INVALIDARG;
}

int WINAPI StringFromGUID2(REFGUID guid, LPOLESTR text, int size) {
    constexpr int kLength = 39;
    if (!text || size < kLength) {
        return 0;
    }
    static constexpr char kDigits[] = "0123456789ABCDEF";
    int at = 0;
    const auto put = [&](uint64_t value, int digits) {
        for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
            text[at++] = static_cast<WCHAR>(kDigits[(value >> shift) & 0xF]);
        }
    };
    text[at++] = u'{';
    put(guid.Data1, 8);
    text[at++] = u'-';
    put(guid.Data2, 4);
    text[at++] = u'-';
    put(guid.Data3, 4);
    text[at++] = u'-';
    for (int i = 0; i < 8; ++i) {
        if (i == 2) {
            text[at++] = u'-';
        }
        put(guid.Data4[i], 2);
    }
    text[at++] = u'}';
    text[at++] = 0;
    return at;
}
}
