// Tessavine, the quick sine oscillator: one pitch input, one audio output and the choice of pitch
// law. The class is the library's one module; the frame does the talking to the host and the
// sine itself is SineRecurrence, so this class only binds pins to members and feeds each span of
// the buffers to the generator.
#pragma once

#include <cstdint>

#include "se_sdk/SEModule_base.h"
#include "tessavine/sine_recurrence.h"

class Module : public SEModule_base {
 public:
  explicit Module(HostCallback host);
  ~Module() override;

  // Pin values are read while rendering, so a change needs no handling of its own.
  void OnPinChanged(SEPin* pin) override;
  // Installs sub_process, builds the pins, arms the generator and announces the output's status.
  void Open() override;
  bool GetModuleProperties(ModuleProperties* properties) override;
  bool GetPinProperties(int32_t index, PinDescription* description) override;

  // Renders samples [buffer_offset, buffer_offset + sampleFrames) of "Signal Out".
  virtual void sub_process(int32_t buffer_offset, int32_t sampleFrames);

 private:
  // Bound to the pins by address; the host keeps the buffer pointers current, the frame writes
  // m_freq_scale (0: one volt per octave, anything else: one volt per kilohertz). Null until the
  // host binds a buffer, and a span is rendered only when both buffers are bound.
  float* m_pitch = nullptr;
  int16_t m_freq_scale = 0;
  float* m_output = nullptr;
  // m_last_pitch, m_y1, m_y2, m_increment, m_coeff, m_frequency, m_sample_period, m_first_run.
  SineRecurrence m_sine;
};
