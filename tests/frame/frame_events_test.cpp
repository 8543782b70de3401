// How the frame cuts blocks at queued events, and what it does when a host breaks its contract.
#include <string>
#include <vector>

#include "tests/frame/allocation_count.h"
#include "tests/frame/frame_fixture.h"

namespace {

using SpanTest = OpenedModuleTest;

TEST_F(SpanTest, BlockWithoutEventsIsOneSpan) {
  Process(0, 64);
  ASSERT_EQ(module()->m_span_count, 1);
  ExpectSpan(0, 0, 64, kStartClock);
  EXPECT_EQ(clock(), kStartClock + 64);
}

TEST_F(SpanTest, EventInsideTheBlockCutsItAtItsSample) {
  PinUpdate(record_, kStartClock + 10, 2, 0, 1);
  Process(0, 64);
  ASSERT_EQ(module()->m_span_count, 2);
  ExpectSpan(0, 0, 10, kStartClock);
  ExpectSpan(1, 10, 54, kStartClock + 10);
  ASSERT_EQ(module()->m_notice_count, 1);
  EXPECT_EQ(module()->m_notices[0].clock, kStartClock + 10);
  EXPECT_EQ(clock(), kStartClock + 64);
  // The output shows the change at exactly that sample, and nothing outside the block is touched.
  EXPECT_EQ(out_[9], 9.0f);
  EXPECT_EQ(out_[10], 110.0f);
  EXPECT_TRUE(std::isnan(out_[64]));
}

TEST_F(SpanTest, SpansStartAtTheBufferOffset) {
  PinUpdate(record_, kStartClock + 3, 2, 0, 1);
  Process(100, 10);
  ExpectSpan(0, 100, 3, kStartClock);
  ExpectSpan(1, 103, 7, kStartClock + 3);
  EXPECT_TRUE(std::isnan(out_[99]));
  EXPECT_EQ(out_[102], 102.0f);
  EXPECT_EQ(out_[103], 203.0f);
  EXPECT_TRUE(std::isnan(out_[110]));
}

TEST_F(SpanTest, EventOnTheFirstSampleIsHandledBeforeRendering) {
  PinUpdate(record_, kStartClock, 2, 0, 2);
  Process(0, 16);
  ASSERT_EQ(module()->m_span_count, 1);
  ExpectSpan(0, 0, 16, kStartClock);
  EXPECT_EQ(out_[0], 200.0f);
}

TEST_F(SpanTest, EqualTimeStampsKeepTheirOrderWithNothingBetween) {
  PinUpdate(record_, kStartClock + 5, 2, 0, 1);
  PinUpdate(record_, kStartClock + 9, 0, 7, 0);
  PinUpdate(record_, kStartClock + 5, 2, 0, 3);
  PinUpdate(record_, kStartClock + 5, 0, 4, 0);
  Process(0, 32);
  ASSERT_EQ(module()->m_span_count, 3);
  ExpectSpan(1, 5, 4, kStartClock + 5);
  ASSERT_EQ(module()->m_notice_count, 4);
  EXPECT_EQ(module()->m_notices[0].pin_index, 2);
  EXPECT_EQ(module()->m_notices[1].pin_index, 2);
  EXPECT_EQ(module()->m_notices[2].status, 4);
  EXPECT_EQ(module()->m_notices[3].status, 7);
  EXPECT_EQ(module()->m_mode, 3);
}

TEST_F(SpanTest, EventAtTheBlockEndWaitsForTheNextBlock) {
  PinUpdate(record_, kStartClock + 64, 2, 0, 1);
  Process(0, 64);
  EXPECT_EQ(module()->m_notice_count, 0);
  EXPECT_EQ(Call(record_, ModuleOpcode::QueueEmpty), 0);
  Process(64, 64);
  ASSERT_EQ(module()->m_notice_count, 1);
  EXPECT_EQ(module()->m_notices[0].clock, kStartClock + 64);
  ExpectSpan(1, 64, 64, kStartClock + 64);
  EXPECT_EQ(out_[64], 164.0f);
  EXPECT_EQ(Call(record_, ModuleOpcode::QueueEmpty), 1);
}

TEST_F(SpanTest, FarEventWaitsThroughAnyNumberOfBlocks) {
  PinUpdate(record_, kStartClock + 100000, 2, 0, 1);
  for (int block = 0; block < 100; ++block) Process(0, 256);
  EXPECT_EQ(module()->m_notice_count, 0);
  EXPECT_EQ(module()->m_span_count, 64);  // the record is full; every block was one span
  EXPECT_EQ(Call(record_, ModuleOpcode::QueueEmpty), 0);
}

TEST_F(SpanTest, ResumeLiftsStaleEventsAndKeepsTheirOrder) {
  PinUpdate(record_, kStartClock + 10, 0, 5, 0);
  PinUpdate(record_, kStartClock + 20, 0, 6, 0);
  PinUpdate(record_, kStartClock + 500, 0, 8, 0);
  PinUpdate(record_, kStartClock + 300, 0, 7, 0);
  host_->core().set_sample_clock(kStartClock + 300);
  Call(record_, ModuleOpcode::Resume);
  EXPECT_EQ(clock(), kStartClock + 300);
  Process(0, 256);
  ASSERT_EQ(module()->m_notice_count, 4);
  for (int notice = 0; notice < 3; ++notice) {
    EXPECT_EQ(module()->m_notices[notice].status, 5 + notice);
    EXPECT_EQ(module()->m_notices[notice].clock, kStartClock + 300);
  }
  EXPECT_EQ(module()->m_notices[3].status, 8);
  EXPECT_EQ(module()->m_notices[3].clock, kStartClock + 500);
}

TEST_F(SpanTest, UnknownEventTypesAreRemovedWithoutEffect) {
  QueueEvent(record_, kStartClock + 2, static_cast<SeEventType>(1), 1, 1, 2);
  QueueEvent(record_, kStartClock + 4, static_cast<SeEventType>(4), 1, 1, 2);
  QueueEvent(record_, kStartClock + 4, static_cast<SeEventType>(-9), 1, 1, 2);
  Process(0, 8);
  EXPECT_EQ(Call(record_, ModuleOpcode::QueueEmpty), 1);
  EXPECT_EQ(module()->m_notice_count, 0);
  EXPECT_EQ(module()->m_mode, 0);
  EXPECT_EQ(module()->m_span_count, 3);
}

TEST_F(SpanTest, DataEventPassesItsThreeValues) {
  QueueEvent(record_, kStartClock + 1, SeEventType::DataEvent, -3, 0x18000, 0);
  Process(0, 4);
  ASSERT_EQ(module()->m_data_event_count, 1);
  EXPECT_EQ(module()->m_data_events[0][0], kStartClock + 1);
  EXPECT_EQ(static_cast<int32_t>(module()->m_data_events[0][1]), -3);
  EXPECT_EQ(static_cast<int32_t>(module()->m_data_events[0][2]), -32768);
}

TEST_F(SpanTest, RendererSwitchedByAPinChangeRendersTheRestOfTheBlock) {
  module()->m_switch_on_pin_change = true;
  PinUpdate(record_, kStartClock + 6, 2, 0, 0);
  Process(0, 16);
  ExpectSpan(0, 0, 6, kStartClock, 0);
  ExpectSpan(1, 6, 10, kStartClock + 6, 1);
  EXPECT_EQ(out_[6], 1006.0f);
}

#if !SE_FRAME_CHECKED
TEST_F(SpanTest, DeferredCallRunsAtItsSample) {
  module()->ScheduleCall(kStartClock + 7, &FrameTestModule::CountDeferredCall);
  EXPECT_EQ(Call(record_, ModuleOpcode::QueueEmpty), 0);
  Process(0, 16);
  EXPECT_EQ(module()->m_deferred_calls, 1);
  EXPECT_EQ(module()->m_deferred_clock, kStartClock + 7);
  EXPECT_EQ(Call(record_, ModuleOpcode::QueueEmpty), 1);
  // One still queued when the module is destroyed is released with it (checked by the leak
  // checker in the sanitizer build).
  module()->ScheduleCall(kStartClock + 1000, &FrameTestModule::CountDeferredCall);
}
#endif

TEST_F(SpanTest, EventsAreHandledAtTheirOwnSampleAcrossTheClockWrap) {
  host_->core().set_sample_clock(0xFFFFFFF6u);  // ten samples before the wrap
  Open();
  PinUpdate(record_, 2, 2, 0, 2);            // after the wrap
  PinUpdate(record_, 0xFFFFFFFDu, 2, 0, 1);  // before it
  Process(0, 64);
  ASSERT_EQ(module()->m_span_count, 3);
  ExpectSpan(0, 0, 7, 0xFFFFFFF6u);
  ExpectSpan(1, 7, 5, 0xFFFFFFFDu);
  ExpectSpan(2, 12, 52, 2);
  EXPECT_EQ(clock(), 54u);
  EXPECT_EQ(out_[11], 111.0f);
  EXPECT_EQ(out_[12], 212.0f);
}

// ---- A host that breaks its contract ---------------------------------------------------------

class ContractTest : public OpenedModuleTest {
 protected:
  void SetUp() override {
    sink_ = &reports_;
    SetFailureReporter([](const char* condition, const char* source_file) {
      sink_->push_back(std::string(source_file) + ": " + condition);
    });
    OpenedModuleTest::SetUp();
  }
  void TearDown() override {
    OpenedModuleTest::TearDown();
    SetFailureReporter(nullptr);
  }
  // What the checked build reports; the lean build reports nothing.
  void ExpectReports(const std::vector<std::string>& checked_reports) {
#if SE_FRAME_CHECKED
    EXPECT_EQ(reports_, checked_reports);
#else
    (void)checked_reports;
    EXPECT_TRUE(reports_.empty());
#endif
  }

  static inline std::vector<std::string>* sink_ = nullptr;
  std::vector<std::string> reports_;
};

TEST_F(ContractTest, EmptyOrNegativeBlockRendersNothingAndKeepsClockAndQueue) {
  PinUpdate(record_, kStartClock, 2, 0, 1);
  Process(0, 0);
  Process(0, -5);
  Process(0, INT32_MIN);
  EXPECT_EQ(module()->m_span_count, 0);
  EXPECT_EQ(clock(), kStartClock);
  EXPECT_EQ(Call(record_, ModuleOpcode::QueueEmpty), 0);
  EXPECT_TRUE(std::isnan(out_[0]));
  ExpectReports({"se_sdk/SEModule_base.cpp: sampleFrames > 0",
                 "se_sdk/SEModule_base.cpp: sampleFrames > 0",
                 "se_sdk/SEModule_base.cpp: sampleFrames > 0"});
}

TEST_F(ContractTest, StaleEventIsHandledAtTheNextBlocksFirstSample) {
  Process(0, 32);
  PinUpdate(record_, kStartClock + 5, 2, 0, 1);
  PinUpdate(record_, kStartClock + 40, 2, 0, 2);
  Process(32, 32);
  ASSERT_EQ(module()->m_notice_count, 2);
  EXPECT_EQ(module()->m_notices[0].clock, kStartClock + 32);
  EXPECT_EQ(module()->m_notices[1].clock, kStartClock + 40);
  ExpectSpan(1, 32, 8, kStartClock + 32);
  EXPECT_EQ(out_[32], 132.0f);
  ExpectReports({"se_sdk/SEModule_base.cpp: p_event->time_stamp >= SampleClock()"});
}

TEST_F(ContractTest, EventForAPinThatDoesNotExistIsDropped) {
  PinUpdate(record_, kStartClock + 1, 3, 0, 1);
  PinUpdate(record_, kStartClock + 1, -1, 0, 1);
  PinUpdate(record_, kStartClock + 1, 0x7FFFFFFF, 0, 1);
  Process(0, 8);
  EXPECT_EQ(module()->m_notice_count, 0);
  EXPECT_EQ(Call(record_, ModuleOpcode::QueueEmpty), 1);
  EXPECT_EQ(clock(), kStartClock + 8);
}

TEST_F(ContractTest, DeferredCallFromTheHostIsRefused) {
  // The frame would otherwise call through whatever this pointer holds.
  QueueEvent(record_, kStartClock + 1, SeEventType::DeferredCall, 0, 0, 0x12345678);
  EXPECT_EQ(Call(record_, ModuleOpcode::QueueEmpty), 1);
  Process(0, 8);
  EXPECT_EQ(module()->m_span_count, 1);
}

TEST_F(ContractTest, QueuedEventsDieWithTheModule) {
  for (int event = 0; event < 20; ++event) PinUpdate(record_, kStartClock + 50 * event, 2, 0, 1);
  EXPECT_EQ(Call(record_, ModuleOpcode::Close), 1);
  record_ = nullptr;  // released; the sanitizer build would report a leak
}

// ---- Module code that throws ------------------------------------------------------------------

// The frame's entries catch what the module throws; what the host sees afterwards must still be
// consistent. (Queue nodes and deferred calls lost on the way would show as leaks in the
// sanitizer build.)
using ThrowingModuleTest = ContractTest;

TEST_F(ThrowingModuleTest, BlockThatAHandlerEndsLeavesTheClockAtItsEnd) {
  module()->m_pin_changes_that_throw = 1;
  PinUpdate(record_, kStartClock + 10, 2, 0, 1);
  PinUpdate(record_, kStartClock + 20, 2, 0, 2);
  Process(0, 64);
  ASSERT_EQ(module()->m_span_count, 1);  // [0, 10), then the handler threw
  EXPECT_TRUE(std::isnan(out_[10]));
  EXPECT_EQ(clock(), kStartClock + 64);
  // The event that fell in the rest of the block is handled at the next block's first sample.
  Process(64, 64);
  ASSERT_EQ(module()->m_notice_count, 2);
  EXPECT_EQ(module()->m_notices[1].clock, kStartClock + 64);
  ExpectSpan(1, 64, 64, kStartClock + 64);
  EXPECT_EQ(out_[64], 264.0f);
  EXPECT_EQ(Call(record_, ModuleOpcode::QueueEmpty), 1);
  ExpectReports({});
}

// The node of an event whose handler throws goes back to the spare nodes like any other, and the
// next event takes it instead of a new one.
TEST_F(ThrowingModuleTest, AHandlerThatThrowsLosesNoNode) {
  if (!frame_test::AllocationsCounted()) GTEST_SKIP() << "the sanitizer's allocator counts";
  module()->m_pin_changes_that_throw = 1;
  PinUpdate(record_, kStartClock + 10, 2, 0, 1);
  const int64_t live = frame_test::LiveAllocations();
  Process(0, 64);
  PinUpdate(record_, kStartClock + 100, 2, 0, 2);
  EXPECT_EQ(frame_test::LiveAllocations(), live);
  ExpectReports({});
}

#if !SE_FRAME_CHECKED
TEST_F(ThrowingModuleTest, DeferredCallThatThrowsIsReleased) {
  module()->ScheduleCall(kStartClock + 3, &FrameTestModule::ThrowingDeferredCall);
  Process(0, 16);
  EXPECT_EQ(module()->m_deferred_calls, 1);
  EXPECT_EQ(clock(), kStartClock + 16);
  EXPECT_EQ(Call(record_, ModuleOpcode::QueueEmpty), 1);
}
#endif

TEST_F(ThrowingModuleTest, CloseThatThrowsStillDestroysTheModule) {
  const int live = FrameTestModule::live_modules;
  module()->m_close_throws = true;
  EXPECT_EQ(Call(record_, ModuleOpcode::Close), 1);
  EXPECT_EQ(FrameTestModule::live_modules, live - 1);
  record_ = nullptr;
}

}  // namespace
