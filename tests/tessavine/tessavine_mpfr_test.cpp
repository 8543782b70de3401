// Tessavine's generator against the same generator built on MPFR's correctly rounded sin, cos,
// 2^x and asin (native x86-64 only; MPFR is a test-only dependency).
//
// The recurrence carries every bit of its re-seedings for ever after, so a single result of
// portable_math that is not the correctly rounded one shows up in the output from then on (and a
// flipped sign of the side of a peak turns the wave's direction). These runs hold the module's
// output to the bit to what correctly rounded functions give: minutes of audio whose pitch moves
// every few samples, under both pitch laws, compared sample by sample and in the final state.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tessavine/sine_recurrence.h"
#include "tests/float_bits.h"
#include "tests/math/mpfr_reference.h"
#include "tests/math/portable_math_inputs.h"

#ifndef SE_TESSAVINE_MPFR_SECONDS
#define SE_TESSAVINE_MPFR_SECONDS 180
#endif

namespace {

using portable_math_inputs::Function;

// SineRecurrence's Retune and Render, operation for operation, with MPFR's functions.
struct ReferenceRecurrence {
  mpfr_reference::Reference* reference;
  float last_pitch = SineRecurrence::kPitchSentinel;
  double y1 = 0.0;
  double y2 = 0.0;
  double coeff = 2.0;
  double sample_period = 0.0;
  bool first_run = true;

  void Reset(float sample_rate) {
    *this = ReferenceRecurrence{reference};
    sample_period = 1.0 / static_cast<double>(sample_rate);
    if (!std::isfinite(sample_period)) sample_period = 0.0;
  }

  void Retune(float pitch, int16_t freq_scale) {
    double frequency =
        freq_scale == 0
            ? SineRecurrence::kReferenceHz *
                  reference->Rounded(Function::kExp2,
                                     SineRecurrence::kVoltsPerUnit * static_cast<double>(pitch) -
                                         SineRecurrence::kReferenceVolts)
            : SineRecurrence::kHertzPerUnit * static_cast<double>(pitch);
    last_pitch = pitch;
    double increment = SineRecurrence::kTwoPi * sample_period * frequency;
    if (!std::isfinite(increment)) increment = 0.0;
    const double running_cosine = 0.5 * coeff;
    coeff = 2.0 * reference->Rounded(Function::kCos, increment);
    if (first_run) {
      y1 = 0.0;
      y2 = -reference->Rounded(Function::kSin, increment);
      first_run = false;
      return;
    }
    const double step_back = std::copysign(increment, y2 - running_cosine * y1);
    const double sine = std::clamp(y1, -1.0, 1.0);
    y2 = reference->Rounded(Function::kSin, reference->Rounded(Function::kAsin, sine) + step_back);
    y1 = sine;
  }

  void Render(const float* pitch, float* output, int32_t count, int16_t freq_scale) {
    for (int32_t i = 0; i < count; ++i) {
      if (pitch[i] < last_pitch || pitch[i] > last_pitch) Retune(pitch[i], freq_scale);
      const double y0 = coeff * y1 - y2;
      y2 = y1;
      y1 = y0;
      output[i] = static_cast<float>(SineRecurrence::kOutputScale * y0);
    }
  }
};

// A pitch that wanders: a new value every 1 to 16 samples, a random step of up to 2% of the law's
// range, kept inside it (octave law: 0 to 10 volts, 13.75 Hz to 14 kHz; kilohertz law: -2 to
// 20 kHz), now and then a jump to anywhere in the range.
class WanderingPitch {
 public:
  WanderingPitch(std::uint64_t seed, int16_t freq_scale)
      : m_random(seed),
        m_low(freq_scale == 0 ? 0.0 : -0.2),
        m_high(freq_scale == 0 ? 1.0 : 2.0),
        m_value(m_low + (m_high - m_low) * m_random.Unit()) {}

  float Next() {
    if (m_left == 0) {
      m_left = 1 + static_cast<int>(m_random.Below(16));
      if (m_random.Below(500) == 0) {
        m_value = m_low + (m_high - m_low) * m_random.Unit();
      } else {
        m_value += (m_high - m_low) * 0.02 * (2.0 * m_random.Unit() - 1.0);
        m_value = std::clamp(m_value, m_low, m_high);
      }
    }
    --m_left;
    return static_cast<float>(m_value);
  }

 private:
  portable_math_inputs::Random m_random;
  double m_low;
  double m_high;
  double m_value;
  int m_left = 0;
};

// SE_TESSAVINE_MPFR_SECONDS of audio at 44.1 kHz per law (180; 20 under the asan preset), in
// blocks of random length, the law switching every ten seconds in the second half.
TEST(TessavineAgainstMpfr, MinutesOfWanderingPitchEqualTheCorrectlyRoundedReference) {
  mpfr_reference::Reference reference;
  constexpr float kRate = 44100.0f;
  for (int16_t first_law = 0; first_law <= 1; ++first_law) {
    SineRecurrence sine;
    sine.Reset(kRate);
    ReferenceRecurrence expected{&reference};
    expected.Reset(kRate);
    WanderingPitch octave(0x7E55A000u + first_law, 0);
    WanderingPitch kilohertz(0x7E55B000u + first_law, 1);
    portable_math_inputs::Random blocks(0xB10C0000u + first_law);
    std::vector<float> pitch(4096);
    std::vector<float> output(4096);
    std::vector<float> expected_output(4096);
    const long total = static_cast<long>(SE_TESSAVINE_MPFR_SECONDS) * 44100;
    long done = 0;
    long retunes = 0;
    while (done < total) {
      const long second = done / 44100;
      int16_t law = first_law;
      if (second >= SE_TESSAVINE_MPFR_SECONDS / 2 && (second / 10) % 2 == 1) law = 1 - first_law;
      const int32_t count = 1 + static_cast<int32_t>(blocks.Below(4096));
      for (int32_t i = 0; i < count; ++i) pitch[i] = law == 0 ? octave.Next() : kilohertz.Next();
      for (int32_t i = 0; i < count; ++i) retunes += i == 0 || pitch[i] != pitch[i - 1];
      sine.Render(pitch.data(), output.data(), count, law);
      expected.Render(pitch.data(), expected_output.data(), count, law);
      for (int32_t i = 0; i < count; ++i) {
        ASSERT_EQ(Bits(output[i]), Bits(expected_output[i]))
            << "law " << first_law << ", sample " << done + i << " (pitch " << pitch[i] << ")";
      }
      done += count;
    }
    EXPECT_EQ(Bits(sine.m_y1), Bits(expected.y1));
    EXPECT_EQ(Bits(sine.m_y2), Bits(expected.y2));
    EXPECT_EQ(Bits(sine.m_coeff), Bits(expected.coeff));
    std::printf("starting with law %d: %ld samples, about %ld re-seedings, all equal\n", first_law,
                total, retunes);
  }
}

// tessavine_test's hour of pitch changes (20 Hz and 1% above, alternating every second): the
// final state it pins is the correctly rounded functions' one.
TEST(TessavineAgainstMpfr, AnHourOfPitchChangesEndsInTheReferenceState) {
  mpfr_reference::Reference reference;
  const float pitch = static_cast<float>(0.1 * std::log2(20.0 / 13.75));
  const float second_pitch = pitch * 1.01f;
  SineRecurrence sine;
  sine.Reset(44100.0f);
  ReferenceRecurrence expected{&reference};
  expected.Reset(44100.0f);
  std::vector<float> first_buffer(44100, pitch);
  std::vector<float> second_buffer(44100, second_pitch);
  std::vector<float> output(44100);
  for (int second = 0; second < 3600; ++second) {
    const float* buffer = second % 2 == 1 ? second_buffer.data() : first_buffer.data();
    sine.Render(buffer, output.data(), 44100, 0);
    expected.Render(buffer, output.data(), 44100, 0);
  }
  EXPECT_EQ(Bits(sine.m_y1), Bits(expected.y1));
  EXPECT_EQ(Bits(sine.m_y2), Bits(expected.y2));
  EXPECT_EQ(Bits(expected.y1), 0x3fe9076bcad4db3cull);
  EXPECT_EQ(Bits(expected.y2), 0x3fe8f8cba5e5ac94ull);
}

}  // namespace
