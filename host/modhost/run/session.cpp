// Loading and tracing one module for a command (see session.h).
#include "host/modhost/run/session.h"

#include <utility>

#include "host/modhost/cli/commands.h"
#include "host/modhost/io/text.h"
#include "host/modhost/run/child_protocol.h"
#include "host/modhost/run/library_kind.h"

namespace modhost {

namespace {

const char* HostOpcodeName(int32_t opcode) {
  switch (static_cast<HostOpcode>(opcode)) {
    case HostOpcode::SetPinStatus:
      return "SetPinStatus";
    case HostOpcode::QueryPin:
      return "QueryPin";
    case HostOpcode::ForwardPinValue:
      return "ForwardPinValue";
    case HostOpcode::GetSampleClock:
      return "GetSampleClock";
    case HostOpcode::PinRequest4:
      return "PinRequest4";
    case HostOpcode::GetBufferStartClock:
      return "GetBufferStartClock";
    case HostOpcode::GetPinCount:
      return "GetPinCount";
  }
  return "unknown request";
}

const char* CallSiteName(se_host::CallSite site) {
  switch (site) {
    case se_host::CallSite::kEntry:
      return "main";
    case se_host::CallSite::kDispatcher:
      return "dispatcher";
    case se_host::CallSite::kProcess:
      return "process";
  }
  return "?";
}

std::string FormatRequest(const se_host::HostRequest& request) {
  char text[256];
  std::snprintf(text, sizeof text,
                "  request %d %s(index %d, value %d, ptr %llu, opt %g) -> %d  [during %s",
                request.opcode, HostOpcodeName(request.opcode), request.index, request.value,
                static_cast<unsigned long long>(request.ptr), static_cast<double>(request.opt),
                request.reply, CallSiteName(request.site));
  std::string line = text;
  if (request.site == se_host::CallSite::kDispatcher) {
    line += " " + std::to_string(request.dispatch_opcode);
  }
  line += "]";
  if (request.foreign_record) {
    std::snprintf(text, sizeof text, " (record %p is not this module's)",
                  static_cast<const void*>(request.record));
    line += text;
  }
  return line;
}

std::string FormatPin(const se_host::PinInfo& pin) {
  std::string text = DoubleQuoted(pin.name) + " " + DirectionName(pin.direction) + " " +
                     DatatypeName(pin.datatype) + ", default " + DoubleQuoted(pin.default_value);
  if (pin.has_extra) text += ", extra " + DoubleQuoted(pin.extra);
  return text;
}

}  // namespace

std::string DirectionName(int32_t direction) {
  switch (static_cast<PinDirection>(direction)) {
    case PinDirection::Input:
      return "input";
    case PinDirection::Output:
      return "output";
    case PinDirection::Setting:
      return "setting";
  }
  return std::to_string(direction);
}

std::string DatatypeName(int32_t datatype) {
  switch (static_cast<PinDatatype>(datatype)) {
    case PinDatatype::Enum:
      return "enum";
    case PinDatatype::Indirect:
      return "indirect";
    case PinDatatype::Bool:
      return "bool";
    case PinDatatype::Audio:
      return "audio";
    case PinDatatype::Int:
      return "int";
  }
  return std::to_string(datatype);
}

ModuleSession::~ModuleSession() {
  Close();
  CallScope call("unloading the library");
  module_.reset();
  library_.reset();
}

int ModuleSession::Load(const std::string& path) {
  auto library = std::make_shared<se_host::PluginLibrary>();
  bool loaded = false;
  {
    // Loading runs the library's static constructors: module code already.
    CallScope call("loading the library");
    loaded = library->Load(LoadablePath(path));
  }
  if (!loaded) {
    error_ = "cannot load '" + Excerpt(path) + "': " + ExplainLoadFailure(path, *library);
    return library->error() == se_host::LibraryError::kNoEntry ? kExitNoMain : kExitCannotLoad;
  }
  library_ = library;

  se_host::CreateResult created;
  {
    CallScope call("main");
    created = se_host::HostedModule::Create(library_);
  }
  if (!created.module) {
    if (trace_) std::fprintf(trace_, "main(host callback) -> no module\n");
    error_ = "'" + Excerpt(path) + "' is not a usable module: " + created.error_text;
    return kExitBadRecord;
  }
  module_ = std::move(created.module);
  if (trace_) {
    std::fprintf(trace_, "main(host callback) -> record %p\n",
                 static_cast<void*>(module_->record()));
    for (const se_host::HostRequest& request : module_->requests()) {
      std::fprintf(trace_, "%s\n", FormatRequest(request).c_str());
    }
  }
  // A long render would otherwise keep every request it ever made.
  module_->set_recording(false);
  module_->ClearRequests();
  module_->set_observer([this](const se_host::HostRequest& request) {
    if (trace_) pending_requests_.push_back(FormatRequest(request));
  });
  return kExitOk;
}

void ModuleSession::FlushRequests() {
  for (const std::string& line : pending_requests_) std::fprintf(trace_, "%s\n", line.c_str());
  pending_requests_.clear();
}

template <typename Call, typename Describe>
auto ModuleSession::Traced(const char* site, const std::string& description, Call&& call,
                           Describe&& answer_text) {
  CallScope scope(site);
  auto result = call();
  if (trace_) {
    std::fprintf(trace_, "%s -> %s\n", description.c_str(), answer_text(result).c_str());
    FlushRequests();
  }
  return result;
}

namespace {

std::string Number(int32_t reply) { return std::to_string(reply); }

}  // namespace

bool ModuleSession::ReadModuleTexts(se_host::ModuleTexts* texts) {
  return Traced(
      "dispatcher opcode 9 (GetModuleProperties)", "dispatcher 9 GetModuleProperties",
      [&] { return module_->ReadModuleTexts(texts); },
      [&](bool answered) {
        return answered ? "1: name " + DoubleQuoted(texts->name) + ", id " + DoubleQuoted(texts->id)
                        : std::string("0");
      });
}

std::vector<se_host::PinInfo> ModuleSession::EnumeratePins() {
  std::vector<se_host::PinInfo> pins;
  for (int32_t index = 0; index < se_host::HostedModule::kPinLimit; ++index) {
    se_host::PinInfo pin;
    char site[80];
    std::snprintf(site, sizeof site, "dispatcher opcode 6 (GetPinProperties) for pin %d", index);
    const bool described = Traced(
        site, "dispatcher 6 GetPinProperties(index " + std::to_string(index) + ")",
        [&] { return module_->DescribePin(index, &pin); },
        [&](bool answered) {
          return answered ? Number(pin.reply) + ": " + FormatPin(pin) : std::string("0");
        });
    if (!described) break;
    pins.push_back(pin);
  }
  return pins;
}

int32_t ModuleSession::SetSampleRate(float sample_rate) {
  char description[64];
  std::snprintf(description, sizeof description, "dispatcher 2 SetSampleRate(opt %g)",
                static_cast<double>(sample_rate));
  return Traced(
      "dispatcher opcode 2 (SetSampleRate)", description,
      [&] { return module_->SetSampleRate(sample_rate); }, Number);
}

int32_t ModuleSession::SetBlockSize(int32_t block_size) {
  return Traced(
      "dispatcher opcode 3 (SetBlockSize)",
      "dispatcher 3 SetBlockSize(value " + std::to_string(block_size) + ")",
      [&] { return module_->SetBlockSize(block_size); }, Number);
}

int32_t ModuleSession::Open() {
  return Traced(
      "open (dispatcher opcode 0)", "dispatcher 0 Open", [&] { return module_->Open(); }, Number);
}

bool ModuleSession::BindAudioPin(int32_t index, float* buffer) {
  char description[96];
  std::snprintf(description, sizeof description,
                "dispatcher 6 GetPinProperties(index %d), then buffer %p bound to the pin", index,
                static_cast<void*>(buffer));
  char site[80];
  std::snprintf(site, sizeof site, "dispatcher opcode 6 (GetPinProperties) for pin %d", index);
  return Traced(
      site, description, [&] { return module_->BindAudioPin(index, buffer); },
      [](bool bound) { return std::string(bound ? "1" : "0, not bound"); });
}

int32_t ModuleSession::PinUpdate(int32_t index, int32_t status, int32_t value,
                                 uint32_t time_stamp) {
  char description[160];
  std::snprintf(description, sizeof description,
                "dispatcher 7 AddEvent(time_stamp %u, event_type 0, value1 %d, value2 %d, "
                "data %d)",
                time_stamp, status, value, index);
  char site[96];
  std::snprintf(site, sizeof site, "dispatcher opcode 7 (AddEvent) for pin %d at clock %u", index,
                time_stamp);
  return Traced(
      site, description, [&] { return module_->PinUpdate(index, status, value, time_stamp); },
      Number);
}

void ModuleSession::Process(int32_t buffer_offset, int32_t sample_frames, int64_t first_sample) {
  const uint32_t clock = module_->sample_clock();
  char site[80];
  std::snprintf(site, sizeof site, "process of samples %lld to %lld",
                static_cast<long long>(first_sample),
                static_cast<long long>(first_sample + sample_frames - 1));
  {
    CallScope scope(site);
    module_->Process(buffer_offset, sample_frames);
  }
  if (trace_) {
    std::fprintf(trace_, "process(buffer_offset %d, sampleFrames %d) at clock %u\n", buffer_offset,
                 sample_frames, clock);
    FlushRequests();
  }
}

int32_t ModuleSession::Close() {
  if (!module_ || module_->closed()) return 0;
  return Traced(
      "close (dispatcher opcode 1)", "dispatcher 1 Close", [&] { return module_->Close(); },
      Number);
}

}  // namespace modhost
