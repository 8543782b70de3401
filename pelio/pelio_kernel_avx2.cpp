// The span renderer in AVX2 with FMA: four double lanes per vector. Compiled with -mavx2 -mfma
// and called only where the processor has both (pelio_simd.cpp).
#include <immintrin.h>

#include "pelio/pelio_simd_kernel.h"

namespace pelio::lanes {

namespace {

struct Avx2 {
  using Double = __m256d;
  using Index = __m256i;
  static constexpr int kLanes = 4;
  // Vectors side by side, measured (bench/): six cover the latency of the rounding chains in
  // 64-bit code; 32-bit code, with only eight vector
  // registers, does best with four.
  static constexpr int kVectors = sizeof(void*) == 8 ? 6 : 4;

  static Double Broadcast(double value) { return _mm256_set1_pd(value); }
  static Double Load(const double* values) { return _mm256_loadu_pd(values); }
  static Double LoadFloats(const float* values) { return _mm256_cvtps_pd(_mm_loadu_ps(values)); }
  static void StoreFloats(float* values, Double lanes) {
    _mm_storeu_ps(values, _mm256_cvtpd_ps(lanes));
  }
  static void Store(double* values, Double lanes) { _mm256_storeu_pd(values, lanes); }
  static Double RoundToFloat(Double lanes) { return _mm256_cvtps_pd(_mm256_cvtpd_ps(lanes)); }
  static Double Add(Double augend, Double addend) { return _mm256_add_pd(augend, addend); }
  static Double Sub(Double minuend, Double subtrahend) {
    return _mm256_sub_pd(minuend, subtrahend);
  }
  static Double Mul(Double multiplicand, Double multiplier) {
    return _mm256_mul_pd(multiplicand, multiplier);
  }
  static Double MulAddExact(Double multiplicand, Double multiplier, Double addend) {
    return _mm256_fmadd_pd(multiplicand, multiplier, addend);
  }
  static Double MulSubExact(Double multiplicand, Double multiplier, Double subtrahend) {
    return _mm256_fmsub_pd(multiplicand, multiplier, subtrahend);
  }
  static Double NegMulAddExact(Double multiplicand, Double multiplier, Double minuend) {
    return _mm256_fnmadd_pd(multiplicand, multiplier, minuend);
  }
  static Double SignBits() { return _mm256_set1_pd(-0.0); }
  static Double Negate(Double lanes) { return _mm256_xor_pd(lanes, SignBits()); }
  static Double Abs(Double lanes) { return _mm256_andnot_pd(SignBits(), lanes); }
  static Double FlipSignBy(Double lanes, Double sign_source) {
    return _mm256_xor_pd(lanes, _mm256_and_pd(sign_source, SignBits()));
  }
  static Index LowBits(Double lanes) { return _mm256_castpd_si256(lanes); }
  static Index TableIndex(Index index, int extra) {
    return _mm256_and_si256(_mm256_add_epi64(index, _mm256_set1_epi64x(extra)),
                            _mm256_set1_epi64x(portable_math::tables::kSinTableSize - 1));
  }
  static Double Gather(const double* table, Index index) {
    return _mm256_i64gather_pd(table, index, sizeof(double));
  }
  static uint32_t NonFiniteLanes(Double lanes) {
    const Double difference = _mm256_sub_pd(lanes, lanes);  // 0 if finite, else NaN
    return static_cast<uint32_t>(
        _mm256_movemask_pd(_mm256_cmp_pd(difference, difference, _CMP_UNORD_Q)));
  }
};

}  // namespace

void RenderSpanAvx2(const SpanSettings& span, OscillatorState& state) {
  RenderSpanFor<Avx2>(span, state);
}

void LibrarySineCosineAvx2(const float* phase, int32_t count, double* sine, double* cosine) {
  LibrarySineCosineFor<Avx2>(phase, count, sine, cosine);
}

void ProbeLanesAvx2(LaneProbe& probe) { ProbeLanesFor<Avx2>(probe); }

}  // namespace pelio::lanes
