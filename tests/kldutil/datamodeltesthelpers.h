// Helpers shared by the data-model tests of the utility library.
#pragma once

#include <kldutil/keldanexception.h>

#include <windows.h>

#include <string>
#include <vector>

// The HRESULT of the KeldanComException that f raises, S_OK when it raises none.
template <class F>
HRESULT RaisedHresult(F&& f) {
    try {
        f();
    } catch (const KeldanComException& e) {
        return e.GetHresult();
    }
    return S_OK;
}

inline std::u16string Widen(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

inline std::vector<BYTE> Bytes(std::initializer_list<int> values) {
    std::vector<BYTE> out;
    for (int v : values) {
        out.push_back(static_cast<BYTE>(v));
    }
    return out;
}
