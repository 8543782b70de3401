// `modhost analyze FILE.wav [--svg PLOT.svg] [--json] [--channel N]`: answers "what did the module
// play" for a rendered file, with the pitch, the harmonic levels and the level statistics of one
// channel, as a readable summary or as JSON, and optionally as a plot.
//
// The file may hold integer or float samples (wav_format.h); integers arrive scaled to full scale
// 1.0 (10 V). The plot is written through OutputFile, so PLOT.svg is either the complete new plot
// or left as it was, and a device or pipe given as PLOT.svg is written into, never replaced.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/modhost/analyze/analysis.h"
#include "host/modhost/cli/commands.h"
#include "host/modhost/io/file_system.h"
#include "host/modhost/io/output_file.h"
#include "host/modhost/io/svg_plot.h"
#include "host/modhost/io/wav_io.h"

namespace modhost {
namespace {

struct AnalyzeOptions {
  std::string input_path;
  std::string svg_path;
  bool json = false;
  int channel = 1;
};

struct ChannelSamples {
  std::vector<float> samples;
  int channels = 0;
  int sample_rate = 0;
};

void PrintError(const std::string& message) {
  std::fprintf(stderr, "modhost analyze: %s\n", message.c_str());
}

// Reads channel `channel` (1-based) of `path`, or explains in `error` why it cannot.
bool ReadChannel(const std::string& path, int channel, ChannelSamples* result, std::string* error) {
  WavReader reader;
  if (!reader.Open(path, error)) return false;
  if (channel < 1 || channel > reader.channels()) {
    *error = "'" + path + "' has " + std::to_string(reader.channels()) + " channel" +
             (reader.channels() == 1 ? "" : "s") + "; there is no channel " +
             std::to_string(channel);
    return false;
  }
  result->channels = reader.channels();
  result->sample_rate = reader.sample_rate();
  result->samples.reserve(static_cast<std::size_t>(reader.frames()));
  constexpr int64_t kChunkFrames = 65536;
  std::vector<float> chunk(static_cast<std::size_t>(kChunkFrames) * reader.channels());
  for (;;) {
    const int64_t frames = reader.ReadFrames(chunk.data(), kChunkFrames, error);
    if (frames < 0) return false;
    if (frames == 0) break;
    for (int64_t frame = 0; frame < frames; ++frame) {
      result->samples.push_back(chunk[frame * reader.channels() + (channel - 1)]);
    }
  }
  return true;
}

// Writes the whole plot through the one output mechanism (output_file.h).
bool WritePlot(const std::string& path, const std::string& content, std::string* error) {
  OutputFile file;
  return file.Open(path, error) && file.Write(content.data(), content.size(), error) &&
         file.Commit(error);
}

// JSON numbers cannot be infinite or NaN; none of ours are, but a null beats invalid JSON.
nlohmann::ordered_json Number(double value) {
  return std::isfinite(value) ? nlohmann::ordered_json(value) : nlohmann::ordered_json(nullptr);
}

nlohmann::ordered_json ToJson(const AnalyzeOptions& options, const ChannelSamples& input,
                              const SignalAnalysis& analysis) {
  nlohmann::ordered_json harmonics = nlohmann::ordered_json::array();
  if (analysis.has_pitch) {
    for (const HarmonicLevel& harmonic : analysis.harmonics) {
      harmonics.push_back({
          {"number", harmonic.number},
          {"frequency_hz", Number(harmonic.frequency_hz)},
          {"present", harmonic.present},
          {"amplitude", harmonic.present ? Number(harmonic.amplitude) : nullptr},
          {"level_db", harmonic.present ? Number(harmonic.level_db) : nullptr},
      });
    }
  }
  nlohmann::ordered_json result = {
      {"file", options.input_path},
      {"channel", options.channel},
      {"channels", input.channels},
      {"sample_rate", input.sample_rate},
      {"samples", analysis.sample_count},
      {"duration_seconds", Number(analysis.duration_seconds)},
      {"non_finite_samples", analysis.non_finite_count},
      {"peak", Number(analysis.peak)},
      {"rms", Number(analysis.rms)},
      {"dc_offset", Number(analysis.dc_offset)},
      {"silent", analysis.silent},
      {"fundamental_hz", analysis.has_pitch ? Number(analysis.fundamental_hz) : nullptr},
      {"harmonics", harmonics},
      {"spectrum_samples", analysis.spectrum_sample_count},
      {"level_floor_db", kLevelFloorDb},
  };
  if (!options.svg_path.empty()) result["svg"] = options.svg_path;
  return result;
}

std::string LevelText(double value) {
  char text[64];
  if (value > 0.0) {
    std::snprintf(text, sizeof text, "%.6f  (%.2f dBFS)", value, 20.0 * std::log10(value));
  } else {
    std::snprintf(text, sizeof text, "%.6f", value);
  }
  return text;
}

void PrintSummary(const AnalyzeOptions& options, const ChannelSamples& input,
                  const SignalAnalysis& analysis) {
  std::printf("%s: channel %d of %d, %.0f Hz, %zu samples (%.3f s)\n", options.input_path.c_str(),
              options.channel, input.channels, analysis.sample_rate, analysis.sample_count,
              analysis.duration_seconds);
  if (analysis.non_finite_count > 0) {
    std::printf("  warning      %zu samples are NaN or infinite; they count as 0\n",
                analysis.non_finite_count);
  }
  std::printf("  peak         %s\n", LevelText(analysis.peak).c_str());
  std::printf("  RMS          %s\n", LevelText(analysis.rms).c_str());
  // An offset that rounds to zero prints as 0, not as "-0.000000".
  const double shown_offset = std::abs(analysis.dc_offset) < 5e-7 ? 0.0 : analysis.dc_offset;
  std::printf("  DC offset    %.6f\n", shown_offset);
  if (!analysis.has_pitch) {
    std::printf("  fundamental  none (%s)\n", analysis.sample_count == 0 ? "no samples"
                                              : analysis.silent          ? "silent"
                                                                : "no harmonic series found");
  } else {
    std::printf("  fundamental  %.4f Hz\n\n", analysis.fundamental_hz);
    std::printf("  harmonic  frequency (Hz)  level (dB re strongest)  amplitude\n");
    for (const HarmonicLevel& harmonic : analysis.harmonics) {
      if (!harmonic.present) {
        std::printf("  %8d  %14.4f  above half the sample rate\n", harmonic.number,
                    harmonic.frequency_hz);
      } else if (harmonic.level_db <= kLevelFloorDb) {
        std::printf("  %8d  %14.4f  %23s  %.3g\n", harmonic.number, harmonic.frequency_hz,
                    "below -200", harmonic.amplitude);
      } else {
        std::printf("  %8d  %14.4f  %23.2f  %.3g\n", harmonic.number, harmonic.frequency_hz,
                    harmonic.level_db, harmonic.amplitude);
      }
    }
  }
  if (analysis.spectrum_sample_count < analysis.sample_count) {
    std::printf("  (pitch and harmonics from the first %zu samples)\n",
                analysis.spectrum_sample_count);
  }
  if (!options.svg_path.empty()) std::printf("  plot written to %s\n", options.svg_path.c_str());
}

int RunAnalyze(const AnalyzeOptions& options) {
  ChannelSamples input;
  std::string error;
  if (!ReadChannel(options.input_path, options.channel, &input, &error)) {
    PrintError(error);
    return kExitUsage;
  }
  const SignalAnalysis analysis =
      Analyze(input.samples.data(), input.samples.size(), input.sample_rate);
  if (!options.svg_path.empty()) {
    const std::string svg = PlotAnalysisSvg(input.samples.data(), input.samples.size(), analysis,
                                            BaseNameOf(options.input_path));
    if (!WritePlot(options.svg_path, svg, &error)) {
      PrintError(error);
      return kExitOutputFailed;
    }
  }
  if (options.json) {
    std::printf("%s\n", ToJson(options, input, analysis).dump(2).c_str());
  } else {
    PrintSummary(options, input, analysis);
  }
  return std::fflush(stdout) == 0 ? kExitOk : kExitOutputFailed;
}

}  // namespace

void AddAnalyzeCommand(CLI::App& app, int* exit_status) {
  auto options = std::make_shared<AnalyzeOptions>();
  CLI::App* command = app.add_subcommand(
      "analyze",
      "Measure a WAV file: fundamental, levels of harmonics 1 to 16, peak, RMS and DC offset");
  // Unix paths are common under Wine; "/work/..." must stay a path, not a Windows-style option.
  command->allow_windows_style_options(false);
  command
      ->add_option("file", options->input_path,
                   "The WAV file (RIFF or RF64; integer or float samples)")
      ->required();
  command->add_option("--svg", options->svg_path,
                      "Also draw the waveform and the spectrum with the harmonics into this SVG");
  command->add_flag("--json", options->json, "Print the results as JSON");
  command->add_option("--channel", options->channel, "Channel to analyze, from 1 (default 1)")
      ->check(CLI::Range(1, 65535));
  command->callback([options, exit_status]() {
    try {
      *exit_status = RunAnalyze(*options);
    } catch (const std::exception& exception) {
      PrintError(exception.what());
      *exit_status = kExitFailed;
    }
  });
}

}  // namespace modhost
