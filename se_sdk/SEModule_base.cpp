// The module frame's behaviour: the record's two entries, the opcode switch, the pin table and
// the event queue that cuts each block into spans.
//
// Time stamps are compared relative to the sample clock, as the unsigned distance from the clock
// (serial-number arithmetic): an event up to 2^31 - 1 samples ahead is in the future, anything
// else is behind the clock. The clock passes 2^32 after about 27 hours at 44.1 kHz, and a plain
// unsigned comparison would then make an event due just before the wrap wait another 27 hours.
//
// The host's entries into the frame (the record dispatcher and the process entry) catch every
// exception: nothing may unwind into the host's C code. What a module's code threw from leaves
// the frame as the host expects it: a closed module is destroyed, a block ends with the clock at
// its end, and no queue node or deferred call is lost.
#include "se_sdk/SEModule_base.h"

#include <cstdio>
#include <cstring>
#include <new>

// Both frames define this one name, so that a binary linking both fails with a duplicate
// definition (see SEModule_base.h).
extern "C" {
extern const int32_t se_frame_flavour_in_binary;
const int32_t se_frame_flavour_in_binary = SE_FRAME_CHECKED;
}

inline namespace SE_FRAME_FLAVOUR {

const int32_t kFrameFlavourTag = SE_FRAME_CHECKED;

namespace {

#if SE_FRAME_CHECKED
// Named after the frame's source, which is what a failed precondition reports.
const char kFrameSource[] = "se_sdk/SEModule_base.cpp";
#endif

// Handled events' nodes kept for reuse, at most. A host's usual stream of events (a few per
// block) then queues without allocating and is handled without freeing, while a burst of
// thousands of events does not leave all their nodes behind for the module's lifetime.
const int32_t kMaxSpareEvents = 256;

// More pins than any module describes; a host that answers GetPinCount with more than this is
// not honoured beyond it, so that a wild answer cannot allocate gigabytes or stall in Open.
const int32_t kMaxPins = 1 << 16;

// A pin status that lasts only while the module is told of the update; the frame gives no other
// status a meaning.
const int32_t kNotificationOnlyStatus = 1;

void ReportToStandardError(const char* condition, const char* source_file) {
  std::fprintf(stderr, "%s: failed condition: %s\n", source_file, condition);
}

SeFailureReporter g_failure_reporter = ReportToStandardError;

// The distance of `time_stamp` ahead of `clock`; 2^31 or more means it is behind the clock.
inline uint32_t Ahead(uint32_t time_stamp, uint32_t clock) { return time_stamp - clock; }
inline bool IsBehind(uint32_t time_stamp, uint32_t clock) {
  return Ahead(time_stamp, clock) >= 0x80000000u;
}

// Tests one of the host's preconditions in the checked frame and reports `text` when it fails.
// The lean frame trusts the host; both then carry on safely.
#if SE_FRAME_CHECKED
#define SE_REQUIRE(condition, text)                           \
  do {                                                        \
    if (!(condition)) g_failure_reporter(text, kFrameSource); \
  } while (0)
#else
#define SE_REQUIRE(condition, text) \
  do {                              \
  } while (0)
#endif

}  // namespace

void SetFailureReporter(SeFailureReporter reporter) {
  g_failure_reporter = reporter ? reporter : ReportToStandardError;
}

// ---- SEPin ------------------------------------------------------------------------------------

void SEPin::Init(SEModule_base* module, int32_t index, int32_t datatype, void* variable_address) {
  m_variable = variable_address;
  m_module = module;
  m_index = index;
  m_status = 0;
  m_datatype = datatype;
}

void SEPin::UpdateFromEvent(int32_t status, int32_t value) {
  m_status = status;
  if (m_variable != nullptr) {
    switch (static_cast<PinDatatype>(m_datatype)) {
      case PinDatatype::Enum:
        *static_cast<int16_t*>(m_variable) = static_cast<int16_t>(value & 0xFFFF);
        break;
      case PinDatatype::Bool:
        *static_cast<uint8_t*>(m_variable) = value != 0 ? 1 : 0;
        break;
      case PinDatatype::Int:
        *static_cast<int32_t*>(m_variable) = value;
        break;
      default:
        break;
    }
  }
  if (m_datatype == static_cast<int32_t>(PinDatatype::Indirect)) {
    Request(HostOpcode::ForwardPinValue, value, 0);
  }
  if (m_module != nullptr) m_module->OnPinChanged(this);
  if (status == kNotificationOnlyStatus) m_status = 0;
}

int32_t SEPin::Request(HostOpcode opcode, int32_t value, uint32_t time_stamp) {
  // The frame's inert pin belongs to no module and reaches nobody.
  if (m_module == nullptr) return 0;
  return m_module->CallHost(opcode, m_index, value,
                            reinterpret_cast<void*>(static_cast<uintptr_t>(time_stamp)), 0.0f);
}

int32_t SEPin::TransmitStatus(uint32_t time_stamp, int32_t status) {
  return Request(HostOpcode::SetPinStatus, status, time_stamp);
}

#if !SE_FRAME_CHECKED
int32_t SEPin::TransmitValue(uint32_t time_stamp, int32_t value) {
  return Request(HostOpcode::PinRequest4, value, time_stamp);
}

bool SEPin::HostQuery() { return Request(HostOpcode::QueryPin, 0, 0) != 0; }

float SEPin::ValueAtClock() {
  const uint32_t start = static_cast<uint32_t>(Request(HostOpcode::GetBufferStartClock, 0, 0));
  // Only an audio pin's variable holds a buffer, and the host's buffers hold BlockSize() samples
  // (dispatcher opcode 3): a position the host's answer puts outside them is answered 0, not read.
  if (m_module == nullptr || m_variable == nullptr ||
      m_datatype != static_cast<int32_t>(PinDatatype::Audio)) {
    return 0.0f;
  }
  const float* buffer = *static_cast<float* const*>(m_variable);
  const uint32_t position = m_module->SampleClock() - start;
  const int32_t length = m_module->BlockSize();
  if (buffer == nullptr || length <= 0 || position >= static_cast<uint32_t>(length)) return 0.0f;
  return buffer[position];
}
#endif

// ---- Construction and the record's entries ------------------------------------------------------

SEModule_base::SEModule_base(HostCallback host)
    : m_pins(nullptr),
      m_sample_clock(0),
      m_sub_process(&SEModule_base::DoNothing),
      m_events(nullptr),
      m_pin_count(0) {
  m_host_callback = host;
  std::memset(&m_record, 0, sizeof(m_record));
  m_record.magic = kModuleRecordMagic;
  m_record.dispatcher = &SEModule_base::RecordDispatcher;
  m_record.reserved20 = 0;
  m_record.reserved24 = 0;
  m_record.reserved28 = 0;
  m_record.object = static_cast<SEModule_base*>(this);
  m_record.reserved36 = 0;
  m_record.reserved40 = 1;
  m_record.process = &SEModule_base::RecordProcess;
  m_sample_rate = 44100.0f;
  m_block_size = 1024;
  // GetPin's answer while no pin table exists: bound to nothing and owned by no module.
  m_inert_pin.Init(nullptr, -1, -1, nullptr);
  m_spare_events = nullptr;
  m_spare_count = 0;
}

SEModule_base::~SEModule_base() {
  ReleaseEvents();
  ReleasePins();
}

int32_t SE_CDECL SEModule_base::RecordDispatcher(ModuleRecord* record, int32_t opcode,
                                                 int32_t index, int32_t value, void* ptr,
                                                 float opt) {
  SEModule_base* module = FromRecord(record);
  if (opcode == static_cast<int32_t>(ModuleOpcode::Close)) {
    // The host lets go of the record whatever happens: a Close that throws still destroys.
    try {
      module->Dispatch(opcode, index, value, ptr, opt);
    } catch (...) {
    }
    delete module;
    return 1;
  }
  try {
    return module->Dispatch(opcode, index, value, ptr, opt);
  } catch (...) {
    return 0;
  }
}

void SE_CDECL SEModule_base::RecordProcess(ModuleRecord* record, int32_t buffer_offset,
                                           int32_t sampleFrames) {
  SEModule_base* module = FromRecord(record);
  const uint32_t block_end = module->m_sample_clock + static_cast<uint32_t>(sampleFrames);
  try {
    module->Process(buffer_offset, sampleFrames);
  } catch (...) {
    // The block ends here, whatever of it was rendered: the clock goes on with the host's, and
    // the events that fell in the rest of the block are handled at the next block's first sample.
    if (sampleFrames > 0) module->MoveClockTo(block_end);
  }
}

int32_t SEModule_base::Dispatch(int32_t opcode, int32_t index, int32_t value, void* ptr,
                                float opt) {
  // Every 32-bit value is a value of the enumeration (its underlying type is int32_t); one that
  // names no opcode, a negative one included, takes the default.
  const ModuleOpcode request = static_cast<ModuleOpcode>(opcode);
  // A host queues events at automation rate, far more often than it sends anything else. Tested
  // before the switch: the switch's jump table costs an indirect jump, which on the audio thread
  // was a measurable share of what an event costs.
  if (request == ModuleOpcode::AddEvent) {
    if (ptr != nullptr) AddEvent(static_cast<const SeEvent*>(ptr));
    return 0;
  }
  switch (request) {
    case ModuleOpcode::Open:
      Open();
      return 0;
    case ModuleOpcode::Close:
      Close();
      return 0;
    case ModuleOpcode::SetSampleRate:
      SetSampleRate(opt);
      return 0;
    case ModuleOpcode::SetBlockSize:
      SetBlockSize(value);
      return 0;
    case ModuleOpcode::OpaqueQuery4:
      return ptr != nullptr && OpaqueQuery4(ptr) ? 1 : 0;
    case ModuleOpcode::OpaqueQuery5:
      return ptr != nullptr && OpaqueQuery5(ptr) ? 1 : 0;
    case ModuleOpcode::GetPinProperties:
      return ptr != nullptr && GetPinProperties(index, static_cast<PinDescription*>(ptr)) ? 1 : 0;
    case ModuleOpcode::Resume:
      Resume();
      return 0;
    case ModuleOpcode::GetModuleProperties:
      return ptr != nullptr && GetModuleProperties(static_cast<ModuleProperties*>(ptr)) ? 1 : 0;
    case ModuleOpcode::QueueEmpty:
      return m_events == nullptr ? 1 : 0;
    default:
      return 0;
  }
}

int32_t SEModule_base::CallHost(HostOpcode opcode, int32_t index, int32_t value, void* ptr,
                                float opt) {
  if (m_host_callback == nullptr) return 0;
  return m_host_callback(&m_record, static_cast<int32_t>(opcode), index, value, ptr, opt);
}

// ---- Default virtual operations ---------------------------------------------------------------

void SEModule_base::OnPinChanged(SEPin*) {}
void SEModule_base::Close() {}
void SEModule_base::SpareHook(int32_t, int32_t) {}
void SEModule_base::SetSampleRate(float sample_rate) { m_sample_rate = sample_rate; }
void SEModule_base::SetBlockSize(int32_t block_size) { m_block_size = block_size; }
float SEModule_base::SampleRate() { return m_sample_rate; }
int32_t SEModule_base::BlockSize() { return m_block_size; }
bool SEModule_base::GetModuleProperties(ModuleProperties*) { return false; }
bool SEModule_base::GetPinProperties(int32_t, PinDescription*) { return false; }
bool SEModule_base::OpaqueQuery5(void*) { return false; }
bool SEModule_base::OpaqueQuery4(void*) { return false; }
void SEModule_base::OnDataEvent(uint32_t, int32_t, int16_t) {}
void SEModule_base::DoNothing(int32_t, int32_t) {}

// ---- Pins -------------------------------------------------------------------------------------

void SEModule_base::Open() {
  m_sample_clock = static_cast<uint32_t>(CallHost(HostOpcode::GetSampleClock, 0, 0, nullptr, 0.0f));

  PinDescription description;
  std::memset(&description, 0, sizeof(description));
  int32_t described = 0;
  while (described < kMaxPins && GetPinProperties(described, &description)) ++described;

  const int32_t host_count = CallHost(HostOpcode::GetPinCount, 0, 0, nullptr, 0.0f);
  int32_t count = described;
  // Extra pins copy the last described pin; a module with no pins has nothing to copy them from.
  if (described > 0 && host_count > count) count = host_count < kMaxPins ? host_count : kMaxPins;

  // A second Open rebuilds the table from scratch.
  ReleasePins();
  if (count == 0) return;
  SEPin* pins = new (std::nothrow) SEPin[count];
  if (pins == nullptr) return;  // m_pins stays null; GetPin then answers the inert pin
  m_pins = pins;
  m_pin_count = count;

  for (int32_t i = 0; i < described && GetPinProperties(i, &description); ++i) {
    m_pins[i].Init(this, i, description.datatype, description.variable_address);
  }
  GetPinProperties(described - 1, &description);
  for (int32_t i = described; i < count; ++i) {
#if SE_FRAME_CHECKED
    const int32_t reported_index = described - 1;
#else
    const int32_t reported_index = i;
#endif
    m_pins[i].Init(this, reported_index, description.datatype, description.variable_address);
  }
}

SEPin* SEModule_base::GetPin(int32_t index) {
  SE_REQUIRE(m_pins != nullptr, "m_pins != 0");
  if (m_pins == nullptr) return &m_inert_pin;
  return &m_pins[index];
}

void SEModule_base::ReleasePins() {
  delete[] m_pins;
  m_pins = nullptr;
  m_pin_count = 0;
}

// ---- Events and block processing --------------------------------------------------------------

void SEModule_base::AddEvent(const SeEvent* p_event) {
  // A deferred call holds a function the frame would call; one made by the host would make the
  // frame call through a pointer it never created.
  if (p_event->event_type == static_cast<int32_t>(SeEventType::DeferredCall)) return;
  SeEvent* node = NewEventNode();
  if (node == nullptr) return;
  node->time_stamp = p_event->time_stamp;
  node->event_type = p_event->event_type;
  node->value1 = p_event->value1;
  node->value2 = p_event->value2;
  node->data = p_event->data;
  node->next = nullptr;
  InsertEvent(node);
}

SeEvent* SEModule_base::NewEventNode() {
  if (m_spare_events == nullptr) return new (std::nothrow) SeEvent;
  SeEvent* node = m_spare_events;
  m_spare_events = node->next;
  --m_spare_count;
  return node;
}

void SEModule_base::RecycleEventNode(SeEvent* node) {
  if (m_spare_count >= kMaxSpareEvents) {
    delete node;
    return;
  }
  node->next = m_spare_events;
  m_spare_events = node;
  ++m_spare_count;
}

void SEModule_base::InsertEvent(SeEvent* node) {
  SE_REQUIRE(!IsBehind(node->time_stamp, SampleClock()), "p_event->time_stamp >= SampleClock()");
  LinkInTimeOrder(node);
}

void SEModule_base::LinkInTimeOrder(SeEvent* node) {
  // A stale event is handled at the first sample that is still to come.
  if (IsBehind(node->time_stamp, m_sample_clock)) node->time_stamp = m_sample_clock;
  const uint32_t ahead = Ahead(node->time_stamp, m_sample_clock);
  SeEvent** link = &m_events;
  while (*link != nullptr && Ahead((*link)->time_stamp, m_sample_clock) <= ahead) {
    link = &(*link)->next;
  }
  node->next = *link;
  *link = node;
}

#if !SE_FRAME_CHECKED
void SEModule_base::ScheduleDeferred(uint32_t time_stamp, DeferredFunction function) {
  DeferredCall* call = new (std::nothrow) DeferredCall;
  if (call == nullptr) return;
  call->target = this;
  call->function = function;
  SeEvent* node = NewEventNode();
  if (node == nullptr) {
    delete call;
    return;
  }
  node->time_stamp = time_stamp;
  node->event_type = static_cast<int32_t>(SeEventType::DeferredCall);
  node->value1 = 0;
  node->value2 = 0;
  node->data = call;
  node->next = nullptr;
  InsertEvent(node);
}
#endif

void SEModule_base::Process(int32_t buffer_offset, int32_t sampleFrames) {
  SE_REQUIRE(sampleFrames > 0, "sampleFrames > 0");
  // Nothing to render: the clock and the queue stay as they are.
  if (sampleFrames <= 0) return;

  uint32_t remaining = static_cast<uint32_t>(sampleFrames);
  while (m_events != nullptr) {
    SeEvent* next_event = m_events;
    const uint32_t current_sample_clock = m_sample_clock;
    SE_REQUIRE(!IsBehind(next_event->time_stamp, current_sample_clock),
               "next_event->time_stamp >= current_sample_clock");
    if (IsBehind(next_event->time_stamp, current_sample_clock)) {
      next_event->time_stamp = current_sample_clock;
    }
    const uint32_t span = Ahead(next_event->time_stamp, current_sample_clock);
    // Due at the block's end or later: it waits for a later block.
    if (span >= remaining) break;
    if (span != 0) {
      (this->*m_sub_process)(buffer_offset, static_cast<int32_t>(span));
      m_sample_clock = current_sample_clock + span;
      remaining -= span;
      buffer_offset += static_cast<int32_t>(span);
    }
    // Unlinked before it is handled, so a handler that queues events sees a consistent queue,
    // and handled from a copy, so that the node is back on the spare list even if the handler
    // throws.
    m_events = next_event->next;
    SeEvent due = *next_event;
    RecycleEventNode(next_event);
    HandleEvent(&due);
  }
  SE_REQUIRE(remaining > 0, "sampleFrames > 0");
  (this->*m_sub_process)(buffer_offset, static_cast<int32_t>(remaining));
  m_sample_clock += remaining;
}

void SEModule_base::HandleEvent(SeEvent* e) {
  SE_REQUIRE(e->time_stamp == SampleClock(), "e->time_stamp == SampleClock()");
  switch (static_cast<SeEventType>(e->event_type)) {
    case SeEventType::PinUpdate: {
      const intptr_t pin_index = reinterpret_cast<intptr_t>(e->data);
      if (pin_index >= 0 && pin_index < m_pin_count) {
        GetPin(static_cast<int32_t>(pin_index))->UpdateFromEvent(e->value1, e->value2);
      }
      break;
    }
    case SeEventType::DataEvent:
      OnDataEvent(e->time_stamp, e->value1, static_cast<int16_t>(e->value2 & 0xFFFF));
      break;
    case SeEventType::DeferredCall: {
      // Freed before the call, so that a call that throws leaves nothing behind.
      DeferredCall* call = static_cast<DeferredCall*>(e->data);
      e->data = nullptr;
      if (call != nullptr) {
        const DeferredCall due = *call;
        delete call;
        (due.target->*due.function)();
      }
      break;
    }
    default:
      break;
  }
}

void SEModule_base::Resume() {
  MoveClockTo(static_cast<uint32_t>(CallHost(HostOpcode::GetSampleClock, 0, 0, nullptr, 0.0f)));
}

void SEModule_base::MoveClockTo(uint32_t clock) {
  m_sample_clock = clock;
  // Events behind the new clock are lifted to it. The queue is re-sorted stably by distance from
  // the new clock, which keeps equal-stamped events in the order they were added even when the
  // clock moved backwards.
  SeEvent* pending = m_events;
  m_events = nullptr;
  while (pending != nullptr) {
    SeEvent* node = pending;
    pending = pending->next;
    LinkInTimeOrder(node);
  }
}

void SEModule_base::ReleaseEvents() {
  while (m_events != nullptr) {
    SeEvent* node = m_events;
    m_events = node->next;
    if (node->event_type == static_cast<int32_t>(SeEventType::DeferredCall)) {
      delete static_cast<DeferredCall*>(node->data);
    }
    delete node;
  }
  while (m_spare_events != nullptr) {
    SeEvent* node = m_spare_events;
    m_spare_events = node->next;
    delete node;
  }
  m_spare_count = 0;
}

}  // namespace SE_FRAME_FLAVOUR
