// `validate --trace`: every dispatcher call, process call and host request of every instance a
// check makes, one line each on standard error, numbered by instance, as it happens (a check that
// crashes has logged everything up to the crash):
//   [#2] dispatcher 0 (Open) index 0 value 0 ptr 0x0 opt 0
//   [#2]   host request 3 (GetSampleClock) index 0 value 0 ptr 0x0 opt 0 -> 4096
//   [#2]   -> 0
#pragma once

#include <mutex>
#include <string>

#include "host/modhost/run/session.h"

namespace modhost {
namespace validation {

// Writes whole lines to standard error, when on; instances on several threads share one.
class Tracer {
 public:
  explicit Tracer(bool on) : on_(on) {}
  bool on() const { return on_; }
  void Line(const std::string& text);

 private:
  bool on_;
  std::mutex mutex_;
};

// The lines of each session it observes, through `tracer`.
class InstanceTrace : public SessionObserver {
 public:
  explicit InstanceTrace(Tracer* tracer) : tracer_(tracer) {}
  void Calling(const Session& session, const ModuleCall& call) override;
  void Returned(const Session& session, const ModuleCall& call, int32_t reply) override;
  void Requested(const Session& session, const se_host::HostRequest& request) override;

 private:
  Tracer* tracer_;
};

// A float or double with all its digits, for messages.
std::string Number(double value);
// A pointer as hexadecimal, for messages.
std::string Pointer(const void* pointer);

}  // namespace validation
}  // namespace modhost
