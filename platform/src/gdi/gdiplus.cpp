// GDI+ start-up and shut-down, counted per process, and the font family objects.
//
// Ownership: the process's start-up state (the tokens handed out and not yet given back)
// lives under one lock. A font family is owned by the handle table from
// GdipCreateFontFamilyFromName to GdipDeleteFontFamily; a stale handle is refused.
#include "gdiplus.h"

#include "fontengine.h"
#include "gdiallocator.h"
#include "handletable.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <set>
#include <string>

namespace platform::gdi {
namespace {

struct FontFamily {
    std::u16string name;
};

struct GdiplusState {
    std::mutex lock;
    // Handed out by GdiplusStartup and not yet shut down.
    std::set<ULONG_PTR, std::less<ULONG_PTR>, PlatformAllocator<ULONG_PTR>> startTokens;
    std::set<ULONG_PTR> hookTokens; // handed out by the notification hook
    ULONG_PTR nextToken = 1;
    HandleTable<FontFamily> families;
};

GdiplusState& State() {
    static GdiplusState state;
    return state;
}

bool Started() {
    GdiplusState& state = State();
    std::lock_guard guard(state.lock);
    return !state.startTokens.empty();
}

Gdiplus::Status WINAPI NotificationHook(ULONG_PTR* token) {
    if (!token) {
        return Gdiplus::InvalidParameter;
    }
    GdiplusState& state = State();
    std::lock_guard guard(state.lock);
    if (state.startTokens.empty()) {
        return Gdiplus::GdiplusNotInitialized;
    }
    *token = state.nextToken++;
    state.hookTokens.insert(*token);
    return Gdiplus::Ok;
}

void WINAPI NotificationUnhook(ULONG_PTR token) {
    GdiplusState& state = State();
    std::lock_guard guard(state.lock);
    state.hookTokens.erase(token);
}

} // namespace
} // namespace platform::gdi

using namespace platform::gdi;

extern "C" {

Gdiplus::Status WINAPI GdiplusStartup(ULONG_PTR* token, const Gdiplus::GdiplusStartupInput* input,
                                      Gdiplus::GdiplusStartupOutput* output) {
    if (!token || !input) {
        return Gdiplus::InvalidParameter;
    }
    if (input->GdiplusVersion != 1) {
        return Gdiplus::UnsupportedGdiplusVersion;
    }
    if (input->SuppressBackgroundThread && !output) {
        return Gdiplus::InvalidParameter;
    }
    GdiplusState& state = State();
    std::lock_guard guard(state.lock);
    try {
        state.startTokens.insert(state.nextToken);
    } catch (const std::bad_alloc&) {
        return Gdiplus::OutOfMemory;
    }
    *token = state.nextToken++;
    if (output) {
        output->NotificationHook = input->SuppressBackgroundThread ? NotificationHook : nullptr;
        output->NotificationUnhook = input->SuppressBackgroundThread ? NotificationUnhook : nullptr;
    }
    return Gdiplus::Ok;
}

void WINAPI GdiplusShutdown(ULONG_PTR token) {
    GdiplusState& state = State();
    std::lock_guard guard(state.lock);
    state.startTokens.erase(token);
}

Gdiplus::GpStatus WINAPI GdipCreateFontFamilyFromName(const WCHAR* name,
                                                      Gdiplus::GpFontCollection* collection,
                                                      Gdiplus::GpFontFamily** family) {
    if (!Started()) {
        return Gdiplus::GdiplusNotInitialized;
    }
    if (!name || !family || collection) {
        return Gdiplus::InvalidParameter;
    }
    *family = nullptr;
    try {
        std::u16string installed = InstalledFamily(name);
        if (installed.empty()) {
            return Gdiplus::FontFamilyNotFound;
        }
        auto made = std::allocate_shared<FontFamily>(PlatformAllocator<FontFamily>{},
                                                     FontFamily{std::move(installed)});
        HANDLE handle = State().families.Open(std::move(made));
        if (!handle) {
            return Gdiplus::OutOfMemory;
        }
        *family = static_cast<Gdiplus::GpFontFamily*>(handle);
        return Gdiplus::Ok;
    } catch (const std::bad_alloc&) {
        return Gdiplus::OutOfMemory;
    }
}

Gdiplus::GpStatus WINAPI GdipDeleteFontFamily(Gdiplus::GpFontFamily* family) {
    if (!Started()) {
        return Gdiplus::GdiplusNotInitialized;
    }
    return State().families.Close(family) ? Gdiplus::Ok : Gdiplus::InvalidParameter;
}

Gdiplus::GpStatus WINAPI GdipGetFamilyName(const Gdiplus::GpFontFamily* family, WCHAR* name,
                                           WORD /*language*/) {
    if (!Started()) {
        return Gdiplus::GdiplusNotInitialized;
    }
    const auto found = State().families.Find(const_cast<Gdiplus::GpFontFamily*>(family));
    if (!found || !name) {
        return Gdiplus::InvalidParameter;
    }
    const size_t length = std::min<size_t>(found->name.size(), LF_FACESIZE - 1);
    found->name.copy(name, length);
    name[length] = 0;
    return Gdiplus::Ok;
}

} // extern "C"
