// `modhost analyze FILE.wav [--svg PLOT.svg] [--json] [--channel N]`: answers "what did the module
// play" for a rendered file, with the pitch, the harmonic levels and the level statistics of one
// channel, as a readable summary or as JSON, and optionally as a plot.
//
// The file is read through libsndfile, so any format and sample type it knows will do; integer
// samples arrive scaled to full scale 1.0 (10 V). The plot is written under a temporary name and
// renamed into place, so PLOT.svg is either the complete new plot or left as it was.
#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/modhost/analysis.h"
#include "host/modhost/commands.h"
#include "host/modhost/svg_plot.h"

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
  SF_INFO info{};
  std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> file(sf_open(path.c_str(), SFM_READ, &info),
                                                   sf_close);
  if (!file) {
    *error = "cannot read '" + path + "': " + sf_strerror(nullptr);
    return false;
  }
  if (channel < 1 || channel > info.channels) {
    *error = "'" + path + "' has " + std::to_string(info.channels) + " channel" +
             (info.channels == 1 ? "" : "s") + "; there is no channel " + std::to_string(channel);
    return false;
  }
  if (info.samplerate <= 0) {
    *error = "'" + path + "' states no sample rate";
    return false;
  }
  result->channels = info.channels;
  result->sample_rate = info.samplerate;
  if (info.frames > 0 && info.frames < SF_COUNT_MAX) {
    result->samples.reserve(static_cast<std::size_t>(info.frames));
  }
  constexpr sf_count_t kChunkFrames = 65536;
  std::vector<float> chunk(static_cast<std::size_t>(kChunkFrames) * info.channels);
  for (;;) {
    const sf_count_t frames = sf_readf_float(file.get(), chunk.data(), kChunkFrames);
    if (frames <= 0) break;
    for (sf_count_t frame = 0; frame < frames; ++frame) {
      result->samples.push_back(chunk[frame * info.channels + (channel - 1)]);
    }
  }
  if (sf_error(file.get()) != SF_ERR_NO_ERROR) {
    *error = "cannot read '" + path + "': " + sf_strerror(file.get());
    return false;
  }
  return true;
}

// Writes `content` to `path` through a temporary file in the same folder and a rename, so that
// `path` never holds a partial file. The temporary file is removed on every failure.
bool WriteFileAtomically(const std::string& path, const std::string& content, std::string* error) {
  std::string temporary = path + ".tmp-XXXXXX";
  const int descriptor = mkstemp(temporary.data());
  if (descriptor < 0) {
    *error = "cannot write '" + path + "': " + std::strerror(errno);
    return false;
  }
  const auto fail = [&](int error_number) {
    if (descriptor >= 0) close(descriptor);
    unlink(temporary.c_str());
    *error = "cannot write '" + path + "': " + std::strerror(error_number);
    return false;
  };
  // mkstemp makes the file private; a plot is an ordinary file, readable as the umask allows.
  const mode_t mask = umask(0);
  umask(mask);
  if (fchmod(descriptor, 0666 & ~mask) != 0) return fail(errno);
  std::size_t written = 0;
  while (written < content.size()) {
    const ssize_t result = write(descriptor, content.data() + written, content.size() - written);
    if (result < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    written += static_cast<std::size_t>(result);
  }
  if (fsync(descriptor) != 0) return fail(errno);
  if (close(descriptor) != 0) {
    const int close_error = errno;
    unlink(temporary.c_str());
    *error = "cannot write '" + path + "': " + std::strerror(close_error);
    return false;
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const int rename_error = errno;
    unlink(temporary.c_str());
    *error = "cannot write '" + path + "': " + std::strerror(rename_error);
    return false;
  }
  return true;
}

// The file name without its folders, for the plot's title.
std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
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
                                            BaseName(options.input_path));
    if (!WriteFileAtomically(options.svg_path, svg, &error)) {
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
  command->add_option("file", options->input_path, "The WAV (or other libsndfile) file")
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
