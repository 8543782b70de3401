// The test host (see test_host.h).
#include "tests/support/test_host.h"

#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace se_test {

namespace {

// Which TestHost made which record, for the record-level calls of record_calls.h. Records are
// reached from any test thread, so the map has a lock; it is never taken inside a module's call.
std::mutex g_owners_lock;
std::map<const ModuleRecord*, TestHost*>& Owners() {
  static std::map<const ModuleRecord*, TestHost*> owners;
  return owners;
}

}  // namespace

std::string PluginPath(const std::string& name) {
  return std::string(SE_PLUGIN_DIR) + "/" + name + SE_PLUGIN_SUFFIX;
}

std::string TestPluginPath(const std::string& name) {
  return std::string(SE_TEST_PLUGIN_DIR) + "/" + name + SE_PLUGIN_SUFFIX;
}

std::shared_ptr<const se_host::PluginLibrary> LoadLibrary(const std::string& path) {
  static std::mutex lock;
  static std::map<std::string, std::shared_ptr<const se_host::PluginLibrary>> loaded;
  std::lock_guard<std::mutex> hold(lock);
  std::shared_ptr<const se_host::PluginLibrary>& library = loaded[path];
  if (!library) {
    auto fresh = std::make_shared<se_host::PluginLibrary>();
    if (!fresh->Load(path))
      throw std::runtime_error("cannot load " + path + ": " + fresh->error_text());
    library = std::move(fresh);
  }
  return library;
}

TestHost::TestHost(std::shared_ptr<const se_host::PluginLibrary> library) {
  Adopt(se_host::HostedModule::Create(std::move(library)));
}

TestHost::TestHost(PluginEntry entry) { Adopt(se_host::HostedModule::Create(entry)); }

void TestHost::Adopt(se_host::CreateResult created) {
  if (!created.module) throw std::runtime_error("no module: " + created.error_text);
  core_ = std::move(created.module);
  std::lock_guard<std::mutex> hold(g_owners_lock);
  Owners()[core_->record()] = this;
}

TestHost::~TestHost() {
  {
    std::lock_guard<std::mutex> hold(g_owners_lock);
    auto owner = Owners().find(core_->record());
    if (owner != Owners().end() && owner->second == this) Owners().erase(owner);
  }
  core_.reset();
}

TestHost* TestHost::Owning(const ModuleRecord* record) {
  std::lock_guard<std::mutex> hold(g_owners_lock);
  auto owner = Owners().find(record);
  return owner == Owners().end() ? nullptr : owner->second;
}

const std::vector<se_host::PinInfo>& TestHost::pins() {
  if (!pins_described_) {
    pins_ = core_->EnumeratePins();
    pins_described_ = true;
  }
  return pins_;
}

int32_t TestHost::PinIndex(const std::string& name) {
  for (const se_host::PinInfo& pin : pins()) {
    if (pin.name == name) return pin.index;
  }
  throw std::out_of_range("the module has no pin called " + name);
}

void TestHost::Start(float sample_rate, uint32_t clock, int32_t max_block) {
  core_->SetSampleRate(sample_rate);
  core_->set_sample_clock(clock);
  BindBuffers(max_block);
  core_->Open();
}

void TestHost::BindBuffers(int32_t samples) {
  buffer_samples_ = samples;
  buffers_.assign(pins().size(), std::vector<float>());
  for (const se_host::PinInfo& pin : pins()) {
    if (pin.datatype != static_cast<int32_t>(PinDatatype::Audio)) continue;
    buffers_[pin.index].assign(static_cast<size_t>(samples), 0.0f);
    core_->BindAudioPin(pin.index, buffers_[pin.index].data());
  }
}

float* TestHost::buffer(int32_t pin) {
  if (pin < 0 || static_cast<size_t>(pin) >= buffers_.size() || buffers_[pin].empty()) {
    throw std::out_of_range("no buffer is bound to pin " + std::to_string(pin));
  }
  return buffers_[pin].data();
}

void TestHost::Fill(int32_t pin, float value) {
  float* samples = buffer(pin);
  for (int32_t index = 0; index < buffer_samples_; ++index) samples[index] = value;
}

void TestHost::SetPinAt(int32_t pin, int32_t value, uint32_t offset) {
  core_->PinUpdate(pin, 0, value, core_->sample_clock() + offset);
}

void TestHost::Render(int32_t frames, int32_t buffer_offset) {
  core_->Process(buffer_offset, frames);
}

}  // namespace se_test
