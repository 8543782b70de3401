// libFuzzer target: modhost's readers of what a user hands it, fed arbitrary bytes. The first
// byte chooses the reader:
//   0  an automation file (one TIME:NAME=VALUE per line), then the plan of a render of Pelio
//   1  the values of --at, --set, --ramp and the time, volts and number readers
//   2  a WAV file for --input, opened and read to its end
//   3  an enumerated pin's item list and the lookup of one value in it
// A reader may refuse its input, but then with exactly one line of message and no crash, leak
// or undefined operation; what it accepts must be within the ranges it promises.
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/host_core.h"
#include "host/modhost/io/wav_io.h"
#include "host/modhost/render/control_plan.h"
#include "pelio/PelioModule.h"
#include "se_sdk/se_entry.h"

namespace {

constexpr double kSampleRate = 44100.0;
constexpr int64_t kRenderSamples = 441000;

void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "modhost input fuzzing: broken promise: %s\n", what);
    std::abort();
  }
}

void RequireOneLineMessage(const std::string& error) {
  Require(!error.empty(), "a refusal without a message");
  Require(error.find('\n') == std::string::npos, "a message of more than one line");
}

ModuleRecord* SE_CDECL CreatePelio(HostCallback host) { return SeCreateModule<PelioModule>(host); }

// Pelio's 22 pins, asked once through the host core: every kind of pin a render plans for.
const std::vector<se_host::PinInfo>& PelioPins() {
  static const std::vector<se_host::PinInfo> pins = [] {
    se_host::CreateResult created = se_host::HostedModule::Create(&CreatePelio);
    return created.module->EnumeratePins();
  }();
  return pins;
}

void Automation(const std::string& text) {
  std::vector<modhost::TimedAssignment> changes;
  std::string error;
  if (!modhost::ParseAutomation(text, "moves.txt", kSampleRate, &changes, &error)) {
    RequireOneLineMessage(error);
    return;
  }
  for (const modhost::TimedAssignment& change : changes) {
    Require(change.sample >= 0, "a change before the first sample");
    Require(!change.assignment.pin.empty() && !change.assignment.value.empty(),
            "a change with an empty pin or value");
  }
  modhost::UserControls controls;
  controls.changes = changes;
  modhost::ControlPlan plan;
  error.clear();
  if (!modhost::PlanControls(PelioPins(), controls, kRenderSamples, &plan, &error)) {
    RequireOneLineMessage(error);
    return;
  }
  int64_t previous = 0;
  for (const modhost::PinEvent& event : plan.events) {
    Require(event.sample >= previous && event.sample < kRenderSamples, "an event out of order");
    Require(event.pin >= 0 && static_cast<size_t>(event.pin) < PelioPins().size(),
            "an event for a pin the module does not have");
    previous = event.sample;
  }
}

void Values(const std::string& text) {
  std::string error;
  modhost::TimedAssignment change;
  if (!modhost::ParseTimedAssignment(text, kSampleRate, &change, &error)) {
    RequireOneLineMessage(error);
  } else {
    Require(change.sample >= 0, "--at before the first sample");
  }
  error.clear();
  modhost::Ramp ramp;
  if (!modhost::ParseRamp(text, &ramp, &error)) {
    RequireOneLineMessage(error);
  } else {
    Require(std::isfinite(ramp.from_volts) && std::isfinite(ramp.to_volts), "a ramp to infinity");
  }
  error.clear();
  modhost::Assignment assignment;
  if (!modhost::ParseAssignment(text, &assignment, &error)) RequireOneLineMessage(error);
  error.clear();
  int64_t sample = 0;
  if (!modhost::ParseTime(text, kSampleRate, &sample, &error)) {
    RequireOneLineMessage(error);
  } else {
    Require(sample >= 0, "a negative time");
  }
  error.clear();
  double volts = 0;
  if (!modhost::ParseVolts(text, &volts, &error)) {
    RequireOneLineMessage(error);
  } else {
    Require(std::isfinite(volts), "volts that are not finite");
  }
  error.clear();
  double seconds = 0;
  if (!modhost::ParseSeconds(text, &seconds, &error)) {
    RequireOneLineMessage(error);
  } else {
    Require(std::isfinite(seconds) && seconds >= 0, "seconds out of range");
  }
  error.clear();
  int64_t number = 0;
  if (!modhost::ParseWholeNumber(text, -1000, 1000000, &number, &error)) {
    RequireOneLineMessage(error);
  } else {
    Require(number >= -1000 && number <= 1000000, "a number out of its range");
  }
}

void Wav(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/modhost_input_fuzz_" + std::to_string(getpid()) + ".wav";
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  modhost::WavReader reader;
  std::string error;
  if (!reader.Open(path, static_cast<int>(kSampleRate), &error)) {
    RequireOneLineMessage(error);
  } else {
    Require(reader.frames() >= 0, "a negative length");
    std::vector<float> samples(4096);
    // Past the end the reader gives zeros; read a little beyond it.
    for (int64_t read = 0; read < reader.frames() + 4096 && read < (1 << 20); read += 4096) {
      if (!reader.Read(samples.data(), 4096, &error)) {
        RequireOneLineMessage(error);
        break;
      }
    }
  }
  std::remove(path.c_str());
}

void EnumItems(const std::string& text) {
  const size_t split = text.find('\n');
  const std::vector<modhost::EnumItem> items = modhost::ParseEnumItems(text.substr(0, split));
  if (split == std::string::npos) return;
  int32_t value = 0;
  std::string error;
  const std::string wanted = text.substr(split + 1);
  if (!modhost::ResolveEnumValue(items, wanted, &value, &error)) RequireOneLineMessage(error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 4) {
    case 0:
      Automation(text);
      break;
    case 1:
      Values(text);
      break;
    case 2:
      Wav(data + 1, size - 1);
      break;
    default:
      EnumItems(text);
      break;
  }
  return 0;
}
