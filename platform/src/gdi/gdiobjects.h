// GDI objects of the platform: information contexts and logical fonts, each behind a handle.
//
// Ownership:
// - A handle table (handletable.h) owns each context from CreateICW to DeleteDC and each font
//   from CreateFontIndirectW to DeleteObject; a stale or made-up handle is refused, never
//   followed.
// - A context holds the font selected into it by a shared pointer, so a font lives while it
//   is selected; a font counts the contexts that select it, and DeleteObject refuses a font
//   still selected, as GDI does.
// - The default font each context starts with is a stock object owned by the process; it is
//   never deleted.
// - Selection and deletion change state under one lock; measuring runs outside it, on the
//   font's realized face (fontengine.h).
#pragma once

#include "fontengine.h"
#include "wingdi.h"

#include <memory>

namespace platform::gdi {

struct Font {
    LOGFONTW logical{};
    std::shared_ptr<RealizedFont> realized;
    bool stock = false;
    int selections = 0; // contexts that have this font selected; under the GDI lock
};

struct DeviceContext {
    std::shared_ptr<Font> font;
    HGDIOBJ fontHandle = nullptr;
};

// Dots per inch of every information context.
constexpr int kDotsPerInch = 96;

} // namespace platform::gdi

namespace platform::gdi {
// Contexts and fonts open now (stock objects included), for tests that look for leaked handles.
PLATFORM_EXPORT size_t OpenObjectCount();
} // namespace platform::gdi
