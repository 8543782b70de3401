// One module instance as modhost drives it, whichever command drives it: the one session type
// over the host core's HostedModule. Every call modhost makes into the module goes through a
// method here, and every observer of the session sees each call before and after it runs and
// each host request the module sends during it. That is how the commands add what they need
// without wrappers of their own:
//   - info and render tell the child's crash and hang reporters which call is running
//     (CallSites, call_trace.h) and, with --trace, log every call and request (CallTrace);
//   - validate logs its instances' traffic (validate/tracing.h), and its checks watch requests.
//
// The session also holds the module's pin table, read once through the dispatcher, and binds
// audio buffers from it, as a host that read the table before placing the module does.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/host_core.h"
#include "host/plugin_library.h"

namespace modhost {

class Session;

// One call into the module, as observers see it.
struct ModuleCall {
  enum class Kind {
    kEntry,       // `main`
    kDispatcher,  // the record's dispatcher
    kProcess,     // the record's process entry
    kUnload,      // releasing the library, which runs its static destructors
  };
  Kind kind = Kind::kDispatcher;
  // kDispatcher: the arguments as the module receives them.
  int32_t opcode = 0;
  int32_t index = 0;
  int32_t value = 0;
  void* ptr = nullptr;
  float opt = 0;
  // kProcess.
  int32_t buffer_offset = 0;
  int32_t sample_frames = 0;
  int64_t first_sample = -1;  // the render's sample at buffer_offset; -1 when the caller has none
  uint32_t clock = 0;         // the host's sample clock when the call began
  // Set for Returned only, when there is one: the pin that opcode 6 described, the texts that
  // opcode 9 gave, the record that `main` returned.
  const se_host::PinInfo* pin = nullptr;
  const se_host::ModuleTexts* texts = nullptr;
  const ModuleRecord* record = nullptr;
};

// Sees a session's calls and requests, on the thread that makes the call. It must not call into
// the same session.
class SessionObserver {
 public:
  virtual ~SessionObserver() = default;
  virtual void Calling(const Session& /*session*/, const ModuleCall& /*call*/) {}
  // `reply` is the dispatcher's answer; for `main` 1 when it gave a usable record, else 0.
  virtual void Returned(const Session& /*session*/, const ModuleCall& /*call*/, int32_t /*reply*/) {
  }
  // A request the module sent, right after the host answered it. Requests sent from inside
  // `main` arrive after main has returned.
  virtual void Requested(const Session& /*session*/, const se_host::HostRequest& /*request*/) {}
};

struct SessionSetup {
  int id = 0;  // for observers that tell instances apart
  std::vector<SessionObserver*> observers;
  // Keep every host request in host().requests(); otherwise only observers see them.
  bool record_requests = false;
};

class Session {
 public:
  // Creates an instance by calling `library`'s `main`. Null, with `failure` telling why, when
  // main gives no usable record.
  static std::unique_ptr<Session> Create(std::shared_ptr<const se_host::PluginLibrary> library,
                                         const SessionSetup& setup, se_host::CreateResult* failure);
  // Closes the module if it is still open, then lets go of the library (which unloads it when no
  // one else holds it).
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  int id() const { return id_; }
  se_host::HostedModule& host() { return *host_; }
  const se_host::HostedModule& host() const { return *host_; }
  ModuleRecord* record() const { return host_->record(); }
  uint32_t clock() const { return host_->sample_clock(); }

  void AddObserver(SessionObserver* observer);
  void RemoveObserver(SessionObserver* observer);

  // ---- Calls into the module --------------------------------------------------------------------

  // Any opcode with any values. Opcode 1 ends the module.
  int32_t Dispatch(int32_t opcode, int32_t index, int32_t value, void* ptr, float opt);
  int32_t Dispatch(ModuleOpcode opcode, int32_t index, int32_t value, void* ptr, float opt) {
    return Dispatch(static_cast<int32_t>(opcode), index, value, ptr, opt);
  }
  int32_t Open();
  int32_t Close();
  int32_t SetSampleRate(float sample_rate);
  int32_t SetBlockSize(int32_t block_size);
  int32_t Resume();
  int32_t QueueEmpty();
  // Hands the module a copy of `event` (its `next` cleared).
  int32_t AddEvent(const SeEvent& event);
  // A pin update (event type PinUpdate) for pin `pin` at sample-clock time `time_stamp`.
  int32_t PinUpdate(int32_t pin, int32_t status, int32_t value, uint32_t time_stamp);
  // The module's properties; false when it does not answer.
  bool ReadModuleTexts(se_host::ModuleTexts* texts);
  // Renders through the process entry; `first_sample` is the render's sample at buffer_offset,
  // for observers (crash reports name it).
  void Process(int32_t buffer_offset, int32_t sample_frames, int64_t first_sample = -1);

  // ---- The pin table ----------------------------------------------------------------------------

  // The pins as this instance describes them (its own variable addresses), asked for once.
  // Empty with pin_problem() set when a text is unterminated or the list does not end.
  const std::vector<se_host::PinInfo>& pins();
  const std::string& pin_problem() const { return pin_problem_; }
  // Asks for the whole table again (se_host::EnumeratePinsWith), for checks that compare.
  bool EnumeratePins(std::vector<se_host::PinInfo>* pins, std::string* problem);
  // Stores `buffer` in the bound variable of audio pin `pin` of the table; false, with nothing
  // written, when the table has no such audio pin with a variable.
  bool Bind(int32_t pin, float* buffer);

 private:
  Session() = default;
  void Calling(const ModuleCall& call);
  void Returned(const ModuleCall& call, int32_t reply);
  ModuleCall DispatcherCall(int32_t opcode, int32_t index, int32_t value, void* ptr,
                            float opt) const;
  int32_t Run(const ModuleCall& call);

  int id_ = 0;
  std::vector<SessionObserver*> observers_;
  // Declared first so that it is released last.
  std::shared_ptr<const se_host::PluginLibrary> library_;
  std::unique_ptr<se_host::HostedModule> host_;
  bool pins_read_ = false;
  std::vector<se_host::PinInfo> pins_;
  std::string pin_problem_;
};

}  // namespace modhost
