// The pin table the frame builds at open and what a pin update writes, by data type.
#include <vector>

#include "tests/frame/frame_fixture.h"

namespace {

using PinTableTest = OpenedModuleTest;

TEST_F(PinTableTest, TableHasTheModulesOwnPinsWhenTheHostReportsFewer) {
  for (int32_t reported : {0, -7, 2}) {
    host_->core().set_pin_count(reported);
    Open();
    ASSERT_EQ(module()->PinCount(), 3) << "host reported " << reported;
    for (int32_t pin = 0; pin < 3; ++pin) EXPECT_EQ(module()->GetPin(pin)->Index(), pin);
    EXPECT_EQ(module()->GetPin(0)->Variable(), &module()->m_in);
    EXPECT_EQ(module()->GetPin(2)->Datatype(), static_cast<int32_t>(PinDatatype::Enum));
  }
}

TEST_F(PinTableTest, ExtraPinsCopyTheLastDescribedPin) {
  host_->core().set_pin_count(5);
  Open();
  ASSERT_EQ(module()->PinCount(), 5);
  for (int32_t pin = 3; pin < 5; ++pin) {
    SEPin* extra = module()->GetPin(pin);
    EXPECT_EQ(extra->Datatype(), static_cast<int32_t>(PinDatatype::Enum));
    EXPECT_EQ(extra->Variable(), &module()->m_mode_store);
    EXPECT_EQ(extra->Status(), 0);
#if SE_FRAME_CHECKED
    EXPECT_EQ(extra->Index(), 2) << "the checked build reports the last described index";
#else
    EXPECT_EQ(extra->Index(), pin) << "the lean build reports each pin's own position";
#endif
  }
  // An update of an extra pin writes the shared variable.
  PinUpdate(record_, clock(), 4, 0, 2);
  Process(0, 1);
  EXPECT_EQ(module()->m_mode, 2);
}

TEST_F(PinTableTest, ReopeningRebuildsTheTable) {
  host_->core().set_pin_count(6);
  Open();
  EXPECT_EQ(module()->PinCount(), 6);
  host_->core().set_pin_count(0);
  Open();
  EXPECT_EQ(module()->PinCount(), 3);
}

TEST_F(PinTableTest, AbsurdHostPinCountIsNotAllocated) {
  host_->core().set_pin_count(0x7FFFFFFF);
  Open();
  EXPECT_GE(module()->PinCount(), 3);
  EXPECT_LE(module()->PinCount(), 1 << 16);
}

// Each row: the data type of pin 2, the value sent, the bytes of the 8-byte store afterwards.
struct Conversion {
  PinDatatype datatype;
  int32_t value;
  uint64_t expected_store;
};

TEST_F(PinTableTest, UpdatesConvertByDataType) {
  const uint64_t fill = 0x5A5A5A5A5A5A5A5Aull;
  const std::vector<Conversion> conversions = {
      {PinDatatype::Enum, 65537, 0x5A5A5A5A5A5A0001ull},  // low 16 bits, two bytes written
      {PinDatatype::Enum, -2, 0x5A5A5A5A5A5AFFFEull},
      {PinDatatype::Bool, 256, 0x5A5A5A5A5A5A5A01ull},  // non-zero, one byte written
      {PinDatatype::Bool, -1, 0x5A5A5A5A5A5A5A01ull},   // negative is non-zero too
      {PinDatatype::Bool, 0, 0x5A5A5A5A5A5A5A00ull},
      {PinDatatype::Int, -5, 0x5A5A5A5AFFFFFFFBull},
      {PinDatatype::Audio, 77, fill},  // the host owns an audio pin's pointer
      {static_cast<PinDatatype>(7), 77, fill},
      {static_cast<PinDatatype>(2), 77, fill},
  };
  for (const Conversion& conversion : conversions) {
    module()->m_mode_datatype = static_cast<int32_t>(conversion.datatype);
    Open();
    module()->m_mode_store = fill;
    module()->m_notice_count = 0;
    PinUpdate(record_, clock(), 2, 3, conversion.value);
    Process(0, 4);
    EXPECT_EQ(module()->m_mode_store, conversion.expected_store)
        << "data type " << static_cast<int>(conversion.datatype) << " value " << conversion.value;
    ASSERT_EQ(module()->m_notice_count, 1);
    EXPECT_EQ(module()->m_notices[0].status, 3);
    EXPECT_EQ(module()->GetPin(2)->Status(), 3);
  }
}

TEST_F(PinTableTest, IndirectUpdateIsForwardedToTheHostOnce) {
  module()->m_mode_datatype = static_cast<int32_t>(PinDatatype::Indirect);
  Open();
  module()->m_mode_store = 42;
  host_->core().ClearRequests();
  PinUpdate(record_, clock() + 3, 2, 0, 1234);
  Process(0, 8);
  EXPECT_EQ(module()->m_mode_store, 42u);
  ASSERT_EQ(host_->core().requests().size(), 1u);
  const se_host::HostRequest& request = host_->core().requests()[0];
  EXPECT_EQ(request.opcode, static_cast<int32_t>(HostOpcode::ForwardPinValue));
  EXPECT_EQ(request.record, record_);
  EXPECT_EQ(request.index, 2);
  EXPECT_EQ(request.value, 1234);
  EXPECT_EQ(request.ptr, 0u);
  EXPECT_EQ(module()->m_notice_count, 1);
}

TEST_F(PinTableTest, StatusOneLastsOnlyForTheNotification) {
  PinUpdate(record_, clock(), 2, 1, 0);
  PinUpdate(record_, clock() + 1, 0, 2, 0);
  Process(0, 4);
  ASSERT_EQ(module()->m_notice_count, 2);
  EXPECT_EQ(module()->m_notices[0].status, 1);
  EXPECT_EQ(module()->GetPin(2)->Status(), 0);
  EXPECT_EQ(module()->m_notices[1].status, 2);
  EXPECT_EQ(module()->GetPin(0)->Status(), 2);
}

#if !SE_FRAME_CHECKED
// The lean frame's pin requests, which no shipped module calls. A module makes them from inside
// the host's calls, so this one runs the test's requests from its renderer.
class RequestingModule : public FrameTestModule {
 public:
  explicit RequestingModule(HostCallback host) : FrameTestModule(host) {}
  void sub_process(int32_t buffer_offset, int32_t sampleFrames) override {
    if (s_requests) s_requests(this);
    FrameTestModule::sub_process(buffer_offset, sampleFrames);
  }
  static inline void (*s_requests)(RequestingModule*) = nullptr;
};

class LeanPinRequestTest : public OpenedModuleTest {
 protected:
  void SetUp() override {
    host_ = std::make_unique<se_test::TestHost>(se_test::InProcessEntry<RequestingModule>);
    host_->core().set_sample_clock(kStartClock);
    record_ = host_->record();
    Open();
  }
  void TearDown() override {
    RequestingModule::s_requests = nullptr;
    OpenedModuleTest::TearDown();
  }
  // Renders one sample, during which the module runs `requests`; returns what the host saw.
  const std::vector<se_host::HostRequest>& RenderWith(void (*requests)(RequestingModule*)) {
    RequestingModule::s_requests = requests;
    host_->core().ClearRequests();
    host_->core().set_sample_clock(module()->SampleClock());
    Process(0, 1);
    return host_->core().requests();
  }
  static inline float s_value = 0.0f;
  static inline bool s_query = false;
};

TEST_F(LeanPinRequestTest, ValueAtClockReadsOnlyWithinTheBuffer) {
  struct Check {
    int32_t block_size;     // the host's buffers hold this many samples (dispatcher opcode 3)
    uint32_t before_clock;  // how far before the clock the host says the buffer starts
    float expected;         // In holds its sample index; 0 where the frame must not read
  };
  const Check checks[] = {
      {kBufferLength, 1, 1.0f},
      {kBufferLength, 5, 5.0f},
      {kBufferLength, kBufferLength - 1, kBufferLength - 1.0f},
      {kBufferLength, kBufferLength, 0.0f},  // one past the buffer's end
      {kBufferLength, 0xFFFFFFFFu, 0.0f},    // a buffer that starts after the clock
      {kBufferLength, 0x80000000u, 0.0f},
      // Blocks shorter than the test's buffer, whose samples past the block hold their index.
      {100, 99, 99.0f},
      {100, 100, 0.0f},
      {100, 101, 0.0f},
  };
  for (const Check& check : checks) {
    Call(record_, ModuleOpcode::SetBlockSize, 0, check.block_size);
    // The host's answer to GetBufferStartClock (any other request gets the same default).
    host_->core().set_default_reply(
        static_cast<int32_t>(module()->SampleClock() - check.before_clock));
    const auto& requests =
        RenderWith([](RequestingModule* module) { s_value = module->GetPin(0)->ValueAtClock(); });
    EXPECT_EQ(s_value, check.expected)
        << "buffer starting " << check.before_clock << " before, block of " << check.block_size;
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].opcode, static_cast<int32_t>(HostOpcode::GetBufferStartClock));
    EXPECT_EQ(requests[0].index, 0);
  }
  // Only an audio pin's variable holds a buffer; "Mode" holds an item, here all ones.
  host_->core().set_default_reply(static_cast<int32_t>(module()->SampleClock()));
  module()->m_mode_store = ~uint64_t{0};
  RenderWith([](RequestingModule* module) { s_value = module->GetPin(2)->ValueAtClock(); });
  EXPECT_EQ(s_value, 0.0f);
}

TEST_F(LeanPinRequestTest, TransmitValueAndHostQueryReachTheHost) {
  const auto& sent = RenderWith([](RequestingModule* module) {
    EXPECT_EQ(module->GetPin(1)->TransmitValue(4000000000u, -3), 0);
  });
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].opcode, static_cast<int32_t>(HostOpcode::PinRequest4));
  EXPECT_EQ(sent[0].index, 1);
  EXPECT_EQ(sent[0].value, -3);
  EXPECT_EQ(sent[0].ptr, 4000000000u);

  for (int32_t answer : {7, 0}) {
    host_->core().set_default_reply(answer);
    const auto& queried =
        RenderWith([](RequestingModule* module) { s_query = module->GetPin(2)->HostQuery(); });
    EXPECT_EQ(s_query, answer != 0);
    ASSERT_EQ(queried.size(), 1u);
    EXPECT_EQ(queried[0].opcode, static_cast<int32_t>(HostOpcode::QueryPin));
    EXPECT_EQ(queried[0].index, 2);
    EXPECT_EQ(queried[0].value, 0);
    EXPECT_EQ(queried[0].ptr, 0u);
  }
}
#endif

TEST(PinsBeforeOpen, GetPinAnswersAnInertPinThatReachesNobody) {
  std::vector<std::string> reports;
  static std::vector<std::string>* sink;
  sink = &reports;
  SetFailureReporter([](const char* condition, const char* source_file) {
    sink->push_back(std::string(source_file) + ": " + condition);
  });
  se_test::TestHost host(se_test::InProcessEntry<FrameTestModule>);
  ModuleRecord* record = host.record();
  FrameTestModule* module = static_cast<FrameTestModule*>(SEModule_base::FromRecord(record));
  const uint64_t strays = se_host::HostedModule::StrayRequestCount();
  SEPin* pin = module->GetPin(1);
  ASSERT_NE(pin, nullptr);
  EXPECT_EQ(pin->TransmitStatus(0, 2), 0);
  EXPECT_TRUE(host.core().requests().empty());
  EXPECT_EQ(se_host::HostedModule::StrayRequestCount(), strays);
#if SE_FRAME_CHECKED
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], "se_sdk/SEModule_base.cpp: m_pins != 0");
#else
  EXPECT_TRUE(reports.empty());
#endif
  SetFailureReporter(nullptr);
  Call(record, ModuleOpcode::Close);
}

}  // namespace
