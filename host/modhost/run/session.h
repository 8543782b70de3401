// One module library opened in the child process of a command that runs a module (info, render;
// child_protocol.h).
//
// It turns each way a library can fail to become a module into one line and the shared exit
// status of that stage, so that every command reports a missing file, a library without `main`
// or a bad record in the same words. It tells the child's crash and hang reporters which call
// into the module is in progress. And it is where --trace lives: every call the command
// makes into the module goes through a method here, which logs the call with its answer and,
// indented beneath it, every request the module sent back during that call (seen through the host
// core's request observer) with its arguments and reply.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "host/host_core.h"
#include "host/plugin_library.h"

namespace modhost {

class ModuleSession {
 public:
  ModuleSession() = default;
  // Closes the module, traced, while the log it writes to still exists, and unloads the library
  // (which runs its static destructors: module code too).
  ~ModuleSession();
  ModuleSession(const ModuleSession&) = delete;
  ModuleSession& operator=(const ModuleSession&) = delete;

  // Logs every call and request to `stream` from now on (including the call of `main`, when set
  // before Load). Null switches tracing off.
  void set_trace(std::FILE* stream) { trace_ = stream; }
  bool tracing() const { return trace_ != nullptr; }

  // Loads the library at `path` and creates one module instance. Returns kExitOk, or the exit
  // status of the stage that failed (kExitCannotLoad, kExitNoMain or kExitBadRecord) with its
  // one-line message in error(). A path without a folder is taken in the current folder, never
  // searched for in the system's library path.
  int Load(const std::string& path);
  const std::string& error() const { return error_; }

  se_host::HostedModule& module() { return *module_; }

  // ---- The calls into the module, traced -------------------------------------------------------

  bool ReadModuleTexts(se_host::ModuleTexts* texts);
  // Pin 0, 1, 2... until the module answers 0 (or HostedModule::kPinLimit pins).
  std::vector<se_host::PinInfo> EnumeratePins();
  int32_t SetSampleRate(float sample_rate);
  int32_t SetBlockSize(int32_t block_size);
  int32_t Open();
  bool BindAudioPin(int32_t index, float* buffer);
  int32_t PinUpdate(int32_t index, int32_t status, int32_t value, uint32_t time_stamp);
  // `first_sample` is the render's sample at buffer_offset, for the crash and hang reports.
  void Process(int32_t buffer_offset, int32_t sample_frames, int64_t first_sample);
  int32_t Close();

 private:
  // Runs `call`, then logs `description` with `answer_text(result)` and the requests it caused.
  // `site` names the call for the crash and hang reports, `description` for the trace.
  template <typename Call, typename Describe>
  auto Traced(const char* site, const std::string& description, Call&& call,
              Describe&& answer_text);
  void FlushRequests();

  std::string error_;
  std::FILE* trace_ = nullptr;
  std::vector<std::string> pending_requests_;
  std::shared_ptr<se_host::PluginLibrary> library_;
  std::unique_ptr<se_host::HostedModule> module_;
};

// Short names for the pin enumerations, as info prints them ("input", "audio"); a value without a
// name comes back as its number.
std::string DirectionName(int32_t direction);
std::string DatatypeName(int32_t datatype);

}  // namespace modhost
