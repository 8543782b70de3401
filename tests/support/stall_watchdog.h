// Fails a long test at once, with a message, when it stops making progress.
//
// A fault that makes a module or the frame loop for ever (an event queue that links to itself, a
// block that never ends) would otherwise hold a soak or a corpus replay until ctest's time limit
// for the whole program, minutes later, and then say only "Timeout". The test instead reports a
// step after each unit of work (a block, an input); a thread of the watchdog's own looks every
// tenth of a second, and after `stall_seconds` without a step it ends the program with one line
// that names the test and the step it was in.
//
// Reporting a step takes no lock and allocates nothing, so it may sit in code whose heap use or
// locks a test measures; the watching thread is made when the watchdog is, before any such
// measurement.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace se_test {

class StallWatchdog {
 public:
  // Far beyond any one step of the tests that use it, even on a loaded machine, and far below
  // ctest's limit per program.
  static constexpr double kDefaultStallSeconds = 30.0;

  explicit StallWatchdog(std::string what, double stall_seconds = kDefaultStallSeconds)
      : what_(std::move(what)),
        limit_(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(stall_seconds))),
        watcher_([this] { Watch(); }) {}

  ~StallWatchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    watcher_.join();
  }

  StallWatchdog(const StallWatchdog&) = delete;
  StallWatchdog& operator=(const StallWatchdog&) = delete;

  // One more step done. `next` names what runs from now on; it must outlive that (a literal, or
  // a string the caller keeps), or be null.
  void Progress(const char* next = nullptr) {
    step_name_.store(next, std::memory_order_relaxed);
    steps_.fetch_add(1, std::memory_order_release);
  }

 private:
  void Watch() {
    uint64_t seen = steps_.load(std::memory_order_acquire);
    auto last_step = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stopping_; })) {
      const uint64_t now_seen = steps_.load(std::memory_order_acquire);
      const auto now = std::chrono::steady_clock::now();
      if (now_seen != seen) {
        seen = now_seen;
        last_step = now;
        continue;
      }
      if (now - last_step < limit_) continue;
      const char* step = step_name_.load(std::memory_order_relaxed);
      std::fprintf(stderr,
                   "\n%s: stalled: no progress for %.0f s after %llu steps%s%s; ending the test "
                   "now rather than at its time limit\n",
                   what_.c_str(), std::chrono::duration<double>(limit_).count(),
                   static_cast<unsigned long long>(seen), step != nullptr ? ", in " : "",
                   step != nullptr ? step : "");
      std::fflush(stderr);
      std::_Exit(1);
    }
  }

  const std::string what_;
  const std::chrono::steady_clock::duration limit_;
  std::atomic<uint64_t> steps_{0};
  std::atomic<const char*> step_name_{nullptr};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread watcher_;  // last: it starts watching once everything above exists
};

}  // namespace se_test
