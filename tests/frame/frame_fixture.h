// An opened test module with its audio pins bound to buffers, driven through its record by the
// test host.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "tests/frame/test_module.h"
#include "tests/support/in_process.h"
#include "tests/support/record_calls.h"
#include "tests/support/test_host.h"

using se_test::Call;
using se_test::PinUpdate;
using se_test::QueueEvent;

class OpenedModuleTest : public ::testing::Test {
 protected:
  static constexpr int kBufferLength = 256;

  void SetUp() override {
    host_ = std::make_unique<se_test::TestHost>(se_test::InProcessEntry<FrameTestModule>);
    host_->core().set_sample_clock(kStartClock);
    record_ = host_->record();
    Open();
  }
  void TearDown() override {
    if (record_ != nullptr) Call(record_, ModuleOpcode::Close);
  }

  // Opens (or re-opens) the module and binds In and Out the way a host does: through the
  // variable addresses that the pin descriptions give, with buffers of the block size announced.
  void Open() {
    Call(record_, ModuleOpcode::SetBlockSize, 0, kBufferLength);
    Call(record_, ModuleOpcode::Open);
    for (int i = 0; i < kBufferLength; ++i) {
      in_[i] = static_cast<float>(i);
      out_[i] = std::nanf("");
    }
    PinDescription description = {};
    ASSERT_EQ(Call(record_, ModuleOpcode::GetPinProperties, 0, 0, &description), 1);
    *static_cast<float**>(description.variable_address) = in_;
    ASSERT_EQ(Call(record_, ModuleOpcode::GetPinProperties, 1, 0, &description), 1);
    *static_cast<float**>(description.variable_address) = out_;
  }

  void Process(int32_t buffer_offset, int32_t sampleFrames) {
    host_->core().Process(buffer_offset, sampleFrames);
  }

  FrameTestModule* module() {
    return static_cast<FrameTestModule*>(SEModule_base::FromRecord(record_));
  }
  uint32_t clock() { return module()->SampleClock(); }

  void ExpectSpan(int which, int32_t buffer_offset, int32_t sampleFrames, uint32_t at_clock,
                  int renderer = 0) {
    ASSERT_LT(which, module()->m_span_count);
    const SpanRecord& span = module()->m_spans[which];
    EXPECT_EQ(span.buffer_offset, buffer_offset) << "span " << which;
    EXPECT_EQ(span.sampleFrames, sampleFrames) << "span " << which;
    EXPECT_EQ(span.clock, at_clock) << "span " << which;
    EXPECT_EQ(span.renderer, renderer) << "span " << which;
  }

  static constexpr uint32_t kStartClock = 1000;
  std::unique_ptr<se_test::TestHost> host_;
  ModuleRecord* record_ = nullptr;
  float in_[kBufferLength];
  float out_[kBufferLength];
};
