// A length with its unit. The driver's data model stores lengths as integer micrometres;
// paper sizes in a devmode are tenths of a millimetre, GDI works in inches and pixels.
// A Dimension keeps the value in the unit it was given and converts exactly by rational
// factors, so a value converted to a unit and back is the value given.
#pragma once

#include <kldutil/kldutilexport.h>
#include <kldutil/number.h>

class KLDUTIL_API Dimension {
public:
    // The unit numbers of the data model. Each is a whole number of micrometres divided by a
    // whole number:
    //
    //   number  unit                               micrometres
    //   0       inch                               25400
    //   1       point, 1/72 inch                   25400 / 72
    //   2       millimetre                         1000
    //   3       hundredth of an inch               254
    //   4       device-independent pixel, 1/96 in  25400 / 96
    //   5       centimetre                         10000
    //   6       tenth of a millimetre              100
    //   7       hundredth of a millimetre          10
    //   8       micrometre                         1
    //   9       device dot at 600 dpi, 1/600 in    25400 / 600
    //   10      device dot at 1200 dpi, 1/1200 in  25400 / 1200
    enum UnitsEnum : int {
        Inch = 0,
        Point = 1,
        Millimetre = 2,
        HundredthInch = 3,
        Pixel96 = 4,
        Centimetre = 5,
        TenthMillimetre = 6,
        HundredthMillimetre = 7,
        Micrometre = 8,
        Dot600 = 9,
        Dot1200 = 10,
    };

    // Zero micrometres.
    Dimension() = default;
    // A unit outside the table raises KeldanComException with E_INVALIDARG.
    Dimension(double value, UnitsEnum unit);

    UnitsEnum GetUnits() const { return m_unit; }
    // The length in the given unit; a unit outside the table raises as the constructor does.
    Number GetValue(UnitsEnum unit) const;

    static bool IsValidUnit(int unit) { return unit >= Inch && unit <= Dot1200; }

private:
    double m_value = 0.0;
    UnitsEnum m_unit = Micrometre;
};
