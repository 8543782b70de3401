// A module built to fail the validator and modhost's other commands in one known way at a time,
// so that their tests can see that the right named check catches each fault, and that a crash or
// a hang stays inside its check or child process and is reported as what it was.
//
// Without a fault it is a well-behaved little oscillator on the lean frame: pin 0 "In" (audio
// input, default 5 V), pin 1 "Out" (audio output), pin 2 "Gain" (setting, items x1, x2, x3).
// Out = In * (Gain + 1) + 0.1 * sin(phase), the phase advancing by 0.01 per sample, so that its
// output depends on its own state as well as on its inputs. Every library built from this file
// defines exactly one BROKEN_FAULT_<NAME> (see validate.cmake), which switches one fault on.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <thread>

#include "se_sdk/SEModule_base.h"
#include "se_sdk/se_entry.h"

namespace {

// A store to an address no process maps: a real access violation on every system. Not a null
// pointer, which the undefined-behaviour sanitizer would catch first and turn into an exit.
[[maybe_unused]] void CrashWith(int32_t value) {
  static volatile uintptr_t unmapped_address = 16;  // read at run time, so no compiler objects
  *reinterpret_cast<volatile int32_t*>(unmapped_address) = value;
}

#if defined(BROKEN_FAULT_SHARED_STATE)
// The fault: every instance advances one phase, so instances hear each other.
double g_shared_phase = 0.0;
#endif

#if defined(BROKEN_FAULT_UNTERMINATED_NAME)
// Longer than any text a host reads; its terminator lies beyond the validator's limit.
struct LongName {
  char text[70001];
  LongName() {
    std::memset(text, 'x', sizeof text - 1);
    text[sizeof text - 1] = '\0';
  }
};
LongName g_long_name;
#endif

class BrokenModule : public SEModule_base {
 public:
  explicit BrokenModule(HostCallback host) : SEModule_base(host) {
    SetSubProcess(&BrokenModule::sub_process);
#if defined(BROKEN_FAULT_WRONG_MAGIC)
    m_record.magic = 0x12345678;
#endif
#if defined(BROKEN_FAULT_BAD_REQUESTS)
    // The fault: asking the host from inside `main`, before it even has the record.
    CallHost(HostOpcode::GetSampleClock, 0, 0, nullptr, 0.0f);
#endif
  }

  void OnPinChanged(SEPin*) override {}

  void Open() override {
#if defined(BROKEN_FAULT_CRASHES_IN_OPEN)
    CrashWith(1);
#endif
#if defined(BROKEN_FAULT_HANGS_IN_OPEN)
    for (volatile int32_t forever = 1; forever != 0;) {
    }
#endif
    SEModule_base::Open();
    m_phase = 0.0;
    m_rendered = 0;
    GetPin(1)->TransmitStatus(SampleClock(), 2);
#if defined(BROKEN_FAULT_BAD_REQUESTS)
    // The fault: a request that names no record of ours, with a non-zero `opt`.
    if (m_host_callback) {
      m_host_callback(nullptr, static_cast<int32_t>(HostOpcode::GetSampleClock), 0, 0, nullptr,
                      1.0f);
    }
#endif
  }

  bool GetModuleProperties(ModuleProperties* properties) override {
#if defined(BROKEN_FAULT_CRASHES_IN_PROPERTIES)
    // The fault: dispatcher opcode 9 dereferences a null pointer.
    CrashWith(9);
#endif
    properties->name = "Broken";
    properties->id = "modhost broken module";
    properties->about = "Fails the validator on purpose\n";
    return true;
  }

  bool GetPinProperties(int32_t index, PinDescription* description) override {
    switch (index) {
      case 0:
        DescribePin(description, &m_in, PinDirection::Input, PinDatatype::Audio, "In", "5");
        return true;
      case 1:
        DescribePin(description, &m_out, PinDirection::Output, PinDatatype::Audio, "Out", "0");
        return true;
      case 2:
        DescribePin(description, &m_gain, PinDirection::Setting, PinDatatype::Enum, "Gain", "0");
#if defined(BROKEN_FAULT_UNTERMINATED_NAME)
        description->name = g_long_name.text;
#endif
        description->extra = "x1,x2,x3";
        return true;
      default:
        return false;
    }
  }

  int32_t Dispatch(int32_t opcode, int32_t index, int32_t value, void* ptr, float opt) override {
#if defined(BROKEN_FAULT_CALLS_HOST_DEFERRED)
    // The fault: a frame that believes a deferred-call event from the host and calls through it.
    if (opcode == static_cast<int32_t>(ModuleOpcode::AddEvent) && ptr != nullptr) {
      const SeEvent* event = static_cast<const SeEvent*>(ptr);
      if (event->event_type == static_cast<int32_t>(SeEventType::DeferredCall)) {
        DeferredCall* call = static_cast<DeferredCall*>(event->data);
        (call->target->*call->function)();
        return 0;
      }
    }
#endif
#if defined(BROKEN_FAULT_BAD_TRUTH_VALUES)
    // The fault: "true" that is not 1, and an answer to an opcode that does not exist.
    if (opcode == static_cast<int32_t>(ModuleOpcode::GetModuleProperties)) {
      return SEModule_base::Dispatch(opcode, index, value, ptr, opt) ? 2 : 0;
    }
    if (opcode == static_cast<int32_t>(ModuleOpcode::QueueEmpty) + 1) return 1;
#endif
    return SEModule_base::Dispatch(opcode, index, value, ptr, opt);
  }

#if defined(BROKEN_FAULT_EVENTS_AT_BLOCK_START)
  // The fault: every event due in a block is handled before the block, not at its sample.
  void Process(int32_t buffer_offset, int32_t sampleFrames) override {
    if (sampleFrames <= 0) return;
    const uint32_t end = m_sample_clock + static_cast<uint32_t>(sampleFrames);
    while (m_events != nullptr && static_cast<int32_t>(m_events->time_stamp - end) < 0) {
      SeEvent* event = m_events;
      m_events = event->next;
      event->time_stamp = m_sample_clock;
      HandleEvent(event);
      delete event;
    }
    sub_process(buffer_offset, sampleFrames);
    m_sample_clock = end;
  }
#endif

#if defined(BROKEN_FAULT_IGNORES_RESUME)
  // The fault: the clock stays where it was when the host resumes after a pause.
  void Resume() override {}
#endif

  virtual void sub_process(int32_t buffer_offset, int32_t sampleFrames) {
#if defined(BROKEN_FAULT_CRASHES)
    CrashWith(sampleFrames);
#endif
#if defined(BROKEN_FAULT_HANGS)
    for (volatile int32_t forever = 1; forever != 0;) {
    }
#endif
#if defined(BROKEN_FAULT_SLOW)
    // Not a fault for a host, only slow: a millisecond per span, so that a short render takes
    // seconds.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
#endif
#if defined(BROKEN_FAULT_CRASHES_AT_SAMPLE)
    // The fault: the module's 1000th sample since Open is never written; it crashes there.
    if (m_rendered <= kCrashSample && kCrashSample < m_rendered + sampleFrames) {
      CrashWith(sampleFrames);
    }
#endif
#if defined(BROKEN_FAULT_SHARED_STATE)
    double& phase = g_shared_phase;
#else
    double& phase = m_phase;
#endif
    const float gain = static_cast<float>(m_gain + 1);
    for (int32_t sample = buffer_offset; sample < buffer_offset + sampleFrames; ++sample) {
      const float input = m_in[sample];
#if defined(BROKEN_FAULT_STICKY_NAN)
      // The fault: the input leaks into the state, so one NaN poisons it for good.
      phase += 0.01 + 0.0 * input;
#else
      phase += 0.01;
      if (phase > 1000.0) phase -= 1000.0;
#endif
      m_out[sample] = input * gain + 0.1f * static_cast<float>(std::sin(phase));
#if defined(BROKEN_FAULT_OUTPUTS_NAN)
      // The fault: from sample 100 on, every sample is not a number.
      if (m_rendered + (sample - buffer_offset) >= 100) m_out[sample] = std::nanf("");
#endif
#if defined(BROKEN_FAULT_WRITES_INPUT)
      m_in[sample] = 0.0f;
#endif
    }
#if defined(BROKEN_FAULT_WRITES_PAST_SPAN)
    m_out[buffer_offset + sampleFrames] = 0.0f;
#endif
    m_rendered += sampleFrames;
  }

 private:
  static constexpr int64_t kCrashSample = 1000;

  float* m_in = nullptr;
  float* m_out = nullptr;
  int16_t m_gain = 0;
  double m_phase = 0.0;
  int64_t m_rendered = 0;  // samples rendered since Open
};

}  // namespace

#if defined(BROKEN_FAULT_NULL_RECORD)
// The fault: `main` never hands out a module.
extern "C" SE_EXPORT ModuleRecord* SE_CDECL se_plugin_main(HostCallback) SE_ENTRY_SYMBOL;
extern "C" SE_EXPORT ModuleRecord* SE_CDECL se_plugin_main(HostCallback) { return nullptr; }
#elif defined(BROKEN_FAULT_NO_MAIN)
// The fault: the entry is exported, but not as `main`.
extern "C" SE_EXPORT ModuleRecord* SE_CDECL broken_not_main(HostCallback host) {
  return SeCreateModule<BrokenModule>(host);
}
#else
SE_PLUGIN_ENTRY(BrokenModule)
#endif

#if defined(BROKEN_FAULT_EXTRA_EXPORT)
// The fault: a second export besides `main`.
extern "C" SE_EXPORT int32_t SE_CDECL broken_extra_export() { return 1; }
#endif
