// Checks of the pin table a module describes through opcode 6, and of the requests it sends the
// host about its pins and the clock.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/modhost/io/text.h"
#include "host/modhost/run/pin_values.h"
#include "host/modhost/validate/check_support.h"
#include "host/modhost/validate/checks.h"
#include "se_sdk/abi_names.h"

namespace modhost {
namespace validation {

namespace {

bool IsKnownHostOpcode(int32_t opcode) { return se_abi_names::HostOpcodeName(opcode) != nullptr; }

// The requests of this protocol as a message lists them: "0, 1, 2, 3, 4, 8 and 14".
std::string ProtocolHostOpcodes() {
  std::vector<int32_t> known;
  for (int32_t opcode = 0; opcode < 256; ++opcode) {
    if (IsKnownHostOpcode(opcode)) known.push_back(opcode);
  }
  std::string list;
  for (size_t position = 0; position < known.size(); ++position) {
    if (position > 0) list += position + 1 == known.size() ? " and " : ", ";
    list += std::to_string(known[position]);
  }
  return list;
}

// Requests whose `index` names a pin.
bool IsPinRequest(int32_t opcode) {
  switch (static_cast<HostOpcode>(opcode)) {
    case HostOpcode::SetPinStatus:
    case HostOpcode::QueryPin:
    case HostOpcode::ForwardPinValue:
    case HostOpcode::PinRequest4:
    case HostOpcode::GetBufferStartClock:
      return true;
    default:
      return false;
  }
}

// Requests whose `ptr` is a sample-clock time.
bool IsTimedRequest(int32_t opcode) {
  return opcode == static_cast<int32_t>(HostOpcode::SetPinStatus) ||
         opcode == static_cast<int32_t>(HostOpcode::PinRequest4);
}

void CheckPinEnumeration(CheckContext& context) {
  InstanceSetup closed;
  closed.open = false;
  std::unique_ptr<Session> instance = context.Create(closed);
  struct Record {
    PinDescription description;
    uint32_t beyond[8];
  };
  auto blank_record = []() {
    Record record;
    std::memset(&record, 0x5A, sizeof record);
    record.description.variable_address = const_cast<char*>(kUnwrittenText);
    record.description.name = kUnwrittenText;
    record.description.default_value = kUnwrittenText;
    record.description.extra = kUnwrittenText;
    return record;
  };
  const Record blank = blank_record();
  std::vector<se_host::PinInfo> pins;
  context.Step("enumerating the pins");
  int32_t index = 0;
  for (; index < se_host::HostedModule::kPinLimit; ++index) {
    Record record = blank_record();
    const int32_t reply =
        instance->Dispatch(ModuleOpcode::GetPinProperties, index, 0, &record, 0.0f);
    const PinDescription& described = record.description;
    const std::string where = "pin " + std::to_string(index);
    if (reply == 0) {
      if (!SameBytes(&record, &blank, sizeof record)) {
        context.Fail(where + ": opcode 6 answered 0, ending the pins, but changed the record");
      }
      break;
    }
    if (reply != 1)
      context.Fail(Format("%s: opcode 6 answered %d instead of 1", where.c_str(), reply));
    if (!SameBytes(&described.unused, &blank.description.unused, sizeof described.unused) ||
        !SameBytes(record.beyond, blank.beyond, sizeof record.beyond)) {
      context.Fail(where + ": the module wrote past the six words of the pin description");
    }
    se_host::PinInfo pin = {};
    pin.index = index;
    pin.direction = described.direction;
    pin.datatype = described.datatype;
    pin.variable_address = described.variable_address;
    pin.has_extra = described.extra != kUnwrittenText;
    const struct {
      const char* field;
      const char* text;
      std::string* copy;
      bool required;
    } texts[] = {{"name", described.name, &pin.name, true},
                 {"default value", described.default_value, &pin.default_value, true},
                 {"extra text", pin.has_extra ? described.extra : nullptr, &pin.extra, false}};
    for (const auto& text : texts) {
      if (text.text == kUnwrittenText) {
        context.Fail(where + ": the " + text.field + " was left unwritten");
        text.copy->clear();
      } else if (text.text == nullptr) {
        if (text.required) context.Fail(where + ": the " + text.field + " is a null pointer");
      } else if (!se_host::ReadModuleText(text.text, se_host::kModuleTextLimit, text.copy)) {
        context.Abort(where + ": the " + text.field +
                      Format(" has no terminator within %zu bytes", se_host::kModuleTextLimit));
      }
    }
    if (pin.variable_address == kUnwrittenText) {
      context.Fail(where + ": the variable address was left unwritten");
      pin.variable_address = nullptr;
    }
    if (static_cast<uint32_t>(pin.direction) > static_cast<uint32_t>(PinDirection::Setting)) {
      context.Fail(Format("%s: direction %d is none of Input (0), Output (1) and Setting (3)",
                          where.c_str(), pin.direction));
    }
    if (static_cast<uint32_t>(pin.datatype) > static_cast<uint32_t>(PinDatatype::Int)) {
      context.Fail(
          Format("%s: data type %d is not a pin data type (0 to 6)", where.c_str(), pin.datatype));
    }
    if (pin.IsAudio() && pin.variable_address == nullptr) {
      context.Fail(where + ": an audio pin without a variable for the host's buffer address");
    }
    double volts = 0;
    std::string ignored;
    if (pin.IsAudioInput() && !ParseVolts(pin.default_value, &volts, &ignored)) {
      context.Fail(where + ": the default " + DoubleQuoted(pin.default_value) +
                   " of an audio input is not a number of volts");
    }
    pins.push_back(pin);
  }
  if (index == se_host::HostedModule::kPinLimit) {
    context.Abort(
        Format("the module describes a pin for every index up to %d; the pins never end", index));
  }
  const int32_t count = index;
  const int32_t past_the_end[] = {count, count + 1, count + 100, 4096,    65536,
                                  -1,    -2,        INT_MIN,     INT_MAX, INT_MAX - count};
  for (int32_t outside : past_the_end) {
    Record record = blank_record();
    const int32_t reply =
        instance->Dispatch(ModuleOpcode::GetPinProperties, outside, 0, &record, 0.0f);
    if (reply != 0) {
      context.Fail(Format("opcode 6 for pin %d, past the %d pins, answered %d instead of 0",
                          outside, count, reply));
    }
    if (!SameBytes(&record, &blank, sizeof record)) {
      context.Fail(
          Format("opcode 6 for pin %d, past the %d pins, changed the record", outside, count));
    }
  }
  for (size_t first = 0; first < pins.size(); ++first) {
    for (size_t second = first + 1; second < pins.size(); ++second) {
      if (pins[first].variable_address != nullptr &&
          pins[first].variable_address == pins[second].variable_address) {
        context.Fail(PinLabel(pins[first]) + " and " + PinLabel(pins[second]) +
                     " are bound to one variable");
      }
    }
  }

  // The answers never change: the host asks whenever it likes, the frame asks again at open.
  auto same_pins = [&](const std::vector<se_host::PinInfo>& later, const char* when,
                       bool same_instance) {
    if (later.size() != pins.size()) {
      context.Fail(Format("%s the module describes %zu pins instead of %zu", when, later.size(),
                          pins.size()));
      return;
    }
    for (size_t slot = 0; slot < pins.size(); ++slot) {
      const se_host::PinInfo& one = pins[slot];
      const se_host::PinInfo& other = later[slot];
      const bool same = one.name == other.name && one.direction == other.direction &&
                        one.datatype == other.datatype &&
                        one.default_value == other.default_value &&
                        one.has_extra == other.has_extra && one.extra == other.extra;
      if (!same) context.Fail(Format("%s ", when) + PinLabel(one) + " is described differently");
      if (same_instance && one.variable_address != other.variable_address) {
        context.Fail(Format("%s ", when) + PinLabel(one) + " is bound to another variable");
      }
      if (!same_instance && one.variable_address != nullptr &&
          one.variable_address == other.variable_address) {
        context.Fail(PinLabel(one) + " of two instances is bound to one variable");
      }
    }
  };
  std::vector<se_host::PinInfo> later;
  std::string problem;
  instance->host().set_pin_count(count);
  instance->Open();
  if (!instance->EnumeratePins(&later, &problem)) {
    context.Abort("after open " + problem);
  }
  same_pins(later, "after open", true);
  const Script script = BusyScript(context, 512, 8, 1);
  const BlockPlan plan = BlockPlan::Uniform(script.length, 64);
  context.Playing(script, plan);
  Render(*instance, script, plan);
  if (!instance->EnumeratePins(&later, &problem)) {
    context.Abort("after a render " + problem);
  }
  same_pins(later, "after a render", true);
  std::unique_ptr<Session> other = context.Create(closed);
  if (!other->EnumeratePins(&later, &problem)) {
    context.Abort("in a second instance " + problem);
  }
  same_pins(later, "in a second instance", false);

  const PinLayout& layout = context.Layout();
  context.Note(Format("%d pins: %zu audio inputs, %zu audio outputs, %zu controls", count,
                      layout.audio_inputs.size(), layout.audio_outputs.size(),
                      layout.controls.size()));
}

void CheckHostRequests(CheckContext& context) {
  const uint64_t stray_before = se_host::HostedModule::StrayRequestCount();
  // Both outlive the instance, which may still report a request while it closes.
  std::string phase = "main";
  RequestWatcher watcher;
  InstanceSetup closed;
  closed.open = false;
  closed.record_requests = true;
  std::unique_ptr<Session> instance = context.Create(closed);
  se_host::HostedModule& host = instance->host();
  auto first_request = [&](const char* when) {
    if (host.requests().empty()) return;
    const se_host::HostRequest& request = host.requests().front();
    context.Fail(Format("%s the module sent %zu host requests; the first: opcode %d index %d", when,
                        host.requests().size(), request.opcode, request.index));
  };
  first_request("from inside main");
  host.ClearRequests();

  const std::vector<se_host::PinInfo>& pins = instance->pins();
  const int32_t pin_count = static_cast<int32_t>(pins.size());
  struct {
    ModuleProperties properties;
    uint32_t host_fields[16];
  } properties = {};
  instance->Dispatch(ModuleOpcode::GetModuleProperties, 0, 0, &properties, 0.0f);
  instance->SetSampleRate(44100.0f);
  instance->SetBlockSize(256);
  instance->QueueEmpty();
  first_request("answering queries before open,");
  host.ClearRequests();

  // Every request is judged as it arrives, against the host's clock of the call in progress.
  int32_t host_pins = pin_count + 2;
  watcher.set([&](const se_host::HostRequest& request) {
    const std::string what = Format("%s: request %d (index %d, value %d)", phase.c_str(),
                                    request.opcode, request.index, request.value);
    if (request.foreign_record) {
      context.Fail(what + " carries a record pointer that is not the module's own");
    }
    if (request.opt != 0.0f || std::signbit(request.opt)) {
      context.Fail(what + " has opt " + Number(request.opt) + " instead of 0.0");
    }
    if (!IsKnownHostOpcode(request.opcode)) {
      context.Fail(what + " is not a host request of this protocol (" + ProtocolHostOpcodes() +
                   ")");
    } else if (IsPinRequest(request.opcode) &&
               (request.index < 0 || request.index >= std::max(pin_count, host_pins))) {
      context.Fail(what + Format(" names a pin that does not exist (%d pins)", pin_count));
    }
    if (IsTimedRequest(request.opcode)) {
      const uint32_t time = static_cast<uint32_t>(request.ptr);
      const uint32_t clock = host.sample_clock();
      if (static_cast<int32_t>(time - clock) < 0) {
        context.Fail(
            what + Format(" is for sample-clock time %u, before the host's clock %u", time, clock));
      }
    }
  });
  instance->AddObserver(&watcher);
  auto asked_clock = [&](const char* when) {
    const std::vector<se_host::HostRequest>& requests = host.requests();
    const bool asked =
        std::any_of(requests.begin(), requests.end(), [](const se_host::HostRequest& request) {
          return request.opcode == static_cast<int32_t>(HostOpcode::GetSampleClock);
        });
    if (!asked) {
      context.Fail(std::string(when) +
                   " the module did not ask for the host's sample clock (request 3), so its"
                   " clock cannot agree with the host's event time stamps");
    }
  };

  phase = "open";
  host.set_pin_count(host_pins);
  host.set_sample_clock(static_cast<uint32_t>(context.random().Between(1000, 1 << 30)));
  context.Step("opening");
  instance->Open();
  asked_clock("at open");
  std::string sequence;
  for (const se_host::HostRequest& request : host.requests()) {
    sequence += Format("%s%d", sequence.empty() ? "" : ", ", request.opcode);
  }
  context.Note("requests at open: " + (sequence.empty() ? std::string("none") : sequence));
  host.ClearRequests();

  phase = "rendering";
  const Script script = BusyScript(context, 2048, 40, 2);
  const BlockPlan plan = BlockPlan::RandomSizes(script.length, 300, 8, context.random());
  context.Playing(script, plan);
  Render(*instance, script, plan);
  host.ClearRequests();

  phase = "resume";
  host.set_sample_clock(host.sample_clock() + 48000);
  instance->Resume();
  asked_clock("at resume");
  host.ClearRequests();

  phase = "close";
  instance->RemoveObserver(&watcher);
  instance->Close();
  first_request("at close");

  const uint64_t stray = se_host::HostedModule::StrayRequestCount() - stray_before;
  if (stray != 0) {
    context.Fail(Format("%llu host requests arrived outside any call into the module",
                        static_cast<unsigned long long>(stray)));
  }
}

}  // namespace

std::vector<CheckDefinition> PinChecks() {
  return {
      {"pin-enumeration", CheckKind::kModule,
       "pins are described with terminated texts and valid kinds, the list ends, indices past it"
       " change nothing, answers never change",
       CheckPinEnumeration, 1},
      {"host-requests", CheckKind::kModule,
       "requests only from inside calls, with the module's own record, known opcodes and pins,"
       " opt 0; the clock is asked at open and resume",
       CheckHostRequests, 1},
  };
}

}  // namespace validation
}  // namespace modhost
