// The host side of the protocol for one module instance. The header explains how a request finds
// its instance; this file keeps that bookkeeping in CallScope and nowhere else.
#include "host/host_core.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <utility>

namespace se_host {

namespace {

// The instance whose call into a library is running on this thread, innermost first. Set and
// restored only by CallScope.
thread_local HostedModule* t_calling_instance = nullptr;

// Requests that came from no call of ours: they cannot be attributed, only counted.
std::atomic<uint64_t> g_stray_requests{0};

// Stands in the `extra` field of a pin description until the module writes there. Only its
// address matters: no module can produce it by accident.
const char kExtraUnwritten[] = "(not written)";

int32_t OpcodeValue(ModuleOpcode opcode) { return static_cast<int32_t>(opcode); }

}  // namespace

// Publishes an instance as the one this thread is calling into, with the kind of call, for the
// callback to find; restores whatever was published before on exit, so that nested calls (an
// observer driving another instance, say) unwind correctly.
class HostedModule::CallScope {
 public:
  CallScope(HostedModule* module, CallSite site, int32_t dispatch_opcode)
      : module_(module),
        previous_instance_(t_calling_instance),
        previous_site_(module->site_),
        previous_opcode_(module->dispatch_opcode_) {
    t_calling_instance = module;
    module->site_ = site;
    module->dispatch_opcode_ = dispatch_opcode;
  }
  ~CallScope() {
    module_->site_ = previous_site_;
    module_->dispatch_opcode_ = previous_opcode_;
    t_calling_instance = previous_instance_;
  }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  HostedModule* module_;
  HostedModule* previous_instance_;
  CallSite previous_site_;
  int32_t previous_opcode_;
};

const char* CreateErrorName(CreateError error) {
  switch (error) {
    case CreateError::kNone:
      return "none";
    case CreateError::kEntryReturnedNull:
      return "main returned null";
    case CreateError::kNoMagic:
      return "no magic";
    case CreateError::kNoEntryPoints:
      return "no entry points";
  }
  return "unknown";
}

CreateResult HostedModule::Create(PluginEntry entry) { return CreateWith(entry, nullptr); }

CreateResult HostedModule::Create(std::shared_ptr<const PluginLibrary> library) {
  PluginEntry entry = library ? library->entry() : nullptr;
  return CreateWith(entry, std::move(library));
}

CreateResult HostedModule::CreateWith(PluginEntry entry,
                                      std::shared_ptr<const PluginLibrary> library) {
  CreateResult result;
  if (!entry) {
    result.error = CreateError::kEntryReturnedNull;
    result.error_text = "there is no main to call";
    return result;
  }

  // The instance must exist before `main` runs: a module may already ask the host from there.
  std::unique_ptr<HostedModule> module(new HostedModule());
  module->library_ = std::move(library);
  ModuleRecord* record = nullptr;
  {
    CallScope scope(module.get(), CallSite::kEntry, 0);
    record = entry(&HostedModule::Callback);
  }

  if (!record) {
    result.error = CreateError::kEntryReturnedNull;
    result.error_text = "main returned a null record";
    return result;
  }
  int32_t magic = 0;
  std::memcpy(&magic, record, sizeof magic);
  if (magic != kModuleRecordMagic) {
    char text[96];
    std::snprintf(text, sizeof text, "the record starts with 0x%08X instead of the magic 0x%08X",
                  static_cast<unsigned>(magic), static_cast<unsigned>(kModuleRecordMagic));
    result.error = CreateError::kNoMagic;
    result.error_text = text;
    return result;
  }
  if (!record->dispatcher || !record->process) {
    result.error = CreateError::kNoEntryPoints;
    result.error_text =
        record->dispatcher ? "the record has no process entry" : "the record has no dispatcher";
    return result;
  }

  module->record_ = record;
  for (HostRequest& request : module->requests_) {
    if (request.site == CallSite::kEntry && request.record != record) {
      request.foreign_record = true;
      ++module->foreign_request_count_;
    }
  }
  result.module = std::move(module);
  return result;
}

HostedModule::~HostedModule() {
  if (usable()) Close();
}

uint64_t HostedModule::StrayRequestCount() { return g_stray_requests.load(); }

int32_t SE_CDECL HostedModule::Callback(ModuleRecord* record, int32_t opcode, int32_t index,
                                        int32_t value, void* ptr, float opt) {
  HostedModule* module = t_calling_instance;
  if (!module) {
    g_stray_requests.fetch_add(1);
    return 0;
  }
  return module->Answer(record, opcode, index, value, ptr, opt);
}

// Runs inside the module's own call, so nothing may escape from here into the module's frames.
int32_t HostedModule::Answer(ModuleRecord* record, int32_t opcode, int32_t index, int32_t value,
                             void* ptr, float opt) noexcept {
  HostRequest request;
  request.record = record;
  request.opcode = opcode;
  request.index = index;
  request.value = value;
  request.ptr = reinterpret_cast<std::uintptr_t>(ptr);
  request.opt = opt;
  request.site = site_;
  request.dispatch_opcode = site_ == CallSite::kDispatcher ? dispatch_opcode_ : 0;
  // Inside `main` the instance's record is not known yet; CreateWith judges those afterwards.
  request.foreign_record = site_ != CallSite::kEntry && record != record_;

  if (opcode == static_cast<int32_t>(HostOpcode::GetSampleClock)) {
    request.reply = static_cast<int32_t>(sample_clock_);
  } else if (opcode == static_cast<int32_t>(HostOpcode::GetPinCount)) {
    request.reply = pin_count_;
  } else {
    request.reply = default_reply_;
  }

  ++request_count_;
  if (request.foreign_record) ++foreign_request_count_;
  try {
    if (recording_) requests_.push_back(request);
    if (observer_) observer_(request);
  } catch (...) {
    // A full log or a failing observer must not take the module down; the reply still stands.
  }
  return request.reply;
}

int32_t HostedModule::Dispatch(int32_t opcode, int32_t index, int32_t value, void* ptr, float opt) {
  if (!usable()) return 0;
  int32_t reply = 0;
  {
    CallScope scope(this, CallSite::kDispatcher, opcode);
    reply = record_->dispatcher(record_, opcode, index, value, ptr, opt);
  }
  if (opcode == OpcodeValue(ModuleOpcode::Close)) closed_ = true;
  return reply;
}

int32_t HostedModule::Open() { return Dispatch(OpcodeValue(ModuleOpcode::Open), 0, 0, nullptr, 0); }

int32_t HostedModule::Close() {
  return Dispatch(OpcodeValue(ModuleOpcode::Close), 0, 0, nullptr, 0);
}

int32_t HostedModule::SetSampleRate(float sample_rate) {
  return Dispatch(OpcodeValue(ModuleOpcode::SetSampleRate), 0, 0, nullptr, sample_rate);
}

int32_t HostedModule::SetBlockSize(int32_t block_size) {
  return Dispatch(OpcodeValue(ModuleOpcode::SetBlockSize), 0, block_size, nullptr, 0);
}

int32_t HostedModule::OpaqueQuery4(void* ptr) {
  return Dispatch(OpcodeValue(ModuleOpcode::OpaqueQuery4), 0, 0, ptr, 0);
}

int32_t HostedModule::OpaqueQuery5(void* ptr) {
  return Dispatch(OpcodeValue(ModuleOpcode::OpaqueQuery5), 0, 0, ptr, 0);
}

int32_t HostedModule::GetPinProperties(int32_t index, PinDescription* description) {
  return Dispatch(OpcodeValue(ModuleOpcode::GetPinProperties), index, 0, description, 0);
}

int32_t HostedModule::AddEvent(const SeEvent& event) {
  SeEvent copy = event;
  return Dispatch(OpcodeValue(ModuleOpcode::AddEvent), 0, 0, &copy, 0);
}

int32_t HostedModule::Resume() {
  return Dispatch(OpcodeValue(ModuleOpcode::Resume), 0, 0, nullptr, 0);
}

int32_t HostedModule::GetModuleProperties(ModuleProperties* properties) {
  return Dispatch(OpcodeValue(ModuleOpcode::GetModuleProperties), 0, 0, properties, 0);
}

int32_t HostedModule::QueueEmpty() {
  return Dispatch(OpcodeValue(ModuleOpcode::QueueEmpty), 0, 0, nullptr, 0);
}

bool ReadModuleTextsWith(const PropertiesAsker& ask, ModuleTexts* texts) {
  // The real host's record is longer than the three words a module fills; room to spare keeps a
  // module that writes past them from trampling our stack.
  struct {
    ModuleProperties properties;
    int32_t host_fields[16];
  } record = {};
  if (ask(&record.properties) == 0) return false;
  // A text without a terminator is kept up to the limit.
  ReadModuleText(record.properties.name, kModuleTextLimit, &texts->name);
  ReadModuleText(record.properties.id, kModuleTextLimit, &texts->id);
  ReadModuleText(record.properties.about, kModuleTextLimit, &texts->about);
  return true;
}

bool HostedModule::ReadModuleTexts(ModuleTexts* texts) {
  return ReadModuleTextsWith(
      [this](ModuleProperties* properties) { return GetModuleProperties(properties); }, texts);
}

bool ReadModuleText(const char* text, size_t limit, std::string* out) {
  out->clear();
  if (text == nullptr) return true;
  for (size_t index = 0; index < limit; ++index) {
    if (text[index] == '\0') return true;
    out->push_back(text[index]);
  }
  return false;
}

bool DescribePinWith(const PinDescriber& describe, int32_t index, PinInfo* pin,
                     std::string* problem) {
  problem->clear();
  PinDescription description = {};
  description.extra = kExtraUnwritten;
  const int32_t reply = describe(index, &description);
  if (reply == 0) return false;

  const bool has_extra = description.extra != kExtraUnwritten;
  if (!has_extra) description.extra = nullptr;
  PinInfo read = {};
  read.index = index;
  read.direction = description.direction;
  read.datatype = description.datatype;
  read.has_extra = has_extra;
  read.variable_address = description.variable_address;
  read.reply = reply;
  read.raw = description;
  const struct {
    const char* field;
    const char* text;
    std::string* copy;
  } texts[] = {{"name", description.name, &read.name},
               {"default value", description.default_value, &read.default_value},
               {"extra text", description.extra, &read.extra}};
  for (const auto& text : texts) {
    if (!ReadModuleText(text.text, kModuleTextLimit, text.copy)) {
      *problem = "pin " + std::to_string(index) + "'s " + text.field +
                 " has no terminator within " + std::to_string(kModuleTextLimit) + " bytes";
      return false;
    }
  }
  *pin = std::move(read);
  return true;
}

bool EnumeratePinsWith(const PinDescriber& describe, int32_t limit, std::vector<PinInfo>* pins,
                       std::string* problem,
                       const std::function<void(const PinInfo* pin)>& described) {
  pins->clear();
  PinInfo pin;
  for (int32_t index = 0; index < limit; ++index) {
    const bool answered = DescribePinWith(describe, index, &pin, problem);
    if (described) described(answered ? &pin : nullptr);
    if (!answered) return problem->empty();
    pins->push_back(pin);
  }
  *problem = "the module describes a pin for every index up to " + std::to_string(limit) +
             "; the enumeration does not end";
  return false;
}

bool HostedModule::DescribePin(int32_t index, PinInfo* pin) {
  std::string problem;
  return DescribePinWith(
      [this](int32_t pin_index, PinDescription* description) {
        return GetPinProperties(pin_index, description);
      },
      index, pin, &problem);
}

std::vector<PinInfo> HostedModule::EnumeratePins(int32_t limit) {
  std::vector<PinInfo> pins;
  PinInfo pin;
  for (int32_t index = 0; index < limit && DescribePin(index, &pin); ++index) {
    pins.push_back(pin);
  }
  return pins;
}

namespace {

bool IsBindable(const PinInfo& pin) { return pin.IsAudio() && pin.variable_address != nullptr; }

// The bound variable of an audio pin is a float* member of the module; the host owns its value.
void StoreBufferAddress(const PinInfo& pin, float* buffer) {
  std::memcpy(pin.variable_address, &buffer, sizeof buffer);
}

}  // namespace

bool HostedModule::BindAudioPin(int32_t index, float* buffer) {
  PinInfo pin;
  if (!DescribePin(index, &pin) || !IsBindable(pin)) return false;
  StoreBufferAddress(pin, buffer);
  return true;
}

int32_t HostedModule::BindAudioPins(const BufferChooser& choose) {
  int32_t bound = 0;
  for (const PinInfo& pin : EnumeratePins()) {
    if (!IsBindable(pin)) continue;
    float* buffer = choose(pin);
    if (!buffer) continue;
    StoreBufferAddress(pin, buffer);
    ++bound;
  }
  return bound;
}

int32_t HostedModule::PinUpdate(int32_t index, int32_t status, int32_t value, uint32_t time_stamp) {
  SeEvent event = {};
  event.time_stamp = time_stamp;
  event.event_type = static_cast<int32_t>(SeEventType::PinUpdate);
  event.value1 = status;
  event.value2 = value;
  event.data = reinterpret_cast<void*>(static_cast<std::intptr_t>(index));
  event.next = nullptr;
  return AddEvent(event);
}

void HostedModule::Process(int32_t buffer_offset, int32_t sample_frames) {
  if (!usable()) return;
  {
    CallScope scope(this, CallSite::kProcess, 0);
    record_->process(record_, buffer_offset, sample_frames);
  }
  if (sample_frames > 0) sample_clock_ += static_cast<uint32_t>(sample_frames);
}

}  // namespace se_host
