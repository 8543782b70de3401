// Runs stored fuzz inputs through a fuzz target's entry without libFuzzer, so that every build
// (with any compiler, with or without sanitizers) replays the corpus and the crash regressions.
//
// Usage: <program> <file or folder>...; every regular file in a folder is one input. Exits 0 when
// every input ran through (a broken guarantee aborts the program with its message), 1 when a path
// could not be read or no input was found, or at once when one input runs for more than 30 s
// (it names the input: a module or frame caught in an endless loop).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/stall_watchdog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool RunFile(const std::filesystem::path& path, se_test::StallWatchdog& watchdog) {
  const std::string name = path.string();
  watchdog.Progress(name.c_str());
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
    watchdog.Progress();
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  watchdog.Progress();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  se_test::StallWatchdog watchdog(std::string("replay of ") + argv[0]);
  int inputs = 0;
  bool all_read = true;
  for (int arg = 1; arg < argc; ++arg) {
    const std::filesystem::path path(argv[arg]);
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
      std::vector<std::filesystem::path> files;
      for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());
      for (const auto& file : files) {
        all_read = RunFile(file, watchdog) && all_read;
        ++inputs;
      }
    } else {
      all_read = RunFile(path, watchdog) && all_read;
      ++inputs;
    }
  }
  std::printf("replayed %d inputs\n", inputs);
  return all_read && inputs > 0 ? 0 : 1;
}
