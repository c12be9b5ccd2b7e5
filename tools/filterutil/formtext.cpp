#include "formtext.h"

#include "text.h"

namespace filterutil {

std::string FormName(const _tag_FormsInfoRec& form) {
    std::u16string name;
    for (size_t i = 0; i + 1 < sizeof form.reserved3; i += 2) {
        const auto unit = static_cast<char16_t>(form.reserved3[i] | (form.reserved3[i + 1] << 8));
        if (unit == 0) {
            break;
        }
        name += unit;
    }
    return ToUtf8(name);
}

const char* FormKindName(int32_t kind) {
    switch (kind) {
    case PageMediaSizePtPcHelper::DriverForm:
        return "driver form";
    case PageMediaSizePtPcHelper::HiddenForm:
        return "hidden form";
    case PageMediaSizePtPcHelper::DriverCustomSize:
        return "driver custom size";
    case PageMediaSizePtPcHelper::SystemForm:
        return "system form";
    case PageMediaSizePtPcHelper::UserForm:
        return "user form";
    case PageMediaSizePtPcHelper::CustomSizeRecord:
        return "custom size";
    default:
        return "unknown kind";
    }
}

} // namespace filterutil
