// WatermarkGlyphs: the Glyphs element that draws one watermark record (text, date stamp or
// annotation) with an embedded font, in the vocabulary of the page it goes on.
//
// Positions are in 1/96 inch, the page's own unit. A record gives the start of the text's
// baseline (x, y) and the text's measured extent for an unturned line; the drawing turns it:
// - a watermark by its angle (counter-clockwise, as GDI turns text by the font's escapement)
//   about the centre of its measured box, then moves it by the record's offsets;
// - the annotation, whose record is laid out on the page turned by 90 degrees (the line runs
//   up the page's left edge, its position measured from the imageable origin in that turned
//   frame), by mapping that frame onto the page.
// Each character's advance is the one GDI measured, written into Indices, so the line drawn is
// as long as the line measured.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct WatermarkGlyphs {
    std::u16string text;       // fit for XML: characters XML cannot carry replaced by U+FFFD
    std::vector<int> advances; // per UTF-16 unit, in 1/96 inch (0 for a surrogate's second)
    double emSize = 0;
    double originX = 0;
    double originY = 0;
    // m11, m12, m21, m22, dx, dy as XPS writes a matrix; identity when not turned or moved.
    double matrix[6] = {1, 0, 0, 1, 0, 0};
    std::u16string fill = u"#000000"; // "#RRGGBB"
    double opacity = 1;
    bool bold = false;   // simulated: the font file is lighter than asked for
    bool italic = false; // simulated: the font file is upright

    // The box the line covers on the page, before turning: left, top, width, height.
    double box[4] = {0, 0, 0, 0};

    // The element: prefix is "" or "p:", fontUri the font part's name.
    std::u16string Markup(std::u16string_view prefix, std::u16string_view fontUri) const;

    // Characters XML cannot carry (controls other than tab, line feed and carriage return,
    // unpaired surrogates, U+FFFE and U+FFFF) replaced by U+FFFD.
    static std::u16string FitForXml(std::u16string_view text);
    // A number as XPS markup writes one: fixed notation, at most four decimals, no "-0".
    static std::u16string Number(double value);
};
