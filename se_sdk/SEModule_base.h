// The module frame: everything a module needs to be a plug-in of this host, so that a module
// class only describes its pins and renders spans.
//
// The frame owns the host-facing record, turns dispatcher opcodes into virtual calls, builds the
// pin table at open, keeps a time-ordered event queue and cuts every audio block at the queued
// event times, so the module's sub-process only ever sees spans in which nothing changes.
//
// Two flavours of the frame ship, chosen at compile time with SE_FRAME_CHECKED; each module
// library is built on one of them:
//   1, the checked frame: tests the host's preconditions and reports each failed one, with its
//     text and this frame's source file, through the failure reporter; extra pins report the
//     index of the last described pin.
//   0, the lean frame: trusts the host and tests nothing; extra pins report their own index; the
//     pins carry the host requests TransmitValue, HostQuery and ValueAtClock, and the module may
//     schedule deferred calls of its own member functions (ScheduleCall).
// Each flavour declares its classes in an inline namespace named after it (checked_frame,
// lean_frame): a module derives from plain `SEModule_base` either way, but the two flavours'
// classes are different classes with different symbols. Code compiled for one flavour therefore
// does not link against the other's frame, and the two frames do not link into one binary (both
// define se_frame_flavour_in_binary), so translation units that disagree on the flavour make a
// link error instead of silently disagreeing on the class.
//
// Whatever the flavour, a host that breaks its contract never crashes or hangs the frame: a block
// of length 0 or less renders nothing, an event stamped before the clock is handled at the next
// sample that is rendered, an event for a pin that does not exist is dropped, and a deferred-call
// event from the host is refused.
//
// Memory is allocated only at open (the pin table) and when an event is queued (one node). A
// handled event's node is kept for the next event instead of being freed (up to 256 of them), so
// that a steady stream of events (automation, one every few samples) stops allocating and
// freeing once the queue has reached its usual depth; all nodes are freed with the module.
// Rendering a block with no queued event allocates nothing.
#pragma once

#include <cstdint>

#include "se_sdk/se_abi.h"

#ifndef SE_FRAME_CHECKED
#error "define SE_FRAME_CHECKED as 1 (the checked frame) or 0 (the lean frame)"
#endif

#if SE_FRAME_CHECKED
#define SE_FRAME_FLAVOUR checked_frame
#else
#define SE_FRAME_FLAVOUR lean_frame
#endif

inline namespace SE_FRAME_FLAVOUR {

class SEModule_base;

// Receives the text of a failed host precondition and the frame source that tested it. The
// default writes one line to standard error. Only the checked frame reports.
typedef void (*SeFailureReporter)(const char* condition, const char* source_file);
// Installs `reporter` for the whole library; null restores the default.
void SetFailureReporter(SeFailureReporter reporter);

// One pin of an open module: where its value lives and how an arriving value is converted.
class SEPin {
 public:
  SEPin() {}
  virtual ~SEPin() {}

  void Init(SEModule_base* module, int32_t index, int32_t datatype, void* variable_address);

  // Applies a pin-update event: stores the status, converts the value into the bound variable by
  // data type, notifies the module. Status 1 lasts only for the notification.
  void UpdateFromEvent(int32_t status, int32_t value);

  // SetPinStatus(m_index, status) at sample-clock time `time_stamp`; returns the host's reply.
  int32_t TransmitStatus(uint32_t time_stamp, int32_t status);

#if !SE_FRAME_CHECKED
  // PinRequest4(m_index, value) at `time_stamp`; returns the host's reply.
  int32_t TransmitValue(uint32_t time_stamp, int32_t value);
  // QueryPin(m_index): true when the host answers non-zero.
  bool HostQuery();
  // The sample of this audio pin's buffer at the module's current sample clock, placed by the
  // host's answer to GetBufferStartClock; 0 for a pin that is not an audio pin or a position
  // outside the buffer's BlockSize() samples.
  float ValueAtClock();
#endif

  int32_t Datatype() const { return m_datatype; }
  SEModule_base* Module() const { return m_module; }
  int32_t Index() const { return m_index; }
  int32_t Status() const { return m_status; }
  void* Variable() const { return m_variable; }

 private:
  int32_t Request(HostOpcode opcode, int32_t value, uint32_t time_stamp);

  void* m_variable;
  SEModule_base* m_module;
  int32_t m_index;
  int32_t m_status;
  int32_t m_datatype;
};

class SEModule_base {
 public:
  // A module's renderer for one span: samples [buffer_offset, buffer_offset + sampleFrames) of
  // every pin buffer, with sampleFrames >= 1 and no event time inside.
  typedef void (SEModule_base::*SubProcess)(int32_t buffer_offset, int32_t sampleFrames);
  // A member function run by a deferred-call event.
  typedef void (SEModule_base::*DeferredFunction)();

  explicit SEModule_base(HostCallback host);

  // The virtual operations, in the slot order the protocol's modules are written against.
  virtual void OnPinChanged(SEPin* pin);
  virtual ~SEModule_base();
  virtual void Process(int32_t buffer_offset, int32_t sampleFrames);
  virtual int32_t Dispatch(int32_t opcode, int32_t index, int32_t value, void* ptr, float opt);
  virtual void Open();
  virtual void Close();
  virtual void SpareHook(int32_t first, int32_t second);
  virtual void SetSampleRate(float sample_rate);
  virtual void SetBlockSize(int32_t block_size);
  virtual float SampleRate();
  virtual int32_t BlockSize();
  virtual void HandleEvent(SeEvent* e);
  virtual bool GetModuleProperties(ModuleProperties* properties);
  virtual bool GetPinProperties(int32_t index, PinDescription* description);
  virtual bool OpaqueQuery5(void* ptr);
  virtual bool OpaqueQuery4(void* ptr);
  virtual void Resume();
  virtual void OnDataEvent(uint32_t time_stamp, int32_t value1, int16_t value2);

  ModuleRecord* GetRecord() { return &m_record; }
  // The module that embeds `record`, a record that GetRecord returned.
  static SEModule_base* FromRecord(ModuleRecord* record) {
    return static_cast<SEModule_base*>(record->object);
  }

  // Every request to the host goes through here; answers 0 when the host gave no callback.
  int32_t CallHost(HostOpcode opcode, int32_t index, int32_t value, void* ptr, float opt);

  uint32_t SampleClock() const { return m_sample_clock; }
  void SetSampleClock(uint32_t clock) { m_sample_clock = clock; }

  // The pin at `index` of the table built by Open. Not range-checked. Before a pin table exists
  // it answers an inert pin that reaches nobody (and the checked frame reports "m_pins != 0").
  SEPin* GetPin(int32_t index);
  // Number of pins in the table (0 before Open).
  int32_t PinCount() const { return m_pin_count; }

  // Queues a copy of a host event (dispatcher opcode 7).
  void AddEvent(const SeEvent* p_event);
  bool EventsPending() const { return m_events != nullptr; }

  // Installs the renderer that Process calls for each span; looked up again for every span.
  template <class Module>
  void SetSubProcess(void (Module::*sub_process)(int32_t, int32_t)) {
    m_sub_process = static_cast<SubProcess>(sub_process);
  }

  // The frame's own sub-process: renders nothing, touches no buffer.
  void DoNothing(int32_t buffer_offset, int32_t sampleFrames);

#if !SE_FRAME_CHECKED
  // Queues a call of `function` on this module at sample-clock time `time_stamp`.
  template <class Module>
  void ScheduleCall(uint32_t time_stamp, void (Module::*function)()) {
    ScheduleDeferred(time_stamp, static_cast<DeferredFunction>(function));
  }
#endif

  // The record's two entries; their addresses are what the host finds in the record.
  static int32_t SE_CDECL RecordDispatcher(ModuleRecord* record, int32_t opcode, int32_t index,
                                           int32_t value, void* ptr, float opt);
  static void SE_CDECL RecordProcess(ModuleRecord* record, int32_t buffer_offset,
                                     int32_t sampleFrames);

 protected:
  // Fills the words of a pin's description that every module writes, for GetPinProperties.
  // `extra` (the item list or ranges) is left alone: only pins that have one write it.
  static void DescribePin(PinDescription* description, void* variable, PinDirection direction,
                          PinDatatype datatype, const char* name, const char* default_value) {
    description->variable_address = variable;
    description->direction = static_cast<int32_t>(direction);
    description->datatype = static_cast<int32_t>(datatype);
    description->name = name;
    description->default_value = default_value;
  }

  HostCallback m_host_callback;
  ModuleRecord m_record;
  float m_sample_rate;
  int32_t m_block_size;
  SEPin* m_pins;
  uint32_t m_sample_clock;
  SubProcess m_sub_process;
  SeEvent* m_events;
  int32_t m_pin_count;

 private:
#if !SE_FRAME_CHECKED
  void ScheduleDeferred(uint32_t time_stamp, DeferredFunction function);
#endif
  // A queue node: a spare one if there is one, else a new one (null if none can be had).
  SeEvent* NewEventNode();
  // Keeps a handled event's node for NewEventNode.
  void RecycleEventNode(SeEvent* node);
  void InsertEvent(SeEvent* node);
  void LinkInTimeOrder(SeEvent* node);
  // Sets the sample clock and lifts the events behind it to it (Resume, and a block that an
  // exception ended).
  void MoveClockTo(uint32_t clock);
  void ReleasePins();
  void ReleaseEvents();
  SEPin m_inert_pin;
  SeEvent* m_spare_events;  // handled events' nodes, linked through `next`
  int32_t m_spare_count;
};

// The target of a deferred-call event: owned by its event, freed when the event is handled or
// when the module is destroyed with the event still queued.
struct DeferredCall {
  SEModule_base* target;
  SEModule_base::DeferredFunction function;
};

// Defined by this flavour's frame alone (SEModule_base.cpp).
extern const int32_t kFrameFlavourTag;

}  // namespace SE_FRAME_FLAVOUR

// Every translation unit that includes this header refers to its flavour's tag, so that it pulls
// that flavour's frame into the link even if it calls nothing of the frame out of line (a module's
// entry file, say): compiled for one flavour and linked with the other's frame, it fails to link.
namespace {
[[gnu::used]] const int32_t* const se_frame_flavour_reference = &kFrameFlavourTag;
}  // namespace
