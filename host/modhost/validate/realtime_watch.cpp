// The watch over a module's calls while it processes (see realtime_watch.h).
#include "host/modhost/validate/realtime_watch.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "host/modhost/io/file_system.h"
#include "host/modhost/io/text.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace modhost {
namespace validation {

std::string WatchedKind(const std::string& function) {
  static const char* const kAllocation[] = {
      "malloc",         "calloc",          "realloc",       "free",
      "posix_memalign", "aligned_alloc",   "memalign",      "valloc",
      "operator new",   "operator delete", "mmap",          "munmap",
      "HeapAlloc",      "HeapReAlloc",     "HeapFree",      "LocalAlloc",
      "LocalFree",      "GlobalAlloc",     "GlobalFree",    "VirtualAlloc",
      "VirtualFree",    "_aligned_malloc", "_aligned_free", "_aligned_realloc",
      "_strdup",        "strdup"};
  static const char* const kSleep[] = {"sleep",           "usleep",      "nanosleep",
                                       "clock_nanosleep", "sched_yield", "pause",
                                       "Sleep",           "SleepEx",     "SwitchToThread"};
  static const char* const kThread[] = {"pthread_create", "fork",           "system",
                                        "pthread_join",   "CreateThread",   "_beginthreadex",
                                        "_beginthread",   "CreateProcessA", "CreateProcessW"};
  static const char* const kSystem[] = {"poll",           "select",        "syscall",
                                        "dlopen",         "LoadLibraryA",  "LoadLibraryW",
                                        "LoadLibraryExA", "LoadLibraryExW"};
  auto among = [&](const auto& names) {
    return std::find_if(std::begin(names), std::end(names),
                        [&](const char* name) { return function == name; }) != std::end(names);
  };
  if (among(kAllocation)) return "allocation";
  if (among(kSleep)) return "sleep";
  if (among(kThread)) return "thread";
  if (among(kSystem)) return "system call";
  const bool lock =
      function.find("lock") != std::string::npos || function.find("Lock") != std::string::npos ||
      function.find("cond_") != std::string::npos || function.find("sem_") != std::string::npos ||
      function.find("CriticalSection") != std::string::npos ||
      function.find("Wait") != std::string::npos || function.find("Event") != std::string::npos ||
      function.find("Mutex") != std::string::npos ||
      function.find("Semaphore") != std::string::npos;
  return lock ? "lock" : "file or console";
}

#if defined(_WIN32)

// ---- Windows: the DLL's import address table --------------------------------------------------

namespace {

// The imports watched, by name, whichever of the two DLLs a library takes them from.
const char* const kWindowsWatched[] = {
    // allocation
    "HeapAlloc", "HeapReAlloc", "HeapFree", "LocalAlloc", "LocalFree", "GlobalAlloc", "GlobalFree",
    "VirtualAlloc", "VirtualFree", "malloc", "calloc", "realloc", "free", "_aligned_malloc",
    "_aligned_free", "_aligned_realloc", "_strdup", "strdup",
    // locks and waits
    "EnterCriticalSection", "TryEnterCriticalSection", "AcquireSRWLockExclusive",
    "AcquireSRWLockShared", "TryAcquireSRWLockExclusive", "TryAcquireSRWLockShared",
    "SleepConditionVariableCS", "SleepConditionVariableSRW", "WaitForSingleObject",
    "WaitForSingleObjectEx", "WaitForMultipleObjects", "WaitForMultipleObjectsEx", "SetEvent",
    "ResetEvent", "ReleaseMutex", "ReleaseSemaphore", "CreateEventA", "CreateEventW",
    "CreateMutexA", "CreateMutexW", "CreateSemaphoreA", "CreateSemaphoreW", "_lock", "_unlock",
    // sleeps and threads
    "Sleep", "SleepEx", "SwitchToThread", "CreateThread", "_beginthreadex", "_beginthread",
    "CreateProcessA", "CreateProcessW", "LoadLibraryA", "LoadLibraryW", "LoadLibraryExA",
    "LoadLibraryExW",
    // files and the console
    "CreateFileA", "CreateFileW", "ReadFile", "WriteFile", "FlushFileBuffers", "WriteConsoleA",
    "WriteConsoleW", "OutputDebugStringA", "OutputDebugStringW", "fopen", "_wfopen", "fclose",
    "fread", "fwrite", "fputs", "fputc", "putc", "puts", "putchar", "fflush", "printf", "fprintf",
    "vprintf", "vfprintf", "_vfprintf_p", "__mingw_vfprintf", "perror", "_write", "_read", "_open",
    "_wopen", "_close"};
const int kWindowsWatchedCount = static_cast<int>(sizeof kWindowsWatched / sizeof *kWindowsWatched);

std::atomic<int> g_armed{0};
std::atomic<uint64_t> g_counts[kWindowsWatchedCount];
std::atomic<uint64_t> g_total{0};
std::atomic<int> g_first_taken{0};
int g_first_function = -1;
const int kMaxFrames = 32;
void* g_first_frames[kMaxFrames];
int g_first_frame_count = 0;

// Called by every thunk before it jumps to the real function: `watched` is the function's row,
// `return_address` where the DLL called it from.
extern "C" void __cdecl WatchRecord(uint32_t watched, void* return_address) {
  if (g_armed.load(std::memory_order_relaxed) == 0) return;
  g_counts[watched].fetch_add(1, std::memory_order_relaxed);
  g_total.fetch_add(1, std::memory_order_relaxed);
  if (g_first_taken.exchange(1) == 0) {
    g_first_function = static_cast<int>(watched);
    g_first_frames[0] = return_address;
    void* stack[kMaxFrames];
    const USHORT captured = RtlCaptureStackBackTrace(0, kMaxFrames, stack, nullptr);
    // The thunk's frame has no module; everything from the DLL's call site outwards is kept.
    int kept = 1;
    bool past_site = false;
    for (USHORT frame = 0; frame < captured && kept < kMaxFrames; ++frame) {
      if (stack[frame] == return_address) {
        past_site = true;
        continue;
      }
      if (past_site) g_first_frames[kept++] = stack[frame];
    }
    g_first_frame_count = kept;
  }
}

// One thunk per patched import:
//   pushad; push [esp+32] (the caller's return address); push <row>; mov eax, WatchRecord;
//   call eax; add esp, 8; popad; jmp [<the real function>]
// Every register and the stack are as the DLL left them when the real function starts, whatever
// its calling convention.
const size_t kThunkBytes = 32;

void WriteThunk(unsigned char* code, uint32_t row, void* const* real_function) {
  size_t at = 0;
  auto byte = [&](unsigned value) { code[at++] = static_cast<unsigned char>(value); };
  auto word = [&](uint32_t value) {
    std::memcpy(code + at, &value, 4);
    at += 4;
  };
  byte(0x60);
  byte(0xFF), byte(0x74), byte(0x24), byte(0x20);
  byte(0x68), word(row);
  byte(0xB8), word(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&WatchRecord)));
  byte(0xFF), byte(0xD0);
  byte(0x83), byte(0xC4), byte(0x08);
  byte(0x61);
  byte(0xFF), byte(0x25), word(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(real_function)));
  while (at < kThunkBytes) byte(0xCC);
}

int WatchedRow(const char* name) {
  for (int row = 0; row < kWindowsWatchedCount; ++row) {
    if (std::strcmp(kWindowsWatched[row], name) == 0) return row;
  }
  return -1;
}

// Where a code address lies: "module.dll+0x1b2c", or the bare address outside any module.
std::string DescribeAddress(void* address) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCWSTR>(address), &module)) {
    return Format("0x%08lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(address)));
  }
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  const std::string name = BaseNameOf(Narrow(std::wstring(path, length)));
  return Format("%s+0x%lx", name.c_str(),
                static_cast<unsigned long>(reinterpret_cast<uintptr_t>(address) -
                                           reinterpret_cast<uintptr_t>(module)));
}

}  // namespace

bool RealtimeWatch::Attach(const se_host::PluginLibrary& library, std::string* why) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(library.entry()), &module)) {
    *why = "the library's module cannot be found from its entry";
    return false;
  }
  unsigned char* base = reinterpret_cast<unsigned char*>(module);
  const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const IMAGE_NT_HEADERS* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory =
      headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (directory.VirtualAddress == 0) {
    attached_ = true;  // imports nothing, so it calls nothing there is to watch
    return true;
  }
  // First the slots to patch, then one block of thunks for them.
  struct Slot {
    void** address;
    int row;
  };
  std::vector<Slot> slots;
  for (const IMAGE_IMPORT_DESCRIPTOR* imported =
           reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
       imported->Name != 0; ++imported) {
    if (imported->OriginalFirstThunk == 0) continue;  // names unknown: nothing to match
    const IMAGE_THUNK_DATA* names =
        reinterpret_cast<const IMAGE_THUNK_DATA*>(base + imported->OriginalFirstThunk);
    void** addresses = reinterpret_cast<void**>(base + imported->FirstThunk);
    for (size_t entry = 0; names[entry].u1.AddressOfData != 0; ++entry) {
      if (IMAGE_SNAP_BY_ORDINAL(names[entry].u1.Ordinal)) continue;
      const IMAGE_IMPORT_BY_NAME* by_name =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names[entry].u1.AddressOfData);
      const int row = WatchedRow(reinterpret_cast<const char*>(by_name->Name));
      if (row >= 0) slots.push_back({&addresses[entry], row});
    }
  }
  if (slots.empty()) {
    attached_ = true;
    return true;
  }
  // Code and, after it, the real functions' addresses that the thunks jump through.
  const size_t code_bytes = slots.size() * kThunkBytes;
  unsigned char* block =
      static_cast<unsigned char*>(VirtualAlloc(nullptr, code_bytes + slots.size() * sizeof(void*),
                                               MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
  if (block == nullptr) {
    *why = "no executable memory for the watch's thunks";
    return false;
  }
  void** real_functions = reinterpret_cast<void**>(block + code_bytes);
  for (size_t index = 0; index < slots.size(); ++index) {
    real_functions[index] = *slots[index].address;
    unsigned char* thunk = block + index * kThunkBytes;
    WriteThunk(thunk, static_cast<uint32_t>(slots[index].row), &real_functions[index]);
    DWORD protection = 0;
    if (!VirtualProtect(slots[index].address, sizeof(void*), PAGE_READWRITE, &protection)) {
      *why = "the import table cannot be written";
      return false;
    }
    *slots[index].address = thunk;
    VirtualProtect(slots[index].address, sizeof(void*), protection, &protection);
  }
  FlushInstructionCache(GetCurrentProcess(), block, code_bytes);
  attached_ = true;
  return true;
}

void RealtimeWatch::Arm() { g_armed.store(1); }
void RealtimeWatch::Disarm() { g_armed.store(0); }
uint64_t RealtimeWatch::Total() const { return g_total.load(); }

std::vector<WatchedCount> RealtimeWatch::Counts() const {
  std::vector<WatchedCount> counts;
  for (int row = 0; row < kWindowsWatchedCount; ++row) {
    const uint64_t calls = g_counts[row].load();
    if (calls > 0)
      counts.push_back({kWindowsWatched[row], WatchedKind(kWindowsWatched[row]), calls});
  }
  std::stable_sort(counts.begin(), counts.end(),
                   [](const WatchedCount& first, const WatchedCount& second) {
                     return first.calls > second.calls;
                   });
  return counts;
}

bool RealtimeWatch::First(std::string* function, std::vector<std::string>* frames) const {
  if (g_first_taken.load() == 0 || g_first_function < 0) return false;
  *function = kWindowsWatched[g_first_function];
  frames->clear();
  for (int frame = 0; frame < g_first_frame_count; ++frame) {
    frames->push_back(DescribeAddress(g_first_frames[frame]));
  }
  return true;
}

void RealtimeWatch::Reset() {
  for (std::atomic<uint64_t>& count : g_counts) count.store(0);
  g_total.store(0);
  g_first_function = -1;
  g_first_frame_count = 0;
  g_first_taken.store(0);
}

std::string RealtimeWatch::Method() const {
  return "the DLL's imports from KERNEL32.dll and msvcrt.dll, through its import address table";
}

void PreloadAndRestart(const std::vector<std::string>&, std::string*) {}

#else

// ---- Linux: the preloaded stand-ins -------------------------------------------------------------

namespace {

const char kWatchLibrary[] = "modhost-realtime-watch.so";
const char kRestartedVariable[] = "MODHOST_REALTIME_WATCH";

struct WatchFunctions {
  void (*arm)(int) = nullptr;
  int (*functions)() = nullptr;
  const char* (*name)(int) = nullptr;
  uint64_t (*total)() = nullptr;
  uint64_t (*calls)(int) = nullptr;
  int (*first)(void**, int, int*) = nullptr;
  void (*reset)() = nullptr;
  bool loaded() const { return arm && functions && name && total && calls && first && reset; }
};

// The stand-ins' names are identifiers; operator new and delete are reported by their own.
std::string ShownName(const char* name) {
  std::string shown = name;
  if (shown.compare(0, 9, "operator_") == 0) shown[8] = ' ';
  return shown;
}

const WatchFunctions& Watch() {
  static const WatchFunctions functions = [] {
    WatchFunctions found;
    auto find = [](auto* slot, const char* name) {
      *slot = reinterpret_cast<std::remove_pointer_t<decltype(slot)> >(dlsym(RTLD_DEFAULT, name));
    };
    find(&found.arm, "modhost_watch_arm");
    find(&found.functions, "modhost_watch_functions");
    find(&found.name, "modhost_watch_name");
    find(&found.total, "modhost_watch_total");
    find(&found.calls, "modhost_watch_calls");
    find(&found.first, "modhost_watch_first");
    find(&found.reset, "modhost_watch_reset");
    return found;
  }();
  return functions;
}

std::string DescribeAddress(void* address) {
  Dl_info info;
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
    return Format("0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address)));
  }
  // One before the return address: the call instruction, which is what addr2line should be
  // given.
  const uintptr_t offset =
      reinterpret_cast<uintptr_t>(address) - 1 - reinterpret_cast<uintptr_t>(info.dli_fbase);
  std::string text = Format("%s+0x%llx", BaseNameOf(info.dli_fname).c_str(),
                            static_cast<unsigned long long>(offset));
  if (info.dli_sname != nullptr) text += std::string(" (") + info.dli_sname + ")";
  return text;
}

}  // namespace

bool RealtimeWatch::Attach(const se_host::PluginLibrary&, std::string* why) {
  if (!Watch().loaded()) {
    *why = std::string(kWatchLibrary) + " is not loaded in this process";
    return false;
  }
  attached_ = true;
  return true;
}

void RealtimeWatch::Arm() { Watch().arm(1); }
void RealtimeWatch::Disarm() { Watch().arm(0); }
uint64_t RealtimeWatch::Total() const { return Watch().total(); }

std::vector<WatchedCount> RealtimeWatch::Counts() const {
  std::vector<WatchedCount> counts;
  for (int row = 0; row < Watch().functions(); ++row) {
    const uint64_t calls = Watch().calls(row);
    const std::string name = ShownName(Watch().name(row));
    if (calls > 0) counts.push_back({name, WatchedKind(name), calls});
  }
  std::stable_sort(counts.begin(), counts.end(),
                   [](const WatchedCount& first, const WatchedCount& second) {
                     return first.calls > second.calls;
                   });
  return counts;
}

bool RealtimeWatch::First(std::string* function, std::vector<std::string>* frames) const {
  void* stack[48];
  int count = 0;
  const int row = Watch().first(stack, 48, &count);
  if (row < 0) return false;
  *function = ShownName(Watch().name(row));
  frames->clear();
  // The stand-in's own frames come first (after those of a sanitizer's backtrace, when one
  // intercepts it); the stack proper starts at the stand-in's caller.
  bool seen_watch = false;
  bool outside = false;
  for (int frame = 0; frame < count; ++frame) {
    Dl_info info;
    const bool in_watch = dladdr(stack[frame], &info) != 0 && info.dli_fname != nullptr &&
                          std::strstr(info.dli_fname, kWatchLibrary) != nullptr;
    seen_watch = seen_watch || in_watch;
    if (!outside && (in_watch || !seen_watch)) continue;
    outside = true;
    frames->push_back(DescribeAddress(stack[frame]));
  }
  // A stack with no frame of the stand-ins (none should be) is shown whole.
  if (!seen_watch) {
    for (int frame = 0; frame < count; ++frame) frames->push_back(DescribeAddress(stack[frame]));
  }
  return true;
}

void RealtimeWatch::Reset() { Watch().reset(); }

std::string RealtimeWatch::Method() const {
  return std::string("every call of the check's process, through the stand-ins of ") +
         kWatchLibrary + " (LD_PRELOAD)";
}

void PreloadAndRestart(const std::vector<std::string>& arguments, std::string* why) {
  if (Watch().loaded()) return;
  if (std::getenv(kRestartedVariable) != nullptr) {
    *why = std::string(kWatchLibrary) + " was preloaded but its functions are not found";
    return;
  }
  const std::string library = ProgramFolder() + kWatchLibrary;
  if (KindOfPath(library) != PathKind::kRegular) {
    *why = "the watch library " + library + " is missing";
    return;
  }
  const char* preloaded = std::getenv("LD_PRELOAD");
  const std::string preload =
      preloaded != nullptr && *preloaded ? library + ":" + preloaded : library;
  setenv("LD_PRELOAD", preload.c_str(), 1);
  setenv(kRestartedVariable, "1", 1);
  // Under AddressSanitizer its run-time must otherwise come first; the stand-ins pass every call
  // on to it. They also leave alone the few blocks freed while they look up the real functions
  // (the sanitizer's start-up does that), which its leak checker would report at exit: this
  // process checks calls, not leaks, and every other check's process still checks leaks.
  const char* sanitizer = std::getenv("ASAN_OPTIONS");
  const std::string options = std::string(sanitizer != nullptr ? sanitizer : "") +
                              (sanitizer != nullptr && *sanitizer ? ":" : "") +
                              "verify_asan_link_order=0:detect_leaks=0";
  setenv("ASAN_OPTIONS", options.c_str(), 1);
  const std::string program = ProgramPath();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::fflush(nullptr);
  execv(program.c_str(), argv.data());
  *why = "cannot start again with the watch library: " + std::string(std::strerror(errno));
}

#endif

}  // namespace validation
}  // namespace modhost
