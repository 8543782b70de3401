// Every comparison of the frame that decides a path, at its boundary and one step to either side:
// a fault there (a > for a >=, a bound off by one) shows only on those three values, which
// ordinary traffic rarely hits. Each row names the comparison and what the three values give.
#include <functional>
#include <string>

#include "tests/frame/frame_fixture.h"

namespace {

// What HandledAt answers for an event still queued after the block.
constexpr int64_t kWaits = -1;

class FrameEdgeTest : public OpenedModuleTest {
 public:
  // For the rows of the table below.
  using OpenedModuleTest::clock;
  using OpenedModuleTest::host_;
  using OpenedModuleTest::module;
  using OpenedModuleTest::Open;
  using OpenedModuleTest::Process;
  using OpenedModuleTest::record_;

  void SetUp() override {
    // A stale event is a contract breach that the checked frame reports; the reports are tested
    // in frame_events_test.cpp, here they would only be noise.
    SetFailureReporter([](const char*, const char*) {});
    OpenedModuleTest::SetUp();
  }
  void TearDown() override {
    OpenedModuleTest::TearDown();
    SetFailureReporter(nullptr);
  }

  // A new module opened with its clock at `clock`, the host reporting `pin_count` pins.
  void Fresh(uint32_t clock, int32_t pin_count = 0) {
    host_ = std::make_unique<se_test::TestHost>(se_test::InProcessEntry<FrameTestModule>);
    host_->core().set_sample_clock(clock);
    host_->core().set_pin_count(pin_count);
    record_ = host_->record();
    Open();
  }

  // Queues a pin update stamped `stamp` on a module whose clock is `start`, renders one block of
  // `block` samples, and answers the sample of the block at which the update was handled.
  int64_t HandledAt(uint32_t start, uint32_t stamp, int32_t block) {
    Fresh(start);
    PinUpdate(record_, stamp, 2, 0, 1);
    Process(0, block);
    if (module()->m_notice_count == 0) return kWaits;
    return module()->m_notices[0].clock - start;
  }
};

struct Edge {
  const char* comparison;
  int64_t boundary;
  // What the frame does with the value boundary - 1, boundary or boundary + 1.
  std::function<int64_t(FrameEdgeTest&, int64_t value)> observe;
  int64_t below;
  int64_t at;
  int64_t above;
};

constexpr uint32_t kClock = 1000;
constexpr int64_t kHalfRange = int64_t{1} << 31;

TEST_F(FrameEdgeTest, EveryComparisonThatDecidesAPathAtAndAroundItsBoundary) {
  const uint32_t before_wrap = 0xFFFFFFE0u;  // 32 samples before the clock passes 2^32
  const Edge edges[] = {
      {"an event 2^31 or more samples ahead is behind the clock: handled at once", kHalfRange,
       [](FrameEdgeTest& test, int64_t ahead) {
         return test.HandledAt(kClock, kClock + static_cast<uint32_t>(ahead), 64);
       },
       kWaits, 0, 0},
      {"the same window with the clock 32 samples before its wrap", kHalfRange,
       [&](FrameEdgeTest& test, int64_t ahead) {
         return test.HandledAt(before_wrap, before_wrap + static_cast<uint32_t>(ahead), 64);
       },
       kWaits, 0, 0},
      {"an event one sample behind the clock (2^32 - 1 ahead) is behind it", 0,
       [](FrameEdgeTest& test, int64_t ahead) {
         return test.HandledAt(kClock, kClock + static_cast<uint32_t>(ahead), 64);
       },
       0, 0, 1},
      {"an event due at the block's end waits for the next block", 64,
       [](FrameEdgeTest& test, int64_t ahead) {
         return test.HandledAt(kClock, kClock + static_cast<uint32_t>(ahead), 64);
       },
       63, kWaits, kWaits},
      {"the block's end where the block spans the clock's wrap", 64,
       [&](FrameEdgeTest& test, int64_t ahead) {
         return test.HandledAt(before_wrap, before_wrap + static_cast<uint32_t>(ahead), 64);
       },
       63, kWaits, kWaits},
      {"a one-sample block: only an event at its sample is due in it", 1,
       [](FrameEdgeTest& test, int64_t ahead) {
         return test.HandledAt(kClock, kClock + static_cast<uint32_t>(ahead), 1);
       },
       0, kWaits, kWaits},
      {"spans rendered: none before an event at the first sample, one before a later one", 0,
       [](FrameEdgeTest& test, int64_t ahead) {
         test.HandledAt(kClock, kClock + static_cast<uint32_t>(ahead), 64);
         return static_cast<int64_t>(test.module()->m_span_count);
       },
       1, 1, 2},
      {"resume: events behind the new clock move up to it, later ones keep their sample", 1500,
       [](FrameEdgeTest& test, int64_t stamp) {
         test.Fresh(kClock);
         PinUpdate(test.record_, static_cast<uint32_t>(stamp), 2, 0, 1);
         test.host_->core().set_sample_clock(1500);
         Call(test.record_, ModuleOpcode::Resume);
         test.Process(0, 64);
         if (test.module()->m_notice_count == 0) return kWaits;
         return static_cast<int64_t>(test.module()->m_notices[0].clock - 1500);
       },
       0, 0, 1},
      {"a re-open at a later clock: an event left behind is handled at the first sample", 1500,
       [](FrameEdgeTest& test, int64_t reopened_clock) {
         test.Fresh(kClock);
         PinUpdate(test.record_, 1500, 2, 0, 1);
         test.host_->core().set_sample_clock(static_cast<uint32_t>(reopened_clock));
         test.Open();
         test.Process(0, 64);
         if (test.module()->m_notice_count == 0) return kWaits;
         return static_cast<int64_t>(test.module()->m_notices[0].clock -
                                     static_cast<uint32_t>(reopened_clock));
       },
       1, 0, 0},
      {"equal stamps keep the order they were queued in", kClock + 10,
       [](FrameEdgeTest& test, int64_t second_stamp) {
         test.Fresh(kClock);
         PinUpdate(test.record_, kClock + 10, 2, 1, 0);
         PinUpdate(test.record_, static_cast<uint32_t>(second_stamp), 2, 2, 0);
         test.Process(0, 64);
         return static_cast<int64_t>(test.module()->m_notices[0].status);
       },
       2, 1, 1},
      {"a pin update reaches pins 0 to PinCount() - 1 only (the last one)", 3,
       [](FrameEdgeTest& test, int64_t pin) {
         test.Fresh(kClock);
         PinUpdate(test.record_, kClock, static_cast<int32_t>(pin), 0, 1);
         test.Process(0, 8);
         return static_cast<int64_t>(test.module()->m_notice_count);
       },
       1, 0, 0},
      {"a pin update reaches pins 0 to PinCount() - 1 only (the first one)", 0,
       [](FrameEdgeTest& test, int64_t pin) {
         test.Fresh(kClock);
         PinUpdate(test.record_, kClock, static_cast<int32_t>(pin), 0, 1);
         test.Process(0, 8);
         return static_cast<int64_t>(test.module()->m_notice_count);
       },
       0, 1, 1},
      {"a block of 1 sample or more is rendered, and moves the clock", 1,
       [](FrameEdgeTest& test, int64_t frames) {
         test.Fresh(kClock);
         test.Process(0, static_cast<int32_t>(frames));
         return static_cast<int64_t>(test.clock() - kClock) * 100 + test.module()->m_span_count;
       },
       0, 101, 201},
      {"a host pin count above the module's three pins adds pins", 3,
       [](FrameEdgeTest& test, int64_t count) {
         test.Fresh(kClock, static_cast<int32_t>(count));
         return static_cast<int64_t>(test.module()->PinCount());
       },
       3, 3, 4},
      {"a host pin count is honoured up to 2^16 pins", 1 << 16,
       [](FrameEdgeTest& test, int64_t count) {
         test.Fresh(kClock, static_cast<int32_t>(count));
         return static_cast<int64_t>(test.module()->PinCount());
       },
       (1 << 16) - 1, 1 << 16, 1 << 16},
  };
  for (const Edge& edge : edges) {
    SCOPED_TRACE(edge.comparison);
    const int64_t expected[] = {edge.below, edge.at, edge.above};
    for (int step = -1; step <= 1; ++step) {
      const int64_t value = edge.boundary + step;
      EXPECT_EQ(edge.observe(*this, value), expected[step + 1]) << "at " << value;
    }
  }
}

}  // namespace
