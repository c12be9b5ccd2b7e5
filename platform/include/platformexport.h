// Symbol visibility for the platform stand-in and the libraries built on it.
//
// Each shared library is built with hidden visibility; what it exports is marked, the way a
// Windows DLL marks its exports with __declspec(dllexport).
#pragma once

#define PLATFORM_EXPORT __attribute__((visibility("default")))

// COM interfaces are declared with default visibility so that their type information is one
// and the same in every module that implements or calls them.
#define MIDL_INTERFACE(iid) struct __attribute__((visibility("default")))

#define STDMETHODCALLTYPE
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define WINAPI
#define APIENTRY
#define CALLBACK
