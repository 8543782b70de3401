// Exhaustive check of Pelio's lane sine and cosine against portable_math, over every float phase.
//
// Why: Pelio's High and Ultra-High renderers evaluate portable_math::sin and cos in SIMD lanes
// (pelio/pelio_simd_math.h) instead of calling them once per sample. That is only allowed if it
// gives, for every phase the oscillator can have, the float that float(portable_math::sin(x))
// and float(portable_math::cos(x)) give. The phase is a float that never leaves [-pi, pi), so
// this tool walks all of them, from float(-pi) up to the float below 3.1415927f (about 2.16e9
// values, -0 and +0 both included), through every lane renderer this processor runs, and counts
// the phases whose double results, or the floats rounded from them, differ in any bit.
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

constexpr int32_t kChunk = 1 << 16;

void CheckChunks(pelio::Isa isa, const PhaseRange& range, std::atomic<uint64_t>& next_chunk,
                 Differences& differences) {
  std::vector<float> phase(kChunk);
  std::vector<double> sine(kChunk);
  std::vector<double> cosine(kChunk);
  for (;;) {
    const uint64_t start = next_chunk.fetch_add(kChunk);
    if (start >= range.size()) return;
    const int32_t count =
        static_cast<int32_t>(range.size() - start < kChunk ? range.size() - start : kChunk);
    for (int32_t n = 0; n < count; ++n) phase[n] = range.At(start + n);
    pelio::LibrarySineCosine(isa, phase.data(), count, sine.data(), cosine.data());
    uint64_t local[4] = {};
    for (int32_t n = 0; n < count; ++n) {
      const double expected_sine = portable_math::sin(phase[n]);
      const double expected_cosine = portable_math::cos(phase[n]);
      const bool sine_differs = BitsOf(sine[n]) != BitsOf(expected_sine);
      const bool cosine_differs = BitsOf(cosine[n]) != BitsOf(expected_cosine);
      local[0] += sine_differs;
      local[1] += cosine_differs;
      local[2] += BitsOf(static_cast<float>(sine[n])) != BitsOf(static_cast<float>(expected_sine));
      local[3] +=
          BitsOf(static_cast<float>(cosine[n])) != BitsOf(static_cast<float>(expected_cosine));
      if ((sine_differs || cosine_differs) && !differences.any.exchange(true)) {
        differences.first_phase_bits = BitsOf(phase[n]);
      }
    }
    differences.sine_double += local[0];
    differences.cosine_double += local[1];
    differences.sine_float += local[2];
    differences.cosine_float += local[3];
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
  int status = 0;
  for (pelio::Isa isa : pelio::kAllIsas) {
    if (isa == pelio::Isa::kScalar) continue;
    if (!pelio::IsaSupported(isa)) {
      std::printf("%-7s not run: this processor lacks it\n", pelio::IsaName(isa));
      continue;
    }
    Differences differences;
    std::atomic<uint64_t> next_chunk{0};
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) {
      workers.emplace_back(CheckChunks, isa, std::cref(range), std::ref(next_chunk),
                           std::ref(differences));
    }
    for (std::thread& worker : workers) worker.join();
    std::printf("%-7s differing from portable_math: sin %" PRIu64 " doubles, %" PRIu64
                " floats; cos %" PRIu64 " doubles, %" PRIu64 " floats",
                pelio::IsaName(isa), differences.sine_double.load(), differences.sine_float.load(),
                differences.cosine_double.load(), differences.cosine_float.load());
    if (differences.any) {
      std::printf(" (first at phase %a)",
                  static_cast<double>(FloatFromBits(differences.first_phase_bits.load())));
      status = 1;
    }
    std::printf("\n");
    std::fflush(stdout);
  }
  return status;
}
