// The span renderer in SSE2, the baseline of every target: two double lanes per vector. SSE2
// has no fused multiply-add, so the exact products are multiplied and added separately, which
// rounds the same.
#include <emmintrin.h>

#include "pelio/pelio_simd_kernel.h"

namespace pelio::lanes {

namespace {

struct Sse2 {
  using Double = __m128d;
  using Index = __m128i;
  static constexpr int kLanes = 2;
  // Vectors side by side, measured (bench/): eight cover the latency of the rounding chains in
  // 64-bit code; 32-bit code, with only eight vector
  // registers, does best with four.
  static constexpr int kVectors = sizeof(void*) == 8 ? 8 : 4;

  static Double Broadcast(double value) { return _mm_set1_pd(value); }
  static Double Load(const double* values) { return _mm_loadu_pd(values); }
  static Double LoadFloats(const float* values) {
    return _mm_cvtps_pd(
        _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(values))));
  }
  static void StoreFloats(float* values, Double lanes) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(values), _mm_castps_si128(_mm_cvtpd_ps(lanes)));
  }
  static void Store(double* values, Double lanes) { _mm_storeu_pd(values, lanes); }
  static Double RoundToFloat(Double lanes) { return _mm_cvtps_pd(_mm_cvtpd_ps(lanes)); }
  static Double Add(Double augend, Double addend) { return _mm_add_pd(augend, addend); }
  static Double Sub(Double minuend, Double subtrahend) { return _mm_sub_pd(minuend, subtrahend); }
  static Double Mul(Double multiplicand, Double multiplier) {
    return _mm_mul_pd(multiplicand, multiplier);
  }
  static Double MulAddExact(Double multiplicand, Double multiplier, Double addend) {
    return _mm_add_pd(_mm_mul_pd(multiplicand, multiplier), addend);
  }
  static Double MulSubExact(Double multiplicand, Double multiplier, Double subtrahend) {
    return _mm_sub_pd(_mm_mul_pd(multiplicand, multiplier), subtrahend);
  }
  static Double NegMulAddExact(Double multiplicand, Double multiplier, Double minuend) {
    return _mm_sub_pd(minuend, _mm_mul_pd(multiplicand, multiplier));
  }
  static Double SignBits() { return _mm_set1_pd(-0.0); }
  static Double Negate(Double lanes) { return _mm_xor_pd(lanes, SignBits()); }
  static Double Abs(Double lanes) { return _mm_andnot_pd(SignBits(), lanes); }
  static Double FlipSignBy(Double lanes, Double sign_source) {
    return _mm_xor_pd(lanes, _mm_and_pd(sign_source, SignBits()));
  }
  static Index LowBits(Double lanes) { return _mm_castpd_si128(lanes); }
  static Index TableIndex(Index index, int extra) {
    return _mm_and_si128(_mm_add_epi64(index, _mm_set1_epi64x(extra)),
                         _mm_set1_epi64x(portable_math::tables::kSinTableSize - 1));
  }
  // No gather instruction: one load per lane.
  static Double Gather(const double* table, Index index) {
    const int first = _mm_cvtsi128_si32(index);
    const int second = _mm_cvtsi128_si32(_mm_srli_si128(index, 8));
    return _mm_loadh_pd(_mm_load_sd(table + first), table + second);
  }
  static uint32_t NonFiniteLanes(Double lanes) {
    const Double difference = _mm_sub_pd(lanes, lanes);  // 0 if finite, else NaN
    return static_cast<uint32_t>(_mm_movemask_pd(_mm_cmpunord_pd(difference, difference)));
  }
};

}  // namespace

void RenderSpanSse2(const SpanSettings& span, OscillatorState& state) {
  RenderSpanFor<Sse2>(span, state);
}

void LibrarySineCosineSse2(const float* phase, int32_t count, double* sine, double* cosine) {
  LibrarySineCosineFor<Sse2>(phase, count, sine, cosine);
}

void ProbeLanesSse2(LaneProbe& probe) { ProbeLanesFor<Sse2>(probe); }

}  // namespace pelio::lanes
