// Matching a logical font to a font file (fontconfig) and measuring text with it (FreeType).
//
// Ownership: one FontEngine per process owns the FreeType library and the fontconfig
// configuration. Each RealizedFont owns its FreeType face and the advance widths it has
// measured so far; it is shared by the GDI font objects and contexts that use it. Every
// FreeType call goes through the engine's lock, so fonts may be measured from any thread.
#pragma once

#include "wingdi.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace platform::gdi {

class RealizedFont;

// Starts the process's font engine. An object that holds fonts and lives as long as the
// process calls this before it holds any, so that the engine outlives it.
void StartFontEngine();

// Finds and opens the font file that best matches a LOGFONTW. Throws std::bad_alloc when
// memory runs out; returns null when no font is installed at all.
std::shared_ptr<RealizedFont> RealizeFont(const LOGFONTW& font);

// The face name the font matcher looks for: GDI's common faces map to the metric-compatible
// faces installed here ("Arial" and "Helvetica" to "Liberation Sans", ...); others unchanged.
std::u16string MatchedFamilyName(std::u16string_view faceName);

// The name of the installed family called name (after the mapping above; ASCII case
// ignored), or empty when no installed font has that family. Throws std::bad_alloc.
std::u16string InstalledFamily(std::u16string_view name);

class RealizedFont {
public:
    virtual ~RealizedFont() = default;
    // The sum of the advance widths of text in whole pixels (-1 when it does not fit a LONG).
    virtual int64_t Advance(std::u16string_view text) = 0;
    virtual TEXTMETRICW Metrics() const = 0;
    // GetFontData over the font's file: table is a tag as GDI packs it (the first letter in
    // the low byte), 0 for the font's data from its offset table to the end of the file (the
    // whole file unless the font is one of a collection), or 'ttcf' for the whole collection.
    // Copies at most size bytes from offset into buffer and answers their count; with no
    // buffer or size 0 answers the count from offset to the end. GDI_ERROR for a font that is
    // not TrueType or OpenType, a table it lacks, 'ttcf' of a font that is no collection and an
    // offset beyond the end.
    virtual DWORD FontData(DWORD table, DWORD offset, void* buffer, DWORD size) = 0;
};

} // namespace platform::gdi
