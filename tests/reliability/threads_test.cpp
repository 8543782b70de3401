// Two threads, each driving its own instances of both modules at the same time, as a host with
// one audio thread per processing graph does. The protocol forbids calling one instance from two
// threads, but separate instances must share nothing: no global state, no static buffer, no
// cached table written on first use. Under ThreadSanitizer (the tsan preset) any shared write
// shows as a data race; on every build, each thread's output must equal, bit for bit, what the
// same work gives when it runs alone, so any crosstalk between instances shows too.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/reliability/module_rig.h"

namespace reliability {
namespace {

constexpr int32_t kMaxBlock = 512;
constexpr int kBlocks = 600;

struct Transcript {
  std::vector<float> pelio;
  std::vector<float> tessavine;
};

// The libraries are loaded once, as a host loads each library once and then creates instances on
// whichever thread needs them. (Loading and unloading from two threads at once is the loader's
// business, and ThreadSanitizer does not see the loader's own locks.)
struct Libraries {
  std::shared_ptr<const se_host::PluginLibrary> pelio = LoadPlugin("pelio");
  std::shared_ptr<const se_host::PluginLibrary> tessavine = LoadPlugin("tessavine");
};

const Libraries& Loaded() {
  static const Libraries libraries;
  return libraries;
}

// One thread's whole job: create and open one instance of each module, render blocks of random
// length with moving inputs and setting changes, close. Everything is decided by `seed`, so the
// same seed must give the same transcript wherever and whenever it runs.
class Scenario {
 public:
  explicit Scenario(uint64_t seed)
      : random_(seed),
        pelio_(Loaded().pelio, 44100.0f, static_cast<uint32_t>(seed * 7919u), kMaxBlock),
        tessavine_(Loaded().tessavine, 48000.0f, static_cast<uint32_t>(seed * 104729u), kMaxBlock) {
    pelio_.Fill(pelio_pins::kMod, 2.0f);
    for (int32_t harmonic = 0; harmonic < 16; ++harmonic) {
      pelio_.Fill(pelio_pins::kFirstAmplitude + harmonic, random_.Uniform(-0.3f, 0.3f));
    }
  }

  // Renders one block of each module; false once the scenario is over.
  bool Step() {
    if (blocks_done_ == kBlocks) return false;
    ++blocks_done_;
    const int32_t frames = 1 + static_cast<int32_t>(random_.Below(kMaxBlock));
    // A slow glide within the block, for both modules.
    const float target = random_.Uniform(0.2f, 0.7f);
    for (int32_t i = 0; i < frames; ++i) {
      const float glide = pitch_ + (target - pitch_) * static_cast<float>(i) / frames;
      pelio_.buffer(pelio_pins::kPitch)[i] = glide;
      tessavine_.buffer(tessavine_pins::kPitch)[i] = glide * 0.5f;
      pelio_.buffer(pelio_pins::kMod)[i] = 2.0f - glide;
    }
    pitch_ = target;
    if (random_.Below(4) == 0) {
      const uint32_t at = random_.Below(static_cast<uint32_t>(frames));
      pelio_.SetPinAt(pelio_pins::kHarmonics, 1 + static_cast<int32_t>(random_.Below(16)), at);
      pelio_.SetPinAt(pelio_pins::kQuality, static_cast<int32_t>(random_.Below(3)), at);
      tessavine_.SetPinAt(tessavine_pins::kFreqScale, static_cast<int32_t>(random_.Below(2)), at);
    }
    pelio_.Render(frames);
    tessavine_.Render(frames);
    const float* pelio_out = pelio_.buffer(pelio_pins::kOutput);
    const float* tessavine_out = tessavine_.buffer(tessavine_pins::kOutput);
    transcript_.pelio.insert(transcript_.pelio.end(), pelio_out, pelio_out + frames);
    transcript_.tessavine.insert(transcript_.tessavine.end(), tessavine_out,
                                 tessavine_out + frames);
    return true;
  }

  const Transcript& transcript() const { return transcript_; }

 private:
  Random random_;
  ModuleRig pelio_;
  ModuleRig tessavine_;
  Transcript transcript_;
  float pitch_ = 0.4f;
  int blocks_done_ = 0;
};

Transcript RunScenario(uint64_t seed) {
  Scenario scenario(seed);
  while (scenario.Step()) {
  }
  return scenario.transcript();
}

void ExpectSameBits(const std::vector<float>& expected, const std::vector<float>& actual,
                    const char* what) {
  ASSERT_EQ(expected.size(), actual.size()) << what;
  size_t differing = 0;
  size_t first = 0;
  for (size_t i = 0; i < expected.size(); ++i) {
    if (std::memcmp(&expected[i], &actual[i], sizeof(float)) != 0) {
      if (differing++ == 0) first = i;
    }
  }
  EXPECT_EQ(differing, 0u) << what << ": first difference at sample " << first;
}

TEST(ThreadsTest, TwoThreadsDrivingTheirOwnInstancesRenderWhatEachRendersAlone) {
  const uint64_t seeds[] = {11, 23};
  Loaded();
  Transcript alone[2];
  for (int thread = 0; thread < 2; ++thread) alone[thread] = RunScenario(seeds[thread]);
  // The two scenarios differ, so a thread that rendered the other's work would show.
  ASSERT_NE(alone[0].tessavine, alone[1].tessavine);

  for (int round = 0; round < 3; ++round) {
    Transcript together[2];
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int thread = 0; thread < 2; ++thread) {
      threads.emplace_back([&, thread] {
        // Both threads start their work at the same moment, to overlap as much as possible.
        ready.fetch_add(1);
        while (ready.load() < 2) std::this_thread::yield();
        together[thread] = RunScenario(seeds[thread]);
      });
    }
    for (std::thread& thread : threads) thread.join();
    for (int thread = 0; thread < 2; ++thread) {
      SCOPED_TRACE("round " + std::to_string(round) + ", thread " + std::to_string(thread));
      ExpectSameBits(alone[thread].pelio, together[thread].pelio, "pelio");
      ExpectSameBits(alone[thread].tessavine, together[thread].tessavine, "tessavine");
    }
  }
}

TEST(ThreadsTest, InstancesOnOneThreadDoNotDisturbEachOther) {
  // A second, differently driven instance of each module, interleaved block by block on the same
  // thread, must not change the first one's output either.
  const Transcript alone = RunScenario(5);
  Scenario first(5);
  Scenario second(6);
  while (first.Step() && second.Step()) {
  }
  while (first.Step()) {
  }
  ExpectSameBits(alone.pelio, first.transcript().pelio, "pelio");
  ExpectSameBits(alone.tessavine, first.transcript().tessavine, "tessavine");
}

}  // namespace
}  // namespace reliability
