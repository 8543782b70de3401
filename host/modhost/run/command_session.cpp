// Loading, naming and tracing the calls of info and render (see command_session.h).
#include "host/modhost/run/command_session.h"

#include <utility>

#include "host/modhost/cli/exit_status.h"
#include "host/modhost/io/text.h"
#include "host/modhost/run/child_protocol.h"
#include "host/modhost/run/library_kind.h"
#include "host/modhost/run/pin_values.h"
#include "se_sdk/abi_names.h"

namespace modhost {

namespace {

std::string OpcodeName(int32_t opcode) {
  const char* name = se_abi_names::ModuleOpcodeName(opcode);
  return name ? name : "unknown";
}

// The pin update that an AddEvent call carries, if it carries one.
const SeEvent* EventOf(const ModuleCall& call) {
  if (call.opcode != static_cast<int32_t>(ModuleOpcode::AddEvent)) return nullptr;
  return static_cast<const SeEvent*>(call.ptr);
}

std::string SiteOf(const ModuleCall& call) {
  switch (call.kind) {
    case ModuleCall::Kind::kEntry:
      return "main";
    case ModuleCall::Kind::kUnload:
      return "unloading the library";
    case ModuleCall::Kind::kProcess:
      if (call.first_sample < 0) return Format("process at clock %u", call.clock);
      return Format("process of samples %lld to %lld", static_cast<long long>(call.first_sample),
                    static_cast<long long>(call.first_sample + call.sample_frames - 1));
    case ModuleCall::Kind::kDispatcher:
      break;
  }
  switch (static_cast<ModuleOpcode>(call.opcode)) {
    case ModuleOpcode::Open:
      return "open (dispatcher opcode 0)";
    case ModuleOpcode::Close:
      return "close (dispatcher opcode 1)";
    case ModuleOpcode::GetPinProperties:
      return Format("dispatcher opcode 6 (GetPinProperties) for pin %d", call.index);
    default:
      break;
  }
  const SeEvent* event = EventOf(call);
  if (event && event->event_type == static_cast<int32_t>(SeEventType::PinUpdate)) {
    return Format("dispatcher opcode 7 (AddEvent) for pin %d at clock %u",
                  static_cast<int>(reinterpret_cast<std::intptr_t>(event->data)),
                  event->time_stamp);
  }
  return Format("dispatcher opcode %d (%s)", call.opcode, OpcodeName(call.opcode).c_str());
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

std::string RequestText(const se_host::HostRequest& request) {
  const char* name = se_abi_names::HostOpcodeName(request.opcode);
  std::string line =
      Format("  request %d %s(index %d, value %d, ptr %llu, opt %g) -> %d  [during %s",
             request.opcode, name ? name : "unknown request", request.index, request.value,
             static_cast<unsigned long long>(request.ptr), static_cast<double>(request.opt),
             request.reply, CallSiteName(request.site));
  if (request.site == se_host::CallSite::kDispatcher) {
    line += " " + std::to_string(request.dispatch_opcode);
  }
  line += "]";
  if (request.foreign_record) {
    line += Format(" (record %p is not this module's)", static_cast<const void*>(request.record));
  }
  return line;
}

std::string PinText(const se_host::PinInfo& pin) {
  std::string text = DoubleQuoted(pin.name) + " " + PinDirectionWord(pin.direction) + " " +
                     PinDatatypeWord(pin.datatype) + ", default " + DoubleQuoted(pin.default_value);
  if (pin.has_extra) text += ", extra " + DoubleQuoted(pin.extra);
  return text;
}

// "dispatcher 3 SetBlockSize(value 256) -> 0": the call with the arguments that opcode uses.
std::string DispatcherText(const ModuleCall& call, int32_t reply) {
  std::string text = Format("dispatcher %d %s", call.opcode, OpcodeName(call.opcode).c_str());
  std::string answer = std::to_string(reply);
  const SeEvent* event = EventOf(call);
  switch (static_cast<ModuleOpcode>(call.opcode)) {
    case ModuleOpcode::Open:
    case ModuleOpcode::Close:
    case ModuleOpcode::Resume:
    case ModuleOpcode::QueueEmpty:
      break;
    case ModuleOpcode::SetSampleRate:
      text += Format("(opt %g)", static_cast<double>(call.opt));
      break;
    case ModuleOpcode::SetBlockSize:
      text += Format("(value %d)", call.value);
      break;
    case ModuleOpcode::GetPinProperties:
      text += Format("(index %d)", call.index);
      if (call.pin) answer += ": " + PinText(*call.pin);
      break;
    case ModuleOpcode::GetModuleProperties:
      if (call.texts) {
        answer =
            "1: name " + DoubleQuoted(call.texts->name) + ", id " + DoubleQuoted(call.texts->id);
      }
      break;
    default:
      if (event) {
        text += Format("(time_stamp %u, event_type %d, value1 %d, value2 %d, data %lld)",
                       event->time_stamp, event->event_type, event->value1, event->value2,
                       static_cast<long long>(reinterpret_cast<std::intptr_t>(event->data)));
      } else {
        text += Format("(index %d, value %d, ptr %p, opt %g)", call.index, call.value, call.ptr,
                       static_cast<double>(call.opt));
      }
      break;
  }
  return text + " -> " + answer;
}

}  // namespace

void CallSites::Calling(const Session&, const ModuleCall& call) { BeginCall(SiteOf(call).c_str()); }

void CallSites::Returned(const Session&, const ModuleCall&, int32_t) { EndCall(); }

void CallTrace::Calling(const Session&, const ModuleCall&) { in_call_ = true; }

void CallTrace::Returned(const Session&, const ModuleCall& call, int32_t reply) {
  in_call_ = false;
  switch (call.kind) {
    case ModuleCall::Kind::kEntry:
      if (call.record) {
        std::fprintf(stream_, "main(host callback) -> record %p\n",
                     static_cast<const void*>(call.record));
      } else {
        std::fprintf(stream_, "main(host callback) -> no module\n");
      }
      break;
    case ModuleCall::Kind::kProcess:
      std::fprintf(stream_, "process(buffer_offset %d, sampleFrames %d) at clock %u\n",
                   call.buffer_offset, call.sample_frames, call.clock);
      break;
    case ModuleCall::Kind::kDispatcher:
      std::fprintf(stream_, "%s\n", DispatcherText(call, reply).c_str());
      break;
    case ModuleCall::Kind::kUnload:
      break;
  }
  for (const std::string& line : pending_requests_) std::fprintf(stream_, "%s\n", line.c_str());
  pending_requests_.clear();
}

void CallTrace::Requested(const Session&, const se_host::HostRequest& request) {
  // Inside a call its requests wait for the call's own line; those that `main` sent are shown
  // after main's line, once it has returned.
  if (in_call_) {
    pending_requests_.push_back(RequestText(request));
  } else {
    std::fprintf(stream_, "%s\n", RequestText(request).c_str());
  }
}

int CommandSession::Open(const std::string& path, std::FILE* trace) {
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
  SessionSetup setup;
  setup.observers.push_back(&sites_);
  if (trace) {
    trace_ = std::make_unique<CallTrace>(trace);
    setup.observers.push_back(trace_.get());
  }
  se_host::CreateResult failure;
  session_ = Session::Create(std::move(library), setup, &failure);
  if (!session_) {
    error_ = "'" + Excerpt(path) + "' is not a usable module: " + failure.error_text;
    return kExitBadRecord;
  }
  return kExitOk;
}

}  // namespace modhost
