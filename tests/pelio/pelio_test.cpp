// Pelio, the additive oscillator: its kernel against the formulas, and the module driven through
// its exported record the way a host drives it. The same program runs on every target, and the
// bit-exact expectations are what makes the targets agree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "pelio/PelioModule.h"
#include "pelio/pelio_kernel.h"
#include "tests/float_bits.h"
#include "tests/support/edge_table.h"
#include "tests/support/in_process.h"
#include "tests/support/test_host.h"

namespace {

using pelio::kPi;
using pelio::kTwoPi;

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// Compares float bit patterns, so that -0 differs from +0 and the message shows both values.
#define EXPECT_SAME_FLOAT(expected, actual) \
  EXPECT_EQ(Bits(expected), Bits(actual)) << "expected " << (expected) << ", got " << (actual)

// ---- Kernel: pitch laws and the harmonic count --------------------------------------------------

TEST(PelioPitch, OctaveLawAndItsCutOff) {
  EXPECT_SAME_FLOAT(440.0f, pelio::OctaveLawFrequency(0.5f));
  EXPECT_SAME_FLOAT(13.75f, pelio::OctaveLawFrequency(0.0f));
  EXPECT_SAME_FLOAT(7040.0f, pelio::OctaveLawFrequency(0.9f));
  // 1.2f * 10 rounds to exactly 12: the cut-off pitch itself still sounds.
  EXPECT_SAME_FLOAT(56320.0f, pelio::OctaveLawFrequency(1.2f));
  EXPECT_SAME_FLOAT(0.0f, pelio::OctaveLawFrequency(std::nextafter(1.2f, 2.0f)));
}

TEST(PelioPitch, SilenceWhereThereIsNoFrequencyToRender) {
  EXPECT_SAME_FLOAT(1000.0f, pelio::KilohertzLawFrequency(0.1f));
  const float rph = pelio::RadiansPerHertz(44100.0f);
  struct Case {
    int16_t freq_scale;
    float pitch;
    float radians_per_hz;
  };
  const Case cases[] = {
      {1, 0.0f, rph},   {1, -0.0f, rph}, {1, -0.3f, rph}, {1, -kInf, rph}, {0, kNaN, rph},
      {1, kNaN, rph},   {1, kInf, rph},  {1, 1e36f, rph},  // 1e40 Hz overflows the float frequency
      {0, -20.0f, rph},                                    // 2^-200 underflows to 0 Hz
      {0, 0.5f, kInf},  // radians per hertz of a zero sample rate
      {1, 0.1f, kNaN},
  };
  for (const Case& c : cases) {
    const pelio::SpanTuning tuning =
        pelio::TuneSpan(c.freq_scale, c.pitch, 44100.0f, c.radians_per_hz, 16);
    EXPECT_SAME_FLOAT(0.0f, tuning.increment) << c.freq_scale << " " << c.pitch;
    EXPECT_EQ(0, tuning.harmonic_count) << c.freq_scale << " " << c.pitch;
  }
}

TEST(PelioHarmonicCount, SmallerOfNyquistAndSetting) {
  EXPECT_EQ(16, pelio::NyquistHarmonicCount(44100.0f, 440.0f, 16));  // quotient 50.1
  EXPECT_EQ(4, pelio::NyquistHarmonicCount(44100.0f, 440.0f, 4));
  for (int32_t setting = 3; setting <= 16; ++setting) {
    EXPECT_EQ(3, pelio::NyquistHarmonicCount(44100.0f, 7040.0f, setting));  // quotient 3.13
  }
  EXPECT_EQ(16, pelio::NyquistHarmonicCount(44100.0f, 1000.0f, 16));  // quotient 22.05
  // An exact integer quotient sums the harmonic sitting on half the sample rate.
  EXPECT_EQ(10, pelio::NyquistHarmonicCount(44100.0f, 2205.0f, 16));
  EXPECT_EQ(1, pelio::NyquistHarmonicCount(44100.0f, 22050.0f, 16));
  EXPECT_EQ(0, pelio::NyquistHarmonicCount(112639.0f, 56320.0f, 16));
  EXPECT_EQ(1, pelio::NyquistHarmonicCount(112640.0f, 56320.0f, 16));
}

TEST(PelioHarmonicCount, OutsideTheItemList) {
  // Quotients past the 32-bit truncation leave the setting as the count.
  EXPECT_EQ(16, pelio::NyquistHarmonicCount(44100.0f, 1e-6f, 16));
  EXPECT_EQ(7, pelio::NyquistHarmonicCount(44100.0f, 1e-30f, 7));
  EXPECT_EQ(16, pelio::NyquistHarmonicCount(kInf, 440.0f, 16));
  // Never more than the sixteen there is room for; nothing for a setting of 0 or less.
  EXPECT_EQ(16, pelio::NyquistHarmonicCount(44100.0f, 1e-6f, 32767));
  EXPECT_EQ(16, pelio::NyquistHarmonicCount(44100.0f, 100.0f, 300));
  EXPECT_EQ(0, pelio::NyquistHarmonicCount(44100.0f, 440.0f, 0));
  EXPECT_EQ(0, pelio::NyquistHarmonicCount(44100.0f, 1e-30f, -32768));
  // Nonsensical sample rates.
  EXPECT_EQ(0, pelio::NyquistHarmonicCount(kNaN, 440.0f, 16));
  EXPECT_EQ(0, pelio::NyquistHarmonicCount(-44100.0f, 440.0f, 16));
}

// ---- Kernel: sine, cosine, recurrence, sum, phase -----------------------------------------------

TEST(PelioSineCosine, PolynomialsAgainstTheLibrary) {
  // Taylor series to x^11 / x^12: the truncation error is about 3e-8 at |x| = 1, and the float
  // result adds at most half an ulp (3e-8 near 1).
  for (int i = -100; i <= 100; ++i) {
    const float x = static_cast<float>(i) / 100.0f;
    EXPECT_NEAR(std::sin(static_cast<double>(x)), pelio::SinePolynomial(x), 7e-8) << x;
    EXPECT_NEAR(std::cos(static_cast<double>(x)), pelio::CosinePolynomial(x), 7e-8) << x;
  }
  // At the phase after Open the error has grown to 4e-4 and 1e-4.
  EXPECT_SAME_FLOAT(0.00044529624f, pelio::SinePolynomial(-kPi));
  EXPECT_NEAR(-0.99990, pelio::CosinePolynomial(-kPi), 1e-6);
}

TEST(PelioSineCosine, QualityChoosesTheEvaluation) {
  const float x = 2.5f;
  const float poly_sin = pelio::SinePolynomial(x);
  const float poly_cos = pelio::CosinePolynomial(x);
  const float lib_sin = pelio::LibrarySine(x);
  const float lib_cos = pelio::LibraryCosine(x);
  ASSERT_NE(Bits(poly_sin), Bits(lib_sin));
  ASSERT_NE(Bits(poly_cos), Bits(lib_cos));
  struct Case {
    int16_t pin_value;
    float sine;
    float cosine;
  };
  // Values off the item list render as Normal, the pin's default.
  const Case cases[] = {{0, poly_sin, poly_cos},
                        {1, poly_sin, lib_cos},
                        {2, lib_sin, lib_cos},
                        {3, poly_sin, poly_cos},
                        {-1, poly_sin, poly_cos}};
  for (const Case& c : cases) {
    const pelio::SineCosine result = pelio::SineAndCosine(x, pelio::QualityFromPin(c.pin_value));
    EXPECT_SAME_FLOAT(c.sine, result.sine) << c.pin_value;
    EXPECT_SAME_FLOAT(c.cosine, result.cosine) << c.pin_value;
  }
}

TEST(PelioRecurrence, DoubleIntermediatesRoundOnce) {
  // (1 + 2^-12)^2 - 1 = 2^-11 + 2^-24 is a float, but float arithmetic would round the square
  // first and lose the 2^-24.
  const float near_one = 1.0f + std::ldexp(1.0f, -12);
  const float exact = std::ldexp(1.0f, -11) + std::ldexp(1.0f, -24);
  EXPECT_SAME_FLOAT(exact, pelio::ChebyshevStep(near_one, near_one, 1.0f));
  const float partial[] = {-1.0f, near_one};
  const float amplitude[] = {1.0f, near_one};
  EXPECT_SAME_FLOAT(exact * 0.5f, pelio::HalfWeightedSum(partial, amplitude, 2));
}

TEST(PelioRecurrence, FirstTwoValuesWhateverTheCount) {
  const float sine = 0.6f;
  const float multiplier = 1.5f;
  for (int32_t count : {0, 1, 2}) {
    float partial[pelio::kMaxHarmonics];
    std::fill(partial, partial + pelio::kMaxHarmonics, 99.0f);
    float previous = 0.0f;
    float before_previous = 0.0f;
    pelio::HarmonicPartials(sine, multiplier, count, partial, previous, before_previous);
    EXPECT_SAME_FLOAT(sine, partial[0]);
    EXPECT_SAME_FLOAT(sine * multiplier, partial[1]);
    EXPECT_SAME_FLOAT(99.0f, partial[2]) << "the recurrence ran for a count of " << count;
    EXPECT_SAME_FLOAT(partial[1], previous);
    EXPECT_SAME_FLOAT(sine, before_previous);
  }
}

TEST(PelioWeightedSum, AlwaysFinite) {
  const float big = 3e38f;
  struct Case {
    float partial[3];
    float amplitude[3];
    float expected;
  };
  const Case cases[] = {
      // An overflowed harmonic with a silent amplitude is left out: 0.5 * (0.5 + 0.25).
      {{0.5f, kInf, 0.25f}, {1.0f, 0.0f, 1.0f}, 0.375f},
      {{0.5f, kNaN, 0.25f}, {1.0f, -0.0f, 1.0f}, 0.375f},
      // An overflowing sum saturates with its sign.
      {{1.0f, 1.0f, 1.0f}, {big, big, 0.0f}, FLT_MAX},
      {{1.0f, -kInf, 0.0f}, {1.0f, 1.0f, 0.0f}, -FLT_MAX},
      // Undefined sums are silence.
      {{kInf, -kInf, 0.0f}, {1.0f, 1.0f, 0.0f}, 0.0f},
      {{0.5f, 0.5f, 0.5f}, {kNaN, 1.0f, 1.0f}, 0.0f},
      {{0.0f, 0.5f, 0.5f}, {kInf, 1.0f, 1.0f}, 0.0f},
  };
  for (const Case& c : cases) {
    EXPECT_SAME_FLOAT(c.expected, pelio::HalfWeightedSum(c.partial, c.amplitude, 3));
  }
  // A finite sum keeps its exact bits, zero amplitudes included: the tiny negative first term
  // rounds the sum to -0, and the +0 term that follows makes it +0.
  const float partial[] = {-std::numeric_limits<float>::denorm_min(), 5.0f};
  const float amplitude[] = {std::numeric_limits<float>::denorm_min(), 0.0f};
  EXPECT_SAME_FLOAT(0.0f, pelio::HalfWeightedSum(partial, amplitude, 2));
  EXPECT_SAME_FLOAT(-0.0f, pelio::HalfWeightedSum(partial, amplitude, 1));
}

TEST(PelioPhase, OneSubtractionBelowTheSampleRate) {
  // Against the one-step wrap written out, over phases across the range and increments up to
  // just below 2 pi.
  for (int i = 0; i < 400; ++i) {
    const float phase = -kPi + static_cast<float>(i) * 0.0157f;
    for (float increment : {0.0f, 0.06268938f, 1.0f, 3.1f, 6.0f, std::nextafter(kTwoPi, 0.0f)}) {
      float expected = increment + phase;
      if (expected >= kPi) expected -= kTwoPi;
      const float next = pelio::AdvancePhase(phase, increment);
      EXPECT_SAME_FLOAT(expected, next) << phase << " + " << increment;
      EXPECT_TRUE(next >= -kPi && next < kPi) << phase << " + " << increment;
    }
  }
}

TEST(PelioPhase, StaysInRangeAtAnyIncrement) {
  // 0.5 + 4 * 2pi is exact, and so is its reduction.
  EXPECT_SAME_FLOAT(0.5f, pelio::AdvancePhase(0.5f, 4.0f * kTwoPi));
  for (float increment : {kTwoPi, 7.0f, 100.0f, 12345.678f, 1e30f, FLT_MAX, -1.0f, -1e20f}) {
    float phase = -kPi;
    for (int n = 0; n < 50; ++n) {
      phase = pelio::AdvancePhase(phase, increment);
      ASSERT_TRUE(phase >= -kPi && phase < kPi) << increment << " at step " << n;
    }
  }
}

// ---- Kernel: every comparison that decides a path, at its boundary ------------------------------

// Each row: a comparison of the kernel, three inputs (one step below its boundary, on it, one step
// above) and what each must give. A > written for a >= changes only the middle one.
TEST(PelioKernelEdges, EveryComparisonThatDecidesAPathAtAndAroundItsBoundary) {
  const float below_pi = std::nextafter(kPi, 0.0f);
  const float above_pi = std::nextafter(kPi, 4.0f);
  const float pi_less_half = kPi - 0.5f;  // exact: a phase from which 0.5 lands on pi
  const float rph = pelio::RadiansPerHertz(44100.0f);
  // The frequency whose Nyquist quotient at 44.1 kHz is exactly 2^31.
  const float slowest_counted = std::ldexp(22050.0f, -31);
  const se_test::EdgeRow<float> edges[] = {
      {"phase wrap: a sum that reaches pi has 2 pi taken off",
       {std::nextafter(pi_less_half, 0.0f), pi_less_half, std::nextafter(pi_less_half, 4.0f)},
       [](float phase) { return pelio::AdvancePhase(phase, 0.5f); },
       {below_pi, -kPi, std::nextafter(-kPi, 0.0f)}},
      {"exact reduction: a remainder that reaches pi has 2 pi taken off",
       {below_pi, kPi, above_pi},
       [](float phase) { return pelio::ReducePhase(phase); },
       {below_pi, -kPi, above_pi - kTwoPi}},
      {"exact reduction: a remainder below -pi has 2 pi added",
       {std::nextafter(-kPi, -4.0f), -kPi, std::nextafter(-kPi, 0.0f)},
       [](float phase) { return pelio::ReducePhase(phase); },
       {std::nextafter(-kPi, -4.0f) + kTwoPi, -kPi, std::nextafter(-kPi, 0.0f)}},
      {"Nyquist: harmonic k counts while k f <= sample rate / 2 (k = 10 at 2205 Hz)",
       {std::nextafter(2205.0f, 0.0f), 2205.0f, std::nextafter(2205.0f, 1e9f)},
       [](float frequency) { return pelio::NyquistHarmonicCount(44100.0f, frequency, 16); },
       {10, 10, 9}},
      {"the Harmonics setting limits the count",
       {9, 10, 11},
       [](float setting) {
         return pelio::NyquistHarmonicCount(44100.0f, 2205.0f, static_cast<int32_t>(setting));
       },
       {9, 10, 10}},
      {"never more than sixteen harmonics",
       {15, 16, 17},
       [](float setting) {
         return pelio::NyquistHarmonicCount(44100.0f, 100.0f, static_cast<int32_t>(setting));
       },
       {15, 16, 16}},
      {"a Harmonics setting of 0 or less is silence",
       {-1, 0, 1},
       [](float setting) {
         return pelio::NyquistHarmonicCount(44100.0f, 100.0f, static_cast<int32_t>(setting));
       },
       {0, 0, 1}},
      {"a quotient of 2^31 or more leaves the setting as the count",
       {std::nextafter(slowest_counted, 1.0f), slowest_counted,
        std::nextafter(slowest_counted, 0.0f)},
       [](float frequency) { return pelio::NyquistHarmonicCount(44100.0f, frequency, 7); },
       {7, 7, 7}},
      {"1 V/octave sounds up to a pitch of 1.2 (12 V)",
       {std::nextafter(1.2f, 0.0f), 1.2f, std::nextafter(1.2f, 2.0f)},
       [](float pitch) { return pelio::OctaveLawFrequency(pitch) > 0.0f ? 1.0 : 0.0; },
       {1, 1, 0}},
      {"1 V/kHz sounds only above 0 Hz (the slowest frequency counts every harmonic)",
       {-std::numeric_limits<float>::denorm_min(), 0.0f, std::numeric_limits<float>::denorm_min()},
       [rph](float pitch) { return pelio::TuneSpan(1, pitch, 44100.0f, rph, 16).harmonic_count; },
       {0, 0, 16}},
  };
  se_test::ExpectEveryEdge(edges);
}

// ---- The module, driven through its record ------------------------------------------------------

// The host's clock when the next Pelio below is opened.
uint32_t g_host_clock = 0;

const int32_t kPitchPin = 0;
const int32_t kHarmonicsPin = 1;
const int32_t kFirstAmplitudePin = 2;
const int32_t kModPin = 18;
const int32_t kOutputPin = 19;
const int32_t kFreqScalePin = 20;
const int32_t kQualityPin = 21;
const int32_t kBlock = 512;

// One module instance with a buffer bound to each audio pin: pitch 0.5 (440 Hz), Mod 2.0, every
// amplitude 0, as the pins' defaults say.
class Pelio {
 public:
  explicit Pelio(float sample_rate = 44100.0f) : host_(se_test::InProcessEntry<PelioModule>) {
    host_.core().set_sample_clock(g_host_clock);
    Call(ModuleOpcode::SetSampleRate, 0, nullptr, sample_rate);
    Call(ModuleOpcode::Open);
    host_.BindBuffers(kBlock);
    Fill(kPitchPin, 0.5f);
    Fill(kModPin, 2.0f);
  }
  ~Pelio() { Call(ModuleOpcode::Close); }

  int32_t Call(ModuleOpcode opcode, int32_t index = 0, void* ptr = nullptr, float opt = 0.0f) {
    return host_.core().Dispatch(static_cast<int32_t>(opcode), index, 0, ptr, opt);
  }
  void Fill(int32_t pin, float value) { host_.Fill(pin, value); }
  void Amplitude(int32_t harmonic, float value) { Fill(kFirstAmplitudePin + harmonic - 1, value); }
  float* Buffer(int32_t pin) { return host_.buffer(pin); }
  // A pin update at `offset` samples into the next block.
  void Set(int32_t pin, int32_t value, uint32_t offset = 0) {
    SeEvent event = {module()->SampleClock() + offset,
                     static_cast<int32_t>(SeEventType::PinUpdate),
                     0,
                     value,
                     reinterpret_cast<void*>(static_cast<intptr_t>(pin)),
                     nullptr};
    Call(ModuleOpcode::AddEvent, 0, &event);
  }
  std::vector<float> Render(int32_t frames, int32_t buffer_offset = 0) {
    host_.Render(frames, buffer_offset);
    const float* output = Buffer(kOutputPin) + buffer_offset;
    return std::vector<float>(output, output + frames);
  }
  PelioModule* module() const {
    return static_cast<PelioModule*>(SEModule_base::FromRecord(host_.record()));
  }
  ModuleRecord* record() const { return host_.record(); }
  const std::vector<se_host::HostRequest>& requests() { return host_.core().requests(); }

 private:
  se_test::TestHost host_;
};

// The phases at which the samples of one block at a constant increment are computed.
std::vector<float> PhasesFrom(float phase, float increment, int32_t frames) {
  std::vector<float> phases;
  for (int32_t n = 0; n < frames; ++n) {
    phases.push_back(phase);
    phase = pelio::AdvancePhase(phase, increment);
  }
  return phases;
}

TEST(PelioModuleIdentity, NameIdAndAbout) {
  Pelio pelio;
  ModuleProperties properties = {};
  EXPECT_EQ(1, pelio.Call(ModuleOpcode::GetModuleProperties, 0, &properties));
  EXPECT_STREQ("ZO-Pelio", properties.name);
  EXPECT_STREQ("ZO Pelio", properties.id);
  EXPECT_STREQ(
      "Pelio v0.6\n\nQuick Help:\nPitch - the pitch of the fundamental\n"
      "Harmonics - number of harmonics to calculate\n1f - amount of the fundamental frequency\n"
      "2f - amount of the second harmonic\n...\n16f - amount of the sixteenth harmonic\n"
      "mod - this works like a low-pass filter\n",
      properties.about);
}

TEST(PelioModuleIdentity, PinTable) {
  const char* const kUntouched = "untouched";
  Pelio pelio;
  std::vector<void*> addresses;
  for (int32_t pin = 0; pin < PelioModule::kPinCount; ++pin) {
    PinDescription description = {};
    description.extra = kUntouched;
    ASSERT_EQ(1, pelio.Call(ModuleOpcode::GetPinProperties, pin, &description));
    std::string expected_name;
    int32_t direction = 0;
    int32_t datatype = 5;
    std::string default_value = "0";
    std::string extra = kUntouched;
    if (pin == kPitchPin) {
      expected_name = "Pitch";
      default_value = "5";
    } else if (pin == kHarmonicsPin) {
      expected_name = "Harmonics";
      datatype = 0;
      default_value = "16";
      extra = "1=1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16";
    } else if (pin < kModPin) {
      expected_name = std::to_string(pin - kFirstAmplitudePin + 1) + "f";
    } else if (pin == kModPin) {
      expected_name = "Mod";
      default_value = "20";
      extra = "20,-20,20,-20";
    } else if (pin == kOutputPin) {
      expected_name = "Output";
      direction = 1;
    } else {
      expected_name = pin == kFreqScalePin ? "Freq Scale" : "Quality";
      direction = 3;
      datatype = 0;
      extra = pin == kFreqScalePin ? "1 Volt/Octave,1 Volt/kHz" : "Normal,High,Ultra-High";
    }
    EXPECT_EQ(expected_name, description.name) << pin;
    EXPECT_EQ(direction, description.direction) << pin;
    EXPECT_EQ(datatype, description.datatype) << pin;
    EXPECT_EQ(default_value, description.default_value) << pin;
    EXPECT_EQ(extra, description.extra) << pin;
    addresses.push_back(description.variable_address);
  }
  std::sort(addresses.begin(), addresses.end());
  EXPECT_EQ(addresses.end(), std::unique(addresses.begin(), addresses.end()));
  EXPECT_NE(nullptr, addresses.front());

  for (int32_t index : {PelioModule::kPinCount, -1, INT32_MIN}) {
    PinDescription description;
    std::memset(&description, 0xA5, sizeof(description));
    PinDescription before = description;
    EXPECT_EQ(0, pelio.Call(ModuleOpcode::GetPinProperties, index, &description)) << index;
    EXPECT_EQ(0, std::memcmp(&before, &description, sizeof(description))) << index;
  }
}

TEST(PelioModuleOpen, ResetsTheOscillatorAndAnnouncesTheOutput) {
  g_host_clock = 1234;
  Pelio pelio;
  g_host_clock = 0;
  const std::vector<se_host::HostRequest>& requests = pelio.requests();
  ASSERT_EQ(3u, requests.size());
  EXPECT_EQ(static_cast<int32_t>(HostOpcode::GetSampleClock), requests[0].opcode);
  EXPECT_EQ(static_cast<int32_t>(HostOpcode::GetPinCount), requests[1].opcode);
  EXPECT_EQ(static_cast<int32_t>(HostOpcode::SetPinStatus), requests[2].opcode);
  EXPECT_EQ(kOutputPin, requests[2].index);
  EXPECT_EQ(2, requests[2].value);
  EXPECT_EQ(1234u, requests[2].ptr);
  EXPECT_SAME_FLOAT(0.00014247587f, pelio.module()->RadiansPerHz());
  EXPECT_SAME_FLOAT(-kPi, pelio.module()->Phase());
}

TEST(PelioModuleOpen, SampleRateReachesThePitchOnlyAtTheNextOpen) {
  // 7040 Hz and only the fourth harmonic: above half of 44.1 kHz, below half of 96 kHz.
  Pelio pelio;
  pelio.Fill(kPitchPin, 0.9f);
  pelio.Amplitude(4, 1.0f);
  for (float sample : pelio.Render(32)) EXPECT_SAME_FLOAT(0.0f, sample);

  pelio.Call(ModuleOpcode::SetSampleRate, 0, nullptr, 96000.0f);
  bool sounding = false;
  for (float sample : pelio.Render(32)) sounding = sounding || sample != 0.0f;
  EXPECT_TRUE(sounding) << "the Nyquist limit follows the sample rate at once";
  EXPECT_SAME_FLOAT(0.00014247587f, pelio.module()->RadiansPerHz());

  pelio.Call(ModuleOpcode::Open);
  EXPECT_SAME_FLOAT(6.2831855f / 96000.0f, pelio.module()->RadiansPerHz());
  EXPECT_SAME_FLOAT(-kPi, pelio.module()->Phase());
}

// The reference 440 Hz example: Open at 44.1 kHz, pitch 0.5 under 1 V/octave, 16 harmonics,
// Mod 2.0, only the fundamental at 1.0.
struct ReferenceCase {
  int16_t quality;
  std::vector<float> first_samples;
};

class PelioReferenceExample : public testing::TestWithParam<ReferenceCase> {};

TEST_P(PelioReferenceExample, FirstSamplesToTheBit) {
  Pelio pelio;
  pelio.Amplitude(1, 1.0f);
  pelio.Set(kQualityPin, GetParam().quality);
  const std::vector<float> output = pelio.Render(8);
  EXPECT_SAME_FLOAT(0.06268938f, pelio.module()->Increment());
  for (size_t n = 0; n < GetParam().first_samples.size(); ++n) {
    EXPECT_SAME_FLOAT(GetParam().first_samples[n], output[n]) << "sample " << n;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Qualities, PelioReferenceExample,
    testing::Values(ReferenceCase{0, {0.00022264812f, -0.031152457f, -0.062393587f, -0.09338029f}},
                    ReferenceCase{1, {0.00022264812f, -0.031152457f, -0.062393587f, -0.09338029f}},
                    ReferenceCase{2, {4.371139e-8f, -0.03132408f}}));

TEST(PelioModuleRender, SilentAboveTheCutOffAndAtNonPositiveKilohertz) {
  struct Case {
    int16_t freq_scale;
    float pitch;
  };
  for (const Case& c :
       {Case{0, std::nextafter(1.2f, 2.0f)}, Case{0, 1.2f}, Case{1, 0.0f}, Case{1, -0.3f}}) {
    Pelio pelio;
    for (int32_t harmonic = 1; harmonic <= 16; ++harmonic) pelio.Amplitude(harmonic, 1.0f);
    pelio.Fill(kPitchPin, c.pitch);
    pelio.Set(kFreqScalePin, c.freq_scale);
    // 1.2 itself is 56320 Hz, which has no harmonic below 22050 Hz, but the phase moves.
    const bool frozen = c.pitch != 1.2f;
    for (float sample : pelio.Render(64)) EXPECT_SAME_FLOAT(0.0f, sample) << c.pitch;
    if (frozen) {
      EXPECT_SAME_FLOAT(-kPi, pelio.module()->Phase()) << c.pitch;
    }
  }
}

TEST(PelioModuleSpans, PitchAndAmplitudesCountAtTheFirstSampleModAtEvery) {
  Pelio steady;
  Pelio moving;
  for (Pelio* pelio : {&steady, &moving}) {
    pelio->Amplitude(1, 0.8f);
    pelio->Amplitude(3, 0.3f);
  }
  // Every sample after the first changes in the moving module's pitch and amplitude buffers.
  for (int32_t n = 1; n < kBlock; ++n) {
    moving.Buffer(kPitchPin)[n] = 0.7f;
    moving.Buffer(kFirstAmplitudePin)[n] = -1.0f;
    moving.Buffer(kFirstAmplitudePin + 2)[n] = 5.0f;
  }
  const std::vector<float> expected = steady.Render(100);
  const std::vector<float> output = moving.Render(100);
  for (int32_t n = 0; n < 100; ++n) EXPECT_SAME_FLOAT(expected[n], output[n]) << n;

  // Mod is read at every sample.
  moving.Fill(kPitchPin, 0.5f);
  moving.Amplitude(1, 0.8f);
  moving.Amplitude(3, 0.3f);
  moving.Buffer(kModPin)[110] = 1.0f;
  const std::vector<float> expected_on = steady.Render(20, 100);
  const std::vector<float> output_on = moving.Render(20, 100);
  for (int32_t n = 0; n < 20; ++n) {
    if (n == 10) {
      EXPECT_NE(expected_on[n], output_on[n]);
    } else {
      EXPECT_SAME_FLOAT(expected_on[n], output_on[n]) << n;
    }
  }
}

TEST(PelioModuleSpans, QualityChangeMidBlockKeepsThePhase) {
  // The phase does not depend on the quality, so from the event on the output is that of a
  // module rendering in the new quality from the start.
  Pelio normal;
  Pelio ultra;
  Pelio switched;
  for (Pelio* pelio : {&normal, &ultra, &switched}) pelio->Amplitude(2, 1.0f);
  ultra.Set(kQualityPin, 2);
  switched.Set(kQualityPin, 2, 10);
  const std::vector<float> before = normal.Render(64);
  const std::vector<float> after = ultra.Render(64);
  const std::vector<float> output = switched.Render(64);
  for (int32_t n = 0; n < 64; ++n) {
    EXPECT_SAME_FLOAT(n < 10 ? before[n] : after[n], output[n]) << n;
  }
}

TEST(PelioModuleSpans, FreqScaleChangeMidBlockKeepsThePhase) {
  // Pitch 0.1: 27.5 Hz under 1 V/octave, 1000 Hz under 1 V/kHz. In Ultra-High with only the
  // fundamental the output is exactly half the library sine of each phase.
  Pelio pelio;
  pelio.Amplitude(1, 1.0f);
  pelio.Fill(kPitchPin, 0.1f);
  pelio.Set(kQualityPin, 2);
  pelio.Set(kFreqScalePin, 1, 10);
  const std::vector<float> output = pelio.Render(64);
  const float rph = pelio.module()->RadiansPerHz();
  std::vector<float> phases = PhasesFrom(-kPi, 27.5f * rph, 10);
  const float resumed = pelio::AdvancePhase(phases.back(), 27.5f * rph);
  for (float phase : PhasesFrom(resumed, 1000.0f * rph, 54)) phases.push_back(phase);
  for (int32_t n = 0; n < 64; ++n) {
    EXPECT_SAME_FLOAT(pelio::LibrarySine(phases[n]) * 0.5f, output[n]) << n;
  }
}

TEST(PelioModuleSpans, HarmonicsChangeAtItsOwnSample) {
  Pelio pelio;
  pelio.Amplitude(5, 1.0f);
  pelio.Set(kHarmonicsPin, 4);
  pelio.Set(kHarmonicsPin, 5, 20);
  const std::vector<float> output = pelio.Render(40);
  for (int32_t n = 0; n < 20; ++n) EXPECT_SAME_FLOAT(0.0f, output[n]) << n;
  for (int32_t n = 20; n < 40; ++n) EXPECT_NE(0.0f, output[n]) << n;
}

// Events cut a block into spans. Whatever the mix of events (with new inputs or none, several on
// one sample), the block must come out as it does when every span is a block of its own: the
// phase runs on across every cut and each event takes effect at its own sample.
TEST(PelioModuleSpans, BlockCutByEventsRendersAsIfEachSpanWereABlock) {
  struct Cut {
    int32_t at;
    int32_t pin;
    int32_t status;
    int32_t value;
    bool new_inputs;  // pitch and the third amplitude change from this sample on
  };
  const Cut cuts[] = {{0, kHarmonicsPin, 0, 16, false},  {7, kHarmonicsPin, 0, 16, false},
                      {20, kQualityPin, 0, 0, false},    {21, kHarmonicsPin, 2, 16, false},
                      {64, kHarmonicsPin, 0, 12, false}, {100, kHarmonicsPin, 0, 16, false},
                      {101, kQualityPin, 0, 1, false},   {180, kQualityPin, 0, 1, true},
                      {181, kFreqScalePin, 0, 0, false}, {300, kFreqScalePin, 0, 1, false},
                      {301, kFreqScalePin, 0, 0, true},  {302, kQualityPin, 0, 2, false},
                      {450, kQualityPin, 0, 2, false},   {451, kHarmonicsPin, 0, 3, true},
                      {452, kHarmonicsPin, 0, 3, false}};
  const int32_t cut_count = static_cast<int32_t>(sizeof(cuts) / sizeof(cuts[0]));
  const int32_t kFrames = 500;

  Pelio whole;
  Pelio apart;
  for (Pelio* pelio : {&whole, &apart}) {
    for (int32_t harmonic = 1; harmonic <= 16; ++harmonic) {
      pelio->Amplitude(harmonic, 1.0f / static_cast<float>(harmonic));
    }
    float* mod = pelio->Buffer(kModPin);
    for (int32_t n = 0; n < kBlock; ++n) mod[n] = 2.0f - 0.003f * static_cast<float>(n % 97);
    for (const Cut& cut : cuts) {
      if (!cut.new_inputs) continue;
      for (int32_t n = cut.at; n < kBlock; ++n) {
        pelio->Buffer(kPitchPin)[n] = 0.45f + 0.0001f * static_cast<float>(cut.at);
        pelio->Buffer(kFirstAmplitudePin + 2)[n] = 0.001f * static_cast<float>(cut.at);
      }
    }
  }
  const auto queue = [](Pelio& pelio, const Cut& cut, uint32_t offset) {
    SeEvent event = {pelio.module()->SampleClock() + offset,
                     static_cast<int32_t>(SeEventType::PinUpdate),
                     cut.status,
                     cut.value,
                     reinterpret_cast<void*>(static_cast<intptr_t>(cut.pin)),
                     nullptr};
    pelio.Call(ModuleOpcode::AddEvent, 0, &event);
  };

  for (int block = 0; block < 3; ++block) {
    SCOPED_TRACE(block);
    for (const Cut& cut : cuts) queue(whole, cut, static_cast<uint32_t>(cut.at));
    const std::vector<float> output = whole.Render(kFrames);
    std::vector<float> expected;
    for (int32_t i = 0; i < cut_count; ++i) {
      const int32_t end = i + 1 < cut_count ? cuts[i + 1].at : kFrames;
      queue(apart, cuts[i], 0);
      const std::vector<float> span = apart.Render(end - cuts[i].at, cuts[i].at);
      expected.insert(expected.end(), span.begin(), span.end());
    }
    for (int32_t n = 0; n < kFrames; ++n) EXPECT_SAME_FLOAT(expected[n], output[n]) << n;
    EXPECT_SAME_FLOAT(apart.module()->Phase(), whole.module()->Phase());
    EXPECT_EQ(apart.module()->SampleClock(), whole.module()->SampleClock());
  }
}

// ---- The Mod law against its closed forms -------------------------------------------------------

struct ModLawCase {
  const char* name;
  float mod;
  std::vector<float> amplitudes;  // harmonics 1, 2, 3...
  double (*closed_form)(double phase);
};

class PelioModLaw : public testing::TestWithParam<ModLawCase> {};

TEST_P(PelioModLaw, MatchesTheClosedForm) {
  // 1000 Hz at 44.1 kHz: 441 samples are ten cycles, phases spread across the whole circle.
  // Ultra-High: sine and cosine within half a float ulp, and each of the few recurrence and sum
  // steps adds at most one more rounding of values below 2, so 1e-6 is a wide margin.
  // Normal: the same where the polynomials are good to 3e-8 (|x| <= 1); nearer to pi their
  // truncation error grows to 4e-4 and is not part of the law.
  for (int16_t quality : {2, 0}) {
    Pelio pelio;
    pelio.Fill(kModPin, GetParam().mod);
    pelio.Fill(kPitchPin, 0.1f);
    pelio.Set(kFreqScalePin, 1);
    pelio.Set(kQualityPin, quality);
    for (size_t k = 0; k < GetParam().amplitudes.size(); ++k) {
      pelio.Amplitude(static_cast<int32_t>(k + 1), GetParam().amplitudes[k]);
    }
    const std::vector<float> output = pelio.Render(441);
    const std::vector<float> phases = PhasesFrom(-kPi, pelio.module()->Increment(), 441);
    int checked = 0;
    for (int32_t n = 0; n < 441; ++n) {
      if (quality == 0 && std::fabs(phases[n]) > 1.0f) continue;
      ++checked;
      EXPECT_NEAR(GetParam().closed_form(phases[n]), output[n], 1e-6)
          << "quality " << quality << ", x = " << phases[n];
    }
    EXPECT_GT(checked, 100);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PelioModLaw,
    testing::Values(
        ModLawCase{"ExactSeries",
                   2.0f,
                   {1.0f, 0.0f, 1.0f},
                   [](double phase) { return 0.5 * (std::sin(phase) + std::sin(3 * phase)); }},
        ModLawCase{"EvenHarmonicsInverted",
                   -2.0f,
                   {0.0f, 1.0f},
                   [](double phase) { return -0.5 * std::sin(2 * phase); }},
        ModLawCase{
            "OnlyTheFundamentalCancels", 0.0f, {1.0f, 0.0f, 1.0f}, [](double) { return 0.0; }},
        ModLawCase{"OnlyTheFundamental",
                   0.0f,
                   {0.0f, 0.0f, 1.0f},
                   [](double phase) { return -0.5 * std::sin(phase); }},
        ModLawCase{
            "HalfModDampsTheThird",
            1.0f,
            {0.0f, 0.0f, 1.0f},
            [](double phase) { return -0.375 * std::sin(phase) + 0.125 * std::sin(3 * phase); }}),
    [](const testing::TestParamInfo<ModLawCase>& info) { return std::string(info.param.name); });

// ---- Inputs no host should send -----------------------------------------------------------------

TEST(PelioModuleRobustness, NonFinitePitchFreezesAndRecovers) {
  for (int16_t freq_scale : {0, 1}) {
    Pelio clean;
    Pelio spoiled;
    for (Pelio* pelio : {&clean, &spoiled}) {
      pelio->Amplitude(1, 1.0f);
      pelio->Set(kFreqScalePin, freq_scale);
    }
    for (float pitch : {kNaN, kInf, -kInf}) {
      spoiled.Fill(kPitchPin, pitch);
      for (float sample : spoiled.Render(16)) EXPECT_SAME_FLOAT(0.0f, sample) << pitch;
      EXPECT_SAME_FLOAT(-kPi, spoiled.module()->Phase()) << pitch;
    }
    spoiled.Fill(kPitchPin, 0.1f);
    clean.Fill(kPitchPin, 0.1f);
    const std::vector<float> expected = clean.Render(64);
    const std::vector<float> output = spoiled.Render(64);
    for (int32_t n = 0; n < 64; ++n) EXPECT_SAME_FLOAT(expected[n], output[n]) << n;
  }
}

TEST(PelioModuleRobustness, BadSamplesSpoilNothingAfterThem) {
  Pelio clean;
  Pelio spoiled;
  for (Pelio* pelio : {&clean, &spoiled}) {
    for (int32_t harmonic = 1; harmonic <= 16; ++harmonic) pelio->Amplitude(harmonic, 0.25f);
  }
  spoiled.Buffer(kModPin)[3] = kNaN;
  spoiled.Buffer(kModPin)[4] = kInf;
  spoiled.Buffer(kModPin)[5] = 1e30f;  // overflows the recurrence to inf and NaN
  spoiled.Buffer(kFirstAmplitudePin + 6)[32] = kInf;
  spoiled.Buffer(kFirstAmplitudePin + 7)[48] = kNaN;
  const int32_t spans[] = {32, 16, 16, 64};
  int32_t offset = 0;
  for (int32_t frames : spans) {
    const std::vector<float> expected = clean.Render(frames, offset);
    const std::vector<float> output = spoiled.Render(frames, offset);
    for (int32_t n = 0; n < frames; ++n) {
      ASSERT_TRUE(std::isfinite(output[n])) << offset + n;
      const bool bad = (offset + n >= 3 && offset + n <= 5) || (offset == 32 || offset == 48);
      if (!bad) {
        EXPECT_SAME_FLOAT(expected[n], output[n]) << offset + n;
      }
    }
    offset += frames;
  }
}

TEST(PelioModuleRobustness, HugeModOnlyTheFundamentalSounds) {
  // At a Mod of 1e30 every harmonic above the second overflows; with only the fundamental
  // raised the output is still exactly half the sine.
  Pelio pelio;
  pelio.Amplitude(1, 1.0f);
  pelio.Fill(kModPin, 1e30f);
  pelio.Set(kQualityPin, 2);
  const std::vector<float> output = pelio.Render(64);
  const std::vector<float> phases = PhasesFrom(-kPi, pelio.module()->Increment(), 64);
  for (int32_t n = 0; n < 64; ++n) {
    EXPECT_SAME_FLOAT(pelio::LibrarySine(phases[n]) * 0.5f, output[n]) << n;
  }
}

TEST(PelioModuleRobustness, UnboundBuffersRenderNothing) {
  se_test::TestHost host(se_test::InProcessEntry<PelioModule>);
  host.core().Open();
  host.Render(64);
  // Only the output bound: still nothing is written.
  float output[64];
  std::fill(output, output + 64, 7.0f);
  ASSERT_TRUE(host.core().BindAudioPin(kOutputPin, output));
  host.Render(64);
  for (float sample : output) EXPECT_SAME_FLOAT(7.0f, sample);
  EXPECT_SAME_FLOAT(-kPi,
                    static_cast<PelioModule*>(SEModule_base::FromRecord(host.record()))->Phase());
}

// ---- Agreement across targets -------------------------------------------------------------------

struct GoldenCase {
  int16_t quality;
  uint32_t hash;
};

class PelioGolden : public testing::TestWithParam<GoldenCase> {};

TEST_P(PelioGolden, LongRenderHashesTheSameEverywhere) {
  // A render that exercises every step of the kernel: pitches under 1 V/kHz (no power function),
  // a Mod sweeping from -2.5 to 2.5, all sixteen amplitudes, harmonic limits from the setting and
  // from Nyquist, and a phase running at and above the sample rate. The hash is of every output
  // sample's bits and of the phase after each block. Normal needs no library function at all;
  // High and Ultra-High also pin the float-rounded results of portable_math's cosine and sine.
  Pelio pelio;
  pelio.Set(kFreqScalePin, 1);
  pelio.Set(kQualityPin, GetParam().quality);
  for (int32_t harmonic = 1; harmonic <= 16; ++harmonic) {
    pelio.Amplitude(harmonic, 1.0f / static_cast<float>(harmonic) - 0.3f);
  }
  for (int32_t n = 0; n < kBlock; ++n) {
    pelio.Buffer(kModPin)[n] = -2.5f + 5.0f * static_cast<float>(n) / kBlock;
  }
  uint32_t hash = 2166136261u;  // FNV-1a
  const float pitches[] = {0.0441f, 0.1f, 0.3f, 1.3f, 4.41f, 7.0f, 0.02f};
  const int16_t settings[] = {16, 16, 5, 16, 16, 16, 9};
  for (int i = 0; i < 7; ++i) {
    pelio.Fill(kPitchPin, pitches[i]);
    pelio.Set(kHarmonicsPin, settings[i]);
    for (float sample : pelio.Render(kBlock)) hash = (hash ^ Bits(sample)) * 16777619u;
    hash = (hash ^ Bits(pelio.module()->Phase())) * 16777619u;
  }
  EXPECT_EQ(GetParam().hash, hash);
}

INSTANTIATE_TEST_SUITE_P(Qualities, PelioGolden,
                         testing::Values(GoldenCase{0, 112803066u}, GoldenCase{1, 3591450823u},
                                         GoldenCase{2, 1831052208u}));

// ---- The library as the host loads it --------------------------------------------------------

TEST(PelioLibrary, RendersTheReferenceExampleThroughItsExport) {
  se_test::TestHost test_host(se_test::LoadLibrary(se_test::PluginPath("pelio")));
  se_host::HostedModule& host = test_host.core();

  se_host::ModuleTexts texts;
  ASSERT_TRUE(host.ReadModuleTexts(&texts));
  EXPECT_EQ("ZO-Pelio", texts.name);
  EXPECT_EQ(22u, host.EnumeratePins().size());

  host.SetSampleRate(44100.0f);
  host.Open();
  std::vector<std::vector<float>> buffers(PelioModule::kPinCount, std::vector<float>(8, 0.0f));
  buffers[kPitchPin].assign(8, 0.5f);
  buffers[kModPin].assign(8, 2.0f);
  buffers[kFirstAmplitudePin].assign(8, 1.0f);
  EXPECT_EQ(19, host.BindAudioPins(
                    [&](const se_host::PinInfo& pin) { return buffers[pin.index].data(); }));
  host.RenderBlock(4);
  const float expected[] = {0.00022264812f, -0.031152457f, -0.062393587f, -0.09338029f};
  for (int n = 0; n < 4; ++n) EXPECT_SAME_FLOAT(expected[n], buffers[kOutputPin][n]) << n;
}

}  // namespace
