// The summary, the frames' table and the JSON of `modhost analyze` (see analysis_report.h).
#include "host/modhost/analyze/analysis_report.h"

#include <cmath>

#include "host/modhost/io/text.h"

namespace modhost {
namespace {

// Segments named in the summary line; the JSON and --frames have them all.
constexpr std::size_t kSegmentsInSummary = 12;

std::string LevelText(double value) {
  if (value > 0.0) return Format("%.6f  (%.2f dBFS)", value, 20.0 * std::log10(value));
  return Format("%.6f", value);
}

// JSON numbers cannot be infinite or NaN; none of ours are, but a null beats invalid JSON.
nlohmann::ordered_json Number(double value) {
  return std::isfinite(value) ? nlohmann::ordered_json(value) : nlohmann::ordered_json(nullptr);
}

// A level in dBFS, or null when it lies at the floor (not found, or nothing there).
nlohmann::ordered_json Dbfs(double level) {
  return level > kLevelFloorDb ? Number(level) : nlohmann::ordered_json(nullptr);
}

const char* KindName(SegmentKind kind) {
  switch (kind) {
    case SegmentKind::kSteady:
      return "steady";
    case SegmentKind::kGlide:
      return "glide";
    case SegmentKind::kNoPitch:
      break;
  }
  return "no pitch";
}

std::string DescribeSegment(const PitchSegment& segment) {
  const std::string span =
      Format("from %.3f s to %.3f s", segment.start_seconds, segment.end_seconds);
  switch (segment.kind) {
    case SegmentKind::kSteady:
      return Format("%.1f Hz ", segment.frequency_hz) + span;
    case SegmentKind::kGlide:
      return Format("%.1f Hz gliding to %.1f Hz ", segment.start_hz, segment.end_hz) + span;
    case SegmentKind::kNoPitch:
      break;
  }
  return "no pitch " + span;
}

}  // namespace

std::string DescribeSegments(const std::vector<PitchSegment>& segments) {
  std::string text;
  for (std::size_t index = 0; index < segments.size(); ++index) {
    if (index == kSegmentsInSummary) {
      text += Format(", and %zu more", segments.size() - index);
      break;
    }
    if (index > 0) text += ", ";
    text += DescribeSegment(segments[index]);
  }
  return text;
}

std::string AnalysisSummary(const ReportContext& context, const SignalAnalysis& analysis) {
  std::string text =
      Format("%s: channel %d of %d, %.0f Hz, %llu samples (%.3f s)\n", context.file.c_str(),
             context.channel, context.channels, analysis.sample_rate,
             static_cast<unsigned long long>(analysis.sample_count), analysis.duration_seconds);
  if (analysis.non_finite_count > 0) {
    text += Format("  warning      %llu samples are NaN or infinite; they count as 0\n",
                   static_cast<unsigned long long>(analysis.non_finite_count));
  }
  text += "  peak         " + LevelText(analysis.peak) + "\n";
  text += "  RMS          " + LevelText(analysis.rms) + "\n";
  // An offset that rounds to zero prints as 0, not as "-0.000000".
  const double shown_offset = std::abs(analysis.dc_offset) < 5e-7 ? 0.0 : analysis.dc_offset;
  text += Format("  DC offset    %.6f\n", shown_offset);
  if (!analysis.segments.empty() && !analysis.silent) {
    text += "  pitch        " + DescribeSegments(analysis.segments) + "\n";
  }
  if (!analysis.has_pitch) {
    text += Format("  fundamental  none (%s)\n", analysis.sample_count == 0 ? "no samples"
                                                 : analysis.silent          ? "silent"
                                                                            : "no stable pitch");
  } else {
    text += Format("  fundamental  %.4f Hz (within %.0f%% over %.0f%% of the length)\n\n",
                   analysis.fundamental_hz, kSteadyTolerance * 100.0,
                   std::floor(analysis.stable_share * 100.0));
    text += "  harmonic  frequency (Hz)  level (dBFS)  floor (dBFS)  found\n";
    for (const HarmonicLevel& harmonic : analysis.harmonics) {
      if (!harmonic.below_nyquist) {
        text += Format("  %8d  %14.4f  above half the sample rate\n", harmonic.number,
                       harmonic.frequency_hz);
        continue;
      }
      const std::string level = harmonic.level_dbfs <= kLevelFloorDb
                                    ? std::string("below -200")
                                    : Format("%.2f", harmonic.level_dbfs);
      text += Format("  %8d  %14.4f  %12s  %12.1f  %s\n", harmonic.number, harmonic.frequency_hz,
                     level.c_str(), harmonic.floor_dbfs, harmonic.found ? "yes" : "no");
    }
    text += Format(
        "  found: %.0f dB or more above the floor, the median level within half a fundamental\n"
        "  (fundamental and harmonics from samples %llu to %llu)\n",
        kFoundAboveFloorDb, static_cast<unsigned long long>(analysis.excerpt_first),
        static_cast<unsigned long long>(analysis.excerpt_first + analysis.excerpt_count));
  }
  if (context.frames) text += "\n" + FramesTable(analysis);
  if (!context.svg.empty()) text += "  plot written to " + context.svg + "\n";
  return text;
}

std::string FramesTable(const SignalAnalysis& analysis) {
  std::string text = Format(
      "  %zu frames of %.3f s, every %.3f s; levels in dBFS, '-' where no harmonic is found\n",
      analysis.frames.size(), analysis.frame_seconds, analysis.hop_seconds);
  text += "  time (s)  pitch (Hz)  confidence  RMS (dBFS)";
  for (int number = 1; number <= kHarmonicCount; ++number)
    text += Format("  %6s", Format("H%d", number).c_str());
  text += "\n";
  for (const PitchFrame& frame : analysis.frames) {
    const std::string pitch = frame.pitch_hz > 0.0 ? Format("%.2f", frame.pitch_hz) : "-";
    text += Format("  %8.3f  %10s  %10.3f  %10.2f", frame.time_seconds, pitch.c_str(),
                   frame.confidence, AmplitudeToDbfs(frame.rms));
    for (float level : frame.harmonic_dbfs) {
      text += level > kLevelFloorDb ? Format("  %6.1f", level) : "       -";
    }
    text += "\n";
  }
  return text;
}

nlohmann::ordered_json AnalysisJson(const ReportContext& context, const SignalAnalysis& analysis) {
  nlohmann::ordered_json harmonics = nlohmann::ordered_json::array();
  if (analysis.has_pitch) {
    for (const HarmonicLevel& harmonic : analysis.harmonics) {
      harmonics.push_back({
          {"number", harmonic.number},
          {"frequency_hz", Number(harmonic.frequency_hz)},
          {"below_nyquist", harmonic.below_nyquist},
          {"present", harmonic.found},
          {"amplitude", harmonic.below_nyquist ? Number(harmonic.amplitude) : nullptr},
          {"level_dbfs", harmonic.below_nyquist ? Dbfs(harmonic.level_dbfs) : nullptr},
          {"floor_dbfs", harmonic.below_nyquist ? Dbfs(harmonic.floor_dbfs) : nullptr},
      });
    }
  }
  nlohmann::ordered_json segments = nlohmann::ordered_json::array();
  for (const PitchSegment& segment : analysis.segments) {
    nlohmann::ordered_json item = {{"kind", KindName(segment.kind)},
                                   {"start_seconds", Number(segment.start_seconds)},
                                   {"end_seconds", Number(segment.end_seconds)}};
    if (segment.kind == SegmentKind::kSteady) item["frequency_hz"] = Number(segment.frequency_hz);
    if (segment.kind == SegmentKind::kGlide) {
      item["start_hz"] = Number(segment.start_hz);
      item["end_hz"] = Number(segment.end_hz);
    }
    segments.push_back(item);
  }
  nlohmann::ordered_json result = {
      {"file", context.file},
      {"channel", context.channel},
      {"channels", context.channels},
      {"sample_rate", analysis.sample_rate},
      {"samples", analysis.sample_count},
      {"duration_seconds", Number(analysis.duration_seconds)},
      {"non_finite_samples", analysis.non_finite_count},
      {"level_reference", "dBFS: 0 dB is full scale, 1.0 = 10 V"},
      {"peak", Number(analysis.peak)},
      {"peak_dbfs", Dbfs(AmplitudeToDbfs(analysis.peak))},
      {"maximum", Number(analysis.maximum)},
      {"minimum", Number(analysis.minimum)},
      {"rms", Number(analysis.rms)},
      {"rms_dbfs", Dbfs(AmplitudeToDbfs(analysis.rms))},
      {"dc_offset", Number(analysis.dc_offset)},
      {"silent", analysis.silent},
      {"stable_pitch", analysis.has_pitch},
      {"fundamental_hz", analysis.has_pitch ? Number(analysis.fundamental_hz) : nullptr},
      {"stable_share", Number(analysis.stable_share)},
      {"steady_tolerance", kSteadyTolerance},
      {"pitch_summary", DescribeSegments(analysis.segments)},
      {"segments", segments},
      {"harmonics", harmonics},
      {"found_above_floor_db", kFoundAboveFloorDb},
      {"excerpt_first_sample", analysis.excerpt_first},
      {"excerpt_samples", analysis.excerpt_count},
      {"frame_seconds", Number(analysis.frame_seconds)},
      {"hop_seconds", Number(analysis.hop_seconds)},
      {"frame_count", analysis.frames.size()},
      {"level_floor_db", kLevelFloorDb},
  };
  if (context.frames) {
    nlohmann::ordered_json frames = nlohmann::ordered_json::array();
    for (const PitchFrame& frame : analysis.frames) {
      nlohmann::ordered_json levels = nlohmann::ordered_json::array();
      for (float level : frame.harmonic_dbfs) levels.push_back(Dbfs(level));
      frames.push_back({{"time_seconds", Number(frame.time_seconds)},
                        {"pitch_hz", frame.pitch_hz > 0.0 ? Number(frame.pitch_hz) : nullptr},
                        {"confidence", Number(frame.confidence)},
                        {"rms_dbfs", Dbfs(AmplitudeToDbfs(frame.rms))},
                        {"harmonics_dbfs", levels}});
    }
    result["frames"] = frames;
  }
  if (!context.svg.empty()) result["svg"] = context.svg;
  return result;
}

}  // namespace modhost
