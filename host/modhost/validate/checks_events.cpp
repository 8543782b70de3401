// Checks of events and spans: each event takes effect exactly at its sample, whatever block it
// falls in, however early it was handed over and wherever the host's clock stands; and each block
// writes its outputs at every sample of its span and nowhere else, and never writes an input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/modhost/io/text.h"
#include "host/modhost/run/pin_values.h"
#include "host/modhost/validate/check_support.h"
#include "host/modhost/validate/checks.h"

namespace modhost {
namespace validation {

namespace {

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
  const size_t tried = static_cast<size_t>(context.ByLevel(3, 10, 40));
  if (changes.size() > tried) changes.resize(tried);
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
      std::unique_ptr<Session> instance = context.Create();
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
    std::unique_ptr<Session> instance = context.Create();
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
    std::unique_ptr<Session> instance = context.Create(AtClock(5000));
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
    std::unique_ptr<Session> instance = context.Create();
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

}  // namespace

std::vector<CheckDefinition> EventChecks() {
  return {
      {"events-exact-sample", CheckKind::kModule,
       "an event inside a block takes effect exactly at its sample", CheckEventsExactSample, 1,
       "pin changes tried: 3 at level 1, 10 at 5, 40 at 10"},
      {"events-same-sample", CheckKind::kModule,
       "events at one sample are handled in the order they came, with nothing rendered between",
       CheckEventsSameSample, 1},
      {"events-past-block", CheckKind::kModule,
       "events due after the block wait in the queue and are handled at their sample later",
       CheckEventsPastBlock, 2},
      {"events-resume", CheckKind::kModule,
       "after Resume the module takes the host's new clock; events that fell in the pause are"
       " handled first, later ones at their time",
       CheckEventsResume, 2},
      {"events-clock-origin", CheckKind::kModule,
       "the output does not depend on the host's clock at open, up to the end of its 32 bits",
       CheckEventsClockOrigin, 2},
      {"process-output-span", CheckKind::kModule,
       "outputs are written at every sample of the span and nowhere else, at any offset",
       CheckProcessOutputSpan, 1},
      {"process-inputs-untouched", CheckKind::kModule, "input buffers are never written",
       CheckProcessInputsUntouched, 1},
  };
}

}  // namespace validation
}  // namespace modhost
