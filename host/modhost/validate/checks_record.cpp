// Checks of the record that `main` returns and of the dispatcher behind it: the record's words
// and their stability, a module given no host callback, each opcode's answers before and after
// open, unknown opcodes, and the module's properties.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "host/modhost/io/text.h"
#include "host/modhost/validate/check_support.h"
#include "host/modhost/validate/checks.h"
#include "se_sdk/abi_names.h"

namespace modhost {
namespace validation {

namespace {

void CheckRecordLayout(CheckContext& context) {
  InstanceSetup closed;
  closed.open = false;
  std::unique_ptr<Session> first = context.Create(closed);
  const ModuleRecord* record = first->record();
  auto expect_word = [&](const char* field, size_t offset, int32_t got, int32_t expected) {
    if (got != expected) {
      context.Fail(Format("the record's %s at offset %zu holds %d (0x%08X) instead of %d", field,
                          offset, got, static_cast<unsigned>(got), expected));
    }
  };
  expect_word("magic", offsetof(ModuleRecord, magic), record->magic, kModuleRecordMagic);
  for (int word = 0; word < 3; ++word) {
    expect_word("reserved word", offsetof(ModuleRecord, reserved8) + 4 * word,
                record->reserved8[word], 0);
  }
  expect_word("reserved word", offsetof(ModuleRecord, reserved20), record->reserved20, 0);
  expect_word("reserved word", offsetof(ModuleRecord, reserved24), record->reserved24, 0);
  expect_word("reserved word", offsetof(ModuleRecord, reserved28), record->reserved28, 0);
  expect_word("reserved word", offsetof(ModuleRecord, reserved36), record->reserved36, 0);
  expect_word("reserved word", offsetof(ModuleRecord, reserved40), record->reserved40, 1);
  for (int word = 0; word < 15; ++word) {
    expect_word("reserved word", offsetof(ModuleRecord, reserved48) + 4 * word,
                record->reserved48[word], 0);
  }
  if (record->dispatcher == nullptr) context.Fail("the record has no dispatcher");
  if (record->process == nullptr) context.Fail("the record has no process entry");

  std::unique_ptr<Session> second = context.Create();
  if (second->record() == first->record()) context.Fail("two instances share one record");

  // The host keeps the record's address and reads its entries again on every call; nothing in
  // it may move while the module lives.
  ModuleRecord snapshot;
  std::memcpy(&snapshot, record, sizeof snapshot);
  context.Step("running an instance and watching its record");
  first->host().set_pin_count(static_cast<int32_t>(first->pins().size()));
  first->SetSampleRate(48000.0f);
  first->Open();
  const Script script = BusyScript(context, 512, 8, 1);
  const BlockPlan plan = BlockPlan::Uniform(script.length, 64);
  context.Playing(script, plan);
  Render(*first, script, plan);
  first->host().set_sample_clock(first->clock() + 1000);
  first->Resume();
  second->Close();
  const unsigned char* before = reinterpret_cast<const unsigned char*>(&snapshot);
  const unsigned char* after = reinterpret_cast<const unsigned char*>(record);
  for (size_t offset = 0; offset < sizeof snapshot; ++offset) {
    if (before[offset] != after[offset]) {
      context.Fail(
          Format("the record's byte at offset %zu changed from 0x%02X to 0x%02X while the"
                 " module ran",
                 offset, before[offset], after[offset]));
      break;
    }
  }
}

void CheckNullHostCallback(CheckContext& context) {
  PluginEntry entry = context.Library()->entry();
  context.Step("calling main with a null host callback");
  ModuleRecord* record = entry(nullptr);
  if (record == nullptr) {
    context.Fail("main answers null when the host passes no callback");
    return;
  }
  if (record->magic != kModuleRecordMagic || !record->dispatcher || !record->process) {
    context.Fail(
        "main gives a record without the magic or its entries when the host passes no"
        " callback");
    return;
  }
  Tracer& tracer = context.tracer();
  auto dispatch = [&](ModuleOpcode opcode, int32_t index, int32_t value, void* ptr, float opt) {
    tracer.Line(Format("[null host] dispatcher %d index %d value %d ptr %s opt %s", Opcode(opcode),
                       index, value, Pointer(ptr).c_str(), Number(opt).c_str()));
    return record->dispatcher(record, Opcode(opcode), index, value, ptr, opt);
  };
  std::vector<se_host::PinInfo> pins;
  std::string problem;
  if (!se_host::EnumeratePinsWith(
          [&](int32_t index, PinDescription* description) {
            return dispatch(ModuleOpcode::GetPinProperties, index, 0, description, 0.0f);
          },
          se_host::HostedModule::kPinLimit, &pins, &problem)) {
    context.Fail("the pins cannot be enumerated: " + problem);
    dispatch(ModuleOpcode::Close, 0, 0, nullptr, 0.0f);
    return;
  }
  context.Step("opening and rendering without a host callback");
  dispatch(ModuleOpcode::SetSampleRate, 0, 0, nullptr, 44100.0f);
  dispatch(ModuleOpcode::Open, 0, 0, nullptr, 0.0f);
  // Guard samples on both sides: this check is about the missing callback, not about spans.
  std::vector<std::vector<float>> buffers;
  for (const se_host::PinInfo& pin : pins) {
    if (!pin.IsAudio() || pin.variable_address == nullptr) continue;
    buffers.emplace_back(256 + 2 * kGuardSamples, pin.IsAudioInput() ? DefaultSignal(pin) : 0.0f);
    float* buffer = buffers.back().data() + kGuardSamples;
    std::memcpy(pin.variable_address, &buffer, sizeof buffer);
  }
  for (int block = 0; block < 4; ++block) {
    tracer.Line(Format("[null host] process buffer_offset %d sampleFrames 64", block * 64));
    record->process(record, block * 64, 64);
  }
  dispatch(ModuleOpcode::Resume, 0, 0, nullptr, 0.0f);
  const int32_t closed = dispatch(ModuleOpcode::Close, 0, 0, nullptr, 0.0f);
  if (closed != 1) context.Fail(Format("opcode 1 (Close) answered %d instead of 1", closed));
}

// ---- The dispatcher -----------------------------------------------------------------------------

void CheckOpcodeAnswers(CheckContext& context) {
  InstanceSetup closed;
  closed.open = false;
  std::unique_ptr<Session> instance = context.Create(closed);
  const int32_t pin_count = static_cast<int32_t>(instance->pins().size());
  std::string phase = "before open";
  auto expect = [&](ModuleOpcode opcode, int32_t got, std::set<int32_t> allowed) {
    if (allowed.count(got) != 0) return;
    std::string wanted;
    for (int32_t value : allowed) wanted += (wanted.empty() ? "" : " or ") + std::to_string(value);
    context.Fail(Format("opcode %d (%s) %s answered %d instead of %s", Opcode(opcode),
                        OpcodeName(opcode), phase.c_str(), got, wanted.c_str()));
  };
  auto queries = [&]() {
    struct {
      ModuleProperties properties;
      uint32_t host_fields[16];
    } properties = {};
    expect(ModuleOpcode::GetModuleProperties,
           instance->Dispatch(ModuleOpcode::GetModuleProperties, 0, 0, &properties, 0.0f), {0, 1});
    if (pin_count > 0) {
      PinDescription description = {};
      expect(ModuleOpcode::GetPinProperties,
             instance->Dispatch(ModuleOpcode::GetPinProperties, 0, 0, &description, 0.0f), {1});
    }
    uint32_t scratch[64];
    std::fill(std::begin(scratch), std::end(scratch), kFill);
    expect(ModuleOpcode::OpaqueQuery4,
           instance->Dispatch(ModuleOpcode::OpaqueQuery4, 0, 0, scratch, 0.0f), {0, 1});
    expect(ModuleOpcode::OpaqueQuery5,
           instance->Dispatch(ModuleOpcode::OpaqueQuery5, 0, 0, scratch, 0.0f), {0, 1});
    expect(ModuleOpcode::SetSampleRate, instance->SetSampleRate(48000.0f), {0});
    expect(ModuleOpcode::SetBlockSize, instance->SetBlockSize(256), {0});
  };
  expect(ModuleOpcode::QueueEmpty, instance->QueueEmpty(), {1});
  queries();
  instance->host().set_pin_count(pin_count);
  expect(ModuleOpcode::Open, instance->Open(), {0});
  phase = "after open";
  queries();
  expect(ModuleOpcode::Resume, instance->Resume(), {0});
  // A module may queue calls of its own at open; only then may the queue hold something here.
  const int32_t empty_after_open = instance->QueueEmpty();
  expect(ModuleOpcode::QueueEmpty, empty_after_open, {0, 1});

  // An event waits in the queue until its block has been rendered.
  const PinLayout& layout = context.Layout();
  Script script = LivelyScript(layout, 192, context.random());
  ScriptEvent waiting = HarmlessEvent(layout, 100);
  waiting.lead = 1;
  script.events.push_back(waiting);
  const BlockPlan plan = BlockPlan::Uniform(script.length, 64);
  context.Playing(script, plan);
  RenderSession session(*instance, script, plan);
  session.Step();
  phase = "while an event waits";
  expect(ModuleOpcode::QueueEmpty, instance->QueueEmpty(), {0});
  session.Step();
  phase = "after the waiting event fell due";
  expect(ModuleOpcode::QueueEmpty, instance->QueueEmpty(),
         empty_after_open == 1 ? std::set<int32_t>{1} : std::set<int32_t>{0, 1});
  SeEvent future = {};
  future.time_stamp = instance->clock() + 100000;
  future.event_type = kUndefinedEventType;
  phase = "for a future event";
  expect(ModuleOpcode::AddEvent, instance->AddEvent(future), {0});
  phase = "on close";
  expect(ModuleOpcode::Close, instance->Close(), {1});
}

void CheckOpcodeUnknown(CheckContext& context) {
  // Numbers just past the opcodes, and far from them either way; any that the interface comes to
  // define are skipped.
  const int32_t unknown[] = {11, 12, 13,   14,    15,      16,         20,      31,
                             32, 64, 100,  255,   256,     1000,       0x10000, INT_MAX,
                             -1, -2, -100, -1000, INT_MIN, INT_MIN + 1};
  InstanceSetup closed;
  closed.open = false;
  closed.clock = 2000;
  std::unique_ptr<Session> poked = context.Create(closed);
  auto poke = [&](const char* phase) {
    for (int32_t opcode : unknown) {
      if (se_abi_names::ModuleOpcodeName(opcode) != nullptr) continue;
      uint32_t scratch[64];
      std::fill(std::begin(scratch), std::end(scratch), kFill);
      const uint64_t requests = poked->host().request_count();
      const int32_t index = static_cast<int32_t>(context.random().Between(-5, 40));
      const int32_t value = static_cast<int32_t>(context.random().Between(-100000, 100000));
      const float opt = static_cast<float>(context.random().Uniform(-1e5, 1e5));
      void* ptr = context.random().Chance(0.5) ? scratch : nullptr;
      const int32_t reply = poked->Dispatch(opcode, index, value, ptr, opt);
      const std::string what = Format("unknown opcode %d %s", opcode, phase);
      if (reply != 0) context.Fail(Format("%s answered %d instead of 0", what.c_str(), reply));
      if (ptr && std::any_of(std::begin(scratch), std::end(scratch),
                             [](uint32_t word) { return word != kFill; })) {
        context.Fail(what + " wrote into the record it was given");
      }
      if (poked->host().request_count() != requests) {
        context.Fail(what + " made the module send a host request");
      }
    }
  };
  context.Step("sending unknown opcodes before open");
  poke("before open");
  poked->host().set_pin_count(static_cast<int32_t>(poked->pins().size()));
  poked->SetSampleRate(44100.0f);
  poked->SetBlockSize(512);
  poked->Open();
  context.Step("sending unknown opcodes after open");
  poke("after open");

  // Ignored means ignored: the instance renders exactly as one that never saw them.
  const Script script = BusyScript(context, 1024, 12, 1);
  const BlockPlan plan = BlockPlan::Uniform(script.length, 64);
  context.Playing(script, plan);
  const RenderResult got = Render(*poked, script, plan);
  const RenderResult expected = RenderFresh(context, script, plan, AtClock(2000));
  ExpectSame(context, got, expected, 0, script.length,
             "after unknown opcodes the module renders differently from a fresh one", script, plan);
}

void CheckModuleProperties(CheckContext& context) {
  InstanceSetup closed;
  closed.open = false;
  std::unique_ptr<Session> instance = context.Create(closed);
  struct Record {
    ModuleProperties properties;
    uint32_t host_fields[16];
  };
  struct Answer {
    int32_t reply = 0;
    std::string name, id, about;
  };
  auto ask = [&](const char* phase) {
    Record record;
    record.properties.name = kUnwrittenText;
    record.properties.id = kUnwrittenText;
    record.properties.about = kUnwrittenText;
    std::fill(std::begin(record.host_fields), std::end(record.host_fields), kFill);
    const Record blank = record;
    Answer answer;
    answer.reply = instance->Dispatch(ModuleOpcode::GetModuleProperties, 0, 0, &record, 0.0f);
    if (!SameBytes(record.host_fields, blank.host_fields, sizeof record.host_fields)) {
      context.Fail(std::string("opcode 9 ") + phase +
                   " wrote past the three words of the module-properties record");
    }
    if (answer.reply == 0) {
      if (!SameBytes(&record.properties, &blank.properties, sizeof record.properties)) {
        context.Fail(std::string("opcode 9 ") + phase + " answered 0 but changed the record");
      }
      return answer;
    }
    if (answer.reply != 1) {
      context.Fail(Format("opcode 9 %s answered %d; a truth value is 1 or 0", phase, answer.reply));
    }
    const struct {
      const char* field;
      const char* text;
      std::string* copy;
      bool may_be_empty;
    } fields[] = {{"name", record.properties.name, &answer.name, false},
                  {"id", record.properties.id, &answer.id, false},
                  {"about", record.properties.about, &answer.about, true}};
    for (const auto& field : fields) {
      const std::string what = std::string("opcode 9 ") + phase + ": the " + field.field;
      if (field.text == kUnwrittenText) {
        context.Fail(what + " was left unwritten");
      } else if (field.text == nullptr) {
        context.Fail(what + " is a null pointer");
      } else if (!se_host::ReadModuleText(field.text, se_host::kModuleTextLimit, field.copy)) {
        context.Fail(what +
                     Format(" has no terminator within %zu bytes", se_host::kModuleTextLimit));
      } else if (field.copy->empty() && !field.may_be_empty) {
        context.Fail(what + " is empty");
      }
    }
    return answer;
  };
  context.Step("asking for the module's properties");
  const Answer before = ask("before open");
  instance->host().set_pin_count(static_cast<int32_t>(instance->pins().size()));
  instance->Open();
  const Answer after = ask("after open");
  const Answer again = ask("asked again");
  for (const Answer* later : {&after, &again}) {
    if (later->reply != before.reply || later->name != before.name || later->id != before.id ||
        later->about != before.about) {
      context.Fail("the module's properties change between calls");
      break;
    }
  }
  if (before.reply == 0) {
    context.Note("the module does not describe itself (opcode 9 answers 0)");
  } else {
    context.Note("name " + DoubleQuoted(before.name) + ", id " + DoubleQuoted(before.id));
  }
}

}  // namespace

std::vector<CheckDefinition> RecordChecks() {
  return {
      {"record-layout", CheckKind::kModule,
       "the record's magic, reserved words and entries, one record per instance, none changing",
       CheckRecordLayout, 2},
      {"null-host-callback", CheckKind::kModule,
       "a module given a null host callback opens, renders and closes", CheckNullHostCallback, 2},
      {"opcode-answers", CheckKind::kModule,
       "every opcode's answer before and after open: results, truth values, the queue's state",
       CheckOpcodeAnswers, 1},
      {"opcode-unknown", CheckKind::kModule,
       "unknown opcodes answer 0, touch nothing, ask nothing and change nothing",
       CheckOpcodeUnknown, 2},
      {"module-properties", CheckKind::kModule,
       "opcode 9 fills exactly three terminated texts, the same every time", CheckModuleProperties,
       1},
  };
}

}  // namespace validation
}  // namespace modhost
