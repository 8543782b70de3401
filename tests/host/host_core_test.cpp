// The host core against real libraries, loaded from disk the way the real host loads them: the
// loader's failures, the requests it answers and records, pins, buffers, events, the clock, and
// instances driven from two threads at once.
#include "host/host_core.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/plugin_library.h"
#include "tests/host/raw_test_plugin.h"

namespace {

using se_host::CallSite;
using se_host::CreateError;
using se_host::CreateResult;
using se_host::HostedModule;
using se_host::HostRequest;
using se_host::LibraryError;
using se_host::PinInfo;
using se_host::PluginLibrary;

std::string LibraryPath(const char* name) {
  return std::string(SE_TEST_PLUGIN_DIR) + "/" + name + SE_PLUGIN_SUFFIX;
}

std::shared_ptr<const PluginLibrary> LoadShared(const char* name) {
  auto library = std::make_shared<PluginLibrary>();
  EXPECT_TRUE(library->Load(LibraryPath(name))) << library->error_text();
  return library;
}

int32_t Opcode(HostOpcode opcode) { return static_cast<int32_t>(opcode); }

RawTestModule* RawState(const HostedModule& module) {
  return reinterpret_cast<RawTestModule*>(module.record());
}

// ---- Loading and creating ----------------------------------------------------------------------

TEST(PluginLibraryTest, EachLoadFailureHasItsOwnKindAndTheLoadersText) {
  PluginLibrary library;
  EXPECT_FALSE(library.Load(LibraryPath("no_such_module")));
  EXPECT_EQ(library.error(), LibraryError::kCannotLoad);
  EXPECT_FALSE(library.error_text().empty());
  EXPECT_FALSE(library.loaded());
  EXPECT_EQ(library.entry(), nullptr);

  EXPECT_FALSE(library.Load(LibraryPath("host_no_entry_library")));
  EXPECT_EQ(library.error(), LibraryError::kNoEntry);
  EXPECT_NE(library.error_text().find("main"), std::string::npos) << library.error_text();
  EXPECT_FALSE(library.loaded());

  ASSERT_TRUE(library.Load(LibraryPath("host_raw_test_plugin"))) << library.error_text();
  EXPECT_EQ(library.error(), LibraryError::kNone);
  EXPECT_TRUE(library.error_text().empty());
  EXPECT_NE(library.entry(), nullptr);

  PluginLibrary moved(std::move(library));
  EXPECT_TRUE(moved.loaded());
  EXPECT_FALSE(library.loaded());
  moved.Unload();
  EXPECT_EQ(moved.entry(), nullptr);
}

#if defined(_WIN32)
// Build paths are Unix paths; under Wine they must load without the caller adding a drive.
TEST(PluginLibraryTest, UnixRootedPathLoadsUnderWine) {
  std::string path = LibraryPath("host_raw_test_plugin");
  if (path.compare(0, 2, "Z:") == 0) path.erase(0, 2);
  PluginLibrary library;
  EXPECT_TRUE(library.Load(path)) << library.error_text();
}
#endif

TEST(HostedModuleCreateTest, EachEntryFailureHasItsOwnKind) {
  CreateResult null_record = HostedModule::Create(LoadShared("host_raw_null_plugin"));
  EXPECT_EQ(null_record.error, CreateError::kEntryReturnedNull);
  EXPECT_EQ(null_record.module, nullptr);

  CreateResult no_magic = HostedModule::Create(LoadShared("host_raw_no_magic_plugin"));
  EXPECT_EQ(no_magic.error, CreateError::kNoMagic);
  EXPECT_NE(no_magic.error_text.find("magic"), std::string::npos);
  EXPECT_EQ(no_magic.module, nullptr);

  CreateResult nothing = HostedModule::Create(std::shared_ptr<const PluginLibrary>());
  EXPECT_EQ(nothing.error, CreateError::kEntryReturnedNull);
}

class RawModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    library_ = LoadShared("host_raw_test_plugin");
    module_ = Create();
    ASSERT_NE(module_, nullptr);
  }
  std::unique_ptr<HostedModule> Create() {
    CreateResult result = HostedModule::Create(library_);
    EXPECT_EQ(result.error, CreateError::kNone) << result.error_text;
    return std::move(result.module);
  }
  RawTestModule* raw() { return RawState(*module_); }
  int32_t Forward(ModuleRecord* record, int32_t opcode, std::uintptr_t ptr, float opt) {
    RawForwardedRequest request = {record, opcode, 11, 22, reinterpret_cast<void*>(ptr), opt};
    return module_->OpaqueQuery4(&request);
  }

  std::shared_ptr<const PluginLibrary> library_;
  std::unique_ptr<HostedModule> module_;
};

// ---- Requests and answers ----------------------------------------------------------------------

TEST_F(RawModuleTest, OpenRequestsAreRecordedInOrderWithTheirReplies) {
  module_->set_sample_clock(1234);
  module_->set_pin_count(5);
  module_->set_default_reply(-7);
  module_->Open();

  const std::vector<HostRequest>& requests = module_->requests();
  ASSERT_EQ(requests.size(), 3u);
  const int32_t opcodes[] = {Opcode(HostOpcode::GetSampleClock), Opcode(HostOpcode::GetPinCount),
                             Opcode(HostOpcode::SetPinStatus)};
  const int32_t replies[] = {1234, 5, -7};
  for (size_t request = 0; request < requests.size(); ++request) {
    EXPECT_EQ(requests[request].opcode, opcodes[request]);
    EXPECT_EQ(requests[request].reply, replies[request]);
    EXPECT_EQ(requests[request].record, module_->record());
    EXPECT_FALSE(requests[request].foreign_record);
    EXPECT_EQ(requests[request].site, CallSite::kDispatcher);
    EXPECT_EQ(requests[request].dispatch_opcode, 0);
    EXPECT_EQ(requests[request].opt, 0.0f);
  }
  EXPECT_EQ(requests[2].index, 1);
  EXPECT_EQ(requests[2].value, 2);
  EXPECT_EQ(requests[2].ptr, 1234u);
  EXPECT_EQ(raw()->clock, 1234u);
  EXPECT_EQ(raw()->host_pin_count, 5);
}

TEST_F(RawModuleTest, ForeignRecordIsAnsweredRecordedAndFlagged) {
  module_->set_pin_count(9);
  ModuleRecord stranger = {};
  EXPECT_EQ(Forward(&stranger, Opcode(HostOpcode::GetPinCount), 0x1234, 0.5f), 9);
  const HostRequest& foreign = module_->requests().back();
  EXPECT_TRUE(foreign.foreign_record);
  EXPECT_EQ(foreign.record, &stranger);
  EXPECT_EQ(foreign.index, 11);
  EXPECT_EQ(foreign.value, 22);
  EXPECT_EQ(foreign.ptr, 0x1234u);
  EXPECT_EQ(foreign.opt, 0.5f);
  EXPECT_EQ(foreign.dispatch_opcode, 4);

  module_->set_default_reply(42);
  EXPECT_EQ(Forward(module_->record(), 99, 0, 0.0f), 42);
  EXPECT_FALSE(module_->requests().back().foreign_record);
  EXPECT_EQ(module_->foreign_request_count(), 1u);
}

TEST_F(RawModuleTest, RecordingCanBeSwitchedOffWhileObserverAndCountsGoOn) {
  std::vector<int32_t> observed;
  module_->set_observer([&](const HostRequest& request) { observed.push_back(request.opcode); });
  module_->set_recording(false);
  module_->Open();
  EXPECT_TRUE(module_->requests().empty());
  EXPECT_EQ(observed.size(), 3u);
  EXPECT_EQ(module_->request_count(), 3u);

  module_->set_recording(true);
  module_->Resume();
  ASSERT_EQ(module_->requests().size(), 1u);
  module_->ClearRequests();
  EXPECT_TRUE(module_->requests().empty());
  EXPECT_EQ(module_->request_count(), 4u);
}

TEST_F(RawModuleTest, RequestFromOutsideAnyCallIsCountedNotAttributed) {
  const uint64_t strays = HostedModule::StrayRequestCount();
  HostCallback callback = raw()->host;
  EXPECT_EQ(callback(module_->record(), Opcode(HostOpcode::GetPinCount), 0, 0, nullptr, 0.0f), 0);
  EXPECT_EQ(HostedModule::StrayRequestCount(), strays + 1);
  EXPECT_EQ(module_->request_count(), 0u);
}

TEST_F(RawModuleTest, NestedCallIntoAnotherInstanceKeepsEachRequestWithItsInstance) {
  std::unique_ptr<HostedModule> other = Create();
  other->set_sample_clock(999);
  module_->set_sample_clock(5);
  bool nested = false;
  module_->set_observer([&](const HostRequest&) {
    if (nested) return;
    nested = true;
    other->Resume();
  });
  module_->Open();

  EXPECT_EQ(module_->requests().size(), 3u);
  EXPECT_EQ(module_->foreign_request_count(), 0u);
  ASSERT_EQ(other->requests().size(), 1u);
  EXPECT_EQ(other->requests()[0].record, other->record());
  EXPECT_EQ(other->requests()[0].dispatch_opcode, 8);
  EXPECT_EQ(RawState(*other)->clock, 999u);
  EXPECT_EQ(raw()->clock, 5u);
}

// ---- Dispatcher wrappers and lifetime ----------------------------------------------------------

TEST_F(RawModuleTest, WrappersPutTheirValuesWhereTheModuleReadsThem) {
  module_->SetSampleRate(48000.5f);
  EXPECT_EQ(raw()->sample_rate, 48000.5f);
  module_->SetBlockSize(256);
  EXPECT_EQ(raw()->block_size, 256);
  module_->Dispatch(static_cast<int32_t>(ModuleOpcode::SetBlockSize), 0, 77, nullptr, 3.0f);
  EXPECT_EQ(raw()->block_size, 77);

  se_host::ModuleTexts texts;
  ASSERT_TRUE(module_->ReadModuleTexts(&texts));
  EXPECT_EQ(texts.name, "Raw Test");
  EXPECT_EQ(texts.id, "raw test module");
  EXPECT_EQ(texts.about, "Written without the frame\n");
  EXPECT_EQ(module_->QueueEmpty(), 1);
}

TEST_F(RawModuleTest, CloseEndsTheInstanceAndTheDestructorClosesAnOpenOne) {
  std::unique_ptr<HostedModule> other = Create();
  EXPECT_EQ(other->OpaqueQuery5(nullptr), 2);  // the raw module counts its live instances
  module_.reset();
  EXPECT_EQ(other->OpaqueQuery5(nullptr), 1);

  EXPECT_EQ(other->Close(), 1);
  EXPECT_TRUE(other->closed());
  EXPECT_EQ(other->Close(), 0);
  EXPECT_EQ(other->QueueEmpty(), 0);
  other->RenderBlock(16);
  other.reset();

  module_ = Create();
  EXPECT_EQ(module_->OpaqueQuery5(nullptr), 1);
}

// ---- Pins and buffers --------------------------------------------------------------------------

TEST_F(RawModuleTest, PinsAreEnumeratedWithTheirTextsAndExtraDetected) {
  std::vector<PinInfo> pins = module_->EnumeratePins();
  ASSERT_EQ(pins.size(), 4u);
  EXPECT_EQ(pins[0].index, 0);
  EXPECT_EQ(pins[0].name, "Pitch");
  EXPECT_EQ(pins[0].direction, static_cast<int32_t>(PinDirection::Input));
  EXPECT_EQ(pins[0].datatype, static_cast<int32_t>(PinDatatype::Audio));
  EXPECT_EQ(pins[0].default_value, "5");
  EXPECT_FALSE(pins[0].has_extra);
  EXPECT_EQ(pins[0].raw.extra, nullptr);
  EXPECT_EQ(pins[0].variable_address, &raw()->pitch);
  EXPECT_EQ(pins[0].reply, 1);
  EXPECT_EQ(pins[1].direction, static_cast<int32_t>(PinDirection::Output));
  EXPECT_FALSE(pins[1].has_extra);

  EXPECT_EQ(pins[2].direction, static_cast<int32_t>(PinDirection::Setting));
  EXPECT_TRUE(pins[2].has_extra);
  EXPECT_EQ(pins[2].extra, "Sine,Square");

  // Null texts are tolerated, and a null `extra` still counts as written.
  EXPECT_EQ(pins[3].name, "");
  EXPECT_EQ(pins[3].raw.name, nullptr);
  EXPECT_EQ(pins[3].default_value, "");
  EXPECT_TRUE(pins[3].has_extra);
  EXPECT_EQ(pins[3].extra, "");

  EXPECT_EQ(module_->EnumeratePins(2).size(), 2u);
}

TEST_F(RawModuleTest, BoundBuffersAreTheOnesTheModuleRendersInto) {
  std::vector<float> pitch(64), out(64, -1.0f), spare(64);
  for (size_t sample = 0; sample < pitch.size(); ++sample) pitch[sample] = sample * 0.25f;
  const int32_t bound = module_->BindAudioPins(
      [&](const PinInfo& pin) { return pin.index == 0 ? pitch.data() : out.data(); });
  EXPECT_EQ(bound, 2);
  EXPECT_EQ(raw()->pitch, pitch.data());
  EXPECT_EQ(raw()->out, out.data());
  EXPECT_FALSE(module_->BindAudioPin(2, spare.data()));
  EXPECT_FALSE(module_->BindAudioPin(kRawPinCount, spare.data()));

  module_->Open();
  module_->Process(16, 32);
  for (size_t sample = 0; sample < out.size(); ++sample) {
    const bool rendered = sample >= 16 && sample < 48;
    EXPECT_EQ(out[sample], rendered ? 2.0f * pitch[sample] : -1.0f) << sample;
  }

  EXPECT_TRUE(module_->BindAudioPin(1, spare.data()));
  EXPECT_EQ(raw()->out, spare.data());
}

// ---- Events and the clock ----------------------------------------------------------------------

TEST_F(RawModuleTest, EventsReachTheModuleByteForByte) {
  const SeEvent data_event = {100, 2, -5, 0x12345, reinterpret_cast<void*>(0xABC), nullptr};
  module_->AddEvent(data_event);
  EXPECT_EQ(std::memcmp(&raw()->events[0], &data_event, sizeof(SeEvent)), 0);

  module_->PinUpdate(2, 1, 7, 200);
  const SeEvent& update = raw()->events[1];
  EXPECT_EQ(update.time_stamp, 200u);
  EXPECT_EQ(update.event_type, 0);
  EXPECT_EQ(update.value1, 1);
  EXPECT_EQ(update.value2, 7);
  EXPECT_EQ(update.data, reinterpret_cast<void*>(2));
  EXPECT_EQ(update.next, nullptr);

  module_->Open();
  EXPECT_EQ(module_->QueueEmpty(), 0);
  module_->RenderBlock(150);
  EXPECT_EQ(module_->QueueEmpty(), 0);
  module_->RenderBlock(64);
  EXPECT_EQ(module_->QueueEmpty(), 1);
  EXPECT_EQ(raw()->mode, 7);
}

TEST_F(RawModuleTest, ClockAdvancesByEachBlockAndResumeHandsItBack) {
  module_->set_sample_clock(1000);
  module_->Open();
  module_->RenderBlock(64);
  EXPECT_EQ(module_->sample_clock(), 1064u);
  module_->Process(16, 32);
  EXPECT_EQ(module_->sample_clock(), 1096u);
  module_->Process(0, 0);
  module_->Process(0, -5);
  EXPECT_EQ(module_->sample_clock(), 1096u);

  module_->Resume();
  EXPECT_EQ(raw()->clock, 1096u);
  module_->set_sample_clock(0xFFFFFFF0u);
  module_->Resume();
  module_->RenderBlock(32);
  EXPECT_EQ(module_->sample_clock(), 0x10u);
  // The module asks for the clock in every block: it always saw its own.
  EXPECT_EQ(raw()->clock_mismatches, 0u);
  EXPECT_EQ(raw()->process_calls, 5);
}

// ---- Threads -----------------------------------------------------------------------------------

TEST(HostedModuleThreadTest, TwoInstancesOnTwoThreadsKeepTheirRequestsApart) {
  std::shared_ptr<const PluginLibrary> library = LoadShared("host_raw_test_plugin");
  const uint32_t start_clocks[] = {1000, 7000000};
  const int kBlocks = 5000;
  const int32_t kFrames = 16;
  std::unique_ptr<HostedModule> modules[2];
  for (int instance = 0; instance < 2; ++instance) {
    modules[instance] = HostedModule::Create(library).module;
    ASSERT_NE(modules[instance], nullptr);
    modules[instance]->set_sample_clock(start_clocks[instance]);
  }

  // Both threads start rendering together, so that their calls into the library overlap.
  std::atomic<int> ready{0};
  auto drive = [&](HostedModule* module) {
    ready.fetch_add(1);
    while (ready.load() < 2) {
    }
    module->Open();
    for (int block = 0; block < kBlocks; ++block) {
      module->RenderBlock(kFrames);
      if (block % 100 == 0) module->Resume();
    }
  };
  std::thread first(drive, modules[0].get());
  std::thread second(drive, modules[1].get());
  first.join();
  second.join();

  for (int instance = 0; instance < 2; ++instance) {
    const HostedModule& module = *modules[instance];
    const uint32_t end_clock = start_clocks[instance] + kBlocks * kFrames;
    EXPECT_EQ(module.sample_clock(), end_clock);
    EXPECT_EQ(module.request_count(), 3u + kBlocks + kBlocks / 100);
    EXPECT_EQ(module.foreign_request_count(), 0u);
    EXPECT_EQ(RawState(module)->clock_mismatches, 0u);
    for (const HostRequest& request : module.requests()) {
      ASSERT_EQ(request.record, module.record());
      if (request.opcode != Opcode(HostOpcode::GetSampleClock)) continue;
      const uint32_t reply = static_cast<uint32_t>(request.reply);
      ASSERT_GE(reply, start_clocks[instance]);
      ASSERT_LE(reply, end_clock);
    }
  }
}

// Thread B enters a call into its instance while A is paused inside a call into another, and
// holds its call open until A's next request has been answered: that request must still find A.
TEST(HostedModuleThreadTest, RequestFindsItsInstanceWhileAnotherThreadIsInsideACall) {
  std::shared_ptr<const PluginLibrary> library = LoadShared("host_raw_test_plugin");
  std::unique_ptr<HostedModule> first = HostedModule::Create(library).module;
  std::unique_ptr<HostedModule> second = HostedModule::Create(library).module;
  ASSERT_TRUE(first && second);
  first->set_sample_clock(100);
  first->set_pin_count(3);
  second->set_sample_clock(200);
  second->set_pin_count(8);

  // Bounded waits: a core that confused the two would otherwise hang here instead of failing.
  auto wait_until = [](auto condition) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!condition() && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
  };
  std::atomic<int> first_requests{0};
  std::atomic<bool> second_inside{false};
  first->set_observer([&](const HostRequest&) {
    if (first_requests.fetch_add(1) == 0) wait_until([&] { return second_inside.load(); });
  });
  second->set_observer([&](const HostRequest&) {
    if (!second_inside.exchange(true)) wait_until([&] { return first_requests.load() >= 2; });
  });

  std::thread first_thread([&] { first->Open(); });
  wait_until([&] { return first_requests.load() >= 1; });
  std::thread second_thread([&] { second->Open(); });
  first_thread.join();
  second_thread.join();

  for (const HostedModule* module : {first.get(), second.get()}) {
    EXPECT_EQ(module->requests().size(), 3u);
    EXPECT_EQ(module->foreign_request_count(), 0u);
    for (const HostRequest& request : module->requests()) {
      EXPECT_EQ(request.record, module->record());
    }
  }
  EXPECT_EQ(RawState(*first)->clock, 100u);
  EXPECT_EQ(RawState(*first)->host_pin_count, 3);
  EXPECT_EQ(RawState(*second)->clock, 200u);
  EXPECT_EQ(RawState(*second)->host_pin_count, 8);
}

// ---- The frame's own test module ---------------------------------------------------------------

#if HOST_TEST_HAS_FRAME_MODULE
TEST(FrameModuleTest, FrameModuleIsDrivenLikeAnyOtherLibrary) {
  CreateResult created = HostedModule::Create(LoadShared("frame_test_module"));
  ASSERT_NE(created.module, nullptr) << created.error_text;
  HostedModule& module = *created.module;

  std::vector<PinInfo> pins = module.EnumeratePins();
  ASSERT_EQ(pins.size(), 3u);
  EXPECT_EQ(pins[0].name, "In");
  EXPECT_EQ(pins[1].name, "Out");
  EXPECT_FALSE(pins[1].has_extra);
  EXPECT_TRUE(pins[2].has_extra);
  EXPECT_EQ(pins[2].extra, "A,B,C");

  // The module writes Out = In + 100 * Mode, so the update shows at its exact sample.
  std::vector<float> in(32), out(32);
  for (size_t sample = 0; sample < in.size(); ++sample) in[sample] = sample * 0.125f;
  ASSERT_EQ(module.BindAudioPins(
                [&](const PinInfo& pin) { return pin.index == 0 ? in.data() : out.data(); }),
            2);

  module.set_sample_clock(500);
  module.Open();
  ASSERT_EQ(module.requests().size(), 2u);
  EXPECT_EQ(module.requests()[0].opcode, Opcode(HostOpcode::GetSampleClock));
  EXPECT_EQ(module.requests()[1].opcode, Opcode(HostOpcode::GetPinCount));
  EXPECT_EQ(module.foreign_request_count(), 0u);

  module.PinUpdate(2, 0, 3, 510);
  EXPECT_EQ(module.QueueEmpty(), 0);
  module.RenderBlock(32);
  EXPECT_EQ(module.QueueEmpty(), 1);
  for (size_t sample = 0; sample < out.size(); ++sample) {
    EXPECT_EQ(out[sample], in[sample] + (sample < 10 ? 0.0f : 300.0f)) << sample;
  }

  module.ClearRequests();
  module.Resume();
  ASSERT_EQ(module.requests().size(), 1u);
  EXPECT_EQ(module.requests()[0].reply, 532);
}
#endif

}  // namespace
