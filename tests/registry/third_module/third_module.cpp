// The registry's test module (see third_module.h).
#include "tests/registry/third_module/third_module.h"

#include <cmath>

namespace {

enum Pin : int32_t { kPitchPin = 0, kOutPin = 1, kWavePin = 2, kPinCount = 3 };

// One volt (0.1 in the buffer) per kilohertz.
constexpr double kHertzPerUnit = 10000.0;
constexpr float kLevel = 0.5f;

}  // namespace

ThirdModule::ThirdModule(HostCallback host) : SEModule_base(host) {}

void ThirdModule::OnPinChanged(SEPin*) {}

void ThirdModule::Open() {
  SetSubProcess(&ThirdModule::sub_process);
  SEModule_base::Open();
  m_phase = 0.0;
}

bool ThirdModule::GetModuleProperties(ModuleProperties* properties) {
  if (properties == nullptr) return false;
  properties->name = "Third Module";
  properties->id = "registry third module";
  properties->about = "A sawtooth or square oscillator that proves the module registry\n";
  return true;
}

bool ThirdModule::GetPinProperties(int32_t index, PinDescription* description) {
  // Unsigned, so that a negative index is refused like any index past the last pin.
  if (static_cast<uint32_t>(index) >= kPinCount || description == nullptr) return false;
  switch (index) {
    case kPitchPin:
      DescribePin(description, &m_pitch, PinDirection::Input, PinDatatype::Audio, "Pitch", "0.44");
      break;
    case kOutPin:
      DescribePin(description, &m_output, PinDirection::Output, PinDatatype::Audio, "Out", "0");
      break;
    case kWavePin:
      DescribePin(description, &m_wave, PinDirection::Setting, PinDatatype::Enum, "Wave", "0");
      description->extra = "Sawtooth,Square";
      break;
  }
  return true;
}

// Called by the frame once per span. A frequency that is no finite number of cycles per sample
// (a NaN or infinite pitch, a sample rate of 0) holds the phase, so the output stays finite.
void ThirdModule::sub_process(int32_t buffer_offset, int32_t sampleFrames) {
  if (sampleFrames <= 0 || m_pitch == nullptr || m_output == nullptr) return;
  const float* pitch = m_pitch + buffer_offset;
  float* output = m_output + buffer_offset;
  const double cycles_per_hertz = 1.0 / static_cast<double>(SampleRate());
  for (int32_t n = 0; n < sampleFrames; ++n) {
    const float sample = m_wave == 0 ? kLevel * static_cast<float>(2.0 * m_phase - 1.0)
                                     : (m_phase < 0.5 ? kLevel : -kLevel);
    output[n] = sample;
    const double increment = kHertzPerUnit * static_cast<double>(pitch[n]) * cycles_per_hertz;
    if (std::isfinite(increment)) {
      m_phase += increment;
      m_phase -= std::floor(m_phase);
      // A tiny negative increment can leave 1.0 after the floor's rounding.
      if (!(m_phase < 1.0)) m_phase = 0.0;
    }
  }
}
