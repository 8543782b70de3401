// `modhost diff A.wav B.wav [--json] [--allow-length]`: are two renders the same, and if not,
// where and by how much (sample_compare.h). Exit 0 when identical, 1 when they differ, 2 when
// they cannot be compared: a file that cannot be read, or another sample rate, channel count or
// length (--allow-length compares the frames both have).
//
// Both files are read side by side in blocks, so any length takes the same few megabytes.
#include <cmath>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/modhost/analyze/sample_compare.h"
#include "host/modhost/cli/commands.h"
#include "host/modhost/io/text.h"
#include "host/modhost/io/wav_io.h"

namespace modhost {
namespace {

constexpr int64_t kBlockFrames = 16384;

struct DiffOptions {
  std::string a_path;
  std::string b_path;
  bool json = false;
  bool allow_length = false;
};

std::string Plural(uint64_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string FormOf(const WavReader& reader) {
  return Plural(static_cast<uint64_t>(reader.frames()), "frame") + " of " +
         Plural(static_cast<uint64_t>(reader.channels()), "channel") + " at " +
         std::to_string(reader.sample_rate()) + " Hz";
}

// JSON numbers cannot be infinite or NaN: those are written as null.
nlohmann::ordered_json Number(double value) {
  return std::isfinite(value) ? nlohmann::ordered_json(value) : nlohmann::ordered_json(nullptr);
}

double Dbfs(double value) { return 20.0 * std::log10(value); }

void PrintResult(const DiffOptions& options, const WavReader& reader_a, const WavReader& reader_b,
                 const SampleComparer& comparer, const std::string& problem) {
  const SampleComparison& result = comparer.result();
  const double rate = reader_a.sample_rate();
  if (options.json) {
    nlohmann::ordered_json json = {
        {"a", options.a_path},
        {"b", options.b_path},
        {"a_frames", reader_a.frames()},
        {"b_frames", reader_b.frames()},
        {"a_channels", reader_a.channels()},
        {"b_channels", reader_b.channels()},
        {"a_sample_rate", reader_a.sample_rate()},
        {"b_sample_rate", reader_b.sample_rate()},
        {"comparable", problem.empty()},
    };
    if (!problem.empty()) {
      json["problem"] = problem;
    } else {
      json["compared_frames"] = result.compared_frames;
      json["identical"] = result.identical();
      json["differing_samples"] = result.differing_samples;
      if (!result.identical()) {
        json["first_difference"] = {{"frame", result.first_frame},
                                    {"seconds", result.first_frame / rate},
                                    {"channel", result.first_channel},
                                    {"a", Number(result.first_a)},
                                    {"b", Number(result.first_b)}};
        json["largest_difference"] = {{"value", result.largest_difference},
                                      {"dbfs", Number(Dbfs(result.largest_difference))},
                                      {"frame", result.largest_frame},
                                      {"channel", result.largest_channel}};
        json["largest_difference_steps"] = result.largest_steps;
        json["step_format"] = comparer.StepName();
        json["non_finite_differences"] = result.non_finite_differences;
        json["snr_db"] = Number(result.SnrDb());
      }
    }
    std::printf("%s\n", json.dump(2).c_str());
    return;
  }
  if (!problem.empty()) return;
  const std::string names = options.a_path + " and " + options.b_path;
  const std::string common = reader_a.frames() == reader_b.frames()
                                 ? FormOf(reader_a)
                                 : "the first " + Plural(result.compared_frames, "frame");
  if (result.identical()) {
    std::printf("%s are identical: %s\n", names.c_str(), common.c_str());
    return;
  }
  const uint64_t samples = result.compared_frames * static_cast<uint64_t>(result.channels);
  std::printf("%s differ: %llu of %llu samples (%.4g%%) in %s\n", names.c_str(),
              static_cast<unsigned long long>(result.differing_samples),
              static_cast<unsigned long long>(samples),
              100.0 * static_cast<double>(result.differing_samples) / static_cast<double>(samples),
              common.c_str());
  std::printf("  first difference    frame %llu (%.6f s), channel %d: %.9g in A, %.9g in B\n",
              static_cast<unsigned long long>(result.first_frame), result.first_frame / rate,
              result.first_channel, result.first_a, result.first_b);
  if (result.largest_difference > 0.0) {
    std::printf("  largest difference  %.3g (%.1f dBFS) at frame %llu, channel %d\n",
                result.largest_difference, Dbfs(result.largest_difference),
                static_cast<unsigned long long>(result.largest_frame), result.largest_channel);
    std::printf("  largest in steps    %llu ULP of %s\n",
                static_cast<unsigned long long>(result.largest_steps), comparer.StepName().c_str());
    std::printf("  SNR                 %.1f dB (A as the reference)\n", result.SnrDb());
  } else {
    std::printf("  every differing sample has the same value (+0 and -0, or NaNs)\n");
  }
  if (result.non_finite_differences > 0) {
    std::printf("  %llu differing samples are NaN or infinite in A or B\n",
                static_cast<unsigned long long>(result.non_finite_differences));
  }
}

int RunDiff(const DiffOptions& options) {
  WavReader a;
  WavReader b;
  std::string error;
  if (!a.Open(options.a_path, &error) || !b.Open(options.b_path, &error)) {
    ReportError("diff", error);
    return kExitUsage;
  }
  std::string problem;
  if (a.sample_rate() != b.sample_rate() || a.channels() != b.channels() ||
      (a.frames() != b.frames() && !options.allow_length)) {
    problem = "cannot compare " + options.a_path + " (" + FormOf(a) + ") with " + options.b_path +
              " (" + FormOf(b) + ")";
    if (a.sample_rate() == b.sample_rate() && a.channels() == b.channels()) {
      problem += "; --allow-length compares the frames both have";
    }
  }
  SampleComparer comparer(a.layout(), b.layout());
  if (problem.empty()) {
    std::vector<uint8_t> a_bytes(static_cast<std::size_t>(kBlockFrames) *
                                 a.layout().bytes_per_frame());
    std::vector<uint8_t> b_bytes(static_cast<std::size_t>(kBlockFrames) *
                                 b.layout().bytes_per_frame());
    for (int64_t left = std::min(a.frames(), b.frames()); left > 0;) {
      const int64_t frames = std::min(left, kBlockFrames);
      if (a.ReadRawFrames(a_bytes.data(), frames, &error) != frames ||
          b.ReadRawFrames(b_bytes.data(), frames, &error) != frames) {
        ReportError("diff", error);
        return kExitUsage;
      }
      comparer.Add(a_bytes.data(), b_bytes.data(), static_cast<uint64_t>(frames));
      left -= frames;
    }
  }
  PrintResult(options, a, b, comparer, problem);
  if (!problem.empty()) {
    ReportError("diff", problem);
    return kExitUsage;
  }
  if (std::fflush(stdout) != 0) return kExitOutputFailed;
  return comparer.result().identical() ? kExitOk : kExitFailed;
}

}  // namespace

void AddDiffCommand(CLI::App& app, int* exit_status) {
  auto options = std::make_shared<DiffOptions>();
  CLI::App* command = app.add_subcommand(
      "diff",
      "Compare two WAV files sample by sample: identical (exit 0), or where and by how much they "
      "differ (exit 1: first difference, count, largest in value, dBFS and ULPs, SNR)");
  command->allow_windows_style_options(false);
  command->add_option("a", options->a_path, "The first WAV file, the reference for the SNR")
      ->required();
  command->add_option("b", options->b_path, "The second WAV file")->required();
  command->add_flag("--json", options->json, "Print the results as JSON");
  command->add_flag("--allow-length", options->allow_length,
                    "Compare the frames both files have when their lengths differ");
  command->callback([options, exit_status]() {
    try {
      *exit_status = RunDiff(*options);
    } catch (const std::exception& exception) {
      ReportError("diff", exception.what());
      *exit_status = kExitFailed;
    }
  });
}

}  // namespace modhost
