// Placeholder: forwards to the C library until the portable implementation lands.
#pragma once
#include <cmath>
namespace portable_math {
inline double sin(double x) { return std::sin(x); }
inline double cos(double x) { return std::cos(x); }
inline double exp2(double x) { return std::pow(2.0, x); }
inline double asin(double x) { return std::asin(x); }
}  // namespace portable_math
