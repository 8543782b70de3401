// modhost scan and modhost fuzz from the outside, as a user runs them: scan on a folder holding
// our modules beside a text file, a library of another architecture and a broken one; fuzz
// finding the fault planted in a broken module, shrinking it, and its printed command replaying
// it. Fuzz cases themselves are also tested directly: written, read back, cut at resumes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "host/modhost/cli/exit_status.h"
#include "host/modhost/fuzz/fuzz_case.h"
#include "host/modhost/run/child_process.h"

namespace {

namespace fs = std::filesystem;
using modhost::fuzzing::FuzzCase;
using modhost::fuzzing::Recut;
using modhost::fuzzing::Resume;

std::string TestLibrary(const std::string& name) {
  return std::string(SE_TEST_PLUGIN_DIR) + "/" + name + SE_PLUGIN_SUFFIX;
}
std::string Plugin(const std::string& name) {
  return std::string(SE_PLUGIN_DIR) + "/" + name + SE_PLUGIN_SUFFIX;
}

struct CommandRun {
  int status = -1;
  std::string output;
  std::string errors;
};

CommandRun Modhost(const std::vector<std::string>& arguments) {
  const modhost::ChildOutcome child = modhost::RunChildProcess(MODHOST_PATH, arguments, 300, false);
  EXPECT_EQ(child.ending, modhost::ChildOutcome::Ending::kExited) << child.description;
  return {child.exit_code, child.output, child.errors};
}

// A folder of the test's own under the build's test plug-ins, emptied first.
std::string Folder(const std::string& name) {
  const std::string folder = std::string(SE_TEST_PLUGIN_DIR) + "/" + name;
  fs::remove_all(folder);
  fs::create_directories(folder);
  return folder;
}

std::string ReadText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// A copy of `library` whose header names the 64-bit ARM machine, in ELF or PE alike.
void CopyForAnotherMachine(const std::string& library, const std::string& copy) {
  std::string bytes = ReadText(library);
  ASSERT_GT(bytes.size(), 0x100u);
  if (bytes.compare(0, 4,
                    "\x7F"
                    "ELF") == 0) {
    bytes[18] = static_cast<char>(183);  // e_machine: AArch64
    bytes[19] = 0;
  } else {
    const uint32_t header = static_cast<uint8_t>(bytes[0x3C]) |
                            static_cast<uint8_t>(bytes[0x3D]) << 8 |
                            static_cast<uint8_t>(bytes[0x3E]) << 16;
    bytes[header + 4] = static_cast<char>(0x64);  // IMAGE_FILE_MACHINE_ARM64, 0xAA64
    bytes[header + 5] = static_cast<char>(0xAA);
  }
  std::ofstream(copy, std::ios::binary) << bytes;
}

// ---- scan
// -----------------------------------------------------------------------------------------

TEST(ScanTest, ListsOurModulesAndSaysWhyEverythingElseIsSkipped) {
  const std::string folder = Folder("scan_test");
  fs::copy_file(Plugin("tessavine"), folder + "/tessavine" + SE_PLUGIN_SUFFIX);
  fs::copy_file(TestLibrary("frame_test_module"), folder + "/frame_test_module" + SE_PLUGIN_SUFFIX);
  fs::copy_file(TestLibrary("broken_module_crashes_in_properties"),
                folder + "/crashes" + SE_PLUGIN_SUFFIX);
  fs::copy_file(TestLibrary("broken_module_no_main"), folder + "/no_main" + SE_PLUGIN_SUFFIX);
  CopyForAnotherMachine(Plugin("tessavine"), folder + "/arm64" + SE_PLUGIN_SUFFIX);
  std::ofstream(folder + "/notes.txt") << "not a library\n";
  fs::create_directories(folder + "/subfolder");

  const CommandRun json = Modhost({"scan", folder, "--json"});
  ASSERT_EQ(json.status, modhost::kExitOk) << json.errors;
  const nlohmann::json document = nlohmann::json::parse(json.output, nullptr, false);
  ASSERT_TRUE(document.is_object()) << json.output;
  ASSERT_EQ(document["modules"].size(), 2u) << json.output;
  const nlohmann::json& frame_module = document["modules"][0];
  const nlohmann::json& tessavine = document["modules"][1];
  EXPECT_EQ(tessavine["name"], "Tessavine");
  EXPECT_EQ(tessavine["id"], "morvane Tessavine");
  EXPECT_EQ(tessavine["pins"], 3);
  EXPECT_NE(tessavine["architecture"].get<std::string>().find("shared library"), std::string::npos);
  EXPECT_NE(frame_module["path"].get<std::string>().find("frame_test_module"), std::string::npos);

  // Each skipped file with its reason, in name order.
  ASSERT_EQ(document["skipped"].size(), 4u) << json.output;
  auto reason = [&](size_t index) {
    return document["skipped"][index]["reason"].get<std::string>();
  };
  EXPECT_NE(reason(0).find("AArch64"), std::string::npos) << reason(0);
  EXPECT_NE(reason(1).find("the module crashed in dispatcher opcode 9"), std::string::npos)
      << reason(1);
  EXPECT_NE(reason(2).find("exports no 'main'"), std::string::npos) << reason(2);
  EXPECT_NE(reason(3).find("it is not a library"), std::string::npos) << reason(3);

  const CommandRun quiet = Modhost({"scan", folder});
  EXPECT_NE(quiet.output.find("\"Tessavine\""), std::string::npos) << quiet.output;
  EXPECT_EQ(quiet.output.find("\nskipped "), std::string::npos);
  EXPECT_NE(quiet.output.find("2 modules in 1 folder; 4 other files skipped (--verbose says why)"),
            std::string::npos)
      << quiet.output;
  const CommandRun verbose = Modhost({"scan", "--verbose", folder});
  EXPECT_NE(verbose.output.find("notes.txt: it is not a library"), std::string::npos)
      << verbose.output;

  EXPECT_EQ(Modhost({"scan", folder + "/notes.txt"}).status, modhost::kExitUsage);
}

#if !defined(_WIN32)
TEST(ScanTest, TheFoldersComeFromTheModulePathWithColonsOrSemicolons) {
  const std::string first = Folder("scan_path_first");
  const std::string second = Folder("scan_path_second");
  fs::copy_file(Plugin("tessavine"), first + "/tessavine.so");
  fs::copy_file(TestLibrary("frame_test_module"), second + "/frame_test_module.so");
  for (const char* separator : {":", ";"}) {
    setenv("SE_MODULE_PATH", (first + separator + second).c_str(), 1);
    const CommandRun run = Modhost({"scan", "--json"});
    const nlohmann::json document = nlohmann::json::parse(run.output, nullptr, false);
    ASSERT_TRUE(document.is_object()) << run.output;
    EXPECT_EQ(document["folders"].size(), 2u) << separator;
    EXPECT_EQ(document["modules"].size(), 2u) << separator;
  }
  unsetenv("SE_MODULE_PATH");
}

// ---- fuzz
// -----------------------------------------------------------------------------------------

std::string LineWith(const std::string& text, const std::string& start) {
  const size_t at = text.find(start);
  if (at == std::string::npos) return std::string();
  return text.substr(at, text.find('\n', at) - at);
}

TEST(FuzzTest, FindsThePlantedFaultShrinksItAndItsCommandReplaysIt) {
  const std::string folder = Folder("fuzz_test");
  const std::string library = TestLibrary("broken_module_crashes_on_burst");
  const CommandRun run =
      Modhost({"fuzz", library, "--seconds", "20", "--seed", "11", "--findings", folder});
  EXPECT_EQ(run.status, modhost::kExitModuleCrashed) << run.output << run.errors;
  EXPECT_NE(run.output.find("FINDING in case "), std::string::npos) << run.output;
  EXPECT_NE(run.output.find(": crash: the module crashed in "), std::string::npos);

  // The command on the last line replays the saved case; the case is down to the burst.
  const std::string command = LineWith(run.output, "to reproduce: modhost fuzz ");
  ASSERT_FALSE(command.empty()) << run.output;
  const std::string saved = command.substr(command.find("--reproduce ") + 12);
  FuzzCase shrunk;
  std::string error;
  ASSERT_TRUE(FuzzCase::Read(ReadText(saved), &shrunk, &error)) << error;
  EXPECT_EQ(shrunk.script.events.size(), 3u) << shrunk.Write();
  EXPECT_LE(shrunk.script.length, 16u) << shrunk.Write();
  const CommandRun replay = Modhost({"fuzz", library, "--reproduce", saved});
  EXPECT_EQ(replay.status, modhost::kExitModuleCrashed) << replay.output << replay.errors;
  EXPECT_NE(replay.output.find("finding: crash: the module crashed in "), std::string::npos)
      << replay.output;
  // Without its burst's third event the same case passes.
  shrunk.script.events.pop_back();
  std::ofstream(folder + "/two.case") << shrunk.Write();
  EXPECT_EQ(Modhost({"fuzz", library, "--reproduce", folder + "/two.case"}).status,
            modhost::kExitOk);
}

TEST(FuzzTest, ACallLongerThanTheTimeoutIsAHang) {
  const std::string folder = Folder("fuzz_hang_test");
  const CommandRun run =
      Modhost({"fuzz", TestLibrary("broken_module_hangs"), "--seconds", "5", "--timeout", "0.3",
               "--shrink-seconds", "1", "--findings", folder});
  EXPECT_EQ(run.status, modhost::kExitModuleCrashed) << run.output << run.errors;
  EXPECT_NE(run.output.find(": hang: the module hung in process"), std::string::npos) << run.output;
}

TEST(FuzzTest, ADifferenceBetweenBlockPlansIsAFindingAndAHealthyModuleHasNone) {
  const std::string folder = Folder("fuzz_partition_test");
  const CommandRun run = Modhost({"fuzz", TestLibrary("broken_module_events_at_block_start"),
                                  "--seconds", "10", "--seed", "3", "--findings", folder});
  EXPECT_EQ(run.status, modhost::kExitFailed) << run.output << run.errors;
  EXPECT_NE(run.output.find(": block partition difference: "), std::string::npos) << run.output;

  const CommandRun healthy =
      Modhost({"fuzz", Plugin("tessavine"), "--seconds", "1", "--seed", "3", "--findings", folder});
  EXPECT_EQ(healthy.status, modhost::kExitOk) << healthy.output;
  EXPECT_NE(healthy.output.find("no finding in "), std::string::npos);
}
#endif

// ---- Fuzz cases
// -----------------------------------------------------------------------------------

TEST(FuzzCaseTest, AWrittenCaseReadsBackTheSameAndPlansAreCutAtResumes) {
  FuzzCase fuzz_case;
  fuzz_case.sample_rate = 44123.45f;
  fuzz_case.clock = 0xFFFFFF00u;
  fuzz_case.script.length = 300;
  fuzz_case.script.levels = {1e-39f, 0.0f, -0.0f, 3.4028235e38f};
  modhost::validation::ScriptEvent event;
  event.at = 10;
  event.pin = 3;
  event.status = 2;
  event.value = -2147483647 - 1;
  event.lead = 2;
  fuzz_case.script.events.push_back(event);
  event.sets_level = true;
  event.level = -1e30f;
  event.update = false;
  fuzz_case.script.events.push_back(event);
  fuzz_case.resumes = {Resume{100, 44100}, Resume{250, 1}};
  fuzz_case.plan = Recut(modhost::validation::BlockPlan::Uniform(300, 64), 300, fuzz_case.resumes);
  fuzz_case.other = Recut(modhost::validation::BlockPlan::Uniform(1000, 7), 300, fuzz_case.resumes);

  // Every block plan covers the render and ends a block at each resume.
  for (const auto* plan : {&fuzz_case.plan, &fuzz_case.other}) {
    std::vector<uint32_t> ends;
    uint32_t position = 0;
    for (int32_t size : plan->sizes) ends.push_back(position += static_cast<uint32_t>(size));
    EXPECT_EQ(position, 300u);
    for (const Resume& resume : fuzz_case.resumes) {
      EXPECT_NE(std::find(ends.begin(), ends.end(), resume.at), ends.end()) << resume.at;
    }
  }

  FuzzCase read;
  std::string error;
  ASSERT_TRUE(FuzzCase::Read(fuzz_case.Write(), &read, &error)) << error;
  EXPECT_EQ(read.Write(), fuzz_case.Write());
  EXPECT_TRUE(std::signbit(read.script.levels[2]));
  EXPECT_EQ(read.script.levels[0], 1e-39f);

  // Mistakes name their line.
  EXPECT_FALSE(FuzzCase::Read("hello\n", &read, &error));
  EXPECT_EQ(error, "line 1: not a modhost fuzz case");
  std::string text = fuzz_case.Write();
  text.insert(text.find("resume"), "event 9999 0 0 0\n");
  EXPECT_FALSE(FuzzCase::Read(text, &read, &error));
  EXPECT_EQ(error.compare(0, 8, "line 11:"), 0) << error;

  // Every reduction is smaller in some way and still a case.
  for (const FuzzCase& smaller : modhost::fuzzing::Reductions(fuzz_case)) {
    EXPECT_NE(smaller.Write(), fuzz_case.Write());
    EXPECT_LE(smaller.script.length, fuzz_case.script.length);
    EXPECT_TRUE(FuzzCase::Read(smaller.Write(), &read, &error)) << error;
  }
}

}  // namespace
