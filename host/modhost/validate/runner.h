// What the parts of `modhost validate` share: the options of a run, one check's outcome and one
// library's result. runner.cpp chooses the checks and runs them, check_process.cpp runs one check
// in a child process (or here) and reads its report back, report.cpp prints and writes the
// results (text, JSON, JUnit XML).
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/modhost/cli/exit_status.h"
#include "host/modhost/run/module_child.h"
#include "host/modhost/validate/checks.h"

namespace modhost {

// Texts from a module may hold bytes that are not UTF-8; they are replaced, never a reason to fail.
const nlohmann::json::error_handler_t kLenient = nlohmann::json::error_handler_t::replace;

struct ValidateOptions {
  std::vector<std::string> libraries;  // as given: libraries and folders
  std::string library;                 // the one being validated
  bool list = false;
  bool json = false;
  bool in_process = false;
  bool trace = false;
  std::string seed_text;
  uint64_t seed = 0;
  bool seed_given = false;
  std::vector<std::string> include;
  std::vector<std::string> exclude;
  double time_limit = 20.0;
  bool time_limit_given = false;
  int level = validation::kDefaultLevel;
  bool fail_fast = false;
  int jobs = 0;  // 0: one per processor
  std::string junit;
  std::string run_check;  // set in a child process: run this one check and report
};

// One check as the run saw it.
struct CheckOutcome {
  const validation::CheckDefinition* check = nullptr;
  enum class Result { kPassed, kFailed, kSkipped } result = Result::kSkipped;
  validation::CheckReport report;
  std::string ending = "completed";  // or how the child process ended
  std::string last_step;
  std::string library_output;  // what the child wrote to standard error
  double seconds = 0;
};

// What one library's validation came to.
struct LibraryResult {
  std::string library;
  int exit_status = kExitOk;
  size_t passed = 0, failed = 0, skipped = 0;
  double seconds = 0;
  std::vector<CheckOutcome> outcomes;
  nlohmann::json json;  // the document --json prints for this library
};

// check_process.cpp
// The child's side: one check, its progress and its report on standard output.
int RunOneCheckAsChild(const ValidateOptions& options);
// Runs `check` in a child process of `host`, under the time limit, and reads its report.
CheckOutcome RunInChild(const validation::CheckDefinition& check, const ValidateOptions& options,
                        const ChildHost& host);
// Runs `check` in this process (--in-process).
CheckOutcome RunHere(const validation::CheckDefinition& check, const ValidateOptions& options);

// report.cpp
// The command that replays one check of the run.
std::string ReplayCommand(const ValidateOptions& options, const validation::CheckDefinition& check);
void PrintHuman(const CheckOutcome& outcome, const ValidateOptions& options);
nlohmann::json OutcomeToJson(const CheckOutcome& outcome, const ValidateOptions& options);
// --list: every check, its summary and what each level changes.
int ListChecks();
bool WriteJunit(const ValidateOptions& options, const std::vector<LibraryResult>& results,
                std::string* error);

}  // namespace modhost
