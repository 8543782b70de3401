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

}  // namespace pelio
