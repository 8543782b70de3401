// Pelio's module class: what the host learns about it, the pin table, the reset at open and the
// renderer of one span.
#include "pelio/PelioModule.h"

#include <cstdint>
#include <cstring>

namespace {

const char kName[] = "ZO-Pelio";
const char kId[] = "ZO Pelio";
const char kAbout[] =
    "Pelio v0.6\n"
    "\n"
    "Quick Help:\n"
    "Pitch - the pitch of the fundamental\n"
    "Harmonics - number of harmonics to calculate\n"
    "1f - amount of the fundamental frequency\n"
    "2f - amount of the second harmonic\n"
    "...\n"
    "16f - amount of the sixteenth harmonic\n"
    "mod - this works like a low-pass filter\n";

// What SetPinStatus tells the host about "Output" at open.
const int32_t kOutputStatusAtOpen = 2;

struct PinText {
  const char* name;
  PinDirection direction;
  PinDatatype datatype;
  const char* default_value;
  const char* extra;  // null: the caller's field is left as it is
};

constexpr PinDirection kIn = PinDirection::Input;
constexpr PinDirection kOut = PinDirection::Output;
constexpr PinDirection kSetting = PinDirection::Setting;
constexpr PinDatatype kAudio = PinDatatype::Audio;
constexpr PinDatatype kEnum = PinDatatype::Enum;

const PinText kPins[PelioModule::kPinCount] = {
    {"Pitch", kIn, kAudio, "5", nullptr},
    {"Harmonics", kIn, kEnum, "16", "1=1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16"},
    {"1f", kIn, kAudio, "0", nullptr},
    {"2f", kIn, kAudio, "0", nullptr},
    {"3f", kIn, kAudio, "0", nullptr},
    {"4f", kIn, kAudio, "0", nullptr},
    {"5f", kIn, kAudio, "0", nullptr},
    {"6f", kIn, kAudio, "0", nullptr},
    {"7f", kIn, kAudio, "0", nullptr},
    {"8f", kIn, kAudio, "0", nullptr},
    {"9f", kIn, kAudio, "0", nullptr},
    {"10f", kIn, kAudio, "0", nullptr},
    {"11f", kIn, kAudio, "0", nullptr},
    {"12f", kIn, kAudio, "0", nullptr},
    {"13f", kIn, kAudio, "0", nullptr},
    {"14f", kIn, kAudio, "0", nullptr},
    {"15f", kIn, kAudio, "0", nullptr},
    {"16f", kIn, kAudio, "0", nullptr},
    {"Mod", kIn, kAudio, "20", "20,-20,20,-20"},
    {"Output", kOut, kAudio, "0", nullptr},
    {"Freq Scale", kSetting, kEnum, "0", "1 Volt/Octave,1 Volt/kHz"},
    {"Quality", kSetting, kEnum, "0", "Normal,High,Ultra-High"},
};

const int32_t kPitchPin = 0;
const int32_t kHarmonicsPin = 1;
const int32_t kFirstAmplitudePin = 2;
const int32_t kModPin = 18;
const int32_t kFreqScalePin = 20;
const int32_t kQualityPin = 21;

}  // namespace

PelioModule::PelioModule(HostCallback host)
    : SEModule_base(host),
      m_pitch(nullptr),
      m_amplitude(),
      m_mod(nullptr),
      m_output(nullptr),
      m_increment(0.0f),
      m_oscillator(),
      m_radians_per_hz(pelio::RadiansPerHertz(m_sample_rate)),
      // The pins' default items, until the host says otherwise.
      m_freq_scale(0),
      m_quality(0),
      m_harmonics(pelio::kMaxHarmonics),
      m_isa(pelio::BestIsa()),
      m_renderer(pelio::RendererFor(m_isa)),
      m_tuning_inputs(),
      m_tuning(),
      m_tuning_valid(false) {
  m_oscillator.phase = -pelio::kPi;
  SetSubProcess(&PelioModule::sub_process);
}

bool PelioModule::UseIsa(pelio::Isa isa) {
  if (!pelio::IsaSupported(isa)) return false;
  m_isa = isa;
  m_renderer = pelio::RendererFor(isa);
  return true;
}

PelioModule::~PelioModule() {}

void PelioModule::OnPinChanged(SEPin*) {}

void PelioModule::Open() {
  SEModule_base::Open();
  m_oscillator.phase = -pelio::kPi;
  m_oscillator.prev = 0.0f;
  m_oscillator.prev2 = 0.0f;
  m_radians_per_hz = pelio::RadiansPerHertz(SampleRate());
  m_tuning_valid = false;
  GetPin(kOutputPin)->TransmitStatus(SampleClock(), kOutputStatusAtOpen);
}

bool PelioModule::GetModuleProperties(ModuleProperties* properties) {
  properties->name = kName;
  properties->id = kId;
  properties->about = kAbout;
  return true;
}

bool PelioModule::GetPinProperties(int32_t index, PinDescription* description) {
  if (static_cast<uint32_t>(index) >= static_cast<uint32_t>(kPinCount)) return false;
  const PinText& pin = kPins[index];
  description->variable_address = PinVariable(index);
  description->direction = static_cast<int32_t>(pin.direction);
  description->datatype = static_cast<int32_t>(pin.datatype);
  description->name = pin.name;
  description->default_value = pin.default_value;
  if (pin.extra != nullptr) description->extra = pin.extra;
  return true;
}

void* PelioModule::PinVariable(int32_t index) {
  if (index >= kFirstAmplitudePin && index < kFirstAmplitudePin + pelio::kMaxHarmonics) {
    return &m_amplitude[index - kFirstAmplitudePin];
  }
  switch (index) {
    case kPitchPin:
      return &m_pitch;
    case kHarmonicsPin:
      return &m_harmonics;
    case kModPin:
      return &m_mod;
    case kOutputPin:
      return &m_output;
    case kFreqScalePin:
      return &m_freq_scale;
    case kQualityPin:
      return &m_quality;
    default:
      return nullptr;
  }
}

bool PelioModule::BuffersBound() const {
  if (m_pitch == nullptr || m_mod == nullptr || m_output == nullptr) return false;
  for (const float* amplitude : m_amplitude) {
    if (amplitude == nullptr) return false;
  }
  return true;
}

pelio::SpanTuning PelioModule::Tuning(float pitch) {
  TuningInputs inputs;
  inputs.freq_scale = m_freq_scale;
  inputs.harmonics = m_harmonics;
  std::memcpy(&inputs.pitch_bits, &pitch, sizeof(pitch));
  const float sample_rate = SampleRate();
  std::memcpy(&inputs.sample_rate_bits, &sample_rate, sizeof(sample_rate));
  std::memcpy(&inputs.radians_per_hz_bits, &m_radians_per_hz, sizeof(m_radians_per_hz));
  if (!m_tuning_valid || inputs.freq_scale != m_tuning_inputs.freq_scale ||
      inputs.harmonics != m_tuning_inputs.harmonics ||
      inputs.pitch_bits != m_tuning_inputs.pitch_bits ||
      inputs.sample_rate_bits != m_tuning_inputs.sample_rate_bits ||
      inputs.radians_per_hz_bits != m_tuning_inputs.radians_per_hz_bits) {
    m_tuning = pelio::TuneSpan(m_freq_scale, pitch, sample_rate, m_radians_per_hz, m_harmonics);
    m_tuning_inputs = inputs;
    m_tuning_valid = true;
  }
  return m_tuning;
}

void PelioModule::sub_process(int32_t buffer_offset, int32_t sampleFrames) {
  // A host that renders before it has bound every buffer gets nothing rather than a crash.
  if (sampleFrames <= 0 || !BuffersBound()) return;

  // Pitch and amplitudes hold for the whole span.
  float amplitude[pelio::kMaxHarmonics];
  for (int32_t i = 0; i < pelio::kMaxHarmonics; ++i) amplitude[i] = m_amplitude[i][buffer_offset];
  // The sample rate is read at every span: a new one moves the Nyquist limit at once, the pitch
  // only at the next Open (m_radians_per_hz).
  const pelio::SpanTuning tuning = Tuning(m_pitch[buffer_offset]);
  m_increment = tuning.increment;

  // "Quality" is read at every sample, but only an event changes it, and events fall between
  // spans: one reading serves the whole span.
  const pelio::SpanSettings span = {m_mod + buffer_offset,
                                    m_output + buffer_offset,
                                    sampleFrames,
                                    amplitude,
                                    tuning.increment,
                                    tuning.harmonic_count,
                                    pelio::QualityFromPin(m_quality)};
  m_renderer(span, m_oscillator);
}
