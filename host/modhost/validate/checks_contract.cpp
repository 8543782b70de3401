// Checks of what a module must survive: inputs that are not finite, and a host that breaks its
// side of the contract (blocks of no length, stale events, pins and event types that do not
// exist, deferred calls, calls before open, null records, any pin count). The module need not
// make sense of any of it; it must do no harm and render the rest of the script as if it had
// never happened.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "host/modhost/io/text.h"
#include "host/modhost/run/pin_values.h"
#include "host/modhost/validate/check_support.h"
#include "host/modhost/validate/checks.h"

namespace modhost {
namespace validation {

namespace {

void CheckNonFiniteInputs(CheckContext& context) {
  const PinLayout& layout = context.Layout();
  if (layout.audio_inputs.empty()) {
    context.Note("the module has no audio input");
    return;
  }
  const uint32_t block = 64;
  const uint32_t length = 6 * block;
  const BlockPlan plan = BlockPlan::Uniform(length, static_cast<int32_t>(block));
  const float bad_values[] = {std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity()};
  size_t tried = 0;
  for (int32_t pin : layout.audio_inputs) {
    if (++tried > 32) break;
    const std::string input = PinLabel(layout.pins[static_cast<size_t>(pin)]);
    for (float bad : bad_values) {
      const Script clean = LivelyScript(layout, length, context.random());
      const float level = clean.levels[static_cast<size_t>(pin)];
      auto set = [&](Script* script, uint32_t at, float value) {
        script->events.push_back(ScriptEvent::LevelChange(at, pin, value));
      };
      // A whole block of the bad value, then the input is finite again from the next block on.
      Script held = clean;
      set(&held, block, bad);
      set(&held, 2 * block, level);
      context.Step(Format("%s on ", Number(bad).c_str()) + input + " for a block");
      ExpectFinite(context, RenderFresh(context, held, plan, AtClock(-1)), 2 * block,
                   Format("after %s on ", Number(bad).c_str()) + input +
                       Format(" at samples %u to %u the output is not finite again from sample %u",
                              block, 2 * block - 1, 2 * block),
                   held, plan);
      // One sample of it, announced by events before and after as a host announces a change.
      Script single = clean;
      const uint32_t at = 2 * block + static_cast<uint32_t>(context.random().Between(1, block - 3));
      set(&single, at, bad);
      set(&single, at + 1, level);
      context.Step(Format("%s on ", Number(bad).c_str()) + input + " for one sample");
      ExpectFinite(context, RenderFresh(context, single, plan, AtClock(-1)), at + 1,
                   Format("after %s on ", Number(bad).c_str()) + input +
                       Format(" at sample %u alone the output is not finite again from sample %u",
                              at, at + 1),
                   single, plan);
    }
  }
}

// Renders `script` on two instances in step; before block `at_block` of the first, `breach` does
// something the host must not; the outputs must still agree.
void CompareAfterBreach(CheckContext& context, const Script& script, const BlockPlan& plan,
                        size_t at_block, const std::string& what,
                        const std::function<void(Session&)>& breach) {
  const int64_t clock = context.random().Between(100000, 1 << 30);
  context.Playing(script, plan);
  std::unique_ptr<Session> breached = context.Create(AtClock(clock));
  std::unique_ptr<Session> reference = context.Create(AtClock(clock));
  RenderSession got(*breached, script, plan);
  RenderSession expected(*reference, script, plan);
  for (size_t block = 0; !got.done(); ++block) {
    if (block == at_block) {
      context.Step(what);
      breach(*breached);
    }
    got.Step();
    expected.Step();
  }
  ExpectSame(context, got.result(), expected.result(), 0, script.length,
             "after " + what + " the module renders differently from one that never saw it", script,
             plan);
}

// A script whose output shows whether the events after a breach still land on their samples.
Script TimingScript(CheckContext& context, uint32_t length) {
  Script script = BusyScript(context, length, 0, 0);
  const std::vector<Change> changes = FindEffectiveChanges(context, script, 24, 2);
  for (size_t index = 0; index < changes.size() && index < 3; ++index) {
    const uint32_t at = static_cast<uint32_t>(context.random().Between(length / 2, length - 3));
    changes[index].AddTo(&script, at);
    AddInputNudge(&script, context.Layout(), at + 2);
  }
  return script;
}

void CheckContractBlockLength(CheckContext& context) {
  const Script script = TimingScript(context, 320);
  const BlockPlan plan = BlockPlan::Uniform(script.length, 64);
  const int32_t lengths[] = {0, -1, -64, INT_MIN, INT_MIN + 1};
  CompareAfterBreach(context, script, plan, 2, "blocks of 0 and negative lengths",
                     [&](Session& instance) {
                       PatternBuffers buffers(instance);
                       for (int32_t frames : lengths) {
                         instance.Process(frames == 0 ? 5 : 0, frames);
                         const int32_t pin = buffers.FirstChanged();
                         if (pin >= 0) {
                           context.Fail(
                               Format("a block of %d samples wrote into the buffer of pin"
                                      " %d",
                                      frames, pin));
                         }
                       }
                     });
}

void CheckContractStaleEvents(CheckContext& context) {
  const PinLayout& layout = context.Layout();
  const Script script = TimingScript(context, 384);
  const BlockPlan plan = BlockPlan::Uniform(script.length, 64);
  CompareAfterBreach(
      context, script, plan, 2, "events stamped before the module's clock", [&](Session& instance) {
        const uint32_t clock = instance.clock();
        const ScriptEvent harmless = HarmlessEvent(layout, 0);
        for (uint32_t behind : {1u, 64u, 100000u, clock, 0x7FFFFFF0u, 0x80000010u}) {
          SeEvent event = {};
          event.time_stamp = clock - behind;
          event.event_type = harmless.type;
          event.value2 = harmless.value;
          event.data = reinterpret_cast<void*>(static_cast<std::intptr_t>(harmless.pin));
          instance.AddEvent(event);
        }
      });
}

void CheckContractPinIndex(CheckContext& context) {
  const PinLayout& layout = context.Layout();
  const int32_t count = static_cast<int32_t>(layout.pins.size());
  const Script script = TimingScript(context, 384);
  const BlockPlan plan = BlockPlan::Uniform(script.length, 64);
  CompareAfterBreach(
      context, script, plan, 1, "pin updates for pins that do not exist", [&](Session& instance) {
        for (int32_t pin : {count, count + 1, count + 1000, 65536, -1, -2, INT_MIN, INT_MAX}) {
          instance.PinUpdate(
              pin, 0, static_cast<int32_t>(context.random().Next()),
              instance.clock() + static_cast<uint32_t>(context.random().Between(0, 200)));
        }
      });
}

void CheckContractEventTypes(CheckContext& context) {
  const Script script = TimingScript(context, 384);
  const BlockPlan plan = BlockPlan::Uniform(script.length, 64);
  CompareAfterBreach(context, script, plan, 1, "events of types this protocol does not define",
                     [&](Session& instance) {
                       for (int32_t type : {1, 4, 5, 6, 7, 100, INT_MAX, -1, INT_MIN}) {
                         SeEvent event = {};
                         event.time_stamp = instance.clock() +
                                            static_cast<uint32_t>(context.random().Between(0, 200));
                         event.event_type = type;
                         event.value1 = static_cast<int32_t>(context.random().Next());
                         event.value2 = static_cast<int32_t>(context.random().Next());
                         instance.AddEvent(event);
                       }
                     });
  // Data events have a meaning that belongs to the module; they must only do no harm.
  context.Step("data events");
  Script with_data = BusyScript(context, 512, 8, 1);
  for (int count = 0; count < 6; ++count) {
    ScriptEvent event;
    event.at = static_cast<uint32_t>(context.random().Between(0, 511));
    event.type = static_cast<int32_t>(SeEventType::DataEvent);
    event.status = static_cast<int32_t>(context.random().Next());
    event.value = static_cast<int32_t>(context.random().Next());
    with_data.events.push_back(event);
  }
  const BlockPlan data_plan = BlockPlan::Uniform(with_data.length, 64);
  const RenderResult result = RenderFresh(context, with_data, data_plan, AtClock(-1));
  ExpectFinite(context, result, 0, "with data events", with_data, data_plan);
}

void CheckContractDeferredCall(CheckContext& context) {
  // The frame's own deferred calls hold a function it calls; a host has no business sending one,
  // and a frame that believed it would call through whatever `data` holds. Only null and a
  // zeroed dummy are sent: a frame that calls through those crashes, which this check, in its own
  // process, reports.
  std::vector<uint64_t> dummy(32, 0);
  const Script script = TimingScript(context, 384);
  const BlockPlan plan = BlockPlan::Uniform(script.length, 64);
  CompareAfterBreach(
      context, script, plan, 1, "deferred-call events (type 3) from the host",
      [&](Session& instance) {
        for (void* data : {static_cast<void*>(nullptr), static_cast<void*>(dummy.data())}) {
          SeEvent event = {};
          event.time_stamp =
              instance.clock() + static_cast<uint32_t>(context.random().Between(0, 100));
          event.event_type = static_cast<int32_t>(SeEventType::DeferredCall);
          event.data = data;
          instance.AddEvent(event);
        }
      });
  if (std::any_of(dummy.begin(), dummy.end(), [](uint64_t word) { return word != 0; })) {
    context.Fail("the module wrote into the memory a deferred-call event pointed at");
  }
}

void CheckContractBeforeOpen(CheckContext& context) {
  InstanceSetup unopened;
  unopened.open = false;
  {
    context.Step("closing an instance that was never opened");
    context.Create(unopened)->Close();
  }
  std::unique_ptr<Session> instance = context.Create(unopened);
  const std::vector<se_host::PinInfo>& pins = instance->pins();
  const ScriptEvent harmless = HarmlessEvent(context.Layout(), 0);
  {
    // What a module renders before open is its own affair; it must only survive it.
    context.Step("rendering before open");
    const Script script = LivelyScript(context.Layout(), 128, context.random());
    const BlockPlan plan = BlockPlan::Uniform(script.length, 64);
    context.Playing(script, plan);
    Render(*instance, script, plan);
  }
  context.Step("an event and a resume before open");
  if (harmless.type == 0)
    instance->PinUpdate(harmless.pin, 0, harmless.value, instance->clock() + 10);
  instance->host().set_sample_clock(instance->clock() + 1000);
  instance->Resume();
  instance->host().set_pin_count(static_cast<int32_t>(pins.size()));
  instance->Open();
  const Script script = BusyScript(context, 512, 8, 1);
  const BlockPlan plan = BlockPlan::Uniform(script.length, 64);
  context.Step("rendering after a late open");
  context.Playing(script, plan);
  const RenderResult result = Render(*instance, script, plan);
  ExpectFinite(context, result, 0, "after open", script, plan);
}

void CheckContractNullRecords(CheckContext& context) {
  InstanceSetup unopened;
  unopened.open = false;
  std::unique_ptr<Session> instance = context.Create(unopened);
  auto poke = [&](const char* phase) {
    const struct {
      ModuleOpcode opcode;
      int32_t index;
      const char* pin;
    } calls[] = {{ModuleOpcode::OpaqueQuery4, 0, ""},
                 {ModuleOpcode::OpaqueQuery5, 0, ""},
                 {ModuleOpcode::GetPinProperties, 0, " for pin 0"},
                 {ModuleOpcode::GetPinProperties, -1, " for pin -1"},
                 {ModuleOpcode::AddEvent, 0, ""},
                 {ModuleOpcode::GetModuleProperties, 0, ""}};
    for (const auto& call : calls) {
      const std::string name = std::string(OpcodeName(call.opcode)) + call.pin;
      context.Step(
          Format("opcode %d (%s) with a null record %s", Opcode(call.opcode), name.c_str(), phase));
      const int32_t reply = instance->Dispatch(call.opcode, call.index, 0, nullptr, 0.0f);
      if (reply != 0) {
        context.Fail(Format("opcode %d (%s) with a null record %s answered %d instead of 0",
                            Opcode(call.opcode), name.c_str(), phase, reply));
      }
    }
  };
  poke("before open");
  instance->host().set_pin_count(static_cast<int32_t>(instance->pins().size()));
  instance->Open();
  poke("after open");
}

void CheckContractHostPinCount(CheckContext& context) {
  const PinLayout& layout = context.Layout();
  const int32_t count = static_cast<int32_t>(layout.pins.size());
  for (int32_t reply : {0, count + 3, 1 << 20, -5}) {
    context.Step(Format("opening with GetPinCount answered %d", reply));
    InstanceSetup setup;
    setup.host_pins = reply;
    Script script = BusyScript(context, 512, 8, 1);
    // Pins the host holds beyond the module's own are pins too; the host may update them.
    for (int32_t extra = count; extra < std::min(reply, count + 3); ++extra) {
      ScriptEvent event;
      event.at = static_cast<uint32_t>(context.random().Between(0, 511));
      event.pin = extra;
      event.value = count > 0 ? DefaultControlValue(layout.pins.back(), nullptr) : 0;
      script.events.push_back(event);
    }
    const BlockPlan plan = BlockPlan::Uniform(script.length, 64);
    const RenderResult result = RenderFresh(context, script, plan, setup);
    const std::string what = Format("with %d pins by the host's count", reply);
    ExpectFinite(context, result, 0, what, script, plan);
  }
}

}  // namespace

std::vector<CheckDefinition> ContractChecks() {
  return {
      {"non-finite-inputs", CheckKind::kModule,
       "after a NaN or an infinity on any input the output is finite as soon as the inputs are",
       CheckNonFiniteInputs, 1},
      {"contract-block-length", CheckKind::kModule,
       "blocks of 0 or negative length render nothing and leave the clock alone",
       CheckContractBlockLength, 2},
      {"contract-stale-events", CheckKind::kModule,
       "events stamped before the clock do no harm and later events keep their time",
       CheckContractStaleEvents, 2},
      {"contract-pin-index", CheckKind::kModule,
       "pin updates for pins that do not exist are ignored", CheckContractPinIndex, 2},
      {"contract-event-types", CheckKind::kModule,
       "events of unknown types are ignored; data events do no harm", CheckContractEventTypes, 2},
      {"contract-deferred-call", CheckKind::kModule,
       "deferred-call events from the host are refused", CheckContractDeferredCall, 2},
      {"contract-before-open", CheckKind::kModule,
       "close without open, and a render, an event and a resume before open, do no harm",
       CheckContractBeforeOpen, 2},
      {"contract-null-records", CheckKind::kModule,
       "opcodes that take a record answer 0 to a null pointer", CheckContractNullRecords, 2},
      {"contract-host-pin-count", CheckKind::kModule,
       "any GetPinCount answer, 0, negative, larger than the module's pins or huge, is survived",
       CheckContractHostPinCount, 2},
  };
}

}  // namespace validation
}  // namespace modhost
