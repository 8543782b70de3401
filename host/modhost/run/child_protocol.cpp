// The frames between modhost and its child, and the child's crash and hang reporters (see
// child_protocol.h).
#include "host/modhost/run/child_protocol.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "host/modhost/io/library_tables.h"
#include "host/modhost/io/text.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace modhost {

// ---- FrameReader --------------------------------------------------------------------------------

void FrameReader::Add(const char* data, size_t size) {
  if (start_ > 0 && start_ == pending_.size()) {
    pending_.clear();
    start_ = 0;
  }
  pending_.append(data, size);
}

bool FrameReader::Next(Frame* frame) {
  if (broken_ || start_ >= pending_.size()) return false;
  const size_t line_end = pending_.find('\n', start_);
  if (line_end == std::string::npos) {
    if (pending_.size() - start_ > 64 || pending_[start_] != '@') broken_ = true;
    return false;
  }
  const std::string line = pending_.substr(start_, line_end - start_);
  const size_t space = line.find(' ');
  if (line.empty() || line[0] != '@' || space == std::string::npos || space + 1 == line.size() ||
      line.size() > 64) {
    broken_ = true;
    return false;
  }
  size_t length = 0;
  for (size_t index = space + 1; index < line.size(); ++index) {
    if (line[index] < '0' || line[index] > '9') {
      broken_ = true;
      return false;
    }
    length = length * 10 + static_cast<size_t>(line[index] - '0');
  }
  if (pending_.size() - (line_end + 1) < length) return false;
  frame->tag = line.substr(1, space - 1);
  frame->payload = pending_.substr(line_end + 1, length);
  start_ = line_end + 1 + length;
  if (start_ > (1u << 20)) {
    pending_.erase(0, start_);
    start_ = 0;
  }
  return true;
}

// ---- The child's side ---------------------------------------------------------------------------

namespace {

std::mutex g_send_lock;

// The call in progress: two slots, so that a reporter reading one never sees it half written
// by the next BeginCall (which writes the other).
const size_t kCallTextSize = 160;
char g_calls[2][kCallTextSize] = {{'\0'}, {'\0'}};
std::atomic<int> g_call_slot{0};
// When the call began, in steady-clock nanoseconds; 0 while no call is in progress.
std::atomic<int64_t> g_call_started{0};

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Composes a frame in `buffer` without allocating (the crash reporters run in a broken process).
size_t ComposeFrame(char* buffer, size_t capacity, const char* tag, const char* first,
                    const char* second) {
  size_t length = 0;
  auto append = [&](const char* text) {
    while (*text != '\0' && length < capacity) buffer[length++] = *text++;
  };
  const size_t payload = std::strlen(first) + 1 + std::strlen(second);
  char digits[24];
  size_t count = 0;
  size_t value = payload;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  append("@");
  append(tag);
  append(" ");
  while (count > 0 && length < capacity) buffer[length++] = digits[--count];
  append("\n");
  append(first);
  append("\n");
  append(second);
  return length;
}

const char* CurrentCall() {
  const char* text = g_calls[g_call_slot.load(std::memory_order_acquire) & 1];
  return text[0] != '\0' ? text : "main";
}

#if defined(_WIN32)

HANDLE g_protocol = INVALID_HANDLE_VALUE;

bool WriteProtocol(const char* data, size_t size) {
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(g_protocol, data, static_cast<DWORD>(size), &written, nullptr) || written == 0)
      return false;
    data += written;
    size -= written;
  }
  return true;
}

const char* ExceptionText(DWORD code) {
  switch (code) {
    case 0xC0000005:
      return "access violation (0xC0000005)";
    case 0xC00000FD:
      return "stack overflow (0xC00000FD)";
    case 0xC000001D:
      return "illegal instruction (0xC000001D)";
    case 0xC0000094:
      return "integer division by zero (0xC0000094)";
    case 0xC0000409:
      return "stack buffer overrun or fail-fast (0xC0000409)";
    case 0xC0000374:
      return "heap corruption (0xC0000374)";
    case 0x80000003:
      return "breakpoint (0x80000003)";
    default:
      return "unhandled exception";
  }
}

LONG WINAPI ReportCrash(EXCEPTION_POINTERS* exception) {
  const DWORD code = exception->ExceptionRecord->ExceptionCode;
  char frame[512];
  WriteProtocol(frame,
                ComposeFrame(frame, sizeof frame, "crashed", CurrentCall(), ExceptionText(code)));
  TerminateProcess(GetCurrentProcess(), code);
  return EXCEPTION_EXECUTE_HANDLER;
}

void TakeStandardOutput() {
  std::fflush(stdout);
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  DuplicateHandle(GetCurrentProcess(), output, GetCurrentProcess(), &g_protocol, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  // The C run-time's standard output and the process's now both lead to standard error.
  _dup2(2, 1);
  SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
}

void InstallCrashReporters() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(ReportCrash);
}

[[noreturn]] void EndHung() {
  TerminateProcess(GetCurrentProcess(), 0xC0DE0007u);
  std::abort();
}

[[noreturn]] void EndOrphaned() {
  TerminateProcess(GetCurrentProcess(), 0xC0DE0008u);
  std::abort();
}

#else

int g_protocol = -1;

bool WriteProtocol(const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(g_protocol, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

const char* SignalName(int signal_number) {
  switch (signal_number) {
    case SIGSEGV:
      return "SIGSEGV (segmentation fault)";
    case SIGBUS:
      return "SIGBUS (bus error)";
    case SIGFPE:
      return "SIGFPE (arithmetic exception)";
    case SIGILL:
      return "SIGILL (illegal instruction)";
    case SIGABRT:
      return "SIGABRT (aborted)";
    case SIGTRAP:
      return "SIGTRAP (trap)";
    case SIGSYS:
      return "SIGSYS (bad system call)";
    default:
      return "a signal";
  }
}

const int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS};

extern "C" void ReportCrash(int signal_number) {
  char frame[512];
  WriteProtocol(frame, ComposeFrame(frame, sizeof frame, "crashed", CurrentCall(),
                                    SignalName(signal_number)));
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

void TakeStandardOutput() {
  std::fflush(stdout);
  g_protocol = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  dup2(STDERR_FILENO, STDOUT_FILENO);
}

void InstallCrashReporters() {
  // A crash is an expected result here; it must not leave core files behind.
  rlimit no_core = {0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  // Its own stack, so that a module that overflows its stack is still reported.
  static char alternate_stack[64 * 1024];
  stack_t stack = {};
  stack.ss_sp = alternate_stack;
  stack.ss_size = sizeof alternate_stack;
  sigaltstack(&stack, nullptr);
  struct sigaction action = {};
  action.sa_handler = ReportCrash;
  action.sa_flags = SA_ONSTACK | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int signal_number : kCrashSignals) sigaction(signal_number, &action, nullptr);
}

[[noreturn]] void EndHung() { _exit(124); }

[[noreturn]] void EndOrphaned() { _exit(125); }

#endif

void Watch(double call_time_limit) {
  const int64_t limit = static_cast<int64_t>(call_time_limit * 1e9);
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const int64_t started = g_call_started.load(std::memory_order_acquire);
    if (started == 0 || Now() - started <= limit) continue;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", call_time_limit);
    char frame[512];
    {
      std::lock_guard<std::mutex> lock(g_send_lock);
      WriteProtocol(frame, ComposeFrame(frame, sizeof frame, "hung", CurrentCall(), seconds));
    }
    EndHung();
  }
}

}  // namespace

void BeginChild(double call_time_limit) {
  TakeStandardOutput();
  InstallCrashReporters();
  SendFrame("hello", std::string(MODHOST_VERSION) + " " + std::to_string(kChildProtocolVersion) +
                         " " + HostBinaryKind());
  if (call_time_limit > 0) std::thread(Watch, call_time_limit).detach();
}

void SendFrame(const char* tag, const void* payload, size_t size) {
  std::string frame = "@" + std::string(tag) + " " + std::to_string(size) + "\n";
  frame.append(static_cast<const char*>(payload), size);
  std::lock_guard<std::mutex> lock(g_send_lock);
  // A parent that is gone reads nothing more: rendering on would only waste the machine.
  if (!WriteProtocol(frame.data(), frame.size())) EndOrphaned();
}

void SendFrame(const char* tag, const std::string& payload) {
  SendFrame(tag, payload.data(), payload.size());
}

void SendFailure(int status, const std::string& message) {
  nlohmann::json failure;
  failure["status"] = status;
  // Escaped here, so that a byte that is not UTF-8 reaches the user as \xNN, not as JSON's
  // replacement character.
  failure["message"] = EscapeControlCharacters(message);
  SendFrame("failed", failure.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

void BeginCall(const char* description) {
  const int next = (g_call_slot.load(std::memory_order_relaxed) + 1) & 1;
  std::strncpy(g_calls[next], description, kCallTextSize - 1);
  g_calls[next][kCallTextSize - 1] = '\0';
  g_call_slot.store(next, std::memory_order_release);
  g_call_started.store(Now(), std::memory_order_release);
}

void EndCall() { g_call_started.store(0, std::memory_order_release); }

}  // namespace modhost
