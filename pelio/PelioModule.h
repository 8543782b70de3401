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
  // Renders samples [buffer_offset, buffer_offset + sampleFrames) of the output. Allocates
  // nothing and calls nothing but the kernel. A span that is not the last of its block may be
  // held back and rendered together with the spans after it, which gives the same bits: the
  // samples depend on each other only through the phase, and a span set up from the same inputs
  // as the one before it goes on from where that one ends. An event that changes nothing the
  // renderer reads (a status, a setting set to the value it has) then costs no restart of the
  // renderer. Everything is rendered by the end of the block's last span.
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
  // Renders the span held back by sub_process, if there is one.
  void RenderHeldSpan();
  // Whether the span [buffer_offset, buffer_offset + sampleFrames) can be rendered as the rest
  // of the held one (there must be one).
  bool JoinsHeldSpan(int32_t buffer_offset, int32_t sampleFrames) const;
  // Renders the held span, then sets up the span [buffer_offset, buffer_offset + sampleFrames)
  // and holds it, or renders it if it is the last span of the block.
  __attribute__((noinline)) void StartSpan(int32_t buffer_offset, int32_t sampleFrames);

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

  // What a span's set-up reads, as sub_process found it at the span's first sample.
  struct HeldInputs {
    float amplitude[pelio::kMaxHarmonics];
    float pitch;
    int16_t freq_scale;
    int16_t harmonics;
    int16_t quality;
  };

  // The span not yet rendered, which the next span of the block may extend, with the inputs it
  // was set up from and the buffer offset where it starts. m_held.sample_count is 0 when none is
  // held; m_held.amplitude points at m_held_inputs.amplitude.
  pelio::SpanSettings m_held;
  HeldInputs m_held_inputs;
  int32_t m_held_offset;
};
