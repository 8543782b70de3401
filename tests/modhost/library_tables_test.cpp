// modhost's own ELF and PE reader (io/library_tables.h) against the tools that others wrote:
// binutils' objdump and nm for ELF, the mingw objdump for PE, on every library and modhost that
// the builds of this checkout hold (native, x86 and win32, whichever exist; with
// SE_LIBRARY_TABLES_ALL_TARGETS=1, as the win32 preset runs it, all three must). The reader and
// the tools must agree on the format, width and machine, on the exported names and which of
// them are functions, and on the imported libraries.
//
// And the one table of allowed imports (tests/exports/allowed_imports.txt) as its two readers
// apply it: the export test's script and `modhost validate`'s file-imports check must pass and
// refuse the same libraries, the built ones and copies made to need one library more.
#include "host/modhost/io/library_tables.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "host/modhost/io/file_system.h"
#include "host/modhost/run/child_process.h"

namespace {

using modhost::BinaryFormat;
using modhost::BinaryInfo;
using Names = std::set<std::string>;

struct Target {
  const char* preset;
  const char* suffix;  // of its module libraries
  const char* program;
};

const Target kTargets[] = {{"native", ".so", "bin/modhost"},
                           {"x86", ".so", "bin/modhost"},
                           {"win32", ".dll", "bin/modhost.exe"}};

std::string Root() { return SE_BUILD_ROOT; }

std::vector<std::string> FilesIn(const std::string& folder, const std::string& suffix) {
  std::vector<std::string> files;
  DIR* directory = opendir(folder.c_str());
  if (!directory) return files;
  while (const dirent* entry = readdir(directory)) {
    const std::string name = entry->d_name;
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      files.push_back(folder + "/" + name);
    }
  }
  closedir(directory);
  std::sort(files.begin(), files.end());
  return files;
}

std::string ReadFile(const std::string& path) {
  std::string bytes;
  std::string error;
  EXPECT_TRUE(modhost::ReadWholeFile(path, &bytes, &error)) << error;
  return bytes;
}

bool IsLibraryFile(const std::string& path) {
  const std::string bytes = ReadFile(path);
  return bytes.compare(0, 4,
                       "\x7F"
                       "ELF") == 0 ||
         bytes.compare(0, 2, "MZ") == 0;
}

// The built files of `target` that are ELF or PE: module libraries, test libraries, modhost.
std::vector<std::string> BuiltFiles(const Target& target) {
  const std::string build = Root() + "/" + target.preset;
  std::vector<std::string> files = FilesIn(build + "/plugins", target.suffix);
  for (const std::string& file : FilesIn(build + "/tests/plugins", target.suffix)) {
    if (IsLibraryFile(file)) files.push_back(file);
  }
  const std::string program = build + "/" + target.program;
  if (modhost::KindOfPath(program) == modhost::PathKind::kRegular) files.push_back(program);
  return files;
}

bool TargetBuilt(const Target& target) {
  const std::string build = Root() + "/" + target.preset;
  return !FilesIn(build + "/plugins", target.suffix).empty();
}

bool AllTargetsRequired() {
  const char* required = std::getenv("SE_LIBRARY_TABLES_ALL_TARGETS");
  return required != nullptr && std::string(required) == "1";
}

// Runs a tool and gives its standard output; empty, with a test failure, when it fails.
std::string Run(const std::string& program, const std::vector<std::string>& arguments) {
  const modhost::ChildOutcome outcome = modhost::RunChildProcess(program, arguments, 120, false);
  EXPECT_TRUE(outcome.ending == modhost::ChildOutcome::Ending::kExited && outcome.exit_code == 0)
      << program << " " << arguments.back() << ": " << outcome.description << " " << outcome.errors;
  return outcome.output;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  std::string line;
  while (std::getline(stream, line)) lines.push_back(line);
  return lines;
}

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream stream(line);
  std::string word;
  while (stream >> word) words.push_back(word);
  return words;
}

std::string PeObjdump() {
  for (const char* tool : {"/usr/bin/i686-w64-mingw32-objdump", "/usr/bin/objdump"}) {
    if (modhost::KindOfPath(tool) == modhost::PathKind::kRegular) return tool;
  }
  return "objdump";
}

// What the tools say about one file.
struct ToolView {
  std::string file_format;  // objdump -f: "elf64-x86-64", "elf32-i386", "pei-i386"
  bool shared = false;      // ELF: DYNAMIC; PE: the DLL characteristic
  std::vector<std::string> imports;
  Names exports;
  Names functions;      // exports the tool shows as functions
  Names non_functions;  // exports the tool shows as data
};

ToolView ElfToolView(const std::string& path) {
  ToolView view;
  for (const std::string& line : Lines(Run("objdump", {"-f", path}))) {
    const size_t format = line.find("file format ");
    if (format != std::string::npos) view.file_format = line.substr(format + 12);
    if (line.find("DYNAMIC") != std::string::npos) view.shared = true;
  }
  for (const std::string& line : Lines(Run("objdump", {"-p", path}))) {
    const std::vector<std::string> words = Words(line);
    if (words.size() == 2 && words[0] == "NEEDED") view.imports.push_back(words[1]);
  }
  for (const std::string& line : Lines(Run("nm", {"-D", "--defined-only", path}))) {
    const std::vector<std::string> words = Words(line);
    if (words.size() < 2) continue;
    const std::string name = words.back().substr(0, words.back().find('@'));
    const std::string type = words[words.size() - 2];
    view.exports.insert(name);
    // Weak symbols (W, V) do not say whether they are code.
    if (type == "T" || type == "t" || type == "i") view.functions.insert(name);
    if (type == "D" || type == "d" || type == "B" || type == "b" || type == "R" || type == "r") {
      view.non_functions.insert(name);
    }
  }
  return view;
}

ToolView PeToolView(const std::string& path) {
  ToolView view;
  const std::string objdump = PeObjdump();
  for (const std::string& line : Lines(Run(objdump, {"-f", path}))) {
    const size_t format = line.find("file format ");
    if (format != std::string::npos) view.file_format = line.substr(format + 12);
  }
  bool characteristics_read = false;
  bool in_names = false;
  for (const std::string& line : Lines(Run(objdump, {"-p", path}))) {
    const std::vector<std::string> words = Words(line);
    if (!characteristics_read && words.size() == 2 && words[0] == "Characteristics") {
      view.shared = (std::strtoul(words[1].c_str(), nullptr, 16) & 0x2000) != 0;
      characteristics_read = true;
    }
    if (words.size() == 3 && words[0] == "DLL" && words[1] == "Name:") {
      view.imports.push_back(words[2]);
    }
    if (line.compare(0, 29, "[Ordinal/Name Pointer] Table") == 0) {
      in_names = true;
    } else if (in_names && words.empty()) {
      in_names = false;
    } else if (in_names) {
      view.exports.insert(words.back());
    }
  }
  return view;
}

std::string ExpectedFileFormat(const BinaryInfo& info) {
  if (info.format == BinaryFormat::kElf && info.address_bits == 64 && info.machine == 62) {
    return "elf64-x86-64";
  }
  if (info.format == BinaryFormat::kElf && info.address_bits == 32 && info.machine == 3) {
    return "elf32-i386";
  }
  if (info.format == BinaryFormat::kPe && info.address_bits == 32 && info.machine == 0x14C) {
    return "pei-i386";
  }
  return modhost::DescribeBinaryKind(info);
}

TEST(LibraryTablesTest, TheReaderAgreesWithObjdumpAndNmOnEveryBuiltLibrary) {
  size_t compared = 0;
  for (const Target& target : kTargets) {
    if (!TargetBuilt(target)) {
      EXPECT_FALSE(AllTargetsRequired()) << "no " << target.preset << " build in " << Root();
      std::printf("skipped the %s build: not built in %s\n", target.preset, Root().c_str());
      continue;
    }
    for (const std::string& path : BuiltFiles(target)) {
      SCOPED_TRACE(path);
      const BinaryInfo info = modhost::InspectBinary(ReadFile(path));
      ASSERT_TRUE(info.error.empty()) << info.error;
      const bool pe = info.format == BinaryFormat::kPe;
      const ToolView tools = pe ? PeToolView(path) : ElfToolView(path);
      EXPECT_EQ(ExpectedFileFormat(info), tools.file_format);
      EXPECT_EQ(info.shared_library, tools.shared);
      EXPECT_EQ(info.imports, tools.imports);
      Names exports;
      for (const modhost::ExportedSymbol& exported : info.exports) {
        // objdump lists the named exports; the reader also shows those with only an ordinal.
        if (pe && exported.name[0] == '#') continue;
        exports.insert(exported.name);
        if (tools.functions.count(exported.name)) {
          EXPECT_TRUE(exported.is_function) << exported.name;
        }
        if (tools.non_functions.count(exported.name)) {
          EXPECT_FALSE(exported.is_function) << exported.name;
        }
      }
      EXPECT_EQ(exports, tools.exports);
      ++compared;
    }
  }
  EXPECT_GT(compared, 0u);
  std::printf("%zu files compared\n", compared);
}

// ---- The table of allowed imports, as both of its readers apply it ----------------------------

// Whether the export test passes `path` (its exports are `main` alone, so only the imports are at
// stake).
bool ExportTestPasses(const std::string& path, bool pe) {
  const modhost::ChildOutcome outcome = modhost::RunChildProcess(
      "bash", {SE_EXPORT_CHECK_SCRIPT, pe ? "pe" : "elf", path, pe ? PeObjdump() : "/usr/bin/nm"},
      120, false);
  EXPECT_EQ(outcome.ending, modhost::ChildOutcome::Ending::kExited) << outcome.description;
  EXPECT_TRUE(outcome.exit_code == 0 ||
              outcome.errors.find("allowed_imports.txt does not allow") != std::string::npos)
      << "the export test refused it for another reason: " << outcome.errors;
  return outcome.exit_code == 0;
}

// Whether `modhost validate` passes `path`'s file-imports check.
bool ValidatePasses(const std::string& path) {
  const modhost::ChildOutcome outcome = modhost::RunChildProcess(
      MODHOST_PATH, {"validate", path, "--include", "^file-imports$", "--json"}, 120, false);
  const nlohmann::json report = nlohmann::json::parse(outcome.output, nullptr, false);
  EXPECT_FALSE(report.is_discarded()) << outcome.output << outcome.errors;
  if (report.is_discarded()) return false;
  return report["checks"][0]["result"] == "passed";
}

// A folder of this test's own for the copies it makes, removed with what it holds at the end.
class ScratchFolder {
 public:
  ScratchFolder() {
    char name[] = "/tmp/modhost_imports_XXXXXX";
    if (mkdtemp(name) != nullptr) path_ = name;
  }
  ~ScratchFolder() {
    for (const std::string& file : files_) std::remove(file.c_str());
    if (!path_.empty()) rmdir(path_.c_str());
  }
  std::string Add(const std::string& name) {
    files_.push_back(path_ + "/" + name);
    return files_.back();
  }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

// A copy of `path` in which the import `from` is renamed `to`, of the same length.
std::string NeedingOneMore(ScratchFolder* scratch, const std::string& path, const std::string& from,
                           const std::string& to) {
  std::string bytes = ReadFile(path);
  const size_t at = bytes.find(from + std::string(1, '\0'));
  EXPECT_NE(at, std::string::npos) << from << " in " << path;
  if (at != std::string::npos) bytes.replace(at, from.size(), to);
  const std::string copy = scratch->Add(to.substr(0, 4) + "_" + modhost::BaseNameOf(path));
  std::ofstream(copy, std::ios::binary) << bytes;
  return copy;
}

TEST(LibraryTablesTest, TheExportTestAndValidateAllowTheSameImports) {
  ScratchFolder scratch;
  std::vector<std::pair<std::string, bool>> libraries;  // path, whether both must pass it
  for (const Target& target : kTargets) {
    if (!TargetBuilt(target)) continue;
    const std::vector<std::string> modules =
        FilesIn(Root() + "/" + target.preset + "/plugins", target.suffix);
    for (const std::string& path : modules) libraries.push_back({path, true});
    // Copies that need one library more: a system DLL that every Windows has but a module of
    // this host may not need, and a Linux library that is no run-time.
    const bool pe = std::string(target.suffix) == ".dll";
    libraries.push_back({pe ? NeedingOneMore(&scratch, modules.front(), "msvcrt.dll", "USER32.dll")
                            : NeedingOneMore(&scratch, modules.front(), "libc.so.6", "libz.so.1"),
                         false});
  }
  ASSERT_FALSE(libraries.empty());
  for (const auto& [path, good] : libraries) {
    SCOPED_TRACE(path);
    const bool pe = path.size() > 4 && path.compare(path.size() - 4, 4, ".dll") == 0;
    const bool exports_test = ExportTestPasses(path, pe);
    EXPECT_EQ(exports_test, ValidatePasses(path));
    EXPECT_EQ(exports_test, good);
  }
}

}  // namespace
