// A day of use, simulated as fast as the modules render: each module runs for SE_SOAK_SECONDS of
// audio at 44.1 kHz (scripts/soak.sh sets 86400, a full day; ctest a shortened run) with blocks
// of random length, random setting changes and stray events, inputs that drift slowly all the
// time, and pauses after which the host resumes the module. The host's clock starts so that it
// passes 2^32 halfway through.
//
// What a long render must not do, and what is checked:
//  - produce a sample that is not a finite number (every sample is checked);
//  - drift in level: Tessavine's recurrence holds its amplitude only up to rounding, so its peak
//    over every ten seconds must stay within 0.1% of 0.5, and reach that near the end;
//  - grow in memory: the heap in use when no event is queued must be the same at the end as
//    after the first seconds, to the byte (counted by this program's malloc, realtime_guard.h,
//    which sees the plug-ins' allocations too, or by AddressSanitizer's allocator). The frame
//    keeps a bounded number of handled events' nodes for reuse; a burst of events at the start
//    fills that store, so that it cannot account for any later growth.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/reliability/module_rig.h"

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime's allocator interface (GCC ships the runtime but not this header).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include "tests/reliability/realtime_guard.h"
#endif

namespace reliability {
namespace {

constexpr float kSampleRate = 44100.0f;
constexpr int32_t kMaxBlock = 2048;
constexpr double kPeakWindowSeconds = 10.0;
constexpr float kTessavinePeak = 0.5f;
constexpr float kPeakTolerance = 0.001f;  // 0.1%
constexpr int32_t kBurstEvents = 1024;    // more than the frame keeps nodes for (256)

size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__)
  return __sanitizer_get_current_allocated_bytes();
#else
  return realtime_guard::LiveHeapBytes();
#endif
}

double SoakSeconds() {
  const char* text = std::getenv("SE_SOAK_SECONDS");
  const double seconds = text != nullptr ? std::atof(text) : 0.0;
  return seconds > 0.0 ? seconds : 3600.0;
}

// How each module is fed: which pins move, which settings change and over what range.
struct ModulePlan {
  const char* library;
  int32_t pitch_pin;
  int32_t output_pin;
  float pitch_low;
  float pitch_high;
  // Setting pins: an event picks one pin and one of its `items` values; the last windows of the
  // run hold every pin at its `usual` value.
  struct Setting {
    int32_t pin;
    int32_t items;
    int32_t usual;
  };
  std::vector<Setting> settings;
  bool is_pelio;
};

struct SoakResult {
  uint64_t samples = 0;
  uint64_t not_finite = 0;
  uint64_t events = 0;
  uint64_t resumes = 0;
  float worst_window_peak = 0.0f;   // the largest peak of any whole window
  float lowest_window_peak = 1.0f;  // the smallest peak of any whole window after the first
  float final_window_peak = 0.0f;
  size_t heap_after_warm_up = 0;
  size_t heap_at_end = 0;
};

// Renders until the module holds no event, so that the heap can be compared.
void Drain(ModuleRig& rig, int32_t output_pin, SoakResult& result) {
  while (rig.module().QueueEmpty() == 0) {
    rig.Render(64);
    result.samples += 64;
    for (int32_t i = 0; i < 64; ++i) {
      if (!std::isfinite(rig.buffer(output_pin)[i])) ++result.not_finite;
    }
  }
}

SoakResult Soak(const ModulePlan& plan, double seconds, uint64_t seed) {
  const uint64_t total = static_cast<uint64_t>(seconds * kSampleRate);
  const uint32_t start_clock = 0u - static_cast<uint32_t>(total / 2);
  ModuleRig rig(LoadPlugin(plan.library), kSampleRate, start_clock, kMaxBlock);
  Random random(seed);
  SoakResult result;

  if (plan.is_pelio) {
    for (int32_t harmonic = 0; harmonic < 16; ++harmonic) {
      rig.Fill(pelio_pins::kFirstAmplitude + harmonic, 0.5f / static_cast<float>(harmonic + 1));
    }
    rig.Fill(pelio_pins::kMod, 2.0f);
  }

  // More events at once than the frame keeps nodes for, all of a type the module ignores.
  for (int32_t i = 0; i < kBurstEvents; ++i) {
    SeEvent ignored = {};
    ignored.time_stamp = start_clock;
    ignored.event_type = 5;
    rig.module().AddEvent(ignored);
  }
  Drain(rig, plan.output_pin, result);

  const uint64_t window = static_cast<uint64_t>(kPeakWindowSeconds * kSampleRate);
  // The last two windows are rendered under the first item of every setting (the octave law for
  // the pitch), so that the final peak is measured on an ordinary audio-rate sine.
  const uint64_t settle_from = total > 3 * window ? total - 2 * window : total;
  const uint64_t warm_up = std::min<uint64_t>(total / 100, static_cast<uint64_t>(kSampleRate));
  bool settled = false;
  bool measured_warm_up = false;
  float window_peak = 0.0f;
  uint64_t window_filled = 0;
  uint64_t windows_done = 0;

  // The pitch glides towards a target that is replaced once reached: slow, never still for long.
  float pitch = 0.5f * (plan.pitch_low + plan.pitch_high);
  float target = pitch;
  const float glide_per_sample = (plan.pitch_high - plan.pitch_low) / (30.0f * kSampleRate);
  double mod_phase = 0.0;

  while (result.samples < total) {
    if (!measured_warm_up && result.samples >= warm_up) {
      Drain(rig, plan.output_pin, result);
      result.heap_after_warm_up = HeapInUse();
      measured_warm_up = true;
    }
    if (!settled && result.samples >= settle_from) {
      // Changes still queued would land after these.
      Drain(rig, plan.output_pin, result);
      for (const ModulePlan::Setting& setting : plan.settings) {
        rig.SetPinAt(setting.pin, setting.usual, 0);
      }
      settled = true;
    }

    int32_t frames;
    const uint32_t kind = random.Below(10);
    if (kind == 0) {
      frames = 1 + static_cast<int32_t>(random.Below(8));
    } else if (kind < 3) {
      frames = 512;
    } else {
      frames = 1 + static_cast<int32_t>(random.Below(kMaxBlock));
    }
    if (static_cast<uint64_t>(frames) > total - result.samples) {
      frames = static_cast<int32_t>(total - result.samples);
    }

    // Inputs: most blocks hold the pitch, one in four glides through it sample by sample.
    float* pitch_buffer = rig.buffer(plan.pitch_pin);
    const bool glide_in_block = random.Below(4) == 0;
    for (int32_t i = 0; i < frames; ++i) {
      if (glide_in_block || i == 0) {
        const float step = glide_per_sample * (glide_in_block ? 1.0f : static_cast<float>(frames));
        if (std::fabs(target - pitch) <= step) {
          pitch = target;
          target = random.Uniform(plan.pitch_low, plan.pitch_high);
        } else {
          pitch += target > pitch ? step : -step;
        }
      }
      pitch_buffer[i] = pitch;
    }
    if (plan.is_pelio) {
      // "Mod" sweeps slowly between -2.2 and 2.2 at audio rate, an LFO of about a minute.
      float* mod = rig.buffer(pelio_pins::kMod);
      for (int32_t i = 0; i < frames; ++i) {
        mod[i] = static_cast<float>(2.2 * std::sin(mod_phase));
        mod_phase += 2.0 * 3.141592653589793 / (61.0 * kSampleRate);
      }
      if (random.Below(16) == 0) {
        const int32_t harmonic = static_cast<int32_t>(random.Below(16));
        rig.Fill(pelio_pins::kFirstAmplitude + harmonic, random.Uniform(-0.5f, 0.5f));
      }
    }

    // Events: a setting change now and then at a random sample of this or the next block, and
    // rarely one the module must ignore (an unused type, a pin it does not have).
    if (!settled && random.Below(8) == 0) {
      const auto& setting =
          plan.settings[random.Below(static_cast<uint32_t>(plan.settings.size()))];
      const int32_t value =
          static_cast<int32_t>(random.Below(static_cast<uint32_t>(setting.items)));
      rig.SetPinAt(setting.pin, value, random.Below(2 * static_cast<uint32_t>(frames)));
      ++result.events;
    }
    if (random.Below(256) == 0) {
      SeEvent stray = {};
      stray.time_stamp = rig.module().sample_clock() + random.Below(4096);
      stray.event_type = static_cast<int32_t>(random.Below(3)) == 0 ? 2 : 5;
      stray.value1 = static_cast<int32_t>(random.Next());
      stray.data = reinterpret_cast<void*>(static_cast<intptr_t>(1000 + random.Below(100)));
      rig.module().AddEvent(stray);
      ++result.events;
    }
    // Now and then the host pauses the module and resumes it, its clock having moved on.
    if (random.Below(20000) == 0) {
      rig.module().set_sample_clock(rig.module().sample_clock() + random.Below(1 << 20));
      rig.module().Resume();
      ++result.resumes;
    }

    rig.Render(frames);
    const float* out = rig.buffer(plan.output_pin);
    for (int32_t i = 0; i < frames; ++i) {
      const float sample = out[i];
      if (!std::isfinite(sample)) ++result.not_finite;
      window_peak = std::max(window_peak, std::fabs(sample));
      if (++window_filled == window) {
        result.worst_window_peak = std::max(result.worst_window_peak, window_peak);
        if (windows_done > 0)
          result.lowest_window_peak = std::min(result.lowest_window_peak, window_peak);
        result.final_window_peak = window_peak;
        ++windows_done;
        window_peak = 0.0f;
        window_filled = 0;
      }
    }
    result.samples += static_cast<uint64_t>(frames);
  }
  Drain(rig, plan.output_pin, result);
  result.heap_at_end = HeapInUse();
  if (!measured_warm_up) result.heap_after_warm_up = result.heap_at_end;
  return result;
}

void Report(const char* name, const SoakResult& result) {
  std::printf(
      "%s: %.2f hours of audio, %llu events, %llu resumes; window peaks %.6f..%.6f, final %.6f; "
      "heap %zu -> %zu bytes\n",
      name, static_cast<double>(result.samples) / kSampleRate / 3600.0,
      static_cast<unsigned long long>(result.events),
      static_cast<unsigned long long>(result.resumes), result.lowest_window_peak,
      result.worst_window_peak, result.final_window_peak, result.heap_after_warm_up,
      result.heap_at_end);
}

TEST(SoakTest, TessavineStaysFiniteAtItsLevelAndInItsMemory) {
  const ModulePlan plan = {"tessavine",
                           tessavine_pins::kPitch,
                           tessavine_pins::kOutput,
                           0.25f,
                           0.6f,
                           {{tessavine_pins::kFreqScale, 2, 0}},
                           false};
  const SoakResult result = Soak(plan, SoakSeconds(), 1);
  Report("tessavine", result);
  EXPECT_EQ(result.not_finite, 0u);
  EXPECT_LE(result.worst_window_peak, kTessavinePeak * (1.0f + kPeakTolerance));
  EXPECT_NEAR(result.final_window_peak, kTessavinePeak, kTessavinePeak * kPeakTolerance);
  EXPECT_EQ(result.heap_at_end, result.heap_after_warm_up);
}

TEST(SoakTest, PelioStaysFiniteAndInItsMemory) {
  const ModulePlan plan = {"pelio",
                           pelio_pins::kPitch,
                           pelio_pins::kOutput,
                           0.0f,
                           1.25f,
                           {{pelio_pins::kHarmonics, 17, 16},
                            {pelio_pins::kFreqScale, 2, 0},
                            {pelio_pins::kQuality, 3, 0}},
                           true};
  const SoakResult result = Soak(plan, SoakSeconds(), 2);
  Report("pelio", result);
  EXPECT_EQ(result.not_finite, 0u);
  EXPECT_GT(result.worst_window_peak, 0.0f);
  EXPECT_GT(result.final_window_peak, 0.0f);
  EXPECT_EQ(result.heap_at_end, result.heap_after_warm_up);
}

}  // namespace
}  // namespace reliability
