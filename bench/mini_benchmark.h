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
//
// The 32-bit builds also start every repetition from the vector registers' initial state. In a
// 32-bit process, once AVX code has run (Pelio's renderers, in the rows before), SSE2 code runs up
// to 1.8 times slower on AMD EPYC (Zen 4), and vzeroupper does not end that (in 32-bit mode it
// cannot reach registers 8 to 31, the likely reason the state stays "in use"); switching the
// thread out and back in ends it sooner or later. Which repetition that hit was chance, and the
// bare chain's fastest repetition of 31 could still be a slow one. XRSTOR from a header with no
// components set puts the AVX state back to its initial state at once; the row ".../AVX code
// before each block" shows what the state costs when nothing resets it.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <time.h>
#endif

namespace benchmark {

// Puts the AVX, AVX-512 mask and upper ZMM state back to the initial state (see above); nothing
// where the processor or the system has no AVX state, and nothing in 64-bit builds, whose
// vzeroupper clears it.
inline void ResetVectorState() {
#if defined(__i386__)
  static const bool has_avx_state = [] {
    uint32_t eax = 1, ebx = 0, ecx = 0, edx = 0;
    asm volatile("cpuid" : "+a"(eax), "=b"(ebx), "+c"(ecx), "=d"(edx));
    const bool osxsave = (ecx >> 27) & 1;
    const bool avx = (ecx >> 28) & 1;
    if (!osxsave || !avx) return false;
    uint32_t xcr0_low = 0, xcr0_high = 0;
    asm volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    return (xcr0_low & 6) == 6;  // the system saves SSE and AVX state
  }();
  if (!has_avx_state) return;
  // The XSAVE area: a legacy region of 512 bytes, then the header, whose zero component bitmap
  // makes XRSTOR initialise every component it is asked for. MXCSR, which XRSTOR loads from the
  // legacy region along with the AVX state, keeps its current value.
  alignas(64) static unsigned char area[1024];
  uint32_t mxcsr = 0;
  asm volatile("stmxcsr %0" : "=m"(mxcsr));
  std::memcpy(area + 24, &mxcsr, sizeof mxcsr);
  const uint32_t components = 0xE4;  // AVX, opmask, ZMM_Hi256, Hi16_ZMM
  asm volatile("xrstor %0" : : "m"(area), "a"(components), "d"(0u) : "memory");
#endif
}

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
    ResetVectorState();
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
