// BSTR and VARIANT.
//
// A BSTR points at UTF-16 text preceded by its length in bytes (a 32-bit number) and followed
// by a terminating zero; a null BSTR is an empty string. BSTRs come from SysAllocString and
// friends and are freed with SysFreeString.
#pragma once

#include "objidl.h"

using BSTR = OLECHAR*;
using LPBSTR = BSTR*;
using VARIANT_BOOL = int16_t;
using VARTYPE = uint16_t;
using LCID = DWORD;
using DATE = double;

#define VARIANT_TRUE (static_cast<VARIANT_BOOL>(-1))
#define VARIANT_FALSE (static_cast<VARIANT_BOOL>(0))
#define LOCALE_USER_DEFAULT 0x0400
#define LOCALE_SYSTEM_DEFAULT 0x0800
#define LOCALE_INVARIANT 0x007f

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_BYREF = 0x4000,
};

struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        VARIANT_BOOL boolVal;
        HRESULT scode;
        BSTR bstrVal;
        IUnknown* punkVal;
        CHAR cVal;
        USHORT uiVal;
        ULONG ulVal;
        ULONGLONG ullVal;
        INT intVal;
        UINT uintVal;
        LONG* plVal;
        BSTR* pbstrVal;
        IUnknown** ppunkVal;
        VARIANT* pvarVal;
        void* byref;
        struct {
            void* pvRecord;
            void* pRecInfo;
        } brecVal; // gives the union its Windows size
    };
};
static_assert(sizeof(VARIANT) == 24);
using VARIANTARG = VARIANT;
using LPVARIANT = VARIANT*;

#define V_VT(v) ((v)->vt)
#define V_BSTR(v) ((v)->bstrVal)
#define V_UNKNOWN(v) ((v)->punkVal)
#define V_I4(v) ((v)->lVal)
#define V_UI4(v) ((v)->ulVal)
#define V_BOOL(v) ((v)->boolVal)

#define VARCMP_LT 0
#define VARCMP_EQ 1
#define VARCMP_GT 2
#define VARCMP_NULL 3
#define NORM_IGNORECASE 0x00000001

extern "C" {
PLATFORM_EXPORT BSTR WINAPI SysAllocString(const OLECHAR* text);
PLATFORM_EXPORT BSTR WINAPI SysAllocStringLen(const OLECHAR* text, UINT length);
PLATFORM_EXPORT BSTR WINAPI SysAllocStringByteLen(LPCSTR bytes, UINT length);
PLATFORM_EXPORT void WINAPI SysFreeString(BSTR text);
PLATFORM_EXPORT UINT WINAPI SysStringLen(BSTR text);
PLATFORM_EXPORT UINT WINAPI SysStringByteLen(BSTR text);
PLATFORM_EXPORT INT WINAPI SysReAllocString(BSTR* text, const OLECHAR* newText);
PLATFORM_EXPORT INT WINAPI SysReAllocStringLen(BSTR* text, const OLECHAR* newText, UINT length);

PLATFORM_EXPORT void WINAPI VariantInit(VARIANT* variant);
PLATFORM_EXPORT HRESULT WINAPI VariantClear(VARIANT* variant);
PLATFORM_EXPORT HRESULT WINAPI VariantCopy(VARIANT* target, const VARIANT* source);

// Compares two BSTRs (null counts as empty). Flags 0 compare code unit by code unit;
// NORM_IGNORECASE folds ASCII letters. Answers VARCMP_LT, VARCMP_EQ or VARCMP_GT.
PLATFORM_EXPORT HRESULT WINAPI VarBstrCmp(BSTR left, BSTR right, LCID locale, ULONG flags);
PLATFORM_EXPORT HRESULT WINAPI VarBstrCat(BSTR left, BSTR right, LPBSTR result);
}
