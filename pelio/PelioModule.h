// Pelio, the additive oscillator as a module of the host: its identity, its 22 pins and the
// binding of each pin to a member, and the span renderer that feeds the pin buffers through the
// kernel in pelio_kernel.h.
//
// The module reads its pins while it renders instead of reacting to changes: pitch, amplitudes,
// "Harmonics" and "Freq Scale" at the first sample of each span, "Mod" and "Quality" at every
// sample. The frame cuts each block at every event, so a setting that changes takes effect at its
// own sample, and the phase runs on across any change.
#pragma once

#include <cstdint>

#include "pelio/pelio_kernel.h"
#include "pelio/pelio_simd.h"
#include "se_sdk/SEModule_base.h"

class PelioModule : public SEModule_base {
 public:
  // Pin indices that the module's own code refers to.
  static constexpr int32_t kPinCount = 22;
  static constexpr int32_t kOutputPin = 19;

  explicit PelioModule(HostCallback host);

  void OnPinChanged(SEPin* pin) override;
  ~PelioModule() override;
  // The frame's Open, then the oscillator reset: phase -pi, recurrence state 0, the phase step
  // of 1 Hz from the current sample rate; then "Output" announces status 2.
  void Open() override;
  bool GetModuleProperties(ModuleProperties* properties) override;
  bool GetPinProperties(int32_t index, PinDescription* description) override;
  // Renders samples [buffer_offset, buffer_offset + sampleFrames) of the output, each span as it
  // comes. Allocates nothing and calls nothing but the kernel.
  virtual void sub_process(int32_t buffer_offset, int32_t sampleFrames);

  // Renders with `isa` from now on, if the processor has it (the module starts with the best
  // one); returns whether it does. Every choice gives the same output.
  bool UseIsa(pelio::Isa isa);
  pelio::Isa CurrentIsa() const { return m_isa; }

  float Increment() const { return m_increment; }
  float Phase() const { return m_oscillator.phase; }
  float RadiansPerHz() const { return m_radians_per_hz; }
  float Multiplier() const { return m_oscillator.multiplier; }

 private:
  void* PinVariable(int32_t index);
  bool BuffersBound() const;
  // TuneSpan, recomputed only when one of its inputs differs from the last span's.
  pelio::SpanTuning Tuning(float pitch);

  float* m_pitch;
  float* m_amplitude[pelio::kMaxHarmonics];  // element i: harmonic i + 1
  float* m_mod;
  float* m_output;
  float m_increment;
  // The kernel's working state: the phase (radians, in [-pi, pi)), and the last sample's
  // multiplier, partials and last two recurrence values. Held as the renderers take it, so that
  // a span hands it over without copying.
  pelio::OscillatorState m_oscillator;
  float m_radians_per_hz;
  int16_t m_freq_scale;
  int16_t m_quality;
  int16_t m_harmonics;

  pelio::Isa m_isa;
  pelio::SpanRenderer m_renderer;
  // The inputs of the last TuneSpan and its result. A module fed a steady pitch would otherwise
  // evaluate 2^x and a division at every span, which short spans feel.
  struct TuningInputs {
    int16_t freq_scale;
    int16_t harmonics;
    uint32_t pitch_bits;
    uint32_t sample_rate_bits;
    uint32_t radians_per_hz_bits;
  };
  TuningInputs m_tuning_inputs;
  pelio::SpanTuning m_tuning;
  bool m_tuning_valid;
};
