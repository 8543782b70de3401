// The registry's test module: a naive sawtooth or square oscillator on the lean frame, the least a
// module can be while still giving every generic check something to hear. One pitch input (one
// volt per kilohertz), one output, and a "Wave" setting so that events change the sound.
//
// Like any module it must keep the promises the checks hold every module to: finite output for any
// input and sample rate, no state shared between instances, nothing allocated while rendering.
#pragma once

#include <cstdint>

#include "se_sdk/SEModule_base.h"

class ThirdModule : public SEModule_base {
 public:
  explicit ThirdModule(HostCallback host);

  // Pin values are read while rendering, so a change needs no handling of its own.
  void OnPinChanged(SEPin* pin) override;
  // Installs sub_process, builds the pins and starts the phase at 0.
  void Open() override;
  bool GetModuleProperties(ModuleProperties* properties) override;
  bool GetPinProperties(int32_t index, PinDescription* description) override;

  // Renders samples [buffer_offset, buffer_offset + sampleFrames) of "Out".
  virtual void sub_process(int32_t buffer_offset, int32_t sampleFrames);

 private:
  float* m_pitch = nullptr;  // 0.1 (one volt) is 1 kHz
  float* m_output = nullptr;
  int16_t m_wave = 0;    // 0 sawtooth, anything else square
  double m_phase = 0.0;  // in cycles, [0, 1)
};
