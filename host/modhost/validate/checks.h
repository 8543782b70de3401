// The validator's named checks. Each is a function of a CheckContext that drives the library as a
// host does and records what it finds; runner.cpp runs each one in a child process of its own and
// gathers the reports.
//
// The checks live in one file per area, each check a row of its area's table (its name, its kind,
// a one-line summary for --list and its function) next to the code, so that adding a check
// touches that one file:
//   checks_loading.cpp    the file (format, exports, imports) and loading it
//   checks_record.cpp     the record, the dispatcher's answers, the module's properties
//   checks_pins.cpp       the pin table and the requests a module sends the host
//   checks_events.cpp     events at their samples, and spans written exactly
//   checks_audio.cpp      the output's values: finite, independent of block sizes and rates
//   checks_instances.cpp  many instances, on several threads, created and closed in any order
//   checks_contract.cpp   what a module must survive when the host breaks its side
//   checks_realtime.cpp   no allocation, lock, sleep or I/O while the module processes
//   checks_performance.cpp  the cost of a sample, and whether denormal numbers raise it
// The areas run in that order, and within an area in the order of its table.
//
// `--level` trades time for depth: a check runs from its row's `first_level` on, and reads
// CheckContext::ByLevel for its counts and lengths; level 5 is the default and the reference
// that the other levels are scaled from. Above 5 every check also repeats with more seeds
// (SeedsForLevel).
#pragma once

#include <string>
#include <vector>

#include "host/modhost/validate/check_context.h"

namespace modhost {
namespace validation {

enum class CheckKind {
  kFile,    // reads the library's file only, runs none of its code
  kLoad,    // loads the library and creates an instance: the gate to everything below
  kModule,  // drives module instances
};

struct CheckDefinition {
  const char* name;
  CheckKind kind;
  const char* summary;  // one line for --list
  void (*run)(CheckContext& context);
  int first_level = 1;        // the lowest --level that runs it
  const char* by_level = "";  // what the level changes, for --list
  // Measures time: it runs when no other check runs beside it.
  bool runs_alone = false;
  // Watches the module's calls (realtime_watch.h): its process starts with the watch in place.
  bool needs_watch = false;
};

// The levels of --level, and how many seeds each check plays at `level`: one up to the default,
// then more, up to 8 at level 10.
inline constexpr int kLowestLevel = 1;
inline constexpr int kDefaultLevel = 5;
inline constexpr int kHighestLevel = 10;
int SeedsForLevel(int level);

// Each area's checks, in the order they run.
std::vector<CheckDefinition> LoadingChecks();
std::vector<CheckDefinition> RecordChecks();
std::vector<CheckDefinition> PinChecks();
std::vector<CheckDefinition> EventChecks();
std::vector<CheckDefinition> AudioChecks();
std::vector<CheckDefinition> InstanceChecks();
std::vector<CheckDefinition> ContractChecks();
std::vector<CheckDefinition> RealtimeChecks();
std::vector<CheckDefinition> PerformanceChecks();

// Every check, in the order they run.
const std::vector<CheckDefinition>& AllChecks();
// The check called `name`, or null.
const CheckDefinition* FindCheck(const std::string& name);

// Runs `check` in this process and returns its report: once per seed of the settings' level,
// stopping at the first seed that fails. Whatever the check or the library throws
// is caught and reported; a crash is not, which is what the child processes are for.
CheckReport RunCheck(const CheckDefinition& check, const CheckSettings& settings);

}  // namespace validation
}  // namespace modhost
