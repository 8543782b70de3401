// The benchmark's host for the built plug-in libraries: what a host does to run a module, and
// nothing more, so that the library rows time the code that ships.
//
// Setting up goes through the host core (host/): the library is loaded with the system's loader
// and its one export `main` is called with the host callback; the pins are described through
// dispatcher opcode 6 and the host's pin count is set to them; the sample rate and the block size
// go in through opcodes 2 and 3; opcode 0 opens the module; every audio pin gets a buffer of the
// host's, bound through the variable the pin's description names; settings arrive as pin-update
// events through opcode 7.
//
// The timed calls (events through opcode 7, blocks through the record's process entry) go
// straight to the record's two entries, as the real host, a C program, calls them. The host
// core's own wrappers publish the calling instance in a thread_local around every call, which
// mingw builds as emulated TLS (a library call each time): that would be timed as if the module
// spent it. A module that sends a request from inside a timed call still gets an answer (0, as a
// request from no call of the host core); StrayRequests() counts them, and the benchmark says so
// if there were any.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/host_core.h"
#include "host/plugin_library.h"

namespace bench {

// The built plug-in `name` ("pelio", "tessavine") in `folder`: the path the system's loader takes.
std::string PluginPath(const std::string& folder, const std::string& name);

// Loads the library at `path`, once per path for the program's life (a host keeps its libraries
// loaded too). Null, with the loader's reason in `error`, when it cannot be loaded.
std::shared_ptr<const se_host::PluginLibrary> LoadPlugin(const std::string& path,
                                                         std::string* error);

// Audio buffers of `samples` samples each, in one block of memory: every buffer starts on a
// 64-byte line, and the lines of their starts all differ modulo 4 KiB, so that no two buffers
// alias in the processor's store-to-load address checks and every rig gets the same layout,
// whatever the heap looked like before (which otherwise moved some rows by 20% from run to run).
class BufferArena {
 public:
  BufferArena(size_t count, int32_t samples)
      : stride_((static_cast<size_t>(samples) + 15) / 16 * 16 + 16),
        memory_(count * stride_ + 16, 0.0f) {}
  float* Buffer(size_t index) {
    float* first = memory_.data();
    first += (64 - reinterpret_cast<uintptr_t>(first) % 64) % 64 / sizeof(float);
    return first + index * stride_;
  }

 private:
  size_t stride_;  // floats from one buffer's start to the next: a whole number of 64-byte lines
  std::vector<float> memory_;
};

// One module instance of a loaded library, held as a host holds one (see above).
class LibraryInstance {
 public:
  // Creates, describes, opens at `sample_rate` with `block_size` announced and binds every audio
  // pin to a zeroed buffer of `buffer_samples` samples. Null, with the reason in `error`, when
  // the library cannot be loaded or the module not created.
  static std::unique_ptr<LibraryInstance> Create(const std::string& path, float sample_rate,
                                                 int32_t block_size, int32_t buffer_samples,
                                                 std::string* error);
  ~LibraryInstance();

  // The index of the pin called `name`, or -1.
  int32_t PinIndex(const std::string& name) const;
  // The buffer bound to audio pin `pin`; null for any other pin.
  float* Buffer(int32_t pin);

  // Queues a pin update (status 0, `value`) of pin `pin` at sample-clock time `time_stamp`,
  // through the record's dispatcher (opcode 7).
  void QueueUpdate(int32_t pin, int32_t value, uint32_t time_stamp) {
    SeEvent event = {time_stamp, static_cast<int32_t>(SeEventType::PinUpdate),        0,
                     value,      reinterpret_cast<void*>(static_cast<intptr_t>(pin)), nullptr};
    record_->dispatcher(record_, static_cast<int32_t>(ModuleOpcode::AddEvent), 0, 0, &event, 0.0f);
  }
  // Renders `frames` samples from `offset` of every buffer through the record's process entry
  // and moves the host's clock on by `frames`.
  void Process(int32_t offset, int32_t frames) {
    record_->process(record_, offset, frames);
    clock_ += static_cast<uint32_t>(frames);
  }
  // The host's sample clock: the time of the next sample to render.
  uint32_t clock() const { return clock_; }

  // Requests that came from inside a timed call, process-wide (see above).
  static uint64_t StrayRequests() { return se_host::HostedModule::StrayRequestCount(); }

 private:
  LibraryInstance() = default;

  std::unique_ptr<se_host::HostedModule> module_;
  ModuleRecord* record_ = nullptr;
  std::vector<se_host::PinInfo> pins_;
  std::unique_ptr<BufferArena> arena_;  // every audio pin's buffer
  std::vector<float*> buffers_;         // one per pin, into arena_; null for pins not audio
  uint32_t clock_ = 0;
};

}  // namespace bench
