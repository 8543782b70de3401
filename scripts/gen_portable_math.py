#!/usr/bin/env python3
"""Writes se_sdk/portable_math_tables.h: every constant and table of se_sdk/portable_math.h.

Why this exists: the portable maths functions must give the same bits on every target, so they
cannot take their constants from the C library either, and constants typed in from memory are
the easiest place for a silent error. Everything here is derived from first principles with
exact integer and rational arithmetic (Python's standard library only):

  pi        Machin's formula pi/4 = 4 atan(1/5) - atan(1/239) in 2000-bit fixed point.
  sin, cos  Taylor series in fixed point, for the table sin(j pi/64), j = 0..127.
  2^(j/64)  exact integer 64th roots (Newton's method on integers, floor of the true value).
  ln 2      the series ln 2 = sum 1/(k 2^k).
  asin      the Taylor series of asin, economised to a short polynomial with Chebyshev
            polynomials in exact rational arithmetic.

Every double is written as a C++17 hexadecimal literal, rounded to nearest from the exact value
(Python's float(Fraction) rounds correctly), so the header states the bits and nothing is left to
a compiler's decimal conversion.

The script also checks the error budget it was designed for and prints it: the truncation error
of each polynomial and the closest approach of a double below the Cody-Waite limit to a multiple
of pi/2. It fails if a bound is not met.

Usage: python3 scripts/gen_portable_math.py [output path]   (default se_sdk/portable_math_tables.h)
"""

import os
import sys
from fractions import Fraction

FIXED_BITS = 2000  # fixed-point precision of the intermediate values
ONE = 1 << FIXED_BITS

# ---- Design parameters, shared with portable_math.h ---------------------------------------------
SIN_TABLE_STEPS = 64  # the sine table holds sin(j * pi / 64)
SIN_TABLE_SIZE = 2 * SIN_TABLE_STEPS  # one full turn: j = 0..127
CODY_WAITE_PART_BITS = 27  # k * part is exact for k < 2^26
CODY_WAITE_LIMIT_EXPONENT = 21  # the Cody-Waite path serves |x| < 2^21
EXP2_TABLE_SIZE = 64  # 2^x = 2^(m + j/64 + r)
INV_PI_WORDS = 60  # 32-bit words of 64/pi for the Payne-Hanek reductions (fast and accurate)
# The accurate paths (the fallback of Ziv's rounding test) work in fixed point: two's complement
# over 32-bit limbs, least significant first, the last limb the integer part. Level 1 has
# FIXED_LIMBS limbs (288 fraction bits), level 2 FIXED_LIMBS_WIDE (800 fraction bits).
FIXED_LIMBS = 10
FIXED_LIMBS_WIDE = 26
FIXED_SIN_ENTRIES = SIN_TABLE_STEPS // 2 + 1  # sin(j pi/64), j = 0..32: a quadrant
FIXED_INV_FACTORIALS = 52  # 1/k!, k = 0..51: the Taylor series of sin, cos (to 1/33!) and e^t


# ---- Exact arithmetic -----------------------------------------------------------------------------
def fixed_atan_inv(n):
    """atan(1/n) * 2^FIXED_BITS, truncated term by term (error: a few units in the last place)."""
    total = 0
    power = ONE // n  # 1/n^(2k+1)
    n2 = n * n
    k = 0
    while power:
        term = power // (2 * k + 1)
        total += -term if k % 2 else term
        power //= n2
        k += 1
    return total


def fixed_pi():
    return 4 * (4 * fixed_atan_inv(5) - fixed_atan_inv(239))


PI = Fraction(fixed_pi(), ONE)  # error below 2^-1990


def fixed_sin_cos(angle):
    """(sin, cos) of a Fraction angle in [0, pi/2] as Fractions, error below 2^-1990."""
    x = angle.numerator * ONE // angle.denominator
    sin_total, cos_total = 0, 0
    term = ONE  # x^n / n!
    n = 0
    while term:
        if n % 4 == 0:
            cos_total += term
        elif n % 4 == 1:
            sin_total += term
        elif n % 4 == 2:
            cos_total -= term
        else:
            sin_total -= term
        n += 1
        term = term * x // ONE // n
    return Fraction(sin_total, ONE), Fraction(cos_total, ONE)


def integer_root(value, degree):
    """floor(value^(1/degree)) for a positive integer, by Newton's method on integers."""
    guess = 1 << ((value.bit_length() + degree - 1) // degree)  # above the root
    while True:
        better = ((degree - 1) * guess + value // guess ** (degree - 1)) // degree
        if better >= guess:
            return guess
        guess = better


def fixed_ln2():
    total = 0
    k = 1
    while True:
        term = ONE // (k << k)
        if not term:
            return Fraction(total, ONE)
        total += term
        k += 1


def binary_exponent(value):
    """floor(log2(|value|)) of a nonzero Fraction."""
    value = abs(value)
    exponent = value.numerator.bit_length() - value.denominator.bit_length()
    if Fraction(2) ** exponent > value:
        exponent -= 1
    return exponent


def round_to_bits(value, bits):
    """value rounded to nearest with `bits` significant bits (ties away from zero; none occur)."""
    if value == 0:
        return Fraction(0)
    quantum = Fraction(2) ** (binary_exponent(value) - bits + 1)
    scaled = value / quantum
    whole = (abs(scaled.numerator) * 2 + scaled.denominator) // (2 * scaled.denominator)
    return (whole if value > 0 else -whole) * quantum


def to_double(value):
    result = float(value)
    assert Fraction(result) == round_to_bits(value, 53) or binary_exponent(value) < -1022
    return result


def split_double_double(value):
    high = to_double(value)
    low = to_double(value - Fraction(high))
    return high, low


def fixed_limbs(value, limbs):
    """value (a Fraction, 0 <= value < 2^31) in fixed point with limbs - 1 fraction limbs of 32
    bits, rounded to nearest, as 32-bit words least significant first."""
    scaled = value * (1 << (32 * (limbs - 1)))
    integer = (scaled.numerator * 2 + scaled.denominator) // (2 * scaled.denominator)
    assert 0 <= integer < 1 << (32 * limbs - 1)
    return [(integer >> (32 * i)) & 0xFFFFFFFF for i in range(limbs)]


def hex_literal(value):
    """A C++ hexadecimal floating literal with the exact bits of a double (or of a Fraction that
    is one)."""
    if isinstance(value, Fraction):
        assert Fraction(to_double(value)) == value
        value = to_double(value)
    if value == 0:
        return "-0.0" if str(value).startswith("-") else "0.0"
    return value.hex()


# ---- Polynomials ----------------------------------------------------------------------------------
def factorial(n):
    result = 1
    for k in range(2, n + 1):
        result *= k
    return result


def chebyshev_economise(coefficients, interval_end, degree):
    """Economises the power series sum c_n z^n on [0, interval_end] to `degree`.

    The series is rewritten in Chebyshev polynomials T_k(u) with z = interval_end (u + 1) / 2,
    cut after T_degree and turned back into powers of z. Returns the new coefficients and the
    bound on the dropped Chebyshev terms (sum of their absolute values)."""
    count = len(coefficients)
    half = interval_end / 2
    # Powers of u: p(z) = sum c_n (half (u + 1))^n = sum d_m u^m.
    in_u = [Fraction(0)] * count
    binomial_row = [1]
    for n, c in enumerate(coefficients):
        if n:
            binomial_row = [1] + [binomial_row[i] + binomial_row[i + 1] for i in range(n - 1)] + [1]
        scale = c * half**n
        for m in range(n + 1):
            in_u[m] += scale * binomial_row[m]
    # u^m = 2^(1-m) sum_{j} binom(m, j) T_{|m - 2j|}, with the m = 0 case 1 = T_0.
    chebyshev = [Fraction(0)] * count
    for m, d in enumerate(in_u):
        if d == 0:
            continue
        binomial = 1
        for j in range(m + 1):
            k = abs(m - 2 * j)
            chebyshev[k] += d * binomial / Fraction(2) ** m
            binomial = binomial * (m - j) // (j + 1)
    dropped = sum(abs(t) for t in chebyshev[degree + 1 :])
    # Back to powers of u, then of z: u = z / half - 1.
    t_prev, t_curr = [Fraction(1)], [Fraction(0), Fraction(1)]
    kept_u = [Fraction(0)] * (degree + 1)
    for k in range(degree + 1):
        poly = t_prev if k == 0 else t_curr
        for m, a in enumerate(poly):
            kept_u[m] += chebyshev[k] * a
        if k >= 1:
            t_next = [Fraction(0)] + [2 * a for a in t_curr]
            for m, a in enumerate(t_prev):
                t_next[m] -= a
            t_prev, t_curr = t_curr, t_next
    in_z = [Fraction(0)] * (degree + 1)
    binomial_row = [1]
    for m, a in enumerate(kept_u):
        if m:
            binomial_row = [1] + [binomial_row[i] + binomial_row[i + 1] for i in range(m - 1)] + [1]
        # (z / half - 1)^m = sum_i binom(m, i) (z / half)^i (-1)^(m - i)
        for i in range(m + 1):
            in_z[i] += a * binomial_row[i] * (-1) ** (m - i) / half**i
    return in_z, dropped


def max_error_on_grid(approximation, exact, interval_end, points):
    worst = Fraction(0)
    for i in range(points + 1):
        z = interval_end * i / points
        worst = max(worst, abs(approximation(z) - exact(z)))
    return worst


def horner(coefficients, z):
    total = Fraction(0)
    for c in reversed(coefficients):
        total = total * z + Fraction(c)
    return total


# ---- Checks of the reduction ---------------------------------------------------------------------
def closest_to_half_pi_multiple(exponent):
    """A lower bound of |x - k pi/2| over doubles x in [2^exponent, 2^(exponent+1)), k integer.

    The doubles there are m 2^(e-52) with 2^52 <= m < 2^53, so the distance is
    2^(e-52) |k alpha - m| with alpha = (pi/2) 2^(52-e). The smallest |k alpha - m| over
    1 <= k <= K is reached at a continued-fraction denominator of alpha (best approximations),
    which bounds the distance from below."""
    alpha = PI / 2 * Fraction(2) ** (52 - exponent)
    k_max = int(Fraction(2) ** (exponent + 1) / (PI / 2)) + 1
    p_prev, q_prev, p, q = 1, 0, int(alpha), 1
    rest = alpha - int(alpha)
    best = abs(q * alpha - p)
    while rest:
        rest = 1 / rest
        a = int(rest)
        rest -= a
        p_prev, q_prev, p, q = p, q, a * p + p_prev, a * q + q_prev
        if q > k_max:
            break
        best = min(best, abs(q * alpha - p))
    return best * Fraction(2) ** (exponent - 52)


# ---- The tables ------------------------------------------------------------------------------------
def generate():
    lines = []
    checks = []

    def emit(text=""):
        lines.append(text)

    def emit_double(name, value, comment=None):
        if comment:
            emit(f"// {comment}")
        emit(f"inline constexpr double {name} = {hex_literal(value)};")

    def emit_array(name, values, comment, per_line=3):
        emit(f"// {comment}")
        emit(f"inline constexpr double {name}[{len(values)}] = {{")
        for i in range(0, len(values), per_line):
            emit("    " + " ".join(hex_literal(v) + "," for v in values[i : i + per_line]))
        emit("};")

    # -- sine and cosine
    step = PI / SIN_TABLE_STEPS
    quarter = SIN_TABLE_STEPS // 2
    first_quadrant = [fixed_sin_cos(step * j)[0] for j in range(quarter + 1)]
    first_quadrant[0] = Fraction(0)
    first_quadrant[quarter] = Fraction(1)
    sine_values = []
    for j in range(SIN_TABLE_SIZE):
        half_turn, offset = divmod(j, SIN_TABLE_STEPS)
        value = first_quadrant[offset if offset <= quarter else SIN_TABLE_STEPS - offset]
        sine_values.append(-value if half_turn else value)
    sine_high, sine_low = zip(*(split_double_double(v) for v in sine_values))

    parts = []
    remainder = step
    for _ in range(3):
        part = round_to_bits(remainder, CODY_WAITE_PART_BITS)
        parts.append(part)
        remainder -= part
    parts.append(Fraction(to_double(remainder)))
    representation_error = abs(step - sum(parts)) / step
    step_high, step_low = split_double_double(step)

    k_max = int(Fraction(2) ** CODY_WAITE_LIMIT_EXPONENT / step) + 1
    assert k_max < 2 ** (53 - CODY_WAITE_PART_BITS), "k * part would not be exact"
    # Near a multiple of pi/2 the result is about the reduced value r, so there r must be right
    # to the last bit. Per binade [2^e, 2^(e+1)), the constant's error k (pi/64 - parts) is
    # below 2^(e+1) times its relative error; compare it with the closest approach of r to 0.
    # (Below 1 only k = 0 is near a multiple of pi/2, and then r = x exactly.)
    worst_ratio, closest_overall = Fraction(0), None
    for exponent in range(0, CODY_WAITE_LIMIT_EXPONENT):
        closest = closest_to_half_pi_multiple(exponent)
        ratio = Fraction(2) ** (exponent + 1) * representation_error / closest
        worst_ratio = max(worst_ratio, ratio)
        closest_overall = closest if closest_overall is None else min(closest_overall, closest)
    checks.append(
        f"Cody-Waite: pi/64 in 3 x {CODY_WAITE_PART_BITS} + 53 bits, relative error "
        f"2^{binary_exponent(representation_error)}. For |x| < 2^{CODY_WAITE_LIMIT_EXPONENT} "
        f"(k < 2^{k_max.bit_length()}) the reduced value is at least "
        f"2^{binary_exponent(closest_overall)} near multiples of pi/2 (continued fractions, per "
        f"binade), and the constant's error is at most 2^{binary_exponent(worst_ratio)} of it"
    )
    assert worst_ratio < Fraction(1, 2**64)

    # Taylor polynomials on |r| <= pi/128 (+ slack for the rounding of k).
    r_max = step / 2 * Fraction(1001, 1000)
    sin_coefficients = [Fraction((-1) ** n, factorial(2 * n + 1)) for n in range(1, 4)]
    cos_coefficients = [Fraction((-1) ** n, factorial(2 * n)) for n in range(1, 5)]
    sin_truncation = r_max**8 / factorial(9)  # relative to r
    cos_truncation = r_max**10 / factorial(10)  # absolute, cos ~ 1
    checks.append(
        f"sin(r) = r + r^3 P(r^2), degree 7: truncation relative to r below "
        f"2^{binary_exponent(sin_truncation)}; cos(r) = 1 + r^2 Q(r^2), degree 8: truncation "
        f"below 2^{binary_exponent(cos_truncation)}"
    )
    assert sin_truncation < Fraction(1, 2**60) and cos_truncation < Fraction(1, 2**70)

    # 64/pi as 32-bit words: word i holds the bits of weight 2^(-27-32i) .. 2^(4-32i).
    inv_scaled = (64 * ONE * ONE) // fixed_pi()  # 64/pi * 2^FIXED_BITS
    assert inv_scaled >> FIXED_BITS == 20  # 64/pi = 20.37...
    inv_bits_needed = 27 + 32 * (INV_PI_WORDS - 1)
    inv_words_int = inv_scaled >> (FIXED_BITS - inv_bits_needed)
    inv_words = [(inv_words_int >> (32 * (INV_PI_WORDS - 1 - i))) & 0xFFFFFFFF for i in range(INV_PI_WORDS)]
    assert inv_words[0] >> 27 == 20 and inv_words[0] == 0xA2F9836E  # the known bits of 2/pi

    # -- exp2
    exp2_values = [
        Fraction(integer_root(1 << (j + EXP2_TABLE_SIZE * 200), EXP2_TABLE_SIZE), 1 << 200)
        for j in range(EXP2_TABLE_SIZE)
    ]
    # floor of the root at 200 bits: error below 2^-199.
    exp2_high, exp2_low = zip(*(split_double_double(v) for v in exp2_values))
    ln2 = fixed_ln2()
    ln2_high, ln2_low = split_double_double(ln2)
    exp2_degree = 6
    exp2_coefficients = [ln2**n / factorial(n) for n in range(2, exp2_degree + 1)]
    r_exp2 = Fraction(1, 2 * EXP2_TABLE_SIZE)
    exp2_truncation = (ln2 * r_exp2) ** (exp2_degree + 1) / factorial(exp2_degree + 1) * 2
    checks.append(
        f"2^r - 1 on |r| <= 1/{2 * EXP2_TABLE_SIZE}, Taylor degree {exp2_degree}: truncation below "
        f"2^{binary_exponent(exp2_truncation)}"
    )
    assert exp2_truncation < Fraction(1, 2**62)

    # -- asin: asin(x) = x + x^3/6 + x^5 H(x^2), H economised on z = x^2 in [0, 1/4]. The x^3/6
    # term is formed apart (nearly exactly) in portable_math.h, so H only carries the rest.
    series_terms = 90
    asin_series = []  # asin(x) = sum asin_series[n] x^(2n+1)
    for n in range(0, series_terms + 1):
        binomial = factorial(2 * n) // (factorial(n) ** 2)
        asin_series.append(Fraction(binomial, 4**n * (2 * n + 1)))
    assert asin_series[:2] == [1, Fraction(1, 6)]
    higher_series = asin_series[2:]
    asin_degree = 16
    z_end = Fraction(1, 4)
    asin_poly, dropped = chebyshev_economise(higher_series, z_end, asin_degree)
    asin_rounded = [to_double(c) for c in asin_poly]
    # The constant term, near 3/40, is most of x^5 H and is taken as a double-double.
    asin_constant_low = to_double(asin_poly[0] - Fraction(asin_rounded[0]))
    series_tail = higher_series[-1] * z_end ** (len(higher_series) - 1) * 2
    # H's error enters asin(x) = x (1 + z/6 + z^2 H(z)) relative to x as z^2 times H's error.
    asin_error = max_error_on_grid(
        lambda z: z * z * (horner(asin_rounded, z) + Fraction(asin_constant_low)),
        lambda z: z * z * horner(higher_series, z),
        z_end,
        400,
    )
    checks.append(
        f"asin: H(z) of degree {asin_degree} on [0, 1/4]: dropped Chebyshev terms below "
        f"2^{binary_exponent(dropped + series_tail)} (times z^2 <= 1/16); with the coefficients rounded, z^2 times "
        f"the error of H (the error relative to x in x + x^3/6 + x^5 H) is below "
        f"2^{binary_exponent(asin_error)} on a 401-point grid"
    )
    assert dropped + series_tail < Fraction(1, 2**71)  # the bound portable_math.h counts on
    assert asin_error < Fraction(1, 2**60)
    half_pi_high, half_pi_low = split_double_double(PI / 2)

    # -- the header text
    emit("// Constants and tables of se_sdk/portable_math.h.")
    emit("//")
    emit("// GENERATED by scripts/gen_portable_math.py; do not edit. Every value is derived there")
    emit("// from exact integer and rational arithmetic (pi by Machin's formula, sines by Taylor")
    emit("// series, 2^(j/64) by exact integer roots, ln 2 by its series, the asin polynomial by")
    emit("// Chebyshev economisation) and written as a hexadecimal literal rounded to nearest, so")
    emit("// the bits do not depend on any compiler's or library's conversion. The `...High`/`...Low`")
    emit("// pairs are double-double values: High = value rounded, Low = remainder rounded.")
    emit("//")
    emit("// Error budget checked by the generator:")
    for check in checks:
        words = check.split()
        line = "//  -"
        for word in words:
            if len(line) + 1 + len(word) > 100:
                emit(line)
                line = "//   "
            line += " " + word
        emit(line)
    emit("#pragma once")
    emit()
    emit("#include <cstdint>")
    emit()
    emit("// The tables keep the generator's layout.")
    emit("// clang-format off")
    emit("namespace portable_math::tables {")
    emit()
    emit("// ---- sine and cosine " + "-" * 76)
    emit()
    emit(f"inline constexpr int kSinTableSize = {SIN_TABLE_SIZE};  // one turn in steps of pi/64")
    emit(f"inline constexpr int kQuarterTurn = {quarter};     // pi/2 in steps of pi/64")
    emit_array("kSinHigh", sine_high, "sin(j pi/64), j = 0..127, rounded to double.")
    emit_array("kSinLow", sine_low, "sin(j pi/64) - kSinHigh[j], rounded to double.")
    emit_double("kInvStep", to_double(1 / step), "64/pi, which maps x to its step count k.")
    emit_double("kStepPart1", parts[0], f"pi/64 in four parts; the first three have "
                f"{CODY_WAITE_PART_BITS} significant bits,")
    emit_double("kStepPart2", parts[1], "so that k * part is exact for k < 2^26 (|x| < 2^21);")
    emit_double("kStepPart3", parts[2], f"their sum equals pi/64 to 2^{binary_exponent(representation_error)} relative.")
    emit_double("kStepPart4", parts[3])
    emit_double("kStepHigh", step_high, "pi/64 as a double-double, for the Payne-Hanek path.")
    emit_double("kStepLow", step_low)
    emit(f"inline constexpr double kCodyWaiteLimit = 0x1p{CODY_WAITE_LIMIT_EXPONENT};"
         "  // |x| at and above: Payne-Hanek")
    emit("// sin(r) - r = r^3 (s3 + r^2 (s5 + r^2 s7)), Taylor coefficients -1/3!, 1/5!, -1/7!.")
    for name, value in zip(("kSin3", "kSin5", "kSin7"), sin_coefficients):
        emit(f"inline constexpr double {name} = {hex_literal(to_double(value))};")
    emit("// cos(r) - 1 = r^2 (c2 + r^2 (c4 + r^2 (c6 + r^2 c8))), coefficients -1/2!, 1/4!, -1/6!, "
         "1/8!.")
    for name, value in zip(("kCos2", "kCos4", "kCos6", "kCos8"), cos_coefficients):
        emit(f"inline constexpr double {name} = {hex_literal(to_double(value))};")
    emit(f"// 64/pi in 32-bit words, most significant first: word i holds the bits of weight")
    emit(f"// 2^(4 - 32 i) down to 2^(-27 - 32 i). Enough words for every finite double.")
    emit(f"inline constexpr std::uint32_t kInvStepWords[{INV_PI_WORDS}] = {{")
    for i in range(0, INV_PI_WORDS, 6):
        emit("    " + " ".join(f"0x{w:08X}u," for w in inv_words[i : i + 6]))
    emit("};")
    emit()
    emit("// ---- exp2 " + "-" * 87)
    emit()
    emit(f"inline constexpr int kExp2TableSize = {EXP2_TABLE_SIZE};")
    emit_array("kExp2High", exp2_high, "2^(j/64), j = 0..63, rounded to double.")
    emit_array("kExp2Low", exp2_low, "2^(j/64) - kExp2High[j], rounded to double.")
    emit_double("kLn2High", ln2_high, "ln 2 as a double-double.")
    emit_double("kLn2Low", ln2_low)
    emit("// 2^r - 1 - r ln 2 = r^2 (e2 + r (e3 + r (e4 + r (e5 + r e6)))), e_n = (ln 2)^n / n!.")
    for n, value in zip(range(2, exp2_degree + 1), exp2_coefficients):
        emit(f"inline constexpr double kExp2Poly{n} = {hex_literal(to_double(value))};")
    emit()
    emit("// ---- asin " + "-" * 87)
    emit()
    emit("// asin(x) = x + x^3/6 + x^5 H(x^2) on |x| <= 1/2; H(z) = sum kAsinPoly[n] z^n,")
    emit("// economised from the Taylor series.")
    emit_array("kAsinPoly", asin_rounded, f"Degree {asin_degree}, for Horner's scheme.")
    emit_double("kAsinPoly0Low", asin_constant_low,
                "kAsinPoly[0] + kAsinPoly0Low is the constant term as a double-double.")
    emit_double("kHalfPiHigh", half_pi_high, "pi/2 as a double-double; kHalfPiHigh is asin(1).")
    emit_double("kHalfPiLow", half_pi_low)
    emit()
    emit("// ---- fixed point, for the accurate paths " + "-" * 57)
    emit()
    emit("// Two's complement over 32-bit limbs, least significant first; the last limb is the integer")
    emit("// part. Every value is rounded to nearest at its last limb.")
    emit(f"inline constexpr int kFixedLimbs = {FIXED_LIMBS};  // level 1: {32 * (FIXED_LIMBS - 1)} fraction bits")
    emit(f"inline constexpr int kFixedLimbsWide = {FIXED_LIMBS_WIDE};  // level 2: {32 * (FIXED_LIMBS_WIDE - 1)} fraction bits")

    def emit_fixed(name, values, comment, limbs):
        emit(f"// {comment}")
        if len(values) == 1:
            emit(f"inline constexpr std::uint32_t {name}[{limbs}] = {{")
            words = fixed_limbs(values[0], limbs)
            for i in range(0, limbs, 6):
                emit("    " + " ".join(f"0x{w:08X}u," for w in words[i : i + 6]))
            emit("};")
            return
        emit(f"inline constexpr std::uint32_t {name}[{len(values)}][{limbs}] = {{")
        for value in values:
            words = fixed_limbs(value, limbs)
            emit("    {" + " ".join(f"0x{w:08X}u," for w in words[:5]))
            for i in range(5, limbs, 5):
                emit("     " + " ".join(f"0x{w:08X}u," for w in words[i : i + 5]))
            lines[-1] = lines[-1] + "},"
        emit("};")

    emit_fixed("kFixedSin", first_quadrant[:FIXED_SIN_ENTRIES],
               f"sin(j pi/64), j = 0..{FIXED_SIN_ENTRIES - 1}, level 1.", FIXED_LIMBS)
    emit_fixed("kFixedInvFactorial",
               [Fraction(1, factorial(k)) for k in range(FIXED_INV_FACTORIALS)],
               f"1/k!, k = 0..{FIXED_INV_FACTORIALS - 1}, level 1.", FIXED_LIMBS)
    emit_fixed("kFixedStepWide", [step], "pi/64, level 2 (level 1 takes its top limbs).",
               FIXED_LIMBS_WIDE)
    emit_fixed("kFixedLn2Wide", [ln2], "ln 2, level 2 (level 1 takes its top limbs).",
               FIXED_LIMBS_WIDE)
    emit()
    emit("}  // namespace portable_math::tables")
    emit("// clang-format on")
    return "\n".join(lines) + "\n", checks


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "se_sdk", "portable_math_tables.h")
    text, checks = generate()
    with open(output, "w", encoding="ascii", newline="\n") as handle:
        handle.write(text)
    for check in checks:
        print(check)
    print(f"wrote {output}")


if __name__ == "__main__":
    main()
