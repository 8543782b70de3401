// `modhost render`: plays the host for one module instance and records its audio outputs.
//
// The module sees what the real host would give it: its sample rate before Open, one buffer per
// audio pin that the host fills (inputs) or reads (outputs) each block, and pin-update events
// (opcode 7, type 0, status 0) for its enumerated and other control pins, each sent before the
// block that holds its sample and stamped with that exact sample. Inputs start at their default
// text, so a render with no options is the module as it sits in a new patch.
//
// Everything the user can get wrong is checked before the first sample is rendered, and the WAV
// appears under its name only when complete (wav_io.h).
#include "host/modhost/render.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "host/modhost/commands.h"
#include "host/modhost/module_session.h"
#include "host/modhost/wav_io.h"

namespace modhost {

static_assert((BlockLengths::kRandomLongest & (BlockLengths::kRandomLongest - 1)) == 0,
              "a power of two divides the generator's 2^32 outcomes evenly");

int32_t BlockLengths::Next(int64_t remaining) {
  int32_t length = longest_;
  if (random_) length = 1 + static_cast<int32_t>(generator_() % kRandomLongest);
  return static_cast<int32_t>(std::min<int64_t>(length, remaining));
}

void FillAudioInput(const AudioInputPlan& plan, int64_t start, int32_t length,
                    int64_t total_samples, float* buffer) {
  if (plan.file.empty()) {
    if (plan.ramped) {
      for (int32_t offset = 0; offset < length; ++offset) {
        buffer[offset] = VoltsToSample(
            RampVolts(plan.ramp_from_volts, plan.ramp_to_volts, start + offset, total_samples));
      }
    } else {
      std::fill(buffer, buffer + length, VoltsToSample(plan.volts));
    }
  }

  // From each step on, the input holds the step's volts; of steps at one sample the last counts.
  const int64_t end = start + length;
  auto next =
      std::upper_bound(plan.steps.begin(), plan.steps.end(), start,
                       [](int64_t sample, const AudioStep& step) { return sample < step.sample; });
  bool stepped = next != plan.steps.begin();
  double volts = stepped ? std::prev(next)->volts : 0.0;
  int64_t cursor = start;
  while (cursor < end) {
    const int64_t segment_end = next != plan.steps.end() && next->sample < end ? next->sample : end;
    if (stepped) {
      std::fill(buffer + (cursor - start), buffer + (segment_end - start), VoltsToSample(volts));
    }
    cursor = segment_end;
    while (next != plan.steps.end() && next->sample == cursor) {
      volts = next->volts;
      stepped = true;
      ++next;
    }
  }
}

namespace {

struct RenderOptions {
  std::string library;
  std::string output;
  std::string rate = "44100";
  std::string seconds;
  std::string samples;
  std::string block = "256";
  std::string seed = "1";
  std::vector<std::string> sets;
  std::vector<std::string> changes;
  std::vector<std::string> ramps;
  std::vector<std::string> inputs;
  std::vector<std::string> automation_files;
  bool trace = false;
};

// The options turned into numbers and plans; everything RunRender needs before loading.
struct RenderRequest {
  int32_t sample_rate = 44100;
  int64_t total_samples = 0;
  bool random_blocks = false;
  int32_t block_length = 256;
  uint32_t seed = 1;
  UserControls controls;
};

constexpr int64_t kLongestRender = INT32_MAX;
constexpr int64_t kLongestBlock = 1 << 20;
constexpr int64_t kHighestRate = 2000000;

bool ReadWholeFile(const std::string& path, std::string* text, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    *error = "cannot read '" + path + "': " + std::strerror(errno);
    return false;
  }
  // A folder opens as a stream on Linux and then reads nothing, which must not pass for an empty
  // file: the read is judged by the stream buffer's own failure as well as by the stream's.
  std::ostringstream contents;
  if (file.peek() != std::ifstream::traits_type::eof()) contents << file.rdbuf();
  if (file.bad() || (file.fail() && !file.eof())) {
    *error = "cannot read '" + path + "'";
    return false;
  }
  *text = contents.str();
  return true;
}

bool ParseRequest(const RenderOptions& options, RenderRequest* request, std::string* error) {
  int64_t number = 0;
  std::string problem;
  if (!ParseWholeNumber(options.rate, 1, kHighestRate, &number, &problem)) {
    *error = "--rate: " + problem;
    return false;
  }
  request->sample_rate = static_cast<int32_t>(number);
  const double rate = request->sample_rate;

  if (!options.samples.empty()) {
    if (!ParseWholeNumber(options.samples, 1, kLongestRender, &request->total_samples, &problem)) {
      *error = "--samples: " + problem;
      return false;
    }
  } else {
    double seconds = 1.0;
    if (!options.seconds.empty() && !ParseSeconds(options.seconds, &seconds, &problem)) {
      *error = "--seconds: " + problem;
      return false;
    }
    const double samples = std::round(seconds * rate);
    if (samples < 1 || samples > static_cast<double>(kLongestRender)) {
      char count[32];
      std::snprintf(count, sizeof count, "%.0f", samples);
      *error = "--seconds: " + options.seconds + " s is " + count + " samples at " + options.rate +
               " Hz; a render has 1 to " + std::to_string(kLongestRender) + " samples";
      return false;
    }
    request->total_samples = static_cast<int64_t>(samples);
  }

  if (options.block == "random") {
    request->random_blocks = true;
  } else {
    if (!ParseWholeNumber(options.block, 1, kLongestBlock, &number, &problem)) {
      *error = "--block: " + problem + ", or 'random'";
      return false;
    }
    request->block_length = static_cast<int32_t>(number);
  }
  if (!ParseWholeNumber(options.seed, 0, UINT32_MAX, &number, &problem)) {
    *error = "--seed: " + problem;
    return false;
  }
  request->seed = static_cast<uint32_t>(number);

  UserControls& controls = request->controls;
  for (const std::string& text : options.sets) {
    Assignment set;
    if (!ParseAssignment(text, &set, &problem)) {
      *error = "--set: " + problem;
      return false;
    }
    controls.sets.push_back(set);
  }
  for (const std::string& text : options.changes) {
    TimedAssignment change;
    change.origin = "--at " + text;
    if (!ParseTimedAssignment(text, rate, &change, &problem)) {
      *error = "--at: " + problem;
      return false;
    }
    controls.changes.push_back(change);
  }
  for (const std::string& text : options.ramps) {
    Ramp ramp;
    if (!ParseRamp(text, &ramp, &problem)) {
      *error = "--ramp: " + problem;
      return false;
    }
    controls.ramps.push_back(ramp);
  }
  for (const std::string& text : options.inputs) {
    Assignment input;
    if (!ParseAssignment(text, &input, &problem)) {
      *error = "--input: " + problem;
      return false;
    }
    controls.inputs.push_back(input);
  }
  for (const std::string& path : options.automation_files) {
    std::string text;
    if (!ReadWholeFile(path, &text, error)) return false;
    if (!ParseAutomation(text, path, rate, &controls.changes, error)) return false;
  }
  return true;
}

// A bar on a terminal's standard error, redrawn at most ten times a second.
class ProgressBar {
 public:
  ProgressBar(bool enabled, int64_t total) : enabled_(enabled), total_(total) {}
  ~ProgressBar() { Finish(); }

  void Update(int64_t done) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - last_draw_ < std::chrono::milliseconds(100)) return;
    last_draw_ = now;
    drawn_ = true;
    const int kWidth = 40;
    const double fraction = static_cast<double>(done) / static_cast<double>(total_);
    const int filled = static_cast<int>(fraction * kWidth);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(kWidth, '.');
    std::fprintf(stderr, "\r[%s] %3d%%", bar.c_str(), static_cast<int>(fraction * 100));
    std::fflush(stderr);
  }

  void Finish() {
    if (!enabled_ || !drawn_) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    drawn_ = false;
  }

 private:
  bool enabled_;
  int64_t total_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point last_draw_;
};

// Peak and RMS over every channel, with the samples that are not numbers counted apart.
struct SignalStatistics {
  double peak = 0;
  double sum_of_squares = 0;
  int64_t counted = 0;
  int64_t not_finite = 0;

  void Add(const float* samples, int64_t count) {
    for (int64_t position = 0; position < count; ++position) {
      const double sample = samples[position];
      if (!std::isfinite(sample)) {
        ++not_finite;
        continue;
      }
      peak = std::max(peak, std::fabs(sample));
      sum_of_squares += sample * sample;
      ++counted;
    }
  }
  double rms() const { return counted ? std::sqrt(sum_of_squares / counted) : 0.0; }
};

std::string Decibels(double level) {
  if (level <= 0) return "-inf dBFS";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f dBFS", 20.0 * std::log10(level));
  return text;
}

int RunRender(const RenderOptions& options) {
  ModuleSession session("render");
  std::string error;
  RenderRequest request;
  if (!ParseRequest(options, &request, &error)) {
    session.Report(error);
    return kExitUsage;
  }

  if (options.trace) session.set_trace(stderr);
  const int load_status = session.Load(options.library);
  if (load_status != kExitOk) return load_status;
  const std::vector<se_host::PinInfo> pins = session.EnumeratePins();

  ControlPlan plan;
  if (!PlanControls(pins, request.controls, request.total_samples, &plan, &error)) {
    session.Report(error);
    return kExitUsage;
  }
  for (const std::string& warning : plan.warnings) session.Report("warning: " + warning);

  std::vector<std::unique_ptr<WavReader>> readers(plan.audio_inputs.size());
  for (size_t slot = 0; slot < plan.audio_inputs.size(); ++slot) {
    if (plan.audio_inputs[slot].file.empty()) continue;
    readers[slot] = std::make_unique<WavReader>();
    if (!readers[slot]->Open(plan.audio_inputs[slot].file, request.sample_rate, &error)) {
      session.Report("--input " + plan.audio_inputs[slot].name + ": " + error);
      return kExitUsage;
    }
  }

  const int channels = static_cast<int>(plan.outputs.size());
  WavWriter writer;
  if (!writer.Open(options.output, channels, request.sample_rate, &error)) {
    session.Report(error);
    return kExitOutputFailed;
  }

  BlockLengths blocks = request.random_blocks ? BlockLengths::Random(request.seed)
                                              : BlockLengths::Fixed(request.block_length);
  const size_t longest = static_cast<size_t>(blocks.longest());
  std::vector<std::vector<float>> input_buffers(plan.audio_inputs.size(),
                                                std::vector<float>(longest));
  std::vector<std::vector<float>> output_buffers(plan.outputs.size(), std::vector<float>(longest));
  std::vector<float> interleaved(longest * plan.outputs.size());

  const auto started = std::chrono::steady_clock::now();
  se_host::HostedModule& module = session.module();
  // The host holds exactly the pins the module described.
  module.set_pin_count(static_cast<int32_t>(pins.size()));
  session.SetSampleRate(static_cast<float>(request.sample_rate));
  session.SetBlockSize(blocks.longest());
  session.Open();
  for (size_t slot = 0; slot < plan.audio_inputs.size(); ++slot) {
    session.BindAudioPin(plan.audio_inputs[slot].pin, input_buffers[slot].data());
  }
  for (size_t channel = 0; channel < plan.outputs.size(); ++channel) {
    session.BindAudioPin(plan.outputs[channel], output_buffers[channel].data());
  }

  const uint32_t first_clock = module.sample_clock();
  ProgressBar progress(
      isatty(fileno(stderr)) && !options.trace && request.total_samples > request.sample_rate,
      request.total_samples);
  SignalStatistics statistics;
  size_t next_event = 0;
  int64_t done = 0;
  while (done < request.total_samples) {
    const int32_t length = blocks.Next(request.total_samples - done);
    for (size_t slot = 0; slot < plan.audio_inputs.size(); ++slot) {
      float* buffer = input_buffers[slot].data();
      if (readers[slot]) readers[slot]->Read(buffer, length);
      FillAudioInput(plan.audio_inputs[slot], done, length, request.total_samples, buffer);
    }
    // A module that leaves an output unwritten gives silence, not the previous block again.
    for (std::vector<float>& buffer : output_buffers) std::fill(buffer.begin(), buffer.end(), 0.f);
    while (next_event < plan.events.size() && plan.events[next_event].sample < done + length) {
      const PinEvent& event = plan.events[next_event++];
      session.PinUpdate(event.pin, 0, event.value,
                        first_clock + static_cast<uint32_t>(event.sample));
    }
    session.Process(0, length);

    for (int32_t frame = 0; frame < length; ++frame) {
      for (int channel = 0; channel < channels; ++channel) {
        interleaved[static_cast<size_t>(frame) * channels + channel] =
            output_buffers[channel][frame];
      }
    }
    statistics.Add(interleaved.data(), static_cast<int64_t>(length) * channels);
    if (!writer.Write(interleaved.data(), length, &error)) {
      progress.Finish();
      session.Report(error);
      return kExitOutputFailed;
    }
    done += length;
    progress.Update(done);
  }
  session.Close();
  progress.Finish();
  if (!writer.Commit(&error)) {
    session.Report(error);
    return kExitOutputFailed;
  }
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  const double audio_seconds = static_cast<double>(request.total_samples) / request.sample_rate;
  std::string channel_names;
  for (int32_t pin : plan.outputs) {
    for (const se_host::PinInfo& info : pins) {
      if (info.index != pin) continue;
      channel_names += (channel_names.empty() ? "" : ", ") + info.name;
    }
  }
  char speed[64];
  if (elapsed > 0) {
    std::snprintf(speed, sizeof speed, "%.1fx real time", audio_seconds / elapsed);
  } else {
    std::snprintf(speed, sizeof speed, "too fast to time");
  }
  std::printf(
      "%s: %lld samples (%.3f s at %d Hz), %d %s (%s); peak %.4f (%s), RMS %.4f (%s); "
      "rendered in %.3f s, %s%s\n",
      options.output.c_str(), static_cast<long long>(request.total_samples), audio_seconds,
      request.sample_rate, channels, channels == 1 ? "channel" : "channels", channel_names.c_str(),
      statistics.peak, Decibels(statistics.peak).c_str(), statistics.rms(),
      Decibels(statistics.rms()).c_str(), elapsed, speed,
      statistics.not_finite
          ? ("; " + std::to_string(statistics.not_finite) + " samples not finite").c_str()
          : "");
  return kExitOk;
}

const char kRenderHelp[] =
    R"(Times (--at and automation files): a whole number is a sample number (44100), a number
with 's' is seconds (1.5s), with 'ms' milliseconds (250ms). Times count from the first
sample of the render; seconds are rounded to the nearest sample.

Values: volts for audio inputs (10 V is 1.0 in the buffer); for enumerated pins an item's
label or its value, labels first (Quality=High or Quality=1); for other control pins a
whole number, or true/false.

Inputs keep the value of their default text unless given one of:
  --set NAME=VALUE       the value for the whole render
  --ramp NAME=FROM:TO    an audio input moving linearly, sample by sample, from FROM volts at
                         the first sample to TO volts at the last
  --input NAME=FILE.wav  an audio input read from a mono WAV at the render's rate; silence
                         after the file ends
and then changed by --at TIME:NAME=VALUE from that sample on. Enumerated and other control
pins change through pin-update events at exactly their sample.

Automation file: one TIME:NAME=VALUE per line, as for --at; blank lines and lines whose
first non-blank character is # are skipped. For example:
  # up a fifth after a second and a half, then the better sine
  1.5s:Pitch=5.5833
  88200:Quality=High

Output: a 32-bit float WAV holding exactly the requested samples, one channel per audio
output pin in pin order (a module with one output gives a mono file). It appears under its
name only when complete. A one-line summary goes to standard output.
--block random draws each block's length from 1 to 1024 samples, seeded by --seed.
Exit status: 0 ok, 2 usage, 3 cannot load, 4 no main, 5 bad record, 6 output failed.)";

}  // namespace

void AddRenderCommand(CLI::App& app, int* exit_status) {
  auto options = std::make_shared<RenderOptions>();
  CLI::App* command =
      app.add_subcommand("render", "Render a module's audio outputs to a float WAV file");
  command->add_option("library", options->library, "The module library (.so)")->required();
  command->add_option("-o,--output", options->output, "The WAV file to write")->required();
  command->add_option("--rate", options->rate, "Sample rate in Hz (default 44100)")
      ->type_name("HZ");
  CLI::Option* seconds =
      command->add_option("--seconds", options->seconds, "Length in seconds (default 1)")
          ->type_name("SECONDS");
  CLI::Option* samples =
      command->add_option("--samples", options->samples, "Length in samples")->type_name("N");
  seconds->excludes(samples);
  command->add_option("--block", options->block, "Samples per block (default 256)")
      ->type_name("N|random");
  command->add_option("--seed", options->seed, "Seed of --block random (default 1)")
      ->type_name("N");
  auto repeatable = [&](const char* name, std::vector<std::string>* values, const char* syntax,
                        const char* help) {
    command->add_option(name, *values, help)
        ->type_name(syntax)
        ->type_size(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  };
  repeatable("--set", &options->sets, "NAME=VALUE", "An input's value for the whole render");
  repeatable("--at", &options->changes, "TIME:NAME=VALUE", "A change of an input from a time on");
  repeatable("--ramp", &options->ramps, "NAME=FROM:TO", "A linear ramp of an audio input, volts");
  repeatable("--input", &options->inputs, "NAME=FILE", "An audio input read from a mono WAV");
  repeatable("--automation", &options->automation_files, "FILE",
             "Timed changes, one TIME:NAME=VALUE per line");
  command->add_flag("--trace", options->trace,
                    "Log every dispatcher call and host request to standard error");
  command->footer(kRenderHelp);
  command->callback([options, exit_status] {
    try {
      *exit_status = RunRender(*options);
    } catch (const std::exception& failure) {
      std::fprintf(stderr, "modhost render: %s\n", failure.what());
      *exit_status = kExitFailed;
    }
  });
}

}  // namespace modhost
