// `modhost validate`: chooses the named checks (checks.h) for the level and the patterns, runs
// them against each library named, side by side where they may (-j), each in a child process of
// its own (check_process.cpp), and sums up (report.cpp prints and writes the results).
//
// The file checks run first and need nothing but the file. The `load` check is the gate to the
// rest: when the library cannot be loaded, has no `main` or hands back a bad record, the module
// checks are skipped and the exit status names that stage.
#include "host/modhost/validate/runner.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "host/modhost/cli/commands.h"
#include "host/modhost/cli/progress.h"
#include "host/modhost/io/file_system.h"
#include "host/modhost/io/library_tables.h"
#include "host/modhost/io/text.h"
#include "host/modhost/run/library_kind.h"
#include "host/modhost/run/module_child.h"
#include "host/modhost/run/pin_values.h"
#include "host/modhost/run/random.h"
#include "host/modhost/validate/checks.h"

namespace modhost {

namespace {

using validation::CheckDefinition;
using validation::CheckKind;
using validation::CheckReport;
using validation::LoadStage;

// The stage that a failed `load` check reached: its report's word, or for a process that ended
// without one, where it was when it ended.
LoadStage StageOf(const CheckOutcome& load) {
  if (load.report.stage != LoadStage::kNotTried) return load.report.stage;
  if (load.last_step == "loading the library") return LoadStage::kCannotLoad;
  if (load.last_step == "closing the first instance") return LoadStage::kLoaded;
  return LoadStage::kBadRecord;
}

int ExitStatusFor(LoadStage stage) {
  switch (stage) {
    case LoadStage::kCannotLoad:
      return kExitCannotLoad;
    case LoadStage::kNoMain:
      return kExitNoMain;
    case LoadStage::kBadRecord:
      return kExitBadRecord;
    default:
      return kExitOk;
  }
}

bool Selected(const CheckDefinition& check, const std::vector<std::regex>& include,
              const std::vector<std::regex>& exclude) {
  bool wanted = include.empty();
  for (const std::regex& pattern : include)
    wanted = wanted || std::regex_search(check.name, pattern);
  for (const std::regex& pattern : exclude)
    wanted = wanted && !std::regex_search(check.name, pattern);
  return wanted;
}

// The time limit of one check when --timeout is not given: a level-1 run should not wait long on
// a module that hangs, and the levels above 5 play more seeds with longer renders.
double DefaultTimeLimit(int level) {
  if (level <= 2) return 10;
  if (level <= validation::kDefaultLevel) return 20;
  return 20.0 * validation::SeedsForLevel(level) * 2;
}

// Runs `count` jobs on up to `workers` threads, and hands each result to `finish` in the order
// of the jobs, as soon as every job before it has finished, under one lock. `may_start` says false
// to stop starting jobs (those not started are given to `finish` as not run).
void RunInOrder(size_t count, int workers, const std::function<bool(size_t)>& may_start,
                const std::function<CheckOutcome(size_t)>& run,
                const std::function<void(size_t, CheckOutcome*, bool ran)>& finish) {
  std::mutex lock;
  std::vector<CheckOutcome> results(count);
  std::vector<int> state(count, 0);  // 0 waiting, 1 running, 2 done, 3 not run
  size_t next = 0, printed = 0;
  auto flush = [&] {
    while (printed < count && state[printed] >= 2) {
      finish(printed, &results[printed], state[printed] == 2);
      ++printed;
    }
  };
  auto work = [&] {
    for (;;) {
      size_t index;
      {
        std::lock_guard<std::mutex> guard(lock);
        while (next < count && !may_start(next)) {
          state[next] = 3;
          ++next;
        }
        flush();
        if (next >= count) return;
        index = next++;
        state[index] = 1;
      }
      CheckOutcome outcome = run(index);
      std::lock_guard<std::mutex> guard(lock);
      results[index] = std::move(outcome);
      state[index] = 2;
      flush();
    }
  };
  const int threads = std::max(1, std::min<int>(workers, static_cast<int>(count)));
  std::vector<std::thread> pool;
  for (int thread = 1; thread < threads; ++thread) pool.emplace_back(work);
  work();
  for (std::thread& thread : pool) thread.join();
  std::lock_guard<std::mutex> guard(lock);
  flush();
}

LibraryResult ValidateLibrary(const ValidateOptions& options,
                              const std::vector<const CheckDefinition*>& selected,
                              bool needs_gate) {
  LibraryResult result;
  result.library = options.library;
  const auto started = std::chrono::steady_clock::now();

  // The checks run in the build of modhost that loads this kind of library. When there is none,
  // the file checks still run here, and the load check fails with the reason.
  ChildHost self;
  self.program = ProgramPath();
  ChildHost host = self;
  std::string host_error;
  const bool hosted = FindChildHost(options.library, &host, &host_error);
  if (!hosted) host = self;

  Progress progress(!options.json && !options.trace, static_cast<int64_t>(selected.size()));
  // The bar and its counts are shared by the checks running side by side.
  std::mutex progress_lock;
  size_t checks_started = 0;
  size_t checks_done = 0;
  auto run = [&](const CheckDefinition& check) {
    if (!hosted && check.kind != CheckKind::kFile) {
      CheckOutcome refused;
      refused.check = &check;
      refused.result = CheckOutcome::Result::kFailed;
      refused.report.stage = LoadStage::kCannotLoad;
      refused.report.failures.push_back(host_error);
      return refused;
    }
    {
      std::lock_guard<std::mutex> guard(progress_lock);
      const size_t number = ++checks_started;
      progress.Update(static_cast<int64_t>(checks_done),
                      "check " + std::to_string(number) + " of " + std::to_string(selected.size()) +
                          ": " + check.name);
    }
    return options.in_process ? RunHere(check, options) : RunInChild(check, options, host);
  };

  if (!options.json) {
    std::string how = options.in_process ? std::string("every check in this process")
                                         : "each check in its own process, at most " +
                                               validation::Number(options.time_limit) + " s";
    if (!options.in_process && options.jobs > 1) {
      how += ", " + std::to_string(options.jobs) + " at a time";
    }
    std::printf("validating %s (seed %llu; level %d; %s)\n", Excerpt(options.library).c_str(),
                static_cast<unsigned long long>(options.seed), options.level, how.c_str());
    std::fflush(stdout);
  }

  std::vector<CheckOutcome>& outcomes = result.outcomes;
  bool any_failed = false;
  auto report = [&](CheckOutcome outcome) {
    {
      std::lock_guard<std::mutex> guard(progress_lock);
      ++checks_done;
      progress.Finish();
    }
    if (outcome.result == CheckOutcome::Result::kFailed) any_failed = true;
    if (!options.json) {
      PrintHuman(outcome, options);
      std::fflush(stdout);
    }
    outcomes.push_back(std::move(outcome));
  };
  auto not_run = [&](const CheckDefinition* check, const std::string& why) {
    CheckOutcome skipped;
    skipped.check = check;
    skipped.ending = "not run";
    skipped.report.passed = false;
    skipped.report.notes.push_back("not run: " + why);
    report(skipped);
  };
  // The checks of one phase, side by side (-j) except those that time the module, which run
  // afterwards on their own; printed in the order of the table.
  auto run_phase = [&](const std::vector<const CheckDefinition*>& checks) {
    std::vector<const CheckDefinition*> together, alone;
    for (const CheckDefinition* check : checks) {
      (check->runs_alone ? alone : together).push_back(check);
    }
    for (const std::vector<const CheckDefinition*>* group : {&together, &alone}) {
      const int workers = group == &alone || options.in_process ? 1 : options.jobs;
      RunInOrder(
          group->size(), workers, [&](size_t) { return !(options.fail_fast && any_failed); },
          [&](size_t index) { return run(*(*group)[index]); },
          [&](size_t index, CheckOutcome* outcome, bool ran) {
            if (ran) {
              report(std::move(*outcome));
            } else {
              not_run((*group)[index], "--fail-fast after a failure");
            }
          });
    }
  };

  LoadStage stage = LoadStage::kNotTried;
  std::string gate_failure;
  std::vector<const CheckDefinition*> file_checks, module_checks;
  for (const CheckDefinition* check : selected) {
    if (check->kind == CheckKind::kFile) file_checks.push_back(check);
    if (check->kind == CheckKind::kModule) module_checks.push_back(check);
  }
  run_phase(file_checks);
  if (needs_gate && !(options.fail_fast && any_failed)) {
    const CheckDefinition* load = validation::FindCheck("load");
    CheckOutcome gate = run(*load);
    stage = gate.result == CheckOutcome::Result::kPassed ? LoadStage::kLoaded : StageOf(gate);
    if (!gate.report.failures.empty()) gate_failure = gate.report.failures.front();
    const bool load_selected = std::find(selected.begin(), selected.end(), load) != selected.end();
    if (load_selected) report(gate);
  }
  if (stage == LoadStage::kLoaded) {
    run_phase(module_checks);
  } else {
    const std::string why = stage == LoadStage::kNotTried
                                ? std::string("--fail-fast after a failure")
                                : std::string(validation::LoadStageName(stage));
    for (const CheckDefinition* check : module_checks) not_run(check, why);
  }

  for (const CheckOutcome& outcome : outcomes) {
    if (outcome.result == CheckOutcome::Result::kPassed) ++result.passed;
    if (outcome.result == CheckOutcome::Result::kFailed) ++result.failed;
    if (outcome.result == CheckOutcome::Result::kSkipped) ++result.skipped;
  }
  result.exit_status = result.failed > 0 ? kExitFailed : kExitOk;
  if (needs_gate && stage != LoadStage::kLoaded && stage != LoadStage::kNotTried) {
    result.exit_status = ExitStatusFor(stage);
  }
  result.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  nlohmann::json& json = result.json;
  json["library"] = options.library;
  json["seed"] = options.seed;
  json["level"] = options.level;
  json["time_limit_seconds"] = options.time_limit;
  json["in_process"] = options.in_process;
  json["host_kind"] = HostBinaryKind();
  json["child_host"] = host.program;
  json["stage"] = validation::LoadStageName(stage);
  json["checks"] = nlohmann::json::array();
  for (const CheckOutcome& outcome : outcomes) {
    json["checks"].push_back(OutcomeToJson(outcome, options));
  }
  json["passed"] = result.passed;
  json["failed"] = result.failed;
  json["skipped"] = result.skipped;
  json["seconds"] = result.seconds;
  json["exit_status"] = result.exit_status;
  if (!options.json) {
    if (needs_gate && stage != LoadStage::kLoaded && stage != LoadStage::kNotTried) {
      std::printf("the module checks were not run: %s%s%s\n", validation::LoadStageName(stage),
                  gate_failure.empty() ? "" : ": ", gate_failure.c_str());
    }
    std::printf("%zu passed, %zu failed", result.passed, result.failed);
    if (result.skipped > 0) std::printf(", %zu skipped", result.skipped);
    std::printf("\n");
    std::fflush(stdout);
  }
  return result;
}

// The libraries named on the command line: a folder stands for every library file in it (not
// its subfolders), in name order; a file that is no library there is passed over with a line.
std::vector<std::string> ExpandLibraries(const std::vector<std::string>& arguments,
                                         std::vector<std::string>* passed_over) {
  std::vector<std::string> libraries;
  for (const std::string& argument : arguments) {
    if (KindOfPath(argument) != PathKind::kDirectory) {
      libraries.push_back(argument);
      continue;
    }
    std::vector<std::string> names;
    std::string error;
    if (!ListFolder(argument, &names, &error)) {
      passed_over->push_back(error);
      continue;
    }
    for (const std::string& name : names) {
      const std::string path = JoinPath(argument, name);
      BinaryInfo info;
      std::string problem;
      if (KindOfPath(path) == PathKind::kDirectory) continue;
      if (InspectLibraryFile(path, &info, &problem)) {
        libraries.push_back(path);
      } else {
        passed_over->push_back(Excerpt(path) + ": " + problem);
      }
    }
  }
  return libraries;
}

int WorstStatus(int first, int second) { return std::max(first, second); }

int RunValidate(ValidateOptions options) {
  if (options.list) return ListChecks();
  auto usage = [](const std::string& message) {
    ReportError("validate", message);
    return kExitUsage;
  };
  if (options.libraries.empty()) return usage("name the library to validate (or use --list)");
  std::string seed_problem;
  if (!ChooseSeed(options.seed_text, options.seed_given, &options.seed, &seed_problem)) {
    return usage("--seed: " + seed_problem);
  }
  if (!options.time_limit_given) options.time_limit = DefaultTimeLimit(options.level);
  if (options.jobs <= 0) options.jobs = static_cast<int>(std::thread::hardware_concurrency());
  if (options.jobs <= 0) options.jobs = 1;
  if (!options.run_check.empty()) {
    options.library = options.libraries.front();
    return RunOneCheckAsChild(options);
  }

  std::vector<std::regex> include, exclude;
  try {
    for (const std::string& pattern : options.include) include.emplace_back(pattern);
    for (const std::string& pattern : options.exclude) exclude.emplace_back(pattern);
  } catch (const std::regex_error& error) {
    return usage(std::string("bad regular expression: ") + error.what());
  }
  std::vector<const CheckDefinition*> selected;
  bool needs_gate = false;
  for (const CheckDefinition& check : validation::AllChecks()) {
    if (!Selected(check, include, exclude) || check.first_level > options.level) continue;
    selected.push_back(&check);
    if (check.kind != CheckKind::kFile) needs_gate = true;
  }
  if (selected.empty()) {
    return usage("no check matches the --include and --exclude patterns at level " +
                 std::to_string(options.level));
  }
  std::vector<std::string> passed_over;
  const std::vector<std::string> libraries = ExpandLibraries(options.libraries, &passed_over);
  const bool several = options.libraries.size() > 1 || libraries.size() != 1 ||
                       KindOfPath(options.libraries.front()) == PathKind::kDirectory;
  if (libraries.empty()) {
    for (const std::string& line : passed_over) ReportError("validate", "passed over " + line);
    return usage("no library in " + Excerpt(options.libraries.front()));
  }
  if (options.in_process) {
    for (const std::string& library : libraries) {
      ChildHost host;
      std::string error;
      if (FindChildHost(library, &host, &error) && host.program != ProgramPath()) {
        return usage("--in-process: this modhost cannot load " + Excerpt(library) +
                     "; it runs in " + host.program);
      }
    }
  }
  if (!options.json) {
    for (const std::string& line : passed_over) std::printf("passed over %s\n", line.c_str());
  }

  std::vector<LibraryResult> results;
  int exit_status = kExitOk;
  for (size_t index = 0; index < libraries.size(); ++index) {
    options.library = libraries[index];
    if (several && !options.json && index > 0) std::printf("\n");
    results.push_back(ValidateLibrary(options, selected, needs_gate));
    exit_status = WorstStatus(exit_status, results.back().exit_status);
    if (options.fail_fast && results.back().exit_status != kExitOk) break;
  }

  size_t passed = 0, failed = 0, skipped = 0;
  for (const LibraryResult& result : results) {
    passed += result.passed;
    failed += result.failed;
    skipped += result.skipped;
  }
  if (options.json) {
    nlohmann::json document;
    if (several) {
      document["libraries"] = nlohmann::json::array();
      for (const LibraryResult& result : results) document["libraries"].push_back(result.json);
      document["passed_over"] = passed_over;
      document["passed"] = passed;
      document["failed"] = failed;
      document["skipped"] = skipped;
      document["exit_status"] = exit_status;
    } else {
      document = results.front().json;
    }
    std::printf("%s\n", document.dump(2, ' ', false, kLenient).c_str());
  } else if (several) {
    std::printf("\nsummary (seed %llu, level %d):\n", static_cast<unsigned long long>(options.seed),
                options.level);
    for (const LibraryResult& result : results) {
      std::printf("  %s  %s: %zu passed, %zu failed",
                  result.exit_status == kExitOk ? "PASS" : "FAIL",
                  Excerpt(result.library, 300).c_str(), result.passed, result.failed);
      if (result.skipped > 0) std::printf(", %zu skipped", result.skipped);
      if (result.exit_status > kExitFailed) std::printf(" (exit status %d)", result.exit_status);
      std::printf(" in %.1f s\n", result.seconds);
    }
    std::printf("total: %zu librar%s, %zu passed, %zu failed", results.size(),
                results.size() == 1 ? "y" : "ies", passed, failed);
    if (skipped > 0) std::printf(", %zu skipped", skipped);
    std::printf("; exit status %d\n", exit_status);
  }
  std::fflush(stdout);
  if (!options.junit.empty()) {
    std::string error;
    if (!WriteJunit(options, results, &error)) {
      ReportError("validate", error);
      return WorstStatus(exit_status, kExitOutputFailed);
    }
  }
  return exit_status;
}

}  // namespace

void AddValidateCommand(CLI::App& app, int* exit_status) {
  auto options = std::make_shared<ValidateOptions>();
  CLI::App* command = app.add_subcommand(
      "validate",
      "Check module libraries against the plug-in protocol: named checks, each in a process of "
      "its own with a time limit, so that a crash or a hang fails that check only. Exit status 0 "
      "when every check passed, 1 when one failed, 3 when the library cannot be loaded, 4 when it "
      "has no `main`, 5 when `main` gives a bad record; for several libraries the worst.");
  // Library paths under Wine are often Unix paths; "/work/..." is a path here, not an option.
  command->allow_windows_style_options(false);
  command->add_option("library", options->libraries,
                      "module libraries (.so or .dll), or folders of them");
  command->add_flag("--list", options->list,
                    "list the checks, what each verifies and what each level changes");
  command->add_flag("--json", options->json, "print the results as one JSON document");
  command
      ->add_option("--junit", options->junit,
                   "also write the results as JUnit XML to FILE, one test case per check and "
                   "library")
      ->type_name("FILE");
  CLI::Option* seed =
      command->add_option("--seed", options->seed_text,
                          "seed of the random scripts; a failure prints the seed to replay it");
  command
      ->add_option("--level", options->level,
                   "1 (a second per library: the checks that find the most, short renders) to 10 "
                   "(every check, long renders, 8 seeds); default 5")
      ->check(CLI::Range(validation::kLowestLevel, validation::kHighestLevel));
  command->add_flag("--fail-fast", options->fail_fast,
                    "start no more checks (and no more libraries) after the first failure");
  command
      ->add_option("-j,--jobs", options->jobs,
                   "checks run side by side (default: one per processor); timed checks run alone")
      ->check(CLI::Range(1, 256));
  command
      ->add_option("--include", options->include,
                   "run only checks whose name matches this regular expression (repeatable)")
      ->allow_extra_args(false);
  command
      ->add_option("--exclude", options->exclude,
                   "skip checks whose name matches this regular expression (repeatable)")
      ->allow_extra_args(false);
  command->add_flag("--in-process", options->in_process,
                    "run every check in this process, for a debugger (a crash ends the run)");
  command->add_flag("--trace", options->trace,
                    "log every dispatcher call and every host request, with its arguments and"
                    " answer, on standard error");
  CLI::Option* time_limit =
      command
          ->add_option("--timeout,--time-limit", options->time_limit,
                       "seconds each check may take before it is stopped (default 20; 10 at "
                       "levels 1 and 2, more above 5)")
          ->check(CLI::PositiveNumber);
  // The child's side of a run: not for people.
  command->add_option("--run-check", options->run_check)->group("");
  command->callback([options, seed, time_limit, exit_status]() {
    options->seed_given = seed->count() > 0;
    options->time_limit_given = time_limit->count() > 0;
    *exit_status = RunValidate(*options);
  });
}

}  // namespace modhost
