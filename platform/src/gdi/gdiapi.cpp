// The GDI text measurement calls over the handle tables of gdiobjects.h.
#include "wingdi.h"

#include "gdiallocator.h"
#include "gdiobjects.h"
#include "handletable.h"
#include "platformprinters.h"

#include <mutex>
#include <new>
#include <string>

namespace platform::gdi {
namespace {

struct State {
    State() { StartFontEngine(); } // fonts left open at exit are released before the engine
    std::mutex lock;               // selection and deletion
    HandleTable<DeviceContext> contexts;
    HandleTable<Font> fonts;
};

State& Gdi() {
    static State state;
    return state;
}

// The stock font every context starts with, created once.
struct StockFont {
    std::shared_ptr<Font> font;
    HGDIOBJ handle = nullptr;
};

const StockFont& DefaultFont() {
    static const StockFont stock = [] {
        StockFont made;
        LOGFONTW logical{};
        logical.lfWeight = FW_NORMAL;
        std::shared_ptr<RealizedFont> realized;
        try {
            realized = RealizeFont(logical);
        } catch (const std::bad_alloc&) {
            return made;
        }
        if (!realized) {
            return made;
        }
        auto font = std::make_shared<Font>();
        font->logical = logical;
        font->realized = std::move(realized);
        font->stock = true;
        made.handle = Gdi().fonts.Open(font);
        if (made.handle) {
            made.font = std::move(font);
        }
        return made;
    }();
    return stock;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

std::shared_ptr<Font> SelectedFont(HDC dc) {
    const auto context = Gdi().contexts.Find(dc);
    if (!context) {
        return nullptr;
    }
    std::lock_guard guard(Gdi().lock);
    return context->font;
}

} // namespace

size_t OpenObjectCount() {
    return Gdi().contexts.Count() + Gdi().fonts.Count();
}

} // namespace platform::gdi

using namespace platform::gdi;

extern "C" {

HDC WINAPI CreateICW(LPCWSTR driver, LPCWSTR device, LPCWSTR /*port*/,
                     const DEVMODEW* /*devmode*/) {
    if (device) {
        if (!platformprinters::FindPrinter(std::u16string(device))) {
            SetLastError(ERROR_INVALID_PRINTER_NAME);
            return nullptr;
        }
    } else if (!driver || std::u16string_view(driver) != u"DISPLAY") {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const StockFont& stock = DefaultFont();
    if (!stock.font) {
        SetLastError(ERROR_FILE_NOT_FOUND); // no font installed
        return nullptr;
    }
    try {
        auto context = std::allocate_shared<DeviceContext>(PlatformAllocator<DeviceContext>{});
        context->font = stock.font;
        context->fontHandle = stock.handle;
        HANDLE handle = Gdi().contexts.Open(std::move(context));
        if (!handle) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        }
        return static_cast<HDC>(handle);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

BOOL WINAPI DeleteDC(HDC dc) {
    State& gdi = Gdi();
    const auto context = gdi.contexts.Find(dc);
    if (!context || !gdi.contexts.Close(dc)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    std::lock_guard guard(gdi.lock);
    if (context->font) {
        --context->font->selections;
        context->font.reset();
    }
    return TRUE;
}

int WINAPI GetDeviceCaps(HDC dc, int index) {
    if (!Gdi().contexts.Find(dc)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return index == LOGPIXELSX || index == LOGPIXELSY ? kDotsPerInch : 0;
}

HFONT WINAPI CreateFontIndirectW(const LOGFONTW* logical) {
    if (!logical) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    try {
        auto font = std::allocate_shared<Font>(PlatformAllocator<Font>{});
        font->logical = *logical;
        font->realized = RealizeFont(*logical);
        if (!font->realized) {
            SetLastError(ERROR_FILE_NOT_FOUND); // no font installed
            return nullptr;
        }
        HANDLE handle = Gdi().fonts.Open(std::move(font));
        if (!handle) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        }
        return static_cast<HFONT>(handle);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

HGDIOBJ WINAPI SelectObject(HDC dc, HGDIOBJ object) {
    State& gdi = Gdi();
    const auto context = gdi.contexts.Find(dc);
    const auto font = gdi.fonts.Find(object);
    if (!context || !font) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    std::lock_guard guard(gdi.lock);
    // A DeleteObject or DeleteDC may have won the race since the look-ups.
    if (gdi.fonts.Find(object) != font || gdi.contexts.Find(dc) != context) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    HGDIOBJ previous = context->fontHandle;
    if (context->font) {
        --context->font->selections;
    }
    ++font->selections;
    context->font = font;
    context->fontHandle = object;
    return previous;
}

BOOL WINAPI DeleteObject(HGDIOBJ object) {
    State& gdi = Gdi();
    std::lock_guard guard(gdi.lock);
    const auto font = gdi.fonts.Find(object);
    if (!font) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (font->stock) {
        return TRUE; // stock objects stay
    }
    if (font->selections > 0) {
        return FALSE; // still selected into a context
    }
    return gdi.fonts.Close(object) ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL WINAPI GetTextExtentPoint32W(HDC dc, LPCWSTR text, int count, LPSIZE size) {
    const auto font = SelectedFont(dc);
    if (!font) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (!size || count < 0 || (count > 0 && !text)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const int64_t advance =
        count == 0 ? 0 : font->realized->Advance(std::u16string_view(text, count));
    if (advance < 0) {
        return Fail(ERROR_ARITHMETIC_OVERFLOW);
    }
    size->cx = static_cast<LONG>(advance);
    size->cy = font->realized->Metrics().tmHeight;
    return TRUE;
}

BOOL WINAPI GetTextMetricsW(HDC dc, LPTEXTMETRICW metrics) {
    const auto font = SelectedFont(dc);
    if (!font) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (!metrics) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    *metrics = font->realized->Metrics();
    return TRUE;
}

DWORD WINAPI GetFontData(HDC dc, DWORD table, DWORD offset, LPVOID buffer, DWORD size) {
    const auto font = SelectedFont(dc);
    if (!font) {
        SetLastError(ERROR_INVALID_HANDLE);
        return GDI_ERROR;
    }
    const DWORD answer = font->realized->FontData(table, offset, buffer, size);
    if (answer == GDI_ERROR) {
        SetLastError(ERROR_INVALID_PARAMETER);
    }
    return answer;
}

} // extern "C"
