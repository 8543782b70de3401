// A day of use, simulated as fast as the modules render: every registered module runs for
// SE_SOAK_SECONDS of audio at 44.1 kHz (scripts/soak.sh sets 86400, a full day; ctest a shortened
// run) with blocks of random length, random control changes and stray events, inputs that drift
// slowly all the time, and pauses after which the host resumes the module. The host's clock
// starts so that it passes 2^32 halfway through.
//
// What a long render must not do, and what is checked:
//  - produce a sample that is not a finite number (every sample of every output is checked);
//  - fall silent for good: some window of the run has sound;
//  - grow in memory: the heap in use when no event is queued must be the same at the end as
//    after the first seconds, to the byte (counted by this program's malloc, realtime_guard.h,
//    which sees the plug-ins' allocations too, or by AddressSanitizer's allocator). The frame
//    keeps a bounded number of handled events' nodes for reuse; a burst of events at the start
//    fills that store, so that it cannot account for any later growth.
// And one thing about Tessavine alone: its recurrence holds its amplitude only up to rounding, so
// its peak over every ten seconds must stay within 0.1% of 0.5, and reach that near the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "tests/reliability/module_drive.h"
#include "tests/support/stall_watchdog.h"

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
constexpr int32_t kBurstEvents = 1024;  // more than the frame keeps nodes for (256)

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

// One module's soak: its host, its pins' roles, and the tally.
class Soak {
 public:
  // `input_ranges`: inputs, by pin name, held to a range of their own instead of 10 V around
  // their default.
  Soak(const se_test::RegisteredModule& module, uint64_t seed,
       const std::map<std::string, std::pair<float, float>>& input_ranges = {})
      : name_(module.name),
        host_(se_test::LoadLibrary(module.library)),
        roles_(host_.pins()),
        motion_(roles_, seed, 30.0),
        random_(seed) {
    for (size_t which = 0; which < roles_.inputs.size(); ++which) {
      const auto range = input_ranges.find(host_.pins()[roles_.inputs[which]].name);
      if (range != input_ranges.end()) {
        motion_.Limit(which, range->second.first, range->second.second);
      }
    }
  }

  SoakResult Run(double seconds) {
    // Made before the heap is first measured: its thread is part of the steady state.
    se_test::StallWatchdog watchdog("soak of " + name_);
    const uint64_t total = static_cast<uint64_t>(seconds * kSampleRate);
    const uint32_t start_clock = 0u - static_cast<uint32_t>(total / 2);
    // The host's log of requests would grow with every resume.
    host_.core().set_recording(false);
    host_.Start(kSampleRate, start_clock, kMaxBlock);

    // More events at once than the frame keeps nodes for, all of a type the module ignores.
    for (int32_t i = 0; i < kBurstEvents; ++i) {
      SeEvent ignored = {};
      ignored.time_stamp = start_clock;
      ignored.event_type = 5;
      host_.core().AddEvent(ignored);
    }
    Drain();

    const uint64_t window = static_cast<uint64_t>(kPeakWindowSeconds * kSampleRate);
    // The last two windows are rendered with every control at its default, so that the final
    // peak is measured on the module's ordinary sound.
    const uint64_t settle_from = total > 3 * window ? total - 2 * window : total;
    const uint64_t warm_up = std::min<uint64_t>(total / 100, static_cast<uint64_t>(kSampleRate));
    bool settled = false;
    bool measured_warm_up = false;
    std::vector<const float*> outputs;
    for (int32_t output : roles_.outputs) outputs.push_back(host_.buffer(output));
    float window_peak = 0.0f;
    uint64_t window_filled = 0;
    uint64_t windows_done = 0;

    while (result_.samples < total) {
      if (!measured_warm_up && result_.samples >= warm_up) {
        Drain();
        result_.heap_after_warm_up = HeapInUse();
        measured_warm_up = true;
      }
      if (!settled && result_.samples >= settle_from) {
        // Changes still queued would land after these.
        Drain();
        for (const ControlPin& control : roles_.controls) {
          host_.SetPinAt(control.index, control.usual, 0);
        }
        settled = true;
      }

      int32_t frames;
      const uint32_t kind = random_.Below(10);
      if (kind == 0) {
        frames = 1 + static_cast<int32_t>(random_.Below(8));
      } else if (kind < 3) {
        frames = 512;
      } else {
        frames = 1 + static_cast<int32_t>(random_.Below(kMaxBlock));
      }
      if (static_cast<uint64_t>(frames) > total - result_.samples) {
        frames = static_cast<int32_t>(total - result_.samples);
      }
      // Inputs: most blocks hold them, one in four glides through them sample by sample.
      motion_.Fill(roles_, host_, frames, random_.Below(4) != 0);

      // Events: a control change now and then at a random sample of this or the next block, and
      // rarely one the module must ignore (an unused type, a pin it does not have).
      if (!settled && !roles_.controls.empty() && random_.Below(8) == 0) {
        const ControlPin& control =
            roles_.controls[random_.Below(static_cast<uint32_t>(roles_.controls.size()))];
        const int32_t value =
            static_cast<int32_t>(random_.Below(static_cast<uint32_t>(control.value_count)));
        host_.SetPinAt(control.index, value, random_.Below(2 * static_cast<uint32_t>(frames)));
        ++result_.events;
      }
      if (random_.Below(256) == 0) {
        SeEvent stray = {};
        stray.time_stamp = host_.core().sample_clock() + random_.Below(4096);
        stray.event_type = static_cast<int32_t>(random_.Below(3)) == 0 ? 2 : 5;
        stray.value1 = static_cast<int32_t>(random_.Next());
        stray.data = reinterpret_cast<void*>(static_cast<intptr_t>(1000 + random_.Below(100)));
        host_.core().AddEvent(stray);
        ++result_.events;
      }
      // Now and then the host pauses the module and resumes it, its clock having moved on.
      if (random_.Below(20000) == 0) {
        host_.core().set_sample_clock(host_.core().sample_clock() + random_.Below(1 << 20));
        host_.core().Resume();
        ++result_.resumes;
      }

      host_.Render(frames);
      watchdog.Progress(settled ? "the settled end" : "random blocks and events");
      for (int32_t i = 0; i < frames; ++i) {
        float peak = 0.0f;
        for (const float* output : outputs) {
          const float sample = output[i];
          if (!std::isfinite(sample)) ++result_.not_finite;
          peak = std::max(peak, std::fabs(sample));
        }
        window_peak = std::max(window_peak, peak);
        if (++window_filled == window) {
          result_.worst_window_peak = std::max(result_.worst_window_peak, window_peak);
          if (windows_done > 0) {
            result_.lowest_window_peak = std::min(result_.lowest_window_peak, window_peak);
          }
          result_.final_window_peak = window_peak;
          ++windows_done;
          window_peak = 0.0f;
          window_filled = 0;
        }
      }
      result_.samples += static_cast<uint64_t>(frames);
    }
    Drain();
    result_.heap_at_end = HeapInUse();
    if (!measured_warm_up) result_.heap_after_warm_up = result_.heap_at_end;
    return result_;
  }

 private:
  // Renders until the module holds no event, so that the heap can be compared. No event is ever
  // queued further ahead than a few blocks; one still queued after that many samples will never be
  // handled, and the soak fails instead of rendering for ever.
  void Drain() {
    constexpr uint64_t kLatestEvent = 4 * kMaxBlock + 4096;
    for (uint64_t drained = 0; host_.core().QueueEmpty() == 0; drained += 64) {
      if (drained > kLatestEvent) {
        ADD_FAILURE() << "an event is still queued " << drained << " samples later";
        return;
      }
      host_.Render(64);
      result_.samples += 64;
      for (int32_t output : roles_.outputs) {
        for (int32_t i = 0; i < 64; ++i) {
          if (!std::isfinite(host_.buffer(output)[i])) ++result_.not_finite;
        }
      }
    }
  }

  std::string name_;
  se_test::TestHost host_;
  PinRoles roles_;
  InputMotion motion_;
  se_test::Random random_;
  SoakResult result_;
};

void Report(const std::string& name, const SoakResult& result) {
  std::printf(
      "%s: %.2f hours of audio, %llu events, %llu resumes; window peaks %.6f..%.6f, final %.6f; "
      "heap %zu -> %zu bytes\n",
      name.c_str(), static_cast<double>(result.samples) / kSampleRate / 3600.0,
      static_cast<unsigned long long>(result.events),
      static_cast<unsigned long long>(result.resumes), result.lowest_window_peak,
      result.worst_window_peak, result.final_window_peak, result.heap_after_warm_up,
      result.heap_at_end);
}

class SoakTest : public testing::TestWithParam<se_test::RegisteredModule> {};

TEST_P(SoakTest, StaysFiniteSoundingAndInItsMemory) {
  const SoakResult result = Soak(GetParam(), 1).Run(SoakSeconds());
  Report(GetParam().name, result);
  EXPECT_EQ(result.not_finite, 0u);
  EXPECT_GT(result.worst_window_peak, 0.0f);
  EXPECT_EQ(result.heap_at_end, result.heap_after_warm_up);
}

INSTANTIATE_TEST_SUITE_P(EveryModule, SoakTest, testing::ValuesIn(se_test::RegisteredModules()),
                         ModuleName);

TEST(TessavineSoakTest, KeepsItsLevel) {
  const auto& modules = se_test::RegisteredModules();
  const auto tessavine = std::find_if(modules.begin(), modules.end(), [](const auto& module) {
    return module.name == "tessavine";
  });
  if (tessavine == modules.end()) GTEST_SKIP() << "tessavine is not in this build";
  // Audio-rate pitches only, where the level is promised: 78 to 880 Hz under the octave law,
  // 2.5 to 6 kHz under the kilohertz law.
  constexpr float kPeak = 0.5f;
  constexpr float kTolerance = 0.001f;  // 0.1%
  const SoakResult result = Soak(*tessavine, 2, {{"Pitch", {0.25f, 0.6f}}}).Run(SoakSeconds());
  Report("tessavine at audio rates", result);
  EXPECT_EQ(result.not_finite, 0u);
  EXPECT_LE(result.worst_window_peak, kPeak * (1.0f + kTolerance));
  EXPECT_NEAR(result.final_window_peak, kPeak, kPeak * kTolerance);
}

}  // namespace
}  // namespace reliability
