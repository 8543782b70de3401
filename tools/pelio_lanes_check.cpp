// Exhaustive check of Pelio's lane sine and cosine over every float phase.
//
// Why: Pelio's High and Ultra-High renderers evaluate sine and cosine in SIMD lanes
// (pelio/pelio_simd_math.h) instead of calling portable_math once per sample: its fast path,
// operation for operation, without the rounding test and the accurate fallback that make
// portable_math::sin and cos correctly rounded. That is only allowed if it gives, for every phase
// the oscillator can have, the float that float(portable_math::sin(x)) and
// float(portable_math::cos(x)) give. The phase is a float that never leaves [-pi, pi), so this
// tool walks all of them, from float(-pi) up to the float below 3.1415927f (about 2.16e9 values,
// -0 and +0 both included), through every lane renderer this processor runs, and counts the
// phases where
//   - a lane's double differs in any bit from portable_math's fast path
//     (portable_math::detail::SinFastPath, CosFastPath; the scalar reference, LibrarySine and
//     LibraryCosine, takes its floats from that path too), or
//   - the float rounded from it differs from the float of the correctly rounded
//     portable_math::sin or cos.
// It also reports, for information, how many of the fast path's doubles are not the correctly
// rounded double (those are allowed: only the floats are used).
//
// It is a proof run by hand (minutes per renderer, on every core), not a test; its result is
// recorded in docs/performance.md. Exit status 0 means no difference at all.
//
//   pelio_lanes_check [threads]
#include <atomic>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "pelio/pelio_kernel.h"
#include "pelio/pelio_simd.h"
#include "se_sdk/portable_math.h"

namespace {

uint32_t BitsOf(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

uint64_t BitsOf(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

float FloatFromBits(uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// The phases in [-pi, pi) in bit order: the negative ones are the patterns from 0x80000000 (-0)
// up to that of float(-pi), the others from 0 (+0) up to the one below float(pi). One index
// runs over both.
struct PhaseRange {
  uint32_t negative_count;  // -0 .. -pi
  uint32_t positive_count;  // +0 .. below pi

  PhaseRange()
      : negative_count(BitsOf(-pelio::kPi) - 0x80000000u + 1), positive_count(BitsOf(pelio::kPi)) {}

  uint64_t size() const { return uint64_t{negative_count} + positive_count; }
  float At(uint64_t index) const {
    return index < negative_count ? FloatFromBits(0x80000000u + static_cast<uint32_t>(index))
                                  : FloatFromBits(static_cast<uint32_t>(index - negative_count));
  }
};

struct Differences {
  std::atomic<uint64_t> sine_double{0};
  std::atomic<uint64_t> cosine_double{0};
  std::atomic<uint64_t> sine_float{0};
  std::atomic<uint64_t> cosine_float{0};
  std::atomic<uint32_t> first_phase_bits{0};
  std::atomic<bool> any{false};
};

struct Totals {
  Differences per_isa[4];
  std::atomic<uint64_t> fast_sine_not_correctly_rounded{0};
  std::atomic<uint64_t> fast_cosine_not_correctly_rounded{0};
};

constexpr int32_t kChunk = 1 << 16;

void CheckChunks(const PhaseRange& range, std::atomic<uint64_t>& next_chunk, Totals& totals) {
  std::vector<float> phase(kChunk);
  std::vector<double> sine(kChunk);
  std::vector<double> cosine(kChunk);
  std::vector<double> fast_sine(kChunk);
  std::vector<double> fast_cosine(kChunk);
  std::vector<float> rounded_sine(kChunk);
  std::vector<float> rounded_cosine(kChunk);
  for (;;) {
    const uint64_t start = next_chunk.fetch_add(kChunk);
    if (start >= range.size()) return;
    const int32_t count =
        static_cast<int32_t>(range.size() - start < kChunk ? range.size() - start : kChunk);
    uint64_t not_rounded[2] = {};
    for (int32_t n = 0; n < count; ++n) {
      phase[n] = range.At(start + n);
      fast_sine[n] = portable_math::detail::SinFastPath(phase[n]);
      fast_cosine[n] = portable_math::detail::CosFastPath(phase[n]);
      const double correct_sine = portable_math::sin(phase[n]);
      const double correct_cosine = portable_math::cos(phase[n]);
      not_rounded[0] += BitsOf(fast_sine[n]) != BitsOf(correct_sine);
      not_rounded[1] += BitsOf(fast_cosine[n]) != BitsOf(correct_cosine);
      rounded_sine[n] = static_cast<float>(correct_sine);
      rounded_cosine[n] = static_cast<float>(correct_cosine);
    }
    totals.fast_sine_not_correctly_rounded += not_rounded[0];
    totals.fast_cosine_not_correctly_rounded += not_rounded[1];
    for (pelio::Isa isa : pelio::kAllIsas) {
      if (isa == pelio::Isa::kScalar || !pelio::IsaSupported(isa)) continue;
      Differences& differences = totals.per_isa[static_cast<int>(isa)];
      pelio::LibrarySineCosine(isa, phase.data(), count, sine.data(), cosine.data());
      uint64_t local[4] = {};
      for (int32_t n = 0; n < count; ++n) {
        const bool sine_differs = BitsOf(sine[n]) != BitsOf(fast_sine[n]);
        const bool cosine_differs = BitsOf(cosine[n]) != BitsOf(fast_cosine[n]);
        const bool sine_float_differs =
            BitsOf(static_cast<float>(sine[n])) != BitsOf(rounded_sine[n]);
        const bool cosine_float_differs =
            BitsOf(static_cast<float>(cosine[n])) != BitsOf(rounded_cosine[n]);
        local[0] += sine_differs;
        local[1] += cosine_differs;
        local[2] += sine_float_differs;
        local[3] += cosine_float_differs;
        if ((sine_differs || cosine_differs || sine_float_differs || cosine_float_differs) &&
            !differences.any.exchange(true)) {
          differences.first_phase_bits = BitsOf(phase[n]);
        }
      }
      differences.sine_double += local[0];
      differences.cosine_double += local[1];
      differences.sine_float += local[2];
      differences.cosine_float += local[3];
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  unsigned threads =
      argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : std::thread::hardware_concurrency();
  if (threads == 0) threads = 1;
  const PhaseRange range;
  std::printf("phases: every float from %a to %a, %" PRIu64 " values; %u threads\n",
              static_cast<double>(range.At(range.negative_count - 1)),
              static_cast<double>(range.At(range.size() - 1)), range.size(), threads);
  Totals totals;
  std::atomic<uint64_t> next_chunk{0};
  std::vector<std::thread> workers;
  for (unsigned t = 0; t < threads; ++t) {
    workers.emplace_back(CheckChunks, std::cref(range), std::ref(next_chunk), std::ref(totals));
  }
  for (std::thread& worker : workers) worker.join();
  int status = 0;
  for (pelio::Isa isa : pelio::kAllIsas) {
    if (isa == pelio::Isa::kScalar) continue;
    if (!pelio::IsaSupported(isa)) {
      std::printf("%-7s not run: this processor lacks it\n", pelio::IsaName(isa));
      continue;
    }
    const Differences& differences = totals.per_isa[static_cast<int>(isa)];
    std::printf("%-7s doubles differing from the fast path: sin %" PRIu64 ", cos %" PRIu64
                "; floats differing from the correctly rounded ones: sin %" PRIu64 ", cos %" PRIu64,
                pelio::IsaName(isa), differences.sine_double.load(),
                differences.cosine_double.load(), differences.sine_float.load(),
                differences.cosine_float.load());
    if (differences.any) {
      std::printf(" (first at phase %a)",
                  static_cast<double>(FloatFromBits(differences.first_phase_bits.load())));
      status = 1;
    }
    std::printf("\n");
  }
  std::printf("fast path doubles that are not the correctly rounded double (allowed): sin %" PRIu64
              ", cos %" PRIu64 "\n",
              totals.fast_sine_not_correctly_rounded.load(),
              totals.fast_cosine_not_correctly_rounded.load());
  return status;
}
