#include <kldutil/number.h>

#include <cmath>
#include <limits>

int32_t Number::GetIntValue(double roundingOffset) const {
    if (std::isnan(m_value)) {
        return 0;
    }
    const double magnitude = std::floor(std::fabs(m_value) + roundingOffset);
    const double rounded = m_value < 0 ? -magnitude : magnitude;
    if (rounded >= static_cast<double>(std::numeric_limits<int32_t>::max())) {
        return std::numeric_limits<int32_t>::max();
    }
    if (rounded <= static_cast<double>(std::numeric_limits<int32_t>::min())) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(rounded);
}
