// The validator's named checks. Each is a function of a CheckContext that drives the library
// through the harness and records what it finds; runner.cpp runs each one in a child process of
// its own and gathers the reports.
#pragma once

#include <string>
#include <vector>

#include "host/modhost/validate/harness.h"

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

// Every check, in the order they run.
const std::vector<CheckDefinition>& AllChecks();
// The check called `name`, or null.
const CheckDefinition* FindCheck(const std::string& name);

// Runs `check` in this process and returns its report. Whatever the check or the library throws
// is caught and reported; a crash is not, which is what the child processes are for.
CheckReport RunCheck(const CheckDefinition& check, const CheckSettings& settings);

}  // namespace validation
}  // namespace modhost
