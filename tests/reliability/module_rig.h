// One module instance loaded from its built library and driven through the host core the way the
// real host drives it: sample rate, open, one buffer per audio pin, events, blocks. The
// reliability tests (threads, clock wrap, soak, real-time safety) all need exactly this and differ
// only in what they feed the module and what they check.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/host_core.h"
#include "host/plugin_library.h"

namespace reliability {

// Pin indices of the two modules.
namespace pelio_pins {
constexpr int32_t kPitch = 0;
constexpr int32_t kHarmonics = 1;
constexpr int32_t kFirstAmplitude = 2;  // 1f; 16f is kFirstAmplitude + 15
constexpr int32_t kMod = 18;
constexpr int32_t kOutput = 19;
constexpr int32_t kFreqScale = 20;
constexpr int32_t kQuality = 21;
}  // namespace pelio_pins

namespace tessavine_pins {
constexpr int32_t kPitch = 0;
constexpr int32_t kOutput = 1;
constexpr int32_t kFreqScale = 2;
}  // namespace tessavine_pins

// Loads SE_PLUGIN_DIR/<name>SE_PLUGIN_SUFFIX; throws with the loader's text when it fails.
inline std::shared_ptr<const se_host::PluginLibrary> LoadPlugin(const std::string& name) {
  auto library = std::make_shared<se_host::PluginLibrary>();
  if (!library->Load(std::string(SE_PLUGIN_DIR) + "/" + name + SE_PLUGIN_SUFFIX)) {
    throw std::runtime_error("cannot load " + name + ": " + library->error_text());
  }
  return library;
}

class ModuleRig {
 public:
  // Creates an instance, sets the sample rate, gives the host clock `clock`, opens it and binds a
  // buffer of `max_block` samples to every audio pin. Inputs start at 0.
  ModuleRig(std::shared_ptr<const se_host::PluginLibrary> library, float sample_rate,
            uint32_t clock, int32_t max_block)
      : max_block_(max_block) {
    se_host::CreateResult created = se_host::HostedModule::Create(std::move(library));
    if (!created.module) throw std::runtime_error("cannot create: " + created.error_text);
    module_ = std::move(created.module);
    module_->set_recording(false);
    module_->SetSampleRate(sample_rate);
    module_->set_sample_clock(clock);
    const std::vector<se_host::PinInfo> pins = module_->EnumeratePins();
    buffers_.resize(pins.size());
    for (const se_host::PinInfo& pin : pins) {
      if (pin.datatype != static_cast<int32_t>(PinDatatype::Audio)) continue;
      buffers_[pin.index].assign(static_cast<size_t>(max_block), 0.0f);
      module_->BindAudioPin(pin.index, buffers_[pin.index].data());
    }
    module_->Open();
  }

  se_host::HostedModule& module() { return *module_; }
  float* buffer(int32_t pin) { return buffers_.at(static_cast<size_t>(pin)).data(); }
  int32_t max_block() const { return max_block_; }

  void Fill(int32_t pin, float value) {
    std::vector<float>& samples = buffers_.at(static_cast<size_t>(pin));
    for (float& sample : samples) sample = value;
  }

  // A pin update at `offset` samples from the host's current clock.
  void SetPinAt(int32_t pin, int32_t value, uint32_t offset) {
    module_->PinUpdate(pin, 0, value, module_->sample_clock() + offset);
  }

  // Renders one block from the start of the buffers; the host's clock moves on by `frames`.
  void Render(int32_t frames) { module_->Process(0, frames); }

 private:
  std::unique_ptr<se_host::HostedModule> module_;
  std::vector<std::vector<float>> buffers_;
  int32_t max_block_;
};

// A small, fast, seedable generator, the same on every target (the tests compare bits).
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint32_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return static_cast<uint32_t>(state_ >> 16);
  }
  // In [0, bound).
  uint32_t Below(uint32_t bound) { return Next() % bound; }
  // In [low, high).
  float Uniform(float low, float high) {
    return low + (high - low) * (static_cast<float>(Next() >> 8) / 16777216.0f);
  }

 private:
  uint64_t state_;
};

}  // namespace reliability
