// A number as the driver's data model reads it: a double with the model's rounding to int.
#pragma once

#include <kldutil/kldutilexport.h>

#include <cstdint>

class KLDUTIL_API Number {
public:
    Number() = default;
    Number(double value) : m_value(value) {}

    double GetDoubleValue() const { return m_value; }

    // Rounds to the nearest integer, with halves decided by roundingOffset: the magnitude is
    // floor(|value| + roundingOffset) and the sign is kept, so 0.5 rounds halves away from
    // zero and 0.499999 (the data model's usual choice) rounds them towards zero. Values
    // beyond the int range saturate at INT_MIN or INT_MAX; NaN gives 0.
    int32_t GetIntValue(double roundingOffset) const;

private:
    double m_value = 0.0;
};
