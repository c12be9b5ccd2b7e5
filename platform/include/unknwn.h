// IUnknown and interface identifiers.
//
// __uuidof(Interface) gives an interface's IID; every interface declared by the platform
// registers its IID with PLATFORM_DECLARE_IID right after its declaration.
#pragma once

#include "windows.h"

template <class Interface>
struct PlatformInterfaceId; // specialised for every interface

#define PLATFORM_DECLARE_IID(Interface, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                 \
    template <>                                                                                    \
    struct PlatformInterfaceId<Interface> {                                                        \
        static constexpr IID value{l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}};                   \
    };                                                                                             \
    inline constexpr IID IID_##Interface = PlatformInterfaceId<Interface>::value

#define __uuidof(Interface) (::PlatformInterfaceId<Interface>::value)

// clang-format reads MIDL_INTERFACE bodies as expressions ("IStream * target").
// clang-format off
MIDL_INTERFACE("00000000-0000-0000-C000-000000000046") IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

    template <class Q>
    HRESULT QueryInterface(Q** object) {
        return QueryInterface(__uuidof(Q), reinterpret_cast<void**>(object));
    }

protected:
    ~IUnknown() = default; // released through Release(), never deleted through the interface
};
PLATFORM_DECLARE_IID(IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x00, 0x46);
using LPUNKNOWN = IUnknown*;

// Makes the objects of one class; a module hands it out through DllGetClassObject.
MIDL_INTERFACE("00000001-0000-0000-C000-000000000046") IClassFactory : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) = 0;
    virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) = 0;
};
PLATFORM_DECLARE_IID(IClassFactory, 0x00000001, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x00, 0x46);
// What a module exports as DllGetClassObject.
using LPFNGETCLASSOBJECT = HRESULT(STDMETHODCALLTYPE*)(REFCLSID clsid, REFIID riid, void** object);
// clang-format on
