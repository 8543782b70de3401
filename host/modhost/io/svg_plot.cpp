// The analysis plot's panels (see svg_plot.h), stacked on one page with one time axis for the
// three panels over time. The spectrogram is an embedded PNG (png_image.h) stretched over its
// panel; everything else is vector lines and text.
#include "host/modhost/io/svg_plot.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "host/modhost/analyze/analysis_report.h"
#include "host/modhost/io/png_image.h"
#include "host/modhost/io/svg_writer.h"

namespace modhost {
namespace {

using svg::DrawAxes;
using svg::FormatNumber;
using svg::NiceCeiling;
using svg::NiceStep;
using svg::Panel;
using svg::SeriesPoints;
using svg::Writer;

constexpr double kWidth = 1000.0;
constexpr double kPlotLeft = 84.0;
constexpr double kPlotRight = 900.0;
constexpr double kPanelGap = 62.0;
constexpr double kSpectrogramHeight = 260.0;
constexpr double kPitchHeight = 150.0;
constexpr double kRmsHeight = 110.0;
constexpr double kWaveformHeight = 200.0;
constexpr double kSpectrumHeight = 260.0;
// Levels shown: this many dB under the loudest, in steps of kLevelStepDb.
constexpr double kLevelRangeDb = 120.0;
constexpr double kLevelStepDb = 20.0;
constexpr std::size_t kImageRows = 256;
// The spectrogram's linear axis reaches this far above the highest harmonic found in any frame.
constexpr double kFrequencyHeadroom = 1.15;
constexpr double kLowestLogHz = 20.0;
// Harmonics further under a frame's loudest than this do not widen the spectrogram's range;
// 100 dB keeps the faint ones whose change a Quality setting makes.
constexpr double kShownRangeDb = 100.0;
// The segments under the title are cut after this many characters (the JSON has them all).
constexpr std::size_t kLongestLine = 150;
constexpr double kSpectrumHarmonicSpan = kHarmonicCount + 0.5;
// The waveform's vertical range leaves this much room above the largest sample.
constexpr double kHeadroom = 1.05;

constexpr const char* kWaveColour = "#1f5fa8";
constexpr const char* kSpectrumColour = "#2b2b2b";
constexpr const char* kHarmonicColour = "#c8321e";
constexpr const char* kPitchColour = "#c8321e";
constexpr const char* kRmsColour = "#1f5fa8";
constexpr const char* kTitleStyle = " font-size=\"14\" font-weight=\"bold\"";

struct Rgb {
  double red, green, blue;
};

// Dark for quiet, bright for loud: black, violet, red, orange, pale yellow.
Rgb LevelColour(double fraction) {
  static const Rgb kStops[] = {
      {0, 0, 4}, {80, 18, 123}, {183, 55, 121}, {251, 136, 97}, {252, 253, 191}};
  const double position = std::clamp(fraction, 0.0, 1.0) * 4.0;
  const int index = std::min(3, static_cast<int>(position));
  const double blend = position - index;
  const Rgb& low = kStops[index];
  const Rgb& high = kStops[index + 1];
  return {low.red + (high.red - low.red) * blend, low.green + (high.green - low.green) * blend,
          low.blue + (high.blue - low.blue) * blend};
}

void PushColour(std::vector<uint8_t>* rgb, const Rgb& colour) {
  rgb->push_back(static_cast<uint8_t>(std::lround(colour.red)));
  rgb->push_back(static_cast<uint8_t>(std::lround(colour.green)));
  rgb->push_back(static_cast<uint8_t>(std::lround(colour.blue)));
}

void Image(Writer& svg, double x, double y, double width, double height, std::size_t pixels_across,
           std::size_t pixels_down, const std::vector<uint8_t>& rgb, const char* css_class) {
  svg.Raw(Format(
      "<image class=\"%s\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" "
      "preserveAspectRatio=\"none\" href=\"data:image/png;base64,%s\"/>\n",
      css_class, x, y, width, height, Base64(EncodePng(pixels_across, pixels_down, rgb)).c_str()));
}

// The title above `panel`, `raise` pixels higher than usual (above the harmonic numbers).
void PanelTitle(Writer& svg, const Panel& panel, const std::string& title, double raise = 0.0) {
  svg.Text(panel.left, panel.top - 12 - raise, title, "start", kTitleStyle);
}

void Note(Writer& svg, const Panel& panel, const std::string& text) {
  svg.Text((panel.left + panel.right) / 2, (panel.top + panel.bottom) / 2, text, "middle",
           " font-size=\"16\"", svg::kSubtleTextColour);
}

// The highest frequency worth showing: above every harmonic found in any frame within
// kShownRangeDb of the frame's loudest, or half the sample rate when no frame has a pitch.
double TopFrequency(const SignalAnalysis& analysis) {
  const double nyquist_hz = analysis.sample_rate / 2.0;
  double highest = 0.0;
  for (const PitchFrame& frame : analysis.frames) {
    if (!(frame.pitch_hz > 0.0)) continue;
    highest = std::max(highest, frame.pitch_hz);
    const float loudest = *std::max_element(frame.harmonic_dbfs.begin(), frame.harmonic_dbfs.end());
    for (int index = 0; index < kHarmonicCount; ++index) {
      if (frame.harmonic_dbfs[index] > std::max<double>(kLevelFloorDb, loudest - kShownRangeDb)) {
        highest = std::max(highest, (index + 1) * frame.pitch_hz);
      }
    }
  }
  if (highest <= 0.0) return nyquist_hz;
  return std::min(nyquist_hz, NiceCeiling(highest * kFrequencyHeadroom));
}

// The frequency axis' ticks: 1, 2, 5 times powers of ten on a log axis, else evenly spaced.
void FrequencyTicks(Writer& svg, const Panel& panel, bool log_axis, double bottom_hz,
                    double top_hz) {
  const auto label = [](double hz) {
    return hz >= 1000.0
               ? FormatNumber(hz / 1000.0, hz >= 10000.0 || std::fmod(hz, 1000.0) == 0.0 ? 0 : 1) +
                     "k"
               : FormatNumber(hz, 0);
  };
  std::vector<double> ticks;
  if (log_axis) {
    for (double decade = std::pow(10.0, std::floor(std::log10(bottom_hz))); decade <= top_hz;
         decade *= 10.0) {
      for (double multiple : {1.0, 2.0, 5.0}) {
        const double hz = multiple * decade;
        if (hz >= bottom_hz * 0.999 && hz <= top_hz * 1.001) ticks.push_back(hz);
      }
    }
  } else {
    const double step = NiceStep(top_hz, 5.0);
    for (double hz = 0.0; hz <= top_hz * 1.0001; hz += step) ticks.push_back(hz);
  }
  for (double hz : ticks) {
    const double y = log_axis ? panel.Y(std::log2(hz)) : panel.Y(hz);
    svg.Line(panel.left - 5, y, panel.left, y, svg::kAxisColour, 1.0);
    svg.Text(panel.left - 8, y + 4, label(hz), "end");
  }
}

void DrawSpectrogram(Writer& svg, const SignalAnalysis& analysis, const PlotOptions& options,
                     const Panel& frame) {
  const Spectrogram& spectrogram = analysis.spectrogram;
  const double top_hz = TopFrequency(analysis);
  const bool log_axis = options.log_frequency && top_hz > 2.0 * kLowestLogHz;
  const double bottom_hz = log_axis ? kLowestLogHz : 0.0;
  Panel panel = frame;
  panel.x_min = 0.0;
  panel.x_max = std::max(analysis.duration_seconds, 1e-9);
  panel.y_min = log_axis ? std::log2(bottom_hz) : 0.0;
  panel.y_max = log_axis ? std::log2(top_hz) : top_hz;
  PanelTitle(svg, panel,
             Format("Spectrogram: level in dBFS by time and frequency (%s frequency axis)",
                    log_axis ? "logarithmic" : "linear"));
  const double duration = panel.x_max;
  DrawAxes(svg, panel, NiceStep(duration, 10.0), 1.0, 0.0, "time (s)", "frequency (Hz)");
  FrequencyTicks(svg, panel, log_axis, std::max(bottom_hz, 1.0), top_hz);
  if (spectrogram.columns == 0) {
    Note(svg, panel, analysis.sample_count == 0 ? "no samples" : "too short for a spectrogram");
    return;
  }

  // Each pixel row takes the largest value of the stored rows it spans.
  double loudest = 0.0;
  for (float value : spectrogram.amplitude) loudest = std::max<double>(loudest, value);
  const double top_db =
      loudest > 0.0 ? kLevelStepDb * std::ceil(AmplitudeToDbfs(loudest) / kLevelStepDb) : 0.0;
  const double bottom_db = top_db - kLevelRangeDb;
  std::vector<uint8_t> rgb;
  rgb.reserve(kImageRows * spectrogram.columns * 3);
  for (std::size_t pixel = 0; pixel < kImageRows; ++pixel) {
    const double upper = panel.y_max - (panel.y_max - panel.y_min) * pixel / kImageRows;
    const double lower = panel.y_max - (panel.y_max - panel.y_min) * (pixel + 1) / kImageRows;
    const double upper_hz = log_axis ? std::exp2(upper) : upper;
    const double lower_hz = log_axis ? std::exp2(lower) : lower;
    const std::size_t first =
        std::min(spectrogram.rows - 1, static_cast<std::size_t>(lower_hz / spectrogram.row_hz));
    const std::size_t last =
        std::clamp(static_cast<std::size_t>(std::ceil(upper_hz / spectrogram.row_hz)), first + 1,
                   spectrogram.rows);
    for (std::size_t column = 0; column < spectrogram.columns; ++column) {
      float value = 0.0f;
      for (std::size_t row = first; row < last; ++row)
        value = std::max(value, spectrogram.at(column, row));
      PushColour(&rgb, LevelColour((AmplitudeToDbfs(value) - bottom_db) / kLevelRangeDb));
    }
  }
  Image(svg, panel.left, panel.top, panel.right - panel.left, panel.bottom - panel.top,
        spectrogram.columns, kImageRows, rgb, "spectrogram");

  // The colour scale beside it.
  const double bar_left = panel.right + 16.0;
  const double bar_width = 14.0;
  std::vector<uint8_t> bar;
  for (std::size_t pixel = 0; pixel < kImageRows; ++pixel) {
    PushColour(&bar, LevelColour(1.0 - (pixel + 0.5) / kImageRows));
  }
  Image(svg, bar_left, panel.top, bar_width, panel.bottom - panel.top, 1, kImageRows, bar,
        "colour-scale");
  for (double level = bottom_db; level <= top_db + 1e-9; level += kLevelStepDb) {
    const double y =
        panel.bottom - (level - bottom_db) / kLevelRangeDb * (panel.bottom - panel.top);
    svg.Line(bar_left + bar_width, y, bar_left + bar_width + 4, y, svg::kAxisColour, 1.0);
    svg.Text(bar_left + bar_width + 7, y + 4, FormatNumber(level, 0));
  }
  svg.Text(bar_left, panel.top - 12, "dBFS");
}

// The pitched frames' runs, each a list of (time, value) points.
std::vector<std::vector<std::pair<double, double>>> PitchRuns(const SignalAnalysis& analysis) {
  std::vector<std::vector<std::pair<double, double>>> runs;
  bool in_run = false;
  for (const PitchFrame& frame : analysis.frames) {
    if (!(frame.pitch_hz > 0.0)) {
      in_run = false;
      continue;
    }
    if (!in_run) runs.emplace_back();
    in_run = true;
    runs.back().emplace_back(frame.time_seconds, frame.pitch_hz);
  }
  return runs;
}

void DrawPitch(Writer& svg, const SignalAnalysis& analysis, const Panel& frame) {
  double lowest = 0.0;
  double highest = 0.0;
  for (const PitchFrame& pitch_frame : analysis.frames) {
    if (!(pitch_frame.pitch_hz > 0.0)) continue;
    lowest = lowest > 0.0 ? std::min(lowest, pitch_frame.pitch_hz) : pitch_frame.pitch_hz;
    highest = std::max(highest, pitch_frame.pitch_hz);
  }
  const bool any = highest > 0.0;
  const bool log_axis = any && highest / lowest >= 1.5;
  Panel panel = frame;
  panel.x_min = 0.0;
  panel.x_max = std::max(analysis.duration_seconds, 1e-9);
  if (log_axis) {
    panel.y_min = std::log2(lowest) - 0.15;
    panel.y_max = std::log2(highest) + 0.15;
  } else {
    const double centre = any ? 0.5 * (lowest + highest) : 440.0;
    const double half = std::max({0.5 * (highest - lowest) * 1.3, 0.02 * centre, 1.0});
    panel.y_min = centre - half;
    panel.y_max = centre + half;
  }
  PanelTitle(svg, panel,
             "Pitch of each frame (" + std::string(log_axis ? "logarithmic" : "linear") +
                 " axis; gaps where a frame has no pitch)");
  DrawAxes(svg, panel, NiceStep(panel.x_max, 10.0), 1.0,
           log_axis ? 0.0 : NiceStep(panel.y_max - panel.y_min, 5.0), "time (s)", "pitch (Hz)");
  if (log_axis) FrequencyTicks(svg, panel, true, std::exp2(panel.y_min), std::exp2(panel.y_max));
  if (!any) {
    Note(svg, panel, analysis.silent ? "silent: no pitch" : "no frame has a pitch");
    return;
  }
  const std::string clip_id = svg.ClipTo(panel);
  for (const auto& run : PitchRuns(analysis)) {
    auto points = SeriesPoints(panel, run.size(), 0.0, 1.0, [&](std::size_t index) {
      return log_axis ? std::log2(run[index].second) : run[index].second;
    });
    // SeriesPoints spaces points evenly from 0; put them at the frames' times.
    if (run.size() <= 2 * static_cast<std::size_t>(panel.right - panel.left)) {
      for (std::size_t index = 0; index < points.size(); ++index) {
        points[index].first = panel.X(run[index].first);
      }
    }
    if (points.size() == 1) points.push_back({points[0].first + 1.0, points[0].second});
    svg.Polyline(points, kPitchColour, 1.8, "pitch", clip_id);
  }
  // Each steady segment wide enough for it carries its pitch.
  for (const PitchSegment& segment : analysis.segments) {
    if (segment.kind != SegmentKind::kSteady) continue;
    const double left = panel.X(segment.start_seconds);
    const double right = panel.X(segment.end_seconds);
    if (right - left < 70.0) continue;
    const double value = log_axis ? std::log2(segment.frequency_hz) : segment.frequency_hz;
    const double y = panel.Y(value);
    svg.Text(0.5 * (left + right), y < panel.top + 20 ? y + 16 : y - 6,
             Format("%.1f Hz", segment.frequency_hz), "middle", " font-size=\"11\"");
  }
}

void DrawRms(Writer& svg, const SignalAnalysis& analysis, const Panel& frame) {
  double loudest = kLevelFloorDb;
  double quietest = 0.0;
  for (const PitchFrame& pitch_frame : analysis.frames) {
    const double level = AmplitudeToDbfs(pitch_frame.rms);
    loudest = std::max(loudest, level);
    quietest = std::min(quietest, level);
  }
  Panel panel = frame;
  panel.x_min = 0.0;
  panel.x_max = std::max(analysis.duration_seconds, 1e-9);
  panel.y_max = analysis.frames.empty() || loudest <= kLevelFloorDb
                    ? 0.0
                    : kLevelStepDb * std::ceil((loudest + 0.5) / kLevelStepDb);
  const double span = std::clamp(kLevelStepDb * std::ceil((panel.y_max - quietest) / kLevelStepDb),
                                 40.0, kLevelRangeDb);
  panel.y_min = panel.y_max - span;
  PanelTitle(svg, panel, "RMS of each frame (dBFS)");
  DrawAxes(svg, panel, NiceStep(panel.x_max, 10.0), 1.0, span > 60.0 ? 20.0 : 10.0, "time (s)",
           "RMS (dBFS)");
  if (analysis.frames.empty()) return;
  const std::vector<PitchFrame>& frames = analysis.frames;
  auto points = SeriesPoints(panel, frames.size(), frames.front().time_seconds,
                             analysis.hop_seconds, [&frames](std::size_t index) {
                               return std::max(AmplitudeToDbfs(frames[index].rms), -1000.0);
                             });
  if (points.size() == 1) points.push_back({points[0].first + 1.0, points[0].second});
  svg.Polyline(points, kRmsColour, 1.6, "rms", svg.ClipTo(panel));
}

void DrawWaveform(Writer& svg, const SignalAnalysis& analysis, const Panel& frame) {
  const std::vector<float>& samples = analysis.waveform;
  const auto value_at = [&samples](std::size_t index) {
    return std::isfinite(samples[index]) ? static_cast<double>(samples[index]) : 0.0;
  };
  double largest = 0.0;
  for (std::size_t index = 0; index < samples.size(); ++index) {
    largest = std::max(largest, std::abs(value_at(index)));
  }
  Panel panel = frame;
  panel.x_min = 0.0;
  panel.x_max = std::max(static_cast<double>(samples.size()) / analysis.sample_rate,
                         1.0 / analysis.sample_rate);
  panel.y_max = largest > 0.0 ? NiceCeiling(largest * kHeadroom) : 1.0;
  panel.y_min = -panel.y_max;
  PanelTitle(
      svg, panel,
      Format("Waveform: three periods from %.3f s (%zu samples)",
             static_cast<double>(analysis.excerpt_first) / analysis.sample_rate, samples.size()));
  DrawAxes(svg, panel, NiceStep(panel.x_max, 10.0), 1e3, NiceStep(2 * panel.y_max, 8.0),
           "time (ms)", "amplitude (1.0 = 10 V = 0 dBFS)");
  svg.Line(panel.left, panel.Y(0.0), panel.right, panel.Y(0.0), svg::kAxisColour, 0.8);
  const auto points =
      SeriesPoints(panel, samples.size(), 0.0, 1.0 / analysis.sample_rate, value_at);
  const std::string clip_id = svg.ClipTo(panel);
  svg.Polyline(points, kWaveColour, 1.6, "waveform", clip_id);
  // Few samples per period: show where the samples are, not only the line between them.
  if (samples.size() <= 120) {
    svg.Raw(Format("<g clip-path=\"url(#%s)\" fill=\"%s\">", clip_id.c_str(), kWaveColour));
    for (const auto& [x, y] : points)
      svg.Raw(Format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"2\"/>", x, y));
    svg.Raw("</g>\n");
  }
}

void DrawSpectrum(Writer& svg, const SignalAnalysis& analysis, const Panel& frame) {
  const Spectrum& spectrum = analysis.spectrum;
  const double nyquist_hz = analysis.sample_rate / 2.0;
  Panel panel = frame;
  panel.x_min = 0.0;
  panel.x_max = analysis.has_pitch
                    ? std::min(nyquist_hz, kSpectrumHarmonicSpan * analysis.fundamental_hz)
                    : TopFrequency(analysis);
  const std::size_t bin_count =
      spectrum.amplitude.empty()
          ? 0
          : std::min(spectrum.amplitude.size() - 1,
                     static_cast<std::size_t>(std::floor(panel.x_max / spectrum.bin_hz))) +
                1;
  double loudest_db = kLevelFloorDb;
  for (std::size_t bin = 0; bin < bin_count; ++bin) {
    loudest_db = std::max(loudest_db, AmplitudeToDbfs(spectrum.amplitude[bin]));
  }
  for (const HarmonicLevel& harmonic : analysis.harmonics) {
    if (harmonic.found) loudest_db = std::max(loudest_db, harmonic.level_dbfs);
  }
  panel.y_max = loudest_db > kLevelFloorDb
                    ? kLevelStepDb * std::ceil((loudest_db + 1.0) / kLevelStepDb)
                    : 0.0;
  panel.y_min = panel.y_max - kLevelRangeDb - kLevelStepDb;

  std::string title = Format("Spectrum: %zu frames of %.3f s averaged", analysis.frames.size(),
                             analysis.frame_seconds);
  if (analysis.has_pitch)
    title += "; harmonics 1 to 16 marked (filled: found above the floor, the bar)";
  PanelTitle(svg, panel, title, 14.0);
  const bool in_khz = panel.x_max >= 2000.0;
  DrawAxes(svg, panel, NiceStep(panel.x_max, 10.0), in_khz ? 1e-3 : 1.0, kLevelStepDb,
           in_khz ? "frequency (kHz)" : "frequency (Hz)", "level (dBFS)");
  const auto points =
      SeriesPoints(panel, bin_count, 0.0, spectrum.bin_hz, [&spectrum](std::size_t bin) {
        return std::max(AmplitudeToDbfs(spectrum.amplitude[bin]), -1000.0);
      });
  svg.Polyline(points, kSpectrumColour, 1.0, "spectrum", svg.ClipTo(panel));
  if (analysis.silent) Note(svg, panel, analysis.sample_count == 0 ? "no samples" : "silent");
  if (!analysis.has_pitch) return;
  for (const HarmonicLevel& harmonic : analysis.harmonics) {
    if (!harmonic.below_nyquist || harmonic.frequency_hz > panel.x_max) continue;
    const double x = panel.X(harmonic.frequency_hz);
    const double y = panel.Y(harmonic.level_dbfs);
    svg.Raw(Format("<g class=\"harmonic\" data-number=\"%d\">", harmonic.number));
    svg.Raw(Format("<title>harmonic %d: %.3f Hz, %.2f dBFS%s</title>", harmonic.number,
                   harmonic.frequency_hz, harmonic.level_dbfs,
                   harmonic.found ? "" : ", not found above the floor"));
    svg.Line(x, panel.top, x, panel.bottom, kHarmonicColour, 0.8,
             " stroke-dasharray=\"3 3\" stroke-opacity=\"0.55\"");
    // The floor it was judged against, as a short bar.
    const double floor_y = panel.Y(harmonic.floor_dbfs);
    svg.Line(x - 6, floor_y, x + 6, floor_y, kHarmonicColour, 1.2);
    svg.Raw(
        Format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"3.5\" fill=\"%s\" stroke=\"%s\" "
               "stroke-width=\"1.2\"/>",
               x, y, harmonic.found ? kHarmonicColour : "white", kHarmonicColour));
    svg.Raw(Format(
        "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" fill=\"%s\" font-size=\"11\">%d</text>",
        x, panel.top - 6, kHarmonicColour, harmonic.number));
    svg.Raw("</g>\n");
  }
}

std::string Subtitle(const SignalAnalysis& analysis) {
  const auto level = [](double value) {
    return value > 0.0 ? Format("%.4f (%.1f dBFS)", value, 20.0 * std::log10(value))
                       : Format("%.4f", value);
  };
  std::string text =
      Format("%.0f Hz, %llu samples (%.3f s) \u00b7 peak %s \u00b7 RMS %s \u00b7 DC offset %s",
             analysis.sample_rate, static_cast<unsigned long long>(analysis.sample_count),
             analysis.duration_seconds, level(analysis.peak).c_str(), level(analysis.rms).c_str(),
             FormatNumber(analysis.dc_offset, 6).c_str());
  if (analysis.non_finite_count > 0) {
    text += Format(" \u00b7 %llu non-finite samples drawn as 0",
                   static_cast<unsigned long long>(analysis.non_finite_count));
  }
  return text;
}

}  // namespace

std::string PlotAnalysisSvg(const SignalAnalysis& analysis, const std::string& name,
                            const PlotOptions& options) {
  const bool steady = analysis.has_pitch;
  double top = 130.0;
  const auto next_panel = [&top](double height) {
    const Panel panel{kPlotLeft, top, kPlotRight, top + height, 0.0, 1.0, 0.0, 1.0};
    top += height + kPanelGap + 30.0;
    return panel;
  };
  const Panel spectrogram = next_panel(kSpectrogramHeight);
  const Panel pitch = next_panel(kPitchHeight);
  const Panel rms = next_panel(kRmsHeight);
  const Panel waveform = steady ? next_panel(kWaveformHeight) : Panel{};
  const Panel spectrum = next_panel(kSpectrumHeight);

  Writer svg(kWidth, top - kPanelGap + 20.0);
  std::string pitch_text;
  if (analysis.has_pitch) {
    pitch_text = Format("fundamental %.3f Hz", analysis.fundamental_hz);
  } else {
    pitch_text = analysis.silent ? "silent, no pitch" : "no stable pitch";
  }
  svg.Text(kPlotLeft, 30, name + ": " + pitch_text, "start",
           " font-size=\"18\" font-weight=\"bold\"");
  svg.Text(kPlotLeft, 52, Subtitle(analysis), "start", "", svg::kSubtleTextColour);
  if (!analysis.silent && !analysis.segments.empty()) {
    std::string segments = "pitch: " + DescribeSegments(analysis.segments);
    if (segments.size() > kLongestLine) segments = segments.substr(0, kLongestLine - 3) + "...";
    svg.Text(kPlotLeft, 72, segments, "start", "", svg::kSubtleTextColour);
  }
  DrawSpectrogram(svg, analysis, options, spectrogram);
  DrawPitch(svg, analysis, pitch);
  DrawRms(svg, analysis, rms);
  if (steady) DrawWaveform(svg, analysis, waveform);
  DrawSpectrum(svg, analysis, spectrum);
  return svg.Finish();
}

}  // namespace modhost
