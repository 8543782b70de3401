// Which of the additive oscillator's renderers this processor can run, and the table of them.
// Compiled for the baseline of the target, like everything but the pelio_kernel_<isa>.cpp files.
#include "pelio/pelio_simd.h"

#include "pelio/pelio_simd_kernel.h"
#include "se_sdk/portable_math.h"

namespace pelio {

const char* IsaName(Isa isa) {
  switch (isa) {
    case Isa::kSse2:
      return "sse2";
    case Isa::kAvx2:
      return "avx2";
    case Isa::kAvx512:
      return "avx512";
    case Isa::kScalar:
    default:
      return "scalar";
  }
}

bool IsaSupported(Isa isa) {
  // Fills the processor model before anything else in this library may have; cheap after that.
  __builtin_cpu_init();
  switch (isa) {
    case Isa::kSse2:
      return __builtin_cpu_supports("sse2");
    case Isa::kAvx2:
      // The processor's word for AVX, AVX2 and FMA includes the operating system saving them.
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case Isa::kAvx512:
      return __builtin_cpu_supports("avx512f");
    case Isa::kScalar:
    default:
      return true;
  }
}

Isa BestIsa() {
  if (IsaSupported(Isa::kAvx512)) return Isa::kAvx512;
  if (IsaSupported(Isa::kAvx2)) return Isa::kAvx2;
  if (IsaSupported(Isa::kSse2)) return Isa::kSse2;
  return Isa::kScalar;
}

SpanRenderer RendererFor(Isa isa) {
  switch (isa) {
    case Isa::kSse2:
      return lanes::RenderSpanSse2;
    case Isa::kAvx2:
      return lanes::RenderSpanAvx2;
    case Isa::kAvx512:
      return lanes::RenderSpanAvx512;
    case Isa::kScalar:
    default:
      return RenderSpan;
  }
}

void LibrarySineCosine(Isa isa, const float* phase, int32_t count, double* sine, double* cosine) {
  switch (isa) {
    case Isa::kSse2:
      lanes::LibrarySineCosineSse2(phase, count, sine, cosine);
      break;
    case Isa::kAvx2:
      lanes::LibrarySineCosineAvx2(phase, count, sine, cosine);
      break;
    case Isa::kAvx512:
      lanes::LibrarySineCosineAvx512(phase, count, sine, cosine);
      break;
    case Isa::kScalar:
    default:
      for (int32_t n = 0; n < count; ++n) {
        sine[n] = portable_math::detail::SinFastPath(phase[n]);
        cosine[n] = portable_math::detail::CosFastPath(phase[n]);
      }
      break;
  }
}

void ProbeLanes(Isa isa, LaneProbe& probe) {
  switch (isa) {
    case Isa::kSse2:
      lanes::ProbeLanesSse2(probe);
      break;
    case Isa::kAvx2:
      lanes::ProbeLanesAvx2(probe);
      break;
    case Isa::kAvx512:
      lanes::ProbeLanesAvx512(probe);
      break;
    case Isa::kScalar:
    default:
      probe.lanes = 0;
      break;
  }
}

}  // namespace pelio
