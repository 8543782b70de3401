// One check of `modhost validate` in a child process of its own (this program again, with the
// hidden option --run-check NAME), under a time limit, so that a crash or a hang is that check's
// failure and the run goes on. The child tells the parent what it is doing as it goes ("@step",
// "@script" lines) and ends with its report as one JSON line ("@report"); a child that ends
// without one crashed, hung or exited, and the last step it announced says where.
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/modhost/cli/commands.h"
#include "host/modhost/io/file_system.h"
#include "host/modhost/io/text.h"
#include "host/modhost/run/child_process.h"
#include "host/modhost/run/child_protocol.h"
#include "host/modhost/run/library_kind.h"
#include "host/modhost/run/module_child.h"
#include "host/modhost/validate/checks.h"
#include "host/modhost/validate/realtime_watch.h"
#include "host/modhost/validate/runner.h"

namespace modhost {

using validation::CheckDefinition;
using validation::CheckReport;

namespace {

// ---- The child's report, as JSON on one line ----------------------------------------------------

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
  settings.level = options.level;
  settings.trace = options.trace;
  settings.in_process = options.in_process;
  return settings;
}

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

}  // namespace

// The child's side: one check, its progress and its report on standard output.

int RunOneCheckAsChild(const ValidateOptions& options) {
  const CheckDefinition* check = validation::FindCheck(options.run_check);
  // The real-time check watches the module's calls through stand-ins that must be in the process
  // from its start; without them the check says why it cannot watch.
  std::string unwatched;
  if (check != nullptr && check->needs_watch) {
    validation::PreloadAndRestart(CommandArguments(), &unwatched);
    if (!unwatched.empty()) std::fprintf(stderr, "modhost: %s\n", unwatched.c_str());
  }
  // The parent keeps the time limit of the whole check.
  BeginChild(0);
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

CheckOutcome RunInChild(const CheckDefinition& check, const ValidateOptions& options,
                        const ChildHost& host) {
  std::vector<std::string> arguments = host.leading_arguments;
  for (const std::string& argument :
       {std::string("validate"), options.library, std::string("--run-check"),
        std::string(check.name), std::string("--seed"), std::to_string(options.seed),
        std::string("--level"), std::to_string(options.level)}) {
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

}  // namespace modhost
