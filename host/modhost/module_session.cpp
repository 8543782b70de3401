// Loading and tracing one module for a command (see module_session.h).
#include "host/modhost/module_session.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "host/modhost/automation.h"
#include "host/modhost/commands.h"

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

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string FormatPin(const se_host::PinInfo& pin) {
  std::string text = Quoted(pin.name) + " " + DirectionName(pin.direction) + " " +
                     DatatypeName(pin.datatype) + ", default " + Quoted(pin.default_value);
  if (pin.has_extra) text += ", extra " + Quoted(pin.extra);
  return text;
}

// The loader's text often starts with the path we gave it; the message names the path already.
std::string WithoutPath(const std::string& text, const std::string& path) {
  const std::string prefix = path + ": ";
  return text.compare(0, prefix.size(), prefix) == 0 ? text.substr(prefix.size()) : text;
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

void ModuleSession::Report(const std::string& message) const {
  // One line, whatever the message quotes of the user's own text.
  std::fprintf(stderr, "modhost %s: %s\n", command_.c_str(),
               EscapeControlCharacters(message).c_str());
}

int ModuleSession::Load(const std::string& path) {
  // The loader's own words for a missing file are vague ("cannot open shared object file"), so
  // the common mistakes are named first. Not on Windows, where the loader also finds Unix paths
  // on Wine's drive Z: that stat would not.
  struct stat file_status;
  const bool found = stat(path.c_str(), &file_status) == 0;
#if !defined(_WIN32)
  if (!found) {
    Report("cannot load '" + path + "': " + std::strerror(errno));
    return kExitCannotLoad;
  }
#endif
  if (found && S_ISDIR(file_status.st_mode)) {
    Report("cannot load '" + path + "': it is a folder");
    return kExitCannotLoad;
  }

  const bool has_folder = path.find('/') != std::string::npos ||
                          path.find('\\') != std::string::npos ||
                          path.find(':') != std::string::npos;
  const std::string load_path = has_folder ? path : "./" + path;
  auto library = std::make_shared<se_host::PluginLibrary>();
  if (!library->Load(load_path)) {
    if (library->error() == se_host::LibraryError::kNoEntry) {
      Report("'" + path + "' exports no 'main'; it is not a module library");
      return kExitNoMain;
    }
    Report("cannot load '" + path + "': " + WithoutPath(library->error_text(), load_path));
    return kExitCannotLoad;
  }
  library_ = library;

  se_host::CreateResult created = se_host::HostedModule::Create(library_);
  if (!created.module) {
    if (trace_) std::fprintf(trace_, "main(host callback) -> no module\n");
    Report("'" + path + "' is not a usable module: " + created.error_text);
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
auto ModuleSession::Traced(const std::string& description, Call&& call, Describe&& answer_text) {
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
      "dispatcher 9 GetModuleProperties", [&] { return module_->ReadModuleTexts(texts); },
      [&](bool answered) {
        return answered ? "1: name " + Quoted(texts->name) + ", id " + Quoted(texts->id)
                        : std::string("0");
      });
}

std::vector<se_host::PinInfo> ModuleSession::EnumeratePins() {
  std::vector<se_host::PinInfo> pins;
  for (int32_t index = 0; index < se_host::HostedModule::kPinLimit; ++index) {
    se_host::PinInfo pin;
    const bool described = Traced(
        "dispatcher 6 GetPinProperties(index " + std::to_string(index) + ")",
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
      description, [&] { return module_->SetSampleRate(sample_rate); }, Number);
}

int32_t ModuleSession::SetBlockSize(int32_t block_size) {
  return Traced(
      "dispatcher 3 SetBlockSize(value " + std::to_string(block_size) + ")",
      [&] { return module_->SetBlockSize(block_size); }, Number);
}

int32_t ModuleSession::Open() {
  return Traced(
      "dispatcher 0 Open", [&] { return module_->Open(); }, Number);
}

bool ModuleSession::BindAudioPin(int32_t index, float* buffer) {
  char description[96];
  std::snprintf(description, sizeof description,
                "dispatcher 6 GetPinProperties(index %d), then buffer %p bound to the pin", index,
                static_cast<void*>(buffer));
  return Traced(
      description, [&] { return module_->BindAudioPin(index, buffer); },
      [](bool bound) { return std::string(bound ? "1" : "0, not bound"); });
}

int32_t ModuleSession::PinUpdate(int32_t index, int32_t status, int32_t value,
                                 uint32_t time_stamp) {
  char description[160];
  std::snprintf(description, sizeof description,
                "dispatcher 7 AddEvent(time_stamp %u, event_type 0, value1 %d, value2 %d, "
                "data %d)",
                time_stamp, status, value, index);
  return Traced(
      description, [&] { return module_->PinUpdate(index, status, value, time_stamp); }, Number);
}

void ModuleSession::Process(int32_t buffer_offset, int32_t sample_frames) {
  const uint32_t clock = module_->sample_clock();
  module_->Process(buffer_offset, sample_frames);
  if (trace_) {
    std::fprintf(trace_, "process(buffer_offset %d, sampleFrames %d) at clock %u\n", buffer_offset,
                 sample_frames, clock);
    FlushRequests();
  }
}

int32_t ModuleSession::Close() {
  if (!module_ || module_->closed()) return 0;
  return Traced(
      "dispatcher 1 Close", [&] { return module_->Close(); }, Number);
}

}  // namespace modhost
