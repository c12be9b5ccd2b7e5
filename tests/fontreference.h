// What a font file measures for a text at a pixel size, computed with FreeType alone (never
// through the platform), to hold GDI's measurements against.
#pragma once

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_ADVANCES_H
#include FT_DRIVER_H
#include FT_MODULE_H
#include FT_TRUETYPE_TABLES_H

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace fontreference {

struct Reference {
    long hintedWidth = 0;   // advances hinted in both directions, in whole pixels
    long unhintedWidth = 0; // unhinted advances, each rounded to a pixel (turned text)
    long cellHeight = 0;    // Windows ascent + descent
    long descent = 0;       // the cell less the ascent, as GDI splits it
};

inline Reference Measure(const std::string& file, int pixelsPerEm, const std::u16string& text) {
    FT_Library library = nullptr;
    FT_Face face = nullptr;
    Reference reference;
    if (FT_Init_FreeType(&library) != 0) {
        ADD_FAILURE() << "FreeType";
        return reference;
    }
    FT_UInt fullHinting = TT_INTERPRETER_VERSION_35;
    FT_Property_Set(library, "truetype", "interpreter-version", &fullHinting);
    if (FT_New_Face(library, file.c_str(), 0, &face) != 0) {
        ADD_FAILURE() << "cannot open " << file;
        FT_Done_FreeType(library);
        return reference;
    }
    FT_Set_Pixel_Sizes(face, 0, pixelsPerEm);
    for (char16_t unit : text) {
        const FT_UInt glyph = FT_Get_Char_Index(face, unit);
        FT_Fixed hinted = 0;
        FT_Fixed unhinted = 0;
        FT_Get_Advance(face, glyph, FT_LOAD_DEFAULT, &hinted);
        FT_Get_Advance(face, glyph, FT_LOAD_NO_HINTING, &unhinted);
        reference.hintedWidth += std::lround(hinted / 65536.0);
        reference.unhintedWidth += std::lround(unhinted / 65536.0);
    }
    const auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
    const double scale = double(pixelsPerEm) / face->units_per_EM;
    reference.cellHeight = std::lround((os2->usWinAscent + os2->usWinDescent) * scale);
    reference.descent = reference.cellHeight - std::lround(os2->usWinAscent * scale);
    FT_Done_Face(face);
    FT_Done_FreeType(library);
    return reference;
}

} // namespace fontreference
