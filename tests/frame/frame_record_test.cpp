// The frame as the host first meets it: the record that `main` returns, the opcode switch and the
// requests a module sends back. Everything goes through the record's two function pointers.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "tests/frame/test_module.h"
#include "tests/support/in_process.h"
#include "tests/support/record_calls.h"
#include "tests/support/test_host.h"

namespace {

using se_host::HostRequest;
using se_test::Call;
using se_test::PinUpdate;

class RecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_ = std::make_unique<se_test::TestHost>(se_test::InProcessEntry<FrameTestModule>);
    record_ = host_->record();
  }
  void TearDown() override {
    if (record_ != nullptr) {
      EXPECT_EQ(Call(record_, ModuleOpcode::Close), 1);
    }
  }
  FrameTestModule* module() {
    return static_cast<FrameTestModule*>(SEModule_base::FromRecord(record_));
  }
  const std::vector<HostRequest>& requests() { return host_->core().requests(); }

  std::unique_ptr<se_test::TestHost> host_;
  ModuleRecord* record_ = nullptr;
};

TEST_F(RecordTest, RecordHoldsTheMagicTheEntriesAndZeroedReservedWords) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(record_);
  EXPECT_EQ(bytes[0], 0x7B);
  EXPECT_EQ(bytes[1], 0x50);
  EXPECT_EQ(bytes[2], 0x45);
  EXPECT_EQ(bytes[3], 0x53);
  EXPECT_EQ(record_->dispatcher, &SEModule_base::RecordDispatcher);
  EXPECT_EQ(record_->process, &SEModule_base::RecordProcess);
  EXPECT_EQ(record_->object, static_cast<SEModule_base*>(module()));
  EXPECT_EQ(record_->reserved40, 1);
  for (int32_t word : record_->reserved8) EXPECT_EQ(word, 0);
  for (int32_t word : record_->reserved48) EXPECT_EQ(word, 0);
  EXPECT_EQ(record_->reserved20 | record_->reserved24 | record_->reserved28 | record_->reserved36,
            0);
}

#if UINTPTR_MAX == 0xFFFFFFFFu
// On the host's own data model the record is read as 27 words at fixed offsets.
TEST_F(RecordTest, ThirtyTwoBitRecordHasTheHostsExactWords) {
  int32_t words[27];
  std::memcpy(words, record_, sizeof(words));
  EXPECT_EQ(words[0], 0x5345507B);
  EXPECT_EQ(words[1], static_cast<int32_t>(reinterpret_cast<uintptr_t>(record_->dispatcher)));
  EXPECT_EQ(words[8], static_cast<int32_t>(reinterpret_cast<uintptr_t>(module())));
  EXPECT_EQ(words[10], 1);
  EXPECT_EQ(words[11], static_cast<int32_t>(reinterpret_cast<uintptr_t>(record_->process)));
  for (int word = 0; word < 27; ++word) {
    if (word == 0 || word == 1 || word == 8 || word == 10 || word == 11) continue;
    EXPECT_EQ(words[word], 0) << "word at offset " << 4 * word;
  }
}
#endif

TEST_F(RecordTest, EachMainCallCreatesItsOwnModule) {
  se_test::TestHost other_host(se_test::InProcessEntry<FrameTestModule>);
  ModuleRecord* other = other_host.record();
  EXPECT_NE(other, record_);
  EXPECT_NE(other->object, record_->object);
  EXPECT_EQ(Call(other, ModuleOpcode::Close), 1);
  EXPECT_TRUE(requests().empty() && other_host.core().requests().empty())
      << "construction and close call nothing on the host";
}

TEST_F(RecordTest, OpcodesAnswerAsTheProtocolSays) {
  EXPECT_EQ(Call(record_, ModuleOpcode::QueueEmpty), 1);
  PinUpdate(record_, 100, 2, 0, 1);
  EXPECT_EQ(Call(record_, ModuleOpcode::QueueEmpty), 0);

  int32_t sentinel[4] = {7, 7, 7, 7};
  EXPECT_EQ(Call(record_, ModuleOpcode::OpaqueQuery4, 0, 0, sentinel), 0);
  EXPECT_EQ(Call(record_, ModuleOpcode::OpaqueQuery5, 0, 0, sentinel), 0);
  // Numbers that name no opcode: past the last one, and negative.
  const int32_t past_last = static_cast<int32_t>(ModuleOpcode::QueueEmpty) + 1;
  EXPECT_EQ(record_->dispatcher(record_, past_last, 1, 2, sentinel, 3.0f), 0);
  EXPECT_EQ(record_->dispatcher(record_, -1, 1, 2, sentinel, 3.0f), 0);
  EXPECT_EQ(sentinel[0] & sentinel[1] & sentinel[2] & sentinel[3], 7);
  EXPECT_TRUE(requests().empty());

  // A query with no record to fill is answered 0 rather than followed into address 0.
  EXPECT_EQ(Call(record_, ModuleOpcode::GetPinProperties, 0, 0, nullptr), 0);
  EXPECT_EQ(Call(record_, ModuleOpcode::GetModuleProperties, 0, 0, nullptr), 0);
  Call(record_, ModuleOpcode::AddEvent, 0, 0, nullptr);
}

TEST_F(RecordTest, SampleRateComesFromOptAndBlockSizeFromValue) {
  EXPECT_EQ(module()->SampleRate(), 44100.0f);
  EXPECT_EQ(module()->BlockSize(), 1024);
  int dummy = 0;
  EXPECT_EQ(Call(record_, ModuleOpcode::SetSampleRate, 5, 6, &dummy, 48000.5f), 0);
  EXPECT_EQ(module()->SampleRate(), 48000.5f);
  Call(record_, ModuleOpcode::SetBlockSize, 0, 333, nullptr, 77.0f);
  EXPECT_EQ(module()->BlockSize(), 333);
  EXPECT_EQ(module()->SampleRate(), 48000.5f);
}

TEST_F(RecordTest, PinAndModuleQueriesFillOnlyWhatTheyKnow) {
  PinDescription description;
  std::memset(&description, 0xAB, sizeof(description));
  PinDescription untouched = description;
  EXPECT_EQ(Call(record_, ModuleOpcode::GetPinProperties, 3, 0, &description), 0);
  EXPECT_EQ(Call(record_, ModuleOpcode::GetPinProperties, -1, 0, &description), 0);
  EXPECT_EQ(std::memcmp(&description, &untouched, sizeof(description)), 0);
  EXPECT_EQ(Call(record_, ModuleOpcode::GetPinProperties, 2, 0, &description), 1);
  EXPECT_STREQ(description.name, "Mode");
  EXPECT_EQ(description.variable_address, &module()->m_mode_store);

  ModuleProperties properties = {"x", "y", "z"};
  EXPECT_EQ(Call(record_, ModuleOpcode::GetModuleProperties, 0, 0, &properties), 1);
  EXPECT_STREQ(properties.name, "Frame Test");

  // The frame's own default answers false and writes nothing.
  se_test::TestHost bare_host(se_test::InProcessEntry<SEModule_base>);
  ModuleRecord* bare = bare_host.record();
  ModuleProperties kept = {"x", "y", "z"};
  EXPECT_EQ(Call(bare, ModuleOpcode::GetModuleProperties, 0, 0, &kept), 0);
  EXPECT_STREQ(kept.name, "x");
  EXPECT_EQ(Call(bare, ModuleOpcode::GetPinProperties, 0, 0, &description), 0);
  EXPECT_EQ(Call(bare, ModuleOpcode::Close), 1);
}

TEST_F(RecordTest, OpenAsksForClockThenPinCountAndResumeForTheClock) {
  host_->core().set_sample_clock(12345);
  Call(record_, ModuleOpcode::Open);
  ASSERT_EQ(requests().size(), 2u);
  EXPECT_EQ(requests()[0].opcode, static_cast<int32_t>(HostOpcode::GetSampleClock));
  EXPECT_EQ(requests()[1].opcode, static_cast<int32_t>(HostOpcode::GetPinCount));
  for (const HostRequest& request : requests()) {
    EXPECT_EQ(request.record, record_);
    EXPECT_EQ(request.index, 0);
    EXPECT_EQ(request.value, 0);
    EXPECT_EQ(request.ptr, 0u);
    EXPECT_EQ(request.opt, 0.0f);
  }
  EXPECT_EQ(module()->SampleClock(), 12345u);

  host_->core().ClearRequests();
  host_->core().set_sample_clock(99);
  Call(record_, ModuleOpcode::Resume);
  ASSERT_EQ(requests().size(), 1u);
  EXPECT_EQ(requests()[0].opcode, static_cast<int32_t>(HostOpcode::GetSampleClock));
  EXPECT_EQ(module()->SampleClock(), 99u);
}

// A module's requests come from inside the host's calls: this one sends a pin's status from its
// renderer.
class StatusSendingModule : public FrameTestModule {
 public:
  explicit StatusSendingModule(HostCallback host) : FrameTestModule(host) {}
  void sub_process(int32_t buffer_offset, int32_t sampleFrames) override {
    GetPin(1)->TransmitStatus(4000000000u, 2);
    FrameTestModule::sub_process(buffer_offset, sampleFrames);
  }
};

TEST_F(RecordTest, PinStatusReachesTheHostWithIndexValueAndTime) {
  host_ = std::make_unique<se_test::TestHost>(se_test::InProcessEntry<StatusSendingModule>);
  record_ = host_->record();
  Call(record_, ModuleOpcode::Open);
  host_->core().ClearRequests();
  host_->core().Process(0, 1);
  ASSERT_EQ(requests().size(), 1u);
  const HostRequest& request = requests()[0];
  EXPECT_EQ(request.record, record_);
  EXPECT_EQ(request.opcode, static_cast<int32_t>(HostOpcode::SetPinStatus));
  EXPECT_EQ(request.index, 1);
  EXPECT_EQ(request.value, 2);
  EXPECT_EQ(request.ptr, 4000000000u);
  EXPECT_EQ(request.opt, 0.0f);
}

TEST(NullCallback, ModuleWorksAndAsksNobody) {
  ModuleRecord* record = SeCreateModule<FrameTestModule>(nullptr);
  ASSERT_NE(record, nullptr);
  FrameTestModule* module = static_cast<FrameTestModule*>(SEModule_base::FromRecord(record));
  Call(record, ModuleOpcode::Open);
  EXPECT_EQ(module->PinCount(), 3);
  EXPECT_EQ(module->SampleClock(), 0u);
  EXPECT_EQ(module->GetPin(1)->TransmitStatus(0, 2), 0);
  Call(record, ModuleOpcode::Resume);
  EXPECT_EQ(module->SampleClock(), 0u);
  EXPECT_EQ(Call(record, ModuleOpcode::Close), 1);
}

}  // namespace
