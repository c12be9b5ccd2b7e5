#include "winbase.h"

#include <cstdint>
#include <limits>

extern "C" int WINAPI MulDiv(int number, int numerator, int denominator) {
    if (denominator == 0) {
        return -1;
    }
    const int64_t product = int64_t{number} * numerator;
    int64_t quotient = product / denominator;
    const int64_t remainder = product % denominator;
    const int64_t magnitude = denominator < 0 ? -int64_t{denominator} : denominator;
    if (2 * (remainder < 0 ? -remainder : remainder) >= magnitude) {
        quotient += (product < 0) != (denominator < 0) ? -1 : 1;
    }
    if (quotient > std::numeric_limits<int>::max() || quotient < std::numeric_limits<int>::min()) {
        return -1;
    }
    return static_cast<int>(quotient);
}
