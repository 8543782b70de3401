// The LV2 bridge driven through its entry points as an LV2 host drives it, in whatever ways LV2
// allows: any block length including 0 and runs longer than the module is ever given at once,
// buffers shared between an input and the output, control values changed between runs,
// deactivation and activation, many instances at once and one after another. Whatever the host
// does, the sound must be `modhost render`'s of the same settings, bit for bit. run() must not
// allocate, lock or call the system, even on an audio thread that never ran it before. And a
// bundle whose files do not match gives no plug-in instead of a wrong one.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <lv2/core/lv2.h>
#include <sndfile.h>
#include <sys/wait.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#if SE_LV2_REALTIME_GUARD
#include "tests/reliability/realtime_guard.h"
#endif

namespace {

namespace fs = std::filesystem;

const std::string kPelio = SE_PLUGIN_DIR "/pelio.so";
const std::string kTessavine = SE_PLUGIN_DIR "/tessavine.so";
const double kRate = 44100.0;

// Pelio's ports: 0 Pitch, 1 Harmonics, 2-17 the harmonics' amplitudes, 18 Mod, 19 Output, 20 Freq
// Scale, 21 Quality. Tessavine's: 0 Pitch, 1 Signal Out, 2 Freq Scale.
struct Patch {
  std::map<uint32_t, float> signals;   // CV input port -> its constant value
  std::map<uint32_t, float> controls;  // control port -> value
  uint32_t output = 0;
  std::vector<std::string> render;  // the same settings for modhost render
};

Patch PelioPatch() {
  Patch patch = {{{0, 0.3f}, {18, 2.0f}},
                 {{1, 16}, {20, 0}, {21, 2}},
                 19,
                 {"--set", "Pitch=3", "--set", "1f=5", "--set", "2f=2.5", "--set", "5f=1.25",
                  "--set", "Quality=Ultra-High"}};
  for (uint32_t port = 2; port <= 17; ++port) patch.signals[port] = 0.0f;
  patch.signals[2] = 0.5f;
  patch.signals[3] = 0.25f;
  patch.signals[6] = 0.125f;
  return patch;
}
const Patch kPelioPatch = PelioPatch();
const Patch kTessavinePatch = {{{0, 0.3f}}, {{2, 0}}, 1, {"--set", "Pitch=3"}};

std::string TemporaryFolder() {
  std::string pattern = ::testing::TempDir() + "lv2_bridge_XXXXXX";
  return mkdtemp(pattern.data()) ? pattern : std::string();
}

int RunModhost(const std::vector<std::string>& arguments) {
  std::string command = MODHOST_PATH;
  for (const std::string& argument : arguments) command += " '" + argument + "'";
  const int status = std::system((command + " >/dev/null").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<float> ReadSamples(const std::string& path) {
  SF_INFO info = {};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  std::vector<float> samples(file ? static_cast<size_t>(info.frames) : 0);
  if (file) sf_readf_float(file, samples.data(), info.frames);
  if (file) sf_close(file);
  return samples;
}

// The first sample where two renders differ, or -1.
long FirstDifference(const std::vector<float>& first, const std::vector<float>& second) {
  if (first.size() != second.size()) return 0;
  for (size_t at = 0; at < first.size(); ++at) {
    if (std::memcmp(&first[at], &second[at], sizeof(float)) != 0) return static_cast<long>(at);
  }
  return -1;
}

// A bundle's plug-in as an LV2 host holds it: the bridge loaded, its one descriptor found.
class BundlePlugin {
 public:
  explicit BundlePlugin(const std::string& bundle) : bundle_(bundle + "/") {
    library_ = dlopen((bundle_ + "lv2_bridge.so").c_str(), RTLD_NOW | RTLD_LOCAL);
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
  LV2_Handle Instantiate(double rate = kRate) const {
    return descriptor_ ? descriptor_->instantiate(descriptor_, rate, bundle_.c_str(), nullptr)
                       : nullptr;
  }

 private:
  std::string bundle_;
  void* library_ = nullptr;
  const LV2_Lib_Descriptor* entries_ = nullptr;
  const LV2_Descriptor* descriptor_ = nullptr;
};

// One instance with its buffers, connected as `patch` says.
class Voice {
 public:
  static constexpr uint32_t kLongestRun = 9000;  // beyond the bridge's own longest block

  Voice(const BundlePlugin& plugin, const Patch& patch)
      : descriptor_(plugin.descriptor()), instance_(plugin.Instantiate()), patch_(patch) {
    if (!instance_) return;
    output_.assign(kLongestRun, 0.0f);
    controls_ = patch.controls;
    for (const auto& [port, value] : patch.signals) {
      signals_[port].assign(kLongestRun, value);
      descriptor_->connect_port(instance_, port, signals_[port].data());
    }
    for (auto& [port, value] : controls_) descriptor_->connect_port(instance_, port, &value);
    descriptor_->connect_port(instance_, patch.output, output_.data());
    descriptor_->activate(instance_);
  }
  ~Voice() {
    if (instance_) descriptor_->cleanup(instance_);
  }
  bool ok() const { return instance_ != nullptr; }
  void SetControl(uint32_t port, float value) { controls_[port] = value; }
  void Restart() {
    if (descriptor_->deactivate) descriptor_->deactivate(instance_);
    descriptor_->activate(instance_);
  }

  // One run of `frames`, appended to `heard`. In place, the first signal input shares the output's
  // buffer, as a host that runs plug-ins in place connects them.
  void Run(uint32_t frames, bool in_place, std::vector<float>* heard) {
    const auto first = patch_.signals.begin();
    float* shared = in_place ? output_.data() : signals_[first->first].data();
    std::fill(output_.begin(), output_.begin() + frames, in_place ? first->second : -7.0f);
    descriptor_->connect_port(instance_, first->first, shared);
    descriptor_->run(instance_, frames);
    heard->insert(heard->end(), output_.begin(), output_.begin() + frames);
  }

 private:
  const LV2_Descriptor* descriptor_;
  LV2_Handle instance_;
  Patch patch_;
  std::vector<float> output_;
  std::map<uint32_t, std::vector<float>> signals_;
  std::map<uint32_t, float> controls_;
};

class Lv2BridgeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = TemporaryFolder();
    ASSERT_FALSE(folder_.empty());
    ASSERT_EQ(RunModhost({"lv2", kPelio, "-o", folder_ + "/pelio.lv2"}), 0);
    ASSERT_EQ(RunModhost({"lv2", kTessavine, "-o", folder_ + "/tessavine.lv2"}), 0);
  }
  static void TearDownTestSuite() { fs::remove_all(folder_); }

  // What modhost render makes of `patch` and `extra`, `frames` samples long.
  static std::vector<float> Rendered(const std::string& library, const Patch& patch, size_t frames,
                                     const std::vector<std::string>& extra = {}) {
    const std::string output = folder_ + "/render.wav";
    std::vector<std::string> arguments = {"render", library,     "-o",
                                          output,   "--samples", std::to_string(frames)};
    arguments.insert(arguments.end(), patch.render.begin(), patch.render.end());
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    EXPECT_EQ(RunModhost(arguments), 0);
    return ReadSamples(output);
  }

  static std::string folder_;
};

std::string Lv2BridgeTest::folder_;

TEST_F(Lv2BridgeTest, AnyRunLengthInPlaceOrNotPlaysTheRender) {
  for (const auto& [name, library, patch] :
       {std::make_tuple("tessavine", kTessavine, kTessavinePatch),
        std::make_tuple("pelio", kPelio, kPelioPatch)}) {
    SCOPED_TRACE(name);
    BundlePlugin plugin(folder_ + "/" + name + ".lv2");
    Voice voice(plugin, patch);
    ASSERT_TRUE(voice.ok());
    std::mt19937 draw(14);
    std::vector<float> heard;
    const std::vector<uint32_t> lengths = {0, 1, 0, 4096, 4097, Voice::kLongestRun, 0, 3, 255};
    for (size_t run = 0; heard.size() < 60000; ++run) {
      const uint32_t frames = run < lengths.size() ? lengths[run] : draw() % 2000;
      voice.Run(std::min<uint32_t>(frames, 60000 - heard.size()), run % 3 == 1, &heard);
    }
    EXPECT_EQ(FirstDifference(heard, Rendered(library, patch, heard.size())), -1);
  }
}

TEST_F(Lv2BridgeTest, AChangedControlActsAtTheFirstSampleOfTheRun) {
  BundlePlugin plugin(folder_ + "/tessavine.lv2");
  Voice voice(plugin, kTessavinePatch);
  ASSERT_TRUE(voice.ok());
  std::vector<float> heard;
  for (int run = 0; run < 16; ++run) {
    if (run == 7) voice.SetControl(2, 1.0f);   // 1 Volt/kHz from sample 7000
    if (run == 9) voice.SetControl(2, 0.9f);   // still 1: nothing is sent
    if (run == 12) voice.SetControl(2, 0.2f);  // back to 1 Volt/Octave at sample 12000
    voice.Run(1000, false, &heard);
  }
  EXPECT_EQ(
      FirstDifference(heard, Rendered(kTessavine, kTessavinePatch, heard.size(),
                                      {"--at", "7000:Freq Scale=1", "--at", "12000:Freq Scale=0"})),
      -1);
}

TEST_F(Lv2BridgeTest, ActivationStartsTheModuleAgain) {
  BundlePlugin plugin(folder_ + "/pelio.lv2");
  Voice voice(plugin, kPelioPatch);
  ASSERT_TRUE(voice.ok());
  std::vector<float> first;
  std::vector<float> second;
  for (int run = 0; run < 10; ++run) voice.Run(700, false, &first);
  voice.SetControl(21, 0);
  voice.Run(300, false, &first);
  voice.SetControl(21, 2);
  voice.Restart();
  for (int run = 0; run < 10; ++run) voice.Run(700, false, &second);
  first.resize(second.size());
  EXPECT_EQ(FirstDifference(first, second), -1);
}

TEST_F(Lv2BridgeTest, ManyInstancesAtOnceAndOneAfterAnother) {
  BundlePlugin pelio(folder_ + "/pelio.lv2");
  BundlePlugin tessavine(folder_ + "/tessavine.lv2");
  std::vector<std::unique_ptr<Voice>> voices;
  for (int count = 0; count < 48; ++count) {
    voices.push_back(count % 2 ? std::make_unique<Voice>(pelio, kPelioPatch)
                               : std::make_unique<Voice>(tessavine, kTessavinePatch));
    ASSERT_TRUE(voices.back()->ok());
  }
  std::vector<std::vector<float>> heard(voices.size());
  for (int run = 0; run < 20; ++run) {
    for (size_t voice = 0; voice < voices.size(); ++voice)
      voices[voice]->Run(512, false, &heard[voice]);
  }
  const std::vector<float> pelio_render = Rendered(kPelio, kPelioPatch, heard[0].size());
  const std::vector<float> tessavine_render =
      Rendered(kTessavine, kTessavinePatch, heard[0].size());
  for (size_t voice = 0; voice < voices.size(); ++voice) {
    EXPECT_EQ(FirstDifference(heard[voice], voice % 2 ? pelio_render : tessavine_render), -1)
        << voice;
  }
  voices.clear();
  for (int count = 0; count < 400; ++count) {
    Voice voice(count % 2 ? pelio : tessavine, count % 2 ? kPelioPatch : kTessavinePatch);
    ASSERT_TRUE(voice.ok()) << count;
    std::vector<float> ignored;
    voice.Run(64, false, &ignored);
  }
}

TEST_F(Lv2BridgeTest, ABundleThatDoesNotMatchGivesNoPlugin) {
  const auto copy = [](const std::string& name) {
    const std::string bundle = folder_ + "/" + name;
    fs::remove_all(bundle);
    fs::copy(folder_ + "/tessavine.lv2", bundle);
    return bundle;
  };
  const auto rewrite = [](const std::string& path, const std::string& from, const std::string& to) {
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    text.replace(text.find(from), from.size(), to);
    std::ofstream(path) << text;
  };
  std::string bundle = copy("pins.lv2");
  rewrite(bundle + "/bridge.conf", "pins 3", "pins 4");
  EXPECT_EQ(BundlePlugin(bundle).Instantiate(), nullptr);
  bundle = copy("library.lv2");
  fs::remove(bundle + "/tessavine.so");
  EXPECT_EQ(BundlePlugin(bundle).Instantiate(), nullptr);
  bundle = copy("outside.lv2");
  rewrite(bundle + "/bridge.conf", "library tessavine.so", "library ../pelio.lv2/pelio.so");
  EXPECT_EQ(BundlePlugin(bundle).descriptor(), nullptr);
  bundle = copy("config.lv2");
  fs::remove(bundle + "/bridge.conf");
  EXPECT_EQ(BundlePlugin(bundle).descriptor(), nullptr);
  // A plug-in asked to stand for a bundle that names another URI.
  BundlePlugin pelio(folder_ + "/pelio.lv2");
  EXPECT_EQ(pelio.descriptor()->instantiate(pelio.descriptor(), kRate,
                                            (folder_ + "/tessavine.lv2/").c_str(), nullptr),
            nullptr);
}

TEST_F(Lv2BridgeTest, TheOlderDiscoveryFindsTheBundleItWasLoadedFrom) {
  BundlePlugin plugin(folder_ + "/tessavine.lv2");
  using Descriptor = const LV2_Descriptor* (*)(uint32_t);
  auto discover = reinterpret_cast<Descriptor>(dlsym(plugin.library(), "lv2_descriptor"));
  ASSERT_NE(discover, nullptr);
  ASSERT_NE(discover(0), nullptr);
  EXPECT_STREQ(discover(0)->URI, "urn:se-module:morvane%20Tessavine");
  EXPECT_EQ(discover(1), nullptr);
}

#if SE_LV2_REALTIME_GUARD
TEST_F(Lv2BridgeTest, RunAllocatesLocksAndCallsNothingOnAFreshAudioThread) {
  BundlePlugin plugin(folder_ + "/pelio.lv2");
  Voice voice(plugin, kPelioPatch);
  ASSERT_TRUE(voice.ok());
  std::vector<float> heard;
  heard.reserve(1 << 20);
  voice.Run(256, false, &heard);  // the first events of the instance give the frame its nodes
  // A control moves at every run, so every run queues and handles an event.
  const auto play = [&] {
    for (int run = 0; run < 64; ++run) {
      voice.SetControl(21, static_cast<float>(run % 3));
      voice.Run(run % 2 ? 4097 : 100, run % 4 == 1, &heard);
    }
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

}  // namespace
