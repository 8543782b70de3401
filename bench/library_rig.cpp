// The benchmark's host for the built plug-in libraries (library_rig.h).
#include "bench/library_rig.h"

#include <map>
#include <utility>

namespace bench {

std::string PluginPath(const std::string& folder, const std::string& name) {
#if defined(_WIN32)
  return folder + "/" + name + ".dll";
#else
  return folder + "/" + name + ".so";
#endif
}

std::shared_ptr<const se_host::PluginLibrary> LoadPlugin(const std::string& path,
                                                         std::string* error) {
  static std::map<std::string, std::shared_ptr<const se_host::PluginLibrary>> loaded;
  const auto found = loaded.find(path);
  if (found != loaded.end()) return found->second;
  auto library = std::make_shared<se_host::PluginLibrary>();
  if (!library->Load(path)) {
    *error = library->error_text();
    return nullptr;
  }
  loaded[path] = library;
  return library;
}

std::unique_ptr<LibraryInstance> LibraryInstance::Create(const std::string& path, float sample_rate,
                                                         int32_t block_size, int32_t buffer_samples,
                                                         std::string* error) {
  std::shared_ptr<const se_host::PluginLibrary> library = LoadPlugin(path, error);
  if (!library) return nullptr;
  se_host::CreateResult created = se_host::HostedModule::Create(library);
  if (!created.module) {
    *error = path + ": " + created.error_text;
    return nullptr;
  }
  std::unique_ptr<LibraryInstance> instance(new LibraryInstance());
  se_host::HostedModule& module = *created.module;
  module.set_recording(false);
  instance->pins_ = module.EnumeratePins();
  module.set_pin_count(static_cast<int32_t>(instance->pins_.size()));
  module.SetSampleRate(sample_rate);
  module.SetBlockSize(block_size);
  module.Open();
  size_t audio_pins = 0;
  for (const se_host::PinInfo& pin : instance->pins_) {
    if (pin.datatype == static_cast<int32_t>(PinDatatype::Audio)) ++audio_pins;
  }
  instance->arena_.reset(new BufferArena(audio_pins, buffer_samples));
  instance->buffers_.assign(instance->pins_.size(), nullptr);
  size_t next = 0;
  for (const se_host::PinInfo& pin : instance->pins_) {
    if (pin.datatype != static_cast<int32_t>(PinDatatype::Audio)) continue;
    instance->buffers_[pin.index] = instance->arena_->Buffer(next++);
  }
  module.BindAudioPins(
      [&instance](const se_host::PinInfo& pin) -> float* { return instance->buffers_[pin.index]; });
  instance->record_ = module.record();
  instance->module_ = std::move(created.module);
  return instance;
}

LibraryInstance::~LibraryInstance() {
  // Closes the module (opcode 1) while its library is still loaded.
  module_.reset();
}

int32_t LibraryInstance::PinIndex(const std::string& name) const {
  for (const se_host::PinInfo& pin : pins_) {
    if (pin.name == name) return pin.index;
  }
  return -1;
}

float* LibraryInstance::Buffer(int32_t pin) {
  if (pin < 0 || static_cast<size_t>(pin) >= buffers_.size()) return nullptr;
  return buffers_[pin];
}

}  // namespace bench
