// Two threads, each driving its own instance of every registered module at the same time, as a
// host with one audio thread per processing graph does. The protocol forbids calling one instance
// from two threads, but separate instances must share nothing: no global state, no static buffer,
// no cached table written on first use. Under ThreadSanitizer (the tsan preset) any shared write
// shows as a data race; on every build, each thread's output must equal, bit for bit, what the
// same work gives when it runs alone, so any crosstalk between instances shows too.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "tests/reliability/module_drive.h"

namespace reliability {
namespace {

constexpr int32_t kMaxBlock = 512;
constexpr int kBlocks = 600;

// Per module, in registration order: every output sample rendered, output after output.
using Transcript = std::vector<std::vector<float>>;

// One instance and what drives it.
struct Voice {
  Voice(const se_test::RegisteredModule& module, uint64_t seed, float sample_rate)
      : host(se_test::LoadLibrary(module.library)),
        roles(host.pins()),
        motion(roles, seed, 0.5, sample_rate) {
    host.Start(sample_rate, static_cast<uint32_t>(seed * 7919u), kMaxBlock);
  }
  se_test::TestHost host;
  PinRoles roles;
  InputMotion motion;
};

// One thread's whole job: create and open one instance of each module, render blocks of random
// length with moving inputs and control changes, close. Everything is decided by `seed`, so the
// same seed must give the same transcript wherever and whenever it runs. (The libraries are
// loaded once, as a host loads each library once and then creates instances on whichever thread
// needs them; loading from two threads at once is the loader's business.)
class Scenario {
 public:
  explicit Scenario(uint64_t seed) : random_(seed) {
    const auto& modules = se_test::RegisteredModules();
    for (size_t module = 0; module < modules.size(); ++module) {
      const float sample_rate = module % 2 == 0 ? 44100.0f : 48000.0f;
      voices_.push_back(std::make_unique<Voice>(modules[module], seed + 31 * module, sample_rate));
    }
    transcript_.resize(voices_.size());
  }

  // Renders one block of each module; false once the scenario is over.
  bool Step() {
    if (blocks_done_ == kBlocks) return false;
    ++blocks_done_;
    const int32_t frames = 1 + static_cast<int32_t>(random_.Below(kMaxBlock));
    for (size_t which = 0; which < voices_.size(); ++which) {
      Voice& voice = *voices_[which];
      voice.motion.Fill(voice.roles, voice.host, frames);
      if (!voice.roles.controls.empty() && random_.Below(4) == 0) {
        const ControlPin& control =
            voice.roles.controls[random_.Below(static_cast<uint32_t>(voice.roles.controls.size()))];
        const int32_t value =
            static_cast<int32_t>(random_.Below(static_cast<uint32_t>(control.value_count)));
        voice.host.SetPinAt(control.index, value, random_.Below(static_cast<uint32_t>(frames)));
      }
      voice.host.Render(frames);
      for (int32_t output : voice.roles.outputs) {
        const float* samples = voice.host.buffer(output);
        transcript_[which].insert(transcript_[which].end(), samples, samples + frames);
      }
    }
    return true;
  }

  const Transcript& transcript() const { return transcript_; }

 private:
  se_test::Random random_;
  std::vector<std::unique_ptr<Voice>> voices_;
  Transcript transcript_;
  int blocks_done_ = 0;
};

Transcript RunScenario(uint64_t seed) {
  Scenario scenario(seed);
  while (scenario.Step()) {
  }
  return scenario.transcript();
}

void ExpectSameBits(const Transcript& expected, const Transcript& actual) {
  ASSERT_EQ(expected.size(), actual.size());
  for (size_t module = 0; module < expected.size(); ++module) {
    const char* name = se_test::RegisteredModules()[module].name.c_str();
    ASSERT_EQ(expected[module].size(), actual[module].size()) << name;
    size_t differing = 0;
    size_t first = 0;
    for (size_t i = 0; i < expected[module].size(); ++i) {
      if (std::memcmp(&expected[module][i], &actual[module][i], sizeof(float)) != 0) {
        if (differing++ == 0) first = i;
      }
    }
    EXPECT_EQ(differing, 0u) << name << ": first difference at sample " << first;
  }
}

TEST(ThreadsTest, TwoThreadsDrivingTheirOwnInstancesRenderWhatEachRendersAlone) {
  const uint64_t seeds[] = {11, 23};
  Transcript alone[2];
  for (int thread = 0; thread < 2; ++thread) alone[thread] = RunScenario(seeds[thread]);
  // The two scenarios differ, so a thread that rendered the other's work would show.
  for (size_t module = 0; module < alone[0].size(); ++module) {
    ASSERT_NE(alone[0][module], alone[1][module]) << se_test::RegisteredModules()[module].name;
  }

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
      ExpectSameBits(alone[thread], together[thread]);
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
  ExpectSameBits(alone, first.transcript());
}

}  // namespace
}  // namespace reliability
