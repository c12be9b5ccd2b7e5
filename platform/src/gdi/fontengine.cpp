#include "fontengine.h"

#include "textutf.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_DRIVER_H
#include FT_MODULE_H
#include FT_TRUETYPE_TABLES_H

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <vector>

namespace platform::gdi {
namespace {

// GDI's size for a logical font of height 0: 12 points at 96 dots per inch.
constexpr int kDefaultPixelsPerEm = 16;
// The largest size measured: well within FreeType's range and far beyond any page.
constexpr LONG kLargestPixelsPerEm = 16384;

struct FaceAlias {
    std::u16string_view gdiName;
    std::u16string_view installedName;
};
// The metric-compatible faces of fonts-liberation2 for GDI's common faces.
constexpr FaceAlias kFaceAliases[] = {
    {u"arial", u"Liberation Sans"},
    {u"helvetica", u"Liberation Sans"},
    {u"times new roman", u"Liberation Serif"},
    {u"times", u"Liberation Serif"},
    {u"courier new", u"Liberation Mono"},
    {u"courier", u"Liberation Mono"},
};

bool SameAsciiCaseless(std::u16string_view a, std::u16string_view lower) {
    return a.size() == lower.size() &&
           std::equal(a.begin(), a.end(), lower.begin(), [](char16_t x, char16_t y) {
               return (x >= u'A' && x <= u'Z' ? x + 32 : x) == y;
           });
}

LONG Round(double value) {
    return static_cast<LONG>(std::llround(value));
}

// One per process; the lock guards every FreeType and fontconfig call.
class FontEngine {
public:
    static FontEngine& Instance() {
        static FontEngine engine;
        return engine;
    }
    ~FontEngine() {
        // The faces are released by their own destructors, which take the lock.
        auto cached = std::move(cache_);
        cached.clear();
        if (config_) {
            FcConfigDestroy(config_);
        }
        if (library_) {
            FT_Done_FreeType(library_);
        }
    }
    std::mutex& Lock() { return lock_; }
    FT_Library Library() const { return library_; }
    FcConfig* Config() const { return config_; }

    // Realized fonts by logical font, most recently used first; under the lock. Matching and
    // opening a face costs far more than measuring, and a filter asks for the same font on
    // every page.
    std::shared_ptr<RealizedFont> Cached(const LOGFONTW& key) {
        for (auto entry = cache_.begin(); entry != cache_.end(); ++entry) {
            if (std::memcmp(&entry->first, &key, sizeof key) == 0) {
                std::rotate(cache_.begin(), entry, entry + 1);
                return cache_.front().second;
            }
        }
        return nullptr;
    }
    // Returns the font it forgets, for the caller to release once the lock is given up.
    std::shared_ptr<RealizedFont> Remember(const LOGFONTW& key,
                                           std::shared_ptr<RealizedFont> font) {
        std::shared_ptr<RealizedFont> forgotten;
        if (cache_.size() == kCachedFonts) {
            forgotten = std::move(cache_.back().second);
            cache_.pop_back();
        }
        cache_.insert(cache_.begin(), {key, std::move(font)});
        return forgotten;
    }

private:
    FontEngine() {
        if (FT_Init_FreeType(&library_) != 0) {
            library_ = nullptr;
        } else {
            // GDI hints TrueType glyphs in both directions, so advances are whole, hinted
            // pixels; FreeType's default interpreter leaves the horizontal direction alone.
            FT_UInt gdiCompatible = TT_INTERPRETER_VERSION_35;
            FT_Property_Set(library_, "truetype", "interpreter-version", &gdiCompatible);
        }
        config_ = FcInitLoadConfigAndFonts();
    }
    static constexpr size_t kCachedFonts = 32;
    std::mutex lock_;
    FT_Library library_ = nullptr;
    FcConfig* config_ = nullptr;
    std::vector<std::pair<LOGFONTW, std::shared_ptr<RealizedFont>>> cache_;
};

struct FcPatternDeleter {
    void operator()(FcPattern* pattern) const { FcPatternDestroy(pattern); }
};
using PatternPtr = std::unique_ptr<FcPattern, FcPatternDeleter>;

class FreeTypeFont final : public RealizedFont {
public:
    FreeTypeFont(FT_Face face, const LOGFONTW& logical) : face_(face) {
        const TT_OS2* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(face_, FT_SFNT_OS2));
        const double unitsPerEm = face_->units_per_EM ? face_->units_per_EM : 2048;
        // GDI's cell is the OS/2 table's Windows ascent and descent.
        double cellAscent = os2 ? os2->usWinAscent : face_->ascender;
        double cellDescent = os2 ? os2->usWinDescent : -face_->descender;
        if (cellAscent + cellDescent <= 0) {
            cellAscent = unitsPerEm * 0.8;
            cellDescent = unitsPerEm * 0.2;
        }
        const double cell = cellAscent + cellDescent;
        // Heights beyond the largest size are measured at it, so no figure overflows a LONG.
        const LONG requested =
            std::clamp<LONG>(logical.lfHeight, -kLargestPixelsPerEm, kLargestPixelsPerEm);
        double pixelsPerEm = kDefaultPixelsPerEm;
        double height = 0;
        if (requested < 0) {
            pixelsPerEm = -static_cast<double>(requested);
            height = pixelsPerEm * cell / unitsPerEm;
        } else if (requested > 0) {
            height = requested;
            pixelsPerEm = height * unitsPerEm / cell;
        } else {
            height = pixelsPerEm * cell / unitsPerEm;
        }
        const double scale = pixelsPerEm / unitsPerEm;
        metrics_.tmAscent = Round(cellAscent * height / cell);
        metrics_.tmHeight = requested > 0 ? requested : Round(height);
        metrics_.tmDescent = metrics_.tmHeight - metrics_.tmAscent;
        metrics_.tmInternalLeading = std::max<LONG>(0, metrics_.tmHeight - Round(pixelsPerEm));
        const double typoLineHeight = face_->ascender - face_->descender;
        const double lineGap = os2 ? os2->sTypoLineGap : face_->height - typoLineHeight;
        metrics_.tmExternalLeading =
            std::max<LONG>(0, Round((lineGap - (cell - typoLineHeight)) * scale));
        metrics_.tmAveCharWidth = os2 ? Round(os2->xAvgCharWidth * scale) : 0;
        metrics_.tmMaxCharWidth = Round((face_->bbox.xMax - face_->bbox.xMin) * scale);
        const LONG faceWeight = os2 && os2->usWeightClass ? os2->usWeightClass : FW_NORMAL;
        // GDI emboldens a face lighter than asked for by a pixel per character.
        emboldened_ = logical.lfWeight >= FW_SEMIBOLD && faceWeight < FW_SEMIBOLD;
        metrics_.tmWeight = emboldened_ ? FW_BOLD : faceWeight;
        metrics_.tmOverhang = 0;
        metrics_.tmDigitizedAspectX = 96;
        metrics_.tmDigitizedAspectY = 96;
        metrics_.tmFirstChar = os2 ? os2->usFirstCharIndex : 0x20;
        metrics_.tmLastChar = os2 ? os2->usLastCharIndex : 0xFFFC;
        metrics_.tmDefaultChar = os2 && os2->version >= 2 ? os2->usDefaultChar : 0x1F;
        metrics_.tmBreakChar = os2 && os2->version >= 2 ? os2->usBreakChar : 0x20;
        metrics_.tmItalic = logical.lfItalic ? 255 : 0;
        metrics_.tmUnderlined = logical.lfUnderline ? 255 : 0;
        metrics_.tmStruckOut = logical.lfStrikeOut ? 255 : 0;
        metrics_.tmPitchAndFamily = static_cast<BYTE>(
            (FT_IS_FIXED_WIDTH(face_) ? 0 : TMPF_FIXED_PITCH) | TMPF_VECTOR |
            (FT_IS_SFNT(face_) ? TMPF_TRUETYPE : 0) | (logical.lfPitchAndFamily & 0xF0));
        metrics_.tmCharSet = logical.lfCharSet;

        // Text along a turned baseline is laid out unhinted, as GDI does.
        hinted_ = logical.lfEscapement % 3600 == 0;
        const int setPixels = static_cast<int>(
            std::clamp<int64_t>(std::llround(pixelsPerEm), 1, kLargestPixelsPerEm));
        sizeScale_ = pixelsPerEm / setPixels;
        if (std::abs(sizeScale_ - 1.0) > 1e-9) {
            hinted_ = false; // a fractional size: scaled outlines, no hinting
        }
        FT_Set_Pixel_Sizes(face_, 0, static_cast<FT_UInt>(setPixels));
    }
    ~FreeTypeFont() override {
        std::lock_guard guard(FontEngine::Instance().Lock());
        FT_Done_Face(face_);
    }

    TEXTMETRICW Metrics() const override { return metrics_; }

    DWORD FontData(DWORD table, DWORD offset, void* buffer, DWORD size) override {
        std::lock_guard guard(FontEngine::Instance().Lock());
        if (!FT_IS_SFNT(face_)) {
            return GDI_ERROR;
        }
        FT_ULong start = 0; // where the data asked for starts in what FreeType loads
        FT_ULong length = 0;
        FT_ULong tag = 0; // 0: the file
        if (table == 0 || table == kCollectionTag) {
            if (FT_Load_Sfnt_Table(face_, 0, 0, nullptr, &length) != 0) {
                return GDI_ERROR;
            }
            const FT_ULong fontStart = CollectionOffset(length);
            const bool collection = fontStart != kNoCollection;
            if (table == kCollectionTag && !collection) {
                return GDI_ERROR;
            }
            if (table == 0 && collection) {
                if (fontStart > length) {
                    return GDI_ERROR;
                }
                start = fontStart;
                length -= fontStart;
            }
        } else {
            // GDI packs the tag's first letter in the low byte, FreeType in the high one.
            tag = ((table & 0xFF) << 24) | ((table & 0xFF00) << 8) | ((table >> 8) & 0xFF00) |
                  (table >> 24);
            if (FT_Load_Sfnt_Table(face_, tag, 0, nullptr, &length) != 0) {
                return GDI_ERROR;
            }
        }
        if (offset > length || length - offset > 0xFFFFFFFEu) {
            return GDI_ERROR;
        }
        const DWORD available = static_cast<DWORD>(length - offset);
        if (!buffer || size == 0) {
            return available;
        }
        FT_ULong count = std::min<FT_ULong>(size, available);
        if (count > 0 && FT_Load_Sfnt_Table(face_, tag, start + offset,
                                            static_cast<FT_Byte*>(buffer), &count) != 0) {
            return GDI_ERROR;
        }
        return static_cast<DWORD>(count);
    }

    int64_t Advance(std::u16string_view text) override {
        std::lock_guard guard(FontEngine::Instance().Lock());
        int64_t total = 0;
        for (size_t i = 0; i < text.size(); ++i) {
            char32_t code = text[i];
            if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                text[i + 1] <= 0xDFFF) {
                code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
                ++i;
            } else if (code >= 0xD800 && code <= 0xDFFF) {
                code = 0xFFFD;
            }
            total += GlyphAdvance(FT_Get_Char_Index(face_, code));
            if (total > std::numeric_limits<LONG>::max()) {
                return -1;
            }
        }
        return total;
    }

private:
    static constexpr DWORD kCollectionTag = 0x66637474; // 'ttcf' as GDI packs it
    static constexpr FT_ULong kNoCollection = ~FT_ULong{0};

    // Where this font's offset table starts in its file when the file is a collection
    // ("ttcf" header, then a count and one offset per font), else kNoCollection. Under the
    // lock.
    FT_ULong CollectionOffset(FT_ULong fileLength) {
        FT_Byte header[12];
        FT_ULong length = sizeof header;
        if (fileLength < sizeof header || FT_Load_Sfnt_Table(face_, 0, 0, header, &length) != 0 ||
            std::memcmp(header, "ttcf", 4) != 0) {
            return kNoCollection;
        }
        const FT_ULong index = static_cast<FT_ULong>(face_->face_index & 0xFFFF);
        const FT_ULong fonts =
            (FT_ULong{header[8]} << 24) | (header[9] << 16) | (header[10] << 8) | header[11];
        FT_Byte entry[4];
        length = sizeof entry;
        if (index >= fonts || 12 + 4 * index + 4 > fileLength ||
            FT_Load_Sfnt_Table(face_, 0, 12 + 4 * index, entry, &length) != 0) {
            return kNoCollection;
        }
        return (FT_ULong{entry[0]} << 24) | (entry[1] << 16) | (entry[2] << 8) | entry[3];
    }

    // Whole pixels: the hinted advance, or the unhinted one rounded.
    int32_t GlyphAdvance(FT_UInt glyph) {
        if (glyph < advances_.size() && advances_[glyph] >= 0) {
            return advances_[glyph];
        }
        int32_t advance = 0;
        if (hinted_) {
            if (FT_Load_Glyph(face_, glyph, FT_LOAD_DEFAULT) == 0) {
                advance = static_cast<int32_t>((face_->glyph->advance.x + 32) >> 6);
            }
        } else if (FT_Load_Glyph(face_, glyph, FT_LOAD_NO_HINTING | FT_LOAD_NO_BITMAP) == 0) {
            // linearHoriAdvance is 16.16 pixels at the set size.
            advance = static_cast<int32_t>(
                std::llround(face_->glyph->linearHoriAdvance / 65536.0 * sizeScale_));
        }
        if (emboldened_) {
            ++advance;
        }
        if (glyph < 65536) {
            if (glyph >= advances_.size()) {
                advances_.resize(glyph + 1, -1);
            }
            advances_[glyph] = advance;
        }
        return advance;
    }

    FT_Face face_;
    TEXTMETRICW metrics_{};
    bool hinted_ = true;
    bool emboldened_ = false;
    double sizeScale_ = 1.0;
    std::vector<int32_t> advances_; // by glyph index, -1 when not yet measured
};

} // namespace

std::u16string MatchedFamilyName(std::u16string_view faceName) {
    for (const FaceAlias& alias : kFaceAliases) {
        if (SameAsciiCaseless(faceName, alias.gdiName)) {
            return std::u16string(alias.installedName);
        }
    }
    return std::u16string(faceName);
}

void StartFontEngine() {
    FontEngine::Instance();
}

std::u16string InstalledFamily(std::u16string_view name) {
    const std::u16string wanted = MatchedFamilyName(name);
    if (wanted.empty()) {
        return {};
    }
    const std::string family = Utf8(wanted);
    FontEngine& engine = FontEngine::Instance();
    std::lock_guard guard(engine.Lock());
    if (!engine.Config()) {
        return {};
    }
    PatternPtr pattern(FcPatternCreate());
    if (!pattern) {
        throw std::bad_alloc();
    }
    FcPatternAddString(pattern.get(), FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
    FcConfigSubstitute(engine.Config(), pattern.get(), FcMatchPattern);
    FcDefaultSubstitute(pattern.get());
    FcResult result = FcResultNoMatch;
    PatternPtr match(FcFontMatch(engine.Config(), pattern.get(), &result));
    FcChar8* matched = nullptr;
    // A font may carry its family name in several languages; any of them will do.
    for (int i = 0;
         match && FcPatternGetString(match.get(), FC_FAMILY, i, &matched) == FcResultMatch; ++i) {
        const std::u16string installed = Utf16(reinterpret_cast<const char*>(matched));
        std::u16string lower = installed;
        for (char16_t& unit : lower) {
            unit = unit >= u'A' && unit <= u'Z' ? unit + 32 : unit;
        }
        if (SameAsciiCaseless(wanted, lower)) {
            return installed;
        }
    }
    return {};
}

std::shared_ptr<RealizedFont> RealizeFont(const LOGFONTW& font) {
    size_t length = 0;
    while (length < LF_FACESIZE && font.lfFaceName[length] != 0) {
        ++length;
    }
    const std::string family =
        Utf8(MatchedFamilyName(std::u16string_view(font.lfFaceName, length)));

    // The key: the record with whatever follows the face name's terminator cleared.
    LOGFONTW key = font;
    std::fill(key.lfFaceName + length, key.lfFaceName + LF_FACESIZE, u'\0');
    FontEngine& engine = FontEngine::Instance();
    std::shared_ptr<RealizedFont> forgotten; // released after the lock
    std::unique_lock guard(engine.Lock());
    if (!engine.Library() || !engine.Config()) {
        return nullptr;
    }
    if (auto cached = engine.Cached(key)) {
        return cached;
    }
    PatternPtr pattern(FcPatternCreate());
    if (!pattern) {
        throw std::bad_alloc();
    }
    const int weight = font.lfWeight <= 0 ? FW_NORMAL : std::min<LONG>(font.lfWeight, 1000);
    FcPatternAddString(
        pattern.get(), FC_FAMILY,
        reinterpret_cast<const FcChar8*>(family.empty() ? "sans-serif" : family.c_str()));
    FcPatternAddDouble(pattern.get(), FC_WEIGHT, FcWeightFromOpenTypeDouble(weight));
    FcPatternAddInteger(pattern.get(), FC_SLANT, font.lfItalic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
    FcPatternAddBool(pattern.get(), FC_SCALABLE, FcTrue);
    FcConfigSubstitute(engine.Config(), pattern.get(), FcMatchPattern);
    FcDefaultSubstitute(pattern.get());
    FcResult result = FcResultNoMatch;
    PatternPtr match(FcFontMatch(engine.Config(), pattern.get(), &result));
    if (!match) {
        return nullptr;
    }
    FcChar8* file = nullptr;
    int index = 0;
    if (FcPatternGetString(match.get(), FC_FILE, 0, &file) != FcResultMatch) {
        return nullptr;
    }
    FcPatternGetInteger(match.get(), FC_INDEX, 0, &index);
    FT_Face face = nullptr;
    const FT_Error error =
        FT_New_Face(engine.Library(), reinterpret_cast<const char*>(file), index, &face);
    if (error == FT_Err_Out_Of_Memory) {
        throw std::bad_alloc();
    }
    if (error != 0) {
        return nullptr;
    }
    std::shared_ptr<RealizedFont> realized;
    try {
        realized = std::make_shared<FreeTypeFont>(face, font);
    } catch (...) {
        FT_Done_Face(face);
        throw;
    }
    forgotten = engine.Remember(key, realized);
    return realized;
}

} // namespace platform::gdi
