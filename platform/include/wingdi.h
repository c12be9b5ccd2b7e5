// GDI text measurement: information contexts, logical fonts, text extents and metrics; and
// DeviceCapabilitiesW, through which a printer's driver answers its own queries.
//
// An information context measures at 96 dots per inch. Fonts are matched by face name, weight
// and italic to the fonts installed on the machine and measured from the font files;
// "Arial" and "Helvetica" resolve to the metric-compatible Liberation Sans. Every handle is
// checked: a null, made-up or deleted handle fails with ERROR_INVALID_HANDLE.
#pragma once

#include "windows.h"

#define FW_DONTCARE 0
#define FW_THIN 100
#define FW_NORMAL 400
#define FW_SEMIBOLD 600
#define FW_BOLD 700
#define FW_BLACK 900

#define ANSI_CHARSET 0
#define DEFAULT_CHARSET 1
#define OUT_DEFAULT_PRECIS 0
#define OUT_TT_ONLY_PRECIS 7
#define CLIP_DEFAULT_PRECIS 0
#define DEFAULT_QUALITY 0
#define ANTIALIASED_QUALITY 4
#define CLEARTYPE_QUALITY 5

// tmPitchAndFamily bits. TMPF_FIXED_PITCH set means the font is NOT fixed pitch.
#define TMPF_FIXED_PITCH 0x01
#define TMPF_VECTOR 0x02
#define TMPF_TRUETYPE 0x04
#define FF_DONTCARE 0x00
#define FF_ROMAN 0x10
#define FF_SWISS 0x20
#define FF_MODERN 0x30

// What GetFontData answers for a failure.
#define GDI_ERROR 0xFFFFFFFFu

#define LOGPIXELSX 88
#define LOGPIXELSY 90

struct TEXTMETRICW {
    LONG tmHeight;
    LONG tmAscent;
    LONG tmDescent;
    LONG tmInternalLeading;
    LONG tmExternalLeading;
    LONG tmAveCharWidth;
    LONG tmMaxCharWidth;
    LONG tmWeight;
    LONG tmOverhang;
    LONG tmDigitizedAspectX;
    LONG tmDigitizedAspectY;
    WCHAR tmFirstChar;
    WCHAR tmLastChar;
    WCHAR tmDefaultChar;
    WCHAR tmBreakChar;
    BYTE tmItalic;
    BYTE tmUnderlined;
    BYTE tmStruckOut;
    BYTE tmPitchAndFamily;
    BYTE tmCharSet;
};
static_assert(sizeof(TEXTMETRICW) == 60);
static_assert(offsetof(TEXTMETRICW, tmFirstChar) == 44);
static_assert(offsetof(TEXTMETRICW, tmItalic) == 52);
using LPTEXTMETRICW = TEXTMETRICW*;
static_assert(sizeof(SIZE) == 8);
static_assert(offsetof(LOGFONTW, lfItalic) == 20);
static_assert(offsetof(LOGFONTW, lfFaceName) == 28);

extern "C" {
// An information context for a printer (device names an installed printer; driver is not
// needed and not checked) or, with driver "DISPLAY" and no device, for the screen. Null with
// ERROR_INVALID_PRINTER_NAME for an unknown printer. The context starts with a default font
// selected.
PLATFORM_EXPORT HDC WINAPI CreateICW(LPCWSTR driver, LPCWSTR device, LPCWSTR port,
                                     const DEVMODEW* devmode);
PLATFORM_EXPORT BOOL WINAPI DeleteDC(HDC dc);
PLATFORM_EXPORT int WINAPI GetDeviceCaps(HDC dc, int index);

// A logical font. lfHeight < 0 asks for that character (em) height in pixels, > 0 for that
// cell height (ascent + descent), 0 for a default size. lfWidth is not used.
PLATFORM_EXPORT HFONT WINAPI CreateFontIndirectW(const LOGFONTW* font);
// Selects a font into a context; returns the font it replaces, or null on failure.
PLATFORM_EXPORT HGDIOBJ WINAPI SelectObject(HDC dc, HGDIOBJ object);
// Fails (FALSE) for a font that is still selected into a context.
PLATFORM_EXPORT BOOL WINAPI DeleteObject(HGDIOBJ object);

// The width and height in pixels of count UTF-16 units of text in the selected font: the
// advance along the baseline (the font's escapement does not turn the extent) and the
// font's cell height. Kerning is not applied.
PLATFORM_EXPORT BOOL WINAPI GetTextExtentPoint32W(HDC dc, LPCWSTR text, int count, LPSIZE size);
PLATFORM_EXPORT BOOL WINAPI GetTextMetricsW(HDC dc, LPTEXTMETRICW metrics);
// The bytes of the selected font's file, as the printer's driver embeds a font: table is an
// OpenType table tag with its first letter in the low byte (0x70616D63 for "cmap"), 0 for the
// font from its offset table to the end of its file (the whole file unless the font is one of
// a TrueType collection), or 0x66637474 ("ttcf") for the whole collection. Copies at most size
// bytes from offset on and answers how many; with no buffer or size 0 answers how many there
// are from offset on. GDI_ERROR (ERROR_INVALID_PARAMETER) for a font that is neither TrueType
// nor OpenType, a table it lacks, "ttcf" of a font of no collection, or an offset beyond the
// end; GDI_ERROR (ERROR_INVALID_HANDLE) for a bad context.
PLATFORM_EXPORT DWORD WINAPI GetFontData(HDC dc, DWORD table, DWORD offset, LPVOID buffer,
                                         DWORD size);

// What a printer's driver tells about the printer. The spooler stand-in answers the driver's
// two private capability numbers from the printer's description (platformprinters.h); any
// other number fails with -1 and ERROR_NOT_SUPPORTED, an unknown printer with -1 and
// ERROR_INVALID_PRINTER_NAME. The port and the devmode are not read.
//  - 65525, the driver's forms: with output, one 152-byte record per form, in the
//    description's order, each little-endian: bytes 0-1 the form number (256 the custom
//    size), 4-7 width and 8-11 height in tenths of a millimetre, 12-15 the paper size value
//    id, 20-23 the form kind, 24-151 the form's name in UTF-16 (at most 63 units, ended by a
//    zero unit), every other byte 0. The result is the number of forms, with or without
//    output; output must have room for all of them (no size is passed: ask for the count
//    first, and leave room for forms added to the description in between).
//  - 65518, the printable-area margins: with output, four int32 (left, top, right, bottom of
//    the portrait page, in micrometres); the result is 16, the number of bytes.
PLATFORM_EXPORT int WINAPI DeviceCapabilitiesW(LPCWSTR device, LPCWSTR port, WORD capability,
                                               LPWSTR output, const DEVMODEW* devmode);
}
