// What modhost and its child process say to each other. Every command that runs a module's code
// (info, render, validate) runs it in a child, so that a crash or a hang of the module ends the
// child and not modhost, and so that a library of another kind than modhost's own (an i386 .so,
// a 32-bit Windows DLL) runs in the build of modhost that can load it (module_child.h).
//
// The child is modhost (any build of the same version), started with the user's command and
// arguments plus `--module-child` (info, render), or as `validate LIBRARY --run-check NAME --seed
// N` (one validation check). Its standard input is empty; its standard error is passed through to
// the user (the module's own messages, --trace). Its standard output carries frames and nothing
// else: what the module itself prints there is sent to standard error instead.
//
// A frame is a line "@<tag> <length>\n" followed by <length> bytes of payload:
//
//   hello    "<version> <protocol> <kind>": the first frame, before any module code runs. The
//            parent refuses a child of another protocol.
//   plan     render: JSON {channels, sample_rate, frames, channel_names, warnings}; before audio.
//   audio    render: interleaved 32-bit little-endian floats, whole frames, in order.
//   info     info: the JSON document `info --json` prints.
//   step     validate: what the check is doing now, for a failure's "while ...".
//   script   validate: the check's event script so far.
//   report   validate: the check's report as JSON.
//   failed   JSON {status, message}: the command stopped with this exit status and one-line
//            message (an unknown pin, a library that does not load...).
//   crashed  "<call>\n<what>": the module crashed during <call> ("process at sample 4096"); what
//            ended it: "SIGSEGV (Segmentation fault)", "access violation (0xC0000005)".
//   hung     "<call>\n<seconds>": the call did not return within the time limit; the child ends.
//   done     the command completed.
//
// A child that ends without `done`, `failed`, `crashed` or `hung` was killed from outside or ended
// the process itself (a module calling exit); the parent reports that as a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace modhost {

// Raised whenever a frame changes meaning; parent and child must agree.
inline constexpr int kChildProtocolVersion = 1;

// The option that makes info and render the child's side.
inline constexpr char kModuleChildOption[] = "--module-child";

struct Frame {
  std::string tag;
  std::string payload;
};

// Collects the frames out of the bytes of a child's standard output as they arrive.
class FrameReader {
 public:
  // Adds bytes; complete frames become available through Next.
  void Add(const char* data, size_t size);
  // Takes the next complete frame; false when there is none yet.
  bool Next(Frame* frame);
  // True when the bytes could not be frames (garbage on the child's standard output).
  bool broken() const { return broken_; }

 private:
  std::string pending_;
  size_t start_ = 0;
  bool broken_ = false;
};

// ---- The child's side ---------------------------------------------------------------------------

// Takes over standard output for frames (standard output proper then goes to standard error),
// installs the crash reporters, and sends `hello`. `call_time_limit` > 0 starts a watchdog that
// sends `hung` and ends the process when one call into the module lasts longer.
void BeginChild(double call_time_limit);

// Sends one frame. Safe to call from one thread at a time.
void SendFrame(const char* tag, const void* payload, size_t size);
void SendFrame(const char* tag, const std::string& payload);
// Sends `failed` with `status` and `message`.
void SendFailure(int status, const std::string& message);

// The call into the module now in progress, for `crashed` and `hung`; EndCall when it returned.
// Cheap enough for every block of a render.
void BeginCall(const char* description);
void EndCall();

// Keeps the call's description while a scope runs.
class CallScope {
 public:
  explicit CallScope(const char* description) { BeginCall(description); }
  explicit CallScope(const std::string& description) { BeginCall(description.c_str()); }
  ~CallScope() { EndCall(); }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;
};

}  // namespace modhost
