// The additive oscillator's fast renderers and the choice between them.
//
// A user runs dozens of these oscillators on the audio thread, and per sample the scalar kernel
// is one long chain of dependent roundings. The samples of a span depend on each other only
// through the phase, which is cheap to run ahead, so the renderers here evaluate several samples
// at once in the double lanes of SSE2 (2), AVX2 (4) or AVX-512 (8), with the operations and the
// roundings to float of the scalar kernel, in the same order: the output and the state they leave
// are those of RenderSpan (pelio_kernel.h), bit for bit, on every target.
//
// Each instruction set is compiled in a file of its own with that set enabled, and only called
// when the processor has it. The choice is made once, when the module is created or opened, never
// in the sample loop.
#pragma once

#include <cstdint>

#include "pelio/pelio_kernel.h"

namespace pelio {

enum class Isa { kScalar, kSse2, kAvx2, kAvx512 };

// Every value of Isa, the reference first.
constexpr Isa kAllIsas[] = {Isa::kScalar, Isa::kSse2, Isa::kAvx2, Isa::kAvx512};

const char* IsaName(Isa isa);

// True when this processor (and its operating system) runs the instruction set.
bool IsaSupported(Isa isa);

// The fastest instruction set this processor supports.
Isa BestIsa();

// The span renderer of `isa`; RenderSpan for kScalar. Only call it where IsaSupported(isa).
SpanRenderer RendererFor(Isa isa);

// sin and cos of each phase in [-pi, pi), as portable_math's fast path gives them in double
// (portable_math::detail::SinFastPath and CosFastPath; their floats are those of the correctly
// rounded sin and cos), evaluated in the lanes of `isa` the way the High and Ultra-High renderers
// do. For checking.
void LibrarySineCosine(Isa isa, const float* phase, int32_t count, double* sine, double* cosine);

// Each operation of a lane renderer's vector layer once, on given lanes, with every result
// stored: for checking an instruction set's operations one by one against the portable ones
// (pelio_portable_ops.h). Only the first `lanes` entries of each row are used.
struct LaneProbe {
  static constexpr int kMaxLanes = 16;
  // Operands. The exact multiply-adds take `first` and `second`, which must be floats for them.
  double first[kMaxLanes];
  double second[kMaxLanes];
  double third[kMaxLanes];
  float floats[kMaxLanes];
  uint64_t index_bits[kMaxLanes];  // lane bits for TableIndex, which keeps them modulo 128
  int32_t extra_steps;
  const double* table;  // 128 values to gather from

  // What each operation gave.
  int32_t lanes;
  double broadcast[kMaxLanes];  // of first[0]
  double loaded[kMaxLanes];     // first, loaded and stored
  double loaded_floats[kMaxLanes];
  float stored_floats[kMaxLanes];  // first, rounded to float
  double round_to_float[kMaxLanes];
  double add[kMaxLanes];
  double sub[kMaxLanes];
  double mul[kMaxLanes];
  double mul_add_exact[kMaxLanes];
  double mul_sub_exact[kMaxLanes];
  double neg_mul_add_exact[kMaxLanes];
  double negate[kMaxLanes];
  double abs[kMaxLanes];
  double flip_sign_by[kMaxLanes];  // first with its sign flipped where second is negative
  double gathered[kMaxLanes];      // table[TableIndex(LowBits(index_bits), extra_steps)]
  uint32_t non_finite;             // NonFiniteLanes(first)
};

// Runs LaneProbe through `isa`'s operations. Only call it where IsaSupported(isa), and not for
// kScalar, which has none.
void ProbeLanes(Isa isa, LaneProbe& probe);

}  // namespace pelio
