// The ATL pieces the library uses: CComPtr (one counted reference), CComBSTR (one owned BSTR)
// and ATL::CAtlException, the exception a failed CComBSTR allocation raises.
#pragma once

#include "objbase.h"

#include <cassert>
#include <cstring>
#include <memory>
#include <utility>

namespace ATL {

// Not derived from std::exception, as in ATL: only a catch-all handler sees it.
class CAtlException {
public:
    explicit CAtlException(HRESULT hr = E_FAIL) noexcept : m_hr(hr) {}
    operator HRESULT() const noexcept { return m_hr; }
    HRESULT m_hr;
};

[[noreturn]] inline void AtlThrow(HRESULT hr) {
    throw CAtlException(hr);
}

template <class T>
class CComPtr {
public:
    CComPtr() noexcept = default;
    CComPtr(T* p) noexcept : p(p) {
        if (p) {
            p->AddRef();
        }
    }
    CComPtr(const CComPtr& other) noexcept : CComPtr(other.p) {}
    CComPtr(CComPtr&& other) noexcept : p(std::exchange(other.p, nullptr)) {}
    ~CComPtr() { Release(); }

    CComPtr& operator=(T* other) noexcept {
        if (other != p) {
            CComPtr(other).Swap(*this);
        }
        return *this;
    }
    CComPtr& operator=(const CComPtr& other) noexcept { return *this = other.p; }
    CComPtr& operator=(CComPtr&& other) noexcept {
        if (this != std::addressof(other)) { // operator& is overloaded
            Release();
            p = std::exchange(other.p, nullptr);
        }
        return *this;
    }

    operator T*() const noexcept { return p; }
    T* operator->() const noexcept { return p; }
    T& operator*() const noexcept { return *p; }
    // Address of the held pointer, for out-parameters: only valid while empty, as in ATL.
    T** operator&() noexcept {
        assert(p == nullptr && "CComPtr address taken while it holds a reference");
        return &p;
    }
    bool operator!() const noexcept { return p == nullptr; }
    bool operator==(const T* other) const noexcept { return p == other; }

    void Release() noexcept {
        if (T* held = std::exchange(p, nullptr)) {
            held->Release();
        }
    }
    void Attach(T* other) noexcept {
        Release();
        p = other;
    }
    T* Detach() noexcept { return std::exchange(p, nullptr); }
    HRESULT CopyTo(T** target) const noexcept {
        if (!target) {
            return E_POINTER;
        }
        *target = p;
        if (p) {
            p->AddRef();
        }
        return S_OK;
    }
    template <class Q>
    HRESULT QueryInterface(Q** target) const noexcept {
        if (!p) {
            return E_POINTER;
        }
        return p->QueryInterface(__uuidof(Q), reinterpret_cast<void**>(target));
    }
    bool IsEqualObject(IUnknown* other) const noexcept;
    void Swap(CComPtr& other) noexcept { std::swap(p, other.p); }

    T* p = nullptr;
};

template <class T>
bool CComPtr<T>::IsEqualObject(IUnknown* other) const noexcept {
    if (!p && !other) {
        return true;
    }
    if (!p || !other) {
        return false;
    }
    CComPtr<IUnknown> mine;
    CComPtr<IUnknown> theirs;
    p->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&mine));
    other->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&theirs));
    return mine.p == theirs.p;
}

// Owns one BSTR. Copies that cannot be allocated raise CAtlException(E_OUTOFMEMORY).
class CComBSTR {
public:
    CComBSTR() noexcept = default;
    CComBSTR(const OLECHAR* text) : m_str(CheckedAlloc(text)) {}
    CComBSTR(int length, const OLECHAR* text) : m_str(CheckedAllocLen(text, length)) {}
    CComBSTR(const CComBSTR& other) : m_str(other.CopyOrNull()) {}
    CComBSTR(CComBSTR&& other) noexcept : m_str(std::exchange(other.m_str, nullptr)) {}
    ~CComBSTR() { ::SysFreeString(m_str); }

    CComBSTR& operator=(const CComBSTR& other) {
        if (this != std::addressof(other)) { // operator& is overloaded
            BSTR copy = other.CopyOrNull();
            ::SysFreeString(m_str);
            m_str = copy;
        }
        return *this;
    }
    CComBSTR& operator=(CComBSTR&& other) noexcept {
        if (this != std::addressof(other)) { // operator& is overloaded
            ::SysFreeString(m_str);
            m_str = std::exchange(other.m_str, nullptr);
        }
        return *this;
    }
    CComBSTR& operator=(const OLECHAR* text) {
        if (text != m_str) {
            BSTR copy = CheckedAlloc(text);
            ::SysFreeString(m_str);
            m_str = copy;
        }
        return *this;
    }

    operator BSTR() const noexcept { return m_str; }
    BSTR* operator&() noexcept { return &m_str; }
    bool operator!() const noexcept { return m_str == nullptr; }
    unsigned int Length() const noexcept { return ::SysStringLen(m_str); }
    unsigned int ByteLength() const noexcept { return ::SysStringByteLen(m_str); }

    // A new BSTR for the caller (null when empty-and-null); null when allocation fails.
    BSTR Copy() const noexcept {
        return m_str ? ::SysAllocStringByteLen(reinterpret_cast<const char*>(m_str),
                                               ::SysStringByteLen(m_str))
                     : nullptr;
    }
    HRESULT CopyTo(BSTR* target) const noexcept {
        if (!target) {
            return E_POINTER;
        }
        *target = Copy();
        return (m_str && !*target) ? E_OUTOFMEMORY : S_OK;
    }
    void Attach(BSTR text) noexcept {
        if (text != m_str) {
            ::SysFreeString(m_str);
            m_str = text;
        }
    }
    BSTR Detach() noexcept { return std::exchange(m_str, nullptr); }
    void Empty() noexcept {
        ::SysFreeString(m_str);
        m_str = nullptr;
    }
    HRESULT Append(const OLECHAR* text, int length) noexcept {
        if (length < 0) {
            return E_INVALIDARG;
        }
        if (length == 0 && m_str) {
            return S_OK;
        }
        const unsigned int current = Length();
        BSTR joined = ::SysAllocStringLen(nullptr, current + static_cast<unsigned int>(length));
        if (!joined) {
            return E_OUTOFMEMORY;
        }
        if (current) {
            std::memcpy(joined, m_str, current * sizeof(OLECHAR));
        }
        if (length) {
            std::memcpy(joined + current, text, static_cast<size_t>(length) * sizeof(OLECHAR));
        }
        ::SysFreeString(m_str);
        m_str = joined;
        return S_OK;
    }
    HRESULT Append(const OLECHAR* text) noexcept {
        int length = 0;
        while (text && text[length]) {
            ++length;
        }
        return Append(text, length);
    }
    HRESULT Append(const CComBSTR& other) noexcept {
        return Append(other.m_str, static_cast<int>(other.Length()));
    }
    CComBSTR& operator+=(const OLECHAR* text) {
        if (FAILED(Append(text))) {
            AtlThrow(E_OUTOFMEMORY);
        }
        return *this;
    }
    CComBSTR& operator+=(const CComBSTR& other) {
        if (FAILED(Append(other))) {
            AtlThrow(E_OUTOFMEMORY);
        }
        return *this;
    }
    // Equal texts (null counts as empty), compared code unit by code unit.
    bool operator==(const CComBSTR& other) const noexcept {
        return ::VarBstrCmp(m_str, other.m_str, LOCALE_USER_DEFAULT, 0) == VARCMP_EQ;
    }
    bool operator!=(const CComBSTR& other) const noexcept { return !(*this == other); }

    BSTR m_str = nullptr;

private:
    static BSTR CheckedAlloc(const OLECHAR* text) {
        if (!text) {
            return nullptr;
        }
        BSTR copy = ::SysAllocString(text);
        if (!copy) {
            AtlThrow(E_OUTOFMEMORY);
        }
        return copy;
    }
    static BSTR CheckedAllocLen(const OLECHAR* text, int length) {
        if (length < 0) {
            AtlThrow(E_INVALIDARG);
        }
        BSTR copy = ::SysAllocStringLen(text, static_cast<unsigned int>(length));
        if (!copy) {
            AtlThrow(E_OUTOFMEMORY);
        }
        return copy;
    }
    BSTR CopyOrNull() const {
        if (!m_str) {
            return nullptr;
        }
        BSTR copy = Copy();
        if (!copy) {
            AtlThrow(E_OUTOFMEMORY);
        }
        return copy;
    }
};

} // namespace ATL

using ATL::CAtlException;
using ATL::CComBSTR;
using ATL::CComPtr;
