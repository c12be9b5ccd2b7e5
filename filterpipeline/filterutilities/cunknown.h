// CUnknown<T>: the reference-counting base of the library's own COM objects.
//
// Contract: an object starts with one reference, owned by whoever created it with new; the
// last Release deletes it through the virtual destructor, so such objects live on the heap
// only. QueryInterface answers IUnknown and the one interface identifier given to the
// constructor (that of T, or of an interface derived from it); derived classes implement the
// operations of T. The count changes only by interlocked operations, so references may be
// taken and dropped on any thread.
#pragma once

#include <unknwn.h>
#include <windows.h>

template <class T>
class CUnknown : public T {
public:
    explicit CUnknown(REFIID iid) noexcept : m_refCount(1), m_iid(iid) {}

    // A copy is a new object: it starts with its own single reference. Copying the count of
    // the source would leave references that nobody holds (and assigning it would corrupt the
    // count of a live object), so only the interface identifier is copied.
    CUnknown(const CUnknown& other) noexcept : T(other), m_refCount(1), m_iid(other.m_iid) {}
    CUnknown& operator=(const CUnknown& other) noexcept {
        T::operator=(other);
        m_iid = other.m_iid;
        return *this;
    }

    using T::QueryInterface; // keeps IUnknown's typed QueryInterface(Q**) visible

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (!object) {
            return E_POINTER;
        }
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, m_iid)) {
            *object = static_cast<T*>(this);
            this->AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }

    STDMETHODIMP_(ULONG) AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&m_refCount));
    }

    STDMETHODIMP_(ULONG) Release() override {
        const LONG count = InterlockedDecrement(&m_refCount);
        if (count == 0) {
            delete this;
        }
        return static_cast<ULONG>(count);
    }

    virtual ~CUnknown() = default;

private:
    LONG volatile m_refCount;
    IID m_iid;
};
