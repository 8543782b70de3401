// Tessavine's identity, its three pins and the hand-over of each span to the sine generator.
#include "tessavine/TessavineModule.h"

namespace {

enum Pin : int32_t { kPitchPin = 0, kSignalOutPin = 1, kFreqScalePin = 2, kPinCount = 3 };

// The status "Signal Out" announces at open.
const int32_t kOutputStatus = 2;

}  // namespace

Module::Module(HostCallback host) : SEModule_base(host) {}

Module::~Module() {}

void Module::OnPinChanged(SEPin*) {}

void Module::Open() {
  SetSubProcess(&Module::sub_process);
  SEModule_base::Open();
  m_sine.Reset(SampleRate());
  GetPin(kSignalOutPin)->TransmitStatus(SampleClock(), kOutputStatus);
}

bool Module::GetModuleProperties(ModuleProperties* properties) {
  if (properties == nullptr) return false;
  properties->name = "Tessavine";
  properties->id = "morvane Tessavine";
  properties->about = "Tessavine module v 1.1\n";
  return true;
}

bool Module::GetPinProperties(int32_t index, PinDescription* description) {
  // Unsigned, so that a negative index is refused like any index past the last pin.
  if (static_cast<uint32_t>(index) >= kPinCount || description == nullptr) return false;
  switch (index) {
    case kPitchPin:
      DescribePin(description, &m_pitch, PinDirection::Input, PinDatatype::Audio, "Pitch", "5");
      break;
    case kSignalOutPin:
      DescribePin(description, &m_output, PinDirection::Output, PinDatatype::Audio, "Signal Out",
                  "0");
      break;
    case kFreqScalePin:
      DescribePin(description, &m_freq_scale, PinDirection::Setting, PinDatatype::Enum,
                  "Freq Scale", "0");
      description->extra = "1 Volt/Octave,1 Volt/kHz";
      break;
  }
  return true;
}

// Called by the frame once per span; allocates nothing and calls nothing but the generator.
void Module::sub_process(int32_t buffer_offset, int32_t sampleFrames) {
  if (sampleFrames <= 0 || m_pitch == nullptr || m_output == nullptr) return;
  m_sine.Render(m_pitch + buffer_offset, m_output + buffer_offset, sampleFrames, m_freq_scale);
}
