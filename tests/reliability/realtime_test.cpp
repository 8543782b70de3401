// The process entry is called on the host's audio thread, which must never wait: while no event
// is queued, rendering a block allocates no memory, takes no lock and makes no system call, for
// every setting and every input, sensible or not. With events queued, handling them neither
// allocates nor frees: the frame keeps their nodes, and the next events queued reuse them.
//
// Every registered module is loaded from its built library into this program, which stands in
// for malloc and the lock functions and so sees the plug-ins' calls too (realtime_guard.h).
#include <gtest/gtest.h>
#include <unistd.h>

#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "tests/reliability/module_drive.h"
#include "tests/reliability/realtime_guard.h"

namespace reliability {
namespace {

constexpr int32_t kMaxBlock = 1024;
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInfinity = std::numeric_limits<float>::infinity();

// Values a host should never send an input, and a few it may: each replaces one input's signal.
const float kExtremeInputs[] = {0.0f,  -1.0f, 5.0f,      150.0f,    -999.0f,
                                1e30f, kNaN,  kInfinity, -kInfinity};

// One way of driving a module: its controls (set by events and handled before the blocks under
// test) and its inputs (moving, with one of them held at a value of its own).
struct Drive {
  std::vector<std::pair<int32_t, int32_t>> controls;  // pin, value
  int32_t held_input = -1;                            // a pin, or -1 for none
  float held_value = 0.0f;
  std::string Describe() const {
    std::string text;
    for (const auto& control : controls) {
      text += "pin " + std::to_string(control.first) + "=" + std::to_string(control.second) + " ";
    }
    if (held_input >= 0) {
      text += "input " + std::to_string(held_input) + " at " + std::to_string(held_value);
    }
    return text.empty() ? "moving inputs" : text;
  }
};

// Every drive of a module: each control at each of its values, and each input at each extreme
// value, the rest moving.
std::vector<Drive> Drives(const PinRoles& roles) {
  std::vector<Drive> drives = {Drive()};
  for (const ControlPin& control : roles.controls) {
    for (int32_t value = 0; value < control.value_count; ++value) {
      Drive drive;
      drive.controls = {{control.index, value}};
      drives.push_back(drive);
    }
    // And far outside the list.
    for (int32_t value : {-1, 32767, -32768}) {
      Drive drive;
      drive.controls = {{control.index, value}};
      drives.push_back(drive);
    }
  }
  for (int32_t input : roles.inputs) {
    for (float value : kExtremeInputs) {
      Drive drive;
      drive.held_input = input;
      drive.held_value = value;
      drives.push_back(drive);
    }
  }
  return drives;
}

// The controls go in as events and are handled by a first block; the inputs fill every buffer.
void Prepare(se_test::TestHost& host, const PinRoles& roles, const Drive& drive) {
  for (const auto& control : drive.controls) host.SetPinAt(control.first, control.second, 0);
  InputMotion motion(roles, 5, 0.01);
  motion.Fill(roles, host, kMaxBlock);
  if (drive.held_input >= 0) host.Fill(drive.held_input, drive.held_value);
  host.Render(16);
  ASSERT_EQ(host.core().QueueEmpty(), 1);
}

// Block lengths a host uses, and a few it should not.
void RenderBlocks(se_test::TestHost& host) {
  for (int32_t frames : {1, 7, 64, 256, 1000, 1024, 3, 512}) host.Render(frames);
}

void ExpectRealTimeSafe(se_test::TestHost& host, const std::string& what) {
  SCOPED_TRACE(what);
  realtime_guard::Start();
  RenderBlocks(host);
  const realtime_guard::Counts counts = realtime_guard::Stop();
  EXPECT_EQ(counts.allocations, 0u);
  EXPECT_EQ(counts.frees, 0u);
  EXPECT_EQ(counts.locks, 0u);

  const realtime_guard::SyscallVerdict verdict =
      realtime_guard::RunWithoutSystemCalls([&] { RenderBlocks(host); });
  if (!verdict.filter_installed) {
    ADD_FAILURE() << "the kernel refused the seccomp filter; system calls were not checked";
    return;
  }
  EXPECT_EQ(verdict.first_syscall, -1) << "system call number " << verdict.first_syscall;
  EXPECT_TRUE(verdict.completed) << "child status " << verdict.exit_status;
}

// A pin to send events to: the first control, or else the first pin.
int32_t EventPin(const PinRoles& roles) {
  return roles.controls.empty() ? 0 : roles.controls.front().index;
}

TEST(RealTimeTest, TheCountersSeeThePlugInsAllocationsAndThisProgramsLocks) {
  // Without this, a count of 0 below could mean the stand-ins are not in the plug-in's way.
  const se_test::RegisteredModule& module = se_test::RegisteredModules().front();
  se_test::TestHost host(se_test::LoadLibrary(module.library));
  host.Start(44100.0f, 0, kMaxBlock);
  const PinRoles roles(host.pins());
  realtime_guard::Start();
  host.SetPinAt(EventPin(roles), 1, 5);  // the frame copies the event into a new node
  std::mutex mutex;
  mutex.lock();
  mutex.unlock();
  realtime_guard::Counts counts = realtime_guard::Stop();
  EXPECT_GE(counts.allocations, 1u) << module.name;
  EXPECT_GE(counts.locks, 1u);

  // And the seccomp child catches a system call.
  const realtime_guard::SyscallVerdict verdict =
      realtime_guard::RunWithoutSystemCalls([] { (void)getpid(); });
  ASSERT_TRUE(verdict.filter_installed);
  EXPECT_FALSE(verdict.completed);
  EXPECT_GE(verdict.first_syscall, 0);
}

class EveryModuleTest : public testing::TestWithParam<se_test::RegisteredModule> {};

TEST_P(EveryModuleTest, RendersWithoutAllocatingLockingOrSystemCalls) {
  const std::vector<Drive> drives =
      Drives(PinRoles(se_test::TestHost(se_test::LoadLibrary(GetParam().library)).pins()));
  for (float sample_rate : {44100.0f, 0.0f, -48000.0f, kNaN, 1e30f}) {
    for (const Drive& drive : drives) {
      se_test::TestHost host(se_test::LoadLibrary(GetParam().library));
      host.core().set_recording(false);
      host.Start(sample_rate, 0, kMaxBlock);
      const PinRoles roles(host.pins());
      Prepare(host, roles, drive);
      ExpectRealTimeSafe(host, "at " + std::to_string(sample_rate) + " Hz, " + drive.Describe());
    }
  }
}

TEST_P(EveryModuleTest, QueuedEventsReuseTheirNodes) {
  se_test::TestHost host(se_test::LoadLibrary(GetParam().library));
  // The host's own log of requests must not be what allocates.
  host.core().set_recording(false);
  host.Start(44100.0f, 0, kMaxBlock);
  const PinRoles roles(host.pins());
  InputMotion motion(roles, 9, 0.01);
  motion.Fill(roles, host, kMaxBlock);
  host.Render(64);
  const int events = 10;
  const auto queue_events = [&] {
    for (int event = 0; event < events; ++event) {
      host.SetPinAt(EventPin(roles), event % 2, static_cast<uint32_t>(event * 50));
    }
  };
  queue_events();  // the first events of a module allocate their nodes

  // Handling them frees nothing, and the events queued next take their nodes back.
  for (int round = 0; round < 3; ++round) {
    realtime_guard::Start();
    host.Render(kMaxBlock);
    queue_events();
    const realtime_guard::Counts counts = realtime_guard::Stop();
    EXPECT_EQ(counts.allocations, 0u) << "round " << round;
    EXPECT_EQ(counts.frees, 0u) << "round " << round;
    EXPECT_EQ(counts.locks, 0u) << "round " << round;
  }

  const realtime_guard::SyscallVerdict verdict =
      realtime_guard::RunWithoutSystemCalls([&] { host.Render(kMaxBlock); });
  EXPECT_EQ(verdict.first_syscall, -1) << "system call number " << verdict.first_syscall;
  EXPECT_TRUE(verdict.completed);
  host.Render(kMaxBlock);
  EXPECT_EQ(host.core().QueueEmpty(), 1);
}

// Bursts of events, as a host sends them when a patch loads or a sequencer jumps: many on one
// sample, one on every sample of a block, and more at once than the frame keeps spare nodes for
// (256). Handling them takes no lock and makes no system call; the heap is touched only for the
// nodes beyond the spare ones: a burst of N > 256 events allocates N - 256 nodes when it is
// queued and frees as many when it is handled, so the frame holds 256 spare nodes whatever came
// before, and nothing at all for a burst that the spare nodes hold.
TEST_P(EveryModuleTest, BurstsOfEventsCostTheHeapOnlyBeyondTheSpareNodes) {
  constexpr uint64_t kSpareNodes = 256;
  struct Burst {
    const char* what;
    uint32_t events;
    uint32_t per_sample;
  };
  const Burst bursts[] = {
      {"many on one sample", 200, 200},
      {"one on every sample of a block", static_cast<uint32_t>(kMaxBlock), 1},
      {"more than the spare nodes, eight a sample", 1000, 8},
      {"one fewer than the spare nodes", kSpareNodes - 1, 3},
      {"as many as the spare nodes", kSpareNodes, 3},
      {"one more than the spare nodes", kSpareNodes + 1, 3},
  };
  for (const Burst& burst : bursts) {
    SCOPED_TRACE(burst.what);
    se_test::TestHost host(se_test::LoadLibrary(GetParam().library));
    host.core().set_recording(false);
    host.Start(44100.0f, 0, kMaxBlock);
    const PinRoles roles(host.pins());
    InputMotion motion(roles, 4, 0.01);
    motion.Fill(roles, host, kMaxBlock);
    const int32_t pin = EventPin(roles);
    const auto queue_burst = [&] {
      for (uint32_t event = 0; event < burst.events; ++event) {
        host.SetPinAt(pin, static_cast<int32_t>(event % 2), event / burst.per_sample);
      }
    };
    // Every event of a burst falls within one block.
    ASSERT_LE((burst.events - 1) / burst.per_sample, static_cast<uint32_t>(kMaxBlock - 1));
    queue_burst();  // the first burst allocates every node
    host.Render(kMaxBlock);

    const uint64_t beyond_spare = burst.events > kSpareNodes ? burst.events - kSpareNodes : 0;
    for (int round = 0; round < 2; ++round) {
      realtime_guard::Start();
      queue_burst();
      const realtime_guard::Counts queued = realtime_guard::Stop();
      EXPECT_EQ(queued.allocations, beyond_spare) << "queuing, round " << round;
      EXPECT_EQ(queued.frees, 0u) << "queuing, round " << round;

      realtime_guard::Start();
      host.Render(kMaxBlock);
      const realtime_guard::Counts handled = realtime_guard::Stop();
      EXPECT_EQ(handled.allocations, 0u) << "handling, round " << round;
      EXPECT_EQ(handled.frees, beyond_spare) << "handling, round " << round;
      EXPECT_EQ(handled.locks + queued.locks, 0u) << "round " << round;
      ASSERT_EQ(host.core().QueueEmpty(), 1);
    }

    queue_burst();
    const realtime_guard::SyscallVerdict verdict =
        realtime_guard::RunWithoutSystemCalls([&] { host.Render(kMaxBlock); });
    EXPECT_EQ(verdict.first_syscall, -1) << "system call number " << verdict.first_syscall;
    EXPECT_TRUE(verdict.completed) << "child status " << verdict.exit_status;
  }
}

// A closed module gives back every byte it took: its pin table, the nodes of the events still
// queued and its spare nodes, after bursts of any size.
TEST_P(EveryModuleTest, ClosingGivesBackEveryByte) {
  const auto library = se_test::LoadLibrary(GetParam().library);
  const auto use_and_close = [&] {
    se_test::TestHost host(library);
    host.core().set_recording(false);
    host.Start(44100.0f, 0, kMaxBlock);
    const PinRoles roles(host.pins());
    for (uint32_t event = 0; event < 1000; ++event) {
      host.SetPinAt(EventPin(roles), static_cast<int32_t>(event % 2), event / 8);
    }
    host.Render(kMaxBlock);
    for (uint32_t event = 0; event < 50; ++event) {
      host.SetPinAt(EventPin(roles), 1, 100000 + event);  // still queued at the close
    }
    host.Render(kMaxBlock);
  };
  use_and_close();  // whatever the first use of anything allocates for good
  const uint64_t before = realtime_guard::LiveHeapBytes();
  use_and_close();
  EXPECT_EQ(realtime_guard::LiveHeapBytes(), before);
}

INSTANTIATE_TEST_SUITE_P(EveryModule, EveryModuleTest,
                         testing::ValuesIn(se_test::RegisteredModules()), ModuleName);

}  // namespace
}  // namespace reliability
