// The interposed allocation and lock functions, and the seccomp child (see realtime_guard.h).
#include "tests/reliability/realtime_guard.h"

#include <dlfcn.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <malloc.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

extern "C" {
void* __libc_malloc(size_t size);
void __libc_free(void* pointer);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace realtime_guard {
namespace {

thread_local bool t_counting = false;
thread_local Counts t_counts;
std::atomic<uint64_t> g_live_bytes{0};

inline void* CountAllocation(void* pointer) {
  if (t_counting) ++t_counts.allocations;
  if (pointer != nullptr) {
    g_live_bytes.fetch_add(malloc_usable_size(pointer), std::memory_order_relaxed);
  }
  return pointer;
}
inline void CountFree(void* pointer) {
  if (pointer == nullptr) return;
  if (t_counting) ++t_counts.frees;
  g_live_bytes.fetch_sub(malloc_usable_size(pointer), std::memory_order_relaxed);
}
inline void CountLock() {
  if (t_counting) ++t_counts.locks;
}

// The real function behind an interposed one, looked up once.
template <class Function>
Function Next(std::atomic<Function>& cache, const char* name) {
  Function function = cache.load(std::memory_order_acquire);
  if (function == nullptr) {
    function = reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
    cache.store(function, std::memory_order_release);
  }
  return function;
}

}  // namespace

void Start() {
  t_counts = Counts();
  t_counting = true;
}

Counts Stop() {
  t_counting = false;
  return t_counts;
}

uint64_t LiveHeapBytes() { return g_live_bytes.load(std::memory_order_relaxed); }

}  // namespace realtime_guard

// ---- The stand-ins, exported from the test program -------------------------------------------

using realtime_guard::CountAllocation;
using realtime_guard::CountFree;
using realtime_guard::CountLock;

extern "C" {

void* malloc(size_t size) { return CountAllocation(__libc_malloc(size)); }

void free(void* pointer) {
  CountFree(pointer);
  __libc_free(pointer);
}

void* calloc(size_t count, size_t size) { return CountAllocation(__libc_calloc(count, size)); }

void* realloc(void* pointer, size_t size) {
  // Counted as a free of the old block and an allocation of the new one.
  const size_t old_size = pointer != nullptr ? malloc_usable_size(pointer) : 0;
  void* moved = __libc_realloc(pointer, size);
  if (moved == nullptr && size != 0) return nullptr;  // the old block is untouched
  if (pointer != nullptr) {
    realtime_guard::g_live_bytes.fetch_sub(old_size, std::memory_order_relaxed);
    if (realtime_guard::t_counting) ++realtime_guard::t_counts.frees;
  }
  return CountAllocation(moved);
}

void* memalign(size_t alignment, size_t size) {
  return CountAllocation(__libc_memalign(alignment, size));
}

void* aligned_alloc(size_t alignment, size_t size) {
  return CountAllocation(__libc_memalign(alignment, size));
}

int posix_memalign(void** result, size_t alignment, size_t size) {
  void* pointer = CountAllocation(__libc_memalign(alignment, size));
  if (pointer == nullptr) return ENOMEM;
  *result = pointer;
  return 0;
}

void* valloc(size_t size) {
  return CountAllocation(__libc_memalign(static_cast<size_t>(sysconf(_SC_PAGESIZE)), size));
}

int pthread_mutex_lock(pthread_mutex_t* mutex) {
  static std::atomic<int (*)(pthread_mutex_t*)> real{nullptr};
  CountLock();
  return realtime_guard::Next(real, "pthread_mutex_lock")(mutex);
}

int pthread_mutex_trylock(pthread_mutex_t* mutex) {
  static std::atomic<int (*)(pthread_mutex_t*)> real{nullptr};
  CountLock();
  return realtime_guard::Next(real, "pthread_mutex_trylock")(mutex);
}

int pthread_rwlock_rdlock(pthread_rwlock_t* lock) {
  static std::atomic<int (*)(pthread_rwlock_t*)> real{nullptr};
  CountLock();
  return realtime_guard::Next(real, "pthread_rwlock_rdlock")(lock);
}

int pthread_rwlock_wrlock(pthread_rwlock_t* lock) {
  static std::atomic<int (*)(pthread_rwlock_t*)> real{nullptr};
  CountLock();
  return realtime_guard::Next(real, "pthread_rwlock_wrlock")(lock);
}

int pthread_spin_lock(pthread_spinlock_t* lock) {
  static std::atomic<int (*)(pthread_spinlock_t*)> real{nullptr};
  CountLock();
  return realtime_guard::Next(real, "pthread_spin_lock")(lock);
}

int sem_wait(sem_t* semaphore) {
  static std::atomic<int (*)(sem_t*)> real{nullptr};
  CountLock();
  return realtime_guard::Next(real, "sem_wait")(semaphore);
}

}  // extern "C"

// ---- The seccomp child --------------------------------------------------------------------------

namespace realtime_guard {
namespace {

int g_report_fd = -1;

void OnTrappedSystemCall(int, siginfo_t* info, void*) {
  const int32_t number = info->si_syscall;
  // Both calls are let through by the filter: the report on its own descriptor, and the exit.
  syscall(SYS_write, g_report_fd, &number, sizeof number);
  syscall(SYS_exit_group, 3);
}

bool InstallFilter(int report_fd) {
  struct sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_exit_group, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_rt_sigreturn, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_write, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0])),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(report_fd), 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
  };
  struct sock_fprog filter = {static_cast<unsigned short>(sizeof program / sizeof program[0]),
                              program};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
  return syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &filter) == 0;
}

// Exit statuses of the child.
constexpr int kChildCompleted = 0;
constexpr int kChildNoFilter = 2;

}  // namespace

SyscallVerdict RunWithoutSystemCalls(const std::function<void()>& work) {
  SyscallVerdict verdict;
  int fds[2];
  if (pipe(fds) != 0) return verdict;
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    g_report_fd = fds[1];
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = &OnTrappedSystemCall;
    action.sa_flags = SA_SIGINFO;
    sigaction(SIGSYS, &action, nullptr);
    if (!InstallFilter(fds[1])) _exit(kChildNoFilter);
    work();
    syscall(SYS_exit_group, kChildCompleted);
  }
  close(fds[1]);
  int32_t number = -1;
  const bool reported = read(fds[0], &number, sizeof number) == sizeof number;
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  verdict.exit_status = status;
  if (WIFEXITED(status) && WEXITSTATUS(status) == kChildNoFilter) return verdict;
  verdict.filter_installed = true;
  if (reported) {
    verdict.first_syscall = number;
  } else {
    verdict.completed = WIFEXITED(status) && WEXITSTATUS(status) == kChildCompleted;
  }
  return verdict;
}

}  // namespace realtime_guard
