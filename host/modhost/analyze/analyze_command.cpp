// `modhost analyze FILE.wav [--svg PLOT.svg] [--json] [--frames] [--channel N]`: answers "what did
// the module play" for a rendered file: the pitch, or the pitches over time, the harmonic levels
// and the level statistics of one channel, as a readable summary or as JSON, and optionally as a
// plot.
//
// The file is read in blocks (analysis.h), so a file of any length takes a few megabytes. It may
// hold integer or float samples (wav_format.h); integers arrive scaled to full scale 1.0 (10 V).
// The plot is written through OutputFile, so PLOT.svg is either the complete new plot or left as
// it was, and a device or pipe given as PLOT.svg is written into, never replaced.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "host/modhost/analyze/analysis.h"
#include "host/modhost/analyze/analysis_report.h"
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
  bool frames = false;
  bool log_frequency = false;
  int channel = 1;
};

void PrintError(const std::string& message) { ReportError("analyze", message); }

// One channel of a WAV file, read where the analysis asks.
class WavChannelSource : public SampleSource {
 public:
  WavChannelSource(WavReader& reader, int channel) : reader_(reader), channel_(channel) {}
  double sample_rate() const override { return reader_.sample_rate(); }
  std::uint64_t size() const override { return static_cast<std::uint64_t>(reader_.frames()); }

  bool Read(std::uint64_t first, std::size_t count, float* into, std::string* error) override {
    if (!reader_.SeekFrame(static_cast<int64_t>(first), error)) return false;
    const int channels = reader_.channels();
    interleaved_.resize(count * static_cast<std::size_t>(channels));
    const int64_t got = reader_.ReadFrames(interleaved_.data(), static_cast<int64_t>(count), error);
    if (got < 0) return false;
    if (static_cast<std::size_t>(got) != count) {
      *error = "the file ended before the frames its header promises";
      return false;
    }
    for (std::size_t frame = 0; frame < count; ++frame) {
      into[frame] = interleaved_[frame * static_cast<std::size_t>(channels) + (channel_ - 1)];
    }
    return true;
  }

 private:
  WavReader& reader_;
  int channel_;
  std::vector<float> interleaved_;
};

// Writes the whole plot through the one output mechanism (output_file.h).
bool WritePlot(const std::string& path, const std::string& content, std::string* error) {
  OutputFile file;
  return file.Open(path, error) && file.Write(content.data(), content.size(), error) &&
         file.Commit(error);
}

int RunAnalyze(const AnalyzeOptions& options) {
  WavReader reader;
  std::string error;
  if (!reader.Open(options.input_path, &error)) {
    PrintError(error);
    return kExitUsage;
  }
  if (options.channel > reader.channels()) {
    PrintError("'" + options.input_path + "' has " + std::to_string(reader.channels()) +
               " channel" + (reader.channels() == 1 ? "" : "s") + "; there is no channel " +
               std::to_string(options.channel));
    return kExitUsage;
  }
  WavChannelSource source(reader, options.channel);
  SignalAnalysis analysis;
  if (!AnalyzeSource(source, &analysis, &error)) {
    PrintError(error);
    return kExitUsage;
  }
  if (!options.svg_path.empty()) {
    PlotOptions plot;
    plot.log_frequency = options.log_frequency;
    const std::string svg = PlotAnalysisSvg(analysis, BaseNameOf(options.input_path), plot);
    if (!WritePlot(options.svg_path, svg, &error)) {
      PrintError(error);
      return kExitOutputFailed;
    }
  }
  ReportContext context;
  context.file = options.input_path;
  context.channel = options.channel;
  context.channels = reader.channels();
  context.svg = options.svg_path;
  context.frames = options.frames;
  if (options.json) {
    std::printf("%s\n", AnalysisJson(context, analysis).dump(2).c_str());
  } else {
    std::fputs(AnalysisSummary(context, analysis).c_str(), stdout);
  }
  return std::fflush(stdout) == 0 ? kExitOk : kExitOutputFailed;
}

}  // namespace

void AddAnalyzeCommand(CLI::App& app, int* exit_status) {
  auto options = std::make_shared<AnalyzeOptions>();
  CLI::App* command = app.add_subcommand(
      "analyze",
      "Measure a WAV file: its pitch over time, or its one fundamental and the levels of "
      "harmonics 1 to 16; peak, RMS and DC offset (levels in dBFS)");
  // Unix paths are common under Wine; "/work/..." must stay a path, not a Windows-style option.
  command->allow_windows_style_options(false);
  command
      ->add_option("file", options->input_path,
                   "The WAV file (RIFF or RF64; integer or float samples)")
      ->required();
  command->add_option(
      "--svg", options->svg_path,
      "Also draw the spectrogram, the pitch and the RMS over time and, for a "
      "steady file, the waveform and the spectrum with its harmonics, into this SVG");
  command->add_flag("--json", options->json, "Print the results as JSON");
  command->add_flag("--frames", options->frames,
                    "Also give every frame: time, pitch, confidence, RMS and harmonics 1 to 16");
  command->add_flag("--log-frequency", options->log_frequency,
                    "Draw the spectrogram on a logarithmic frequency axis");
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
