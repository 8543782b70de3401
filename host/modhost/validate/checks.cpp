// The validator's checks. Each states one property of a conforming library, drives the library
// through the harness to test it, and reports every way in which the property fails, with the
// script that shows it. Checks that compare renders compare them bit for bit: a module of this
// protocol is deterministic, and the pieces it renders must not depend on how the host cut them.
//
// A few properties cannot be observed in every module: event timing needs a pin change that shows
// in the output. Such checks look for one first (FindEffectiveChanges) and pass with a note when
// there is none, rather than guess.
#include "host/modhost/validate/checks.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <thread>

#include "host/modhost/io/file_system.h"
#include "host/modhost/io/library_tables.h"
#include "host/modhost/run/library_kind.h"

namespace modhost {
namespace validation {

namespace {

const int32_t kOpcodeOpen = 0;
const int32_t kOpcodeClose = 1;
const int32_t kOpcodeSetSampleRate = 2;
const int32_t kOpcodeSetBlockSize = 3;
const int32_t kOpcodeQuery4 = 4;
const int32_t kOpcodeQuery5 = 5;
const int32_t kOpcodePinProperties = 6;
const int32_t kOpcodeAddEvent = 7;
const int32_t kOpcodeResume = 8;
const int32_t kOpcodeModuleProperties = 9;
const int32_t kOpcodeQueueEmpty = 10;

const uint32_t kFill = 0x5A5A5A5Au;

// Stands in every pointer of a record handed to the module, so that a field the module did not
// write is seen as such; only its address matters.
const char kUnwrittenText[] = "(unwritten)";

bool SameBytes(const void* first, const void* second, size_t size) {
  return std::memcmp(first, second, size) == 0;
}

// ---- Shared pieces ------------------------------------------------------------------------------

// A script that makes every kind of module sound: the lively levels plus random events.
Script BusyScript(CheckContext& context, uint32_t length, size_t events, int32_t max_lead) {
  const PinLayout& layout = context.Layout();
  Script script = LivelyScript(layout, length, context.random());
  AddRandomEvents(&script, layout, events, max_lead, context.random());
  return script;
}

// Renders on a fresh instance made with `setup`, announcing the script first for crash reports.
RenderResult RenderFresh(CheckContext& context, const Script& script, const BlockPlan& plan,
                         const InstanceSetup& setup) {
  context.Playing(script, plan);
  std::unique_ptr<Instance> instance = context.Create(setup);
  return Render(*instance, script, plan);
}

InstanceSetup AtClock(int64_t clock) {
  InstanceSetup setup;
  setup.clock = clock;
  return setup;
}

// An event that no module should notice: a pin update of an audio input with status 0, or of a
// control at its default value; a type-1 event when there is neither.
ScriptEvent HarmlessEvent(const PinLayout& layout, uint32_t at) {
  ScriptEvent event;
  event.at = at;
  if (!layout.audio_inputs.empty()) {
    event.pin = layout.audio_inputs[0];
  } else if (!layout.controls.empty()) {
    event.pin = layout.controls[0];
    event.value = DefaultControlValue(layout.pins[static_cast<size_t>(event.pin)], nullptr);
  } else {
    event.type = 1;
  }
  return event;
}

// Reports the render faults of one kind as one failure, with the first few of them.
void FailFaults(CheckContext& context, const std::vector<std::string>& faults, size_t blocks,
                const RenderResult& result, const Script& script, const BlockPlan& plan) {
  if (faults.empty()) return;
  std::string text =
      Format("in %zu of %zu blocks (%s): ", blocks, result.blocks, plan.Summary().c_str()) +
      faults.front();
  for (size_t index = 1; index < faults.size(); ++index) text += "; " + faults[index];
  context.Fail(text, script, &plan);
}

// Fails when the two renders differ anywhere in [from, to).
bool ExpectSame(CheckContext& context, const RenderResult& got, const RenderResult& expected,
                size_t from, size_t to, const std::string& what, const Script& script,
                const BlockPlan& plan) {
  std::string where;
  if (FirstDifference(context.Layout(), got, expected, from, to, &where) < 0) return true;
  context.Fail(what + ": " + where, script, &plan);
  return false;
}

bool ExpectFinite(CheckContext& context, const RenderResult& result, size_t from,
                  const std::string& what, const Script& script, const BlockPlan& plan) {
  std::string where;
  if (FirstNonFinite(result, from, SIZE_MAX, &where, context.Layout()) < 0) return true;
  context.Fail(what + ": " + where, script, &plan);
  return false;
}

// Buffers for every audio pin of an instance, filled with the unwritten pattern and bound, for the
// calls that a render session does not make; FirstChanged tells whether the module left them so.
class PatternBuffers {
 public:
  explicit PatternBuffers(Instance& instance) {
    for (const se_host::PinInfo& pin : instance.pins()) {
      if (!pin.IsAudio()) continue;
      pins_.push_back(pin.index);
      float pattern = 0;
      std::memcpy(&pattern, &kUnwrittenPattern, sizeof pattern);
      storage_.emplace_back(2 * kGuardSamples + 64, pattern);
      instance.Bind(pin.index, storage_.back().data() + kGuardSamples);
    }
  }
  // The first pin whose buffer changed, or -1.
  int32_t FirstChanged() const {
    for (size_t slot = 0; slot < pins_.size(); ++slot) {
      for (float sample : storage_[slot]) {
        uint32_t bits = 0;
        std::memcpy(&bits, &sample, sizeof bits);
        if (bits != kUnwrittenPattern) return pins_[slot];
      }
    }
    return -1;
  }

 private:
  std::vector<int32_t> pins_;
  std::vector<std::vector<float>> storage_;
};

const char* const kProtocolHostOpcodes = "0, 1, 2, 3, 4, 8 and 14";

bool IsKnownHostOpcode(int32_t opcode) {
  return opcode == 0 || opcode == 1 || opcode == 2 || opcode == 3 || opcode == 4 || opcode == 8 ||
         opcode == 14;
}

bool IsPinRequest(int32_t opcode) {
  return opcode == 0 || opcode == 1 || opcode == 2 || opcode == 4 || opcode == 8;
}

// ---- File checks --------------------------------------------------------------------------------

bool ReadBinary(CheckContext& context, BinaryInfo* info) {
  std::string bytes;
  std::string error;
  context.Step("reading the file");
  if (!ReadWholeFile(context.library_path(), &bytes, &error)) context.Abort(error);
  *info = InspectBinary(bytes);
  return true;
}

void CheckFileFormat(CheckContext& context) {
  BinaryInfo info;
  ReadBinary(context, &info);
  if (info.format == BinaryFormat::kUnknown) {
    context.Fail("the file is not a library: " + info.error);
    return;
  }
  if (!MatchesHostKind(info)) {
    context.Fail("the file is a " + DescribeBinaryKind(info) + "; this host loads a " +
                 HostBinaryKind());
  } else {
    context.Note(DescribeBinaryKind(info));
  }
  if (!info.error.empty()) context.Fail("its tables cannot be read: " + info.error);
}

void CheckFileExports(CheckContext& context) {
  BinaryInfo info;
  ReadBinary(context, &info);
  if (!info.error.empty()) {
    context.Fail("the export table cannot be read: " + info.error);
    return;
  }
  bool has_main = false;
  std::vector<std::string> others;
  for (const ExportedSymbol& exported : info.exports) {
    if (exported.name == "main") {
      has_main = true;
      if (!exported.is_function) context.Fail("the export `main` is not a function");
    } else {
      others.push_back(exported.name);
    }
  }
  if (!has_main) context.Fail("the library does not export `main`");
  if (!others.empty()) {
    std::string names;
    for (size_t index = 0; index < others.size() && index < 20; ++index) {
      names += (index ? ", " : "") + others[index];
    }
    if (others.size() > 20) names += ", ...";
    context.Fail("the library exports " + std::to_string(others.size()) +
                 " symbols besides `main`: " + names);
  }
}

void CheckFileImports(CheckContext& context) {
  BinaryInfo info;
  ReadBinary(context, &info);
  if (!info.error.empty()) {
    context.Fail("the import tables cannot be read: " + info.error);
    return;
  }
  std::string all;
  for (const std::string& name : info.imports) {
    all += (all.empty() ? "" : ", ") + name;
    if (!IsSystemLibrary(info.format, name)) {
      context.Fail("the library needs " + name +
                   ", which is neither part of the system nor of the language's run-time");
    }
  }
  context.Note(all.empty() ? "imports nothing" : "imports " + all);
}

// ---- Loading
// --------------------------------------------------------------------------------------

void CheckLoad(CheckContext& context) {
  context.Step("loading the library");
  auto library = std::make_shared<se_host::PluginLibrary>();
  if (!library->Load(context.library_path())) {
    context.report().stage = library->error() == se_host::LibraryError::kNoEntry
                                 ? LoadStage::kNoMain
                                 : LoadStage::kCannotLoad;
    context.Fail(std::string(se_host::LibraryErrorName(library->error())) + ": " +
                 ExplainLoadFailure(context.library_path(), *library));
    return;
  }
  context.Step("calling main");
  se_host::CreateResult created = se_host::HostedModule::Create(library);
  if (!created.module) {
    context.report().stage = LoadStage::kBadRecord;
    context.Fail(std::string("main gives no usable record (") +
                 se_host::CreateErrorName(created.error) + "): " + created.error_text);
    return;
  }
  context.report().stage = LoadStage::kLoaded;
  context.Step("closing the first instance");
  created.module->Close();
}

void CheckRecordLayout(CheckContext& context) {
  InstanceSetup closed;
  closed.open = false;
  std::unique_ptr<Instance> first = context.Create(closed);
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

  std::unique_ptr<Instance> second = context.Create();
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
  auto dispatch = [&](int32_t opcode, int32_t index, int32_t value, void* ptr, float opt) {
    tracer.Line(Format("[null host] dispatcher %d index %d value %d ptr %s opt %s", opcode, index,
                       value, Pointer(ptr).c_str(), Number(opt).c_str()));
    return record->dispatcher(record, opcode, index, value, ptr, opt);
  };
  std::vector<se_host::PinInfo> pins;
  std::string problem;
  if (!se_host::EnumeratePinsWith(
          [&](int32_t index, PinDescription* description) {
            return dispatch(kOpcodePinProperties, index, 0, description, 0.0f);
          },
          se_host::HostedModule::kPinLimit, &pins, &problem)) {
    context.Fail("the pins cannot be enumerated: " + problem);
    dispatch(kOpcodeClose, 0, 0, nullptr, 0.0f);
    return;
  }
  context.Step("opening and rendering without a host callback");
  dispatch(kOpcodeSetSampleRate, 0, 0, nullptr, 44100.0f);
  dispatch(kOpcodeOpen, 0, 0, nullptr, 0.0f);
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
  dispatch(kOpcodeResume, 0, 0, nullptr, 0.0f);
  const int32_t closed = dispatch(kOpcodeClose, 0, 0, nullptr, 0.0f);
  if (closed != 1) context.Fail(Format("opcode 1 (Close) answered %d instead of 1", closed));
}

// ---- The dispatcher
// -------------------------------------------------------------------------------

void CheckOpcodeAnswers(CheckContext& context) {
  InstanceSetup closed;
  closed.open = false;
  std::unique_ptr<Instance> instance = context.Create(closed);
  const int32_t pin_count = static_cast<int32_t>(instance->pins().size());
  std::string phase = "before open";
  auto expect = [&](int32_t opcode, const char* name, int32_t got, std::set<int32_t> allowed) {
    if (allowed.count(got) != 0) return;
    std::string wanted;
    for (int32_t value : allowed) wanted += (wanted.empty() ? "" : " or ") + std::to_string(value);
    context.Fail(Format("opcode %d (%s) %s answered %d instead of %s", opcode, name, phase.c_str(),
                        got, wanted.c_str()));
  };
  auto queries = [&]() {
    struct {
      ModuleProperties properties;
      uint32_t host_fields[16];
    } properties = {};
    expect(kOpcodeModuleProperties, "GetModuleProperties",
           instance->Dispatch(kOpcodeModuleProperties, 0, 0, &properties, 0.0f), {0, 1});
    if (pin_count > 0) {
      PinDescription description = {};
      expect(kOpcodePinProperties, "GetPinProperties",
             instance->Dispatch(kOpcodePinProperties, 0, 0, &description, 0.0f), {1});
    }
    uint32_t scratch[64];
    std::fill(std::begin(scratch), std::end(scratch), kFill);
    expect(kOpcodeQuery4, "OpaqueQuery4", instance->Dispatch(kOpcodeQuery4, 0, 0, scratch, 0.0f),
           {0, 1});
    expect(kOpcodeQuery5, "OpaqueQuery5", instance->Dispatch(kOpcodeQuery5, 0, 0, scratch, 0.0f),
           {0, 1});
    expect(kOpcodeSetSampleRate, "SetSampleRate", instance->SetSampleRate(48000.0f), {0});
    expect(kOpcodeSetBlockSize, "SetBlockSize", instance->SetBlockSize(256), {0});
  };
  expect(kOpcodeQueueEmpty, "QueueEmpty", instance->QueueEmpty(), {1});
  queries();
  instance->host().set_pin_count(pin_count);
  expect(kOpcodeOpen, "Open", instance->Open(), {0});
  phase = "after open";
  queries();
  expect(kOpcodeResume, "Resume", instance->Resume(), {0});
  // A module may queue calls of its own at open; only then may the queue hold something here.
  const int32_t empty_after_open = instance->QueueEmpty();
  expect(kOpcodeQueueEmpty, "QueueEmpty", empty_after_open, {0, 1});

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
  expect(kOpcodeQueueEmpty, "QueueEmpty", instance->QueueEmpty(), {0});
  session.Step();
  phase = "after the waiting event fell due";
  expect(kOpcodeQueueEmpty, "QueueEmpty", instance->QueueEmpty(),
         empty_after_open == 1 ? std::set<int32_t>{1} : std::set<int32_t>{0, 1});
  SeEvent future = {};
  future.time_stamp = instance->clock() + 100000;
  future.event_type = 1;
  phase = "for a future event";
  expect(kOpcodeAddEvent, "AddEvent", instance->AddEvent(future), {0});
  phase = "on close";
  expect(kOpcodeClose, "Close", instance->Close(), {1});
}

void CheckOpcodeUnknown(CheckContext& context) {
  const int32_t unknown[] = {11, 12, 13,   14,    15,      16,         20,      31,
                             32, 64, 100,  255,   256,     1000,       0x10000, INT_MAX,
                             -1, -2, -100, -1000, INT_MIN, INT_MIN + 1};
  InstanceSetup closed;
  closed.open = false;
  closed.clock = 2000;
  std::unique_ptr<Instance> poked = context.Create(closed);
  auto poke = [&](const char* phase) {
    for (int32_t opcode : unknown) {
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
  std::unique_ptr<Instance> instance = context.Create(closed);
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
    answer.reply = instance->Dispatch(kOpcodeModuleProperties, 0, 0, &record, 0.0f);
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

// ---- Pins
// -----------------------------------------------------------------------------------------

void CheckPinEnumeration(CheckContext& context) {
  InstanceSetup closed;
  closed.open = false;
  std::unique_ptr<Instance> instance = context.Create(closed);
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
    const int32_t reply = instance->Dispatch(kOpcodePinProperties, index, 0, &record, 0.0f);
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
    if (static_cast<uint32_t>(pin.direction) > 3) {
      context.Fail(Format("%s: direction %d is none of Input (0), Output (1) and Setting (3)",
                          where.c_str(), pin.direction));
    }
    if (static_cast<uint32_t>(pin.datatype) > 6) {
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
    const int32_t reply = instance->Dispatch(kOpcodePinProperties, outside, 0, &record, 0.0f);
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
  if (!EnumeratePins(*instance, se_host::HostedModule::kPinLimit, &later, &problem)) {
    context.Abort("after open " + problem);
  }
  same_pins(later, "after open", true);
  const Script script = BusyScript(context, 512, 8, 1);
  const BlockPlan plan = BlockPlan::Uniform(script.length, 64);
  context.Playing(script, plan);
  Render(*instance, script, plan);
  if (!EnumeratePins(*instance, se_host::HostedModule::kPinLimit, &later, &problem)) {
    context.Abort("after a render " + problem);
  }
  same_pins(later, "after a render", true);
  std::unique_ptr<Instance> other = context.Create(closed);
  if (!EnumeratePins(*other, se_host::HostedModule::kPinLimit, &later, &problem)) {
    context.Abort("in a second instance " + problem);
  }
  same_pins(later, "in a second instance", false);

  const PinLayout& layout = context.Layout();
  context.Note(Format("%d pins: %zu audio inputs, %zu audio outputs, %zu controls", count,
                      layout.audio_inputs.size(), layout.audio_outputs.size(),
                      layout.controls.size()));
}

// ---- Host requests
// --------------------------------------------------------------------------------

void CheckHostRequests(CheckContext& context) {
  const uint64_t stray_before = se_host::HostedModule::StrayRequestCount();
  // Named before the instance, whose request watcher reads it until the instance is gone.
  std::string phase = "main";
  InstanceSetup closed;
  closed.open = false;
  closed.record_requests = true;
  std::unique_ptr<Instance> instance = context.Create(closed);
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
  instance->Dispatch(kOpcodeModuleProperties, 0, 0, &properties, 0.0f);
  instance->SetSampleRate(44100.0f);
  instance->SetBlockSize(256);
  instance->QueueEmpty();
  first_request("answering queries before open,");
  host.ClearRequests();

  // Every request is judged as it arrives, against the host's clock of the call in progress.
  int32_t host_pins = pin_count + 2;
  instance->WatchRequests([&](const se_host::HostRequest& request) {
    const std::string what = Format("%s: request %d (index %d, value %d)", phase.c_str(),
                                    request.opcode, request.index, request.value);
    if (request.foreign_record) {
      context.Fail(what + " carries a record pointer that is not the module's own");
    }
    if (request.opt != 0.0f || std::signbit(request.opt)) {
      context.Fail(what + " has opt " + Number(request.opt) + " instead of 0.0");
    }
    if (!IsKnownHostOpcode(request.opcode)) {
      context.Fail(what + " is not a host request of this protocol (" + kProtocolHostOpcodes + ")");
    } else if (IsPinRequest(request.opcode) &&
               (request.index < 0 || request.index >= std::max(pin_count, host_pins))) {
      context.Fail(what + Format(" names a pin that does not exist (%d pins)", pin_count));
    }
    if (request.opcode == 0 || request.opcode == 4) {
      const uint32_t time = static_cast<uint32_t>(request.ptr);
      const uint32_t clock = host.sample_clock();
      if (static_cast<int32_t>(time - clock) < 0) {
        context.Fail(
            what + Format(" is for sample-clock time %u, before the host's clock %u", time, clock));
      }
    }
  });
  auto asked_clock = [&](const char* when) {
    const std::vector<se_host::HostRequest>& requests = host.requests();
    const bool asked =
        std::any_of(requests.begin(), requests.end(),
                    [](const se_host::HostRequest& request) { return request.opcode == 3; });
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
  instance->WatchRequests(nullptr);
  instance->Close();
  first_request("at close");

  const uint64_t stray = se_host::HostedModule::StrayRequestCount() - stray_before;
  if (stray != 0) {
    context.Fail(Format("%llu host requests arrived outside any call into the module",
                        static_cast<unsigned long long>(stray)));
  }
}

// ---- Events
// -----------------------------------------------------------------------------------------

void CheckEventsExactSample(CheckContext& context) {
  const PinLayout& layout = context.Layout();
  const Script base = LivelyScript(layout, 0, context.random());
  std::vector<Change> changes = FindEffectiveChanges(context, base, 48, 3);
  if (changes.empty()) {
    context.Note("no pin change shows in the output, so event timing cannot be observed");
    return;
  }
  context.Note(Format("%zu pin changes show in the output", changes.size()));
  context.random().Shuffle(changes);
  if (changes.size() > 10) changes.resize(10);
  for (const Change& change : changes) {
    const int32_t block =
        static_cast<int32_t>(context.random().Pick(std::vector<int64_t>{64, 100, 512}));
    const uint32_t at = static_cast<uint32_t>(block + context.random().Between(4, block - 5));
    const uint32_t length = 3 * static_cast<uint32_t>(block);
    // Input nudges just before and after the event, in the same block: a setting applied too
    // early shows at the first, one applied too late at the second.
    const uint32_t before = at - static_cast<uint32_t>(context.random().Between(1, 3));
    const uint32_t after = at + static_cast<uint32_t>(context.random().Between(1, 3));
    const int32_t lead = static_cast<int32_t>(context.random().Between(0, 1));
    auto with_change_at = [&](uint32_t change_at) {
      Script script = base;
      script.length = length;
      AddInputNudge(&script, layout, before);
      change.AddTo(&script, change_at, lead);
      AddInputNudge(&script, layout, after);
      return script;
    };
    const Script script = with_change_at(at);
    context.Step("changing " + change.Describe(layout) + Format(" at sample %u", at));
    const BlockPlan whole = BlockPlan::Uniform(length, block);
    const BlockPlan cut = BlockPlan::CutAt(
        length, {static_cast<uint32_t>(block), at, 2 * static_cast<uint32_t>(block)});
    const RenderResult got = RenderFresh(context, script, whole, AtClock(-1));
    const RenderResult expected = RenderFresh(context, script, cut, AtClock(-1));
    std::string where;
    const int64_t differs = FirstDifference(layout, got, expected, 0, length, &where);
    if (differs < 0) continue;

    // Where did it take effect instead? Try the two places a careless frame puts it.
    std::string how =
        Format("the output first differs from a render cut at that sample at %s", where.c_str());
    for (uint32_t moved : {static_cast<uint32_t>(block), 2 * static_cast<uint32_t>(block)}) {
      const Script elsewhere = with_change_at(moved);
      const RenderResult other = RenderFresh(context, elsewhere, whole, AtClock(-1));
      if (FirstDifference(layout, got, other, 0, length, nullptr) < 0) {
        how = Format("it took effect at sample %u, the %s block instead", moved,
                     moved == at - (at % static_cast<uint32_t>(block)) ? "start of its"
                                                                       : "start of the next");
        break;
      }
    }
    context.Fail(
        Format("an event at sample %u (inside a block of %d samples) changing ", at, block) +
            change.Describe(layout) + " was not handled at its sample: " + how,
        script, &whole);
  }
}

void CheckEventsSameSample(CheckContext& context) {
  const PinLayout& layout = context.Layout();
  const Script base = LivelyScript(layout, 256, context.random());
  const std::vector<Change> changes = FindEffectiveChanges(context, base, 64, 3);
  const BlockPlan plan = BlockPlan::Uniform(base.length, 128);
  const uint32_t at = static_cast<uint32_t>(context.random().Between(129, 250));
  auto render = [&](std::vector<Change> order) {
    Script script = base;
    for (const Change& change : order) change.AddTo(&script, at);
    AddInputNudge(&script, layout, at + 3);
    return std::make_pair(script, RenderFresh(context, script, plan, AtClock(-1)));
  };

  // Two values of one pin at one sample: the later one wins, with nothing rendered between.
  bool tried = false;
  for (size_t first = 0; first < changes.size() && !tried; ++first) {
    for (size_t second = first + 1; second < changes.size() && !tried; ++second) {
      const Change& one = changes[first];
      const Change& other = changes[second];
      if (one.is_level || other.is_level || one.pin != other.pin) continue;
      const auto only_one = render({one});
      const auto only_other = render({other});
      if (FirstDifference(layout, only_one.second, only_other.second, 0, base.length, nullptr) <
          0) {
        continue;
      }
      tried = true;
      context.Step("two values of " + PinLabel(layout.pins[static_cast<size_t>(one.pin)]) +
                   " at one sample");
      const auto one_then_other = render({one, other});
      ExpectSame(context, one_then_other.second, only_other.second, 0, base.length,
                 "two updates of " + PinLabel(layout.pins[static_cast<size_t>(one.pin)]) +
                     Format(" at sample %u: the later one did not win", at),
                 one_then_other.first, plan);
      const auto other_then_one = render({other, one});
      ExpectSame(context, other_then_one.second, only_one.second, 0, base.length,
                 "two updates of " + PinLabel(layout.pins[static_cast<size_t>(one.pin)]) +
                     Format(" at sample %u in the other order: the later one did not win", at),
                 other_then_one.first, plan);
    }
  }
  // Changes of two pins at one sample both take effect there, whichever came first.
  bool paired = false;
  for (size_t first = 0; first < changes.size() && !paired; ++first) {
    for (size_t second = first + 1; second < changes.size() && !paired; ++second) {
      if (changes[first].pin == changes[second].pin) continue;
      paired = true;
      context.Step("changes of two pins at one sample");
      const auto forward = render({changes[first], changes[second]});
      const auto backward = render({changes[second], changes[first]});
      const BlockPlan cut = BlockPlan::CutAt(base.length, {at});
      context.Playing(forward.first, cut);
      std::unique_ptr<Instance> instance = context.Create();
      const RenderResult split = Render(*instance, forward.first, cut);
      ExpectSame(context, forward.second, split, 0, base.length,
                 Format("two events at sample %u, inside a block, give another output than the"
                        " same events at the start of a block",
                        at),
                 forward.first, plan);
      ExpectSame(context, backward.second, forward.second, 0, base.length,
                 Format("two events for different pins at sample %u give another output when"
                        " handed over in the other order",
                        at),
                 backward.first, plan);
    }
  }
  if (!tried && !paired) {
    context.Note(
        "no pair of pin changes shows in the output; same-sample order cannot be"
        " observed");
  }
}

void CheckEventsPastBlock(CheckContext& context) {
  const PinLayout& layout = context.Layout();
  const int32_t block = 64;
  const Script base = LivelyScript(layout, 0, context.random());
  std::vector<Change> changes = FindEffectiveChanges(context, base, 48, 2);
  Change change;
  const bool observable = !changes.empty();
  if (observable) change = context.random().Pick(changes);

  struct Case {
    const char* what;
    uint32_t at;
    int32_t lead;
  };
  const Case cases[] = {
      {"an event at the first sample after its block", static_cast<uint32_t>(block), 1},
      {"an event at the last sample of a block", 2 * block - 1, 0},
      {"an event handed over ten blocks early", 10 * block + 17, 10},
  };
  const uint32_t length = 12 * block;
  const BlockPlan plan = BlockPlan::Uniform(length, block);
  for (const Case& scenario : cases) {
    Script script = base;
    script.length = length;
    if (observable) {
      change.AddTo(&script, scenario.at, scenario.lead);
      AddInputNudge(&script, layout, scenario.at + 2);
    } else {
      ScriptEvent event = HarmlessEvent(layout, scenario.at);
      event.lead = scenario.lead;
      script.events.push_back(event);
    }
    context.Step(scenario.what);
    context.Playing(script, plan);
    std::unique_ptr<Instance> instance = context.Create();
    RenderSession session(*instance, script, plan);
    const uint32_t due_block = scenario.at / static_cast<uint32_t>(block);
    const uint32_t handed_over = due_block - static_cast<uint32_t>(scenario.lead);
    // The queue's state says something only when the module queued nothing of its own.
    const bool own_events = instance->QueueEmpty() != 1;
    for (uint32_t rendered = 0; !session.done(); ++rendered) {
      session.Step();
      if (own_events) continue;
      const int32_t empty = instance->QueueEmpty();
      const int32_t expected = rendered >= handed_over && rendered < due_block ? 0 : 1;
      if (empty != expected) {
        context.Fail(Format("%s: after block %u opcode 10 answered %d; the event at sample %u %s",
                            scenario.what, rendered, empty, scenario.at,
                            expected == 0 ? "should still be waiting" : "should be done"),
                     script, &plan);
        break;
      }
    }
    if (!observable) continue;
    Script on_time = script;
    for (ScriptEvent& event : on_time.events) event.lead = 0;
    const RenderResult expected = RenderFresh(context, on_time, plan, AtClock(-1));
    ExpectSame(context, session.result(), expected, 0, length,
               std::string(scenario.what) + " changing " + change.Describe(layout) +
                   " gives another output than when handed over just before its block",
               script, plan);
  }
  if (!observable) {
    context.Note("no pin change shows in the output; only the queue's state was checked");
  }
}

void CheckEventsResume(CheckContext& context) {
  const PinLayout& layout = context.Layout();
  const uint32_t block = 64;
  const Script base = LivelyScript(layout, 0, context.random());
  std::vector<Change> changes = FindEffectiveChanges(context, base, 48, 2);
  changes.erase(std::remove_if(changes.begin(), changes.end(),
                               [](const Change& change) { return change.is_level; }),
                changes.end());

  // Before the pause: one event that falls inside the pause and one after it. A module that
  // resumes takes the host's new clock, handles the first at its first sample and the second at
  // its own time; the reference gets the same events after the resume, stamped so.
  Script first_part = base;
  first_part.length = block;
  Script second_part = base;
  second_part.length = 4 * block;
  const uint32_t pause = static_cast<uint32_t>(context.random().Between(1000, 100000));
  const uint32_t later = static_cast<uint32_t>(context.random().Between(4, 3 * block));
  // Nudges after each of the two events, for modules that apply a setting at an input's change.
  AddInputNudge(&second_part, layout, 2);
  AddInputNudge(&second_part, layout, later + 2);
  Change change;
  Change revert;
  if (!changes.empty()) {
    change = context.random().Pick(changes);
    revert = change;
    revert.value = DefaultControlValue(layout.pins[static_cast<size_t>(change.pin)], nullptr);
  }
  const BlockPlan first_plan = BlockPlan::Uniform(first_part.length, block);
  const BlockPlan second_plan = BlockPlan::Uniform(second_part.length, block);
  auto run = [&](bool queued_before_pause) {
    std::unique_ptr<Instance> instance = context.Create(AtClock(5000));
    Render(*instance, first_part, first_plan);
    const uint32_t before_pause = instance->clock();
    const uint32_t resumed = before_pause + pause;
    auto queue = [&](uint32_t in_pause, uint32_t after) {
      if (changes.empty()) {
        ScriptEvent harmless = HarmlessEvent(layout, 0);
        instance->PinUpdate(harmless.pin, 0, harmless.value, in_pause);
        return;
      }
      instance->PinUpdate(change.pin, 0, change.value, in_pause);
      instance->PinUpdate(revert.pin, 0, revert.value, after);
    };
    const bool own_events = instance->QueueEmpty() != 1;
    if (queued_before_pause) queue(before_pause + 10, resumed + later);
    instance->host().set_sample_clock(resumed);
    instance->Resume();
    if (!queued_before_pause) queue(resumed, resumed + later);
    RenderSession session(*instance, second_part, second_plan);
    while (!session.done()) session.Step();
    if (!own_events && instance->QueueEmpty() != 1) {
      context.Fail(
          "after resuming, events queued before the pause are still waiting when the"
          " blocks that hold them have been rendered");
    }
    return std::move(session.result());
  };
  context.Step(Format("resuming after a pause of %u samples", pause));
  const RenderResult got = run(true);
  const RenderResult expected = run(false);
  if (changes.empty()) {
    context.Note("no control change shows in the output; only the queue's state was checked");
    return;
  }
  Script shown = second_part;
  change.AddTo(&shown, 0);
  revert.AddTo(&shown, later);
  ExpectSame(context, got, expected, 0, second_part.length,
             Format("events queued before a pause of %u samples (changing ", pause) +
                 change.Describe(layout) +
                 ", then back) are not handled where a resumed clock puts"
                 " them",
             shown, second_plan);
}

void CheckEventsClockOrigin(CheckContext& context) {
  const Script script = BusyScript(context, 2048, 24, 2);
  const BlockPlan plan = BlockPlan::RandomSizes(script.length, 300, 4, context.random());
  const int64_t origins[] = {
      0, 1, 48000, 0x7FFFF000ll - 4096, 0x80000000ll + 12345, 0xF0000000ll, 0xFFFFFFFFll - 8192};
  context.Step("rendering at host clock 0");
  const RenderResult reference = RenderFresh(context, script, plan, AtClock(0));
  for (int64_t origin : origins) {
    if (origin == 0) continue;
    context.Step(Format("rendering from host clock %lld", static_cast<long long>(origin)));
    const RenderResult shifted = RenderFresh(context, script, plan, AtClock(origin));
    ExpectSame(context, shifted, reference, 0, script.length,
               Format("opened at host clock %lld, the module renders differently from one opened"
                      " at 0",
                      static_cast<long long>(origin)),
               script, plan);
  }
}

// ---- Processing
// -------------------------------------------------------------------------------------

// The block plans that the span and input checks play: many sizes and offsets, buffers that move
// between blocks and one buffer for a whole render.
std::vector<BlockPlan> VarietyOfPlans(uint32_t length, Random& random) {
  std::vector<BlockPlan> plans;
  plans.push_back(BlockPlan::Uniform(length, 1));
  plans.push_back(BlockPlan::Uniform(length, 7).WithRandomOffsets(40, random));
  plans.push_back(BlockPlan::Uniform(length, 64));
  plans.push_back(BlockPlan::Uniform(length, 512).WithRandomOffsets(1000, random));
  plans.push_back(BlockPlan::RandomSizes(length, 400, 64, random));
  plans.push_back(BlockPlan::Uniform(length, 100).Shared());
  plans.push_back(BlockPlan::RandomSizes(length, 250, 0, random).Shared());
  return plans;
}

void CheckProcessSpans(CheckContext& context, bool inputs) {
  const Script script = BusyScript(context, 1500, 20, 2);
  if (!inputs && context.Layout().audio_outputs.empty()) {
    context.Note("the module has no audio output");
    return;
  }
  if (inputs && context.Layout().audio_inputs.empty()) {
    context.Note("the module has no audio input");
    return;
  }
  for (const BlockPlan& plan : VarietyOfPlans(script.length, context.random())) {
    context.Playing(script, plan);
    std::unique_ptr<Instance> instance = context.Create();
    const RenderResult result = Render(*instance, script, plan);
    if (inputs) {
      FailFaults(context, result.input_faults, result.input_fault_blocks, result, script, plan);
    } else {
      FailFaults(context, result.span_faults, result.span_fault_blocks, result, script, plan);
    }
  }
}

void CheckProcessOutputSpan(CheckContext& context) { CheckProcessSpans(context, false); }
void CheckProcessInputsUntouched(CheckContext& context) { CheckProcessSpans(context, true); }

void CheckProcessOutputFinite(CheckContext& context) {
  const PinLayout& layout = context.Layout();
  auto expect_finite = [&](const Script& script, const BlockPlan& plan, const std::string& what) {
    const RenderResult result = RenderFresh(context, script, plan, AtClock(-1));
    ExpectFinite(context, result, 0, what, script, plan);
  };
  context.Step("rendering with every input at its default");
  const Script defaults = DefaultScript(layout, 2048);
  expect_finite(defaults, BlockPlan::Uniform(defaults.length, 256), "with default inputs");
  for (int round = 0; round < 3; ++round) {
    context.Step("rendering a busy script");
    const Script busy = BusyScript(context, 2048, 30, 2);
    expect_finite(busy, BlockPlan::RandomSizes(busy.length, 500, 8, context.random()),
                  "with finite inputs");
  }
  // Every value of every control, and every audio input at the ends of the -10 V to 10 V range.
  size_t renders = 0;
  for (int32_t pin : layout.controls) {
    for (int32_t value : ControlValues(layout.pins[static_cast<size_t>(pin)])) {
      if (++renders > 96) break;
      Script script = LivelyScript(layout, 512, context.random());
      Change change;
      change.pin = pin;
      change.value = value;
      change.AddTo(&script, 0);
      context.Step("rendering with " + change.Describe(layout));
      expect_finite(script, BlockPlan::Uniform(script.length, 128),
                    "with " + change.Describe(layout));
    }
  }
  for (int32_t pin : layout.audio_inputs) {
    for (float level : {-1.0f, 0.0f, 1.0f}) {
      if (++renders > 192) break;
      Script script = LivelyScript(layout, 512, context.random());
      script.levels[static_cast<size_t>(pin)] = level;
      context.Step("rendering with " + PinLabel(layout.pins[static_cast<size_t>(pin)]) + " at " +
                   Number(level * 10) + " V");
      expect_finite(script, BlockPlan::Uniform(script.length, 128),
                    "with " + PinLabel(layout.pins[static_cast<size_t>(pin)]) + " at " +
                        Number(level * 10) + " V");
    }
  }
}

void CheckBlockSizeInvariance(CheckContext& context) {
  const PinLayout& layout = context.Layout();
  if (layout.audio_outputs.empty()) {
    context.Note("the module has no audio output");
    return;
  }
  for (int round = 0; round < 2; ++round) {
    const uint32_t length = static_cast<uint32_t>(2048 + context.random().Between(0, 1024));
    const Script script = BusyScript(context, length, round == 0 ? 32 : 8, 3);
    const int64_t clock = context.random().Between(0, 1 << 30);
    context.Step("rendering in blocks of 1");
    const BlockPlan single = BlockPlan::Uniform(length, 1);
    const RenderResult reference = RenderFresh(context, script, single, AtClock(clock));
    struct Variant {
      std::string name;
      BlockPlan plan;
    };
    std::vector<Variant> variants = {
        {"blocks of 7", BlockPlan::Uniform(length, 7).WithRandomOffsets(16, context.random())},
        {"blocks of 64", BlockPlan::Uniform(length, 64).WithRandomOffsets(16, context.random())},
        {"blocks of 512", BlockPlan::Uniform(length, 512)},
        {"random block sizes", BlockPlan::RandomSizes(length, 700, 16, context.random())},
        {"blocks of 1 again", single},
    };
    for (const Variant& variant : variants) {
      context.Step("rendering in " + variant.name);
      const RenderResult result = RenderFresh(context, script, variant.plan, AtClock(clock));
      ExpectSame(context, result, reference, 0, length,
                 variant.name + " give another output than blocks of 1", script, variant.plan);
    }
  }
}

// ---- Life cycle
// --------------------------------------------------------------------------------------

void CheckSampleRates(CheckContext& context) {
  const float rates[] = {8000.0f,  11025.0f, 16000.0f,  22050.0f,  44100.0f,  44123.45f, 48000.0f,
                         88200.0f, 96000.0f, 192000.0f, 384000.0f, 768000.0f, 12345.678f};
  const Script script = BusyScript(context, 2048, 16, 1);
  const BlockPlan plan = BlockPlan::RandomSizes(script.length, 512, 4, context.random());
  // An unwritten sample holds the NaN pattern, so this also catches output left unwritten.
  auto expect_sound = [&](const RenderResult& result, const std::string& what) {
    ExpectFinite(context, result, 0, what, script, plan);
  };
  for (float rate : rates) {
    context.Step("opening at " + Number(rate) + " Hz");
    InstanceSetup setup;
    setup.sample_rate = rate;
    const RenderResult result = RenderFresh(context, script, plan, setup);
    expect_sound(result, "at " + Number(rate) + " Hz");
  }
  // One instance opened again at every rate in turn, and one whose rate changes while it runs.
  context.Step("opening one instance again at each rate");
  std::unique_ptr<Instance> reopened = context.Create();
  context.Playing(script, plan);
  Render(*reopened, script, plan);
  for (float rate : rates) {
    reopened->SetSampleRate(rate);
    reopened->Open();
    expect_sound(Render(*reopened, script, plan), "opened again at " + Number(rate) + " Hz");
  }
  context.Step("changing the rate without opening again");
  std::unique_ptr<Instance> changed = context.Create();
  for (float rate : {96000.0f, 8000.0f, 768000.0f}) {
    changed->SetSampleRate(rate);
    expect_sound(Render(*changed, script, plan),
                 "with the rate set to " + Number(rate) + " Hz after open");
  }
}

// One instance's part in the multi-instance checks: its own script, its setup, its result alone.
struct Part {
  Script script;
  BlockPlan plan;
  InstanceSetup setup;
  uint32_t first_block = 0;  // in the shared timeline of blocks
  RenderResult alone;
  std::unique_ptr<Instance> instance;
  std::unique_ptr<RenderSession> session;
};

std::vector<std::unique_ptr<Part>> MakeParts(CheckContext& context, size_t count, int32_t block,
                                             uint32_t timeline_blocks, bool random_blocks) {
  std::vector<std::unique_ptr<Part>> parts;
  const PinLayout& layout = context.Layout();
  for (size_t index = 0; index < count; ++index) {
    auto part = std::make_unique<Part>();
    part->first_block = static_cast<uint32_t>(context.random().Between(0, timeline_blocks / 3));
    const uint32_t last_block =
        static_cast<uint32_t>(context.random().Between(part->first_block + 4, timeline_blocks));
    part->script = LivelyScript(layout, (last_block - part->first_block) * block, context.random());
    AddRandomEvents(&part->script, layout, 12, 2, context.random());
    part->plan = random_blocks
                     ? BlockPlan::RandomSizes(part->script.length, 300, 4, context.random())
                     : BlockPlan::Uniform(part->script.length, block);
    part->setup.clock = context.random().Between(0, 1 << 30);
    part->setup.sample_rate = context.random().Chance(0.5) ? 44100.0f : 48000.0f;
    parts.push_back(std::move(part));
  }
  context.Step("rendering each instance's script alone");
  for (auto& part : parts)
    part->alone = RenderFresh(context, part->script, part->plan, part->setup);
  return parts;
}

void CompareParts(CheckContext& context, const std::vector<std::unique_ptr<Part>>& parts,
                  const std::string& how) {
  for (size_t index = 0; index < parts.size(); ++index) {
    const Part& part = *parts[index];
    if (!part.session) continue;
    ExpectSame(context, part.session->result(), part.alone, 0, part.script.length,
               Format("instance %zu of %zu ", index + 1, parts.size()) + how +
                   " renders differently from the same instance alone",
               part.script, part.plan);
  }
}

void CheckInstancesIndependent(CheckContext& context) {
  const int32_t block = 64;
  const uint32_t timeline = 24;
  std::vector<std::unique_ptr<Part>> parts = MakeParts(context, 16, block, timeline, false);
  context.Step("rendering 16 instances side by side");
  std::vector<size_t> order(parts.size());
  for (size_t index = 0; index < order.size(); ++index) order[index] = index;
  for (uint32_t step = 0; step <= timeline; ++step) {
    context.random().Shuffle(order);
    for (size_t index : order) {
      Part& part = *parts[index];
      if (part.first_block == step && !part.instance) {
        part.instance = context.Create(part.setup);
        part.session = std::make_unique<RenderSession>(*part.instance, part.script, part.plan);
      }
    }
    context.random().Shuffle(order);
    for (size_t index : order) {
      Part& part = *parts[index];
      if (!part.session || part.session->done()) continue;
      part.session->Step();
      // Closed as soon as it is done, so that closing happens between other instances' blocks.
      if (part.session->done()) part.instance.reset();
    }
  }
  CompareParts(context, parts, "among 16 created, rendered and closed in random order");
}

void CheckInstancesConcurrent(CheckContext& context) {
  const size_t threads = 3;
  const size_t per_thread = 3;
  std::vector<std::unique_ptr<Part>> parts =
      MakeParts(context, threads * per_thread, 128, 40, true);
  for (auto& part : parts) {
    part->instance = context.Create(part->setup);
    part->session = std::make_unique<RenderSession>(*part->instance, part->script, part->plan);
  }
  context.Step(Format("rendering %zu instances on %zu threads at once", parts.size(), threads));
  std::vector<std::thread> workers;
  for (size_t thread = 0; thread < threads; ++thread) {
    workers.emplace_back([&parts, thread, per_thread]() {
      bool busy = true;
      while (busy) {
        busy = false;
        for (size_t slot = 0; slot < per_thread; ++slot) {
          RenderSession& session = *parts[thread * per_thread + slot]->session;
          if (session.done()) continue;
          session.Step();
          busy = true;
        }
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  CompareParts(context, parts, "rendered on its own thread while others ran");
}

void CheckOpenCloseCycles(CheckContext& context) {
  const Script script = LivelyScript(context.Layout(), 128, context.random());
  const BlockPlan plan = BlockPlan::Uniform(script.length, 64);
  const InstanceSetup setup = AtClock(5000);
  context.Step("the first cycle");
  const RenderResult reference = RenderFresh(context, script, plan, setup);
  const int cycles = 300;
  context.Step(Format("%d cycles of create, open, render and close", cycles));
  bool differed = false;
  for (int cycle = 1; cycle <= cycles; ++cycle) {
    std::unique_ptr<Instance> instance = context.Create(setup);
    const RenderResult result = Render(*instance, script, plan);
    if (!differed &&
        FirstDifference(context.Layout(), result, reference, 0, script.length, nullptr) >= 0) {
      differed = true;
      ExpectSame(context, result, reference, 0, script.length,
                 Format("cycle %d renders differently from the first", cycle), script, plan);
    }
    const int32_t closed = instance->Close();
    if (closed != 1) {
      context.Fail(Format("cycle %d: opcode 1 (Close) answered %d instead of 1", cycle, closed));
    }
    if (cycle % 25 != 0) continue;
    // Now and then: closed without opening, opened twice, several closed in reverse order.
    InstanceSetup unopened = setup;
    unopened.open = false;
    context.Create(unopened)->Close();
    std::unique_ptr<Instance> twice = context.Create(setup);
    twice->Open();
    Render(*twice, script, plan);
    std::vector<std::unique_ptr<Instance>> several;
    for (int count = 0; count < 4; ++count) several.push_back(context.Create(setup));
    while (!several.empty()) several.pop_back();
  }
}

// ---- Robustness
// ---------------------------------------------------------------------------------------

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

// ---- The host's contract
// ------------------------------------------------------------------------------

// Renders `script` on two instances in step; before block `at_block` of the first, `breach` does
// something the host must not; the outputs must still agree.
void CompareAfterBreach(CheckContext& context, const Script& script, const BlockPlan& plan,
                        size_t at_block, const std::string& what,
                        const std::function<void(Instance&)>& breach) {
  const int64_t clock = context.random().Between(100000, 1 << 30);
  context.Playing(script, plan);
  std::unique_ptr<Instance> breached = context.Create(AtClock(clock));
  std::unique_ptr<Instance> reference = context.Create(AtClock(clock));
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
                     [&](Instance& instance) {
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
  CompareAfterBreach(context, script, plan, 2, "events stamped before the module's clock",
                     [&](Instance& instance) {
                       const uint32_t clock = instance.clock();
                       const ScriptEvent harmless = HarmlessEvent(layout, 0);
                       for (uint32_t behind : {1u, 64u, 100000u, clock, 0x7FFFFFF0u, 0x80000010u}) {
                         SeEvent event = {};
                         event.time_stamp = clock - behind;
                         event.event_type = harmless.type;
                         event.value2 = harmless.value;
                         event.data =
                             reinterpret_cast<void*>(static_cast<std::intptr_t>(harmless.pin));
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
      context, script, plan, 1, "pin updates for pins that do not exist", [&](Instance& instance) {
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
                     [&](Instance& instance) {
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
    event.type = 2;
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
      [&](Instance& instance) {
        for (void* data : {static_cast<void*>(nullptr), static_cast<void*>(dummy.data())}) {
          SeEvent event = {};
          event.time_stamp =
              instance.clock() + static_cast<uint32_t>(context.random().Between(0, 100));
          event.event_type = 3;
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
  std::unique_ptr<Instance> instance = context.Create(unopened);
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
  std::unique_ptr<Instance> instance = context.Create(unopened);
  auto poke = [&](const char* phase) {
    const struct {
      int32_t opcode;
      int32_t index;
      const char* name;
    } calls[] = {{kOpcodeQuery4, 0, "OpaqueQuery4"},
                 {kOpcodeQuery5, 0, "OpaqueQuery5"},
                 {kOpcodePinProperties, 0, "GetPinProperties for pin 0"},
                 {kOpcodePinProperties, -1, "GetPinProperties for pin -1"},
                 {kOpcodeAddEvent, 0, "AddEvent"},
                 {kOpcodeModuleProperties, 0, "GetModuleProperties"}};
    for (const auto& call : calls) {
      context.Step(Format("opcode %d (%s) with a null record %s", call.opcode, call.name, phase));
      const int32_t reply = instance->Dispatch(call.opcode, call.index, 0, nullptr, 0.0f);
      if (reply != 0) {
        context.Fail(Format("opcode %d (%s) with a null record %s answered %d instead of 0",
                            call.opcode, call.name, phase, reply));
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

const std::vector<CheckDefinition>& AllChecks() {
  static const std::vector<CheckDefinition> kChecks = {
      {"file-format", CheckKind::kFile,
       "the file is a shared library of the kind this host loads (format, width, machine)",
       CheckFileFormat},
      {"file-exports", CheckKind::kFile, "the library exports the function `main` and nothing else",
       CheckFileExports},
      {"file-imports", CheckKind::kFile,
       "the library imports nothing but the system's and the language run-time's libraries",
       CheckFileImports},
      {"load", CheckKind::kLoad,
       "the library loads, exports `main`, and `main` gives a record with the magic and entries",
       CheckLoad},
      {"record-layout", CheckKind::kModule,
       "the record's magic, reserved words and entries, one record per instance, none changing",
       CheckRecordLayout},
      {"null-host-callback", CheckKind::kModule,
       "a module given a null host callback opens, renders and closes", CheckNullHostCallback},
      {"opcode-answers", CheckKind::kModule,
       "every opcode's answer before and after open: results, truth values, the queue's state",
       CheckOpcodeAnswers},
      {"opcode-unknown", CheckKind::kModule,
       "unknown opcodes answer 0, touch nothing, ask nothing and change nothing",
       CheckOpcodeUnknown},
      {"module-properties", CheckKind::kModule,
       "opcode 9 fills exactly three terminated texts, the same every time", CheckModuleProperties},
      {"pin-enumeration", CheckKind::kModule,
       "pins are described with terminated texts and valid kinds, the list ends, indices past it"
       " change nothing, answers never change",
       CheckPinEnumeration},
      {"host-requests", CheckKind::kModule,
       "requests only from inside calls, with the module's own record, known opcodes and pins,"
       " opt 0; the clock is asked at open and resume",
       CheckHostRequests},
      {"events-exact-sample", CheckKind::kModule,
       "an event inside a block takes effect exactly at its sample", CheckEventsExactSample},
      {"events-same-sample", CheckKind::kModule,
       "events at one sample are handled in the order they came, with nothing rendered between",
       CheckEventsSameSample},
      {"events-past-block", CheckKind::kModule,
       "events due after the block wait in the queue and are handled at their sample later",
       CheckEventsPastBlock},
      {"events-resume", CheckKind::kModule,
       "after Resume the module takes the host's new clock; events that fell in the pause are"
       " handled first, later ones at their time",
       CheckEventsResume},
      {"events-clock-origin", CheckKind::kModule,
       "the output does not depend on the host's clock at open, up to the end of its 32 bits",
       CheckEventsClockOrigin},
      {"process-output-span", CheckKind::kModule,
       "outputs are written at every sample of the span and nowhere else, at any offset",
       CheckProcessOutputSpan},
      {"process-inputs-untouched", CheckKind::kModule, "input buffers are never written",
       CheckProcessInputsUntouched},
      {"process-output-finite", CheckKind::kModule,
       "finite inputs give finite outputs, for every control value and inputs at +-10 V",
       CheckProcessOutputFinite},
      {"block-size-invariance", CheckKind::kModule,
       "one event script rendered in blocks of 1, 7, 64, 512 and random sizes gives one output",
       CheckBlockSizeInvariance},
      {"sample-rates", CheckKind::kModule,
       "sound output from 8000 Hz to 768000 Hz and odd rates, also after opening again",
       CheckSampleRates},
      {"instances-independent", CheckKind::kModule,
       "16 instances created, rendered and closed in random order each render as if alone",
       CheckInstancesIndependent},
      {"instances-concurrent", CheckKind::kModule,
       "instances rendered on several threads at once each render as if alone",
       CheckInstancesConcurrent},
      {"open-close-cycles", CheckKind::kModule,
       "hundreds of create-open-render-close cycles, each rendering the same",
       CheckOpenCloseCycles},
      {"non-finite-inputs", CheckKind::kModule,
       "after a NaN or an infinity on any input the output is finite as soon as the inputs are",
       CheckNonFiniteInputs},
      {"contract-block-length", CheckKind::kModule,
       "blocks of 0 or negative length render nothing and leave the clock alone",
       CheckContractBlockLength},
      {"contract-stale-events", CheckKind::kModule,
       "events stamped before the clock do no harm and later events keep their time",
       CheckContractStaleEvents},
      {"contract-pin-index", CheckKind::kModule,
       "pin updates for pins that do not exist are ignored", CheckContractPinIndex},
      {"contract-event-types", CheckKind::kModule,
       "events of unknown types are ignored; data events do no harm", CheckContractEventTypes},
      {"contract-deferred-call", CheckKind::kModule,
       "deferred-call events from the host are refused", CheckContractDeferredCall},
      {"contract-before-open", CheckKind::kModule,
       "close without open, and a render, an event and a resume before open, do no harm",
       CheckContractBeforeOpen},
      {"contract-null-records", CheckKind::kModule,
       "opcodes that take a record answer 0 to a null pointer", CheckContractNullRecords},
      {"contract-host-pin-count", CheckKind::kModule,
       "any GetPinCount answer, 0, negative, larger than the module's pins or huge, is survived",
       CheckContractHostPinCount},
  };
  return kChecks;
}

const CheckDefinition* FindCheck(const std::string& name) {
  for (const CheckDefinition& check : AllChecks()) {
    if (name == check.name) return &check;
  }
  return nullptr;
}

CheckReport RunCheck(const CheckDefinition& check, const CheckSettings& settings) {
  CheckReport report;
  {
    CheckContext context(settings, check.name);
    try {
      check.run(context);
    } catch (const CheckAborted&) {
    } catch (const std::exception& exception) {
      context.Fail(std::string("an exception reached the host: ") + exception.what());
    } catch (...) {
      context.Fail("an exception of an unknown type reached the host");
    }
    report = context.report();
    context.Step("closing the instances and unloading the library");
  }
  return report;
}

}  // namespace validation
}  // namespace modhost
