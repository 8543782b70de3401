// Running the built modhost as a user does, in a temporary folder of the test's own, and reading
// what it left: its exit status, standard output and standard error, and the folder's files.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace modhost_test {

inline std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char character : text) {
    quoted += character == '\'' ? std::string("'\\''") : std::string(1, character);
  }
  return quoted + "'";
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary);
  file << bytes;
}

struct Outcome {
  int status = -1;  // exit status; 128 + signal when a signal ended it
  std::string out;
  std::string err;
};

// A fresh temporary folder for each test, removed afterwards.
class ModhostFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "modhost_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string InFolder(const std::string& name) const { return folder_ + "/" + name; }

  // Runs `program` (modhost unless given) with `arguments` in the folder; `shell_tail` is added to
  // the command line as it stands (a redirection, a pipe).
  Outcome Modhost(const std::vector<std::string>& arguments,
                  const std::string& program = MODHOST_PATH,
                  const std::string& shell_tail = "") const {
    std::string command = "cd " + ShellQuoted(folder_) + " && " + ShellQuoted(program);
    for (const std::string& argument : arguments) command += " " + ShellQuoted(argument);
    command += shell_tail.empty() ? " >" + ShellQuoted(folder_ + "/.stdout") : shell_tail;
    command += " 2>" + ShellQuoted(folder_ + "/.stderr");
    const int wait_status = std::system(command.c_str());
    Outcome run;
    run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    run.out = ReadFile(folder_ + "/.stdout");
    run.err = ReadFile(folder_ + "/.stderr");
    std::filesystem::remove(folder_ + "/.stdout");
    std::filesystem::remove(folder_ + "/.stderr");
    return run;
  }

  // The folder's entries, sorted.
  std::vector<std::string> Contents() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string folder_;
};

// The number of lines in `text`.
inline long Lines(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

}  // namespace modhost_test
