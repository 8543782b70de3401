// Pelio's lane-parallel renderers against the scalar reference, bit for bit: every renderer this
// processor runs, every Quality, every harmonic count, every span length up to 700, and Mod
// values at audio rate from the ordinary to the absurd (huge, tiny, subnormal, NaN, infinite).
// The same program runs on every target; a renderer the processor lacks is reported and skipped.
//
// The lane kernel also runs here through the portable operations (pelio_portable_ops.h) at every
// width the instruction sets use and more (2, 4, 8 and 16 lanes, one vector or several), so the
// lane logic of a width is checked on any processor, and each instruction set that the processor
// has is checked operation by operation against the portable operations of its width.
#include "pelio/pelio_simd.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "pelio/PelioModule.h"
#include "pelio/pelio_kernel.h"
#include "pelio/pelio_portable_ops.h"
#include "pelio/pelio_simd_kernel.h"
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

struct LaneRenderer {
  std::string name;
  pelio::SpanRenderer render;
};

template <int kLanes, int kVectors>
LaneRenderer Portable() {
  return {"portable " + std::to_string(kLanes) + " lanes x " + std::to_string(kVectors),
          pelio::lanes::RenderSpanFor<pelio::lanes::PortableOps<kLanes, kVectors>>};
}

// The lane kernel through the portable operations: the widths and vector counts of the
// instruction sets in 64-bit and 32-bit code (2 x 8, 2 x 4, 4 x 6, 4 x 4, 8 x 4), a single vector
// of each width, and 16 lanes, a width no instruction set here has, whose blocks are the longest
// the run-ahead holds.
std::vector<LaneRenderer> PortableRenderers() {
  return {Portable<2, 8>(),  Portable<2, 4>(), Portable<4, 6>(), Portable<4, 4>(),
          Portable<8, 4>(),  Portable<2, 1>(), Portable<4, 1>(), Portable<8, 1>(),
          Portable<16, 1>(), Portable<16, 2>()};
}

// Every lane renderer: the processor's own, then the portable ones.
std::vector<LaneRenderer> LaneRenderers() {
  std::vector<LaneRenderer> renderers;
  for (Isa isa : FastIsas()) renderers.push_back({pelio::IsaName(isa), pelio::RendererFor(isa)});
  for (const LaneRenderer& renderer : PortableRenderers()) renderers.push_back(renderer);
  return renderers;
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
  const std::vector<LaneRenderer> renderers = LaneRenderers();
  Inputs inputs(20261208);
  for (Quality quality : kQualities) {
    for (int32_t length = 1; length <= 700; ++length) {
      const SpanCase span(inputs, length, length % (pelio::kMaxHarmonics + 1), quality);
      for (const LaneRenderer& renderer : renderers) {
        ASSERT_EQ(0, span.Check(renderer.render, renderer.name.c_str()));
      }
    }
  }
}

// A million samples in spans of random length, count and Quality.
TEST(PelioSimd, AMillionRandomSamplesMatchTheReference) {
  const std::vector<LaneRenderer> renderers = LaneRenderers();
  Inputs inputs(44100);
  int64_t samples = 0;
  while (samples < 1000000) {
    const int32_t length = inputs.Integer(1, 1024);
    const SpanCase span(inputs, length, inputs.Integer(0, pelio::kMaxHarmonics),
                        kQualities[inputs.Integer(0, 2)]);
    for (const LaneRenderer& renderer : renderers) {
      ASSERT_EQ(0, span.Check(renderer.render, renderer.name.c_str()));
    }
    samples += length;
  }
}

// Spans that follow one another, as events cut a stream: each renderer carries its own state
// from span to span and stays with the reference throughout, also when the increment changes.
TEST(PelioSimd, ConsecutiveSpansMatchTheReference) {
  Inputs inputs(64);
  for (const LaneRenderer& renderer : LaneRenderers()) {
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
      renderer.render(
          {mod.data(), actual_output.data(), length, amplitude, increment, count, quality}, actual);
      ASSERT_EQ(0,
                std::memcmp(expected_output.data(), actual_output.data(), length * sizeof(float)))
          << renderer.name << " span " << span;
      ASSERT_EQ(Bits(expected.phase), Bits(actual.phase)) << renderer.name;
    }
  }
}

// An empty span renders nothing and leaves the state alone, as the reference does.
TEST(PelioSimd, EmptySpanTouchesNothing) {
  Inputs inputs(7);
  const float amplitude[pelio::kMaxHarmonics] = {1.0f};
  const float mod = 2.0f;
  float output = 123.0f;
  for (const LaneRenderer& renderer : LaneRenderers()) {
    pelio::OscillatorState state = inputs.State();
    const pelio::OscillatorState before = state;
    renderer.render({&mod, &output, 0, amplitude, 0.1f, 16, Quality::kUltraHigh}, state);
    EXPECT_EQ(0, std::memcmp(&before, &state, sizeof(state))) << renderer.name;
    EXPECT_EQ(123.0f, output) << renderer.name;
  }
}

// Pages that no access may touch, with room for floats between them: a buffer placed against
// either guard faults at once if a renderer reads or writes one float beyond it.
class GuardedFloats {
 public:
  explicit GuardedFloats(size_t count) {
#ifdef _WIN32
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    page_ = info.dwPageSize;
#else
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
#endif
    inner_ = (count * sizeof(float) + page_ - 1) / page_ * page_;
    const size_t total = inner_ + 2 * page_;
#ifdef _WIN32
    base_ =
        static_cast<char*>(VirtualAlloc(nullptr, total, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS));
    DWORD old_protection;
    if (base_ != nullptr) VirtualProtect(base_ + page_, inner_, PAGE_READWRITE, &old_protection);
#else
    void* mapped = mmap(nullptr, total, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    base_ = mapped == MAP_FAILED ? nullptr : static_cast<char*>(mapped);
    if (base_ != nullptr) mprotect(base_ + page_, inner_, PROT_READ | PROT_WRITE);
#endif
  }
  ~GuardedFloats() {
#ifdef _WIN32
    if (base_ != nullptr) VirtualFree(base_, 0, MEM_RELEASE);
#else
    if (base_ != nullptr) munmap(base_, inner_ + 2 * page_);
#endif
  }
  GuardedFloats(const GuardedFloats&) = delete;
  GuardedFloats& operator=(const GuardedFloats&) = delete;

  bool Usable() const { return base_ != nullptr; }
  // `count` floats right after the guard below them, or right below the guard above them.
  float* AfterLowerGuard() { return reinterpret_cast<float*>(base_ + page_); }
  float* BeforeUpperGuard(size_t count) {
    return reinterpret_cast<float*>(base_ + page_ + inner_) - count;
  }

 private:
  char* base_ = nullptr;
  size_t page_ = 0;
  size_t inner_ = 0;
};

// A renderer reads the Mod samples of its span and writes its output samples, and not one beyond
// either end: a span can end at the end of the host's buffer, and a last block padded to whole
// vectors must pad with its own values, not with the next float in memory. Every span length up
// to two blocks of the widest renderer, with the buffers against a guard page at either end.
TEST(PelioSimd, RenderersTouchOnlyTheirSpansSamples) {
  constexpr int32_t kLongest = 2 * pelio::OscillatorState::kMaxAhead + 1;
  GuardedFloats mod_pages(kLongest);
  GuardedFloats output_pages(kLongest);
  ASSERT_TRUE(mod_pages.Usable() && output_pages.Usable());
  std::vector<LaneRenderer> renderers = LaneRenderers();
  renderers.push_back({"reference", pelio::RenderSpan});
  Inputs inputs(4096);
  float amplitude[pelio::kMaxHarmonics];
  for (float& value : amplitude) value = inputs.Uniform(-1.0f, 1.0f);
  for (const LaneRenderer& renderer : renderers) {
    for (int32_t length = 1; length <= kLongest; ++length) {
      for (const bool at_upper_guard : {true, false}) {
        float* mod =
            at_upper_guard ? mod_pages.BeforeUpperGuard(length) : mod_pages.AfterLowerGuard();
        float* output =
            at_upper_guard ? output_pages.BeforeUpperGuard(length) : output_pages.AfterLowerGuard();
        for (int32_t n = 0; n < length; ++n) mod[n] = inputs.Uniform(-2.5f, 2.5f);
        const Quality quality = kQualities[length % 3];
        const pelio::SpanSettings settings{
            mod, output, length, amplitude, 0.0627f, length % (pelio::kMaxHarmonics + 1), quality};
        std::vector<float> expected(length);
        pelio::OscillatorState expected_state = inputs.State();
        pelio::OscillatorState state = expected_state;
        pelio::SpanSettings reference = settings;
        reference.output = expected.data();
        pelio::RenderSpan(reference, expected_state);
        renderer.render(settings, state);
        ASSERT_EQ(0, std::memcmp(expected.data(), output, length * sizeof(float)))
            << renderer.name << " length " << length;
      }
    }
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
  using SineCosine = void (*)(const float*, int32_t, double*, double*);
  std::vector<std::pair<std::string, SineCosine>> evaluations = {
      {"portable 2 lanes", pelio::lanes::LibrarySineCosineFor<pelio::lanes::PortableOps<2, 1>>},
      {"portable 4 lanes", pelio::lanes::LibrarySineCosineFor<pelio::lanes::PortableOps<4, 1>>},
      {"portable 8 lanes", pelio::lanes::LibrarySineCosineFor<pelio::lanes::PortableOps<8, 1>>},
      {"portable 16 lanes", pelio::lanes::LibrarySineCosineFor<pelio::lanes::PortableOps<16, 1>>}};
  for (Isa isa : pelio::kAllIsas) {
    if (!pelio::IsaSupported(isa)) continue;
    evaluations.push_back({pelio::IsaName(isa), nullptr});
  }
  for (const auto& [name, evaluate] : evaluations) {
    if (evaluate != nullptr) {
      evaluate(phases.data(), count, sine.data(), cosine.data());
    } else {
      for (Isa isa : pelio::kAllIsas) {
        if (name == pelio::IsaName(isa)) {
          pelio::LibrarySineCosine(isa, phases.data(), count, sine.data(), cosine.data());
        }
      }
    }
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
        ADD_FAILURE() << name << " at phase " << phases[n] << ": sin " << sine[n] << " cos "
                      << cosine[n];
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

// A phase sum that lands exactly on pi wraps to -pi, as the reference's `sum >= pi` says; random
// increments almost never land there. With an increment of 1/64 and a start of pi - m/64 every
// sum is exact and the m-th lands on pi. With m running past two blocks of the widest renderer,
// across the end of the first span and into the second (whose first phases the first span ran
// ahead), the wrap falls on every lane of every vector of a first, a middle and a last block, and
// on a run-ahead phase. Spans that start at exactly -pi, the phase after Open, are checked too.
TEST(PelioSimd, PhaseSumsLandingExactlyOnPiMatchTheReference) {
  const float increment = 1.0f / 64.0f;
  Inputs inputs(314);
  std::vector<float> mod(128);
  for (float& value : mod) value = inputs.Uniform(-2.5f, 2.5f);
  float amplitude[pelio::kMaxHarmonics];
  for (float& value : amplitude) value = inputs.Uniform(-1.0f, 1.0f);
  struct Start {
    float phase;
    float increment;
  };
  std::vector<Start> starts;
  for (int32_t steps = 1; steps <= 80; ++steps) {
    starts.push_back({pelio::kPi - static_cast<float>(steps) * increment, increment});
  }
  for (float other : {0.0f, increment, 0.0627f, 3.0f}) starts.push_back({-pelio::kPi, other});

  for (const LaneRenderer& renderer : LaneRenderers()) {
    for (Quality quality : kQualities) {
      for (int32_t first_length : {1, 5, 31, 32, 33, 70}) {
        for (const Start& start : starts) {
          pelio::OscillatorState expected = inputs.State();
          expected.phase = start.phase;
          pelio::OscillatorState actual = expected;
          std::vector<float> expected_output(mod.size());
          std::vector<float> actual_output(mod.size());
          for (int32_t length : {first_length, 40}) {
            const pelio::SpanSettings reference = {mod.data(), expected_output.data(), length,
                                                   amplitude,  start.increment,        16,
                                                   quality};
            pelio::SpanSettings lanes = reference;
            lanes.output = actual_output.data();
            pelio::RenderSpan(reference, expected);
            renderer.render(lanes, actual);
            ASSERT_EQ(0, std::memcmp(expected_output.data(), actual_output.data(),
                                     static_cast<size_t>(length) * sizeof(float)))
                << renderer.name << ", quality " << static_cast<int>(quality) << ", from "
                << start.phase << " by " << start.increment << ", span of " << length;
            ASSERT_EQ(Bits(expected.phase), Bits(actual.phase)) << renderer.name;
          }
        }
      }
    }
  }
}

// ---- Each instruction set's operations against the portable ones --------------------------------

// The portable operations of `lanes` lanes on `probe`.
void ProbePortable(int32_t lanes, pelio::LaneProbe& probe) {
  switch (lanes) {
    case 2:
      pelio::lanes::ProbeLanesFor<pelio::lanes::PortableOps<2, 1>>(probe);
      break;
    case 4:
      pelio::lanes::ProbeLanesFor<pelio::lanes::PortableOps<4, 1>>(probe);
      break;
    case 8:
      pelio::lanes::ProbeLanesFor<pelio::lanes::PortableOps<8, 1>>(probe);
      break;
    default:
      pelio::lanes::ProbeLanesFor<pelio::lanes::PortableOps<16, 1>>(probe);
      break;
  }
}

// Equal bits, or both NaN: a NaN never leaves the kernel (it takes the scalar fallback), and
// which NaN an operation on two of them gives is up to the instruction.
template <class Value>
bool SameValue(Value expected, Value actual) {
  return Bits(expected) == Bits(actual) || (std::isnan(expected) && std::isnan(actual));
}

// Operands that reach every case of the operations: zeros of both signs, subnormal doubles and
// floats, the largest and smallest normal numbers, infinities, NaN, values that overflow or tie
// when rounded to float, and random doubles of every magnitude.
class ProbeOperands {
 public:
  explicit ProbeOperands(uint32_t seed) : random_(seed) {}

  double Any() {
    static const double kSpecial[] = {0.0,
                                      -0.0,
                                      1.0,
                                      -1.0,
                                      std::numeric_limits<double>::denorm_min(),
                                      -std::numeric_limits<double>::denorm_min(),
                                      DBL_MIN,
                                      DBL_MAX,
                                      -DBL_MAX,
                                      std::numeric_limits<double>::infinity(),
                                      -std::numeric_limits<double>::infinity(),
                                      std::numeric_limits<double>::quiet_NaN(),
                                      -std::numeric_limits<double>::quiet_NaN(),
                                      1.0 + 0x1p-24,  // halfway between two floats: ties to even
                                      1.0 + 0x1p-23 + 0x1p-24,
                                      3e-39,   // a float subnormal
                                      1e-46,   // below every float
                                      3.5e38,  // overflows a float
                                      3.14159265358979};
    const uint32_t pick = static_cast<uint32_t>(random_()) % 40;
    if (pick < sizeof kSpecial / sizeof kSpecial[0]) return kSpecial[pick];
    const double mantissa = std::uniform_real_distribution<double>(-2.0, 2.0)(random_);
    return std::ldexp(mantissa, std::uniform_int_distribution<int>(-1074, 1023)(random_));
  }
  float AnyFloat() { return static_cast<float>(Any()); }
  // The bits of 1.5 * 2^52 + n, as the reduction leaves its step count, or of any number.
  uint64_t IndexBits() {
    double value = std::ldexp(1.5, 52) + static_cast<double>(random_() % 4096);
    if (random_() % 4 == 0) value = std::uniform_real_distribution<double>(-1e6, 1e6)(random_);
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
  }
  int32_t Extra() { return static_cast<int32_t>(random_() % 200) - 100; }

 private:
  std::mt19937_64 random_;
};

TEST(PelioLanes, EachInstructionSetsOperationsMatchThePortableOnes) {
  double table[portable_math::tables::kSinTableSize];
  for (int entry = 0; entry < portable_math::tables::kSinTableSize; ++entry) {
    table[entry] = portable_math::tables::kSinHigh[entry] + entry;  // 128 distinct values
  }
  std::string native;
  for (Isa isa : FastIsas()) {
    ProbeOperands operands(static_cast<uint32_t>(isa) + 1);
    int32_t lanes = 0;
    for (int trial = 0; trial < 20000; ++trial) {
      // Half the trials give the exact multiply-adds what the kernel gives them: floats.
      const bool float_products = trial % 2 == 0;
      pelio::LaneProbe probe = {};
      for (int lane = 0; lane < pelio::LaneProbe::kMaxLanes; ++lane) {
        probe.first[lane] = float_products ? operands.AnyFloat() : operands.Any();
        probe.second[lane] = float_products ? operands.AnyFloat() : operands.Any();
        probe.third[lane] = operands.Any();
        probe.floats[lane] = operands.AnyFloat();
        probe.index_bits[lane] = operands.IndexBits();
      }
      probe.extra_steps = operands.Extra();
      probe.table = table;
      pelio::LaneProbe expected = probe;
      pelio::ProbeLanes(isa, probe);
      lanes = probe.lanes;
      ProbePortable(lanes, expected);
      ASSERT_EQ(expected.lanes, lanes);

      int differences = 0;
      const auto compare = [&](const char* operation, const auto* want, const auto* got) {
        for (int lane = 0; lane < lanes; ++lane) {
          if (SameValue(want[lane], got[lane])) continue;
          if (++differences <= 5) {
            ADD_FAILURE() << pelio::IsaName(isa) << " " << operation << ", lane " << lane
                          << " of trial " << trial << ": portable " << want[lane] << ", got "
                          << got[lane] << " (operands " << probe.first[lane] << ", "
                          << probe.second[lane] << ", " << probe.third[lane] << ")";
          }
        }
      };
      compare("Broadcast", expected.broadcast, probe.broadcast);
      compare("Load", expected.loaded, probe.loaded);
      compare("LoadFloats", expected.loaded_floats, probe.loaded_floats);
      compare("StoreFloats", expected.stored_floats, probe.stored_floats);
      compare("RoundToFloat", expected.round_to_float, probe.round_to_float);
      compare("Add", expected.add, probe.add);
      compare("Sub", expected.sub, probe.sub);
      compare("Mul", expected.mul, probe.mul);
      if (float_products) {
        compare("MulAddExact", expected.mul_add_exact, probe.mul_add_exact);
        compare("MulSubExact", expected.mul_sub_exact, probe.mul_sub_exact);
        compare("NegMulAddExact", expected.neg_mul_add_exact, probe.neg_mul_add_exact);
      }
      compare("Negate", expected.negate, probe.negate);
      compare("Abs", expected.abs, probe.abs);
      compare("FlipSignBy", expected.flip_sign_by, probe.flip_sign_by);
      compare("Gather of TableIndex of LowBits", expected.gathered, probe.gathered);
      EXPECT_EQ(expected.non_finite, probe.non_finite)
          << pelio::IsaName(isa) << " NonFiniteLanes, trial " << trial;
      ASSERT_EQ(differences, 0);
    }
    native +=
        (native.empty() ? "" : ", ") + std::to_string(lanes) + " (" + pelio::IsaName(isa) + ")";
  }
  // Which widths this processor ran as its own instructions; the portable operations run every
  // width everywhere (PortableRenderers).
  std::printf(
      "[ WIDTHS   ] lanes run natively here: %s; through the portable operations: 2, 4, "
      "8 and 16\n",
      native.empty() ? "none" : native.c_str());
}

}  // namespace
