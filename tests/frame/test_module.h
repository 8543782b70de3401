// A module that exists to watch the frame work: it records every span it is asked to render,
// every pin notification and every data event, and writes a marker into its output so that a
// host outside the process can see the spans too.
//
// Pins: 0 "In" (audio input), 1 "Out" (audio output), 2 "Mode" (a setting whose data type a test
// may change before Open, bound to an 8-byte store so tests can see exactly which bytes the frame
// writes).
#pragma once

#include <cstdint>

#include "se_sdk/SEModule_base.h"

struct SpanRecord {
  int32_t buffer_offset;
  int32_t sampleFrames;
  uint32_t clock;  // SampleClock() during the call
  int renderer;    // 0 for sub_process, 1 for sub_process_alternate
};

struct PinNotice {
  int32_t pin_index;  // the index the pin reports
  int32_t status;     // the pin's status while OnPinChanged runs
  uint32_t clock;
};

class FrameTestModule : public SEModule_base {
 public:
  explicit FrameTestModule(HostCallback host);
  ~FrameTestModule() override;

  void OnPinChanged(SEPin* pin) override;
  bool GetModuleProperties(ModuleProperties* properties) override;
  bool GetPinProperties(int32_t index, PinDescription* description) override;
  void OnDataEvent(uint32_t time_stamp, int32_t value1, int16_t value2) override;
  void Close() override;
  virtual void sub_process(int32_t buffer_offset, int32_t sampleFrames);
  virtual void sub_process_alternate(int32_t buffer_offset, int32_t sampleFrames);

  // Output marker: Out[i] = In[i] + 100 * Mode (low 16 bits, as an int16) + 1000 * renderer.
  float* m_in = nullptr;
  float* m_out = nullptr;
  union {
    uint64_t m_mode_store;
    int16_t m_mode;
  };
  int32_t m_mode_datatype = static_cast<int32_t>(PinDatatype::Enum);

  // When set, the next notification of pin 2 switches the renderer.
  bool m_switch_on_pin_change = false;
  // Module code that throws: the next this many pin notifications, and Close when set.
  int m_pin_changes_that_throw = 0;
  bool m_close_throws = false;
  // Test modules alive, to see that a close destroys one.
  static inline int live_modules = 0;

  static const int kMaxRecords = 64;
  SpanRecord m_spans[kMaxRecords];
  int m_span_count = 0;
  PinNotice m_notices[kMaxRecords];
  int m_notice_count = 0;
  uint32_t m_data_events[kMaxRecords][3];
  int m_data_event_count = 0;
  int m_deferred_calls = 0;
  uint32_t m_deferred_clock = 0;

  void CountDeferredCall();
  void ThrowingDeferredCall();

 private:
  void Render(int32_t buffer_offset, int32_t sampleFrames, int renderer);
};
