// The real-time safety check: while the module processes (the record's process entry) and while
// it takes an event (dispatcher opcode 7), it must not allocate or free memory, take a lock or
// wait, sleep, start a thread, or do file, console or other blocking I/O. On an audio thread
// each of those can take longer than a whole block; none of them shows in the output, so every
// other check passes a module that does them. The watch (realtime_watch.h) counts such calls
// only inside those two entries: creating, opening and closing a module may allocate.
//
// A frame may allocate the queue nodes of its first events and keep them for reuse: each script
// is therefore played twice on the same instance, and allocations in the event opcode of the
// first pass are reported as a note, not a failure. Everything else counts in both passes.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/modhost/io/text.h"
#include "host/modhost/validate/check_support.h"
#include "host/modhost/validate/checks.h"
#include "host/modhost/validate/realtime_watch.h"

namespace modhost {
namespace validation {

namespace {

// Arms the watch for exactly the calls it brackets, and adds up what each kind of call did.
class WatchedCalls : public SessionObserver {
 public:
  explicit WatchedCalls(RealtimeWatch& watch) : watch_(watch) {}

  // Set while playing: which render, and the host's clock at its first sample.
  std::string situation;
  uint32_t origin = 0;
  // Whether event-opcode allocations are forgiven (the first pass of a script).
  bool first_pass = false;

  void Calling(const Session&, const ModuleCall& call) override {
    if (!Watched(call)) return;
    before_ = watch_.Total();
    watch_.Arm();
  }

  void Returned(const Session&, const ModuleCall& call, int32_t) override {
    if (!Watched(call)) return;
    watch_.Disarm();
    const bool process = call.kind == ModuleCall::Kind::kProcess;
    ++(process ? process_calls : event_calls);
    const uint64_t now = watch_.Total();
    if (now == before_) return;
    // Something was called: which functions, attributed to this kind of call.
    const std::vector<WatchedCount> counts = watch_.Counts();
    bool forgiven = !process && first_pass;
    for (const WatchedCount& count : counts) {
      const uint64_t earlier = Seen(count.function);
      if (count.calls == earlier) continue;
      forgiven = forgiven && count.kind == "allocation";
    }
    for (const WatchedCount& count : counts) {
      const uint64_t added = count.calls - Seen(count.function);
      if (added == 0) continue;
      Add(forgiven ? &warm_up : process ? &in_process : &in_events, count.function, added);
      seen_[count.function] = count.calls;
    }
    if (!forgiven && first_call.empty()) {
      first_call = Describe(call);
      watch_.First(&first_function, &first_frames);
    }
    // The first offence the watch keeps must be the first unforgiven one.
    if (forgiven) {
      watch_.Reset();
      seen_.clear();
    }
  }

  struct Tally {
    std::vector<std::pair<std::string, uint64_t>> calls;
    uint64_t total = 0;
  };
  Tally in_process, in_events, warm_up;
  uint64_t process_calls = 0, event_calls = 0;
  std::string first_call;      // "process of samples 64 to 127 (...)"
  std::string first_function;  // "malloc"
  std::vector<std::string> first_frames;

 private:
  static bool Watched(const ModuleCall& call) {
    return call.kind == ModuleCall::Kind::kProcess ||
           (call.kind == ModuleCall::Kind::kDispatcher &&
            call.opcode == Opcode(ModuleOpcode::AddEvent));
  }

  uint64_t Seen(const std::string& function) const {
    const auto found = seen_.find(function);
    return found == seen_.end() ? 0 : found->second;
  }

  static void Add(Tally* tally, const std::string& function, uint64_t calls) {
    tally->total += calls;
    for (auto& entry : tally->calls) {
      if (entry.first == function) {
        entry.second += calls;
        return;
      }
    }
    tally->calls.emplace_back(function, calls);
  }

  std::string Describe(const ModuleCall& call) const {
    std::string text;
    const uint32_t at = call.clock - origin;
    if (call.kind == ModuleCall::Kind::kProcess) {
      text = Format("process of samples %u to %u", at,
                    at + static_cast<uint32_t>(call.sample_frames) - 1);
    } else {
      const SeEvent* event = static_cast<const SeEvent*>(call.ptr);
      text = event != nullptr ? Format(
                                    "dispatcher opcode 7 (an event for sample %u, handed over "
                                    "at sample %u)",
                                    event->time_stamp - origin, at)
                              : Format("dispatcher opcode 7 at sample %u", at);
    }
    return text + (situation.empty() ? "" : ", " + situation);
  }

  RealtimeWatch& watch_;
  uint64_t before_ = 0;
  std::map<std::string, uint64_t> seen_;
};

std::string Listed(const WatchedCalls::Tally& tally) {
  if (tally.total == 0) return "none";
  std::string text;
  for (const auto& entry : tally.calls) {
    text += (text.empty() ? "" : ", ") + entry.first + " " + std::to_string(entry.second) + " (" +
            WatchedKind(entry.first) + ")";
  }
  return text;
}

void CheckRealtimeSafety(CheckContext& context) {
  RealtimeWatch watch;
  std::string why;
  if (!watch.Attach(*context.Library(), &why)) {
    if (context.in_process()) {
      context.Note("not watched: " + why + " (it is, without --in-process)");
      return;
    }
    context.Abort("the calls cannot be watched: " + why);
  }
  context.Layout();
  WatchedCalls calls(watch);
  watch.Reset();
  const int scripts = static_cast<int>(context.ByLevel(1, 3, 6));
  const uint32_t length = static_cast<uint32_t>(context.ByLevel(1024, 4096, 32768));
  const float rates[] = {44100.0f, 48000.0f, 96000.0f, 192000.0f, 22050.0f, 8000.0f};
  for (int round = 0; round < scripts; ++round) {
    InstanceSetup setup;
    setup.sample_rate = rates[round % 6];
    setup.clock = round == 1 ? int64_t{0xFFFFFFFF} - length / 2 : -1;
    const Script script = BusyScript(context, length, length / 64, 3);
    const BlockPlan plan = round == 0 ? BlockPlan::RandomSizes(length, 512, 8, context.random())
                                      : BlockPlan::Uniform(length, round == 1 ? 64 : 1 << round);
    std::unique_ptr<Session> instance = context.Create(setup);
    for (int pass = 0; pass < 2; ++pass) {
      context.Playing(script, plan);
      calls.first_pass = pass == 0;
      calls.situation = Format("script %d of %d, %s pass, %s Hz", round + 1, scripts,
                               pass == 0 ? "first" : "second", Number(setup.sample_rate).c_str());
      calls.origin = instance->clock();
      instance->AddObserver(&calls);
      Render(*instance, script, plan);
      instance->RemoveObserver(&calls);
      if (pass == 0) instance->Resume();
    }
  }
  const std::string counted = Format("%llu process calls and %llu events",
                                     static_cast<unsigned long long>(calls.process_calls),
                                     static_cast<unsigned long long>(calls.event_calls));
  const std::string warm_up =
      "the event opcode allocated while the module had taken few events "
      "(first pass only, allowed): " +
      Listed(calls.warm_up);
  if (calls.in_process.total == 0 && calls.in_events.total == 0) {
    context.Note("no allocation, lock, sleep, thread or I/O in " + counted +
                 "; watched: " + watch.Method());
    if (calls.warm_up.total > 0) context.Note(warm_up);
    return;
  }
  if (calls.warm_up.total > 0) context.Note(warm_up);
  context.Fail(calls.first_function + " (" + WatchedKind(calls.first_function) +
               ") called while processing, first in " + calls.first_call);
  context.Fail("in process calls: " + Listed(calls.in_process) +
               "; in the event opcode: " + Listed(calls.in_events) + " (of " + counted + ")");
  std::string stack;
  for (size_t frame = 0; frame < calls.first_frames.size() && frame < 8; ++frame) {
    stack += (frame == 0 ? "" : " <- ") + calls.first_frames[frame];
  }
  if (!stack.empty()) {
    context.Fail("the first call's stack: " + stack +
                 " (offsets from where each library is loaded; for a library with symbols, "
                 "addr2line -f -C -e LIBRARY OFFSET names the function, adding the image base "
                 "for a DLL)");
  }
  context.Note("watched: " + watch.Method());
}

}  // namespace

std::vector<CheckDefinition> RealtimeChecks() {
  return {
      {"realtime-safety", CheckKind::kModule,
       "no allocation, lock, sleep, thread or file or console I/O in process or the event opcode",
       CheckRealtimeSafety, 1,
       "level 1: one script of 1024 samples; 5: three of 4096 at three rates, one across the "
       "clock's wrap; 10: six of 32768 at six rates",
       false, true},
  };
}

}  // namespace validation
}  // namespace modhost
