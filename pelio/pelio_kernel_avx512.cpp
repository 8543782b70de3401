// The span renderer in AVX-512: eight double lanes per vector. Compiled with -mavx512f and
// called only where the processor has it (pelio_simd.cpp).
#include <immintrin.h>

#include "pelio/pelio_simd_kernel.h"

// GCC 12's AVX-512 intrinsics start their pass-through operand from _mm512_undefined_*(), which
// it then reports as uninitialized wherever they are inlined. The operand is never read.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace pelio::lanes {

namespace {

struct Avx512 {
  using Double = __m512d;
  using Index = __m512i;
  static constexpr int kLanes = 8;
  // Vectors side by side, measured (bench/): four cover the latency of the rounding chains
  // without making short spans dearer, in 64-bit code and in 32-bit code alike.
  static constexpr int kVectors = 4;

  static Double Broadcast(double value) { return _mm512_set1_pd(value); }
  static Double Load(const double* values) { return _mm512_loadu_pd(values); }
  static Double LoadFloats(const float* values) { return _mm512_cvtps_pd(_mm256_loadu_ps(values)); }
  static void StoreFloats(float* values, Double lanes) {
    _mm256_storeu_ps(values, _mm512_cvtpd_ps(lanes));
  }
  static void Store(double* values, Double lanes) { _mm512_storeu_pd(values, lanes); }
  static Double RoundToFloat(Double lanes) { return _mm512_cvtps_pd(_mm512_cvtpd_ps(lanes)); }
  static Double Add(Double augend, Double addend) { return _mm512_add_pd(augend, addend); }
  static Double Sub(Double minuend, Double subtrahend) {
    return _mm512_sub_pd(minuend, subtrahend);
  }
  static Double Mul(Double multiplicand, Double multiplier) {
    return _mm512_mul_pd(multiplicand, multiplier);
  }
  static Double MulAddExact(Double multiplicand, Double multiplier, Double addend) {
    return _mm512_fmadd_pd(multiplicand, multiplier, addend);
  }
  static Double MulSubExact(Double multiplicand, Double multiplier, Double subtrahend) {
    return _mm512_fmsub_pd(multiplicand, multiplier, subtrahend);
  }
  static Double NegMulAddExact(Double multiplicand, Double multiplier, Double minuend) {
    return _mm512_fnmadd_pd(multiplicand, multiplier, minuend);
  }
  static Index SignBits() { return _mm512_set1_epi64(static_cast<long long>(1ull << 63)); }
  static Double Negate(Double lanes) {
    return _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(lanes), SignBits()));
  }
  static Double Abs(Double lanes) {
    return _mm512_castsi512_pd(_mm512_andnot_si512(SignBits(), _mm512_castpd_si512(lanes)));
  }
  static Double FlipSignBy(Double lanes, Double sign_source) {
    const Index sign = _mm512_and_si512(_mm512_castpd_si512(sign_source), SignBits());
    return _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(lanes), sign));
  }
  static Index LowBits(Double lanes) { return _mm512_castpd_si512(lanes); }
  static Index TableIndex(Index index, int extra) {
    return _mm512_and_si512(_mm512_add_epi64(index, _mm512_set1_epi64(extra)),
                            _mm512_set1_epi64(portable_math::tables::kSinTableSize - 1));
  }
  static Double Gather(const double* table, Index index) {
    return _mm512_i64gather_pd(index, table, sizeof(double));
  }
  static uint32_t NonFiniteLanes(Double lanes) {
    const Double difference = _mm512_sub_pd(lanes, lanes);  // 0 if finite, else NaN
    return _mm512_cmp_pd_mask(difference, difference, _CMP_UNORD_Q);
  }
};

}  // namespace

void RenderSpanAvx512(const SpanSettings& span, OscillatorState& state) {
  RenderSpanFor<Avx512>(span, state);
}

void LibrarySineCosineAvx512(const float* phase, int32_t count, double* sine, double* cosine) {
  LibrarySineCosineFor<Avx512>(phase, count, sine, cosine);
}

void ProbeLanesAvx512(LaneProbe& probe) { ProbeLanesFor<Avx512>(probe); }

}  // namespace pelio::lanes
