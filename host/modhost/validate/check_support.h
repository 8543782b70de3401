// What several areas of checks share: scripts that make any module sound, renders on fresh
// instances, comparisons that fail the check with the script that shows the fault, and buffers
// that show whether a module wrote into them.
//
// Checks that compare renders compare them bit for bit: a module of this protocol is
// deterministic, and the pieces it renders must not depend on how the host cut them. A few
// properties cannot be observed in every module: event timing needs a pin change that shows in
// the output. Such checks look for one first (FindEffectiveChanges) and pass with a note when
// there is none, rather than guess.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "host/modhost/validate/check_context.h"
#include "host/modhost/validate/playback.h"

namespace modhost {
namespace validation {

// What a record handed to the module is filled with beyond the fields it may write.
const uint32_t kFill = 0x5A5A5A5Au;

// Stands in every pointer of a record handed to the module, so that a field the module did not
// write is seen as such; only its address matters.
inline constexpr char kUnwrittenText[] = "(unwritten)";

// An event type that the protocol leaves undefined, which every module must ignore.
const int32_t kUndefinedEventType = 1;

bool SameBytes(const void* first, const void* second, size_t size);

// The number of a dispatcher opcode, and its name for messages.
inline int32_t Opcode(ModuleOpcode opcode) { return static_cast<int32_t>(opcode); }
const char* OpcodeName(ModuleOpcode opcode);

// A script that makes every kind of module sound: the lively levels plus random events.
Script BusyScript(CheckContext& context, uint32_t length, size_t events, int32_t max_lead);

// Renders on a fresh instance made with `setup`, announcing the script first for crash reports.
RenderResult RenderFresh(CheckContext& context, const Script& script, const BlockPlan& plan,
                         const InstanceSetup& setup);

InstanceSetup AtClock(int64_t clock);

// An event that no module should notice: a pin update of an audio input with status 0, or of a
// control at its default value; an event of an undefined type when there is neither.
ScriptEvent HarmlessEvent(const PinLayout& layout, uint32_t at);

// Reports the render faults of one kind as one failure, with the first few of them.
void FailFaults(CheckContext& context, const std::vector<std::string>& faults, size_t blocks,
                const RenderResult& result, const Script& script, const BlockPlan& plan);

// Fails when the two renders differ anywhere in [from, to).
bool ExpectSame(CheckContext& context, const RenderResult& got, const RenderResult& expected,
                size_t from, size_t to, const std::string& what, const Script& script,
                const BlockPlan& plan);

// Fails when an output is not finite from sample `from` on.
bool ExpectFinite(CheckContext& context, const RenderResult& result, size_t from,
                  const std::string& what, const Script& script, const BlockPlan& plan);

// Runs a function on every host request of the sessions it watches, right after the host
// answered it, inside the module's call.
class RequestWatcher : public SessionObserver {
 public:
  void set(std::function<void(const se_host::HostRequest& request)> watch) {
    watch_ = std::move(watch);
  }
  void Requested(const Session&, const se_host::HostRequest& request) override {
    if (watch_) watch_(request);
  }

 private:
  std::function<void(const se_host::HostRequest& request)> watch_;
};

// Buffers for every audio pin of an instance, filled with the unwritten pattern and bound, for the
// calls that a render session does not make; FirstChanged tells whether the module left them so.
class PatternBuffers {
 public:
  explicit PatternBuffers(Session& instance);
  // The first pin whose buffer changed, or -1.
  int32_t FirstChanged() const;

 private:
  std::vector<int32_t> pins_;
  std::vector<std::vector<float>> storage_;
};

}  // namespace validation
}  // namespace modhost
