#include <kldutil/dimension.h>

#include <kldutil/raise.h>

namespace {

// Micrometres per unit as numerator / denominator, indexed by UnitsEnum.
struct Ratio {
    double numerator;
    double denominator;
};
constexpr Ratio kMicrometresPerUnit[] = {
    {25400, 1}, {25400, 72}, {1000, 1}, {254, 1},     {25400, 96},   {10000, 1},
    {100, 1},   {10, 1},     {1, 1},    {25400, 600}, {25400, 1200},
};
static_assert(sizeof(kMicrometresPerUnit) / sizeof(kMicrometresPerUnit[0]) ==
              Dimension::Dot1200 + 1);

void CheckUnit(int unit, const char* function) {
    if (!Dimension::IsValidUnit(unit)) {
        kldutil::RaiseComError(E_INVALIDARG, __FILE__, __LINE__, function);
    }
}

} // namespace

Dimension::Dimension(double value, UnitsEnum unit) : m_value(value), m_unit(unit) {
    CheckUnit(unit, "Dimension::Dimension");
}

Number Dimension::GetValue(UnitsEnum unit) const {
    CheckUnit(unit, "Dimension::GetValue");
    if (unit == m_unit) {
        return Number(m_value);
    }
    // value * from.num / from.den * to.den / to.num, multiplied out first so that whole
    // factors cancel exactly (72 points are 25400 micrometres, not 25399.99...).
    const Ratio& from = kMicrometresPerUnit[m_unit];
    const Ratio& to = kMicrometresPerUnit[unit];
    return Number(m_value * from.numerator * to.denominator / (from.denominator * to.numerator));
}
