#include "watermarkglyphs.h"

#include "watermarkpagewriter.h"

#include <cmath>
#include <cstdio>

std::u16string WatermarkGlyphs::FitForXml(std::u16string_view text) {
    std::u16string fit(text);
    for (size_t i = 0; i < fit.size(); ++i) {
        const char16_t c = fit[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < fit.size() && fit[i + 1] >= 0xDC00 &&
            fit[i + 1] <= 0xDFFF) {
            ++i; // a pair
        } else if ((c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') ||
                   (c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE || c == 0xFFFF) {
            fit[i] = 0xFFFD;
        }
    }
    return fit;
}

std::u16string WatermarkGlyphs::Number(double value) {
    if (!std::isfinite(value)) {
        value = 0;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.4f", value);
    std::string digits(text);
    if (digits.find('.') != std::string::npos) {
        while (digits.back() == '0') {
            digits.pop_back();
        }
        if (digits.back() == '.') {
            digits.pop_back();
        }
    }
    if (digits == "-0") {
        digits = "0";
    }
    return std::u16string(digits.begin(), digits.end());
}

std::u16string WatermarkGlyphs::Markup(std::u16string_view prefix,
                                       std::u16string_view fontUri) const {
    std::u16string out;
    out.reserve(256 + text.size() * 8);
    out += u'<';
    out += prefix;
    out += u"Glyphs Fill=\"";
    out += fill;
    out += u"\" Opacity=\"" + Number(opacity) + u"\" FontUri=\"";
    WatermarkPageWriter::AppendEscaped(out, fontUri);
    out += u"\" FontRenderingEmSize=\"" + Number(emSize) + u"\" OriginX=\"" + Number(originX) +
           u"\" OriginY=\"" + Number(originY) + u'"';
    const bool identity = matrix[0] == 1 && matrix[1] == 0 && matrix[2] == 0 && matrix[3] == 1 &&
                          matrix[4] == 0 && matrix[5] == 0;
    if (!identity) {
        out += u" RenderTransform=\"";
        for (int i = 0; i < 6; ++i) {
            out += (i ? u"," : u"") + Number(matrix[i]);
        }
        out += u'"';
    }
    if (bold || italic) {
        out += u" StyleSimulations=\"";
        out += bold && italic ? u"BoldItalicSimulation"
                              : (bold ? u"BoldSimulation" : u"ItalicSimulation");
        out += u'"';
    }
    // A text that starts with an opening brace is escaped by a leading "{}".
    out += u" UnicodeString=\"";
    if (!text.empty() && text[0] == u'{') {
        out += u"{}";
    }
    WatermarkPageWriter::AppendEscaped(out, text);
    out += u'"';
    // One advance per character; a character beyond the Basic Multilingual Plane is a cluster
    // of two code units and one glyph.
    if (emSize > 0 && advances.size() == text.size()) {
        out += u" Indices=\"";
        for (size_t i = 0; i < text.size(); ++i) {
            const bool pair = text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size();
            if (i) {
                out += u';';
            }
            if (pair) {
                out += u"(2:1)";
            }
            out += u',' + Number(advances[i] * 100.0 / emSize);
            i += pair ? 1 : 0;
        }
        out += u'"';
    }
    out += u"/>";
    return out;
}
