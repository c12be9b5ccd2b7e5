#include <filterutilities/pageimageablepchandler.h>

#include <filterutilities/errorconvention.h>
#include <filterutilities/pagemediasizeptpchelper.h>

#include <kldutil/bytebuffer.h>
#include <kldutil/setthreadtokenwrapper.h>

#include <wingdi.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>
#include <vector>

namespace {

using PrintSchema::PageImageableSize::PageImageableData;
using PrintSchema::PageOrientation::EOrientationOption;

// The data model's borderless settings: feature 311 for ordinary printing, feature 813 when the
// job is a booklet (feature 216).
constexpr AttributeBytesFeatureId kBooklet(216);
constexpr AttributeBytesFeatureId kBorderless(311);
constexpr AttributeBytesFeatureId kBookletBorderless(813);
constexpr int32_t kBorderlessOn = 8011;
constexpr int32_t kUnset = 0;

// The devmode of a page that has none: its size field says 256, and the buffer is that long so
// that a driver that trusts it reads nothing beyond.
constexpr WORD kLocalDevmodeSize = 256;

struct Margins {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
};

short TenthsOfMillimetre(int32_t micrometres) {
    return static_cast<short>(std::clamp(micrometres / 100, 0, int32_t{SHRT_MAX}));
}

// The devmode handed to the driver: a copy of the view's, or one of the page's size.
std::vector<BYTE> QueryDevmode(const ByteBuffer& held, int32_t width, int32_t height) {
    std::vector<BYTE> devmode;
    if (held.getDword() > 0) {
        devmode.assign(std::max<size_t>(held.getDword(), sizeof(DEVMODEW)), 0);
        std::memcpy(devmode.data(), held.getLpbyte(), held.getDword());
    } else {
        devmode.assign(kLocalDevmodeSize, 0);
        DEVMODEW local{};
        local.dmSize = kLocalDevmodeSize;
        local.dmPaperWidth = TenthsOfMillimetre(width);
        local.dmPaperLength = TenthsOfMillimetre(height);
        local.dmFields = DM_PAPERWIDTH | DM_PAPERLENGTH;
        std::memcpy(devmode.data(), &local, sizeof local);
    }
    const DWORD marker = CPageImageablePCHandler::kMarginsQueryMarker;
    std::memcpy(devmode.data() + offsetof(DEVMODEW, dmMediaType), &marker, sizeof marker);
    return devmode;
}

// One axis of the area: the origin stops at the page's edge, the extent at 0.
void Axis(int64_t size, int64_t before, int64_t after, int32_t& origin, int32_t& extent) {
    before = std::max<int64_t>(before, 0);
    after = std::max<int64_t>(after, 0);
    const int64_t page = std::max<int64_t>(size, 0);
    origin = static_cast<int32_t>(std::min(before, page));
    extent = static_cast<int32_t>(std::clamp<int64_t>(size - before - after, 0, page));
}

PageImageableData Area(EOrientationOption orientation, int32_t width, int32_t height,
                       const Margins& m) {
    PageImageableData area;
    switch (orientation) {
    case PrintSchema::PageOrientation::Landscape:
    case PrintSchema::PageOrientation::ReverseLandscape: {
        const bool reverse = orientation == PrintSchema::PageOrientation::ReverseLandscape;
        area.imageableSizeWidth = height;
        area.imageableSizeHeight = width;
        Axis(height, reverse ? m.top : m.bottom, reverse ? m.bottom : m.top, area.originWidth,
             area.extentWidth);
        Axis(width, reverse ? m.right : m.left, reverse ? m.left : m.right, area.originHeight,
             area.extentHeight);
        break;
    }
    default: {
        const bool reverse = orientation == PrintSchema::PageOrientation::ReversePortrait;
        area.imageableSizeWidth = width;
        area.imageableSizeHeight = height;
        Axis(width, reverse ? m.right : m.left, reverse ? m.left : m.right, area.originWidth,
             area.extentWidth);
        Axis(height, reverse ? m.bottom : m.top, reverse ? m.top : m.bottom, area.originHeight,
             area.extentHeight);
        break;
    }
    }
    return area;
}

} // namespace

CPageImageablePCHandler::~CPageImageablePCHandler() = default;

HRESULT CPageImageablePCHandler::GetData(const WCHAR* printer, void* userToken,
                                         const PrintSchema::PageMediaSize::PageMediaSizeData* media,
                                         PageImageableData* area) {
    if (!media || !area) {
        return E_POINTER;
    }
    if (!m_ticket) {
        return E_PENDING;
    }
    return CatchComException([&]() -> HRESULT {
        bool found = false;
        HRESULT status = S_OK;
        const EOrientationOption orientation = m_ticket->GetOrientation(&found, &status);

        const bool booklet = m_ticket->GetBooleanValueFromAttributeBytes(kBooklet);
        const int32_t borderless =
            booklet ? m_ticket->GetOptionValueFromAttributeBytes(kBookletBorderless, kUnset)
                    : m_ticket->GetOptionValueFromAttributeBytes(kBorderless, kUnset);
        Margins margins;
        HRESULT result = S_OK;
        if (borderless != kBorderlessOn) {
            std::vector<BYTE> devmode =
                QueryDevmode(m_ticket->GetDevmode(), media->width, media->height);
            int32_t written[4] = {};
            int answer = 0;
            {
                const SetThreadTokenWrapper asUser(userToken);
                answer = DeviceCapabilitiesW(printer, nullptr,
                                             PageMediaSizePtPcHelper::kMarginsCapability,
                                             reinterpret_cast<LPWSTR>(written),
                                             reinterpret_cast<const DEVMODEW*>(devmode.data()));
            }
            margins = Margins{written[0], written[1], written[2], written[3]};
            if (answer != 16) {
                result = E_FAIL;
            }
        }
        *area = Area(orientation, media->width, media->height, margins);
        return result;
    });
}

HRESULT
CPageImageablePCHandler::GetData(const WCHAR* printer, void* userToken,
                                 const PrintSchema::OutputPaperSize::OutputPaperSizeData* paper,
                                 PageImageableData* area) {
    if (!paper) {
        return E_POINTER;
    }
    PrintSchema::PageMediaSize::PageMediaSizeData media;
    media.width = paper->width;
    media.height = paper->height;
    return GetData(printer, userToken, &media, area);
}
