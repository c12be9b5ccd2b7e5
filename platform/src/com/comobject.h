// The base of every COM object the platform makes: its interface table, its reference count,
// its memory and its guard against running out of memory.
//
// The COM subsystem (this folder): this base; the run-time (runtime.cpp: apartments per
// thread, the class table CoCreateInstance reads, task memory); the platform allocator
// (allocator.h), which every allocation made for a caller goes through; memory streams.
// The class table holds no objects, only how to make them; an apartment is a count per thread.
//
// Contract:
// - A class derives from com::Object<Derived, Bases...>, where Bases are the interfaces it
//   implements (or classes that implement them), and declares the interfaces QueryInterface
//   answers as `using Interfaces = com::InterfaceTable<I1, I2, ...>;`: every interface it
//   inherits together with their base interfaces (IStream and ISequentialStream). IUnknown is
//   always answered, as the first entry seen as IUnknown, so an object has one identity
//   whichever interface it is asked through. An entry may be a class of the platform's own
//   that is no COM interface but has an IID (PlatformInterfaceId specialised for it); it is
//   answered like an interface, with one reference added.
// - Objects are made with com::New<T>(...) (one reference, or null when memory runs out) or
//   com::CreateInstance<T>(iid, object, ...). Their memory comes from the platform allocator,
//   so platformtest::FailAllocationAt reaches every object made; they never live on the stack
//   or inside another object.
// - The count is atomic: AddRef and Release may be called on any thread. The Release that
//   takes the count to zero deletes the object through its virtual destructor, which releases
//   whatever the object holds; no other code deletes it.
// - Every method that allocates runs its body in com::Guarded: std::bad_alloc (and
//   std::length_error, a size no allocator can give) leave it as E_OUTOFMEMORY. A platform
//   allocation that answers null is turned into std::bad_alloc by com::Require, so one guard
//   covers both. No other exception may leave a method.
#pragma once

#include "objbase.h"

#include <atomic>
#include <cstddef>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace platform::com {

// The interfaces an object answers in QueryInterface, in the order they are looked up.
template <class First, class... Rest>
struct InterfaceTable {
    static_assert(std::is_base_of_v<IUnknown, First>,
                  "the first entry is the object's IUnknown, so it must be a COM interface");

    // The interface riid of self, with no reference added; null when self has none.
    template <class Self>
    static void* Find(Self* self, REFIID riid) noexcept {
        if (IsEqualIID(riid, IID_IUnknown)) {
            return static_cast<IUnknown*>(static_cast<First*>(self));
        }
        void* found = nullptr;
        (void)(Match<First>(self, riid, found) || ... || Match<Rest>(self, riid, found));
        return found;
    }

private:
    template <class Entry, class Self>
    static bool Match(Self* self, REFIID riid, void*& found) noexcept {
        if (!IsEqualIID(riid, __uuidof(Entry))) {
            return false;
        }
        found = static_cast<Entry*>(self);
        return true;
    }
};

template <class Derived, class... Bases>
class Object : public Bases... {
public:
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!object) {
            return E_POINTER;
        }
        *object = Derived::Interfaces::Find(static_cast<Derived*>(this), riid);
        if (!*object) {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    template <class Q>
    HRESULT QueryInterface(Q** object) {
        return QueryInterface(__uuidof(Q), reinterpret_cast<void**>(object));
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        return references_.fetch_add(1, std::memory_order_relaxed) + 1;
    }
    ULONG STDMETHODCALLTYPE Release() override {
        // acq_rel: everything any thread did with the object happens before its deletion.
        const ULONG left = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    // On the platform allocator; null (no exception) when it refuses, so New answers null.
    static void* operator new(std::size_t size) noexcept { return CoTaskMemAlloc(size); }
    static void operator delete(void* block) noexcept { CoTaskMemFree(block); }

protected:
    Object() = default;
    virtual ~Object() = default;

private:
    std::atomic<ULONG> references_{1};
};

// A new T with one reference; null when memory runs out (the platform allocator refusing, or
// T's constructor throwing std::bad_alloc).
template <class T, class... Args>
T* New(Args&&... args) noexcept {
    static_assert(alignof(T) <= alignof(std::max_align_t), "the platform allocator's alignment");
    try {
        return new T(std::forward<Args>(args)...);
    } catch (const std::bad_alloc&) {
        return nullptr;
    } catch (const std::length_error&) {
        return nullptr;
    }
}

// A new T asked for iid: E_POINTER, E_OUTOFMEMORY or E_NOINTERFACE (object null) or S_OK.
template <class T, class... Args>
HRESULT CreateInstance(REFIID iid, void** object, Args&&... args) noexcept {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    T* made = New<T>(std::forward<Args>(args)...);
    if (!made) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = made->QueryInterface(iid, object);
    made->Release();
    return hr;
}

// Runs a method's body; running out of memory anywhere inside becomes E_OUTOFMEMORY.
template <class Body>
HRESULT Guarded(Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const std::length_error&) {
        return E_OUTOFMEMORY;
    }
}

// Answers block, or throws std::bad_alloc for Guarded when an allocation answered null.
template <class T>
T* Require(T* block) {
    if (!block) {
        throw std::bad_alloc();
    }
    return block;
}

} // namespace platform::com
