// The basic Windows types, records and Win32 functions the library uses, laid out as on
// 64-bit Windows. Text is UTF-16 (char16_t); never wchar_t, which is 32-bit here.
#pragma once

#include "platformexport.h"
#include "winerror.h"

#include <cstddef>
#include <cstdint>

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using ULONG = uint32_t;
using BOOL = int32_t;
using BOOLEAN = uint8_t;
using INT = int32_t;
using UINT = uint32_t;
using SHORT = int16_t;
using USHORT = uint16_t;
using CHAR = char;
using UCHAR = unsigned char;
using WCHAR = char16_t;
using FLOAT = float;
using DOUBLE = double;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using INT_PTR = intptr_t;
using UINT_PTR = uintptr_t;
using LONG_PTR = intptr_t;
using ULONG_PTR = uintptr_t;
using DWORD_PTR = uintptr_t;
using SIZE_T = size_t;
using DWORDLONG = uint64_t;

using PBYTE = BYTE*;
using LPBYTE = BYTE*;
using PWORD = WORD*;
using PDWORD = DWORD*;
using LPDWORD = DWORD*;
using PLONG = LONG*;
using PULONG = ULONG*;
using LPVOID = void*;
using LPCVOID = const void*;
using PVOID = void*;
using LPSTR = CHAR*;
using LPCSTR = const CHAR*;
using PSTR = CHAR*;
using PCSTR = const CHAR*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using PWSTR = WCHAR*;
using PCWSTR = const WCHAR*;

using HANDLE = void*;
using PHANDLE = HANDLE*;
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))
using HMODULE = struct HINSTANCE__*;
using HINSTANCE = HMODULE;
using HDC = struct HDC__*;
using HWND = struct HWND__*;
using HGLOBAL = HANDLE;
using HFONT = struct HFONT__*;
using HGDIOBJ = void*;
using FARPROC = intptr_t (*)();

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define MAX_PATH 260
#define INFINITE 0xFFFFFFFFu

#define LOWORD(l) ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))
#define MAKELONG(a, b)                                                                             \
    ((LONG)(((WORD)(((DWORD_PTR)(a)) & 0xffff)) | ((DWORD)((WORD)(((DWORD_PTR)(b)) & 0xffff)))     \
                                                      << 16))

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16);
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using LPGUID = GUID*;
using LPCLSID = CLSID*;

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) {
        return false;
    }
    for (int i = 0; i < 8; ++i) {
        if (a.Data4[i] != b.Data4[i]) {
            return false;
        }
    }
    return true;
}
inline bool IsEqualIID(REFIID a, REFIID b) {
    return IsEqualGUID(a, b);
}
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) {
    return IsEqualGUID(a, b);
}
inline bool operator==(REFGUID a, REFGUID b) {
    return IsEqualGUID(a, b);
}

struct POINT {
    LONG x;
    LONG y;
};
using POINTL = POINT;
struct SIZE {
    LONG cx;
    LONG cy;
};
using LPSIZE = SIZE*;
struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};

// A colour as GDI stores it: red in the low byte, then green, then blue (0x00BBGGRR).
using COLORREF = DWORD;
#define RGB(r, g, b)                                                                               \
    ((COLORREF)(((BYTE)(r)) | ((WORD)((BYTE)(g)) << 8) | (((DWORD)(BYTE)(b)) << 16)))

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
static_assert(sizeof(FILETIME) == 8);
using LPFILETIME = FILETIME*;

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
static_assert(sizeof(SYSTEMTIME) == 16);
using LPSYSTEMTIME = SYSTEMTIME*;

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
union ULARGE_INTEGER {
    struct {
        DWORD LowPart;
        DWORD HighPart;
    } u;
    ULONGLONG QuadPart;
};

#define CCHDEVICENAME 32
#define CCHFORMNAME 32

// The public part of a printer devmode; the driver's private bytes (dmDriverExtra of them)
// follow it directly in memory.
struct DEVMODEW {
    WCHAR dmDeviceName[CCHDEVICENAME];
    WORD dmSpecVersion;
    WORD dmDriverVersion;
    WORD dmSize;
    WORD dmDriverExtra;
    DWORD dmFields;
    union {
        struct {
            short dmOrientation;
            short dmPaperSize;
            short dmPaperLength;
            short dmPaperWidth;
            short dmScale;
            short dmCopies;
            short dmDefaultSource;
            short dmPrintQuality;
        };
        struct {
            POINTL dmPosition;
            DWORD dmDisplayOrientation;
            DWORD dmDisplayFixedOutput;
        };
    };
    short dmColor;
    short dmDuplex;
    short dmYResolution;
    short dmTTOption;
    short dmCollate;
    WCHAR dmFormName[CCHFORMNAME];
    WORD dmLogPixels;
    DWORD dmBitsPerPel;
    DWORD dmPelsWidth;
    DWORD dmPelsHeight;
    union {
        DWORD dmDisplayFlags;
        DWORD dmNup;
    };
    DWORD dmDisplayFrequency;
    DWORD dmICMMethod;
    DWORD dmICMIntent;
    DWORD dmMediaType;
    DWORD dmDitherType;
    DWORD dmReserved1;
    DWORD dmReserved2;
    DWORD dmPanningWidth;
    DWORD dmPanningHeight;
};
static_assert(sizeof(DEVMODEW) == 220);
static_assert(offsetof(DEVMODEW, dmSize) == 68);
static_assert(offsetof(DEVMODEW, dmDriverExtra) == 70);
static_assert(offsetof(DEVMODEW, dmFormName) == 102);
using PDEVMODEW = DEVMODEW*;
using LPDEVMODEW = DEVMODEW*;

#define DM_SPECVERSION 0x0401
#define DM_ORIENTATION 0x00000001L
#define DM_PAPERSIZE 0x00000002L
#define DM_PAPERLENGTH 0x00000004L
#define DM_PAPERWIDTH 0x00000008L
#define DM_SCALE 0x00000010L
#define DM_COPIES 0x00000100L
#define DM_DEFAULTSOURCE 0x00000200L
#define DM_PRINTQUALITY 0x00000400L
#define DM_COLOR 0x00000800L
#define DM_DUPLEX 0x00001000L
#define DM_YRESOLUTION 0x00002000L
#define DM_COLLATE 0x00008000L
#define DM_FORMNAME 0x00010000L
#define DM_NUP 0x00000040L
#define DM_MEDIATYPE 0x02000000L
#define DMORIENT_PORTRAIT 1
#define DMORIENT_LANDSCAPE 2
#define DMDUP_SIMPLEX 1
#define DMDUP_VERTICAL 2
#define DMDUP_HORIZONTAL 3
#define DMCOLOR_MONOCHROME 1
#define DMCOLOR_COLOR 2
#define DMPAPER_LETTER 1
#define DMPAPER_A4 9

#define LF_FACESIZE 32
struct LOGFONTW {
    LONG lfHeight;
    LONG lfWidth;
    LONG lfEscapement;
    LONG lfOrientation;
    LONG lfWeight;
    BYTE lfItalic;
    BYTE lfUnderline;
    BYTE lfStrikeOut;
    BYTE lfCharSet;
    BYTE lfOutPrecision;
    BYTE lfClipPrecision;
    BYTE lfQuality;
    BYTE lfPitchAndFamily;
    WCHAR lfFaceName[LF_FACESIZE];
};
static_assert(sizeof(LOGFONTW) == 92);

extern "C" {
// Last error, per thread.
PLATFORM_EXPORT DWORD WINAPI GetLastError();
PLATFORM_EXPORT void WINAPI SetLastError(DWORD error);

// Milliseconds since the system started, wrapping after 49.7 days.
PLATFORM_EXPORT DWORD WINAPI GetTickCount();
PLATFORM_EXPORT void WINAPI GetSystemTime(LPSYSTEMTIME systemTime);
PLATFORM_EXPORT void WINAPI GetLocalTime(LPSYSTEMTIME systemTime);
PLATFORM_EXPORT void WINAPI GetSystemTimeAsFileTime(LPFILETIME fileTime);

// Impersonation: thread must be null (the calling thread); a null token reverts.
PLATFORM_EXPORT BOOL WINAPI SetThreadToken(PHANDLE thread, HANDLE token);

// Debugger output. Text goes to the platform's debug sink (see platformtest.h).
PLATFORM_EXPORT void WINAPI OutputDebugStringA(LPCSTR text);
PLATFORM_EXPORT void WINAPI OutputDebugStringW(LPCWSTR text);
PLATFORM_EXPORT BOOL WINAPI IsDebuggerPresent();
PLATFORM_EXPORT void WINAPI DebugBreak();

PLATFORM_EXPORT LONG WINAPI InterlockedIncrement(LONG volatile* addend);
PLATFORM_EXPORT LONG WINAPI InterlockedDecrement(LONG volatile* addend);
PLATFORM_EXPORT LONG WINAPI InterlockedExchange(LONG volatile* target, LONG value);
PLATFORM_EXPORT LONG WINAPI InterlockedCompareExchange(LONG volatile* destination, LONG exchange,
                                                       LONG comparand);

#define CP_ACP 0
#define CP_UTF8 65001
#define WC_ERR_INVALID_CHARS 0x00000080
#define MB_ERR_INVALID_CHARS 0x00000008
// Conversions between UTF-16 and narrow text. Code page CP_ACP is taken as UTF-8.
PLATFORM_EXPORT int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide,
                                               int wideCount, LPSTR narrow, int narrowSize,
                                               LPCSTR defaultChar, BOOL* usedDefaultChar);
PLATFORM_EXPORT int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR narrow,
                                               int narrowCount, LPWSTR wide, int wideSize);
}
