// The process entry is called on the host's audio thread, which must never wait: while no event
// is queued, rendering a block allocates no memory, takes no lock and makes no system call, for
// every setting and every input, sensible or not. With events queued, handling them neither
// allocates nor frees: the frame keeps their nodes, and the next events queued reuse them.
//
// The modules are loaded from their built libraries into this program, which stands in for
// malloc and the lock functions and so sees the plug-ins' calls too (realtime_guard.h).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <mutex>
#include <vector>

#include "tests/reliability/module_rig.h"
#include "tests/reliability/realtime_guard.h"

namespace reliability {
namespace {

constexpr int32_t kMaxBlock = 1024;
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInfinity = std::numeric_limits<float>::infinity();

// One way of driving a module for a while: its setting pins and its input signals.
struct Drive {
  std::vector<std::pair<int32_t, int32_t>> settings;  // pin, value: queued and handled first
  float pitch;
  bool pitch_moves_every_sample;
};

// The settings go in as events and are handled by a first block; then the blocks under test.
void Prepare(ModuleRig& rig, int32_t pitch_pin, const Drive& drive) {
  for (const auto& setting : drive.settings) rig.SetPinAt(setting.first, setting.second, 0);
  float* pitch = rig.buffer(pitch_pin);
  for (int32_t i = 0; i < rig.max_block(); ++i) {
    pitch[i] = drive.pitch_moves_every_sample ? drive.pitch + 1e-4f * static_cast<float>(i % 97)
                                              : drive.pitch;
  }
  rig.Render(16);
  ASSERT_EQ(rig.module().QueueEmpty(), 1);
}

// Block lengths a host uses, and a few it should not.
void RenderBlocks(ModuleRig& rig) {
  for (int32_t frames : {1, 7, 64, 256, 1000, 1024, 3, 512}) rig.Render(frames);
}

void ExpectRealTimeSafe(ModuleRig& rig, const char* what) {
  SCOPED_TRACE(what);
  realtime_guard::Start();
  RenderBlocks(rig);
  const realtime_guard::Counts counts = realtime_guard::Stop();
  EXPECT_EQ(counts.allocations, 0u);
  EXPECT_EQ(counts.frees, 0u);
  EXPECT_EQ(counts.locks, 0u);

  const realtime_guard::SyscallVerdict verdict =
      realtime_guard::RunWithoutSystemCalls([&] { RenderBlocks(rig); });
  if (!verdict.filter_installed) {
    ADD_FAILURE() << "the kernel refused the seccomp filter; system calls were not checked";
    return;
  }
  EXPECT_EQ(verdict.first_syscall, -1) << "system call number " << verdict.first_syscall;
  EXPECT_TRUE(verdict.completed) << "child status " << verdict.exit_status;
}

TEST(RealTimeTest, TheCountersSeeThePlugInsAllocationsAndThisProgramsLocks) {
  // Without this, a count of 0 below could mean the stand-ins are not in the plug-in's way.
  ModuleRig rig(LoadPlugin("tessavine"), 44100.0f, 0, kMaxBlock);
  realtime_guard::Start();
  rig.SetPinAt(tessavine_pins::kFreqScale, 1, 5);  // the frame copies the event into a new node
  std::mutex mutex;
  mutex.lock();
  mutex.unlock();
  realtime_guard::Counts counts = realtime_guard::Stop();
  EXPECT_GE(counts.allocations, 1u);
  EXPECT_GE(counts.locks, 1u);

  // And the seccomp child catches a system call.
  const realtime_guard::SyscallVerdict verdict =
      realtime_guard::RunWithoutSystemCalls([] { (void)getpid(); });
  ASSERT_TRUE(verdict.filter_installed);
  EXPECT_FALSE(verdict.completed);
  EXPECT_GE(verdict.first_syscall, 0);
}

TEST(RealTimeTest, PelioRendersWithoutAllocatingLockingOrSystemCalls) {
  using namespace pelio_pins;
  const std::vector<Drive> drives = {
      {{}, 0.5f, false},
      {{{kQuality, 1}}, 0.5f, true},
      {{{kQuality, 2}}, 0.3f, true},
      {{{kFreqScale, 1}, {kHarmonics, 3}}, 0.1f, true},
      {{{kFreqScale, 1}}, 5.0f, false},  // far above the sample rate: the phase reduction path
      {{}, 1.19f, false},
      {{}, 1.3f, false},  // above the octave law's cut-off: silence
      {{}, kNaN, false},
      {{{kFreqScale, 1}}, -kInfinity, false},
      {{{kHarmonics, 0}, {kQuality, 7}}, 0.5f, false},
      {{{kHarmonics, 32767}}, 1e-30f, false},
  };
  for (float sample_rate : {44100.0f, 0.0f, -48000.0f, kNaN, 1e30f}) {
    for (size_t index = 0; index < drives.size(); ++index) {
      ModuleRig rig(LoadPlugin("pelio"), sample_rate, 0, kMaxBlock);
      for (int32_t harmonic = 0; harmonic < 16; ++harmonic)
        rig.Fill(kFirstAmplitude + harmonic, 0.2f);
      // A huge "Mod" overflows the recurrence: the output's finite fallback must not allocate.
      rig.Fill(kMod, index % 2 == 0 ? 2.0f : 1e30f);
      Prepare(rig, kPitch, drives[index]);
      ExpectRealTimeSafe(
          rig, ("pelio at " + std::to_string(sample_rate) + " Hz, drive " + std::to_string(index))
                   .c_str());
    }
  }
}

TEST(RealTimeTest, TessavineRendersWithoutAllocatingLockingOrSystemCalls) {
  using namespace tessavine_pins;
  const std::vector<Drive> drives = {
      {{}, 0.5f, false},
      {{}, 0.5f, true},  // a new frequency and a re-seeding at every sample
      {{{kFreqScale, 1}}, 0.2f, true},
      {{{kFreqScale, 1}}, -0.2f, true},
      {{}, 150.0f, false},  // an infinite frequency under the octave law
      {{}, kNaN, false},
      {{}, -999.0f, false},
      {{{kFreqScale, 1}}, 0.0f, false},
  };
  for (float sample_rate : {44100.0f, 0.0f, -48000.0f, kNaN}) {
    for (size_t index = 0; index < drives.size(); ++index) {
      ModuleRig rig(LoadPlugin("tessavine"), sample_rate, 0, kMaxBlock);
      Prepare(rig, kPitch, drives[index]);
      ExpectRealTimeSafe(rig, ("tessavine at " + std::to_string(sample_rate) + " Hz, drive " +
                               std::to_string(index))
                                  .c_str());
    }
  }
}

TEST(RealTimeTest, QueuedEventsReuseTheirNodes) {
  for (const char* name : {"pelio", "tessavine"}) {
    SCOPED_TRACE(name);
    const bool is_pelio = std::string(name) == "pelio";
    const int32_t setting = is_pelio ? pelio_pins::kQuality : tessavine_pins::kFreqScale;
    ModuleRig rig(LoadPlugin(name), 44100.0f, 0, kMaxBlock);
    rig.Fill(is_pelio ? pelio_pins::kPitch : tessavine_pins::kPitch, 0.5f);
    rig.Render(64);
    const int events = 10;
    const auto queue_events = [&] {
      for (int event = 0; event < events; ++event) {
        rig.SetPinAt(setting, event % 2, static_cast<uint32_t>(event * 50));
      }
    };
    queue_events();  // the first events of a module allocate their nodes

    // Handling them frees nothing, and the events queued next take their nodes back.
    for (int round = 0; round < 3; ++round) {
      realtime_guard::Start();
      rig.Render(kMaxBlock);
      queue_events();
      const realtime_guard::Counts counts = realtime_guard::Stop();
      EXPECT_EQ(counts.allocations, 0u) << "round " << round;
      EXPECT_EQ(counts.frees, 0u) << "round " << round;
      EXPECT_EQ(counts.locks, 0u) << "round " << round;
    }

    const realtime_guard::SyscallVerdict verdict =
        realtime_guard::RunWithoutSystemCalls([&] { rig.Render(kMaxBlock); });
    EXPECT_EQ(verdict.first_syscall, -1) << "system call number " << verdict.first_syscall;
    EXPECT_TRUE(verdict.completed);
    rig.Render(kMaxBlock);
    EXPECT_EQ(rig.module().QueueEmpty(), 1);
  }
}

}  // namespace
}  // namespace reliability
