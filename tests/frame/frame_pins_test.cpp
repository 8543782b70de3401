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

TEST(PinsBeforeOpen, GetPinAnswersAnInertPinThatReachesNobody) {
  std::vector<std::string> reports;
  static std::vector<std::string>* sink;
  sink = &reports;
  SetFailureReporter([](const char* condition, const char* source_file) {
    sink->push_back(std::string(source_file) + ": " + condition);
  });
  se_test::TestHost host(se_test::InProcessEntry<FrameTestModule>);
  ModuleRecord* record = host.record();
  FrameTestModule* module = host.object<FrameTestModule>();
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
