// A sign of life for long commands: a bar on standard error, shown only when standard error is a
// terminal, only once the command has run for about two seconds (short runs stay quiet), and
// never with --quiet. Redrawn at most ten times a second; cleared when done.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace modhost {

class Progress {
 public:
  // `enabled` false (--quiet, --trace) keeps it silent whatever the terminal.
  Progress(bool enabled, int64_t total);
  ~Progress() { Finish(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // `done` of the total; `what` is shown after the bar ("check 3 of 40: load").
  void Update(int64_t done, const std::string& what = std::string());
  // Clears the bar, if one is drawn.
  void Finish();

 private:
  bool enabled_;
  int64_t total_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point started_;
  std::chrono::steady_clock::time_point last_draw_;
};

// Whether standard error is a terminal.
bool ErrorsToTerminal();

}  // namespace modhost
