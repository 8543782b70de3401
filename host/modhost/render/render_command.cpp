// `modhost render`: plays the host for one module instance and records its audio outputs.
//
// The module sees what the real host would give it: its sample rate before Open, one buffer per
// audio pin that the host fills (inputs) or reads (outputs) each block, and pin-update events
// (opcode 7, type 0, status 0) for its enumerated and other control pins, each sent before the
// block that holds its sample and stamped with that exact sample. Inputs start at their default
// text, so a render with no options is the module as it sits in a new patch.
//
// Everything the user can get wrong is checked before the first sample is rendered, and the WAV
// appears under its name only when complete (wav_io.h). The module runs in a child process
// (child_protocol.h), which sends the audio here; this process writes the file, so that a crash
// or a hang of the module leaves no output behind and ends in one line.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/modhost/cli/commands.h"
#include "host/modhost/cli/progress.h"
#include "host/modhost/io/file_system.h"
#include "host/modhost/io/text.h"
#include "host/modhost/io/wav_io.h"
#include "host/modhost/render/render.h"
#include "host/modhost/run/child_protocol.h"
#include "host/modhost/run/command_session.h"
#include "host/modhost/run/module_child.h"

namespace modhost {

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
  bool quiet = false;
  double timeout = kDefaultCallTimeLimit;
  bool module_child = false;  // this process is the child that runs the module
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

// ---- The child: runs the module and sends the plan and the audio --------------------------------

// Audio goes to the parent in frames of about this many bytes.
const size_t kAudioFrameBytes = 256 * 1024;

std::string PlanJson(const ControlPlan& plan, const std::vector<se_host::PinInfo>& pins,
                     const RenderRequest& request) {
  nlohmann::json json;
  json["channels"] = plan.outputs.size();
  json["sample_rate"] = request.sample_rate;
  json["frames"] = request.total_samples;
  json["channel_names"] = nlohmann::json::array();
  for (int32_t pin : plan.outputs) {
    for (const se_host::PinInfo& info : pins) {
      if (info.index == pin) json["channel_names"].push_back(info.name);
    }
  }
  json["warnings"] = plan.warnings;
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

int RenderAsChild(const RenderOptions& options) {
  BeginChild(options.timeout);
  auto fail = [](int status, const std::string& message) {
    SendFailure(status, message);
    return status;
  };
  std::string error;
  RenderRequest request;
  if (!ParseRequest(options, &request, &error)) return fail(kExitUsage, error);

  CommandSession command;
  std::FILE* trace = options.trace ? stderr : nullptr;
  const int load_status = command.Open(options.library, trace);
  if (load_status != kExitOk) return fail(load_status, command.error());
  Session& session = command.session();
  const std::vector<se_host::PinInfo> pins = session.pins();
  if (pins.empty() && !session.pin_problem().empty()) {
    return fail(kExitFailed, "the module's pins cannot be read: " + session.pin_problem());
  }

  ControlPlan plan;
  if (!PlanControls(pins, request.controls, request.total_samples, &plan, &error)) {
    return fail(kExitUsage, error);
  }
  std::vector<std::unique_ptr<WavReader>> readers(plan.audio_inputs.size());
  for (size_t slot = 0; slot < plan.audio_inputs.size(); ++slot) {
    if (plan.audio_inputs[slot].file.empty()) continue;
    readers[slot] = std::make_unique<WavReader>();
    if (!readers[slot]->Open(plan.audio_inputs[slot].file, request.sample_rate, &error)) {
      return fail(kExitUsage, "--input " + plan.audio_inputs[slot].name + ": " + error);
    }
  }
  SendFrame("plan", PlanJson(plan, pins, request));

  BlockLengths blocks = request.random_blocks ? BlockLengths::Random(request.seed)
                                              : BlockLengths::Fixed(request.block_length);
  const size_t longest = static_cast<size_t>(blocks.longest());
  const int channels = static_cast<int>(plan.outputs.size());
  std::vector<std::vector<float>> input_buffers(plan.audio_inputs.size(),
                                                std::vector<float>(longest));
  std::vector<std::vector<float>> output_buffers(plan.outputs.size(), std::vector<float>(longest));
  std::vector<float> pending;
  pending.reserve(kAudioFrameBytes / sizeof(float) + longest * plan.outputs.size());

  // The host holds exactly the pins the module described.
  session.host().set_pin_count(static_cast<int32_t>(pins.size()));
  session.SetSampleRate(static_cast<float>(request.sample_rate));
  session.SetBlockSize(blocks.longest());
  session.Open();
  // The buffers stay where they are for the whole render, so they are bound once, from the pin
  // table read before open, as a host binds them.
  auto bind = [&](int32_t pin, float* buffer) {
    CallScope scope(Format("binding the buffer of pin %d", pin));
    const bool bound = session.Bind(pin, buffer);
    if (trace) {
      std::fprintf(trace, "buffer %p bound to pin %d%s\n", static_cast<void*>(buffer), pin,
                   bound ? "" : ": not bound");
    }
  };
  for (size_t slot = 0; slot < plan.audio_inputs.size(); ++slot) {
    bind(plan.audio_inputs[slot].pin, input_buffers[slot].data());
  }
  for (size_t channel = 0; channel < plan.outputs.size(); ++channel) {
    bind(plan.outputs[channel], output_buffers[channel].data());
  }

  const uint32_t first_clock = session.clock();
  size_t next_event = 0;
  int64_t done = 0;
  while (done < request.total_samples) {
    const int32_t length = blocks.Next(request.total_samples - done);
    for (size_t slot = 0; slot < plan.audio_inputs.size(); ++slot) {
      float* buffer = input_buffers[slot].data();
      if (readers[slot] && !readers[slot]->Read(buffer, length, &error)) {
        return fail(kExitUsage, "--input " + plan.audio_inputs[slot].name + ": " + error);
      }
      FillAudioInput(plan.audio_inputs[slot], done, length, request.total_samples, buffer);
    }
    // A module that leaves an output unwritten gives silence, not the previous block again.
    for (std::vector<float>& buffer : output_buffers) std::fill(buffer.begin(), buffer.end(), 0.f);
    while (next_event < plan.events.size() && plan.events[next_event].sample < done + length) {
      const PinEvent& event = plan.events[next_event++];
      session.PinUpdate(event.pin, 0, event.value,
                        first_clock + static_cast<uint32_t>(event.sample));
    }
    session.Process(0, length, done);

    for (int32_t frame = 0; frame < length; ++frame) {
      for (int channel = 0; channel < channels; ++channel) {
        pending.push_back(output_buffers[channel][frame]);
      }
    }
    if (pending.size() * sizeof(float) >= kAudioFrameBytes) {
      SendFrame("audio", pending.data(), pending.size() * sizeof(float));
      pending.clear();
    }
    done += length;
  }
  if (!pending.empty()) SendFrame("audio", pending.data(), pending.size() * sizeof(float));
  session.Close();
  SendFrame("done", std::string());
  return kExitOk;
}

// ---- The parent: writes what the child sends ----------------------------------------------------

// What the parent learns of the render's samples as they pass: level statistics, the first
// sample that is not a number, and whether every sample is exactly zero.
struct SignalStatistics {
  double peak = 0;
  double sum_of_squares = 0;
  int64_t counted = 0;
  int64_t not_finite = 0;
  int64_t first_not_finite = -1;  // the sample's index over all channels
  float first_not_finite_value = 0;
  bool all_zero = true;

  void Add(const float* samples, int64_t count, int64_t first_index) {
    for (int64_t position = 0; position < count; ++position) {
      const double sample = samples[position];
      if (!std::isfinite(sample)) {
        if (not_finite++ == 0) {
          first_not_finite = first_index + position;
          first_not_finite_value = samples[position];
        }
        all_zero = false;
        continue;
      }
      if (sample != 0.0) all_zero = false;
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

struct ReceivedPlan {
  bool have = false;
  int channels = 0;
  int sample_rate = 0;
  int64_t frames = 0;
  std::string channel_names;
};

int RunRender(const RenderOptions& options) {
  if (options.module_child) return RenderAsChild(options);
  auto report = [](const std::string& message) { ReportError("render", message); };
  std::string error;
  RenderRequest request;
  if (!ParseRequest(options, &request, &error)) {
    report(error);
    return kExitUsage;
  }
  ChildHost host;
  if (!FindChildHost(options.library, &host, &error)) {
    report(error);
    return kExitCannotLoad;
  }
  // The output is checked, and a pipe opened, before any module code runs.
  WavWriter writer;
  if (!writer.Open(options.output, &error)) {
    report(error);
    return kExitOutputFailed;
  }

  const auto started = std::chrono::steady_clock::now();
  ReceivedPlan plan;
  SignalStatistics statistics;
  Progress progress(!options.quiet && !options.trace, request.total_samples);
  int64_t frames_received = 0;
  std::string output_error;
  std::vector<float> samples;
  auto on_frame = [&](const Frame& frame) {
    if (!output_error.empty()) return false;
    if (frame.tag == "plan") {
      const nlohmann::json json = nlohmann::json::parse(frame.payload, nullptr, false);
      if (!json.is_object()) return false;
      plan.have = true;
      plan.channels = json.value("channels", 0);
      plan.sample_rate = json.value("sample_rate", 0);
      plan.frames = json.value("frames", int64_t{0});
      for (const auto& name : json.value("channel_names", std::vector<std::string>())) {
        plan.channel_names += (plan.channel_names.empty() ? "" : ", ") + Excerpt(name);
      }
      for (const auto& warning : json.value("warnings", std::vector<std::string>())) {
        progress.Finish();
        report("warning: " + warning);
      }
      if (!writer.Begin(plan.channels, plan.sample_rate, static_cast<uint64_t>(plan.frames),
                        &output_error)) {
        return false;
      }
    } else if (frame.tag == "audio" && plan.have) {
      const size_t count = frame.payload.size() / sizeof(float);
      samples.resize(count);
      std::memcpy(samples.data(), frame.payload.data(), count * sizeof(float));
      statistics.Add(samples.data(), static_cast<int64_t>(count), frames_received * plan.channels);
      const int64_t frames = static_cast<int64_t>(count) / plan.channels;
      if (!writer.Write(samples.data(), frames, &output_error)) return false;
      frames_received += frames;
      progress.Update(frames_received);
    }
    return true;
  };
  std::vector<std::string> arguments = CommandArguments();
  arguments.push_back(kModuleChildOption);
  const ChildEnding ending = RunModuleChild(host, arguments, options.timeout, on_frame);
  progress.Finish();
  if (!output_error.empty()) {
    writer.Abandon();
    report(output_error);
    return kExitOutputFailed;
  }
  if (ending.status != kExitOk) {
    writer.Abandon();
    report(ending.message);
    return ending.status;
  }
  if (!writer.Commit(&error)) {
    report(error);
    return kExitOutputFailed;
  }
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  const double audio_seconds = static_cast<double>(plan.frames) / plan.sample_rate;
  char speed[64];
  if (elapsed > 0) {
    std::snprintf(speed, sizeof speed, "%.1fx real time", audio_seconds / elapsed);
  } else {
    std::snprintf(speed, sizeof speed, "too fast to time");
  }
  std::string remark;
  if (statistics.all_zero) remark = "; silent: every sample is 0";
  if (statistics.not_finite) {
    remark = "; " + std::to_string(statistics.not_finite) + " samples not finite";
  }
  // With the audio on standard output, the summary goes to standard error.
  std::FILE* summary = writer.file().to_standard_output() ? stderr : stdout;
  std::fprintf(summary,
               "%s: %lld samples (%.3f s at %d Hz), %d %s (%s); peak %.4f (%s), RMS %.4f (%s); "
               "rendered in %.3f s, %s%s\n",
               Excerpt(options.output).c_str(), static_cast<long long>(plan.frames), audio_seconds,
               plan.sample_rate, plan.channels, plan.channels == 1 ? "channel" : "channels",
               plan.channel_names.c_str(), statistics.peak, Decibels(statistics.peak).c_str(),
               statistics.rms(), Decibels(statistics.rms()).c_str(), elapsed, speed,
               remark.c_str());
  std::fflush(summary);
  if (statistics.not_finite) {
    const int64_t first = statistics.first_not_finite;
    char value[32];
    std::snprintf(value, sizeof value, "%g",
                  static_cast<double>(statistics.first_not_finite_value));
    report(Excerpt(options.output) + ": " + std::to_string(statistics.not_finite) +
           " samples are not finite numbers, the first at sample " +
           std::to_string(first / plan.channels) + " of channel " +
           std::to_string(first % plan.channels + 1) + " (" + value +
           "); the file is kept as the module played it");
    return kExitFailed;
  }
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
output pin in pin order (a module with one output gives a mono file; RF64 past 4 GiB). A
file appears under its name only when complete; a symbolic link is written through; a
device, a named pipe or - (standard output) is streamed into. A one-line summary goes to
standard output (to standard error with -o -).
The module runs in a child process: a crash, or a call that takes longer than --timeout,
ends the render with exit status 7 and no output.
--block random draws each block's length from 1 to 1024 samples, seeded by --seed.
Exit status: 0 ok, 1 samples not finite, 2 usage, 3 cannot load, 4 no main, 5 bad record,
6 output failed, 7 the module crashed or hung.)";

}  // namespace

void AddRenderCommand(CLI::App& app, int* exit_status) {
  auto options = std::make_shared<RenderOptions>();
  CLI::App* command =
      app.add_subcommand("render", "Render a module's audio outputs to a float WAV file");
  // Unix paths are common under Wine; "/work/..." must stay a path, not a Windows-style option.
  command->allow_windows_style_options(false);
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
  command->add_flag("--quiet", options->quiet, "No progress bar on the terminal");
  AddTimeoutOption(command, &options->timeout);
  command->add_flag(kModuleChildOption, options->module_child)->group("");
  command->footer(kRenderHelp);
  command->callback([options, exit_status] {
    try {
      *exit_status = RunRender(*options);
    } catch (const std::exception& failure) {
      ReportError("render", failure.what());
      *exit_status = kExitFailed;
    }
  });
}

}  // namespace modhost
