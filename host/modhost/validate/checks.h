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
// The areas run in that order, and within an area in the order of its table.
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
};

// Each area's checks, in the order they run.
std::vector<CheckDefinition> LoadingChecks();
std::vector<CheckDefinition> RecordChecks();
std::vector<CheckDefinition> PinChecks();
std::vector<CheckDefinition> EventChecks();
std::vector<CheckDefinition> AudioChecks();
std::vector<CheckDefinition> InstanceChecks();
std::vector<CheckDefinition> ContractChecks();

// Every check, in the order they run.
const std::vector<CheckDefinition>& AllChecks();
// The check called `name`, or null.
const CheckDefinition* FindCheck(const std::string& name);

// Runs `check` in this process and returns its report. Whatever the check or the library throws
// is caught and reported; a crash is not, which is what the child processes are for.
CheckReport RunCheck(const CheckDefinition& check, const CheckSettings& settings);

}  // namespace validation
}  // namespace modhost
