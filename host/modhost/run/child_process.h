// Runs this program again as a child process with a time limit, so that a module library that
// crashes or hangs takes down only the child: the validator runs each check that way and reads
// the check's result from the child's output. Tests use the same to run modhost itself.
//
// Linux: posix_spawn of /proc/self/exe, its standard output and error on pipes, waitpid polled
// against the deadline and SIGKILL when it passes. Windows: CreateProcess of this executable with
// pipes, WaitForSingleObject against the deadline and TerminateProcess when it passes. Both poll
// the pipes while they wait, so a talkative child never blocks on a full pipe.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace modhost {

struct ChildOutcome {
  enum class Ending {
    kExited,      // ended by itself; exit_code holds its status
    kCrashed,     // killed by a signal or ended by an unhandled exception
    kTimedOut,    // still running at the deadline, and killed
    kNotStarted,  // the process could not be created
    kStopped,     // killed because the output handler asked for it
  };
  Ending ending = Ending::kNotStarted;
  int exit_code = 0;        // kExited: the status; kCrashed: the signal or the exception code
  std::string description;  // "exited with status 3", "crashed: SIGSEGV (Segmentation fault)"...
  std::string output;       // everything the child wrote to standard output
  std::string errors;       // its standard error, up to a limit, unless forwarded
  double seconds = 0;
};

struct ChildOptions {
  double time_limit_seconds = 20;
  // The limit counts from the child's last output instead of from its start: a child that keeps
  // talking may run for as long as it needs.
  bool limit_is_idle = false;
  // The child's standard error is copied to ours as it arrives instead of being collected.
  bool forward_errors = false;
  // When set, the child's standard output is handed here as it arrives instead of being
  // collected in ChildOutcome::output. Returning false kills the child (ending kStopped).
  std::function<bool(const char* data, size_t size)> on_output;
};

// Runs `program` (a path, or a name looked up in PATH) with `arguments` (argv[1] onwards).
ChildOutcome RunChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                             const ChildOptions& options);
// The same, waiting at most `time_limit_seconds` in all.
ChildOutcome RunChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                             double time_limit_seconds, bool forward_errors);

// The same for this executable.
ChildOutcome RunSelfAsChild(const std::vector<std::string>& arguments, double time_limit_seconds,
                            bool forward_errors);

// Called first thing in a child: a crash ends the process at once with a status the parent can
// read, with no core file, error dialog or debugger in between.
void PrepareChildForCrashes();

}  // namespace modhost
