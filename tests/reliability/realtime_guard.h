// Watches what code does while it runs on the audio thread: heap allocations and frees, lock
// acquisitions, and system calls. A plug-in that allocates, locks or enters the kernel inside its
// process entry can stall the host's audio thread behind another thread or the kernel, and a
// stall there is an audible drop-out.
//
// Allocations and locks are counted by standing in for malloc and the pthread lock functions in
// this program: the program exports them, so a plug-in loaded into it (and the C++ run-time it
// uses) calls these instead of libc's. System calls are stopped by a seccomp filter in a forked
// child, which reports the first one it attempts. Linux x86-64 only, and never under a sanitizer.
#pragma once

#include <cstdint>
#include <functional>

namespace realtime_guard {

struct Counts {
  uint64_t allocations = 0;  // malloc, calloc, realloc, the aligned forms, operator new
  uint64_t frees = 0;
  uint64_t locks = 0;  // mutex, rwlock and spin lock acquisitions, semaphore waits
};

// Counts on the calling thread only, from Start to Stop.
void Start();
Counts Stop();

// Bytes of heap in use by the whole process right now (usable sizes, all threads), exact to the
// byte, unlike the allocator's own statistics, which count its caches as in use.
uint64_t LiveHeapBytes();

// What a run under the system-call filter found.
struct SyscallVerdict {
  bool filter_installed = false;  // false: the kernel refused seccomp, nothing was checked
  bool completed = false;         // `work` ran to its end without a system call
  int32_t first_syscall = -1;     // the number of the system call that stopped it, if any
  int exit_status = 0;            // of the child, for diagnostics
};

// Runs `work` in a forked child in which every system call but the filter's own exit traps. The
// child starts as a copy of this process, so `work` may use everything set up before.
SyscallVerdict RunWithoutSystemCalls(const std::function<void()>& work);

}  // namespace realtime_guard
