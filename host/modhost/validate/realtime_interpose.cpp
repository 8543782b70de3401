// modhost-realtime-watch.so: preloaded (LD_PRELOAD) into the child process of the realtime-safety
// check, where it stands in front of every function a module must not call while it processes:
// the allocator and operator new/delete, the lock, wait and sleep functions, thread creation, and
// file, console and other blocking system calls. Each stand-in counts the call while the check
// has armed the watch (modhost_watch_arm, only around the module's process entry and event
// opcode), keeps the stack of the first counted call, and then does what the real function does.
//
// The library knows nothing about modules; realtime_watch.cpp reads its counts through the
// modhost_watch_* functions, found with dlsym, so a modhost started without it just sees no
// watch. The real functions are found with dlsym(RTLD_NEXT); while dlsym itself allocates, the
// allocator serves it from a small static arena, which is never freed.
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>

#define WATCH_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Every watched function, by the name a report gives it. The order is the table's: a stand-in
// names its row by index.
enum Watched : int {
#define WATCHED(name) k_##name,
#include "host/modhost/validate/realtime_watched.inc"
#undef WATCHED
  kWatchedCount
};

const char* const kWatchedNames[] = {
#define WATCHED(name) #name,
#include "host/modhost/validate/realtime_watched.inc"
#undef WATCHED
};

std::atomic<int> g_armed{0};
std::atomic<uint64_t> g_counts[kWatchedCount];
std::atomic<uint64_t> g_total{0};
// The first counted call: its function and its stack, kept once per reset.
std::atomic<int> g_first_taken{0};
int g_first_function = -1;
const int kMaxFrames = 48;
void* g_first_frames[kMaxFrames];
int g_first_frame_count = 0;

// How deep this thread is inside the watch's own work or inside a watched function that calls
// another one (operator new calling malloc, fprintf calling write): only the outermost call
// counts.
__thread int t_inside __attribute__((tls_model("initial-exec"))) = 0;

struct Inside {
  Inside() { ++t_inside; }
  ~Inside() { --t_inside; }
};

// Counts a call to `function` when armed and not nested; the first one keeps its stack.
void Note(int function) {
  if (g_armed.load(std::memory_order_relaxed) == 0 || t_inside > 1) return;
  g_counts[function].fetch_add(1, std::memory_order_relaxed);
  g_total.fetch_add(1, std::memory_order_relaxed);
  if (g_first_taken.exchange(1) == 0) {
    g_first_function = function;
    g_first_frame_count = backtrace(g_first_frames, kMaxFrames);
  }
}

// ---- Finding the real functions ----------------------------------------------------------------

// What dlsym allocates before the real allocator is known.
alignas(16) char g_arena[64 * 1024];
std::atomic<size_t> g_arena_used{0};
__thread int t_resolving __attribute__((tls_model("initial-exec"))) = 0;

bool InArena(const void* pointer) {
  return pointer >= static_cast<const void*>(g_arena) &&
         pointer < static_cast<const void*>(g_arena + sizeof g_arena);
}

void* ArenaAllocate(size_t size) {
  const size_t rounded = (size + 15) & ~static_cast<size_t>(15);
  const size_t at = g_arena_used.fetch_add(rounded);
  if (at + rounded > sizeof g_arena) return nullptr;
  return g_arena + at;
}

void* Resolve(const char* name) {
  ++t_resolving;
  void* address = dlsym(RTLD_NEXT, name);
  --t_resolving;
  return address;
}

template <class Function>
Function Real(std::atomic<Function>& slot, const char* name) {
  Function function = slot.load(std::memory_order_acquire);
  if (function == nullptr) {
    function = reinterpret_cast<Function>(Resolve(name));
    slot.store(function, std::memory_order_release);
  }
  return function;
}

#define REAL(name) Real(real_##name, #name)

std::atomic<void* (*)(size_t)> real_malloc{nullptr};
std::atomic<void* (*)(size_t, size_t)> real_calloc{nullptr};
std::atomic<void* (*)(void*, size_t)> real_realloc{nullptr};
std::atomic<void (*)(void*)> real_free{nullptr};
std::atomic<int (*)(void**, size_t, size_t)> real_posix_memalign{nullptr};
std::atomic<void* (*)(size_t, size_t)> real_aligned_alloc{nullptr};
std::atomic<void* (*)(size_t, size_t)> real_memalign{nullptr};
std::atomic<void* (*)(size_t)> real_valloc{nullptr};

}  // namespace

// ---- The watch's controls, for realtime_watch.cpp
// ------------------------------------------------

WATCH_EXPORT void modhost_watch_arm(int armed) { g_armed.store(armed); }

WATCH_EXPORT int modhost_watch_functions(void) { return kWatchedCount; }

WATCH_EXPORT const char* modhost_watch_name(int function) {
  return function >= 0 && function < kWatchedCount ? kWatchedNames[function] : "";
}

WATCH_EXPORT uint64_t modhost_watch_total(void) { return g_total.load(); }

WATCH_EXPORT uint64_t modhost_watch_calls(int function) {
  return function >= 0 && function < kWatchedCount ? g_counts[function].load() : 0;
}

// The first counted call's function (-1 when none) and up to `capacity` frames of its stack.
WATCH_EXPORT int modhost_watch_first(void** frames, int capacity, int* frame_count) {
  if (g_first_taken.load() == 0) return -1;
  const int count = g_first_frame_count < capacity ? g_first_frame_count : capacity;
  for (int frame = 0; frame < count; ++frame) frames[frame] = g_first_frames[frame];
  *frame_count = count;
  return g_first_function;
}

WATCH_EXPORT void modhost_watch_reset(void) {
  for (std::atomic<uint64_t>& count : g_counts) count.store(0);
  g_total.store(0);
  g_first_function = -1;
  g_first_frame_count = 0;
  g_first_taken.store(0);
}

// backtrace loads the unwinder the first time it runs; that happens here, at start-up, and not
// inside the first watched call.
__attribute__((constructor)) static void WarmUpBacktrace() {
  Inside inside;
  void* frames[4];
  backtrace(frames, 4);
}

// ---- The allocator
// ---------------------------------------------------------------------------------

WATCH_EXPORT void* malloc(size_t size) {
  if (t_resolving > 0) return ArenaAllocate(size);
  Inside inside;
  Note(k_malloc);
  return REAL(malloc)(size);
}

WATCH_EXPORT void* calloc(size_t count, size_t size) {
  if (t_resolving > 0) {
    void* memory = ArenaAllocate(count * size);
    if (memory != nullptr) memset(memory, 0, count * size);
    return memory;
  }
  Inside inside;
  Note(k_calloc);
  return REAL(calloc)(count, size);
}

WATCH_EXPORT void* realloc(void* pointer, size_t size) {
  if (t_resolving > 0) {
    // Only the arena may be used while dlsym runs.
    void* moved = ArenaAllocate(size);
    if (moved != nullptr && pointer != nullptr) memcpy(moved, pointer, size);
    return moved;
  }
  Inside inside;
  Note(k_realloc);
  if (InArena(pointer)) {
    void* moved = REAL(malloc)(size);
    if (moved != nullptr) memcpy(moved, pointer, size);
    return moved;
  }
  return REAL(realloc)(pointer, size);
}

WATCH_EXPORT void free(void* pointer) {
  // dlsym frees its last error message, and may do so while it finds the real free for this
  // very call (a sanitizer's run-time calls dlsym before main): resolving again from here would
  // recurse for ever, so a block freed while resolving is left allocated.
  if (pointer == nullptr || InArena(pointer) || t_resolving > 0) return;
  Inside inside;
  Note(k_free);
  REAL(free)(pointer);
}

WATCH_EXPORT int posix_memalign(void** pointer, size_t alignment, size_t size) {
  Inside inside;
  Note(k_posix_memalign);
  return REAL(posix_memalign)(pointer, alignment, size);
}

WATCH_EXPORT void* aligned_alloc(size_t alignment, size_t size) {
  Inside inside;
  Note(k_aligned_alloc);
  return REAL(aligned_alloc)(alignment, size);
}

WATCH_EXPORT void* memalign(size_t alignment, size_t size) {
  Inside inside;
  Note(k_memalign);
  return REAL(memalign)(alignment, size);
}

WATCH_EXPORT void* valloc(size_t size) {
  Inside inside;
  Note(k_valloc);
  return REAL(valloc)(size);
}

// operator new and delete, replaced as a program may replace them; they allocate through
// malloc and free (which then do not count again), as the language run-time's do.
namespace {

void* NewOrNull(size_t size, size_t alignment, int function) {
  Inside inside;
  Note(function);
  if (size == 0) size = 1;
  if (alignment <= alignof(std::max_align_t)) return malloc(size);
  void* memory = nullptr;
  return posix_memalign(&memory, alignment, size) == 0 ? memory : nullptr;
}

void* NewOrThrow(size_t size, size_t alignment, int function) {
  void* memory = NewOrNull(size, alignment, function);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

void Delete(void* pointer, int function) {
  Inside inside;
  Note(function);
  free(pointer);
}

}  // namespace

void* operator new(size_t size) { return NewOrThrow(size, 0, k_operator_new); }
void* operator new[](size_t size) { return NewOrThrow(size, 0, k_operator_new); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  return NewOrNull(size, 0, k_operator_new);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return NewOrNull(size, 0, k_operator_new);
}
void* operator new(size_t size, std::align_val_t alignment) {
  return NewOrThrow(size, static_cast<size_t>(alignment), k_operator_new);
}
void* operator new[](size_t size, std::align_val_t alignment) {
  return NewOrThrow(size, static_cast<size_t>(alignment), k_operator_new);
}
void* operator new(size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return NewOrNull(size, static_cast<size_t>(alignment), k_operator_new);
}
void* operator new[](size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return NewOrNull(size, static_cast<size_t>(alignment), k_operator_new);
}
void operator delete(void* pointer) noexcept { Delete(pointer, k_operator_delete); }
void operator delete[](void* pointer) noexcept { Delete(pointer, k_operator_delete); }
void operator delete(void* pointer, size_t) noexcept { Delete(pointer, k_operator_delete); }
void operator delete[](void* pointer, size_t) noexcept { Delete(pointer, k_operator_delete); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept {
  Delete(pointer, k_operator_delete);
}
void operator delete[](void* pointer, const std::nothrow_t&) noexcept {
  Delete(pointer, k_operator_delete);
}
void operator delete(void* pointer, std::align_val_t) noexcept {
  Delete(pointer, k_operator_delete);
}
void operator delete[](void* pointer, std::align_val_t) noexcept {
  Delete(pointer, k_operator_delete);
}
void operator delete(void* pointer, size_t, std::align_val_t) noexcept {
  Delete(pointer, k_operator_delete);
}
void operator delete[](void* pointer, size_t, std::align_val_t) noexcept {
  Delete(pointer, k_operator_delete);
}

// ---- Everything else: counted, then passed on
// ------------------------------------------------------

// A stand-in with a fixed parameter list: counts, then calls the real function.
#define PASS_ON(result, name, parameters, arguments)      \
  namespace {                                             \
  std::atomic<result(*) parameters> real_##name{nullptr}; \
  }                                                       \
  WATCH_EXPORT result name parameters {                   \
    Inside inside;                                        \
    Note(k_##name);                                       \
    return REAL(name) arguments;                          \
  }

PASS_ON(int, pthread_mutex_lock, (pthread_mutex_t * mutex), (mutex))
PASS_ON(int, pthread_mutex_trylock, (pthread_mutex_t * mutex), (mutex))
PASS_ON(int, pthread_mutex_timedlock, (pthread_mutex_t * mutex, const struct timespec* until),
        (mutex, until))
PASS_ON(int, pthread_rwlock_rdlock, (pthread_rwlock_t * lock), (lock))
PASS_ON(int, pthread_rwlock_wrlock, (pthread_rwlock_t * lock), (lock))
PASS_ON(int, pthread_rwlock_tryrdlock, (pthread_rwlock_t * lock), (lock))
PASS_ON(int, pthread_rwlock_trywrlock, (pthread_rwlock_t * lock), (lock))
PASS_ON(int, pthread_spin_lock, (pthread_spinlock_t * lock), (lock))
PASS_ON(int, pthread_cond_wait, (pthread_cond_t * condition, pthread_mutex_t* mutex),
        (condition, mutex))
PASS_ON(int, pthread_cond_timedwait,
        (pthread_cond_t * condition, pthread_mutex_t* mutex, const struct timespec* until),
        (condition, mutex, until))
PASS_ON(int, pthread_cond_signal, (pthread_cond_t * condition), (condition))
PASS_ON(int, pthread_cond_broadcast, (pthread_cond_t * condition), (condition))
PASS_ON(int, pthread_join, (pthread_t thread, void** result), (thread, result))
PASS_ON(int, pthread_create,
        (pthread_t * thread, const pthread_attr_t* attributes, void* (*start)(void*),
         void* argument),
        (thread, attributes, start, argument))
PASS_ON(int, sem_wait, (sem_t * semaphore), (semaphore))
PASS_ON(int, sem_timedwait, (sem_t * semaphore, const struct timespec* until), (semaphore, until))
PASS_ON(int, sem_post, (sem_t * semaphore), (semaphore))
PASS_ON(unsigned int, sleep, (unsigned int seconds), (seconds))
PASS_ON(int, usleep, (useconds_t microseconds), (microseconds))
PASS_ON(int, nanosleep, (const struct timespec* duration, struct timespec* remaining),
        (duration, remaining))
PASS_ON(int, clock_nanosleep,
        (clockid_t clock, int flags, const struct timespec* until, struct timespec* remaining),
        (clock, flags, until, remaining))
PASS_ON(int, sched_yield, (void), ())
PASS_ON(int, pause, (void), ())
PASS_ON(int, close, (int descriptor), (descriptor))
PASS_ON(ssize_t, read, (int descriptor, void* buffer, size_t size), (descriptor, buffer, size))
PASS_ON(ssize_t, write, (int descriptor, const void* buffer, size_t size),
        (descriptor, buffer, size))
PASS_ON(ssize_t, pread, (int descriptor, void* buffer, size_t size, off_t at),
        (descriptor, buffer, size, at))
PASS_ON(ssize_t, pwrite, (int descriptor, const void* buffer, size_t size, off_t at),
        (descriptor, buffer, size, at))
PASS_ON(ssize_t, readv, (int descriptor, const struct iovec* parts, int count),
        (descriptor, parts, count))
PASS_ON(ssize_t, writev, (int descriptor, const struct iovec* parts, int count),
        (descriptor, parts, count))
PASS_ON(int, fsync, (int descriptor), (descriptor))
PASS_ON(FILE*, fopen, (const char* path, const char* mode), (path, mode))
PASS_ON(FILE*, fopen64, (const char* path, const char* mode), (path, mode))
PASS_ON(int, fclose, (FILE * stream), (stream))
PASS_ON(size_t, fread, (void* buffer, size_t size, size_t count, FILE* stream),
        (buffer, size, count, stream))
PASS_ON(size_t, fwrite, (const void* buffer, size_t size, size_t count, FILE* stream),
        (buffer, size, count, stream))
PASS_ON(int, fputs, (const char* text, FILE* stream), (text, stream))
PASS_ON(int, fputc, (int character, FILE* stream), (character, stream))
PASS_ON(int, putc, (int character, FILE* stream), (character, stream))
PASS_ON(int, puts, (const char* text), (text))
PASS_ON(int, putchar, (int character), (character))
PASS_ON(int, fflush, (FILE * stream), (stream))
PASS_ON(void, perror, (const char* text), (text))
PASS_ON(int, vprintf, (const char* format, va_list arguments), (format, arguments))
PASS_ON(int, vfprintf, (FILE * stream, const char* format, va_list arguments),
        (stream, format, arguments))
PASS_ON(int, vdprintf, (int descriptor, const char* format, va_list arguments),
        (descriptor, format, arguments))
PASS_ON(int, __vfprintf_chk, (FILE * stream, int flag, const char* format, va_list arguments),
        (stream, flag, format, arguments))
PASS_ON(int, poll, (struct pollfd * descriptors, nfds_t count, int timeout),
        (descriptors, count, timeout))
PASS_ON(int, select,
        (int count, fd_set* readable, fd_set* writable, fd_set* failed, struct timeval* timeout),
        (count, readable, writable, failed, timeout))
PASS_ON(void*, mmap,
        (void* address, size_t size, int protection, int flags, int descriptor, off_t at),
        (address, size, protection, flags, descriptor, at))
PASS_ON(int, munmap, (void* address, size_t size), (address, size))
PASS_ON(void*, dlopen, (const char* file, int mode), (file, mode))
PASS_ON(int, system, (const char* command), (command))
PASS_ON(pid_t, fork, (void), ())

// The variadic ones, passed on through their va_list twins.
namespace {
std::atomic<int (*)(const char*, int, ...)> real_open{nullptr};
std::atomic<int (*)(const char*, int, ...)> real_open64{nullptr};
std::atomic<int (*)(int, const char*, int, ...)> real_openat{nullptr};
std::atomic<long (*)(long, ...)> real_syscall{nullptr};

template <class Call>
int Printing(int function, Call call) {
  Inside inside;
  Note(function);
  return call();
}

// The mode argument exists only when a file may be created.
mode_t ModeArgument(int flags, va_list arguments) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE
             ? static_cast<mode_t>(va_arg(arguments, int))
             : 0;
}
}  // namespace

WATCH_EXPORT int open(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = ModeArgument(flags, arguments);
  va_end(arguments);
  Inside inside;
  Note(k_open);
  return REAL(open)(path, flags, mode);
}

WATCH_EXPORT int open64(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = ModeArgument(flags, arguments);
  va_end(arguments);
  Inside inside;
  Note(k_open);
  return REAL(open64)(path, flags, mode);
}

WATCH_EXPORT int openat(int folder, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = ModeArgument(flags, arguments);
  va_end(arguments);
  Inside inside;
  Note(k_open);
  return REAL(openat)(folder, path, flags, mode);
}

// syscall: up to six word-sized arguments, as the kernel takes them.
WATCH_EXPORT long syscall(long number, ...) {
  va_list arguments;
  va_start(arguments, number);
  long words[6];
  for (long& word : words) word = va_arg(arguments, long);
  va_end(arguments);
  Inside inside;
  Note(k_syscall);
  return REAL(syscall)(number, words[0], words[1], words[2], words[3], words[4], words[5]);
}

WATCH_EXPORT int printf(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int written = Printing(k_printf, [&] { return vprintf(format, arguments); });
  va_end(arguments);
  return written;
}

WATCH_EXPORT int fprintf(FILE* stream, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int written = Printing(k_fprintf, [&] { return vfprintf(stream, format, arguments); });
  va_end(arguments);
  return written;
}

WATCH_EXPORT int dprintf(int descriptor, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int written = Printing(k_dprintf, [&] { return vdprintf(descriptor, format, arguments); });
  va_end(arguments);
  return written;
}

WATCH_EXPORT int __printf_chk(int flag, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int written =
      Printing(k_printf, [&] { return __vfprintf_chk(stdout, flag, format, arguments); });
  va_end(arguments);
  return written;
}

WATCH_EXPORT int __fprintf_chk(FILE* stream, int flag, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int written =
      Printing(k_fprintf, [&] { return __vfprintf_chk(stream, flag, format, arguments); });
  va_end(arguments);
  return written;
}
