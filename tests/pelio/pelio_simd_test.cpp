// Pelio's lane-parallel renderers against the scalar reference, bit for bit: every renderer this
// processor runs, every Quality, every harmonic count, every span length up to 700, and Mod
// values at audio rate from the ordinary to the absurd (huge, tiny, subnormal, NaN, infinite).
// The same program runs on every target; a renderer the processor lacks is reported and skipped.
#include "pelio/pelio_simd.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "pelio/PelioModule.h"
#include "pelio/pelio_kernel.h"
#include "se_sdk/portable_math.h"
#include "tests/float_bits.h"

namespace {

using pelio::Isa;
using pelio::Quality;

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// The renderers under test: every one but the reference that this processor runs.
std::vector<Isa> FastIsas() {
  std::vector<Isa> isas;
  for (Isa isa : pelio::kAllIsas) {
    if (isa == Isa::kScalar) continue;
    if (pelio::IsaSupported(isa)) {
      isas.push_back(isa);
    } else {
      std::printf("[ SKIPPED  ] %s: this processor lacks it\n", pelio::IsaName(isa));
    }
  }
  return isas;
}

// Inputs drawn to reach every path of the kernel: mostly ordinary values, and now and then one
// that overflows the recurrence, vanishes, or is not a number at all.
class Inputs {
 public:
  explicit Inputs(uint32_t seed) : random_(seed) {}

  float Uniform(float low, float high) {
    return std::uniform_real_distribution<float>(low, high)(random_);
  }
  int32_t Integer(int32_t low, int32_t high) {
    return std::uniform_int_distribution<int32_t>(low, high)(random_);
  }

  float Mod() {
    switch (Integer(0, 15)) {
      case 0:
        return Uniform(-1.0f, 1.0f) * 1e30f;  // overflows the recurrence
      case 1:
        return Uniform(-1.0f, 1.0f) * 1e-30f;
      case 2:
        return Uniform(-1.0f, 1.0f) * 1e-40f;  // subnormal
      case 3: {
        const float specials[] = {kNaN, -kNaN, kInf, -kInf, 0.0f, -0.0f, FLT_MAX, -FLT_MAX, 2.0f};
        return specials[Integer(0, 8)];
      }
      default:
        return Uniform(-3.0f, 3.0f);
    }
  }

  float Amplitude() {
    switch (Integer(0, 11)) {
      case 0:
        return 0.0f;
      case 1:
        return Uniform(-1.0f, 1.0f) * 1e-38f;
      case 2:
        return Uniform(-1.0f, 1.0f) * 1e35f;
      default:
        return Uniform(-1.0f, 1.0f);
    }
  }

  // Mostly below the sample rate (one subtraction wraps), sometimes beyond 2 pi, sometimes none.
  float Increment() {
    switch (Integer(0, 9)) {
      case 0:
        return 0.0f;
      case 1:
        return Uniform(6.2f, 40.0f);
      default:
        return Uniform(0.0f, 3.0f);
    }
  }

  float Phase() { return Uniform(-pelio::kPi, pelio::kPi); }

  pelio::OscillatorState State() {
    pelio::OscillatorState state;
    state.phase = Phase();
    state.multiplier = Uniform(-2.0f, 2.0f);
    state.prev = Uniform(-1.0f, 1.0f);
    state.prev2 = Uniform(-1.0f, 1.0f);
    for (float& partial : state.partial) partial = Uniform(-1.0f, 1.0f);
    state.ahead_count = 0;
    return state;
  }

 private:
  std::mt19937 random_;
};

// One span with its inputs, rendered by the reference; `Check` renders it again with another
// renderer and compares every output sample and every member of the state.
struct SpanCase {
  std::vector<float> mod;
  float amplitude[pelio::kMaxHarmonics];
  float increment;
  int32_t harmonic_count;
  Quality quality;
  pelio::OscillatorState start;
  std::vector<float> expected_output;
  pelio::OscillatorState expected_state;

  SpanCase(Inputs& inputs, int32_t length, int32_t count, Quality span_quality)
      : mod(length),
        increment(inputs.Increment()),
        harmonic_count(count),
        quality(span_quality),
        start(inputs.State()),
        expected_output(length) {
    for (float& value : mod) value = inputs.Mod();
    for (float& value : amplitude) value = inputs.Amplitude();
    expected_state = start;
    pelio::RenderSpan(Settings(expected_output.data()), expected_state);
  }

  pelio::SpanSettings Settings(float* output) const {
    return {mod.data(),     output, static_cast<int32_t>(mod.size()), amplitude, increment,
            harmonic_count, quality};
  }

  // Returns the number of differing values, reporting the first few.
  int Check(pelio::SpanRenderer renderer, const char* name) const {
    std::vector<float> output(mod.size());
    pelio::OscillatorState state = start;
    renderer(Settings(output.data()), state);
    int differences = 0;
    const auto compare = [&](const char* what, size_t index, float expected, float actual) {
      if (Bits(expected) == Bits(actual)) return;
      if (++differences <= 3) {
        ADD_FAILURE() << name << " quality " << static_cast<int>(quality) << " N " << harmonic_count
                      << " length " << mod.size() << ": " << what << "[" << index << "] expected "
                      << expected << " (0x" << std::hex << Bits(expected) << "), got " << actual
                      << " (0x" << Bits(actual) << std::dec << ")";
      }
    };
    for (size_t n = 0; n < mod.size(); ++n) compare("output", n, expected_output[n], output[n]);
    compare("phase", 0, expected_state.phase, state.phase);
    compare("multiplier", 0, expected_state.multiplier, state.multiplier);
    compare("prev", 0, expected_state.prev, state.prev);
    compare("prev2", 0, expected_state.prev2, state.prev2);
    for (int k = 0; k < pelio::kMaxHarmonics; ++k) {
      compare("partial", k, expected_state.partial[k], state.partial[k]);
    }
    return differences;
  }
};

const Quality kQualities[] = {Quality::kNormal, Quality::kHigh, Quality::kUltraHigh};

// Every span length from 1 to 700 in every Quality, the harmonic count running through 0 to 16
// along the lengths, so that every count meets every length modulo the vector widths.
TEST(PelioSimd, EveryLengthQualityAndCountMatchesTheReference) {
  const std::vector<Isa> isas = FastIsas();
  Inputs inputs(20261208);
  for (Quality quality : kQualities) {
    for (int32_t length = 1; length <= 700; ++length) {
      const SpanCase span(inputs, length, length % (pelio::kMaxHarmonics + 1), quality);
      for (Isa isa : isas) {
        ASSERT_EQ(0, span.Check(pelio::RendererFor(isa), pelio::IsaName(isa)));
      }
    }
  }
}

// A million samples in spans of random length, count and Quality.
TEST(PelioSimd, AMillionRandomSamplesMatchTheReference) {
  const std::vector<Isa> isas = FastIsas();
  Inputs inputs(44100);
  int64_t samples = 0;
  while (samples < 1000000) {
    const int32_t length = inputs.Integer(1, 1024);
    const SpanCase span(inputs, length, inputs.Integer(0, pelio::kMaxHarmonics),
                        kQualities[inputs.Integer(0, 2)]);
    for (Isa isa : isas) {
      ASSERT_EQ(0, span.Check(pelio::RendererFor(isa), pelio::IsaName(isa)));
    }
    samples += length;
  }
}

// Spans that follow one another, as events cut a stream: each renderer carries its own state
// from span to span and stays with the reference throughout, also when the increment changes.
TEST(PelioSimd, ConsecutiveSpansMatchTheReference) {
  Inputs inputs(64);
  for (Isa isa : FastIsas()) {
    pelio::OscillatorState expected = inputs.State();
    pelio::OscillatorState actual = expected;
    float increment = 0.0627f;
    std::vector<float> mod(300);
    std::vector<float> expected_output(mod.size());
    std::vector<float> actual_output(mod.size());
    float amplitude[pelio::kMaxHarmonics];
    for (float& value : amplitude) value = inputs.Uniform(-1.0f, 1.0f);
    for (int span = 0; span < 400; ++span) {
      if (inputs.Integer(0, 9) == 0) increment = inputs.Increment();
      const int32_t length = inputs.Integer(1, static_cast<int32_t>(mod.size()));
      for (float& value : mod) value = inputs.Uniform(-2.5f, 2.5f);
      const Quality quality = kQualities[inputs.Integer(0, 2)];
      const int32_t count = inputs.Integer(0, pelio::kMaxHarmonics);
      pelio::RenderSpan(
          {mod.data(), expected_output.data(), length, amplitude, increment, count, quality},
          expected);
      pelio::RendererFor(isa)(
          {mod.data(), actual_output.data(), length, amplitude, increment, count, quality}, actual);
      ASSERT_EQ(0,
                std::memcmp(expected_output.data(), actual_output.data(), length * sizeof(float)))
          << pelio::IsaName(isa) << " span " << span;
      ASSERT_EQ(Bits(expected.phase), Bits(actual.phase)) << pelio::IsaName(isa);
    }
  }
}

// An empty span renders nothing and leaves the state alone, as the reference does.
TEST(PelioSimd, EmptySpanTouchesNothing) {
  Inputs inputs(7);
  const float amplitude[pelio::kMaxHarmonics] = {1.0f};
  const float mod = 2.0f;
  float output = 123.0f;
  for (Isa isa : FastIsas()) {
    pelio::OscillatorState state = inputs.State();
    const pelio::OscillatorState before = state;
    pelio::RendererFor(isa)({&mod, &output, 0, amplitude, 0.1f, 16, Quality::kUltraHigh}, state);
    EXPECT_EQ(0, std::memcmp(&before, &state, sizeof(state))) << pelio::IsaName(isa);
    EXPECT_EQ(123.0f, output) << pelio::IsaName(isa);
  }
}

// The lanes' sine and cosine are the doubles of portable_math's fast path (not just the same
// floats), and their floats are those of the correctly rounded portable_math::sin and cos, at the
// phases where a reduction or a sign is most easily got wrong and at random ones. (Every float
// phase in [-pi, pi) is checked by tools/pelio_lanes_check, which takes minutes.)
TEST(PelioSimd, LaneSineAndCosineArePortableMaths) {
  std::vector<float> phases = {-pelio::kPi,
                               std::nextafter(pelio::kPi, 0.0f),
                               0.0f,
                               -0.0f,
                               std::numeric_limits<float>::denorm_min(),
                               -std::numeric_limits<float>::denorm_min(),
                               FLT_MIN,
                               1e-20f,
                               -1e-20f};
  for (int step = -64; step <= 64; ++step) {
    // Around every multiple of pi/64, where the step count changes.
    const float multiple = static_cast<float>(step * 3.14159265358979323846 / 64.0);
    if (multiple < -pelio::kPi || multiple >= pelio::kPi) continue;
    phases.push_back(multiple);
    phases.push_back(std::nextafter(multiple, -4.0f));
    phases.push_back(std::nextafter(multiple, 4.0f));
  }
  Inputs inputs(3);
  for (int n = 0; n < 100000; ++n) phases.push_back(inputs.Phase());

  const int32_t count = static_cast<int32_t>(phases.size());
  std::vector<double> sine(phases.size());
  std::vector<double> cosine(phases.size());
  for (Isa isa : pelio::kAllIsas) {
    if (!pelio::IsaSupported(isa)) continue;
    pelio::LibrarySineCosine(isa, phases.data(), count, sine.data(), cosine.data());
    int differences = 0;
    for (int32_t n = 0; n < count && differences < 5; ++n) {
      const double phase = phases[n];
      if (Bits(sine[n]) != Bits(portable_math::detail::SinFastPath(phase)) ||
          Bits(cosine[n]) != Bits(portable_math::detail::CosFastPath(phase)) ||
          Bits(static_cast<float>(sine[n])) !=
              Bits(static_cast<float>(portable_math::sin(phase))) ||
          Bits(static_cast<float>(cosine[n])) !=
              Bits(static_cast<float>(portable_math::cos(phase)))) {
        ++differences;
        ADD_FAILURE() << pelio::IsaName(isa) << " at phase " << phases[n] << ": sin " << sine[n]
                      << " cos " << cosine[n];
      }
    }
  }
}

// The module renders with the best renderer the processor has, and each one it can be switched
// to gives the same blocks as the reference.
TEST(PelioSimd, ModuleSwitchesRenderersWithoutChangingTheOutput) {
  EXPECT_EQ(pelio::BestIsa(), PelioModule(nullptr).CurrentIsa());
  std::printf("best renderer here: %s\n", pelio::IsaName(pelio::BestIsa()));

  const int32_t kBlock = 300;
  Inputs inputs(11);
  std::vector<float> pitch(kBlock, 0.5f);
  std::vector<float> mod(kBlock);
  for (float& value : mod) value = inputs.Uniform(-2.5f, 2.5f);
  std::vector<std::vector<float>> amplitude(pelio::kMaxHarmonics, std::vector<float>(kBlock));
  for (auto& buffer : amplitude) buffer.assign(kBlock, inputs.Amplitude());

  const auto render = [&](Isa isa, int16_t quality) -> std::vector<float> {
    PelioModule module(nullptr);
    EXPECT_TRUE(module.UseIsa(isa));
    module.Open();
    std::vector<float> output(kBlock);
    PinDescription description;
    // Bind the buffers the way the host does, through the pin table's variable addresses.
    for (int32_t pin = 0; pin < PelioModule::kPinCount; ++pin) {
      std::memset(&description, 0, sizeof(description));
      EXPECT_TRUE(module.GetPinProperties(pin, &description));
      void* variable = description.variable_address;
      if (pin == 0) *static_cast<float**>(variable) = pitch.data();
      if (pin >= 2 && pin < 18) *static_cast<float**>(variable) = amplitude[pin - 2].data();
      if (pin == 18) *static_cast<float**>(variable) = mod.data();
      if (pin == PelioModule::kOutputPin) *static_cast<float**>(variable) = output.data();
      if (pin == 21) *static_cast<int16_t*>(variable) = quality;
    }
    // Spans of odd lengths, as events would cut them.
    for (int32_t offset = 0, length = 1; offset < kBlock; offset += length, length += 7) {
      if (offset + length > kBlock) length = kBlock - offset;
      module.sub_process(offset, length);
    }
    return output;
  };
  for (int16_t quality = 0; quality <= 2; ++quality) {
    const std::vector<float> expected = render(Isa::kScalar, quality);
    for (Isa isa : FastIsas()) {
      const std::vector<float> actual = render(isa, quality);
      EXPECT_EQ(0, std::memcmp(expected.data(), actual.data(), kBlock * sizeof(float)))
          << pelio::IsaName(isa) << " quality " << quality;
    }
  }
}

}  // namespace
