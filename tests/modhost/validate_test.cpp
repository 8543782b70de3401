// modhost validate from the outside, as a user runs it: the built program on the built libraries,
// its JSON read back. Well-formed libraries pass every check; each fault of the broken module is
// caught by the checks named for it and by no others; crashes and hangs stay inside their check;
// each failure stage has its exit status. The ELF/PE reader is also tested directly, on the
// libraries and on damaged copies of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "host/modhost/cli/commands.h"
#include "host/modhost/io/allowed_imports.h"
#include "host/modhost/io/file_system.h"
#include "host/modhost/io/library_tables.h"
#include "host/modhost/run/child_process.h"
#include "host/modhost/validate/checks.h"
#include "tests/support/registered_modules.h"

namespace {

using modhost::BinaryFormat;
using modhost::BinaryInfo;
using Names = std::set<std::string>;

std::string TestLibrary(const std::string& name) {
  return std::string(SE_TEST_PLUGIN_DIR) + "/" + name + SE_PLUGIN_SUFFIX;
}

std::string Broken(const std::string& fault) { return TestLibrary("broken_module_" + fault); }

struct ValidateRun {
  int status = -1;
  std::string output;
  std::string errors;
  nlohmann::json json;

  Names WithResult(const char* result) const {
    Names names;
    for (const nlohmann::json& check : json["checks"]) {
      if (check["result"] == result) names.insert(check["name"].get<std::string>());
    }
    return names;
  }
  Names Failed() const { return WithResult("failed"); }
  Names Passed() const { return WithResult("passed"); }
  const nlohmann::json& Check(const std::string& name) const {
    for (const nlohmann::json& check : json["checks"]) {
      if (check["name"] == name) return check;
    }
    static const nlohmann::json kMissing;
    ADD_FAILURE() << "no check " << name << " in the report";
    return kMissing;
  }
  std::string LastLine() const {
    std::string text = output;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const size_t newline = text.find_last_of('\n');
    std::string line = newline == std::string::npos ? text : text.substr(newline + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }
};

ValidateRun Modhost(std::vector<std::string> arguments, bool json = true) {
  arguments.insert(arguments.begin(), "validate");
  if (json) arguments.push_back("--json");
  const modhost::ChildOutcome child = modhost::RunChildProcess(MODHOST_PATH, arguments, 600, false);
  ValidateRun run;
  EXPECT_EQ(child.ending, modhost::ChildOutcome::Ending::kExited) << child.description;
  run.status = child.exit_code;
  run.output = child.output;
  run.errors = child.errors;
  if (json) {
    run.json = nlohmann::json::parse(child.output, nullptr, false);
    EXPECT_FALSE(run.json.is_discarded()) << child.output << child.errors;
  }
  return run;
}

Names AllCheckNames(modhost::validation::CheckKind kind) {
  Names names;
  for (const auto& check : modhost::validation::AllChecks()) {
    if (check.kind == kind) names.insert(check.name);
  }
  return names;
}

std::string Alternatives(const Names& names) {
  std::string pattern;
  for (const std::string& name : names) pattern += (pattern.empty() ? "^(" : "|") + name;
  return pattern + ")$";
}

// ---- Reading the libraries' tables --------------------------------------------------------------

BinaryInfo InspectFile(const std::string& path, std::string* bytes = nullptr) {
  std::string data;
  std::string error;
  EXPECT_TRUE(modhost::ReadWholeFile(path, &data, &error)) << error;
  if (bytes) *bytes = data;
  return modhost::InspectBinary(data);
}

Names ExportNames(const BinaryInfo& info) {
  Names names;
  for (const modhost::ExportedSymbol& exported : info.exports) names.insert(exported.name);
  return names;
}

TEST(BinaryInspectTest, ReadsTheKindTheExportsAndTheImportsOfBuiltLibraries) {
  const BinaryInfo module = InspectFile(TestLibrary("frame_test_module"));
  EXPECT_TRUE(module.error.empty()) << module.error;
  EXPECT_TRUE(modhost::MatchesHostKind(module)) << modhost::DescribeBinaryKind(module);
  EXPECT_EQ(modhost::DescribeBinaryKind(module), modhost::HostBinaryKind());
  ASSERT_EQ(module.exports.size(), 1u);
  EXPECT_EQ(module.exports[0].name, "main");
  EXPECT_TRUE(module.exports[0].is_function);
  EXPECT_FALSE(module.imports.empty());
  for (const std::string& imported : module.imports) {
    EXPECT_TRUE(modhost::IsAllowedImport(module.format, imported)) << imported;
  }

  EXPECT_EQ(ExportNames(InspectFile(Broken("extra_export"))),
            (Names{"main", "broken_extra_export"}));
  EXPECT_EQ(ExportNames(InspectFile(Broken("no_main"))), (Names{"broken_not_main"}));
}

TEST(BinaryInspectTest, DamagedFilesGiveErrorsNotCrashes) {
  std::string bytes;
  const BinaryInfo whole = InspectFile(TestLibrary("frame_test_module"), &bytes);
  ASSERT_TRUE(whole.error.empty());

  // Cut anywhere: the reader either says why it stopped or has read no more than the whole file.
  for (size_t length = 0; length < bytes.size(); length += length < 256 ? 1 : 97) {
    const std::string cut = bytes.substr(0, length);
    const BinaryInfo info = modhost::InspectBinary(cut);
    if (info.error.empty()) {
      EXPECT_LE(info.exports.size(), whole.exports.size()) << "cut at " << length;
    }
  }
  // Scrambled: every header field and table pointer is garbage somewhere along the way.
  uint64_t state = 12345;
  for (int round = 0; round < 400; ++round) {
    std::string scrambled = bytes;
    for (int flip = 0; flip < 8; ++flip) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      const size_t at = static_cast<size_t>(state >> 33) % std::min<size_t>(scrambled.size(), 8192);
      scrambled[at] = static_cast<char>(state >> 25);
    }
    modhost::InspectBinary(scrambled);
  }
  const BinaryInfo text = modhost::InspectBinary("hello");
  EXPECT_EQ(text.format, BinaryFormat::kUnknown);
  EXPECT_FALSE(text.error.empty());
}

// The policy itself is the table's (tests/exports/allowed_imports.txt); this is its reading.
TEST(BinaryInspectTest, AllowedImportsAreReadFromTheTable) {
  EXPECT_TRUE(modhost::IsAllowedImport(BinaryFormat::kPe, "KERNEL32.dll"));
  EXPECT_TRUE(modhost::IsAllowedImport(BinaryFormat::kPe, "msvcrt.dll"));
  EXPECT_FALSE(modhost::IsAllowedImport(BinaryFormat::kPe, "USER32.dll"));
  EXPECT_FALSE(modhost::IsAllowedImport(BinaryFormat::kPe, "api-ms-win-crt-runtime-l1-1-0.dll"));
  EXPECT_FALSE(modhost::IsAllowedImport(BinaryFormat::kPe, "libstdc++-6.dll"));
  EXPECT_TRUE(modhost::IsAllowedImport(BinaryFormat::kElf, "libc.so.6"));
  EXPECT_TRUE(modhost::IsAllowedImport(BinaryFormat::kElf, "libstdc++.so.6"));
  EXPECT_FALSE(modhost::IsAllowedImport(BinaryFormat::kElf, "libsndfile.so.1"));
  EXPECT_FALSE(modhost::IsAllowedImport(BinaryFormat::kElf, "msvcrt.dll"));

  const std::vector<modhost::AllowedImport> table = modhost::ParseAllowedImports(
      "# comment\n\n  pe  Kernel32.DLL  # trailing\nelf lib*\nmacho libSystem.dylib\npe\n");
  ASSERT_EQ(table.size(), 2u);
  EXPECT_TRUE(modhost::IsAllowedImport(BinaryFormat::kPe, "KERNEL32.dll", table));
  EXPECT_FALSE(modhost::IsAllowedImport(BinaryFormat::kPe, "kernel32.dll.x", table));
  EXPECT_TRUE(modhost::IsAllowedImport(BinaryFormat::kElf, "libanything.so", table));
  EXPECT_FALSE(modhost::IsAllowedImport(BinaryFormat::kElf, "ld-linux.so.2", table));
  EXPECT_EQ(modhost::AllowedImportsText(BinaryFormat::kPe), "kernel32.dll, msvcrt.dll");
}

// ---- The child process runner -------------------------------------------------------------------

TEST(ChildProcessTest, ReportsExitStatusesOutputAndProgramsThatCannotStart) {
  const modhost::ChildOutcome listed =
      modhost::RunChildProcess(MODHOST_PATH, {"validate", "--list"}, 60, false);
  EXPECT_EQ(listed.ending, modhost::ChildOutcome::Ending::kExited) << listed.description;
  EXPECT_EQ(listed.exit_code, 0);
  EXPECT_NE(listed.output.find("contract-deferred-call"), std::string::npos);

  const modhost::ChildOutcome usage =
      modhost::RunChildProcess(MODHOST_PATH, {"validate", "--no-such-option"}, 60, false);
  EXPECT_EQ(usage.ending, modhost::ChildOutcome::Ending::kExited);
  EXPECT_EQ(usage.exit_code, modhost::kExitUsage);
  EXPECT_FALSE(usage.errors.empty());

  const modhost::ChildOutcome missing =
      modhost::RunChildProcess(std::string(SE_TEST_PLUGIN_DIR) + "/no_such_program", {}, 60, false);
  EXPECT_EQ(missing.ending, modhost::ChildOutcome::Ending::kNotStarted) << missing.description;
}

// ---- Libraries that should pass -----------------------------------------------------------------

void ExpectEveryCheckPasses(const std::string& library) {
  const ValidateRun run = Modhost({library, "--seed", "2024"});
  EXPECT_EQ(run.status, modhost::kExitOk) << run.output;
  EXPECT_EQ(run.Failed(), Names()) << run.output;
  EXPECT_EQ(run.json["passed"].get<size_t>(), modhost::validation::AllChecks().size());
  EXPECT_EQ(run.json["stage"], "loaded");
}

TEST(ValidateTest, TheFramesTestModulePassesEveryCheck) {
  ExpectEveryCheckPasses(TestLibrary("frame_test_module"));
}

// Every module of the build, as the registry lists them (se_add_module).
class RegisteredModuleTest : public testing::TestWithParam<se_test::RegisteredModule> {};

TEST_P(RegisteredModuleTest, PassesEveryCheck) { ExpectEveryCheckPasses(GetParam().library); }

INSTANTIATE_TEST_SUITE_P(ValidateTest, RegisteredModuleTest,
                         testing::ValuesIn(se_test::RegisteredModules()),
                         [](const auto& info) { return info.param.name; });

TEST(ValidateTest, HumanOutputEndsWithTheCountsAndListNamesEveryCheck) {
  const ValidateRun run = Modhost(
      {TestLibrary("frame_test_module"), "--include", "^file-", "--include", "^opcode-"}, false);
  EXPECT_EQ(run.status, modhost::kExitOk) << run.output;
  EXPECT_EQ(run.LastLine(), "5 passed, 0 failed");
  EXPECT_NE(run.output.find("PASS  opcode-unknown"), std::string::npos) << run.output;

  const ValidateRun list = Modhost({"--list"}, false);
  EXPECT_EQ(list.status, modhost::kExitOk);
  for (const auto& check : modhost::validation::AllChecks()) {
    EXPECT_NE(list.output.find(check.name), std::string::npos) << check.name;
  }
}

#if defined(_WIN32)
// Under Wine the build's paths are Unix paths; one given without a drive is still a library, not
// a Windows-style option, and both the file checks and the loader find it.
TEST(ValidateTest, UnixRootedPathsWorkUnderWine) {
  std::string path = TestLibrary("frame_test_module");
  if (path.compare(0, 2, "Z:") == 0) path.erase(0, 2);
  const ValidateRun run = Modhost({path, "--include", "^(file-format|file-exports|load)$"});
  EXPECT_EQ(run.status, modhost::kExitOk) << run.output << run.errors;
  EXPECT_EQ(run.Passed(), (Names{"file-format", "file-exports", "load"}));
}
#endif

// ---- Faults, and the checks that must catch them ------------------------------------------------

struct FaultCase {
  const char* fault;
  Names caught_by;   // exactly the checks that fail
  Names bystanders;  // a few checks that must still pass, for runs that are not complete
};

class FaultTest : public ::testing::TestWithParam<FaultCase> {};

// Natively every check runs against every fault; under Wine, where each check's process costs
// far more, only the checks that must fail and a few bystanders.
TEST_P(FaultTest, OnlyTheChecksNamedForTheFaultFail) {
  const FaultCase& fault = GetParam();
  std::vector<std::string> arguments = {Broken(fault.fault), "--seed", "99"};
#if defined(_WIN32)
  Names selected = fault.caught_by;
  selected.insert(fault.bystanders.begin(), fault.bystanders.end());
  arguments.push_back("--include");
  arguments.push_back(Alternatives(selected));
#endif
  const ValidateRun run = Modhost(arguments);
  EXPECT_EQ(run.Failed(), fault.caught_by) << run.output;
  EXPECT_EQ(run.status, modhost::kExitFailed);
  for (const std::string& bystander : fault.bystanders) {
    EXPECT_EQ(run.Passed().count(bystander), 1u) << bystander;
  }
  for (const std::string& name : fault.caught_by) {
    const nlohmann::json& check = run.Check(name);
    EXPECT_FALSE(check["failures"].empty());
    EXPECT_NE(check["replay"].get<std::string>().find("--seed 99"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(
    BrokenModule, FaultTest,
    ::testing::Values(
        FaultCase{"writes_past_span", {"process-output-span"}, {"process-inputs-untouched"}},
        FaultCase{"writes_input", {"process-inputs-untouched"}, {"process-output-span"}},
        FaultCase{"extra_export", {"file-exports"}, {"file-format", "load"}},
        FaultCase{"events_at_block_start",
                  {"events-exact-sample", "events-same-sample", "block-size-invariance",
                   "realtime-safety"},
                  {"events-past-block", "process-output-span"}},
        FaultCase{"sticky_nan", {"non-finite-inputs"}, {"process-output-finite"}},
        FaultCase{"ignores_resume", {"events-resume", "host-requests"}, {"events-past-block"}},
        FaultCase{"calls_host_deferred", {"contract-deferred-call"}, {"contract-event-types"}},
        FaultCase{"bad_truth_values",
                  {"opcode-answers", "opcode-unknown", "module-properties"},
                  {"pin-enumeration"}},
        FaultCase{"bad_requests", {"host-requests"}, {"record-layout"}}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.fault); });

TEST(ValidateTest, StateSharedBetweenInstancesIsCaught) {
  const ValidateRun run = Modhost({Broken("shared_state"), "--include", "^instances-independent$"});
  EXPECT_EQ(run.Failed(), (Names{"instances-independent"}));
  EXPECT_EQ(run.status, modhost::kExitFailed);
}

TEST(ValidateTest, AnUnterminatedPinNameIsCaughtWithoutReadingOnForever) {
  const ValidateRun run = Modhost({Broken("unterminated_name"), "--include", "^pin-enumeration$"});
  EXPECT_EQ(run.Failed(), (Names{"pin-enumeration"}));
  const std::string failure = run.Check("pin-enumeration")["failures"][0];
  EXPECT_NE(failure.find("terminator"), std::string::npos) << failure;
}

// ---- Real-time safety and denormals -------------------------------------------------------------

// Each fault names the call that shows it: natively through the preloaded stand-ins, as a DLL
// under Wine through its import table (mingw's operator new calls msvcrt's malloc, its fprintf
// ends in fwrite or WriteFile).
TEST(ValidateTest, RealTimeFaultsAreCaughtWithTheCallNamed) {
  struct Case {
    const char* fault;
    Names calls;  // any of these may come first
  };
#if defined(_WIN32)
  const Case cases[] = {{"allocates", {"malloc", "HeapAlloc"}},
                        {"locks", {"EnterCriticalSection"}},
                        {"writes_stderr",
                         {"fwrite", "fputc", "fprintf", "_write", "WriteFile", "_lock",
                          "_lock_file", "fputs", "vfprintf"}}};
#else
  const Case cases[] = {{"allocates", {"operator new"}},
                        {"locks", {"pthread_mutex_lock"}},
                        {"writes_stderr", {"fprintf"}}};
#endif
  for (const Case& fault : cases) {
    SCOPED_TRACE(fault.fault);
    const ValidateRun run =
        Modhost({Broken(fault.fault), "--seed", "7", "--include", "^realtime-safety$"});
    EXPECT_EQ(run.status, modhost::kExitFailed) << run.output;
    EXPECT_EQ(run.Failed(), (Names{"realtime-safety"}));
    const nlohmann::json& failures = run.Check("realtime-safety")["failures"];
    ASSERT_GE(failures.size(), 3u) << run.output;
    const std::string first = failures[0];
    const std::string called = first.substr(0, first.find(" ("));
    EXPECT_EQ(fault.calls.count(called), 1u) << first;
    EXPECT_NE(first.find("called while processing, first in process of samples"), std::string::npos)
        << first;
    EXPECT_NE(failures[2].get<std::string>().find("the first call's stack: broken_module_" +
                                                  std::string(fault.fault)),
              std::string::npos)
        << failures[2];
  }
  // The well-behaved build of the same module passes, with the watch named.
  const ValidateRun clean = Modhost({Broken("writes_input"), "--include", "^realtime-safety$"});
  EXPECT_EQ(clean.Passed(), (Names{"realtime-safety"})) << clean.output;
  EXPECT_NE(clean.Check("realtime-safety")["notes"][0].get<std::string>().find("watched: "),
            std::string::npos);
}

TEST(ValidateTest, AModuleSlowOnDenormalsIsCaughtWithTheInputNamed) {
  const ValidateRun run = Modhost(
      {Broken("slow_on_denormals"), "--include", "^performance-denormals$", "--level", "3"});
  EXPECT_EQ(run.Failed(), (Names{"performance-denormals"})) << run.output;
  const std::string first = run.Check("performance-denormals")["failures"][0];
  EXPECT_NE(first.find("pin 0 \"In\""), std::string::npos) << first;
  const nlohmann::json& notes = run.Check("performance-denormals")["notes"];
  ASSERT_GE(notes.size(), 2u);
  EXPECT_NE(notes[0].get<std::string>().find("4096: "), std::string::npos) << notes[0];
  EXPECT_NE(notes[1].get<std::string>().find("without flushing denormals"), std::string::npos);
  // Below level 3 the timed check does not run.
  EXPECT_EQ(
      Modhost({Broken("slow_on_denormals"), "--include", "^performance-denormals$", "--level", "2"},
              false)
          .status,
      modhost::kExitUsage);
}

// ---- Levels, several libraries, side by side, fail-fast, JUnit
// -----------------------------------

size_t ChecksUpToLevel(int level) {
  size_t count = 0;
  for (const auto& check : modhost::validation::AllChecks()) count += check.first_level <= level;
  return count;
}

TEST(ValidateTest, LevelsChooseTheChecksAndSeveralLibrariesEndWithASummary) {
  const ValidateRun quick = Modhost({TestLibrary("frame_test_module"), "--level", "1"});
  EXPECT_EQ(quick.status, modhost::kExitOk) << quick.output;
  EXPECT_EQ(quick.json["level"], 1);
  EXPECT_EQ(quick.json["passed"].get<size_t>(), ChecksUpToLevel(1));
  EXPECT_LT(ChecksUpToLevel(1), modhost::validation::AllChecks().size() / 2 + 1);

  // Two libraries, one with a fault and one that is no library: one line each, then the total;
  // the exit status is the worst of the three.
  const std::string garbage = TestLibrary("validate_test_levels_not_a_library");
  std::ofstream(garbage, std::ios::binary) << "no library";
  const ValidateRun several = Modhost({TestLibrary("frame_test_module"), Broken("writes_input"),
                                       garbage, "--level", "1", "-j", "3", "--seed", "5"},
                                      false);
  EXPECT_EQ(several.status, modhost::kExitCannotLoad) << several.output;
  EXPECT_NE(several.output.find("  PASS  " + TestLibrary("frame_test_module")), std::string::npos)
      << several.output;
  EXPECT_NE(several.output.find("  FAIL  " + Broken("writes_input") + ": "), std::string::npos);
  EXPECT_NE(several.output.find("(exit status 3)"), std::string::npos);
  EXPECT_NE(several.LastLine().find("total: 3 libraries, "), std::string::npos)
      << several.LastLine();
  EXPECT_NE(several.LastLine().find("; exit status 3"), std::string::npos);

  const ValidateRun json = Modhost(
      {TestLibrary("frame_test_module"), Broken("writes_input"), "--level", "1", "--seed", "5"});
  ASSERT_EQ(json.json["libraries"].size(), 2u) << json.output;
  EXPECT_EQ(json.json["exit_status"], modhost::kExitFailed);
  EXPECT_EQ(json.json["libraries"][1]["failed"], 1);
}

TEST(ValidateTest, FailFastStartsNoCheckAfterTheFirstFailure) {
  const ValidateRun run = Modhost({Broken("writes_past_span"), "--fail-fast", "-j", "1"});
  EXPECT_EQ(run.status, modhost::kExitFailed);
  EXPECT_EQ(run.Failed(), (Names{"process-output-span"})) << run.output;
  const nlohmann::json& after = run.Check("process-inputs-untouched");
  EXPECT_EQ(after["result"], "skipped");
  EXPECT_EQ(after["notes"][0], "not run: --fail-fast after a failure");
}

// Checks side by side report what they report one at a time, in the table's order; a failure
// at a level above 5 says in which seed round it came and replays at its level.
TEST(ValidateTest, SideBySideRunsMatchSerialOnesAndHighLevelsReplayAtTheirLevel) {
  const ValidateRun serial = Modhost({Broken("events_at_block_start"), "--seed", "4", "-j", "1",
                                      "--exclude", "^(performance|instances-concurrent)"});
  const ValidateRun parallel = Modhost({Broken("events_at_block_start"), "--seed", "4", "-j", "4",
                                        "--exclude", "^(performance|instances-concurrent)"});
  ASSERT_EQ(serial.json["checks"].size(), parallel.json["checks"].size());
  for (size_t index = 0; index < serial.json["checks"].size(); ++index) {
    const nlohmann::json& one = serial.json["checks"][index];
    const nlohmann::json& other = parallel.json["checks"][index];
    EXPECT_EQ(one["name"], other["name"]);
    EXPECT_EQ(one["result"], other["result"]) << one["name"];
    EXPECT_EQ(one["failures"], other["failures"]) << one["name"];
  }

  const ValidateRun high = Modhost({Broken("events_at_block_start"), "--seed", "4", "--level", "7",
                                    "--include", "^events-same-sample$"});
  const nlohmann::json& check = high.Check("events-same-sample");
  EXPECT_EQ(check["result"], "failed");
  EXPECT_NE(check["replay"].get<std::string>().find("--seed 4 --level 7 --include"),
            std::string::npos)
      << check["replay"];
  EXPECT_NE(check["notes"].dump().find("failed in seed round 1 of 3"), std::string::npos)
      << check["notes"];
}

TEST(ValidateTest, AFolderIsEveryLibraryInItAndOtherFilesArePassedOver) {
  const std::string folder = std::string(SE_TEST_PLUGIN_DIR) + "/validate_test_folder";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder + "/nested");
  std::filesystem::copy_file(TestLibrary("frame_test_module"),
                             folder + "/frame_test_module" + SE_PLUGIN_SUFFIX);
  std::ofstream(folder + "/notes.txt") << "no library";
  const ValidateRun run = Modhost({folder, "--level", "1"}, false);
  EXPECT_EQ(run.status, modhost::kExitOk) << run.output;
  EXPECT_NE(run.output.find("passed over " + folder + "/notes.txt: it is not a library"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.LastLine().find("total: 1 library, "), std::string::npos) << run.output;
  std::filesystem::remove(folder + "/frame_test_module" + SE_PLUGIN_SUFFIX);
  EXPECT_EQ(Modhost({folder}, false).status, modhost::kExitUsage);
}

TEST(ValidateTest, InProcessTheRealTimeCheckSaysItCannotWatch) {
  const ValidateRun run =
      Modhost({Broken("allocates"), "--in-process", "--include", "^realtime-safety$"});
#if defined(_WIN32)
  // The import table is patched in this process as in a child.
  EXPECT_EQ(run.Failed(), (Names{"realtime-safety"})) << run.output;
#else
  EXPECT_EQ(run.Passed(), (Names{"realtime-safety"})) << run.output;
  EXPECT_NE(run.Check("realtime-safety")["notes"][0].get<std::string>().find("not watched: "),
            std::string::npos);
#endif
}

#if !defined(_WIN32)
// The JUnit file as a CI system reads it: Python's XML parser, not our own reading of our writing.
TEST(ValidateTest, JunitOutputIsReadBackByAnXmlParser) {
  const std::string junit = std::string(SE_TEST_PLUGIN_DIR) + "/validate_test_report.xml";
  const ValidateRun run = Modhost({TestLibrary("frame_test_module"), Broken("writes_input"),
                                   "--level", "1", "--seed", "3", "--junit", junit});
  ASSERT_EQ(run.status, modhost::kExitFailed) << run.output;
  const modhost::ChildOutcome parsed = modhost::RunChildProcess(
      "python3",
      {"-c",
       "import sys, xml.etree.ElementTree as tree\n"
       "root = tree.parse(sys.argv[1]).getroot()\n"
       "assert root.tag == 'testsuites'\n"
       "for suite in root.findall('testsuite'):\n"
       "  cases = suite.findall('testcase')\n"
       "  failed = [case.get('name') for case in cases if case.find('failure') is not None]\n"
       "  assert int(suite.get('tests')) == len(cases)\n"
       "  assert int(suite.get('failures')) == len(failed)\n"
       "  print(len(cases), ','.join(failed))\n"
       "  for case in cases:\n"
       "    failure = case.find('failure')\n"
       "    if failure is not None: assert '--seed 3' in failure.text, failure.text\n",
       junit},
      60, false);
  ASSERT_EQ(parsed.ending, modhost::ChildOutcome::Ending::kExited) << parsed.description;
  EXPECT_EQ(parsed.exit_code, 0) << parsed.errors;
  const size_t checks = ChecksUpToLevel(1);
  EXPECT_EQ(parsed.output, std::to_string(checks) + " \n" + std::to_string(checks) +
                               " process-inputs-untouched\n");
}
#endif

// ---- Crashes and hangs stay in their check ------------------------------------------------------

TEST(ValidateTest, ACrashFailsItsCheckAndTheRunGoesOn) {
  const Names crashing = {"process-output-span", "block-size-invariance"};
  Names selected = crashing;
  selected.insert({"module-properties", "opcode-unknown"});
  selected.insert("contract-null-records");
  const ValidateRun run = Modhost({Broken("crashes"), "--include", Alternatives(selected)});
  EXPECT_EQ(run.status, modhost::kExitFailed);
  EXPECT_EQ(run.json["checks"].size(), selected.size());
  // A crash ends the process by a signal or an exception, or, in a sanitized build, by the
  // sanitizer's report and exit; either way the check did not complete.
  for (const std::string& name : crashing) {
    const nlohmann::json& check = run.Check(name);
    EXPECT_EQ(check["result"], "failed");
    EXPECT_NE(check["ending"], "completed") << check;
    EXPECT_NE(check["failures"][0].get<std::string>().find("the check's process"),
              std::string::npos)
        << check;
    EXPECT_NE(check["last_step"].get<std::string>(), "");
  }
  EXPECT_EQ(run.Check("module-properties")["result"], "passed");
  EXPECT_EQ(run.Check("contract-null-records")["result"], "passed");
  EXPECT_EQ(run.Check("opcode-unknown")["result"], "failed");
}

TEST(ValidateTest, AHangIsStoppedAtTheTimeLimit) {
  const ValidateRun run = Modhost({Broken("hangs"), "--time-limit", "3", "--include",
                                   "^(process-output-span|module-properties)$"});
  EXPECT_EQ(run.status, modhost::kExitFailed);
  const nlohmann::json& hung = run.Check("process-output-span");
  EXPECT_EQ(hung["result"], "failed");
  EXPECT_NE(hung["ending"].get<std::string>().find("timed out"), std::string::npos) << hung;
  EXPECT_EQ(run.Check("module-properties")["result"], "passed");
}

// ---- Exit statuses per failure stage ------------------------------------------------------------

TEST(ValidateTest, EachLoadingStageHasItsExitStatusAndSkipsTheModuleChecks) {
  const size_t module_checks = AllCheckNames(modhost::validation::CheckKind::kModule).size();
  struct Stage {
    std::string library;
    int status;
    const char* stage;
  };
  const std::string garbage = TestLibrary("validate_test_not_a_library");
  std::ofstream(garbage, std::ios::binary) << "this is no library";
  for (const Stage& expected :
       {Stage{TestLibrary("no_such_library"), modhost::kExitCannotLoad, "cannot-load"},
        Stage{garbage, modhost::kExitCannotLoad, "cannot-load"},
        Stage{Broken("no_main"), modhost::kExitNoMain, "no-main"},
        Stage{Broken("wrong_magic"), modhost::kExitBadRecord, "bad-record"},
        Stage{Broken("null_record"), modhost::kExitBadRecord, "bad-record"}}) {
    const ValidateRun run = Modhost({expected.library, "--exclude", "^file-"});
    EXPECT_EQ(run.status, expected.status) << expected.library;
    EXPECT_EQ(run.json["stage"], expected.stage) << expected.library;
    EXPECT_EQ(run.Failed(), (Names{"load"})) << expected.library;
    EXPECT_EQ(run.json["skipped"].get<size_t>(), module_checks) << expected.library;
  }
  const ValidateRun unreadable = Modhost({TestLibrary("no_such_library"), "--include", "^file-"});
  EXPECT_EQ(unreadable.Failed(), AllCheckNames(modhost::validation::CheckKind::kFile));
  EXPECT_EQ(unreadable.status, modhost::kExitFailed);

  EXPECT_EQ(Modhost({}, false).status, modhost::kExitUsage);
  EXPECT_EQ(Modhost({TestLibrary("frame_test_module"), "--include", "(unclosed"}, false).status,
            modhost::kExitUsage);
}

// ---- Replaying, tracing and debugging -----------------------------------------------------------

TEST(ValidateTest, OneSeedReplaysTheSameScriptAndTheFailurePrintsIt) {
  const std::vector<std::string> arguments = {Broken("events_at_block_start"), "--seed", "31337",
                                              "--include", "^block-size-invariance$"};
  const ValidateRun first = Modhost(arguments);
  const ValidateRun again = Modhost(arguments);
  const std::string script = first.Check("block-size-invariance")["script"];
  EXPECT_NE(script.find("events in the order they are handed over"), std::string::npos) << script;
  EXPECT_EQ(again.Check("block-size-invariance")["script"], script);
  EXPECT_EQ(again.Check("block-size-invariance")["failures"],
            first.Check("block-size-invariance")["failures"]);

  const ValidateRun human = Modhost(arguments, false);
  EXPECT_NE(human.output.find("seed 31337; to replay: modhost validate"), std::string::npos)
      << human.output;
  EXPECT_NE(human.output.find("event script:"), std::string::npos);
  EXPECT_EQ(human.LastLine(), "0 passed, 1 failed");
}

TEST(ValidateTest, TraceLogsDispatcherCallsAndHostRequestsAndInProcessRunsHere) {
  const ValidateRun traced =
      Modhost({TestLibrary("frame_test_module"), "--trace", "--include", "^opcode-answers$"});
  EXPECT_EQ(traced.status, modhost::kExitOk);
  EXPECT_NE(traced.errors.find("dispatcher 0 (Open)"), std::string::npos) << traced.errors;
  EXPECT_NE(traced.errors.find("host request 3 (GetSampleClock)"), std::string::npos);
  EXPECT_NE(traced.errors.find("process buffer_offset"), std::string::npos);

  const ValidateRun here = Modhost({TestLibrary("frame_test_module"), "--in-process", "--include",
                                    "^(opcode-answers|events-exact-sample)$"});
  EXPECT_EQ(here.status, modhost::kExitOk) << here.output;
  EXPECT_EQ(here.json["in_process"], true);
  EXPECT_EQ(here.Passed(), (Names{"opcode-answers", "events-exact-sample"}));
}

}  // namespace
