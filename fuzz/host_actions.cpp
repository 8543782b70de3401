// The host-action interpreter behind the fuzz targets and their replay tests (see host_actions.h).
//
// What it checks, beyond "no crash" (which AddressSanitizer and UndefinedBehaviorSanitizer turn
// into a finding for every stray access and every undefined operation):
//  - the record that `main` returns has the magic, both entries, its own object and the word 1 at
//    offset 40; the frame sends no request from `main`, and every request carries the asking
//    module's own record and an `opt` of 0.0;
//  - answers to the dispatcher are exactly 0 or 1 where they are truth values, 1 for close and 0
//    for unknown opcodes; a query that is refused leaves the host's record untouched, and one that
//    is answered writes no byte past the fields it owns;
//  - the frame keeps no pointer to a record the host passed in (each one is freed right after the
//    call, so a later use is a heap-use-after-free);
//  - a process call writes only the output samples of its span, reads no sample outside the span
//    (the rest of every buffer is poisoned while the module runs) and writes no input buffer;
//  - every output sample is a finite number, whatever the inputs, settings and sample rate: both
//    modules promise that, since one NaN or infinity reaching the host's mixer ruins a recording;
//  - the event queue behaves as the frame's algorithm says: a model of the queue (the same
//    serial-number time comparison, the same stable order) predicts the answer of opcode 10 after
//    every step, so a lost, duplicated or stuck event shows.
#include "fuzz/host_actions.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "host/host_core.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SE_FUZZ_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define SE_FUZZ_ASAN 1
#endif
#if defined(SE_FUZZ_ASAN)
#include <sanitizer/asan_interface.h>
#define SE_POISON(address, bytes) ASAN_POISON_MEMORY_REGION(address, bytes)
#define SE_UNPOISON(address, bytes) ASAN_UNPOISON_MEMORY_REGION(address, bytes)
#else
#define SE_POISON(address, bytes) ((void)(address), (void)(bytes))
#define SE_UNPOISON(address, bytes) ((void)(address), (void)(bytes))
#endif

namespace se_fuzz {
namespace {

// Samples in every pin buffer. A span is always inside [0, kBufferFrames).
constexpr int32_t kBufferFrames = 512;
// Two instances alive at once, so that one module's state reaching into another's would show.
constexpr int kInstanceSlots = 2;
// Pins the host asks the module about; both modules describe fewer.
constexpr int32_t kDescribedPinLimit = 64;
// Stops pathological inputs from rendering for minutes: at most this many samples per input.
constexpr int64_t kSampleBudget = 1 << 16;
// Written around every span; any change outside the span is a stray write.
constexpr uint32_t kCanaryBits = 0x7FA5A5A5u;  // a signalling NaN, which no module produces

// SE_FUZZ_TRACE=1 in the environment prints every action, to read what a crash input does.
bool Tracing() {
  static const bool tracing = std::getenv("SE_FUZZ_TRACE") != nullptr;
  return tracing;
}

#define SE_TRACE(...)                                      \
  do {                                                     \
    if (Tracing()) std::fprintf(stderr, "  " __VA_ARGS__); \
  } while (0)

[[noreturn]] void Broken(const char* what) {
  std::fprintf(stderr, "host-action fuzzing: broken guarantee: %s\n", what);
  std::abort();
}

void Require(bool condition, const char* what) {
  if (!condition) Broken(what);
}

// Reads the input front to back; past its end every read gives zeros, so any input is a valid
// program.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return position_ >= size_; }

  uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
  uint32_t Word() {
    uint32_t word = 0;
    for (int i = 0; i < 4; ++i) word |= static_cast<uint32_t>(Byte()) << (8 * i);
    return word;
  }
  bool Bit() { return (Byte() & 1) != 0; }

  // Values a host gets wrong in practice come first; any bit pattern is possible.
  float Float() {
    static const float kInteresting[] = {
        0.0f,     -0.0f,      0.5f,      1.0f,    -1.0f,         2.0f,         -2.0f,   0.1f,
        1.2f,     1.2000001f, 1.165f,    10.0f,   102.5f,        1e6f,         1e30f,   FLT_MAX,
        -FLT_MAX, INFINITY,   -INFINITY, NAN,     -NAN,          FLT_TRUE_MIN, FLT_MIN, 44100.0f,
        48000.0f, 96000.0f,   1e-9f,     -999.0f, 2147483648.0f, 0.999f,       -1e-30f, 3.1415927f};
    const uint8_t choice = Byte();
    const size_t count = sizeof(kInteresting) / sizeof(kInteresting[0]);
    if (choice < 2 * count) return kInteresting[choice % count];
    const uint32_t bits = Word();
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }

  int32_t Int() {
    static const int32_t kInteresting[] = {
        0,    1,     -1,    2,      3,  15,    16,     17,      21,      22,      23,    64,
        1024, 65535, 65536, -65536, -2, 32767, -32768, INT_MAX, INT_MIN, 1 << 20, 100000};
    const uint8_t choice = Byte();
    const size_t count = sizeof(kInteresting) / sizeof(kInteresting[0]);
    if (choice < 2 * count) return kInteresting[choice % count];
    return static_cast<int32_t>(Word());
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

// ---- The host's side: the host core, and its answers -------------------------------------------
// Every instance is a HostedModule of the host core (host/host_core.h): it makes every call into
// the module, answers the module's requests and tells which call a request came from, so the
// checks below only look at what it saw.

// What the host answers, set by the input for every instance alive and taken by new ones. Each
// instance's clock then moves on with what it renders.
struct HostAnswers {
  uint32_t sample_clock = 0;
  int32_t pin_count = 0;
  int32_t default_reply = 0;
};
HostAnswers g_answers;

// The `main` of this run, for instances created without a callback: HostedModule always offers
// its own, so EntryWithoutCallback stands in for `main` and withholds it.
PluginEntry g_entry = nullptr;
ModuleRecord* SE_CDECL EntryWithoutCallback(HostCallback) { return g_entry(nullptr); }

// Requests that reached the host core from no call of its own, process-wide, when this input
// began: any later one is a request outside every call into the module.
uint64_t g_strays_before = 0;

void CheckRequest(const se_host::HostRequest& request) {
  Require(!request.foreign_record, "a request with another module's record");
  Require(request.opt == 0.0f && !std::signbit(request.opt), "a request with opt other than 0.0");
}

void CheckNoStrayRequest() {
  Require(se_host::HostedModule::StrayRequestCount() == g_strays_before,
          "a request outside any call into the module");
}

// ---- A model of the frame's event queue --------------------------------------------------------
// Time stamps compare by their distance ahead of the clock (serial-number arithmetic), stale ones
// are lifted to the clock, equal stamps keep their order.

bool IsBehind(uint32_t time_stamp, uint32_t clock) { return time_stamp - clock >= 0x80000000u; }

class QueueModel {
 public:
  bool empty() const { return stamps_.empty(); }
  void set_clock(uint32_t clock) { clock_ = clock; }
  uint32_t clock() const { return clock_; }

  void Add(uint32_t time_stamp) { Link(time_stamp); }

  void Process(int32_t frames) {
    if (frames <= 0) return;
    uint32_t remaining = static_cast<uint32_t>(frames);
    while (!stamps_.empty()) {
      uint32_t head = stamps_.front();
      if (IsBehind(head, clock_)) head = clock_;
      const uint32_t span = head - clock_;
      if (span >= remaining) break;
      clock_ += span;
      remaining -= span;
      stamps_.erase(stamps_.begin());
    }
    clock_ += remaining;
  }

  void Resume(uint32_t clock) {
    clock_ = clock;
    std::vector<uint32_t> pending;
    pending.swap(stamps_);
    for (uint32_t stamp : pending) Link(stamp);
  }

 private:
  void Link(uint32_t time_stamp) {
    if (IsBehind(time_stamp, clock_)) time_stamp = clock_;
    const uint32_t ahead = time_stamp - clock_;
    size_t position = 0;
    while (position < stamps_.size() && stamps_[position] - clock_ <= ahead) ++position;
    stamps_.insert(stamps_.begin() + static_cast<std::ptrdiff_t>(position), time_stamp);
  }

  std::vector<uint32_t> stamps_;
  uint32_t clock_ = 0;
};

// ---- One module instance as the host holds it ---------------------------------------------------

struct PinBuffer {
  // Two spare samples: the buffer handed to the module starts at sample 0 or 1 of the storage,
  // so that the span's first sample is always 8-byte aligned and the poisoning before it is exact.
  std::vector<float> storage = std::vector<float>(kBufferFrames + 2);
  bool is_output = false;
  bool bound = true;  // a host may leave a pin unbound; the module must cope
};

struct Instance {
  std::unique_ptr<se_host::HostedModule> module;    // null while the slot is empty
  std::vector<PinDescription> pins;                 // as described through opcode 6
  std::vector<std::unique_ptr<PinBuffer>> buffers;  // per pin; null for non-audio pins
  QueueModel queue;
  bool has_callback = true;  // without one, every request answers 0, the sample clock too
  bool opened = false;
  bool model_valid = true;  // false once the module was opened over a non-empty queue
};

int32_t Dispatch(Instance& instance, ModuleOpcode opcode, int32_t index, int32_t value, void* ptr,
                 float opt) {
  return instance.module->Dispatch(static_cast<int32_t>(opcode), index, value, ptr, opt);
}

int32_t DispatchRaw(Instance& instance, int32_t opcode, int32_t index, int32_t value, void* ptr,
                    float opt) {
  return instance.module->Dispatch(opcode, index, value, ptr, opt);
}

void CheckQueueAnswer(Instance& instance) {
  const int32_t reply = Dispatch(instance, ModuleOpcode::QueueEmpty, 0, 0, nullptr, 0.0f);
  Require(reply == 0 || reply == 1, "opcode 10 answered neither 0 nor 1");
  if (instance.model_valid) {
    Require(reply == (instance.queue.empty() ? 1 : 0),
            "opcode 10 disagrees with the event queue the frame should hold");
  } else if (reply == 1) {
    // Empty again: the model is exact from here on. Its clock stayed right all along.
    const uint32_t clock = instance.queue.clock();
    instance.queue = QueueModel();
    instance.queue.set_clock(clock);
    instance.model_valid = true;
  }
}

void CheckRecord(const ModuleRecord* record) {
  Require(record->magic == kModuleRecordMagic, "the record has no magic");
  Require(record->dispatcher != nullptr && record->process != nullptr, "a record entry is null");
  Require(record->object != nullptr, "the record names no object");
  Require(record->reserved40 == 1, "the record's word at 40 is not 1");
  Require(record->reserved20 == 0 && record->reserved24 == 0 && record->reserved28 == 0 &&
              record->reserved36 == 0,
          "a reserved word of the record is not 0");
}

// The pins the module describes, and a buffer for each audio pin. Asked once per instance: the
// answers must not change while the module lives.
void DescribeAndBind(Instance& instance) {
  for (int32_t index = 0; index < kDescribedPinLimit; ++index) {
    std::unique_ptr<PinDescription> description(new PinDescription);
    std::memset(description.get(), 0, sizeof(PinDescription));
    if (Dispatch(instance, ModuleOpcode::GetPinProperties, index, 0, description.get(), 0.0f) !=
        1) {
      break;
    }
    instance.pins.push_back(*description);
  }
  instance.buffers.resize(instance.pins.size());
  for (size_t index = 0; index < instance.pins.size(); ++index) {
    const PinDescription& pin = instance.pins[index];
    if (pin.datatype != static_cast<int32_t>(PinDatatype::Audio)) continue;
    Require(pin.variable_address != nullptr, "an audio pin bound to no variable");
    instance.buffers[index].reset(new PinBuffer);
    instance.buffers[index]->is_output =
        pin.direction == static_cast<int32_t>(PinDirection::Output);
  }
}

void Create(Instance& instance, PluginEntry entry, bool with_callback) {
  se_host::CreateResult created =
      se_host::HostedModule::Create(with_callback ? entry : &EntryWithoutCallback);
  SE_TRACE("main%s -> %p\n", with_callback ? "" : " (null callback)",
           created.module ? static_cast<void*>(created.module->record()) : nullptr);
  // Out of memory is a valid answer; a record without the magic or its entries is not.
  if (created.error == se_host::CreateError::kEntryReturnedNull) return;
  Require(created.module != nullptr, "main gave a record without the magic or an entry");
  CheckRecord(created.module->record());
  // `main` may not call the host.
  Require(created.module->requests().empty(), "a request from inside main");
  instance = Instance();
  instance.module = std::move(created.module);
  instance.module->set_recording(false);
  instance.module->set_observer(&CheckRequest);
  instance.module->set_sample_clock(g_answers.sample_clock);
  instance.module->set_pin_count(g_answers.pin_count);
  instance.module->set_default_reply(g_answers.default_reply);
  instance.has_callback = with_callback;
  instance.queue.set_clock(0);
  DescribeAndBind(instance);
  CheckQueueAnswer(instance);
}

void Close(Instance& instance) {
  SE_TRACE("close\n");
  Require(Dispatch(instance, ModuleOpcode::Close, 0, 0, nullptr, 0.0f) == 1,
          "close did not answer 1");
  instance = Instance();
}

// The clock the module reads from the host: none without a callback.
uint32_t HostClockFor(const Instance& instance) {
  return instance.has_callback ? instance.module->sample_clock() : 0;
}

void Open(Instance& instance) {
  SE_TRACE("open (host clock %u, pin count %d)\n", instance.module->sample_clock(),
           instance.module->pin_count());
  Dispatch(instance, ModuleOpcode::Open, 0, 0, nullptr, 0.0f);
  instance.opened = true;
  // Open takes the host's clock without touching queued events; a host that queues events
  // before opening leaves their order relative to the new clock to the frame.
  if (!instance.queue.empty()) instance.model_valid = false;
  instance.queue.set_clock(HostClockFor(instance));
  CheckQueueAnswer(instance);
}

void Resume(Instance& instance) {
  SE_TRACE("resume (host clock %u)\n", instance.module->sample_clock());
  Dispatch(instance, ModuleOpcode::Resume, 0, 0, nullptr, 0.0f);
  instance.queue.Resume(HostClockFor(instance));
  CheckQueueAnswer(instance);
}

void QueryPin(Instance& instance, Input& input) {
  const int32_t index = input.Int();
  if (input.Bit()) {
    Require(Dispatch(instance, ModuleOpcode::GetPinProperties, index, 0, nullptr, 0.0f) == 0,
            "opcode 6 with no record answered true");
    return;
  }
  // Twice the record's size, so that a write past it shows.
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[2 * sizeof(PinDescription)]);
  std::memset(bytes.get(), 0xA5, 2 * sizeof(PinDescription));
  const int32_t reply =
      Dispatch(instance, ModuleOpcode::GetPinProperties, index, 0, bytes.get(), 0.0f);
  Require(reply == 0 || reply == 1, "opcode 6 answered neither 0 nor 1");
  const size_t untouched_from = reply == 0 ? 0 : offsetof(PinDescription, unused);
  for (size_t i = untouched_from; i < 2 * sizeof(PinDescription); ++i) {
    Require(bytes[i] == 0xA5, "opcode 6 wrote bytes it does not own");
  }
  const bool described = index >= 0 && static_cast<size_t>(index) < instance.pins.size();
  Require((reply == 1) == described, "opcode 6 answered differently than when first asked");
}

void QueryModule(Instance& instance, Input& input) {
  if (input.Bit()) {
    Dispatch(instance, ModuleOpcode::GetModuleProperties, 0, 0, nullptr, 0.0f);
    return;
  }
  const size_t size = 4 * sizeof(ModuleProperties);
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[size]);
  std::memset(bytes.get(), 0xA5, size);
  const int32_t reply =
      Dispatch(instance, ModuleOpcode::GetModuleProperties, 0, 0, bytes.get(), 0.0f);
  Require(reply == 0 || reply == 1, "opcode 9 answered neither 0 nor 1");
  const size_t untouched_from = reply == 0 ? 0 : sizeof(ModuleProperties);
  for (size_t i = untouched_from; i < size; ++i) {
    Require(bytes[i] == 0xA5, "opcode 9 wrote bytes it does not own");
  }
  if (reply == 1) {
    ModuleProperties properties;
    std::memcpy(&properties, bytes.get(), sizeof properties);
    Require(properties.name != nullptr && properties.id != nullptr && properties.about != nullptr,
            "opcode 9 answered with a null text");
    Require(
        std::strlen(properties.name) + std::strlen(properties.id) + std::strlen(properties.about) >
            0,
        "opcode 9 answered with empty texts");
  }
}

void OpaqueQuery(Instance& instance, Input& input) {
  const ModuleOpcode opcode = input.Bit() ? ModuleOpcode::OpaqueQuery4 : ModuleOpcode::OpaqueQuery5;
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[64]);
  std::memset(bytes.get(), 0xA5, 64);
  void* ptr = input.Bit() ? nullptr : bytes.get();
  const int32_t reply = Dispatch(instance, opcode, input.Int(), input.Int(), ptr, input.Float());
  Require(reply == 0, "an opaque query was answered");
  for (int i = 0; i < 64; ++i) Require(bytes[i] == 0xA5, "an opaque query wrote the host's record");
}

void UnknownOpcode(Instance& instance, Input& input) {
  int32_t opcode = input.Int();
  if (opcode >= 0 && opcode <= 10) opcode += 11;
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[64]);
  std::memset(bytes.get(), 0xA5, 64);
  Require(DispatchRaw(instance, opcode, input.Int(), input.Int(), bytes.get(), input.Float()) == 0,
          "an unknown opcode was answered");
  for (int i = 0; i < 64; ++i)
    Require(bytes[i] == 0xA5, "an unknown opcode wrote the host's record");
}

void AddEvent(Instance& instance, Input& input) {
  static const int32_t kTypes[] = {0, 0, 0, 0, 1, 2, 3, 4, 5, 7, -1, INT_MIN};
  const uint8_t type_choice = input.Byte();
  int32_t type;
  if (type_choice < 4 * sizeof(kTypes) / sizeof(kTypes[0])) {
    type = kTypes[type_choice % (sizeof(kTypes) / sizeof(kTypes[0]))];
  } else {
    type = input.Int();
  }

  uint32_t time_stamp;
  const uint8_t time_choice = input.Byte() % 4;
  const uint32_t clock = instance.queue.clock();
  if (time_choice == 0) {
    time_stamp = clock + input.Byte();  // within the next block or two
  } else if (time_choice == 1) {
    time_stamp = clock + (input.Word() % (4 * kBufferFrames));
  } else if (time_choice == 2) {
    time_stamp = clock - 1 - input.Byte();  // behind the clock: a contract breach
  } else {
    time_stamp = input.Word();
  }

  intptr_t data;
  const uint8_t data_choice = input.Byte() % 4;
  const intptr_t pins = static_cast<intptr_t>(instance.pins.size());
  if (data_choice < 2) {
    data = static_cast<intptr_t>(input.Byte()) % (pins + 3);  // mostly real pins, a few past them
  } else if (data_choice == 2) {
    data = -1 - static_cast<intptr_t>(input.Byte());
  } else {
    data = static_cast<intptr_t>(static_cast<int32_t>(input.Word()));
  }

  // Heap-allocated and freed right after the call: the frame must copy it, never keep it.
  std::unique_ptr<SeEvent> event(new SeEvent);
  event->time_stamp = time_stamp;
  event->event_type = type;
  event->value1 = input.Int();
  event->value2 = input.Int();
  event->data = reinterpret_cast<void*>(data);
  event->next = input.Bit() ? event.get() : reinterpret_cast<SeEvent*>(0x10);
  const bool without_record = input.Byte() == 0xFF;
  SE_TRACE("event type %d at %u (model clock %u), data %ld, values %d %d%s\n", type, time_stamp,
           clock, static_cast<long>(data), event->value1, event->value2,
           without_record ? ", passed as null" : "");
  const int32_t reply = Dispatch(instance, ModuleOpcode::AddEvent, input.Int(), 0,
                                 without_record ? nullptr : event.get(), 0.0f);
  Require(reply == 0, "opcode 7 answered other than 0");
  event.reset();
  // A deferred call is the frame's own: one from the host is refused. A null record is ignored.
  if (!without_record && type != static_cast<int32_t>(SeEventType::DeferredCall)) {
    instance.queue.Add(time_stamp);
  }
  CheckQueueAnswer(instance);
}

// Fills the inputs of one span: a constant, a ramp or arbitrary samples, chosen per pin.
void FillInput(float* samples, int32_t frames, Input& input) {
  switch (input.Byte() % 4) {
    case 0: {
      const float value = input.Float();
      for (int32_t i = 0; i < frames; ++i) samples[i] = value;
      break;
    }
    case 1: {
      const float from = input.Float();
      const float to = input.Float();
      for (int32_t i = 0; i < frames; ++i) {
        samples[i] = from + (to - from) * (static_cast<float>(i) / static_cast<float>(frames));
      }
      break;
    }
    case 2:
      for (int32_t i = 0; i < frames; ++i) samples[i] = input.Float();
      break;
    default: {
      // A sensible signal: what a patch would feed the module most of the time.
      const float value = static_cast<float>(input.Byte()) / 128.0f - 0.5f;
      for (int32_t i = 0; i < frames; ++i) samples[i] = value;
      break;
    }
  }
}

bool SameBits(const float* left, const float* right, size_t count) {
  return std::memcmp(left, right, count * sizeof(float)) == 0;
}

void Process(Instance& instance, Input& input, int64_t& sample_budget) {
  int32_t offset = static_cast<int32_t>(input.Word() % (kBufferFrames + 1));
  int32_t frames;
  const uint8_t length_choice = input.Byte() % 8;
  if (length_choice == 0) {
    // A host that breaks the contract: an empty or negative block, at any offset.
    frames = input.Bit() ? INT_MIN + input.Byte() : -static_cast<int32_t>(input.Byte() % 3);
    if (input.Bit()) offset = input.Int();
  } else if (length_choice == 1) {
    frames = kBufferFrames - offset;
  } else {
    frames = 1 + static_cast<int32_t>(input.Word() % kBufferFrames);
    if (frames > kBufferFrames - offset) frames = kBufferFrames - offset;
  }
  const bool renders = frames > 0;
  if (renders) sample_budget -= frames;
  SE_TRACE("process offset %d, frames %d\n", offset, frames);
  // Only an opened module with every buffer bound owes the host its output; otherwise it may
  // render or leave the buffers alone, but nothing else.
  bool owes_output = instance.opened;
  for (const std::unique_ptr<PinBuffer>& buffer : instance.buffers) {
    if (buffer != nullptr && !buffer->bound) owes_output = false;
  }

  // Each buffer: canary everywhere, inputs filled inside the span, a snapshot to compare with.
  const size_t pin_count = instance.buffers.size();
  std::vector<std::vector<float>> before(pin_count);
  for (size_t pin = 0; pin < pin_count; ++pin) {
    PinBuffer* buffer = instance.buffers[pin].get();
    if (buffer == nullptr) continue;
    for (float& sample : buffer->storage) std::memcpy(&sample, &kCanaryBits, sizeof sample);
    const int32_t shift = renders ? (offset & 1) : 0;
    float* base = buffer->storage.data() + shift;
    if (renders && !buffer->is_output) FillInput(base + offset, frames, input);
    before[pin] = buffer->storage;
    // The host stores the buffer's address in the pin's variable before every block.
    float* bound = buffer->bound ? base : nullptr;
    std::memcpy(instance.pins[pin].variable_address, &bound, sizeof bound);
  }

  // Everything outside the span is out of bounds while the module runs.
  for (size_t pin = 0; pin < pin_count; ++pin) {
    PinBuffer* buffer = instance.buffers[pin].get();
    if (buffer == nullptr) continue;
    float* storage = buffer->storage.data();
    const size_t total = buffer->storage.size();
    if (!renders) {
      SE_POISON(storage, total * sizeof(float));
      continue;
    }
    const size_t first = static_cast<size_t>((offset & 1) + offset);
    SE_POISON(storage, first * sizeof(float));
    SE_POISON(storage + first + frames, (total - first - frames) * sizeof(float));
  }
  instance.module->Process(offset, frames);
  for (size_t pin = 0; pin < pin_count; ++pin) {
    PinBuffer* buffer = instance.buffers[pin].get();
    if (buffer != nullptr)
      SE_UNPOISON(buffer->storage.data(), buffer->storage.size() * sizeof(float));
  }

  for (size_t pin = 0; pin < pin_count; ++pin) {
    PinBuffer* buffer = instance.buffers[pin].get();
    if (buffer == nullptr) continue;
    const float* now = buffer->storage.data();
    const float* then = before[pin].data();
    const size_t total = buffer->storage.size();
    if (!buffer->is_output || !renders || !buffer->bound) {
      Require(SameBits(now, then, total), "a process call wrote a buffer it does not own");
      continue;
    }
    const size_t first = static_cast<size_t>((offset & 1) + offset);
    Require(SameBits(now, then, first), "a process call wrote before its span");
    Require(SameBits(now + first + frames, then + first + frames, total - first - frames),
            "a process call wrote after its span");
    for (int32_t i = 0; i < frames; ++i) {
      const float sample = now[first + i];
      const bool untouched = std::memcmp(&sample, &kCanaryBits, sizeof sample) == 0;
      Require(std::isfinite(sample) || (untouched && !owes_output),
              "an output sample is not a finite number");
    }
  }

  if (renders) instance.queue.Process(frames);
  CheckQueueAnswer(instance);
}

}  // namespace

void RunHostActions(PluginEntry entry, const uint8_t* data, size_t size) {
  Input input(data, size);
  g_answers = HostAnswers();
  g_entry = entry;
  g_strays_before = se_host::HostedModule::StrayRequestCount();
  Instance instances[kInstanceSlots];
  int64_t sample_budget = kSampleBudget;

  while (!input.empty() && sample_budget > 0) {
    const uint8_t action = input.Byte();
    Instance& instance = instances[(action >> 7) & 1];
    SE_TRACE("[slot %d] ", (action >> 7) & 1);
    if (instance.module == nullptr) {
      // Nothing to talk to: every action starts with creating the module.
      Create(instance, entry, (action & 0x40) == 0 || input.Bit());
      CheckNoStrayRequest();
      continue;
    }
    SE_TRACE("action %d\n", action % 20);
    switch (action % 20) {
      case 0:
        Close(instance);
        break;
      case 1:
      case 2:
        Open(instance);
        break;
      case 3:
        Dispatch(instance, ModuleOpcode::SetSampleRate, input.Int(), input.Int(), nullptr,
                 input.Float());
        break;
      case 4:
        Dispatch(instance, ModuleOpcode::SetBlockSize, input.Int(), input.Int(), nullptr,
                 input.Float());
        break;
      case 5:
        OpaqueQuery(instance, input);
        break;
      case 6:
        QueryPin(instance, input);
        break;
      case 7:
      case 8:
      case 9:
        AddEvent(instance, input);
        break;
      case 10:
        Resume(instance);
        break;
      case 11:
        QueryModule(instance, input);
        break;
      case 12:
        UnknownOpcode(instance, input);
        break;
      case 13:
      case 14:
      case 15:
        Process(instance, input, sample_budget);
        break;
      case 16: {
        // The host's clock jumps: anywhere, or just before the wrap at 2^32.
        const uint32_t word = input.Word();
        g_answers.sample_clock = input.Bit() ? word : 0u - (word % 4096);
        SE_TRACE("host clock %u\n", g_answers.sample_clock);
        for (Instance& each : instances) {
          if (each.module) each.module->set_sample_clock(g_answers.sample_clock);
        }
        break;
      }
      case 17:
        g_answers.pin_count = input.Int();
        SE_TRACE("host pin count %d\n", g_answers.pin_count);
        for (Instance& each : instances) {
          if (each.module) each.module->set_pin_count(g_answers.pin_count);
        }
        break;
      case 18:
        g_answers.default_reply = input.Int();
        for (Instance& each : instances) {
          if (each.module) each.module->set_default_reply(g_answers.default_reply);
        }
        break;
      default: {
        if (instance.buffers.empty()) break;
        PinBuffer* buffer = instance.buffers[input.Byte() % instance.buffers.size()].get();
        if (buffer != nullptr) buffer->bound = !buffer->bound;
        break;
      }
    }
    CheckNoStrayRequest();
  }

  for (Instance& instance : instances) {
    if (instance.module != nullptr) Close(instance);
  }
}

}  // namespace se_fuzz
