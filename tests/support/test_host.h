// The one host of the tests: a module instance driven the way the real host drives one, through
// nothing but `main`, the record's dispatcher and process entry and the host callback, with what
// a test needs close at hand (buffers bound to every audio pin, pin updates at an offset from the
// clock, blocks rendered from the start of the buffers).
//
// Underneath is the host core's HostedModule (host/host_core.h), so a test sees every request the
// module sent, with the reply and the call it came from. The module comes either from a built
// library, loaded as the host loads it, or from a `main` linked into the test program
// (in_process.h), for tests that also reach into the module's class.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/host_core.h"
#include "host/plugin_library.h"
#include "se_sdk/se_abi.h"

namespace se_test {

// The path of the built plug-in `name` (SE_PLUGIN_DIR) and of the test-only library `name`
// (SE_TEST_PLUGIN_DIR), as the system's loader takes it.
std::string PluginPath(const std::string& name);
std::string TestPluginPath(const std::string& name);

// Loads the library at `path`, once per path for the program's life, as a host keeps a library
// loaded while it has instances. Throws std::runtime_error with the loader's text when it cannot.
// Safe to call from several threads.
std::shared_ptr<const se_host::PluginLibrary> LoadLibrary(const std::string& path);

class TestHost {
 public:
  // An instance made by a loaded library's `main`.
  explicit TestHost(std::shared_ptr<const se_host::PluginLibrary> library);
  // An instance made by `entry`, a `main` linked into the test (InProcessEntry<Class>).
  explicit TestHost(PluginEntry entry);
  // Closes the module if the test has not.
  ~TestHost();
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;

  // The host core's side of the instance: every dispatcher opcode, the host's answers (clock, pin
  // count), the recorded requests. Process there moves the host's clock on, as Render does.
  se_host::HostedModule& core() { return *core_; }
  ModuleRecord* record() const { return core_->record(); }
  // The module object of an instance made in-process, as its class.
  template <class Module>
  Module* object() const {
    return static_cast<Module*>(record()->object);
  }
  // The TestHost that created `record`, or null (record_calls.h).
  static TestHost* Owning(const ModuleRecord* record);

  // The pins as the module describes them, asked once.
  const std::vector<se_host::PinInfo>& pins();
  // The index of the pin called `name`; throws std::out_of_range when there is none.
  int32_t PinIndex(const std::string& name);

  // What a host does before the first block: the sample rate, its clock, a zeroed buffer of
  // `max_block` samples bound to every audio pin, then open.
  void Start(float sample_rate, uint32_t clock, int32_t max_block);
  // Binds a zeroed buffer of `samples` samples to every audio pin (Start does).
  void BindBuffers(int32_t samples);
  // The buffer bound to audio pin `pin`; throws std::out_of_range for any other pin.
  float* buffer(int32_t pin);
  int32_t buffer_samples() const { return buffer_samples_; }
  void Fill(int32_t pin, float value);

  // A pin update (status 0) at `offset` samples after the host's clock.
  void SetPinAt(int32_t pin, int32_t value, uint32_t offset);
  // Renders `frames` samples from `buffer_offset` of every buffer; the host's clock moves on.
  void Render(int32_t frames, int32_t buffer_offset = 0);

 private:
  void Adopt(se_host::CreateResult created);

  std::unique_ptr<se_host::HostedModule> core_;
  std::vector<se_host::PinInfo> pins_;
  bool pins_described_ = false;
  std::vector<std::vector<float>> buffers_;  // per pin; empty for pins that are not audio
  int32_t buffer_samples_ = 0;
};

}  // namespace se_test
