// `modhost fuzz LIBRARY --seconds N [--seed S]`: random cases (fuzz_case.h) against a module for
// a given time, each batch of them in a child process, until one finds something: a crash, a hang
// (a call longer than --timeout), non-finite output from finite inputs, or output that depends on
// how the host cut the render into blocks. The finding is then shrunk, case by smaller case, each
// in a child process of its own, for as long as the smaller case shows the same kind of finding;
// it is saved as a text file and printed with the one command that replays it:
//
//   modhost fuzz LIBRARY --reproduce FILE
//
// The child draws its cases itself from the seed and the case number, so a batch costs one
// process start, and names each case before it plays it ("case" frames: the number, then the
// case's text), so that the parent knows which case a crash belongs to. A finding short of a
// crash comes back as a "finding" frame.
//
// The libFuzzer targets of the build stay what they are: coverage-guided fuzzing of the frame
// from inside. This is the module developer's tool, which needs nothing but the library.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/modhost/cli/commands.h"
#include "host/modhost/fuzz/fuzz_case.h"
#include "host/modhost/io/file_system.h"
#include "host/modhost/io/output_file.h"
#include "host/modhost/io/text.h"
#include "host/modhost/run/child_protocol.h"
#include "host/modhost/run/library_kind.h"
#include "host/modhost/run/module_child.h"
#include "host/modhost/run/pin_values.h"
#include "host/modhost/run/random.h"
#include "host/modhost/validate/checks.h"

namespace modhost {

namespace {

using fuzzing::Finding;
using fuzzing::FuzzCase;

struct FuzzOptions {
  std::string library;
  double seconds = 10;
  std::string seed_text;
  bool seed_given = false;
  uint64_t seed = 0;
  std::string reproduce;
  std::string findings = ".";
  double timeout = 5;
  double shrink_seconds = 30;
  // The child's side: "SEED:FIRST:COUNT" cases drawn from the seed, or one case from a file.
  std::string run_cases;
  std::string run_case;
};

// Cases one child plays before the next starts; the parent stops it early when time is up.
const uint64_t kBatch = 100000;

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// ---- The child's side ---------------------------------------------------------------------------

int RunCasesAsChild(const FuzzOptions& options) {
  BeginChild(options.timeout);
  validation::CheckSettings settings;
  settings.library_path = LoadablePath(options.library);
  validation::CheckContext context(settings, "fuzz");
  try {
    const validation::PinLayout& layout = context.Layout();
    auto report = [](uint64_t number, const Finding& finding) {
      nlohmann::json json;
      json["case"] = number;
      json["kind"] = fuzzing::FindingName(finding.kind);
      json["detail"] = finding.detail;
      SendFrame("finding", json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    };
    if (!options.run_case.empty()) {
      std::string text, error;
      FuzzCase fuzz_case;
      if (!ReadWholeFile(options.run_case, &text, &error) ||
          !FuzzCase::Read(text, &fuzz_case, &error)) {
        SendFailure(kExitUsage, Excerpt(options.run_case) + ": " + error);
        return kExitUsage;
      }
      SendFrame("case", "0\n" + text);
      const Finding finding = fuzzing::PlayCase(context, fuzz_case);
      if (finding.kind != Finding::Kind::kNone || !finding.detail.empty()) report(0, finding);
    } else {
      unsigned long long seed = 0, first = 0, count = 0;
      if (std::sscanf(options.run_cases.c_str(), "%llu:%llu:%llu", &seed, &first, &count) != 3) {
        SendFailure(kExitUsage, "--run-cases SEED:FIRST:COUNT");
        return kExitUsage;
      }
      for (uint64_t number = first; number < first + count; ++number) {
        Random random(DeriveSeed(seed, "fuzz case " + std::to_string(number)));
        const FuzzCase fuzz_case = fuzzing::GenerateCase(layout, random);
        SendFrame("case", std::to_string(number) + "\n" + fuzz_case.Write());
        const Finding finding = fuzzing::PlayCase(context, fuzz_case);
        if (finding.kind != Finding::Kind::kNone) {
          report(number, finding);
          break;
        }
      }
    }
  } catch (const validation::CheckAborted&) {
    const std::vector<std::string>& failures = context.report().failures;
    SendFailure(kExitCannotLoad, failures.empty() ? "the module cannot be driven" : failures[0]);
    return kExitCannotLoad;
  }
  SendFrame("done", std::string());
  return kExitOk;
}

// ---- The parent's side --------------------------------------------------------------------------

// What one child run came to.
struct Played {
  int status = kExitOk;  // a status other than 0 or 7 means the run itself failed
  std::string message;
  uint64_t cases = 0;        // cases begun
  uint64_t last_number = 0;  // the last case begun
  std::string last_case;     // its text
  Finding finding;
};

Played RunChild(const ChildHost& host, const FuzzOptions& options,
                const std::vector<std::string>& extra, const std::function<bool()>& go_on) {
  std::vector<std::string> arguments = {"fuzz", host.library, "--timeout",
                                        Format("%g", options.timeout)};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  Played played;
  const ChildEnding ending =
      RunModuleChild(host, arguments, options.timeout, [&](const Frame& frame) {
        if (frame.tag == "case") {
          const size_t newline = frame.payload.find('\n');
          played.last_number = std::strtoull(frame.payload.c_str(), nullptr, 10);
          played.last_case = newline == std::string::npos ? "" : frame.payload.substr(newline + 1);
          ++played.cases;
          return go_on();
        }
        if (frame.tag == "finding") {
          const nlohmann::json json = nlohmann::json::parse(frame.payload, nullptr, false);
          if (json.is_object()) {
            const std::string kind = json.value("kind", std::string());
            played.finding.detail = json.value("detail", std::string());
            for (Finding::Kind known : {Finding::Kind::kNonFinite, Finding::Kind::kPartition}) {
              if (kind == fuzzing::FindingName(known)) played.finding.kind = known;
            }
          }
        }
        return true;
      });
  if (ending.status == kExitModuleCrashed) {
    played.finding.kind = ending.message.find("hung") != std::string::npos ? Finding::Kind::kHang
                                                                           : Finding::Kind::kCrash;
    played.finding.detail = ending.message;
  } else if (ending.status != kExitOk) {
    played.status = ending.status;
    played.message = ending.message;
  }
  return played;
}

int StatusOf(const Finding& finding) {
  switch (finding.kind) {
    case Finding::Kind::kNone:
      return kExitOk;
    case Finding::Kind::kCrash:
    case Finding::Kind::kHang:
      return kExitModuleCrashed;
    default:
      return kExitFailed;
  }
}

bool WriteText(const std::string& path, const std::string& text, std::string* error) {
  OutputFile file;
  return file.Open(path, error) && file.Write(text.data(), text.size(), error) &&
         file.Commit(error);
}

// Plays the case in `text` alone, in a child; `scratch` is the file it is handed over in.
Played PlayOne(const ChildHost& host, const FuzzOptions& options, const std::string& text,
               const std::string& scratch) {
  std::string error;
  Played played;
  if (!WriteText(scratch, text, &error)) {
    played.status = kExitOutputFailed;
    played.message = error;
    return played;
  }
  return RunChild(host, options, {"--run-case", scratch}, [] { return true; });
}

// Shrinks `found` while its smaller versions still show a finding of the same kind. Returns the
// smallest case found and counts the runs.
FuzzCase Shrink(const ChildHost& host, const FuzzOptions& options, const FuzzCase& found,
                Finding* finding, const std::string& scratch, int* runs) {
  const auto start = std::chrono::steady_clock::now();
  FuzzCase smallest = found;
  bool smaller_found = true;
  while (smaller_found && SecondsSince(start) < options.shrink_seconds) {
    smaller_found = false;
    for (const FuzzCase& candidate : fuzzing::Reductions(smallest)) {
      if (SecondsSince(start) >= options.shrink_seconds) break;
      ++*runs;
      const Played played = PlayOne(host, options, candidate.Write(), scratch);
      if (played.status == kExitOk && played.finding.kind == finding->kind) {
        smallest = candidate;
        *finding = played.finding;
        smaller_found = true;
        break;
      }
    }
  }
  return smallest;
}

std::string StemOf(const std::string& path) {
  std::string name = BaseNameOf(path);
  const size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

int Reproduce(const ChildHost& host, const FuzzOptions& options) {
  std::string text, error;
  FuzzCase fuzz_case;
  if (!ReadWholeFile(options.reproduce, &text, &error) ||
      !FuzzCase::Read(text, &fuzz_case, &error)) {
    ReportError("fuzz", Excerpt(options.reproduce) + ": " + error);
    return kExitUsage;
  }
  std::printf("replaying %s on %s (%s)\n", Excerpt(options.reproduce, 200).c_str(),
              Excerpt(options.library, 200).c_str(), fuzz_case.Summary().c_str());
  std::fflush(stdout);
  const Played played =
      RunChild(host, options, {"--run-case", options.reproduce}, [] { return true; });
  if (played.status != kExitOk) {
    ReportError("fuzz", played.message);
    return played.status;
  }
  if (played.finding.kind == Finding::Kind::kNone) {
    std::printf("no finding: the case passes%s%s\n", played.finding.detail.empty() ? "" : " (",
                played.finding.detail.empty() ? "" : (played.finding.detail + ")").c_str());
    return kExitOk;
  }
  std::printf("finding: %s: %s\n", fuzzing::FindingName(played.finding.kind),
              played.finding.detail.c_str());
  return StatusOf(played.finding);
}

int RunFuzz(FuzzOptions options) {
  if (!options.run_cases.empty() || !options.run_case.empty()) return RunCasesAsChild(options);
  auto usage = [](const std::string& message) {
    ReportError("fuzz", message);
    return kExitUsage;
  };
  std::string seed_problem;
  if (!ChooseSeed(options.seed_text, options.seed_given, &options.seed, &seed_problem)) {
    return usage("--seed: " + seed_problem);
  }
  ChildHost host;
  std::string error;
  if (!FindChildHost(options.library, &host, &error)) {
    ReportError("fuzz", error);
    return kExitCannotLoad;
  }
  if (!options.reproduce.empty()) return Reproduce(host, options);
  if (KindOfPath(options.findings) != PathKind::kDirectory) {
    return usage("--findings: " + Quote(options.findings) + " is not a folder");
  }

  std::printf(
      "fuzzing %s for %g s (seed %llu): random event scripts with bursts and extreme values, "
      "block sizes, rates, resumes and clock positions, in child processes\n",
      Excerpt(options.library, 200).c_str(), options.seconds,
      static_cast<unsigned long long>(options.seed));
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  uint64_t next = 0, played_cases = 0;
  Played found;
  while (SecondsSince(start) < options.seconds) {
    const std::string range =
        Format("%llu:%llu:%llu", static_cast<unsigned long long>(options.seed),
               static_cast<unsigned long long>(next), static_cast<unsigned long long>(kBatch));
    const Played played = RunChild(host, options, {"--run-cases", range},
                                   [&] { return SecondsSince(start) < options.seconds; });
    if (played.status != kExitOk) {
      ReportError("fuzz", played.message);
      return played.status;
    }
    played_cases += played.cases;
    next = played.cases > 0 ? played.last_number + 1 : next + 1;
    if (played.finding.kind != Finding::Kind::kNone) {
      found = played;
      break;
    }
  }
  const double fuzzing_seconds = SecondsSince(start);
  if (found.finding.kind == Finding::Kind::kNone) {
    std::printf("no finding in %llu cases (%.1f s)\n",
                static_cast<unsigned long long>(played_cases), fuzzing_seconds);
    return kExitOk;
  }

  FuzzCase fuzz_case;
  if (!FuzzCase::Read(found.last_case, &fuzz_case, &error)) {
    ReportError("fuzz", "the child's case cannot be read back: " + error);
    return kExitFailed;
  }
  std::printf("FINDING in case %llu, after %llu cases (%.1f s): %s: %s\n",
              static_cast<unsigned long long>(found.last_number),
              static_cast<unsigned long long>(played_cases), fuzzing_seconds,
              fuzzing::FindingName(found.finding.kind), found.finding.detail.c_str());
  std::printf("  the case: %s\n", fuzz_case.Summary().c_str());
  std::fflush(stdout);

  const std::string stem = Format("fuzz-%s-%llu-%llu", StemOf(options.library).c_str(),
                                  static_cast<unsigned long long>(options.seed),
                                  static_cast<unsigned long long>(found.last_number));
  const std::string saved = JoinPath(options.findings, stem + ".case");
  const std::string scratch = JoinPath(options.findings, "." + stem + ".shrinking");
  const auto shrink_start = std::chrono::steady_clock::now();
  int runs = 0;
  Finding finding = found.finding;
  const FuzzCase smallest = Shrink(host, options, fuzz_case, &finding, scratch, &runs);
  std::remove(SystemPath(scratch).c_str());
  std::printf("  shrunk in %d runs (%.1f s) to %s: %s\n", runs, SecondsSince(shrink_start),
              smallest.Summary().c_str(), finding.detail.c_str());
  std::fputs(IndentLines(smallest.Write(), "    ").c_str(), stdout);
  if (!WriteText(saved, smallest.Write(), &error)) {
    ReportError("fuzz", error);
    return kExitOutputFailed;
  }
  std::printf("  saved as %s\n", saved.c_str());
  std::printf("to reproduce: modhost fuzz %s --reproduce %s\n",
              ShellQuoted(options.library).c_str(), ShellQuoted(saved).c_str());
  std::fflush(stdout);
  return StatusOf(finding);
}

}  // namespace

void AddFuzzCommand(CLI::App& app, int* exit_status) {
  auto options = std::make_shared<FuzzOptions>();
  CLI::App* command = app.add_subcommand(
      "fuzz",
      "Play random event scripts, block sizes, rates, resumes and clock positions against a "
      "module for a given time; shrink what fails and print the command that replays it");
  command->allow_windows_style_options(false);
  command->add_option("library", options->library, "the module library (.so or .dll)")->required();
  command->add_option("--seconds", options->seconds, "how long to fuzz (default 10)")
      ->check(CLI::Range(0.0, 1e7));
  CLI::Option* seed = command->add_option("--seed", options->seed_text,
                                          "seed of the cases (default: a random one, printed)");
  command->add_option("--reproduce", options->reproduce, "replay the case saved in FILE")
      ->type_name("FILE");
  command
      ->add_option("--findings", options->findings,
                   "folder for the case of a finding (default: the current one)")
      ->type_name("FOLDER");
  command
      ->add_option("--shrink-seconds", options->shrink_seconds,
                   "longest time spent shrinking a finding (default 30)")
      ->check(CLI::Range(0.0, 1e7));
  AddTimeoutOption(command, &options->timeout);
  command->add_option("--run-cases", options->run_cases)->group("");
  command->add_option("--run-case", options->run_case)->group("");
  command->footer(
      "Findings: a crash, a hang (a call longer than --timeout, default 5 s here), non-finite\n"
      "output from finite inputs, output that differs between two block plans.\n"
      "Exit status: 0 no finding (or the replayed case passes), 1 a non-finite output or a\n"
      "partition difference, 2 usage, 3 cannot load, 6 the case cannot be saved, 7 a crash or a "
      "hang.");
  command->callback([options, seed, exit_status] {
    options->seed_given = seed->count() > 0;
    *exit_status = RunFuzz(*options);
  });
}

}  // namespace modhost
