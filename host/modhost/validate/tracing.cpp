// The lines of `validate --trace` (see tracing.h).
#include "host/modhost/validate/tracing.h"

#include <cinttypes>
#include <cstdio>

#include "host/modhost/io/text.h"
#include "se_sdk/abi_names.h"

namespace modhost {
namespace validation {

std::string Number(double value) { return Format("%.9g", value); }

std::string Pointer(const void* pointer) {
  return Format("0x%" PRIxPTR, reinterpret_cast<std::uintptr_t>(pointer));
}

void Tracer::Line(const std::string& text) {
  if (!on_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

void InstanceTrace::Calling(const Session& session, const ModuleCall& call) {
  const int id = session.id();
  switch (call.kind) {
    case ModuleCall::Kind::kEntry:
      tracer_->Line(Format("[#%d] main", id));
      return;
    case ModuleCall::Kind::kProcess:
      tracer_->Line(Format("[#%d] process buffer_offset %d sampleFrames %d (host clock %u)", id,
                           call.buffer_offset, call.sample_frames, call.clock));
      return;
    case ModuleCall::Kind::kUnload:
      return;
    case ModuleCall::Kind::kDispatcher:
      break;
  }
  if (call.opcode == static_cast<int32_t>(ModuleOpcode::AddEvent) && call.ptr) {
    const SeEvent& event = *static_cast<const SeEvent*>(call.ptr);
    tracer_->Line(Format("[#%d] event time_stamp %u type %d value1 %d value2 %d data %s", id,
                         event.time_stamp, event.event_type, event.value1, event.value2,
                         Pointer(event.data).c_str()));
  }
  const char* name = se_abi_names::ModuleOpcodeName(call.opcode);
  tracer_->Line(Format("[#%d] dispatcher %d (%s) index %d value %d ptr %s opt %s", id, call.opcode,
                       name ? name : "unknown", call.index, call.value, Pointer(call.ptr).c_str(),
                       Number(call.opt).c_str()));
}

void InstanceTrace::Returned(const Session& session, const ModuleCall& call, int32_t reply) {
  if (call.kind != ModuleCall::Kind::kDispatcher) return;
  tracer_->Line(Format("[#%d]   -> %d", session.id(), reply));
}

void InstanceTrace::Requested(const Session& session, const se_host::HostRequest& request) {
  const char* name = se_abi_names::HostOpcodeName(request.opcode);
  tracer_->Line(Format("[#%d]   host request %d (%s) index %d value %d ptr 0x%" PRIxPTR
                       " opt %s%s -> %d",
                       session.id(), request.opcode, name ? name : "unknown", request.index,
                       request.value, request.ptr, Number(request.opt).c_str(),
                       request.foreign_record ? " [foreign record]" : "", request.reply));
}

}  // namespace validation
}  // namespace modhost
