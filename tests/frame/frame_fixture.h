// An opened test module with its audio pins bound to buffers, driven through its record.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "se_sdk/se_entry.h"
#include "tests/frame/recording_host.h"
#include "tests/frame/test_module.h"

class OpenedModuleTest : public ::testing::Test {
 protected:
  static constexpr int kBufferLength = 256;

  void SetUp() override {
    RecordingHost::Reset();
    RecordingHost::sample_clock = kStartClock;
    record_ = SeCreateModule<FrameTestModule>(&RecordingHost::Callback);
    ASSERT_NE(record_, nullptr);
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
    record_->process(record_, buffer_offset, sampleFrames);
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
  ModuleRecord* record_ = nullptr;
  float in_[kBufferLength];
  float out_[kBufferLength];
};
