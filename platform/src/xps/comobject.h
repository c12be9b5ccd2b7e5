// The reference counting, interface table and allocation every COM object of this folder
// shares. Objects are made with new, which goes through the platform's allocator (so tests
// can make it fail) and throws std::bad_alloc when it does; Release deletes the object when the
// last reference goes.
#pragma once

#include "unknwn.h"

#include "../allocator.h"

#include <atomic>
#include <new>

namespace platform::xps {

template <class... Interfaces>
struct InterfaceList {};

class ComObjectBase {
public:
    ComObjectBase() = default;
    ComObjectBase(const ComObjectBase&) = delete;
    ComObjectBase& operator=(const ComObjectBase&) = delete;
    virtual ~ComObjectBase() = default;

    static void* operator new(std::size_t size) {
        if (void* block = platform::Allocate(size)) {
            return block;
        }
        throw std::bad_alloc();
    }
    static void operator delete(void* block) noexcept { platform::Free(block); }

protected:
    ULONG AddReference() noexcept { return references_.fetch_add(1) + 1; }
    ULONG ReleaseReference() noexcept {
        const ULONG left = references_.fetch_sub(1) - 1;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    // Answers riid with the first interface of the list that it names (IUnknown through the
    // first interface).
    template <class Self, class First, class... Rest>
    static HRESULT Answer(Self* self, InterfaceList<First, Rest...>, REFIID riid, void** object) {
        if (!object) {
            return E_POINTER;
        }
        if (IsEqualIID(riid, IID_IUnknown)) {
            *object = static_cast<IUnknown*>(static_cast<First*>(self));
            self->AddRef();
            return S_OK;
        }
        if (Find<Self, First, Rest...>(self, riid, object)) {
            self->AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }

private:
    template <class Self, class Interface, class... Rest>
    static bool Find(Self* self, REFIID riid, void** object) {
        if (IsEqualIID(riid, __uuidof(Interface))) {
            *object = static_cast<Interface*>(self);
            return true;
        }
        if constexpr (sizeof...(Rest) > 0) {
            return Find<Self, Rest...>(self, riid, object);
        } else {
            return false;
        }
    }

    std::atomic<ULONG> references_{1};
};

// Defines QueryInterface, AddRef and Release of a class whose InterfaceList is Answers.
#define XPS_COM_METHODS                                                                            \
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {                \
        return Answer(this, Answers{}, riid, object);                                              \
    }                                                                                              \
    ULONG STDMETHODCALLTYPE AddRef() override {                                                    \
        return AddReference();                                                                     \
    }                                                                                              \
    ULONG STDMETHODCALLTYPE Release() override {                                                   \
        return ReleaseReference();                                                                 \
    }

} // namespace platform::xps
