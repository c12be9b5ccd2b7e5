#include <filterutilities/xpsfilterprintticket.h>

#include <filterutilities/errorconvention.h>

#include <kldutil/dimension.h>
#include <kldutil/number.h>

#include <atlbase.h>
#include <oleauto.h>

#include <string_view>

namespace {

using namespace PrintSchema;

// Features of the driver's data model that the settings are read from.
namespace Feature {
constexpr AttributeBytesFeatureId BindingEdge(51);
constexpr AttributeBytesFeatureId SecondScalingOption(88);
constexpr AttributeBytesFeatureId ScalePercent(160);
constexpr AttributeBytesFeatureId ScalingAlignment(161);
constexpr AttributeBytesFeatureId OutputSizeDimensions(164);
constexpr AttributeBytesFeatureId OutputSizeId(168);
constexpr AttributeBytesFeatureId OutputSizeWidth(172);
constexpr AttributeBytesFeatureId OutputSizeHeight(173);
constexpr AttributeBytesFeatureId OutputSize(210);
constexpr AttributeBytesFeatureId PagesPerSheet(215);
constexpr AttributeBytesFeatureId Booklet(216);
constexpr AttributeBytesFeatureId NUpFirstOption(217);
constexpr AttributeBytesFeatureId ScalingOption(219);
constexpr AttributeBytesFeatureId NUpSecondOption(311);
constexpr AttributeBytesFeatureId BookletFirstMeasure(312);
constexpr AttributeBytesFeatureId BookletSecondMeasure(313);
constexpr AttributeBytesFeatureId OutputPaper(477);
constexpr AttributeBytesFeatureId OutputSizeMode(751);
} // namespace Feature

// Value ids of the data model that the settings depend on.
namespace Value {
// Any value that is none of the ids below: the answer for a steering feature that is absent.
constexpr int32_t Unset = 0;
constexpr int32_t OutputSizeSameAsMedia = 5001;
constexpr int32_t SecondScalingDefault = 5600;
constexpr int32_t BindRightEdge = 5461;
constexpr int32_t OutputSizeUnscaled = 6732;
constexpr int32_t ScalingOff = 7261;
constexpr int32_t PagesPerSheetOne = 7240;
constexpr int32_t PagesPerSheetTwo = 7241;
constexpr int32_t PagesPerSheetFour = 7242;
constexpr int32_t PagesPerSheetSix = 7243;
constexpr int32_t PagesPerSheetNine = 7244;
constexpr int32_t PagesPerSheetSixteen = 7245;
constexpr int32_t AlignCenter = 7467;
constexpr int32_t OutputSizeOwn = 9685;
} // namespace Value

constexpr double kRoundHalfDown = 0.499999;

PageScaling::EAlignment AlignmentOf(int32_t valueId) {
    switch (valueId) {
    case 7460:
        return PageScaling::TopLeft;
    case 7461:
        return PageScaling::LeftCenter;
    case 7462:
        return PageScaling::BottomLeft;
    case 7463:
        return PageScaling::TopRight;
    case 7464:
        return PageScaling::RightCenter;
    case 7465:
        return PageScaling::BottomRight;
    case 7466:
        return PageScaling::TopCenter;
    case 7468:
        return PageScaling::BottomCenter;
    default:
        return PageScaling::Center;
    }
}

int32_t PagesPerSheetOf(int32_t valueId) {
    switch (valueId) {
    case Value::PagesPerSheetTwo:
        return 2;
    case Value::PagesPerSheetFour:
        return 4;
    case Value::PagesPerSheetSix:
        return 6;
    case Value::PagesPerSheetNine:
        return 9;
    case Value::PagesPerSheetSixteen:
        return 16;
    default:
        return 1;
    }
}

// A data-model length (micrometres) in another unit, rounded with halves toward zero.
int32_t LengthIn(int32_t micrometres, Dimension::UnitsEnum unit) {
    return Dimension(micrometres, Dimension::Micrometre).GetValue(unit).GetIntValue(kRoundHalfDown);
}

} // namespace

XpsFilterPrintTicket::XpsFilterPrintTicket() = default;

XpsFilterPrintTicket::~XpsFilterPrintTicket() = default;

bool XpsFilterPrintTicket::IsCurrent(const PtChangeCounter& counter) const noexcept {
    return m_changeCounter.IsInitialized() && counter == m_changeCounter;
}

template <class Value, class Compute>
const Value& XpsFilterPrintTicket::Lookup(SettingCache<Value>& cache, const Value& initial,
                                          bool* found, HRESULT* status, EFilterPtScope* source,
                                          Compute&& compute) {
    HRESULT hr = S_OK;
    if (!IsCurrent(cache.counter)) {
        Value value = initial;
        std::optional<EFilterPtScope> from;
        hr = CatchComException([&] { return compute(value, from); });
        // A setting read only in part is no setting: a failure leaves the defaults.
        cache.value = SUCCEEDED(hr) ? value : initial;
        cache.source = SUCCEEDED(hr) ? from : std::nullopt;
        if (SUCCEEDED(hr)) {
            cache.counter = m_changeCounter;
        }
    }
    const HRESULT returned = DoStandardStatusReturnProcessing(hr, found, status);
    if (FAILED(returned)) {
        FU_THROW_HR(returned);
    }
    if (source && SUCCEEDED(hr) && cache.source) {
        *source = *cache.source;
    }
    return cache.value;
}

const AttributeBytesIndexedList* XpsFilterPrintTicket::OwnOutputSize() {
    if (GetOptionValueFromAttributeBytes(Feature::OutputSizeMode, Value::Unset) !=
        Value::OutputSizeOwn) {
        return nullptr;
    }
    return &GetAttributeBytesIndexedListRef()
                .GetCollection(Feature::OutputPaper)
                .GetCollection(Feature::OutputSize);
}

std::optional<XpsFilterPrintTicketBase::EFilterPtScope> XpsFilterPrintTicket::DataModelSource() {
    EFilterPtScope source = DefaultPtScope;
    return GetAttributeBytesSource(&source) ? std::optional(source) : std::nullopt;
}

template <class Option, size_t Count>
HRESULT XpsFilterPrintTicket::ReadOption(const WCHAR* feature,
                                         const std::array<const WCHAR*, Count>& names,
                                         Option& value, std::optional<EFilterPtScope>& source) {
    CComBSTR name(feature);
    CComBSTR option;
    EFilterPtScope from = DefaultPtScope;
    const HRESULT hr = XpsFilterGetFeatureOption(name, &option, nullptr, &from);
    if (SUCCEEDED(hr)) {
        // An exact comparison of the whole keyword, as VarBstrCmp makes it with no flags.
        const std::u16string_view keyword(option.m_str, option.Length());
        for (size_t index = 0; index < Count; ++index) {
            if (keyword == names[index]) {
                value = static_cast<Option>(index);
                break;
            }
        }
        source = from;
    }
    return hr;
}

JobDuplexAllDocumentsContiguously::EDuplexOption
XpsFilterPrintTicket::GetDuplex(bool* found, HRESULT* status, EFilterPtScope* source) {
    using namespace JobDuplexAllDocumentsContiguously;
    return Lookup(m_duplex, OneSided, found, status, source, [&](EDuplexOption& value, auto& from) {
        return ReadOption(u"JobDuplexAllDocumentsContiguously", kOptionNames, value, from);
    });
}

PageOrientation::EOrientationOption
XpsFilterPrintTicket::GetOrientation(bool* found, HRESULT* status, EFilterPtScope* source) {
    using namespace PageOrientation;
    return Lookup(m_orientation, Portrait, found, status, source,
                  [&](EOrientationOption& value, auto& from) {
                      return ReadOption(u"PageOrientation", kOptionNames, value, from);
                  });
}

const PageScaling::PageScalingData&
XpsFilterPrintTicket::GetPageScaling(bool* found, HRESULT* status, EFilterPtScope* source) {
    return Lookup(
        m_pageScaling, PageScaling::PageScalingData{}, found, status, source,
        [&](PageScaling::PageScalingData& value, auto& from) {
            HRESULT hr = S_OK;
            int32_t alignment = Value::AlignCenter;
            int32_t percent = 100;
            if (GetAttributeBytesIndexedListRef().IsEmpty()) {
                hr = S_FALSE;
            } else {
                value.scalingValueId = GetOptionValueFromAttributeBytes(Feature::ScalingOption);
                percent = GetIntegerValueFromAttributeBytes(Feature::ScalePercent);
                value.scalingActive = value.scalingValueId != Value::ScalingOff;
                alignment = GetOptionValueFromAttributeBytes(Feature::ScalingAlignment);
                from = DataModelSource();
            }
            value.alignment = AlignmentOf(alignment);
            // Printing at an output size that is the media's, or unscaled, is no scaling,
            // whatever the scaling option says.
            if (const AttributeBytesIndexedList* size = OwnOutputSize()) {
                const int32_t sizeId = size->GetOptionValueOrNewId(Feature::OutputSizeId);
                if (sizeId == Value::OutputSizeUnscaled || sizeId == Value::OutputSizeSameAsMedia) {
                    value.scalingActive = false;
                }
            }
            value.scaleWidth = percent;
            value.scaleHeight = percent;
            value.scalingOption = PageScaling::FitApplicationMediaSizeToPageMediaSize;
            value.secondValueId = GetOptionValueFromAttributeBytes(Feature::SecondScalingOption,
                                                                   Value::SecondScalingDefault);
            return hr;
        });
}

const PageMediaSize::PageMediaSizeData&
XpsFilterPrintTicket::GetPageMediaSize(bool* found, HRESULT* status, EFilterPtScope* source) {
    return Lookup(
        m_pageMediaSize, PageMediaSize::PageMediaSizeData{}, found, status, source,
        [&](PageMediaSize::PageMediaSizeData& value, auto& from) {
            if (GetAttributeBytesIndexedListRef().IsEmpty()) {
                return S_FALSE;
            }
            CComBSTR feature(u"PageMediaSize");
            CComBSTR width(u"MediaSizeWidth");
            CComBSTR height(u"MediaSizeHeight");
            EFilterPtScope answered = DefaultPtScope;
            HRESULT hr = XpsFilterGetScoredPropertyValue(feature, width, &value.width, &answered);
            if (SUCCEEDED(hr)) {
                hr = XpsFilterGetScoredPropertyValue(feature, height, &value.height, &answered);
            }
            if (SUCCEEDED(hr)) {
                from = answered;
            }
            return hr;
        });
}

const Binding::BindingData& XpsFilterPrintTicket::GetBookletBinding(bool* found, HRESULT* status,
                                                                    EFilterPtScope* source) {
    return Lookup(
        m_bookletBinding, Binding::BindingData{}, found, status, source,
        [&](Binding::BindingData& value, auto& from) {
            bool specified = false;
            const bool booklet = GetBooleanValueFromAttributeBytes(Feature::Booklet, &specified);
            if (specified && booklet) {
                value.bindingOption =
                    GetOptionValueFromAttributeBytes(Feature::BindingEdge, Value::Unset) ==
                            Value::BindRightEdge
                        ? Binding::BindRight
                        : Binding::BindLeft;
            }
            if (IsSpecifiedInAttributeBytes(Feature::BookletFirstMeasure)) {
                value.firstBookletMeasure =
                    LengthIn(GetIntegerValueFromAttributeBytes(Feature::BookletFirstMeasure),
                             Dimension::Dot600);
            }
            if (IsSpecifiedInAttributeBytes(Feature::BookletSecondMeasure)) {
                value.secondBookletMeasure =
                    LengthIn(GetIntegerValueFromAttributeBytes(Feature::BookletSecondMeasure),
                             Dimension::Dot1200);
            }
            from = DataModelSource();
            return S_OK;
        });
}

const NUp::NUpData& XpsFilterPrintTicket::GetNUp(bool* found, HRESULT* status,
                                                 EFilterPtScope* source) {
    return Lookup(
        m_nUp, NUp::NUpData{}, found, status, source, [&](NUp::NUpData& value, auto& from) {
            value.pagesPerSheet = PagesPerSheetOf(
                GetOptionValueFromAttributeBytes(Feature::PagesPerSheet, Value::PagesPerSheetOne));
            value.firstValueId =
                GetOptionValueFromAttributeBytes(Feature::NUpFirstOption, value.firstValueId);
            value.secondValueId =
                GetOptionValueFromAttributeBytes(Feature::NUpSecondOption, value.secondValueId);
            from = DataModelSource();
            return S_OK;
        });
}

const OutputPaperSize::OutputPaperSizeData&
XpsFilterPrintTicket::GetOutputPaperSize(bool* found, HRESULT* status, EFilterPtScope* source) {
    return Lookup(
        m_outputPaperSize, OutputPaperSize::OutputPaperSizeData{}, found, status, source,
        [&](OutputPaperSize::OutputPaperSizeData& value, auto& from) {
            if (GetAttributeBytesIndexedListRef().IsEmpty()) {
                return S_FALSE;
            }
            const AttributeBytesIndexedList* size = OwnOutputSize();
            const int32_t sizeId = size ? size->GetOptionValueOrNewId(Feature::OutputSizeId)
                                        : Value::OutputSizeSameAsMedia;
            if (sizeId != Value::OutputSizeSameAsMedia) {
                const AttributeBytesIndexedList& dimensions =
                    size->GetCollection(Feature::OutputSizeDimensions);
                value.width = LengthIn(dimensions.GetIntegerValue(Feature::OutputSizeWidth),
                                       Dimension::Micrometre);
                value.height = LengthIn(dimensions.GetIntegerValue(Feature::OutputSizeHeight),
                                        Dimension::Micrometre);
                value.outputSizeValueId = sizeId;
                value.fromDataModel = true;
                from = DataModelSource();
                return S_OK;
            }
            // The page media size, with its outcome as the output paper size's own.
            bool mediaFound = false;
            HRESULT mediaStatus = S_OK;
            const PageMediaSize::PageMediaSizeData& media =
                GetPageMediaSize(&mediaFound, &mediaStatus);
            value.width = media.width;
            value.height = media.height;
            if (SUCCEEDED(mediaStatus)) {
                from = m_pageMediaSize.source;
            }
            return mediaStatus;
        });
}
