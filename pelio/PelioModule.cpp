// Pelio's module class: what the host learns about it, the pin table, the reset at open and the
// renderer of one span.
#include "pelio/PelioModule.h"

#include <cstdint>
#include <cstring>

// Whether a span that is not the last of its block is held back, to be rendered together with
// the spans after it (1, every build that ships or is tested). 0 exists only for a comparison
// build of the benchmark (bench/CMakeLists.txt), which times what the hold-back saves: every span
// is then rendered as it comes.
#ifndef PELIO_HOLD_SPANS
#define PELIO_HOLD_SPANS 1
#endif

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

uint32_t FloatBits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

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
      m_tuning_valid(false),
      m_held(),
      m_held_inputs(),
      m_held_offset(0) {
  m_held.amplitude = m_held_inputs.amplitude;
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

void PelioModule::RenderHeldSpan() {
  if (m_held.sample_count <= 0) return;
  m_renderer(m_held, m_oscillator);
  m_held.sample_count = 0;
}

void PelioModule::sub_process(int32_t buffer_offset, int32_t sampleFrames) {
  // A span is held only inside Process and with every buffer bound.
  if (m_held.sample_count > 0 && JoinsHeldSpan(buffer_offset, sampleFrames)) {
    m_held.sample_count += sampleFrames;
    if (SpanEndsBlock(buffer_offset, sampleFrames)) RenderHeldSpan();
    return;
  }
  StartSpan(buffer_offset, sampleFrames);
}

bool PelioModule::JoinsHeldSpan(int32_t buffer_offset, int32_t sampleFrames) const {
  // It must start where the held span ends and find every input of the set-up as that one
  // did, bit for bit. The sample rate and the phase step of 1 Hz do not change inside Process,
  // so the same inputs give the same tuning.
  if (static_cast<int64_t>(m_held_offset) + m_held.sample_count != buffer_offset ||
      sampleFrames <= 0 || m_held.sample_count > INT32_MAX - sampleFrames) {
    return false;
  }
  uint32_t differing = FloatBits(m_pitch[buffer_offset]) ^ FloatBits(m_held_inputs.pitch);
  differing |= static_cast<uint16_t>(m_freq_scale ^ m_held_inputs.freq_scale);
  differing |= static_cast<uint16_t>(m_harmonics ^ m_held_inputs.harmonics);
  differing |= static_cast<uint16_t>(m_quality ^ m_held_inputs.quality);
#pragma GCC unroll 16
  for (int32_t i = 0; i < pelio::kMaxHarmonics; ++i) {
    differing |= FloatBits(m_amplitude[i][buffer_offset]) ^ FloatBits(m_held_inputs.amplitude[i]);
  }
  return differing == 0;
}

void PelioModule::StartSpan(int32_t buffer_offset, int32_t sampleFrames) {
  RenderHeldSpan();
  // A host that renders before it has bound every buffer gets nothing rather than a crash.
  if (!BuffersBound()) return;

  // Pitch and amplitudes hold for the whole span.
  const float pitch = m_pitch[buffer_offset];
  for (int32_t i = 0; i < pelio::kMaxHarmonics; ++i) {
    m_held_inputs.amplitude[i] = m_amplitude[i][buffer_offset];
  }
  m_held_inputs.pitch = pitch;
  m_held_inputs.freq_scale = m_freq_scale;
  m_held_inputs.harmonics = m_harmonics;
  m_held_inputs.quality = m_quality;
  // The sample rate is read at every span: a new one moves the Nyquist limit at once, the pitch
  // only at the next Open (m_radians_per_hz).
  const pelio::SpanTuning tuning = Tuning(pitch);
  m_increment = tuning.increment;

  m_held_offset = buffer_offset;
  m_held.mod = m_mod + buffer_offset;
  m_held.output = m_output + buffer_offset;
  m_held.sample_count = sampleFrames;
  m_held.increment = tuning.increment;
  m_held.harmonic_count = tuning.harmonic_count;
  // "Quality" is read at every sample, but only an event changes it, and events fall between
  // spans: one reading serves the whole span.
  m_held.quality = pelio::QualityFromPin(m_quality);
  // Held until a span of the same block comes that does not join it, or the block ends.
  if (!PELIO_HOLD_SPANS || SpanEndsBlock(buffer_offset, sampleFrames)) RenderHeldSpan();
}
