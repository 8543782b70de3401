// A session as `info` and `render` run it in their child process (child_protocol.h): the library
// loaded with each way of failing turned into one line and the shared exit status of that stage,
// every call named to the child's crash and hang reporters, and --trace.
//
// --trace logs every call the command makes into the module with its answer and, indented
// beneath it, every request the module sent back during that call with its arguments and reply:
//   dispatcher 0 Open -> 0
//     request 3 GetSampleClock(index 0, value 0, ptr 0, opt 0) -> 0  [during dispatcher 0]
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "host/modhost/run/session.h"

namespace modhost {

// Tells the child's crash and hang reporters which call into the module is running, in the words
// their one line uses ("open (dispatcher opcode 0)", "process of samples 768 to 1023").
class CallSites : public SessionObserver {
 public:
  void Calling(const Session& session, const ModuleCall& call) override;
  void Returned(const Session& session, const ModuleCall& call, int32_t reply) override;
};

// The log of --trace, written to `stream` as each call returns.
class CallTrace : public SessionObserver {
 public:
  explicit CallTrace(std::FILE* stream) : stream_(stream) {}
  void Calling(const Session& session, const ModuleCall& call) override;
  void Returned(const Session& session, const ModuleCall& call, int32_t reply) override;
  void Requested(const Session& session, const se_host::HostRequest& request) override;

 private:
  std::FILE* stream_;
  bool in_call_ = false;
  std::vector<std::string> pending_requests_;  // requests of the call in progress
};

class CommandSession {
 public:
  // Loads the library at `path` and creates one module instance, traced to `trace` when it is not
  // null. Returns kExitOk, or the exit status of the stage that failed (kExitCannotLoad,
  // kExitNoMain or kExitBadRecord) with its one-line message in error(). A path without a folder
  // is taken in the current folder, never searched for in the system's library path.
  int Open(const std::string& path, std::FILE* trace);
  const std::string& error() const { return error_; }

  Session& session() { return *session_; }

 private:
  std::string error_;
  CallSites sites_;
  std::unique_ptr<CallTrace> trace_;
  // Declared last so that it goes first: closing and unloading are still named and traced.
  std::unique_ptr<Session> session_;
};

}  // namespace modhost
