// A stand-in for the few parts of Google Benchmark that bench/ uses, for the targets that have
// no Google Benchmark library (i386 Linux and 32-bit Windows). It times a benchmark the same
// way: the body loops `for (auto _ : state)`, the iteration count grows until one repetition
// takes the minimum time, and the time per iteration is wall-clock time divided by iterations.
#pragma once

#include <chrono>
#include <cstdint>

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
    start_ = std::chrono::steady_clock::now();
    return {this, remaining_};
  }
  Iterator end() { return {this, 0}; }

  // Called by the runner after the loop: the loop's end is where the clock stops.
  double ElapsedSeconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  int64_t remaining_;
  std::chrono::steady_clock::time_point start_;
};

template <class Value>
inline void DoNotOptimize(Value const& value) {
  asm volatile("" : : "r,m"(value) : "memory");
}

inline void ClobberMemory() { asm volatile("" : : : "memory"); }

}  // namespace benchmark
