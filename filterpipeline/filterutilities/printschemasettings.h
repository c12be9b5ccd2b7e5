// The typed print settings a filter reads from its ticket view (XpsFilterPrintTicket): one
// plain record or enumeration per Print Schema feature, each in a namespace named after the
// feature. Lengths are micrometres, as in the Print Schema, unless a field says otherwise. A
// value id is a number of the driver's data model (DataModelIds::tagValueEnum).
//
// The imageable area record (PageImageableSize::PageImageableData) stands with the watermark
// records, which carry one.
//
// The option tables give each enumerator's Print Schema keyword (without prefix) at the
// enumerator's position; keywords compare case-sensitively.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>

namespace PrintSchema {

namespace JobDuplexAllDocumentsContiguously {
enum EDuplexOption : int32_t {
    OneSided = 0,
    TwoSidedLongEdge = 1,
    TwoSidedShortEdge = 2,
};
inline constexpr std::array<const WCHAR*, 3> kOptionNames = {u"OneSided", u"TwoSidedLongEdge",
                                                             u"TwoSidedShortEdge"};
} // namespace JobDuplexAllDocumentsContiguously

namespace PageOrientation {
enum EOrientationOption : int32_t {
    Landscape = 0,
    Portrait = 1,
    ReverseLandscape = 2,
    ReversePortrait = 3,
};
inline constexpr std::array<const WCHAR*, 4> kOptionNames = {
    u"Landscape", u"Portrait", u"ReverseLandscape", u"ReversePortrait"};
} // namespace PageOrientation

namespace PageMediaSize {
struct PageMediaSizeData {
    int32_t width = 215900;
    int32_t height = 279400;
};
} // namespace PageMediaSize

namespace OutputPaperSize {
struct OutputPaperSizeData {
    int32_t width = 215900;
    int32_t height = 279400;
    int32_t outputSizeValueId = 5001;
    // True when the size is the data model's own output size, false when it is the page
    // media size.
    bool fromDataModel = false;
};
} // namespace OutputPaperSize

namespace NUp {
struct NUpData {
    int32_t reserved1 = 0; // meaning not settled; always 0
    int32_t pagesPerSheet = 1;
    int32_t reserved3 = 0; // meaning not settled; always 0
    // The data model's two N-up option value ids (features 217 and 311).
    int32_t firstValueId = 7611;
    int32_t secondValueId = 8010;
};
} // namespace NUp

namespace PageScaling {
enum EScaleOption : int32_t {
    Custom = 0,
    CustomSquare = 1,
    FitApplicationBleedSizeToPageImageableSize = 2,
    FitApplicationContentSizeToPageImageableSize = 3,
    FitApplicationMediaSizeToPageImageableSize = 4,
    FitApplicationMediaSizeToPageMediaSize = 5,
    None = 6,
};
inline constexpr std::array<const WCHAR*, 7> kScaleOptionNames = {
    u"Custom",
    u"CustomSquare",
    u"FitApplicationBleedSizeToPageImageableSize",
    u"FitApplicationContentSizeToPageImageableSize",
    u"FitApplicationMediaSizeToPageImageableSize",
    u"FitApplicationMediaSizeToPageMediaSize",
    u"None"};

enum EAlignment : int32_t {
    BottomCenter = 0,
    BottomLeft = 1,
    BottomRight = 2,
    Center = 3,
    LeftCenter = 4,
    RightCenter = 5,
    TopCenter = 6,
    TopLeft = 7,
    TopRight = 8,
};
inline constexpr std::array<const WCHAR*, 9> kAlignmentNames = {
    u"BottomCenter", u"BottomLeft", u"BottomRight", u"Center",  u"LeftCenter",
    u"RightCenter",  u"TopCenter",  u"TopLeft",     u"TopRight"};

struct PageScalingData {
    EScaleOption scalingOption = None;
    int32_t offsetWidth = 0;
    int32_t offsetHeight = 0;
    int32_t scaleWidth = 100; // percent
    int32_t scaleHeight = 100;
    EAlignment alignment = Center;
    bool scalingActive = false;
    int32_t scalingValueId = 7261;
    int32_t secondValueId = 5600;
};
} // namespace PageScaling

namespace Binding {
enum EBindingOption : int32_t {
    Bale = 0,
    BindBottom = 1,
    BindLeft = 2,
    BindRight = 3,
    BindTop = 4,
    Booklet = 5,
    EdgeStitchBottom = 6,
    EdgeStitchLeft = 7,
    EdgeStitchRight = 8,
    EdgeStitchTop = 9,
    Fold = 10,
    JogOffset = 11,
    Trim = 12,
    None = 13,
};
inline constexpr std::array<const WCHAR*, 14> kBindingOptionNames = {u"Bale",
                                                                     u"BindBottom",
                                                                     u"BindLeft",
                                                                     u"BindRight",
                                                                     u"BindTop",
                                                                     u"Booklet",
                                                                     u"EdgeStitchBottom",
                                                                     u"EdgeStitchLeft",
                                                                     u"EdgeStitchRight",
                                                                     u"EdgeStitchTop",
                                                                     u"Fold",
                                                                     u"JogOffset",
                                                                     u"Trim",
                                                                     u"None"};

struct BindingData {
    int32_t reserved = 0; // meaning not settled; always 0
    EBindingOption bindingOption = None;
    // The booklet's two measures from the data model, in dots at 600 and at 1200 dots per
    // inch.
    int32_t firstBookletMeasure = 0;
    int32_t secondBookletMeasure = 0;
};
} // namespace Binding

} // namespace PrintSchema
