// The LV2 bridge: one plug-in binary that plays any module library of this protocol in an LV2
// host (Ardour, Carla, Qtractor, jalv, lilv's tools). `modhost lv2` copies it into a bundle beside
// a module library, the plug-in's .ttl and bridge.conf (bundle_format.h); when a host instantiates
// the plug-in, the bridge loads that library with the host core, creates and opens one module and
// from then on stands where the protocol's host stands: it answers the module's requests (the
// host core's answers: its sample clock, and the pin count, which is the module's own), hands it
// the host's buffers through the pins' variables, and turns control values into pin updates.
//
// Port i is pin i. A signal input (CV or audio port) and an audio output are the host's buffers,
// stored in the pin's variable before each block; the module reads and writes them in place. The
// only copy is for a host that runs the plug-in in place: an input that shares its buffer with an
// output is copied first, since the module may write its output before it reads that input. A
// control port's value is rounded to a whole number and, when it differs from the value last
// sent, goes to the module as a pin-update event (status 0) at the first sample of the run.
//
// LV2's threading classes decide where work may happen. Instantiation, activate and cleanup load
// the library, create, open and close modules, and allocate. connect_port and run are for the
// audio thread: they allocate nothing, take no lock and make no system call (the module's own
// event queue may allocate a node for an event it has never had room for; the frame keeps the
// nodes it has). The host core finds the calling instance through a thread_local, which it is
// built to keep in static TLS (host/CMakeLists.txt), so that a first run() on a new audio
// thread does not make the dynamic loader allocate it.
//
// No exception leaves an entry: a failure to instantiate answers null with one line on standard
// error, and a module that throws out of a block leaves that block silent.
#include <dlfcn.h>
#include <lv2/core/lv2.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "host/host_core.h"
#include "host/lv2/bundle_format.h"
#include "host/plugin_library.h"

namespace {

using se_lv2::PortRole;

// The longest block the module is told of (SetBlockSize) and ever given: a longer run() is
// rendered in pieces of this length, so a module that sizes its work by the block size is safe
// whatever the LV2 host does. It also sizes the copies that in-place buffers need.
constexpr uint32_t kLongestBlock = 4096;

void Complain(const std::string& bundle, const std::string& message) {
  std::fprintf(stderr, "lv2_bridge: %s: %s\n", bundle.c_str(), message.c_str());
}

std::string InBundle(const std::string& bundle, const char* name) {
  return bundle.empty() || bundle.back() == '/' ? bundle + name : bundle + "/" + name;
}

bool ReadConfig(const std::string& bundle, se_lv2::BundleConfig* config, std::string* error) {
  std::ifstream file(InBundle(bundle, se_lv2::kConfigFile), std::ios::binary);
  std::ostringstream text;
  if (file) text << file.rdbuf();
  if (!file || !se_lv2::ParseBundleConfig(text.str(), config)) {
    *error = std::string("no readable ") + se_lv2::kConfigFile +
             " written by modhost lv2 in the bundle; make the bundle again";
    return false;
  }
  return true;
}

// A control port's value as the module's pin takes it: a boolean is on above 0 (LV2's toggled),
// anything else the nearest whole number, held within 32 bits. NaN is no value at all.
bool ControlValue(int32_t datatype, float value, int32_t* converted) {
  if (std::isnan(value)) return false;
  if (datatype == static_cast<int32_t>(PinDatatype::Bool)) {
    *converted = value > 0.0f ? 1 : 0;
  } else if (value >= 2147483648.0f) {
    *converted = INT32_MAX;
  } else if (value <= -2147483648.0f) {
    *converted = INT32_MIN;
  } else {
    *converted = static_cast<int32_t>(std::lround(value));
  }
  return true;
}

struct Port {
  PortRole role = PortRole::kNone;
  int32_t datatype = 0;
  void* variable = nullptr;  // the module member bound to the pin
  void* data = nullptr;      // what the host connected
  int32_t sent = 0;          // the value last sent to a control pin
  bool unsent = true;        // nothing sent since the module was opened
};

class Bridge {
 public:
  // Loads the bundle's module library and opens one module at `sample_rate`. Null, with `error`,
  // when the bundle, the library or the module is not what the plug-in's .ttl promises.
  static std::unique_ptr<Bridge> Create(const std::string& bundle, const char* uri,
                                        double sample_rate, std::string* error);

  void Connect(uint32_t port, void* data) {
    if (port < ports_.size()) ports_[port].data = data;
  }
  // A module that has rendered is replaced by a fresh one, as LV2 asks of activation; the next
  // run sends it every control value again.
  void Activate();
  void Run(uint32_t frames) noexcept;

 private:
  Bridge() = default;
  bool OpenModule(std::string* error);
  bool AllConnected() const;
  void SendChangedControls();
  void BindBuffers(uint32_t offset, uint32_t length);
  void Silence(uint32_t frames);

  std::string bundle_;
  std::shared_ptr<se_host::PluginLibrary> library_;
  std::unique_ptr<se_host::HostedModule> module_;
  float sample_rate_ = 44100.0f;
  std::vector<Port> ports_;
  std::vector<uint32_t> inputs_;    // signal input ports
  std::vector<uint32_t> outputs_;   // audio output ports
  std::vector<uint32_t> controls_;  // control input ports
  std::vector<float> scratch_;      // kLongestBlock samples per audio output
  bool rendered_ = false;           // the open module has rendered
};

std::unique_ptr<Bridge> Bridge::Create(const std::string& bundle, const char* uri,
                                       double sample_rate, std::string* error) {
  se_lv2::BundleConfig config;
  if (!ReadConfig(bundle, &config, error)) return nullptr;
  if (uri == nullptr || config.uri != uri) {
    *error = std::string(se_lv2::kConfigFile) + " names " + config.uri + ", not the plug-in " +
             (uri ? uri : "(none)") + "; make the bundle again";
    return nullptr;
  }
  std::unique_ptr<Bridge> bridge(new Bridge());
  bridge->bundle_ = bundle;
  bridge->sample_rate_ = static_cast<float>(sample_rate);
  bridge->library_ = std::make_shared<se_host::PluginLibrary>();
  if (!bridge->library_->Load(InBundle(bundle, config.library.c_str()))) {
    *error = "cannot load the module library: " + bridge->library_->error_text();
    return nullptr;
  }
  bridge->ports_.resize(static_cast<size_t>(config.pins));
  if (!bridge->OpenModule(error)) return nullptr;
  for (uint32_t index = 0; index < bridge->ports_.size(); ++index) {
    switch (bridge->ports_[index].role) {
      case PortRole::kSignalInput:
        bridge->inputs_.push_back(index);
        break;
      case PortRole::kAudioOutput:
        bridge->outputs_.push_back(index);
        break;
      case PortRole::kControlInput:
        bridge->controls_.push_back(index);
        break;
      case PortRole::kNone:
        break;
    }
  }
  bridge->scratch_.assign(bridge->outputs_.size() * kLongestBlock, 0.0f);
  return bridge;
}

bool Bridge::OpenModule(std::string* error) {
  module_.reset();
  se_host::CreateResult created = se_host::HostedModule::Create(library_);
  if (!created.module) {
    *error = "the module library gives no module: " + created.error_text;
    return false;
  }
  // Recorded requests would grow a log inside run(); the answers are all the bridge needs.
  created.module->set_recording(false);
  const std::vector<se_host::PinInfo> pins = created.module->EnumeratePins();
  if (pins.size() != ports_.size()) {
    *error = "the module has " + std::to_string(pins.size()) + " pins and the plug-in " +
             std::to_string(ports_.size()) + " ports; make the bundle again";
    return false;
  }
  for (size_t index = 0; index < pins.size(); ++index) {
    const se_host::PinInfo& pin = pins[index];
    const PortRole role = se_lv2::RoleOfPin(pin);
    if (role == PortRole::kNone) {
      *error = "pin " + std::to_string(index) + " of the module can be no LV2 port";
      return false;
    }
    ports_[index].role = role;
    ports_[index].datatype = pin.datatype;
    ports_[index].variable = pin.variable_address;
    ports_[index].unsent = true;
  }
  module_ = std::move(created.module);
  module_->set_pin_count(static_cast<int32_t>(pins.size()));
  module_->SetSampleRate(sample_rate_);
  module_->SetBlockSize(static_cast<int32_t>(kLongestBlock));
  module_->Open();
  rendered_ = false;
  return true;
}

void Bridge::Activate() {
  if (!rendered_) return;
  std::string error;
  if (!OpenModule(&error)) Complain(bundle_, error);
}

bool Bridge::AllConnected() const {
  for (uint32_t index : inputs_) {
    if (ports_[index].data == nullptr) return false;
  }
  for (uint32_t index : outputs_) {
    if (ports_[index].data == nullptr) return false;
  }
  return true;
}

void Bridge::SendChangedControls() {
  const uint32_t first_sample = module_->sample_clock();
  for (uint32_t index : controls_) {
    Port& port = ports_[index];
    if (port.data == nullptr) continue;
    int32_t value = 0;
    if (!ControlValue(port.datatype, *static_cast<const float*>(port.data), &value)) continue;
    if (!port.unsent && value == port.sent) continue;
    module_->PinUpdate(static_cast<int32_t>(index), 0, value, first_sample);
    port.sent = value;
    port.unsent = false;
  }
}

// The bound variable of an audio pin is a float* member of the module; the host owns its value.
void StoreBuffer(void* variable, float* buffer) { std::memcpy(variable, &buffer, sizeof buffer); }

void Bridge::BindBuffers(uint32_t offset, uint32_t length) {
  // An output that is also some input's buffer keeps that input's samples in its copy.
  for (size_t slot = 0; slot < outputs_.size(); ++slot) {
    const float* output = static_cast<const float*>(ports_[outputs_[slot]].data) + offset;
    for (uint32_t index : inputs_) {
      if (static_cast<const float*>(ports_[index].data) + offset == output) {
        std::memcpy(&scratch_[slot * kLongestBlock], output, length * sizeof(float));
        break;
      }
    }
  }
  for (uint32_t index : inputs_) {
    float* input = static_cast<float*>(ports_[index].data) + offset;
    for (size_t slot = 0; slot < outputs_.size(); ++slot) {
      if (static_cast<float*>(ports_[outputs_[slot]].data) + offset == input) {
        input = &scratch_[slot * kLongestBlock];
        break;
      }
    }
    StoreBuffer(ports_[index].variable, input);
  }
  // A module that leaves an output unwritten gives silence, not what the host had there.
  for (uint32_t index : outputs_) {
    float* output = static_cast<float*>(ports_[index].data) + offset;
    std::fill(output, output + length, 0.0f);
    StoreBuffer(ports_[index].variable, output);
  }
}

void Bridge::Silence(uint32_t frames) {
  for (uint32_t index : outputs_) {
    float* output = static_cast<float*>(ports_[index].data);
    if (output != nullptr) std::fill(output, output + frames, 0.0f);
  }
}

void Bridge::Run(uint32_t frames) noexcept {
  // The protocol has no empty block; a run of none changes nothing, and the control values wait
  // for the next run's first sample.
  if (frames == 0) return;
  // Unconnected ports break LV2's contract; with nowhere to read or write, the block is silent.
  if (!module_ || !AllConnected()) {
    Silence(frames);
    return;
  }
  try {
    SendChangedControls();
    for (uint32_t done = 0; done < frames;) {
      const uint32_t length = std::min(frames - done, kLongestBlock);
      BindBuffers(done, length);
      module_->Process(0, static_cast<int32_t>(length));
      done += length;
    }
    rendered_ = true;
  } catch (...) {
    Silence(frames);
  }
}

// ---- LV2's entry points ------------------------------------------------------------------------

LV2_Handle Instantiate(const LV2_Descriptor* descriptor, double sample_rate,
                       const char* bundle_path, const LV2_Feature* const*) {
  const std::string bundle = bundle_path ? bundle_path : "";
  try {
    std::string error;
    std::unique_ptr<Bridge> bridge = Bridge::Create(bundle, descriptor->URI, sample_rate, &error);
    if (!bridge) {
      Complain(bundle, error);
      return nullptr;
    }
    return bridge.release();
  } catch (...) {
    Complain(bundle, "out of memory");
    return nullptr;
  }
}

void ConnectPort(LV2_Handle instance, uint32_t port, void* data) {
  static_cast<Bridge*>(instance)->Connect(port, data);
}

void Activate(LV2_Handle instance) {
  try {
    static_cast<Bridge*>(instance)->Activate();
  } catch (...) {
  }
}

void Run(LV2_Handle instance, uint32_t frames) { static_cast<Bridge*>(instance)->Run(frames); }

void Cleanup(LV2_Handle instance) {
  try {
    delete static_cast<Bridge*>(instance);
  } catch (...) {
  }
}

const void* ExtensionData(const char*) { return nullptr; }

// The one plug-in of a bundle, with the URI its bridge.conf names.
struct BundlePlugin {
  LV2_Lib_Descriptor library;
  LV2_Descriptor plugin;
  std::string uri;
};

const LV2_Descriptor* GetPlugin(LV2_Lib_Handle handle, uint32_t index) {
  return index == 0 ? &static_cast<BundlePlugin*>(handle)->plugin : nullptr;
}

void CleanupLibrary(LV2_Lib_Handle handle) { delete static_cast<BundlePlugin*>(handle); }

BundlePlugin* LoadBundle(const std::string& bundle) {
  try {
    se_lv2::BundleConfig config;
    std::string error;
    if (!ReadConfig(bundle, &config, &error)) {
      Complain(bundle, error);
      return nullptr;
    }
    BundlePlugin* loaded = new BundlePlugin();
    loaded->uri = config.uri;
    loaded->library = {loaded, sizeof(LV2_Lib_Descriptor), CleanupLibrary, GetPlugin};
    loaded->plugin = {
        loaded->uri.c_str(), Instantiate, ConnectPort, Activate, Run, nullptr, Cleanup,
        ExtensionData};
    return loaded;
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

// The discovery that gives the bundle's folder: the plug-in's URI is in a file there.
LV2_SYMBOL_EXPORT const LV2_Lib_Descriptor* lv2_lib_descriptor(const char* bundle_path,
                                                               const LV2_Feature* const*) {
  BundlePlugin* loaded = LoadBundle(bundle_path ? bundle_path : "");
  return loaded ? &loaded->library : nullptr;
}

// The older discovery, which LV2 asks every library to keep: the bundle is the folder this
// library was loaded from.
LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
  static const std::unique_ptr<BundlePlugin> loaded([] {
    Dl_info info = {};
    if (dladdr(reinterpret_cast<void*>(&lv2_descriptor), &info) == 0 || !info.dli_fname) {
      return static_cast<BundlePlugin*>(nullptr);
    }
    const std::string path = info.dli_fname;
    const size_t slash = path.rfind('/');
    return LoadBundle(slash == std::string::npos ? "./" : path.substr(0, slash + 1));
  }());
  return loaded && index == 0 ? &loaded->plugin : nullptr;
}
