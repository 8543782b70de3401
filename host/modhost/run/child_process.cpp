// The two process back ends of child_process.h in one file, so that nothing else in modhost
// includes an operating-system header for processes.
#include "host/modhost/run/child_process.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "host/modhost/io/file_system.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;
#endif

namespace modhost {

namespace {

// A child that writes more than this to standard error is cut; the rest is read and dropped so
// that the child never blocks on a full pipe.
const size_t kMaxCollectedErrors = 256 * 1024;

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void Collect(std::string* sink, const char* data, size_t length, bool limited) {
  if (limited && sink->size() >= kMaxCollectedErrors) return;
  if (limited) length = std::min(length, kMaxCollectedErrors - sink->size());
  sink->append(data, length);
}

void ForwardErrors(const char* data, size_t length) {
  std::fwrite(data, 1, length, stderr);
  std::fflush(stderr);
}

// Where the child's standard output goes as it arrives, and when it last came.
struct OutputSink {
  OutputSink(const ChildOptions& options, ChildOutcome* outcome, Clock::time_point start)
      : options(options), outcome(outcome), last_output(start) {}

  // Hands on what `chunk` holds.
  void Take() {
    if (chunk.empty()) return;
    last_output = Clock::now();
    if (options.on_output) {
      if (!stop && !options.on_output(chunk.data(), chunk.size())) stop = true;
    } else {
      outcome->output += chunk;
    }
    chunk.clear();
  }

  const ChildOptions& options;
  ChildOutcome* outcome;
  Clock::time_point last_output;
  std::string chunk;
  bool stop = false;  // the handler asked for the child to be stopped
};

std::string TimeLimitText(double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "timed out after %g s and was killed", seconds);
  return text;
}

#if defined(_WIN32)

// Quotes one argument the way the C run-time's command-line parser takes it apart again:
// backslashes are literal except before a quote, where they escape and are doubled.
std::wstring QuoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    return argument;
  }
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t character : argument) {
    if (character == L'\\') {
      ++backslashes;
    } else if (character == L'"') {
      quoted.append(backslashes * 2 + 1, L'\\');
      quoted.push_back(L'"');
      backslashes = 0;
    } else {
      quoted.append(backslashes, L'\\');
      quoted.push_back(character);
      backslashes = 0;
    }
  }
  quoted.append(backslashes * 2, L'\\');
  quoted.push_back(L'"');
  return quoted;
}

std::string ExceptionName(DWORD code) {
  switch (code) {
    case 0xC0000005:
      return "access violation";
    case 0xC00000FD:
      return "stack overflow";
    case 0xC000001D:
      return "illegal instruction";
    case 0xC0000094:
      return "integer division by zero";
    case 0xC0000409:
      return "stack buffer overrun or fail-fast";
    case 0xC0000374:
      return "heap corruption";
    case 0x80000003:
      return "breakpoint";
    default:
      return "unhandled exception";
  }
}

// Moves whatever the pipe holds into `sink` without blocking; false once the pipe is closed.
bool DrainPipe(HANDLE pipe, std::string* sink, bool limited, bool forward) {
  char buffer[4096];
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available == 0) return true;
    DWORD got = 0;
    const DWORD wanted = available < sizeof buffer ? available : sizeof buffer;
    if (!ReadFile(pipe, buffer, wanted, &got, nullptr) || got == 0) return false;
    if (forward) {
      ForwardErrors(buffer, got);
    } else {
      Collect(sink, buffer, got, limited);
    }
  }
}

LONG WINAPI EndOnUnhandledException(EXCEPTION_POINTERS* exception) {
  TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

#else

// Moves whatever the pipe holds into `sink` without blocking; false once the pipe is closed.
bool DrainPipe(int pipe, std::string* sink, bool limited, bool forward) {
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(pipe, buffer, sizeof buffer);
    if (got > 0) {
      if (forward) {
        ForwardErrors(buffer, static_cast<size_t>(got));
      } else {
        Collect(sink, buffer, static_cast<size_t>(got), limited);
      }
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    return false;
  }
}

std::string SignalText(int signal_number) {
  const char* name = nullptr;
  switch (signal_number) {
    case SIGSEGV:
      name = "SIGSEGV";
      break;
    case SIGBUS:
      name = "SIGBUS";
      break;
    case SIGABRT:
      name = "SIGABRT";
      break;
    case SIGFPE:
      name = "SIGFPE";
      break;
    case SIGILL:
      name = "SIGILL";
      break;
    case SIGKILL:
      name = "SIGKILL";
      break;
    case SIGTERM:
      name = "SIGTERM";
      break;
    case SIGTRAP:
      name = "SIGTRAP";
      break;
    default:
      break;
  }
  std::string text = name ? name : "signal " + std::to_string(signal_number);
  const char* explanation = strsignal(signal_number);
  if (explanation) text += std::string(" (") + explanation + ")";
  return text;
}

#endif

}  // namespace

#if defined(_WIN32)

ChildOutcome RunChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                             const ChildOptions& options) {
  ChildOutcome outcome;
  const Clock::time_point start = Clock::now();
  const double time_limit_seconds = options.time_limit_seconds;
  const bool forward_errors = options.forward_errors;
  OutputSink sink(options, &outcome, start);
  std::string& chunk = sink.chunk;
  bool& stop = sink.stop;
  Clock::time_point& last_output = sink.last_output;
  auto take_output = [&sink] { sink.Take(); };

  // CreateProcess wants a Windows path; a Unix path under Wine is a path on drive Z:.
  std::wstring self = Widen(program);
  for (wchar_t& character : self) {
    if (character == L'/') character = L'\\';
  }
  if (self.size() > 1 && self[0] == L'\\' && self[1] != L'\\') self = L"Z:" + self;
  std::wstring command_line = QuoteArgument(self);
  for (const std::string& argument : arguments)
    command_line += L" " + QuoteArgument(Widen(argument));

  SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE out_read = nullptr, out_write = nullptr, err_read = nullptr, err_write = nullptr;
  if (!CreatePipe(&out_read, &out_write, &inheritable, 0) ||
      !CreatePipe(&err_read, &err_write, &inheritable, 0)) {
    outcome.description = "could not create pipes";
    return outcome;
  }
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
  HANDLE null_input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &inheritable, OPEN_EXISTING, 0, nullptr);

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null_input;
  startup.hStdOutput = out_write;
  startup.hStdError = err_write;
  PROCESS_INFORMATION process = {};
  const BOOL created = CreateProcessW(self.c_str(), &command_line[0], nullptr, nullptr, TRUE,
                                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
  CloseHandle(out_write);
  CloseHandle(err_write);
  if (null_input != INVALID_HANDLE_VALUE) CloseHandle(null_input);
  if (!created) {
    CloseHandle(out_read);
    CloseHandle(err_read);
    outcome.description = "could not start: error " + std::to_string(GetLastError());
    return outcome;
  }
  CloseHandle(process.hThread);

  bool timed_out = false;
  for (;;) {
    DrainPipe(out_read, &chunk, false, false);
    take_output();
    DrainPipe(err_read, &outcome.errors, true, forward_errors);
    if (WaitForSingleObject(process.hProcess, 5) == WAIT_OBJECT_0) break;
    if (stop || SecondsSince(options.limit_is_idle ? last_output : start) > time_limit_seconds) {
      TerminateProcess(process.hProcess, 1);
      WaitForSingleObject(process.hProcess, INFINITE);
      timed_out = true;
      break;
    }
  }
  DrainPipe(out_read, &chunk, false, false);
  take_output();
  DrainPipe(err_read, &outcome.errors, true, forward_errors);
  DWORD exit_code = 0;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hProcess);
  CloseHandle(out_read);
  CloseHandle(err_read);

  outcome.seconds = SecondsSince(start);
  if (timed_out && stop) {
    outcome.ending = ChildOutcome::Ending::kStopped;
    outcome.description = "was stopped";
  } else if (timed_out) {
    outcome.ending = ChildOutcome::Ending::kTimedOut;
    outcome.description = TimeLimitText(time_limit_seconds);
  } else if (exit_code >= 0xC0000000u || exit_code == 0x80000003u) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(exit_code));
    outcome.ending = ChildOutcome::Ending::kCrashed;
    outcome.exit_code = static_cast<int>(exit_code);
    outcome.description = "crashed: " + ExceptionName(exit_code) + " (" + code + ")";
  } else {
    outcome.ending = ChildOutcome::Ending::kExited;
    outcome.exit_code = static_cast<int>(exit_code);
    outcome.description = "exited with status " + std::to_string(exit_code);
  }
  return outcome;
}

void PrepareChildForCrashes() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(EndOnUnhandledException);
}

#else

ChildOutcome RunChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                             const ChildOptions& options) {
  ChildOutcome outcome;
  const Clock::time_point start = Clock::now();
  const double time_limit_seconds = options.time_limit_seconds;
  const bool forward_errors = options.forward_errors;
  OutputSink sink(options, &outcome, start);
  std::string& chunk = sink.chunk;
  bool& stop = sink.stop;
  Clock::time_point& last_output = sink.last_output;
  auto take_output = [&sink] { sink.Take(); };

  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) {
    outcome.description = "could not create a pipe";
    return outcome;
  }
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    outcome.description = "could not create a pipe";
    return outcome;
  }

  const std::string& self = program;
  std::vector<std::string> argument_texts;
  argument_texts.push_back(self);
  argument_texts.insert(argument_texts.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& text : argument_texts) argv.push_back(&text[0]);
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  pid_t child = 0;
  const int spawned =
      self.find('/') == std::string::npos
          ? posix_spawnp(&child, self.c_str(), &actions, nullptr, argv.data(), environ)
          : posix_spawn(&child, self.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (spawned != 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    outcome.description = std::string("could not start: ") + std::strerror(spawned);
    return outcome;
  }
  fcntl(out_pipe[0], F_SETFL, fcntl(out_pipe[0], F_GETFL) | O_NONBLOCK);
  fcntl(err_pipe[0], F_SETFL, fcntl(err_pipe[0], F_GETFL) | O_NONBLOCK);

  bool out_open = true;
  bool err_open = true;
  bool timed_out = false;
  int status = 0;
  for (;;) {
    pollfd watched[2] = {{out_open ? out_pipe[0] : -1, POLLIN, 0},
                         {err_open ? err_pipe[0] : -1, POLLIN, 0}};
    poll(watched, 2, out_open || err_open ? 5 : 0);
    if (out_open) out_open = DrainPipe(out_pipe[0], &chunk, false, false);
    take_output();
    if (err_open) err_open = DrainPipe(err_pipe[0], &outcome.errors, true, forward_errors);
    const pid_t ended = waitpid(child, &status, WNOHANG);
    if (ended == child) break;
    if (!out_open && !err_open) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (stop || SecondsSince(options.limit_is_idle ? last_output : start) > time_limit_seconds) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      timed_out = true;
      break;
    }
  }
  if (out_open) DrainPipe(out_pipe[0], &chunk, false, false);
  take_output();
  if (err_open) DrainPipe(err_pipe[0], &outcome.errors, true, forward_errors);
  close(out_pipe[0]);
  close(err_pipe[0]);

  outcome.seconds = SecondsSince(start);
  if (timed_out && stop) {
    outcome.ending = ChildOutcome::Ending::kStopped;
    outcome.description = "was stopped";
  } else if (timed_out) {
    outcome.ending = ChildOutcome::Ending::kTimedOut;
    outcome.description = TimeLimitText(time_limit_seconds);
  } else if (WIFSIGNALED(status)) {
    outcome.ending = ChildOutcome::Ending::kCrashed;
    outcome.exit_code = WTERMSIG(status);
    outcome.description = "crashed: " + SignalText(WTERMSIG(status));
  } else {
    outcome.ending = ChildOutcome::Ending::kExited;
    outcome.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.description = "exited with status " + std::to_string(outcome.exit_code);
  }
  return outcome;
}

void PrepareChildForCrashes() {
  // A crash is an expected result here; it must not leave core files behind.
  rlimit no_core = {0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
}

#endif

ChildOutcome RunChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                             double time_limit_seconds, bool forward_errors) {
  ChildOptions options;
  options.time_limit_seconds = time_limit_seconds;
  options.forward_errors = forward_errors;
  return RunChildProcess(program, arguments, options);
}

ChildOutcome RunSelfAsChild(const std::vector<std::string>& arguments, double time_limit_seconds,
                            bool forward_errors) {
  return RunChildProcess(ProgramPath(), arguments, time_limit_seconds, forward_errors);
}

}  // namespace modhost
