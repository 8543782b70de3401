// What `modhost validate` prints and writes: each check's lines as it finishes, the JSON
// document, the check list of --list, and JUnit XML for CI systems.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/modhost/cli/commands.h"
#include "host/modhost/io/file_system.h"
#include "host/modhost/io/output_file.h"
#include "host/modhost/io/text.h"
#include "host/modhost/validate/checks.h"
#include "host/modhost/validate/runner.h"

namespace modhost {

using validation::CheckDefinition;
using validation::CheckKind;
using validation::CheckReport;

namespace {

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

}  // namespace

std::string ReplayCommand(const ValidateOptions& options, const CheckDefinition& check) {
  std::string command = "modhost validate " + ShellQuoted(options.library) + " --seed " +
                        std::to_string(options.seed);
  if (options.level != validation::kDefaultLevel) {
    command += " --level " + std::to_string(options.level);
  }
  return command + " --include '^" + check.name + "$'";
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
  if (outcome.result == CheckOutcome::Result::kPassed) {
    for (size_t index = 1; index < report.notes.size(); ++index) {
      std::printf("      %s\n", report.notes[index].c_str());
    }
  }
  if (outcome.result != CheckOutcome::Result::kFailed) return;
  for (size_t index = 1; index < report.failures.size(); ++index) {
    std::printf("      %s\n", report.failures[index].c_str());
  }
  for (const std::string& note : report.notes) std::printf("      note: %s\n", note.c_str());
  std::printf("      seed %llu; to replay: %s\n", static_cast<unsigned long long>(options.seed),
              ReplayCommand(options, *outcome.check).c_str());
  if (!report.script.empty()) {
    std::printf("      event script:\n");
    std::fputs(IndentLines(report.script, "        ").c_str(), stdout);
  }
  if (!outcome.library_output.empty()) {
    std::printf("      standard error of the check's process (last lines):\n");
    std::fputs(IndentLines(outcome.library_output, "        ").c_str(), stdout);
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

int ListChecks() {
  for (const CheckDefinition& check : validation::AllChecks()) {
    std::printf("%-26s %-7s %s\n", check.name, KindName(check.kind), check.summary);
    std::string levels = check.first_level > validation::kLowestLevel
                             ? "runs from level " + std::to_string(check.first_level) + "; "
                             : std::string("runs at every level; ");
    levels += *check.by_level ? check.by_level : "the same work at every level";
    std::printf("%-26s %-7s levels: %s\n", "", "", levels.c_str());
  }
  std::printf(
      "\nAbove level 5 every check repeats with more seeds: 2 at level 6, 3, 4, 6 and 8 at "
      "level 10.\n");
  return kExitOk;
}

// The run as JUnit XML, which CI systems read: one <testsuite> per library, one <testcase> per
// check (a failed check has a <failure> with every line of its report and the replay command; a
// check not run is <skipped>), notes in <system-out>.
bool WriteJunit(const ValidateOptions& options, const std::vector<LibraryResult>& results,
                std::string* error) {
  size_t tests = 0, failures = 0, skipped = 0;
  double seconds = 0;
  for (const LibraryResult& result : results) {
    tests += result.outcomes.size();
    failures += result.failed;
    skipped += result.skipped;
    seconds += result.seconds;
  }
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  xml += Format(
      "<testsuites name=\"modhost validate\" tests=\"%zu\" failures=\"%zu\" "
      "errors=\"0\" skipped=\"%zu\" time=\"%.3f\">\n",
      tests, failures, skipped, seconds);
  // Texts of any length (a library's path, a failure with its script) are concatenated, not
  // formatted.
  for (const LibraryResult& result : results) {
    xml += "  <testsuite name=\"" + EscapeXml(result.library) + "\"" +
           Format(" tests=\"%zu\" failures=\"%zu\" errors=\"0\" skipped=\"%zu\" time=\"%.3f\">\n",
                  result.outcomes.size(), result.failed, result.skipped, result.seconds);
    xml += Format(
        "    <properties><property name=\"seed\" value=\"%llu\"/><property "
        "name=\"level\" value=\"%d\"/><property name=\"exit_status\" value=\"%d\"/>"
        "</properties>\n",
        static_cast<unsigned long long>(options.seed), options.level, result.exit_status);
    ValidateOptions replay = options;
    replay.library = result.library;
    for (const CheckOutcome& outcome : result.outcomes) {
      xml += "    <testcase classname=\"modhost.validate." + EscapeXml(BaseNameOf(result.library)) +
             "\" name=\"" + EscapeXml(outcome.check->name) + "\"" +
             Format(" time=\"%.3f\"", outcome.seconds);
      std::string body;
      if (outcome.result == CheckOutcome::Result::kFailed) {
        const std::vector<std::string>& lines = outcome.report.failures;
        std::string text;
        for (const std::string& line : lines) text += line + "\n";
        text += "to replay: " + ReplayCommand(replay, *outcome.check) + "\n";
        if (!outcome.report.script.empty()) text += "event script:\n" + outcome.report.script;
        body += "      <failure message=\"" +
                EscapeXml(lines.empty() ? std::string("failed") : lines.front()) + "\" type=\"" +
                EscapeXml(outcome.ending) + "\">" + EscapeXml(text) + "</failure>\n";
      } else if (outcome.result == CheckOutcome::Result::kSkipped) {
        body += "      <skipped message=\"" +
                EscapeXml(outcome.report.notes.empty() ? std::string("not run")
                                                       : outcome.report.notes.front()) +
                "\"/>\n";
      }
      if (!outcome.report.notes.empty() && outcome.result != CheckOutcome::Result::kSkipped) {
        std::string notes;
        for (const std::string& note : outcome.report.notes) notes += note + "\n";
        body += "      <system-out>" + EscapeXml(notes) + "</system-out>\n";
      }
      xml += body.empty() ? "/>\n" : ">\n" + body + "    </testcase>\n";
    }
    xml += "  </testsuite>\n";
  }
  xml += "</testsuites>\n";
  OutputFile file;
  return file.Open(options.junit, error) && file.Write(xml.data(), xml.size(), error) &&
         file.Commit(error);
}

}  // namespace modhost
