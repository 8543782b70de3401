// Watches what a module calls while it processes: allocations and frees, locks and waits, sleeps,
// thread creation, file and console I/O and other blocking system calls, none of which belongs
// in an audio thread. The realtime-safety check arms the watch around each process call and
// each event opcode and reads the counts and the first offending call's stack afterwards.
//
// How the calls are seen depends on the system:
//   - Linux: the stand-ins of modhost-realtime-watch.so (realtime_interpose.cpp), preloaded into
//     the check's process, which catch every call of the process while armed; the check's child
//     starts itself again with LD_PRELOAD when they are not there yet (PreloadAndRestart).
//   - Windows (and Wine): the DLL's import address table, whose entries for the watched functions
//     of KERNEL32.dll and msvcrt.dll are pointed at counting thunks once the DLL is loaded. A
//     DLL of this protocol imports from nothing else, so every such call it makes passes there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/plugin_library.h"

namespace modhost {
namespace validation {

struct WatchedCount {
  std::string function;
  std::string kind;  // "allocation", "lock", "sleep", "thread", "file or console", "system call"
  uint64_t calls = 0;
};

class RealtimeWatch {
 public:
  // Starts watching the calls of `library`. False, with `why`, when this process cannot watch.
  bool Attach(const se_host::PluginLibrary& library, std::string* why);
  void Arm();
  void Disarm();
  // Calls counted since the last Reset.
  uint64_t Total() const;
  // The functions called since the last Reset, most called first.
  std::vector<WatchedCount> Counts() const;
  // The first counted call since the last Reset: its function and its stack, one frame a line
  // ("broken_module_allocates.so+0x1b2c"), innermost first. False when there was none.
  bool First(std::string* function, std::vector<std::string>* frames) const;
  void Reset();
  // How the calls are watched, for the report.
  std::string Method() const;

 private:
  bool attached_ = false;
};

// The kind of a watched function, by its name.
std::string WatchedKind(const std::string& function);

// Linux: when the stand-ins are not loaded in this process, starts this program again with them
// preloaded and the same arguments (it does not return then). Returns with `why` set when that
// is impossible (no such library beside the program); does nothing elsewhere.
void PreloadAndRestart(const std::vector<std::string>& arguments, std::string* why);

}  // namespace validation
}  // namespace modhost
