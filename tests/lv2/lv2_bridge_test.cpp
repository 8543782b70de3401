// The LV2 bridge driven through its entry points as an LV2 host drives it, with every shipped
// module, in whatever ways LV2 allows: any run length including 0 and runs longer than the module
// is ever given at once, an input that shares its buffer with an output, control values changed
// between runs, deactivation and activation, many instances at once and one after another.
// Whatever the host does, every output must be, bit for bit, what the module plays when the test
// host drives it directly with the same signals, pin updates and blocks. run() must not allocate,
// lock or call the system, even on an audio thread that never ran it before. And a bundle whose
// files do not match gives no plug-in instead of a wrong one.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <lv2/core/lv2.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/lv2/bundle_format.h"
#include "host/modhost/run/pin_values.h"
#include "tests/float_bits.h"
#include "tests/modhost/modhost_runner.h"
#include "tests/support/registered_modules.h"
#include "tests/support/test_host.h"

#if SE_LV2_REALTIME_GUARD
#include "tests/reliability/realtime_guard.h"
#endif

namespace {

namespace fs = std::filesystem;
using se_test::RegisteredModule;

const double kRate = 44100.0;
constexpr uint32_t kLongestRun = 9000;          // beyond the bridge's longest block
constexpr int32_t kBridgeBlock = 4096;          // the longest block the bridge gives a module
using Heard = std::vector<std::vector<float>>;  // one stream per audio output

// How the tests play a module, worked out from its pin table. Every audio input moves: its
// default plus a ramp of up to 1 V that starts again every few hundred samples, of a length of its
// own, so that every sample the module reads counts. Every control has a list of values, its
// default first, then its other items (an enumeration), the other truth value (a boolean) or one
// more (an integer); at step N it takes value N of the list, round and round.
struct Patch {
  struct Control {
    int32_t pin;
    bool toggle;
    std::vector<int32_t> values;
  };

  explicit Patch(const std::vector<se_host::PinInfo>& pins) {
    for (const se_host::PinInfo& pin : pins) {
      if (pin.IsAudioOutput()) {
        outputs.push_back(pin.index);
      } else if (pin.IsAudio()) {
        inputs.push_back(pin.index);
        levels[pin.index] = modhost::VoltsToSample(modhost::DefaultVolts(pin, nullptr));
      } else {
        const int32_t usual = modhost::DefaultControlValue(pin, nullptr);
        const bool toggle = pin.datatype == static_cast<int32_t>(PinDatatype::Bool);
        Control control = {pin.index, toggle, {toggle ? (usual != 0 ? 1 : 0) : usual}};
        for (const modhost::EnumItem& item : modhost::ParseEnumItems(pin.extra)) {
          if (item.value != usual) control.values.push_back(item.value);
        }
        if (control.values.size() == 1)
          control.values.push_back(toggle ? 1 - control.values[0] : usual + 1);
        controls.push_back(control);
      }
    }
  }

  float Signal(int32_t pin, uint64_t sample) const {
    const uint64_t period = 300 + 7 * static_cast<uint64_t>(pin);
    return levels.at(pin) + 0.1f * static_cast<float>(sample % period) / static_cast<float>(period);
  }
  int32_t Value(const Control& control, int step) const {
    return control.values[static_cast<size_t>(step) % control.values.size()];
  }

  std::vector<int32_t> inputs;
  std::vector<int32_t> outputs;
  std::vector<Control> controls;
  std::map<int32_t, float> levels;  // an input's default, as a signal
};

// One run() of the host: its length, whether the first input shares the first output's buffer,
// and the step of every control.
struct HostRun {
  uint32_t frames;
  bool in_place;
  int step;
};

// What the module plays for `runs` when the test host drives it as the bridge promises to: at the
// bridge's sample rate, pin count and block size; at the first sample of each run that plays, a
// pin update for each control whose value differs from the one last sent; then the run in blocks
// of at most kBridgeBlock samples. (A module may read an input once per block, as Pelio reads its
// pitch, so the blocks must be the bridge's for the sound to be.)
Heard Played(const RegisteredModule& module, const Patch& patch, const std::vector<HostRun>& runs) {
  se_test::TestHost host(se_test::LoadLibrary(module.library));
  host.core().set_pin_count(static_cast<int32_t>(host.pins().size()));
  host.core().SetBlockSize(kBridgeBlock);
  host.Start(static_cast<float>(kRate), 0, kBridgeBlock);
  Heard heard(patch.outputs.size());
  std::map<int32_t, int32_t> sent;
  uint64_t played = 0;
  for (const HostRun& run : runs) {
    if (run.frames == 0) continue;
    for (const Patch::Control& control : patch.controls) {
      const int32_t value = patch.Value(control, run.step);
      if (sent.count(control.pin) == 0 || sent[control.pin] != value) {
        host.SetPinAt(control.pin, value, 0);
        sent[control.pin] = value;
      }
    }
    for (uint32_t done = 0; done < run.frames;) {
      const int32_t frames =
          static_cast<int32_t>(std::min<uint32_t>(kBridgeBlock, run.frames - done));
      for (int32_t pin : patch.inputs) {
        for (int32_t index = 0; index < frames; ++index)
          host.buffer(pin)[index] = patch.Signal(pin, played + index);
      }
      host.Render(frames);
      for (size_t slot = 0; slot < patch.outputs.size(); ++slot) {
        const float* output = host.buffer(patch.outputs[slot]);
        heard[slot].insert(heard[slot].end(), output, output + frames);
      }
      done += static_cast<uint32_t>(frames);
      played += static_cast<uint64_t>(frames);
    }
  }
  return heard;
}

// A bundle's plug-in as an LV2 host holds it: the bridge loaded, its one descriptor found.
class BundlePlugin {
 public:
  explicit BundlePlugin(const std::string& bundle) : bundle_(bundle + "/") {
    library_ = dlopen((bundle_ + se_lv2::kBridgeFile).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library_) return;
    using LibDescriptor = const LV2_Lib_Descriptor* (*)(const char*, const LV2_Feature* const*);
    auto discover = reinterpret_cast<LibDescriptor>(dlsym(library_, "lv2_lib_descriptor"));
    entries_ = discover ? discover(bundle_.c_str(), nullptr) : nullptr;
    descriptor_ = entries_ ? entries_->get_plugin(entries_->handle, 0) : nullptr;
  }
  ~BundlePlugin() {
    if (entries_) entries_->cleanup(entries_->handle);
    if (library_) dlclose(library_);
  }
  void* library() const { return library_; }
  const LV2_Descriptor* descriptor() const { return descriptor_; }
  LV2_Handle Instantiate() const {
    return descriptor_ ? descriptor_->instantiate(descriptor_, kRate, bundle_.c_str(), nullptr)
                       : nullptr;
  }

 private:
  std::string bundle_;
  void* library_ = nullptr;
  const LV2_Lib_Descriptor* entries_ = nullptr;
  const LV2_Descriptor* descriptor_ = nullptr;
};

// One instance with buffers on every port, as a host connects them.
class Voice {
 public:
  Voice(const BundlePlugin& plugin, const Patch& patch)
      : descriptor_(plugin.descriptor()), instance_(plugin.Instantiate()), patch_(patch) {
    if (!instance_) return;
    for (int32_t pin : patch.inputs) Connect(pin, &signals_[pin], kLongestRun);
    for (int32_t pin : patch.outputs) Connect(pin, &outputs_[pin], kLongestRun);
    for (const Patch::Control& control : patch.controls)
      descriptor_->connect_port(instance_, control.pin, &controls_[control.pin]);
    descriptor_->activate(instance_);
  }
  ~Voice() {
    if (instance_) descriptor_->cleanup(instance_);
  }
  bool ok() const { return instance_ != nullptr; }

  // Deactivates and activates again: the signals start again too.
  void Restart() {
    if (descriptor_->deactivate) descriptor_->deactivate(instance_);
    descriptor_->activate(instance_);
    played_ = 0;
  }

  // Plays `run`, each output appended to its stream of `heard` when there is one. A control's
  // value is nudged off the whole number on odd steps (a host's slider), which the bridge rounds
  // away; a toggle is on at any value above 0. In place, the first input is connected to the first
  // output's buffer, which holds the input's signal; otherwise outputs start as garbage.
  void Play(const HostRun& run, Heard* heard) {
    for (const Patch::Control& control : patch_.controls) {
      const int32_t value = patch_.Value(control, run.step);
      controls_[control.pin] = control.toggle
                                   ? (value != 0 ? 0.6f : 0.0f)
                                   : static_cast<float>(value) + (run.step % 2 ? 0.3f : 0.0f);
    }
    for (int32_t pin : patch_.inputs) {
      for (uint32_t index = 0; index < run.frames; ++index)
        signals_[pin][index] = patch_.Signal(pin, played_ + index);
    }
    for (auto& [pin, buffer] : outputs_) std::fill(buffer.begin(), buffer.end(), -7.0f);
    const bool in_place = run.in_place && !patch_.inputs.empty() && !patch_.outputs.empty();
    if (in_place) {
      std::vector<float>& shared = outputs_[patch_.outputs[0]];
      std::copy_n(signals_[patch_.inputs[0]].begin(), run.frames, shared.begin());
      descriptor_->connect_port(instance_, patch_.inputs[0], shared.data());
    }
    descriptor_->run(instance_, run.frames);
    if (in_place) {
      descriptor_->connect_port(instance_, patch_.inputs[0], signals_[patch_.inputs[0]].data());
    }
    played_ += run.frames;
    if (!heard) return;
    heard->resize(patch_.outputs.size());
    for (size_t slot = 0; slot < patch_.outputs.size(); ++slot) {
      const std::vector<float>& output = outputs_[patch_.outputs[slot]];
      (*heard)[slot].insert((*heard)[slot].end(), output.begin(), output.begin() + run.frames);
    }
  }

 private:
  void Connect(int32_t pin, std::vector<float>* buffer, uint32_t samples) {
    buffer->assign(samples, 0.0f);
    descriptor_->connect_port(instance_, pin, buffer->data());
  }

  const LV2_Descriptor* descriptor_;
  LV2_Handle instance_;
  const Patch& patch_;
  std::map<int32_t, std::vector<float>> signals_;
  std::map<int32_t, std::vector<float>> outputs_;
  std::map<int32_t, float> controls_;
  uint64_t played_ = 0;
};

Heard Play(Voice& voice, const std::vector<HostRun>& runs) {
  Heard heard;
  for (const HostRun& run : runs) voice.Play(run, &heard);
  return heard;
}

// Where two plays first differ, as "output N, sample M", or "" when they agree.
std::string FirstDifference(const Heard& first, const Heard& second) {
  if (first.size() != second.size()) return "a different number of outputs";
  for (size_t slot = 0; slot < first.size(); ++slot) {
    const int64_t sample = FirstBitDifference(first[slot], second[slot]);
    if (sample >= 0) return "output " + std::to_string(slot) + ", sample " + std::to_string(sample);
  }
  return "";
}

int RunModhost(const std::vector<std::string>& arguments) {
  std::string command = modhost_test::ShellQuoted(MODHOST_PATH);
  for (const std::string& argument : arguments)
    command += " " + modhost_test::ShellQuoted(argument);
  const int status = std::system((command + " >/dev/null").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Every shipped module, with its bundle (made once for all tests) and its patch.
class Lv2BridgeTest : public testing::TestWithParam<RegisteredModule> {
 protected:
  static void SetUpTestSuite() {
    std::string pattern = testing::TempDir() + "lv2_bridge_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    for (const RegisteredModule& module : se_test::ShippedModules()) {
      ASSERT_EQ(RunModhost({"lv2", module.library, "-o", Bundle(module)}), 0) << module.name;
      ASSERT_EQ(
          RunModhost({"lv2", module.library, "-o", Bundle(module, "-audio.lv2"), "--audio-inputs"}),
          0)
          << module.name;
    }
  }
  static void TearDownTestSuite() { fs::remove_all(folder_); }

  static std::string Bundle(const RegisteredModule& module, const std::string& suffix = ".lv2") {
    return folder_ + "/" + module.name + suffix;
  }
  static const Patch& PatchOf(const RegisteredModule& module) {
    static std::map<std::string, std::unique_ptr<Patch>> patches;
    std::unique_ptr<Patch>& patch = patches[module.name];
    if (!patch) {
      se_test::TestHost host(se_test::LoadLibrary(module.library));
      patch = std::make_unique<Patch>(host.pins());
    }
    return *patch;
  }

  static std::string folder_;
};

std::string Lv2BridgeTest::folder_;

TEST_P(Lv2BridgeTest, AnyRunLengthInPlaceOrNotPlaysWhatTheModulePlays) {
  const Patch& patch = PatchOf(GetParam());
  BundlePlugin plugin(Bundle(GetParam()));
  Voice voice(plugin, patch);
  ASSERT_TRUE(voice.ok());
  std::vector<HostRun> runs;
  std::mt19937 draw(14);
  const std::vector<uint32_t> lengths = {0, 1, 0, 4096, 4097, kLongestRun, 0, 3, 255};
  for (uint32_t total = 0; total < 60000;) {
    const uint32_t frames = runs.size() < lengths.size() ? lengths[runs.size()] : draw() % 2000;
    runs.push_back({std::min(frames, 60000 - total), runs.size() % 3 == 1, 0});
    total += runs.back().frames;
  }
  EXPECT_EQ(FirstDifference(Play(voice, runs), Played(GetParam(), patch, runs)), "");
}

TEST_P(Lv2BridgeTest, ChangedControlsActAtTheFirstSampleOfTheRun) {
  const Patch& patch = PatchOf(GetParam());
  BundlePlugin plugin(Bundle(GetParam()));
  Voice voice(plugin, patch);
  ASSERT_TRUE(voice.ok());
  // Steps change every other run, and sometimes at a run of 0 samples, whose changes wait for
  // the next run that plays.
  std::vector<HostRun> runs;
  for (int run = 0; run < 40; ++run) {
    runs.push_back({run % 4 == 1 ? 0u : 600u + 13u * run, run % 3 == 2, run / 2});
  }
  EXPECT_EQ(FirstDifference(Play(voice, runs), Played(GetParam(), patch, runs)), "");
}

TEST_P(Lv2BridgeTest, ActivationStartsTheModuleAgain) {
  BundlePlugin plugin(Bundle(GetParam()));
  Voice voice(plugin, PatchOf(GetParam()));
  ASSERT_TRUE(voice.ok());
  const std::vector<HostRun> runs(10, HostRun{700, false, 0});
  const Heard first = Play(voice, runs);
  voice.Play({300, false, 1}, nullptr);
  voice.Restart();
  EXPECT_EQ(FirstDifference(Play(voice, runs), first), "");
}

TEST_P(Lv2BridgeTest, ABundleThatDoesNotMatchGivesNoPlugin) {
  se_lv2::BundleConfig config;
  ASSERT_TRUE(se_lv2::ParseBundleConfig(
      modhost_test::ReadFile(Bundle(GetParam()) + "/" + se_lv2::kConfigFile), &config));
  const auto copy = [&](const std::string& name) {
    const std::string bundle = folder_ + "/" + name;
    fs::remove_all(bundle);
    fs::copy(Bundle(GetParam()), bundle);
    return bundle;
  };
  const auto configure = [&](const std::string& bundle, se_lv2::BundleConfig changed) {
    modhost_test::WriteFile(bundle + "/" + se_lv2::kConfigFile,
                            se_lv2::FormatBundleConfig(changed));
  };
  std::string bundle = copy("pins.lv2");
  se_lv2::BundleConfig changed = config;
  changed.pins = config.pins + 1;
  configure(bundle, changed);
  EXPECT_EQ(BundlePlugin(bundle).Instantiate(), nullptr);
  bundle = copy("library.lv2");
  fs::remove(bundle + "/" + config.library);
  EXPECT_EQ(BundlePlugin(bundle).Instantiate(), nullptr);
  bundle = copy("outside.lv2");
  changed = config;
  changed.library = "../" + GetParam().name + ".lv2/" + config.library;
  configure(bundle, changed);
  EXPECT_EQ(BundlePlugin(bundle).descriptor(), nullptr);
  bundle = copy("config.lv2");
  fs::remove(bundle + "/" + se_lv2::kConfigFile);
  EXPECT_EQ(BundlePlugin(bundle).descriptor(), nullptr);
  // The plug-in asked to stand for a bundle of another URI: the module's with audio inputs.
  BundlePlugin plugin(Bundle(GetParam()));
  ASSERT_NE(plugin.descriptor(), nullptr);
  EXPECT_EQ(
      plugin.descriptor()->instantiate(plugin.descriptor(), kRate,
                                       (Bundle(GetParam(), "-audio.lv2") + "/").c_str(), nullptr),
      nullptr);
}

TEST_P(Lv2BridgeTest, TheOlderDiscoveryFindsTheBundleItWasLoadedFrom) {
  BundlePlugin plugin(Bundle(GetParam(), "-audio.lv2"));
  using Descriptor = const LV2_Descriptor* (*)(uint32_t);
  auto discover = reinterpret_cast<Descriptor>(dlsym(plugin.library(), "lv2_descriptor"));
  ASSERT_NE(discover, nullptr);
  ASSERT_NE(discover(0), nullptr);
  ASSERT_NE(plugin.descriptor(), nullptr);
  EXPECT_STREQ(discover(0)->URI, plugin.descriptor()->URI);
  EXPECT_NE(std::string(discover(0)->URI).find(":audio-inputs"), std::string::npos);
  EXPECT_EQ(discover(1), nullptr);
}

#if SE_LV2_REALTIME_GUARD
TEST_P(Lv2BridgeTest, RunAllocatesLocksAndCallsNothingOnAFreshAudioThread) {
  BundlePlugin plugin(Bundle(GetParam()));
  Voice voice(plugin, PatchOf(GetParam()));
  ASSERT_TRUE(voice.ok());
  // The first events of the instance give the frame its nodes.
  voice.Play({256, false, 0}, nullptr);
  // Every control moves at every run, so every run queues and handles events.
  const auto play = [&] {
    for (int run = 0; run < 64; ++run)
      voice.Play({run % 2 ? 4097u : 100u, run % 4 == 1, run}, nullptr);
  };
  realtime_guard::Counts counts;
  std::thread audio([&] {
    realtime_guard::Start();
    play();
    counts = realtime_guard::Stop();
  });
  audio.join();
  EXPECT_EQ(counts.allocations, 0u);
  EXPECT_EQ(counts.frees, 0u);
  EXPECT_EQ(counts.locks, 0u);
  const realtime_guard::SyscallVerdict verdict = realtime_guard::RunWithoutSystemCalls(play);
  ASSERT_TRUE(verdict.filter_installed);
  EXPECT_EQ(verdict.first_syscall, -1) << "system call number " << verdict.first_syscall;
  EXPECT_TRUE(verdict.completed) << "child status " << verdict.exit_status;
}
#endif

INSTANTIATE_TEST_SUITE_P(EveryShippedModule, Lv2BridgeTest,
                         testing::ValuesIn(se_test::ShippedModules()),
                         [](const auto& info) { return se_test::ModuleTestName(info.param); });

// Instances of every shipped module at once, their bridges sharing one host process, and many
// made and ended one after another.
TEST(Lv2BridgeInstancesTest, ManyAtOnceAndOneAfterAnother) {
  const std::vector<RegisteredModule> modules = se_test::ShippedModules();
  ASSERT_FALSE(modules.empty());
  std::string pattern = testing::TempDir() + "lv2_instances_XXXXXX";
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const std::string folder = pattern;
  std::vector<std::unique_ptr<Patch>> patches;
  std::vector<std::unique_ptr<BundlePlugin>> plugins;
  for (const RegisteredModule& module : modules) {
    ASSERT_EQ(RunModhost({"lv2", module.library, "-o", folder + "/" + module.name + ".lv2"}), 0);
    se_test::TestHost host(se_test::LoadLibrary(module.library));
    patches.push_back(std::make_unique<Patch>(host.pins()));
    plugins.push_back(std::make_unique<BundlePlugin>(folder + "/" + module.name + ".lv2"));
  }
  const std::vector<HostRun> runs(20, HostRun{512, false, 0});
  std::vector<std::unique_ptr<Voice>> voices;
  for (size_t count = 0; count < 48; ++count) {
    const size_t which = count % modules.size();
    voices.push_back(std::make_unique<Voice>(*plugins[which], *patches[which]));
    ASSERT_TRUE(voices.back()->ok());
  }
  std::vector<Heard> heard(voices.size());
  for (const HostRun& run : runs) {
    for (size_t voice = 0; voice < voices.size(); ++voice) voices[voice]->Play(run, &heard[voice]);
  }
  for (size_t which = 0; which < modules.size(); ++which) {
    const Heard played = Played(modules[which], *patches[which], runs);
    for (size_t voice = which; voice < voices.size(); voice += modules.size())
      EXPECT_EQ(FirstDifference(heard[voice], played), "") << modules[which].name << " " << voice;
  }
  voices.clear();
  for (size_t count = 0; count < 400; ++count) {
    const size_t which = count % modules.size();
    Voice voice(*plugins[which], *patches[which]);
    ASSERT_TRUE(voice.ok()) << count;
    voice.Play({64, false, 0}, nullptr);
  }
  fs::remove_all(folder);
}

}  // namespace
