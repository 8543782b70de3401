// Tessavine's tests: the sine recurrence against its closed form, its two pitch laws, the
// re-seeding that keeps the phase, its behaviour for any input however absurd, and the module as a
// host sees it through the record that `main` returns. The output is fixed to the bit, so the
// golden digests at the end must match on every target.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

#include "gtest/gtest.h"
#include "tessavine/TessavineModule.h"
#include "tessavine/sine_recurrence.h"
#include "tests/float_bits.h"
#include "tests/support/edge_table.h"
#include "tests/support/in_process.h"
#include "tests/support/test_host.h"

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr int16_t kOctave = 0;
constexpr int16_t kKilohertz = 1;

// ---- Independent references, in long double ----------------------------------------------------

long double ReferenceHz(float pitch, int16_t freq_scale) {
  return freq_scale == kOctave ? 440.0L * std::pow(2.0L, 10.0L * pitch - 5.0L) : 10000.0L * pitch;
}

long double ReferenceIncrement(float pitch, int16_t freq_scale, float sample_rate) {
  return 2.0L * 3.14159265358979323846L * ReferenceHz(pitch, freq_scale) / sample_rate;
}

// The output the recurrence approximates from phase zero when every sample may carry its own
// pitch: 0.5·sin of the summed increments (pitches that do not change the frequency, NaN or the
// sentinel before any real pitch, add nothing).
std::vector<double> IntegratedPhaseSine(const std::vector<float>& pitch, int16_t freq_scale,
                                        float sample_rate) {
  std::vector<double> expected;
  long double phase = 0.0L;
  long double increment = 0.0L;
  bool started = false;
  for (float sample_pitch : pitch) {
    if (!std::isnan(sample_pitch) && (started || sample_pitch != -999.0f)) {
      increment = ReferenceIncrement(sample_pitch, freq_scale, sample_rate);
      // Once running, the wave goes on in its direction whatever the increment's sign.
      if (started) increment = std::fabs(increment);
      started = true;
    }
    phase += increment;
    expected.push_back(static_cast<double>(0.5L * std::sin(phase)));
  }
  return expected;
}

std::vector<float> RenderKernel(SineRecurrence& sine, const std::vector<float>& pitch,
                                int16_t freq_scale) {
  std::vector<float> output(pitch.size());
  sine.Render(pitch.data(), output.data(), static_cast<int32_t>(pitch.size()), freq_scale);
  return output;
}

std::vector<float> Repeat(float pitch, size_t count) { return std::vector<float>(count, pitch); }

std::vector<float> Join(std::vector<float> first, const std::vector<float>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// FNV-1a over the bits of every sample.
uint64_t Digest(const std::vector<float>& samples) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (float sample : samples) {
    uint32_t bits;
    std::memcpy(&bits, &sample, sizeof(bits));
    for (int byte = 0; byte < 4; ++byte) {
      hash ^= (bits >> (8 * byte)) & 0xFF;
      hash *= 0x100000001b3ull;
    }
  }
  return hash;
}

// ---- A host, as far as the tests need one ------------------------------------------------------

// The host's clock whenever a HostedTessavine below opens.
uint32_t g_host_clock = 0;

// One Tessavine made by the library's entry and driven only through its record, by the test host.
class HostedTessavine {
 public:
  explicit HostedTessavine(float sample_rate = 44100.0f) : host_(se_test::InProcessEntry<Module>) {
    Call(ModuleOpcode::SetSampleRate, 0, nullptr, sample_rate);
  }
  ~HostedTessavine() { Call(ModuleOpcode::Close); }

  int32_t Call(ModuleOpcode opcode, int32_t index = 0, void* ptr = nullptr, float opt = 0.0f) {
    return host_.core().Dispatch(static_cast<int32_t>(opcode), index, 0, ptr, opt);
  }
  void Open() {
    host_.core().set_sample_clock(g_host_clock);
    Call(ModuleOpcode::Open);
  }

  // Stores `buffer` in the member that pin `index` is bound to, as the host does before a block.
  void Bind(int32_t index, float* buffer) { ASSERT_TRUE(host_.core().BindAudioPin(index, buffer)); }

  void QueuePinUpdate(uint32_t time_stamp, int32_t pin, int32_t value) {
    host_.core().PinUpdate(pin, 0, value, time_stamp);
  }
  void Process(int32_t buffer_offset, int32_t sampleFrames) {
    host_.core().Process(buffer_offset, sampleFrames);
  }

  // Renders the whole pitch buffer in blocks of `block` samples; the clock starts at 0, so the
  // sample at index n renders at clock n (pin updates queued before are handled at their sample).
  std::vector<float> Render(std::vector<float> pitch, int32_t block = 256) {
    std::vector<float> output(pitch.size(), 0.0f);
    Bind(0, pitch.data());
    Bind(1, output.data());
    const int32_t total = static_cast<int32_t>(pitch.size());
    for (int32_t offset = 0; offset < total; offset += block) {
      Process(offset, std::min(block, total - offset));
    }
    return output;
  }

  ModuleRecord* record() const { return host_.record(); }
  const std::vector<se_host::HostRequest>& requests() { return host_.core().requests(); }

 private:
  se_test::TestHost host_;
};

// ---- The recurrence against its closed form ----------------------------------------------------

struct ClosedFormCase {
  float sample_rate;
  float pitch;
  int16_t freq_scale;
};

class ClosedForm : public ::testing::TestWithParam<ClosedFormCase> {};

// Output sample m after the first pitch is 0.5·sin((m + 1)·ω). The recurrence's rounding errors
// (about two ulps per step, each carried on with a gain of up to 1/|sin ω|, plus the rounding of
// m_coeff, which shifts the phase by up to ε/(2|sin ω|) per step) grow at most linearly with m;
// the float output adds half an ulp.
double ClosedFormTolerance(int64_t m, long double increment) {
  return 0.5 * (m + 1) * 4.0 * DBL_EPSILON / std::fabs(std::sin(static_cast<double>(increment))) +
         std::ldexp(1.0, -26);
}

TEST_P(ClosedForm, FollowsTheSineFromPhaseZero) {
  const ClosedFormCase param = GetParam();
  SineRecurrence sine;
  sine.Reset(param.sample_rate);
  const std::vector<float> output = RenderKernel(sine, Repeat(param.pitch, 4000), param.freq_scale);
  const long double increment =
      ReferenceIncrement(param.pitch, param.freq_scale, param.sample_rate);
  double peak = 0.0;
  for (size_t m = 0; m < output.size(); ++m) {
    const double expected = static_cast<double>(0.5L * std::sin((m + 1) * increment));
    ASSERT_NEAR(output[m], expected, ClosedFormTolerance(m, increment)) << "sample " << m;
    peak = std::max(peak, std::fabs(static_cast<double>(output[m])));
  }
  EXPECT_NEAR(peak, 0.5, 1e-4);
}

INSTANTIATE_TEST_SUITE_P(RatesAndLaws, ClosedForm,
                         ::testing::Values(ClosedFormCase{44100.0f, 0.5f, kOctave},      // 440 Hz
                                           ClosedFormCase{48000.0f, 0.0f, kOctave},      // 13.75
                                           ClosedFormCase{96000.0f, 1.1f, kOctave},      // 28160
                                           ClosedFormCase{44100.0f, 0.1f, kKilohertz},   // 1000
                                           ClosedFormCase{22050.0f, 1.0f, kKilohertz},   // 10000
                                           ClosedFormCase{44100.0f, 3.0f, kKilohertz}),  // alias
                         [](const auto& info) { return "case" + std::to_string(info.index); });

// ---- Pitch laws --------------------------------------------------------------------------------

TEST(PitchLaws, GiveTheirFrequencies) {
  struct Case {
    int16_t freq_scale;
    float pitch;
    double hertz;
  };
  const Case cases[] = {{kOctave, 0.5f, 440.0},     {kOctave, 0.0f, 13.75},
                        {kOctave, 0.6f, 880.0},     {kOctave, -0.1f, 6.875},
                        {kKilohertz, 0.5f, 5000.0}, {kKilohertz, 0.1f, 1000.0},
                        {7, 0.1f, 1000.0},          {-1, 0.1f, 1000.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "scale " << c.freq_scale << " pitch " << c.pitch);
    SineRecurrence sine;
    sine.Reset(44100.0f);
    RenderKernel(sine, {c.pitch}, c.freq_scale);
    EXPECT_NEAR(sine.m_frequency, c.hertz, c.hertz * 1e-6);
    EXPECT_EQ(sine.m_last_pitch, c.pitch);
    EXPECT_EQ(sine.m_increment, 6.283185307179586 * (1.0 / 44100.0) * sine.m_frequency);
  }
}

TEST(PitchLaws, KilohertzZeroIsSilentFirstAndHoldsLater) {
  SineRecurrence sine;
  sine.Reset(44100.0f);
  for (float out : RenderKernel(sine, Repeat(0.0f, 500), kKilohertz)) ASSERT_EQ(out, 0.0f);
  EXPECT_EQ(sine.m_coeff, 2.0);

  sine.Reset(44100.0f);
  const std::vector<float> output =
      RenderKernel(sine, Join(Repeat(0.1f, 30), Repeat(0.0f, 2000)), kKilohertz);
  for (size_t n = 30; n < output.size(); ++n) ASSERT_NEAR(output[n], output[29], 1e-9) << n;
  EXPECT_GT(std::fabs(output[29]), 0.1f);
}

TEST(PitchLaws, NegativeKilohertzStartsDownwardsAndRunsOnAsPositive) {
  SineRecurrence sine;
  sine.Reset(44100.0f);
  const std::vector<float> output = RenderKernel(sine, Repeat(-0.1f, 200), kKilohertz);
  const long double increment = ReferenceIncrement(0.1f, kKilohertz, 44100.0f);
  for (size_t m = 0; m < output.size(); ++m) {
    ASSERT_NEAR(output[m], static_cast<double>(0.5L * std::sin(-(m + 1.0L) * increment)),
                ClosedFormTolerance(m, increment));
  }

  SineRecurrence negative;
  SineRecurrence positive;
  negative.Reset(44100.0f);
  positive.Reset(44100.0f);
  const std::vector<float> start = Repeat(0.2f, 37);
  EXPECT_EQ(RenderKernel(negative, Join(start, Repeat(-0.13f, 500)), kKilohertz),
            RenderKernel(positive, Join(start, Repeat(0.13f, 500)), kKilohertz));
  EXPECT_EQ(negative.m_coeff, positive.m_coeff);
}

// ---- Pitch changes -----------------------------------------------------------------------------

// Each change is taken at its own sample and the wave runs on from its phase without a jump.
TEST(PitchChange, KeepsThePhase) {
  // At 440 Hz the wave rises through samples 0-24, falls through 25-75 and rises again after.
  for (size_t change : {10, 25, 26, 40, 60, 90}) {
    SCOPED_TRACE(testing::Message() << "change at " << change);
    const std::vector<float> pitch = Join(Repeat(0.5f, change), Repeat(0.55f, 300));
    SineRecurrence sine;
    sine.Reset(44100.0f);
    const std::vector<float> output = RenderKernel(sine, pitch, kOctave);
    const std::vector<double> expected = IntegratedPhaseSine(pitch, kOctave, 44100.0f);
    for (size_t n = 0; n < output.size(); ++n) ASSERT_NEAR(output[n], expected[n], 1e-7) << n;
  }
}

// With a new pitch at every sample, each sample must lie one increment of its own pitch beyond
// the sample before it, in the direction the wave was going: a rising wave (the sample before
// lower) is at phase asin(2·out), a falling one at π − asin(2·out). Checked where that phase is
// well conditioned, away from the peaks.
TEST(PitchChange, EverySampleTakesItsOwnFrequency) {
  std::vector<float> glide;
  for (int n = 0; n < 3000; ++n) glide.push_back(0.2f + 0.6f * n / 3000.0f);
  SineRecurrence sine;
  sine.Reset(44100.0f);
  const std::vector<float> output = RenderKernel(sine, glide, kOctave);
  int checked = 0;
  for (size_t n = 2; n < output.size(); ++n) {
    const long double before = 2.0L * output[n - 1];
    if (std::fabs(before) > 0.9L || output[n - 1] == output[n - 2]) continue;
    const bool rising = output[n - 1] > output[n - 2];
    const long double phase =
        rising ? std::asin(before) : 3.14159265358979323846L - std::asin(before);
    const long double increment = ReferenceIncrement(glide[n], kOctave, 44100.0f);
    ASSERT_NEAR(output[n], static_cast<double>(0.5L * std::sin(phase + increment)), 2e-7) << n;
    ++checked;
  }
  EXPECT_GT(checked, 2000);
  EXPECT_EQ(sine.m_last_pitch, glide.back());
}

// A glide changes the pitch at every sample, so the wave is re-seeded at every sample, also
// where a peak falls between two samples and the newer one is already past it. Its phase must
// still be the running sum of the increments: the frequency the pitch asks for, sample by
// sample, up and down, under both laws, from slow glides to ones near a quarter of the rate.
TEST(PitchChange, AGlideFollowsItsPitchThroughEveryPeak) {
  struct Glide {
    float from, to;
    int16_t law;
  };
  for (const Glide glide : {Glide{0.2f, 0.8f, kOctave}, Glide{0.8f, 0.3f, kOctave},
                            Glide{0.05f, 1.0f, kKilohertz}, Glide{0.9f, 0.001f, kKilohertz}}) {
    SCOPED_TRACE(testing::Message() << glide.from << " to " << glide.to << ", law " << glide.law);
    std::vector<float> pitch;
    for (int n = 0; n < 44100; ++n)
      pitch.push_back(glide.from + (glide.to - glide.from) * n / 44100.0f);
    SineRecurrence sine;
    sine.Reset(44100.0f);
    const std::vector<float> output = RenderKernel(sine, pitch, glide.law);
    const std::vector<double> expected = IntegratedPhaseSine(pitch, glide.law, 44100.0f);
    double worst = 0.0;
    for (size_t n = 0; n < output.size(); ++n)
      worst = std::max(worst, std::fabs(output[n] - expected[n]));
    EXPECT_LT(worst, 1e-5);
  }
}

TEST(PitchChange, NaNIsNoChange) {
  std::vector<float> pitch = Repeat(0.5f, 3000);
  for (size_t n = 7; n < pitch.size(); n += 7) pitch[n] = kNaN;
  SineRecurrence with_nan;
  SineRecurrence steady;
  with_nan.Reset(44100.0f);
  steady.Reset(44100.0f);
  EXPECT_EQ(RenderKernel(with_nan, pitch, kOctave),
            RenderKernel(steady, Repeat(0.5f, 3000), kOctave));
  EXPECT_EQ(with_nan.m_last_pitch, 0.5f);
}

// +0 and -0 differ in their bits but not as numbers: no change either, so no re-seeding (which
// would re-anchor the amplitude and change the bits).
TEST(PitchChange, SignedZeroIsNoChange) {
  std::vector<float> pitch = Repeat(0.0f, 3000);
  for (size_t n = 5; n < pitch.size(); n += 5) pitch[n] = -0.0f;
  SineRecurrence with_negative_zero;
  SineRecurrence steady;
  with_negative_zero.Reset(44100.0f);
  steady.Reset(44100.0f);
  EXPECT_EQ(Digest(RenderKernel(with_negative_zero, pitch, kOctave)),
            Digest(RenderKernel(steady, Repeat(0.0f, 3000), kOctave)));
  EXPECT_EQ(Bits(with_negative_zero.m_y1), Bits(steady.m_y1));
  EXPECT_EQ(Bits(with_negative_zero.m_y2), Bits(steady.m_y2));
}

// ---- Any input keeps the state finite ----------------------------------------------------------

bool StateIsFinite(const SineRecurrence& sine) {
  return std::isfinite(sine.m_y1) && std::isfinite(sine.m_y2) && std::isfinite(sine.m_coeff) &&
         std::isfinite(sine.m_increment) && std::isfinite(sine.m_frequency) &&
         std::isfinite(sine.m_sample_period) && !std::isnan(sine.m_last_pitch);
}

// Absurd pitches may do anything finite; a sane pitch after them re-anchors the wave at 0.5.
TEST(AnyInput, StaysFiniteAndRecovers) {
  const float absurd[] = {kInf,   -kInf,  kNaN,    200.0f, -200.0f, 1e38f,  -1e38f, FLT_MAX,
                          1e-45f, 1e-40f, -1e-40f, 3.0f,   -3.0f,   102.5f, 1e-9f,  -999.0f};
  for (int16_t freq_scale : {kOctave, kKilohertz}) {
    SineRecurrence sine;
    sine.Reset(44100.0f);
    uint32_t lcg = 12345;
    for (int round = 0; round < 300; ++round) {
      std::vector<float> pitch;
      for (int n = 0; n < 40; ++n) {
        lcg = lcg * 1664525u + 1013904223u;
        pitch.push_back(absurd[(lcg >> 8) % (sizeof(absurd) / sizeof(absurd[0]))]);
      }
      for (float out : RenderKernel(sine, pitch, freq_scale)) ASSERT_TRUE(std::isfinite(out));
      ASSERT_TRUE(StateIsFinite(sine)) << "round " << round;

      const float sane = freq_scale == kOctave ? 0.5f : 0.044f;  // 440 Hz
      double peak = 0.0;
      for (float out : RenderKernel(sine, Repeat(sane, 120), freq_scale)) {
        peak = std::max(peak, std::fabs(static_cast<double>(out)));
      }
      ASSERT_LE(peak, 0.5 + 1e-6) << "round " << round;
      ASSERT_GE(peak, 0.49) << "round " << round;
    }
  }
}

TEST(AnyInput, SampleRateWithoutFiniteReciprocalHolds) {
  for (float sample_rate : {0.0f, -0.0f, kNaN}) {
    SineRecurrence sine;
    sine.Reset(sample_rate);
    for (float out : RenderKernel(sine, {0.5f, 0.6f, 0.7f}, kOctave)) EXPECT_EQ(out, 0.0f);
    EXPECT_TRUE(StateIsFinite(sine));
  }
}

// At a frequency so low that m_coeff rounds to exactly 2 the recurrence is a ramp that leaves
// [-1, 1]. The next re-seedings must bring it back to the unit sine instead of amplifying it.
TEST(AnyInput, RampPastUnityIsReanchored) {
  SineRecurrence sine;
  sine.Reset(44100.0f);
  const float creeping = 7e-9f;  // kilohertz law: 7e-5 Hz, an increment of 1e-8
  std::vector<float> block = Repeat(creeping, 1 << 16);
  std::vector<float> output(block.size());
  for (int round = 0; round < 1800; ++round) {
    sine.Render(block.data(), output.data(), static_cast<int32_t>(block.size()), kKilohertz);
  }
  ASSERT_EQ(sine.m_coeff, 2.0);
  ASSERT_GT(sine.m_y1, 1.1);

  for (int round = 0; round < 40; ++round) {
    const std::vector<float> slow = Repeat(round % 2 ? 7e-7f : 7.1e-7f, 100000);
    double peak = 0.0;
    for (float out : RenderKernel(sine, slow, kKilohertz)) {
      peak = std::max(peak, std::fabs(static_cast<double>(out)));
    }
    ASSERT_LE(peak, 0.5 + 1e-6) << "round " << round;
    ASSERT_TRUE(StateIsFinite(sine));
  }
}

// ---- Every comparison of the generator that decides a path, at its boundary ---------------------

// Each row: a comparison of the generator, three inputs (one step below its boundary, on it, one
// step above) and what each must give. A > written for a >= changes only the middle one.
TEST(GeneratorEdges, EveryComparisonThatDecidesAPathAtAndAroundItsBoundary) {
  const double denorm = std::numeric_limits<float>::denorm_min();
  // A generator at 440 Hz whose state is then (y1, y2), re-seeded for 528 Hz.
  const auto reseeded = [](double y1, double y2) {
    SineRecurrence sine;
    sine.Reset(44100.0f);
    sine.Retune(0.5f, kOctave);
    sine.m_y1 = y1;
    sine.m_y2 = y2;
    sine.Retune(0.6f, kOctave);
    return sine;
  };
  // With y1 = 0.5 the side of the peak changes where y2 = 0.5·cos w, w the step at 440 Hz.
  SineRecurrence at_440;
  at_440.Reset(44100.0f);
  at_440.Retune(0.5f, kOctave);
  const double side_boundary = 0.5 * at_440.m_coeff * 0.5;
  const se_test::EdgeRow<double> edges[] = {
      {"re-seeding takes a value above 1 as the peak",
       {std::nextafter(1.0, 0.0), 1.0, std::nextafter(1.0, 2.0)},
       [&](double y1) { return reseeded(y1, 0.5).m_y1; },
       {std::nextafter(1.0, 0.0), 1.0, 1.0}},
      {"re-seeding takes a value below -1 as the trough",
       {std::nextafter(-1.0, -2.0), -1.0, std::nextafter(-1.0, 0.0)},
       [&](double y1) { return reseeded(y1, -0.5).m_y1; },
       {-1.0, -1.0, std::nextafter(-1.0, 0.0)}},
      {"a rising wave (y2 < y1 cos w) steps back, a falling one (y2 >= y1 cos w) steps on",
       {std::nextafter(side_boundary, 0.0), side_boundary, std::nextafter(side_boundary, 1.0)},
       [&](double y2) { return reseeded(0.5, y2).m_y2 > 0.5 ? 1.0 : -1.0; },
       {-1.0, 1.0, 1.0}},
      {"Freq Scale 0 is 1 V/octave, any other value 1 V/kHz",
       {-1, 0, 1},
       [](double freq_scale) {
         SineRecurrence sine;
         sine.Reset(44100.0f);
         sine.Retune(0.5f, static_cast<int16_t>(freq_scale));
         return sine.m_frequency;
       },
       {5000.0, 440.0, 5000.0}},
      {"after a pitch of +0, -0 is no change and the nearest pitches either side are",
       {-denorm, -0.0, denorm},
       [](double pitch) {
         SineRecurrence sine;
         sine.Reset(44100.0f);
         RenderKernel(sine, {0.5f, 0.0f, static_cast<float>(pitch)}, kKilohertz);
         return sine.m_frequency;
       },
       {-10000.0 * denorm, 0.0, 10000.0 * denorm}},
      {"a sample rate is usable where its reciprocal is finite, 0 is not",
       {-denorm, 0.0, denorm},
       [](double sample_rate) {
         SineRecurrence sine;
         sine.Reset(static_cast<float>(sample_rate));
         return sine.m_sample_period;
       },
       {-1.0 / denorm, 0.0, 1.0 / denorm}},
  };
  se_test::ExpectEveryEdge(edges);
}

// ---- An hour at 20 Hz --------------------------------------------------------------------------

struct LongRun {
  double lowest_peak = 1.0;   // the smallest of the per-second peaks of |output|
  double highest_peak = 0.0;  // the largest
  SineRecurrence sine;
};

// One hour at 44.1 kHz, rendered a second at a time; `second_pitch`, if any, alternates with
// `pitch` every second so that every second re-seeds.
LongRun RunOneHour(float pitch, float second_pitch) {
  LongRun run;
  run.sine.Reset(44100.0f);
  std::vector<float> first_buffer = Repeat(pitch, 44100);
  std::vector<float> second_buffer = Repeat(second_pitch, 44100);
  std::vector<float> output(44100);
  for (int second = 0; second < 3600; ++second) {
    const bool alternate = second % 2 == 1 && !std::isnan(second_pitch);
    const float* buffer = alternate ? second_buffer.data() : first_buffer.data();
    run.sine.Render(buffer, output.data(), 44100, kOctave);
    float peak = 0.0f;
    for (float out : output) peak = std::max(peak, std::fabs(out));
    run.lowest_peak = std::min(run.lowest_peak, static_cast<double>(peak));
    run.highest_peak = std::max(run.highest_peak, static_cast<double>(peak));
  }
  return run;
}

const float kTwentyHertz = static_cast<float>(0.1 * std::log2(20.0 / 13.75));

TEST(LongRun, AnHourAtTwentyHertzKeepsItsPeak) {
  const LongRun run = RunOneHour(kTwentyHertz, kNaN);
  EXPECT_GE(run.lowest_peak, 0.5 * 0.999);
  EXPECT_LE(run.highest_peak, 0.5 * 1.001);
  EXPECT_TRUE(StateIsFinite(run.sine));
  // The 158.76 million steps of 64-bit state must agree to the bit on every target.
  EXPECT_EQ(Bits(run.sine.m_y1), 0x3f0f48e3fb8b0e80ull);
  EXPECT_EQ(Bits(run.sine.m_y2), 0xbf66dab95d1525d8ull);
}

TEST(LongRun, AnHourOfPitchChangesKeepsItsPeak) {
  const LongRun run = RunOneHour(kTwentyHertz, kTwentyHertz * 1.01f);
  EXPECT_GE(run.lowest_peak, 0.5 * 0.999);
  EXPECT_LE(run.highest_peak, 0.5 * 1.001);
  EXPECT_TRUE(StateIsFinite(run.sine));
  // The correctly rounded functions' state (tessavine_mpfr_test builds it on MPFR).
  EXPECT_EQ(Bits(run.sine.m_y1), 0x3fe9076bcad4db3cull);
  EXPECT_EQ(Bits(run.sine.m_y2), 0x3fe8f8cba5e5ac94ull);
}

// ---- The module through its record -------------------------------------------------------------

TEST(Record, AnswersIdentityAndPins) {
  HostedTessavine module;
  struct {
    ModuleProperties properties;
    const char* after;
  } texts = {{nullptr, nullptr, nullptr}, "untouched"};
  ASSERT_EQ(module.Call(ModuleOpcode::GetModuleProperties, 0, &texts), 1);
  EXPECT_STREQ(texts.properties.name, "Tessavine");
  EXPECT_STREQ(texts.properties.id, "morvane Tessavine");
  EXPECT_STREQ(texts.properties.about, "Tessavine module v 1.1\n");
  EXPECT_STREQ(texts.after, "untouched");

  struct Expected {
    const char* name;
    PinDirection direction;
    const char* default_value;
    PinDatatype datatype;
    const char* extra;
  };
  const char* const kUnwritten = "unwritten";
  const Expected expected[] = {
      {"Pitch", PinDirection::Input, "5", PinDatatype::Audio, kUnwritten},
      {"Signal Out", PinDirection::Output, "0", PinDatatype::Audio, kUnwritten},
      {"Freq Scale", PinDirection::Setting, "0", PinDatatype::Enum, "1 Volt/Octave,1 Volt/kHz"}};
  std::vector<void*> variables;
  for (int32_t index = 0; index < 3; ++index) {
    SCOPED_TRACE(index);
    PinDescription description = {};
    description.extra = kUnwritten;
    ASSERT_EQ(module.Call(ModuleOpcode::GetPinProperties, index, &description), 1);
    EXPECT_STREQ(description.name, expected[index].name);
    EXPECT_EQ(description.direction, static_cast<int32_t>(expected[index].direction));
    EXPECT_EQ(description.datatype, static_cast<int32_t>(expected[index].datatype));
    EXPECT_STREQ(description.default_value, expected[index].default_value);
    EXPECT_STREQ(description.extra, expected[index].extra);
    variables.push_back(description.variable_address);
  }
  EXPECT_TRUE(variables[0] && variables[1] && variables[2]);
  EXPECT_TRUE(variables[0] != variables[1] && variables[1] != variables[2]);

  for (int32_t index : {3, 4, -1, INT32_MIN}) {
    PinDescription description;
    std::memset(&description, 0x5A, sizeof(description));
    PinDescription before = description;
    EXPECT_EQ(module.Call(ModuleOpcode::GetPinProperties, index, &description), 0) << index;
    EXPECT_EQ(std::memcmp(&description, &before, sizeof(description)), 0) << index;
  }
}

TEST(Record, OpenAnnouncesTheOutputAtTheClock) {
  g_host_clock = 123456;
  HostedTessavine module;
  module.Open();
  g_host_clock = 0;
  ASSERT_EQ(module.requests().size(), 3u);
  EXPECT_EQ(module.requests()[0].opcode, static_cast<int32_t>(HostOpcode::GetSampleClock));
  EXPECT_EQ(module.requests()[1].opcode, static_cast<int32_t>(HostOpcode::GetPinCount));
  const se_host::HostRequest& status = module.requests()[2];
  EXPECT_EQ(status.record, module.record());
  EXPECT_EQ(status.opcode, static_cast<int32_t>(HostOpcode::SetPinStatus));
  EXPECT_EQ(status.index, 1);
  EXPECT_EQ(status.value, 2);
  EXPECT_EQ(status.ptr, 123456u);
  EXPECT_EQ(status.opt, 0.0f);
}

// The first samples at 440 Hz, the host's way: through the record, in spans cut by an event.
TEST(Record, StartsAtPhaseZeroAfterOpen) {
  HostedTessavine module;
  module.Open();
  module.QueuePinUpdate(100, 2, 0);  // Freq Scale stays at octaves; only cuts the span
  const std::vector<float> output = module.Render(Repeat(0.5f, 1000), 64);
  const long double increment = ReferenceIncrement(0.5f, kOctave, 44100.0f);
  EXPECT_GT(output[0], 0.0f);
  for (size_t m = 0; m < output.size(); ++m) {
    ASSERT_NEAR(output[m], static_cast<double>(0.5L * std::sin((m + 1) * increment)),
                ClosedFormTolerance(m, increment));
  }
}

TEST(Record, SilentUntilTheFirstRealPitch) {
  std::vector<float> pitch = Join(Repeat(-999.0f, 100), Repeat(kNaN, 100));
  pitch = Join(Join(pitch, Repeat(-999.0f, 10)), Repeat(0.5f, 300));
  HostedTessavine module;
  module.Open();
  const std::vector<float> output = module.Render(pitch);
  for (size_t n = 0; n < 210; ++n) ASSERT_EQ(output[n], 0.0f) << n;

  HostedTessavine fresh;
  fresh.Open();
  const std::vector<float> from_open = fresh.Render(Repeat(0.5f, 300));
  EXPECT_EQ(std::vector<float>(output.begin() + 210, output.end()), from_open);

  // Opened again mid-wave: silent again until a real pitch, then from phase zero again.
  module.Open();
  const std::vector<float> reopened = module.Render(Join(Repeat(kNaN, 50), Repeat(0.5f, 300)));
  for (size_t n = 0; n < 50; ++n) ASSERT_EQ(reopened[n], 0.0f) << n;
  EXPECT_EQ(std::vector<float>(reopened.begin() + 50, reopened.end()), from_open);
}

TEST(Record, FreqScaleAloneChangesNothingUntilThePitchMoves) {
  const std::vector<float> pitch = Join(Repeat(0.1f, 700), Repeat(0.1001f, 300));
  HostedTessavine octaves;
  octaves.Open();
  const std::vector<float> reference = octaves.Render(pitch);

  HostedTessavine switched;
  switched.Open();
  switched.QueuePinUpdate(300, 2, 1);
  const std::vector<float> output = switched.Render(pitch);
  EXPECT_EQ(std::vector<float>(output.begin(), output.begin() + 700),
            std::vector<float>(reference.begin(), reference.begin() + 700));
  // From the pitch change on, the kilohertz law: about 1001 Hz instead of 27.5 Hz.
  const long double increment = ReferenceIncrement(0.1001f, kKilohertz, 44100.0f);
  int crossings = 0;
  for (size_t n = 701; n < output.size(); ++n) crossings += (output[n - 1] < 0) != (output[n] < 0);
  EXPECT_NEAR(crossings, static_cast<double>(300 * increment / 3.14159265358979323846L), 1.0);
}

TEST(Record, RendersNothingWithoutBuffersOrSamples) {
  HostedTessavine module;
  std::vector<float> pitch = Repeat(0.5f, 64);
  std::vector<float> output = Repeat(7.0f, 64);
  module.Bind(0, pitch.data());
  module.Bind(1, output.data());
  module.Process(0, 64);  // before Open: the frame's empty renderer
  module.Open();
  module.Bind(0, nullptr);
  module.Process(0, 64);
  module.Bind(0, pitch.data());
  module.Bind(1, nullptr);
  module.Process(0, 64);
  EXPECT_EQ(output, Repeat(7.0f, 64));

  Module direct(nullptr);
  direct.Open();
  PinDescription description = {};
  direct.GetPinProperties(0, &description);
  *static_cast<float**>(description.variable_address) = pitch.data();
  direct.GetPinProperties(1, &description);
  *static_cast<float**>(description.variable_address) = output.data();
  direct.sub_process(0, 0);
  direct.sub_process(0, -5);
  EXPECT_EQ(output, Repeat(7.0f, 64));
}

// ---- Golden output -----------------------------------------------------------------------------

// A scenario that visits every path: silence before the first pitch, both laws, a Freq Scale
// switch, steps, a glide, NaN, a negative and a zero frequency, an alias above Nyquist and an
// absurd pitch; rendered in blocks of 96 with events inside them.
TEST(Golden, ScenarioDigest) {
  std::vector<float> pitch = Join(Repeat(kNaN, 50), Repeat(0.5f, 400));
  pitch = Join(pitch, Repeat(0.62f, 333));
  for (int n = 0; n < 500; ++n) pitch.push_back(0.62f - 0.5f * n / 500.0f);
  for (size_t n = 900; n < 1000; n += 3) pitch[n] = kNaN;
  pitch = Join(pitch, Repeat(200.0f, 50));
  pitch = Join(pitch, Repeat(0.3f, 300));
  // Kilohertz from sample 1633 on.
  pitch = Join(pitch, Repeat(0.05f, 400));
  pitch = Join(pitch, Repeat(-0.08f, 400));
  pitch = Join(pitch, Repeat(0.0f, 200));
  pitch = Join(pitch, Repeat(3.1f, 300));
  pitch = Join(pitch, Repeat(0.2f, 400));
  HostedTessavine module;
  module.Open();
  module.QueuePinUpdate(1633, 2, 1);
  const std::vector<float> output = module.Render(pitch, 96);
  for (float out : output) ASSERT_TRUE(std::isfinite(out));
  EXPECT_EQ(Digest(output), 0x70581a772699b840ull);
}

}  // namespace
