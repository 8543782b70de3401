// A stand-in for the few parts of Google Benchmark that bench/ uses, for the targets that have
// no Google Benchmark library (i386 Linux and 32-bit Windows). It times a benchmark the same
// way: the body loops `for (auto _ : state)`, the iteration count grows until one repetition
// takes the minimum time, and the time per iteration is the thread's CPU time divided by the
// iterations (what the audio thread pays, without the time a busy machine gives to others).
//
// On Windows the clock is the performance counter instead, a wall clock. The thread times that
// Windows gives (GetThreadTimes) tick in 10 to 16 ms, under Wine in 10 ms: a repetition of 0.5 s
// came out up to 2% short or long, and keeping the fastest repetition kept the luckiest tick,
// which moved ratios such as Tessavine's against the bare chain by a few percent from run to run.
// The performance counter is exact to well under a microsecond; what a busy machine adds to one
// repetition is time its fastest repetition does not have, so run it on a quiet machine.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#else
#include <time.h>
#endif

namespace benchmark {

class State {
 public:
  explicit State(int64_t iterations) : remaining_(iterations) {}

  // What `for (auto _ : state)` binds `_` to: a type with a destructor of its own, so that the
  // unused `_` draws no warning (as with Google Benchmark's own).
  struct Value {
    ~Value() {}
  };
  struct Iterator {
    State* state;
    int64_t left;
    bool operator!=(const Iterator&) const { return left > 0; }
    void operator++() { --left; }
    Value operator*() const { return Value(); }
  };
  Iterator begin() {
    start_ = Seconds();
    return {this, remaining_};
  }
  Iterator end() { return {this, 0}; }

  // Called by the runner after the loop: the loop's end is where the clock stops.
  double ElapsedSeconds() const { return Seconds() - start_; }

 private:
  static double Seconds() {
#if defined(_WIN32)
    LARGE_INTEGER frequency;
    LARGE_INTEGER now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
#else
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
#endif
  }

  int64_t remaining_;
  double start_ = 0.0;
};

template <class Value>
inline void DoNotOptimize(Value const& value) {
  asm volatile("" : : "r,m"(value) : "memory");
}

inline void ClobberMemory() { asm volatile("" : : : "memory"); }

}  // namespace benchmark
