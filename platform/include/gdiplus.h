// GDI+ status codes, start-up and shut-down, and font families.
//
// Start-up is counted per process: every GdiplusStartup that succeeds hands out a token of
// its own, and GDI+ stays started until each token has been given back to GdiplusShutdown.
// Calls made while it is not started fail with GdiplusNotInitialized.
#pragma once

#include "windows.h"

namespace Gdiplus {

// Based on int, as with MSVC, so that any int value converts to Status without undefined
// behaviour (callers do pass values outside the list).
enum Status : int {
    Ok = 0,
    GenericError = 1,
    InvalidParameter = 2,
    OutOfMemory = 3,
    ObjectBusy = 4,
    InsufficientBuffer = 5,
    NotImplemented = 6,
    Win32Error = 7,
    WrongState = 8,
    Aborted = 9,
    FileNotFound = 10,
    ValueOverflow = 11,
    AccessDenied = 12,
    UnknownImageFormat = 13,
    FontFamilyNotFound = 14,
    FontStyleNotFound = 15,
    NotTrueTypeFont = 16,
    UnsupportedGdiplusVersion = 17,
    GdiplusNotInitialized = 18,
    PropertyNotFound = 19,
    PropertyNotSupported = 20,
    ProfileNotFound = 21,
};

using GpStatus = Status;

enum DebugEventLevel : int { DebugEventLevelFatal, DebugEventLevelWarning };
using DebugEventProc = void(WINAPI*)(DebugEventLevel level, CHAR* message);
using NotificationHookProc = Status(WINAPI*)(ULONG_PTR* token);
using NotificationUnhookProc = void(WINAPI*)(ULONG_PTR token);

struct GdiplusStartupInput {
    UINT GdiplusVersion;
    DebugEventProc DebugEventCallback;
    BOOL SuppressBackgroundThread;
    BOOL SuppressExternalCodecs;

    GdiplusStartupInput(DebugEventProc debugEventCallback = nullptr,
                        BOOL suppressBackgroundThread = FALSE, BOOL suppressExternalCodecs = FALSE)
        : GdiplusVersion(1), DebugEventCallback(debugEventCallback),
          SuppressBackgroundThread(suppressBackgroundThread),
          SuppressExternalCodecs(suppressExternalCodecs) {}
};
static_assert(sizeof(GdiplusStartupInput) == 24);

// Filled when the caller suppresses the background thread: the caller then calls the hook
// before its message loop starts and the unhook after it ends.
struct GdiplusStartupOutput {
    NotificationHookProc NotificationHook;
    NotificationUnhookProc NotificationUnhook;
};
static_assert(sizeof(GdiplusStartupOutput) == 16);

// An installed font family (flat API object).
struct GpFontFamily;
struct GpFontCollection;

} // namespace Gdiplus

extern "C" {
// Input version 1 only (UnsupportedGdiplusVersion otherwise); InvalidParameter for a null
// token or input, or for a suppressed background thread without an output record.
PLATFORM_EXPORT Gdiplus::Status WINAPI GdiplusStartup(ULONG_PTR* token,
                                                      const Gdiplus::GdiplusStartupInput* input,
                                                      Gdiplus::GdiplusStartupOutput* output);
// Gives a token back; a token that is not out (0, made up, already given back) is ignored.
PLATFORM_EXPORT void WINAPI GdiplusShutdown(ULONG_PTR token);

// The installed family of that name (ASCII case ignored; "Arial" and "Helvetica" are the
// installed Liberation Sans) from the system's fonts: collection must be null.
// FontFamilyNotFound when no installed family has the name.
PLATFORM_EXPORT Gdiplus::GpStatus WINAPI GdipCreateFontFamilyFromName(
    const WCHAR* name, Gdiplus::GpFontCollection* collection, Gdiplus::GpFontFamily** family);
PLATFORM_EXPORT Gdiplus::GpStatus WINAPI GdipDeleteFontFamily(Gdiplus::GpFontFamily* family);
// The family's name, into name[LF_FACESIZE].
PLATFORM_EXPORT Gdiplus::GpStatus WINAPI GdipGetFamilyName(const Gdiplus::GpFontFamily* family,
                                                           WCHAR* name, WORD language);
}
