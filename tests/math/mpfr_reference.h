// The correctly rounded sin, cos, 2^x and asin of a double, from MPFR (GNU MPFR, Debian's
// libmpfr-dev): the reference portable_math is held to, for the native tests and tools only.
//
// MPFR computes each result correctly rounded to 53 bits; with the exponent range set to that
// of double (emin -1073, emax 1024) and mpfr_subnormalize, subnormal results are rounded once,
// at their own precision, and overflow gives +Inf, as IEEE 754 rounding to nearest does.
//
// MidpointDistance measures how hard an input is to round: the distance, in ulps of the result,
// from the exact value to the nearest midpoint between two doubles (0.5 for a value on a double,
// tiny for a hard case), from a 400-bit evaluation.
#pragma once

#include <mpfr.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "tests/math/portable_math_inputs.h"

namespace mpfr_reference {

using Function = portable_math_inputs::Function;

inline const char* Name(Function function) {
  switch (function) {
    case Function::kSin:
      return "sin";
    case Function::kCos:
      return "cos";
    case Function::kExp2:
      return "exp2";
    default:
      return "asin";
  }
}

inline int Evaluate(Function function, mpfr_ptr result, mpfr_srcptr argument) {
  switch (function) {
    case Function::kSin:
      return mpfr_sin(result, argument, MPFR_RNDN);
    case Function::kCos:
      return mpfr_cos(result, argument, MPFR_RNDN);
    case Function::kExp2:
      return mpfr_exp2(result, argument, MPFR_RNDN);
    default:
      return mpfr_asin(result, argument, MPFR_RNDN);
  }
}

// One per thread: MPFR's exponent range and these variables are per thread.
class Reference {
 public:
  Reference() {
    mpfr_set_emin(-1073);
    mpfr_set_emax(1024);
    mpfr_inits2(53, m_argument, m_result, static_cast<mpfr_ptr>(nullptr));
    mpfr_inits2(400, m_wide, m_wide_argument, m_midpoint, static_cast<mpfr_ptr>(nullptr));
  }
  ~Reference() {
    mpfr_clears(m_argument, m_result, m_wide, m_wide_argument, m_midpoint,
                static_cast<mpfr_ptr>(nullptr));
  }
  Reference(const Reference&) = delete;
  Reference& operator=(const Reference&) = delete;

  // The correctly rounded f(x) (NaN where f is not defined).
  double Rounded(Function function, double x) {
    mpfr_set_d(m_argument, x, MPFR_RNDN);
    int ternary = Evaluate(function, m_result, m_argument);
    ternary = mpfr_subnormalize(m_result, ternary, MPFR_RNDN);
    return mpfr_get_d(m_result, MPFR_RNDN);
  }

  // The distance from f(x) to the nearest midpoint, in ulps of the rounded result (for a finite,
  // nonzero result; 0.5 if f(x) is a double itself, or is not finite).
  double MidpointDistance(Function function, double x) {
    const double rounded = Rounded(function, x);
    if (!std::isfinite(rounded) || rounded == 0.0) return 0.5;
    // The differences below fall far under double's exponent range near the subnormals.
    const mpfr_exp_t emin = mpfr_get_emin();
    mpfr_set_emin(mpfr_get_emin_min());
    mpfr_set_d(m_wide_argument, x, MPFR_RNDN);
    Evaluate(function, m_wide, m_wide_argument);
    if (mpfr_cmp_d(m_wide, rounded) == 0) {
      mpfr_set_emin(emin);
      return 0.5;
    }
    // The spacing of the doubles at the rounded value on the side of the exact value.
    const double toward = mpfr_cmp_d(m_wide, rounded) > 0 ? INFINITY : -INFINITY;
    const double neighbour = std::nextafter(rounded, toward);
    const double spacing = std::fabs(neighbour - rounded);
    mpfr_set_d(m_midpoint, rounded, MPFR_RNDN);
    mpfr_add_d(m_midpoint, m_midpoint, neighbour, MPFR_RNDN);  // exact at 400 bits
    mpfr_div_2ui(m_midpoint, m_midpoint, 1, MPFR_RNDN);
    mpfr_sub(m_midpoint, m_wide, m_midpoint, MPFR_RNDN);
    mpfr_abs(m_midpoint, m_midpoint, MPFR_RNDN);
    mpfr_div_d(m_midpoint, m_midpoint, spacing, MPFR_RNDN);
    const double distance = mpfr_get_d(m_midpoint, MPFR_RNDN);
    mpfr_set_emin(emin);
    return distance;
  }

 private:
  mpfr_t m_argument;
  mpfr_t m_result;
  mpfr_t m_wide;
  mpfr_t m_wide_argument;
  mpfr_t m_midpoint;
};

}  // namespace mpfr_reference
