// `modhost validate`: runs the named checks (checks.h) against a library and reports.
//
// Each check runs in a child process of its own (this program again, with the hidden option
// --run-check NAME), under a time limit, so that a crash or a hang is that check's failure and the
// run goes on. The child tells the parent what it is doing as it goes ("@step", "@script" lines)
// and ends with its report as one JSON line ("@report"); a child that ends without one crashed,
// hung or exited, and the last step it announced says where.
//
// The file checks run first and need nothing but the file. The `load` check is the gate to the
// rest: when the library cannot be loaded, has no `main` or hands back a bad record, the module
// checks are skipped and the exit status names that stage.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "host/modhost/cli/commands.h"
#include "host/modhost/cli/progress.h"
#include "host/modhost/io/file_system.h"
#include "host/modhost/io/library_tables.h"
#include "host/modhost/io/text.h"
#include "host/modhost/run/child_process.h"
#include "host/modhost/run/child_protocol.h"
#include "host/modhost/run/library_kind.h"
#include "host/modhost/run/module_child.h"
#include "host/modhost/run/pin_values.h"
#include "host/modhost/validate/checks.h"

namespace modhost {

namespace {

using validation::CheckDefinition;
using validation::CheckKind;
using validation::CheckReport;
using validation::LoadStage;

struct ValidateOptions {
  std::string library;
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
  std::string run_check;  // set in a child process: run this one check and report
};

// One check as the run saw it.
struct CheckOutcome {
  const CheckDefinition* check = nullptr;
  enum class Result { kPassed, kFailed, kSkipped } result = Result::kSkipped;
  CheckReport report;
  std::string ending = "completed";  // or how the child process ended
  std::string last_step;
  std::string library_output;  // what the child wrote to standard error
  double seconds = 0;
};

// ---- The child's report, as JSON on one line ----------------------------------------------------

const nlohmann::json::error_handler_t kLenient = nlohmann::json::error_handler_t::replace;

nlohmann::json ReportToJson(const CheckReport& report) {
  nlohmann::json json;
  json["passed"] = report.passed;
  json["failures"] = report.failures;
  json["notes"] = report.notes;
  json["script"] = report.script;
  json["stage"] = validation::LoadStageName(report.stage);
  return json;
}

bool ReportFromJson(const std::string& text, CheckReport* report) {
  const nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
  if (json.is_discarded() || !json.is_object()) return false;
  report->passed = json.value("passed", false);
  report->failures = json.value("failures", std::vector<std::string>());
  report->notes = json.value("notes", std::vector<std::string>());
  report->script = json.value("script", std::string());
  report->stage = validation::LoadStageFromName(json.value("stage", std::string()));
  return true;
}

validation::CheckSettings SettingsFor(const ValidateOptions& options) {
  validation::CheckSettings settings;
  settings.library_path = LoadablePath(options.library);
  settings.seed = options.seed;
  settings.trace = options.trace;
  return settings;
}

// The child's side: one check, its progress and its report on standard output.
int RunOneCheckAsChild(const ValidateOptions& options) {
  // The parent keeps the time limit of the whole check.
  BeginChild(0);
  const CheckDefinition* check = validation::FindCheck(options.run_check);
  if (!check) {
    SendFailure(kExitUsage, "no check named " + Excerpt(options.run_check));
    return kExitUsage;
  }
  validation::CheckSettings settings = SettingsFor(options);
  settings.progress = [](const char* kind, const std::string& text) {
    const bool step = kind == std::string("step");
    if (step) BeginCall(text.c_str());
    SendFrame(step ? "step" : "script", text);
  };
  const CheckReport report = validation::RunCheck(*check, settings);
  SendFrame("report", ReportToJson(report).dump(-1, ' ', false, kLenient));
  SendFrame("done", std::string());
  return kExitOk;
}

// ---- The parent's side --------------------------------------------------------------------------

std::string LastLines(const std::string& text, size_t count) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
    start = end + 1;
  }
  std::string tail;
  for (size_t index = lines.size() > count ? lines.size() - count : 0; index < lines.size();
       ++index) {
    tail += lines[index] + "\n";
  }
  return tail;
}

CheckOutcome RunInChild(const CheckDefinition& check, const ValidateOptions& options,
                        const ChildHost& host) {
  std::vector<std::string> arguments = host.leading_arguments;
  for (const std::string& argument :
       {std::string("validate"), options.library, std::string("--run-check"),
        std::string(check.name), std::string("--seed"), std::to_string(options.seed)}) {
    arguments.push_back(argument);
  }
  if (options.trace) arguments.push_back("--trace");
  const ChildOutcome child =
      RunChildProcess(host.program, arguments, options.time_limit, options.trace);

  CheckOutcome outcome;
  outcome.check = &check;
  outcome.seconds = child.seconds;
  outcome.library_output = LastLines(child.errors, 40);
  std::string last_script;
  bool have_report = false;
  std::string refusal;  // why the child could not run the check at all
  FrameReader reader;
  reader.Add(child.output.data(), child.output.size());
  Frame frame;
  while (reader.Next(&frame)) {
    if (frame.tag == "step") {
      outcome.last_step = frame.payload;
    } else if (frame.tag == "script") {
      last_script = frame.payload;
    } else if (frame.tag == "report") {
      have_report = ReportFromJson(frame.payload, &outcome.report);
    } else if (frame.tag == "failed") {
      const nlohmann::json failure = nlohmann::json::parse(frame.payload, nullptr, false);
      if (failure.is_object()) refusal = failure.value("message", std::string());
    }
  }
  const bool completed =
      have_report && child.ending == ChildOutcome::Ending::kExited && child.exit_code == 0;
  if (!completed) {
    // How the process ended is the first finding; what a report said before that still stands
    // (a process can end badly after its report, say when a leak checker objects at exit).
    outcome.ending = child.description;
    if (!have_report) outcome.report = CheckReport();
    outcome.report.passed = false;
    std::string failure = "the check's process " + child.description;
    if (!outcome.last_step.empty()) failure += " while " + outcome.last_step;
    if (!refusal.empty()) failure += ": " + refusal;
    outcome.report.failures.insert(outcome.report.failures.begin(), failure);
    if (outcome.report.script.empty()) outcome.report.script = last_script;
  }
  outcome.result =
      outcome.report.passed ? CheckOutcome::Result::kPassed : CheckOutcome::Result::kFailed;
  return outcome;
}

CheckOutcome RunHere(const CheckDefinition& check, const ValidateOptions& options) {
  const auto start = std::chrono::steady_clock::now();
  CheckOutcome outcome;
  outcome.check = &check;
  validation::CheckSettings settings = SettingsFor(options);
  if (options.trace) {
    settings.progress = [](const char* kind, const std::string& text) {
      if (kind == std::string("step")) std::fprintf(stderr, "-- %s\n", text.c_str());
    };
  }
  outcome.report = validation::RunCheck(check, settings);
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  outcome.result =
      outcome.report.passed ? CheckOutcome::Result::kPassed : CheckOutcome::Result::kFailed;
  return outcome;
}

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

std::string ShellQuoted(const std::string& text) {
  if (text.find_first_of(" '\"\\$`!*?()[]{}<>|&;#~") == std::string::npos && !text.empty()) {
    return text;
  }
  std::string quoted = "'";
  for (char character : text)
    quoted += character == '\'' ? std::string("'\\''") : std::string(1, character);
  return quoted + "'";
}

std::string ReplayCommand(const ValidateOptions& options, const CheckDefinition& check) {
  return "modhost validate " + ShellQuoted(options.library) + " --seed " +
         std::to_string(options.seed) + " --include '^" + check.name + "$'";
}

const char* ResultName(CheckOutcome::Result result) {
  switch (result) {
    case CheckOutcome::Result::kPassed:
      return "passed";
    case CheckOutcome::Result::kFailed:
      return "failed";
    case CheckOutcome::Result::kSkipped:
      return "skipped";
  }
  return "skipped";
}

const char* KindName(CheckKind kind) {
  switch (kind) {
    case CheckKind::kFile:
      return "file";
    case CheckKind::kLoad:
      return "load";
    case CheckKind::kModule:
      return "module";
  }
  return "module";
}

void PrintIndented(const std::string& text, const char* indent) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::printf("%s%s\n", indent, text.substr(start, end - start).c_str());
    start = end + 1;
  }
}

void PrintHuman(const CheckOutcome& outcome, const ValidateOptions& options) {
  const CheckReport& report = outcome.report;
  static const char* const kLabels[] = {"PASS", "FAIL", "SKIP"};
  const char* label = kLabels[static_cast<int>(outcome.result)];
  std::string first_line;
  if (outcome.result == CheckOutcome::Result::kPassed) {
    first_line = report.notes.empty() ? "" : report.notes.front();
  } else if (!report.failures.empty()) {
    first_line = report.failures.front();
  }
  std::printf("%s  %-26s %s\n", label, outcome.check->name, first_line.c_str());
  if (outcome.result != CheckOutcome::Result::kFailed) return;
  for (size_t index = 1; index < report.failures.size(); ++index) {
    std::printf("      %s\n", report.failures[index].c_str());
  }
  std::printf("      seed %llu; to replay: %s\n", static_cast<unsigned long long>(options.seed),
              ReplayCommand(options, *outcome.check).c_str());
  if (!report.script.empty()) {
    std::printf("      event script:\n");
    PrintIndented(report.script, "        ");
  }
  if (!outcome.library_output.empty()) {
    std::printf("      standard error of the check's process (last lines):\n");
    PrintIndented(outcome.library_output, "        ");
  }
}

nlohmann::json OutcomeToJson(const CheckOutcome& outcome, const ValidateOptions& options) {
  nlohmann::json json;
  json["name"] = outcome.check->name;
  json["kind"] = KindName(outcome.check->kind);
  json["summary"] = outcome.check->summary;
  json["result"] = ResultName(outcome.result);
  json["ending"] = outcome.ending;
  json["seconds"] = outcome.seconds;
  json["failures"] = outcome.report.failures;
  json["notes"] = outcome.report.notes;
  json["script"] = outcome.report.script;
  json["last_step"] = outcome.last_step;
  json["library_output"] = outcome.library_output;
  json["replay"] = ReplayCommand(options, *outcome.check);
  return json;
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

int ListChecks() {
  for (const CheckDefinition& check : validation::AllChecks()) {
    std::printf("%-26s %-7s %s\n", check.name, KindName(check.kind), check.summary);
  }
  return kExitOk;
}

int RunValidate(ValidateOptions options) {
  if (options.list) return ListChecks();
  auto usage = [](const std::string& message) {
    ReportError("validate", message);
    return kExitUsage;
  };
  if (options.library.empty()) return usage("name the library to validate (or use --list)");
  if (options.seed_given) {
    int64_t seed = 0;
    std::string problem;
    if (!ParseWholeNumber(options.seed_text, 0, INT64_MAX, &seed, &problem)) {
      return usage("--seed: " + problem);
    }
    options.seed = static_cast<uint64_t>(seed);
  } else {
    std::random_device entropy;
    options.seed = (static_cast<uint64_t>(entropy()) << 32 | entropy()) % 1000000000ull;
  }
  if (!options.run_check.empty()) return RunOneCheckAsChild(options);

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
    if (!Selected(check, include, exclude)) continue;
    selected.push_back(&check);
    if (check.kind != CheckKind::kFile) needs_gate = true;
  }
  if (selected.empty()) return usage("no check matches the --include and --exclude patterns");

  // The checks run in the build of modhost that loads this kind of library. When there is none,
  // the file checks still run here, and the load check fails with the reason.
  ChildHost self;
  self.program = ProgramPath();
  ChildHost host = self;
  std::string host_error;
  const bool hosted = FindChildHost(options.library, &host, &host_error);
  if (!hosted) host = self;
  if (options.in_process && host.program != self.program) {
    return usage("--in-process: this modhost cannot load " + Excerpt(options.library) +
                 "; it runs in " + host.program);
  }
  Progress progress(!options.json && !options.trace, static_cast<int64_t>(selected.size()));
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
    progress.Update(static_cast<int64_t>(checks_done),
                    "check " + std::to_string(checks_done + 1) + " of " +
                        std::to_string(selected.size()) + ": " + check.name);
    return options.in_process ? RunHere(check, options) : RunInChild(check, options, host);
  };

  if (!options.json) {
    std::printf("validating %s (seed %llu; %s)\n", Excerpt(options.library).c_str(),
                static_cast<unsigned long long>(options.seed),
                options.in_process ? "every check in this process"
                                   : ("each check in its own process, at most " +
                                      validation::Number(options.time_limit) + " s")
                                         .c_str());
    std::fflush(stdout);
  }

  std::vector<CheckOutcome> outcomes;
  auto report = [&](CheckOutcome outcome) {
    ++checks_done;
    progress.Finish();
    if (!options.json) {
      PrintHuman(outcome, options);
      std::fflush(stdout);
    }
    outcomes.push_back(std::move(outcome));
  };
  LoadStage stage = LoadStage::kNotTried;
  std::string gate_failure;
  for (const CheckDefinition* check : selected) {
    if (check->kind == CheckKind::kFile) report(run(*check));
  }
  if (needs_gate) {
    const CheckDefinition* load = validation::FindCheck("load");
    CheckOutcome gate = run(*load);
    stage = gate.result == CheckOutcome::Result::kPassed ? LoadStage::kLoaded : StageOf(gate);
    if (!gate.report.failures.empty()) gate_failure = gate.report.failures.front();
    const bool load_selected = std::find(selected.begin(), selected.end(), load) != selected.end();
    if (load_selected) report(gate);
  }
  for (const CheckDefinition* check : selected) {
    if (check->kind != CheckKind::kModule) continue;
    if (stage == LoadStage::kLoaded) {
      report(run(*check));
      continue;
    }
    CheckOutcome skipped;
    skipped.check = check;
    skipped.ending = "not run";
    skipped.report.passed = false;
    skipped.report.notes.push_back(std::string("not run: ") + validation::LoadStageName(stage));
    report(skipped);
  }

  size_t passed = 0, failed = 0, skipped = 0;
  for (const CheckOutcome& outcome : outcomes) {
    if (outcome.result == CheckOutcome::Result::kPassed) ++passed;
    if (outcome.result == CheckOutcome::Result::kFailed) ++failed;
    if (outcome.result == CheckOutcome::Result::kSkipped) ++skipped;
  }
  int exit_status = failed > 0 ? kExitFailed : kExitOk;
  if (needs_gate && stage != LoadStage::kLoaded) exit_status = ExitStatusFor(stage);

  if (options.json) {
    nlohmann::json json;
    json["library"] = options.library;
    json["seed"] = options.seed;
    json["time_limit_seconds"] = options.time_limit;
    json["in_process"] = options.in_process;
    json["host_kind"] = HostBinaryKind();
    json["child_host"] = host.program;
    json["stage"] = validation::LoadStageName(stage);
    json["checks"] = nlohmann::json::array();
    for (const CheckOutcome& outcome : outcomes) {
      json["checks"].push_back(OutcomeToJson(outcome, options));
    }
    json["passed"] = passed;
    json["failed"] = failed;
    json["skipped"] = skipped;
    json["exit_status"] = exit_status;
    std::printf("%s\n", json.dump(2, ' ', false, kLenient).c_str());
  } else {
    if (needs_gate && stage != LoadStage::kLoaded) {
      std::printf("the module checks were not run: %s%s%s\n", validation::LoadStageName(stage),
                  gate_failure.empty() ? "" : ": ", gate_failure.c_str());
    }
    std::printf("%zu passed, %zu failed", passed, failed);
    if (skipped > 0) std::printf(", %zu skipped", skipped);
    std::printf("\n");
  }
  std::fflush(stdout);
  return exit_status;
}

}  // namespace

void AddValidateCommand(CLI::App& app, int* exit_status) {
  auto options = std::make_shared<ValidateOptions>();
  CLI::App* command = app.add_subcommand(
      "validate",
      "Check a module library against the plug-in protocol: named checks, each in a process of "
      "its own with a time limit, so that a crash or a hang fails that check only. Exit status 0 "
      "when every check passed, 1 when one failed, 3 when the library cannot be loaded, 4 when it "
      "has no `main`, 5 when `main` gives a bad record.");
  // Library paths under Wine are often Unix paths; "/work/..." is a path here, not an option.
  command->allow_windows_style_options(false);
  command->add_option("library", options->library, "the module library (.so or .dll)");
  command->add_flag("--list", options->list, "list the checks and what each verifies");
  command->add_flag("--json", options->json, "print the results as one JSON document");
  CLI::Option* seed =
      command->add_option("--seed", options->seed_text,
                          "seed of the random scripts; a failure prints the seed to replay it");
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
  command
      ->add_option("--timeout,--time-limit", options->time_limit,
                   "seconds each check may take before it is stopped (default 20)")
      ->check(CLI::PositiveNumber);
  // The child's side of a run: not for people.
  command->add_option("--run-check", options->run_check)->group("");
  command->callback([options, seed, exit_status]() {
    options->seed_given = seed->count() > 0;
    *exit_status = RunValidate(*options);
  });
}

}  // namespace modhost
