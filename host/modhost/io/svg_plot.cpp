// Writes the analysis plot as SVG text by hand: two panels of fixed layout, each a frame with
// grid, ticks and labels, and one data path. Long signals and long spectra are reduced to one
// minimum and maximum per pixel column, so that the file stays small whatever the input and no
// spike disappears.
#include "host/modhost/io/svg_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace modhost {
namespace {

constexpr double kWidth = 1000.0;
constexpr double kHeight = 780.0;
constexpr double kPlotLeft = 84.0;
constexpr double kPlotRight = 968.0;
constexpr double kSpectrumRangeDb = 140.0;
constexpr double kWaveformPeriods = 3.0;
constexpr double kUnpitchedWaveformSeconds = 0.010;
constexpr double kSpectrumHarmonicSpan = kHarmonicCount + 0.5;
constexpr double kSpectrumStepDb = 20.0;
// The waveform's vertical range leaves this much room above the largest sample.
constexpr double kHeadroom = 1.05;
// Below this many data points per pixel the points are joined directly; above it each pixel
// column shows the range of its points.
constexpr double kPointsPerPixelForEnvelope = 2.0;

constexpr const char* kWaveColour = "#1f5fa8";
constexpr const char* kSpectrumColour = "#2b2b2b";
constexpr const char* kHarmonicColour = "#c8321e";
constexpr const char* kGridColour = "#e3e3e3";
constexpr const char* kAxisColour = "#555555";
constexpr const char* kTextColour = "#222222";
constexpr const char* kSubtleTextColour = "#666666";

// printf into a std::string; the C locale of a command-line program keeps '.' as the decimal
// point, which SVG requires.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  va_list copy;
  va_copy(copy, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(static_cast<std::size_t>(std::max(length, 0)) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, arguments);
  va_end(arguments);
  text.pop_back();
  return text;
}

// Length of the valid UTF-8 sequence at `start` in `text`, or 0 when there is none.
std::size_t Utf8SequenceLength(const std::string& text, std::size_t start) {
  const unsigned char lead = static_cast<unsigned char>(text[start]);
  const std::size_t length = lead < 0x80                   ? 1
                             : lead >= 0xc2 && lead < 0xe0 ? 2
                             : lead >= 0xe0 && lead < 0xf0 ? 3
                             : lead >= 0xf0 && lead < 0xf5 ? 4
                                                           : 0;
  if (length == 0 || start + length > text.size()) return 0;
  for (std::size_t offset = 1; offset < length; ++offset) {
    if ((static_cast<unsigned char>(text[start + offset]) & 0xc0) != 0x80) return 0;
  }
  return length;
}

// Text content for the SVG: markup characters escaped, and bytes that are not UTF-8 (a file name
// can hold any bytes) or control characters replaced, so that the document always parses.
std::string EscapeXml(const std::string& text) {
  std::string escaped;
  for (std::size_t index = 0; index < text.size();) {
    const std::size_t length = Utf8SequenceLength(text, index);
    if (length == 0) {
      escaped += '?';
      ++index;
      continue;
    }
    if (length > 1) {
      escaped.append(text, index, length);
      index += length;
      continue;
    }
    const char character = text[index++];
    switch (character) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&apos;";
        break;
      default:
        escaped += static_cast<unsigned char>(character) >= 0x20 ? character : '?';
    }
  }
  return escaped;
}

// A tick step of 1, 2 or 5 times a power of ten giving about `target_count` steps over `range`.
double NiceStep(double range, double target_count) {
  const double raw = range / target_count;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  for (double multiple : {1.0, 2.0, 5.0}) {
    if (raw <= multiple * magnitude * 1.0001) return multiple * magnitude;
  }
  return 10.0 * magnitude;
}

// The smallest of 1, 1.2, 1.5, 2, 2.5, 3, 4, 5, 6, 8 times a power of ten that is >= value > 0.
double NiceCeiling(double value) {
  const double magnitude = std::pow(10.0, std::floor(std::log10(value)));
  for (double multiple : {1.0, 1.2, 1.5, 2.0, 2.5, 3.0, 4.0, 5.0, 6.0, 8.0}) {
    if (value <= multiple * magnitude * 1.0000001) return multiple * magnitude;
  }
  return 10.0 * magnitude;
}

// Decimals that show every tick of `step` exactly.
int DecimalsFor(double step) {
  return std::clamp(static_cast<int>(std::ceil(-std::log10(step) - 1e-9)), 0, 9);
}

std::string FormatNumber(double value, int decimals) {
  if (std::abs(value) < 0.5 * std::pow(10.0, -decimals)) value = 0.0;  // no "-0.0"
  return Format("%.*f", decimals, value);
}

// A plot area with linear axes mapping data to SVG coordinates.
struct Panel {
  double left, top, right, bottom;
  double x_min, x_max, y_min, y_max;

  double X(double value) const { return left + (value - x_min) / (x_max - x_min) * (right - left); }
  double Y(double value) const {
    const double clamped = std::clamp(value, y_min, y_max);
    return bottom - (clamped - y_min) / (y_max - y_min) * (bottom - top);
  }
};

double RoundedY(const std::pair<double, double>& point) { return std::round(point.second * 10.0); }

class SvgWriter {
 public:
  SvgWriter() {
    text_ += Format(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
        "viewBox=\"0 0 %.0f %.0f\" font-family=\"DejaVu Sans, Helvetica, Arial, sans-serif\" "
        "font-size=\"12\">\n",
        kWidth, kHeight, kWidth, kHeight);
    text_ += Format("<rect x=\"0\" y=\"0\" width=\"%.0f\" height=\"%.0f\" fill=\"white\"/>\n",
                    kWidth, kHeight);
  }

  void Text(double x, double y, const std::string& content, const char* anchor = "start",
            const char* extra = "", const char* colour = kTextColour) {
    text_ += Format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"%s\" fill=\"%s\"%s>%s</text>\n", x,
                    y, anchor, colour, extra, EscapeXml(content).c_str());
  }

  void Line(double x1, double y1, double x2, double y2, const char* colour, double width,
            const char* extra = "") {
    text_ += Format(
        "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" "
        "stroke-width=\"%.2f\"%s/>\n",
        x1, y1, x2, y2, colour, width, extra);
  }

  // An open path through `points` (x, y pairs in SVG coordinates).
  // A clip path of the rectangle of `panel`, to be named in the clip-path of elements.
  std::string ClipTo(const Panel& panel) {
    const std::string id = Format("plot-area-%d", ++clip_count_);
    text_ += Format(
        "<clipPath id=\"%s\"><rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" "
        "height=\"%.1f\"/></clipPath>\n",
        id.c_str(), panel.left, panel.top, panel.right - panel.left, panel.bottom - panel.top);
    return id;
  }

  // An open path through `points` (x, y pairs in SVG coordinates), clipped to `clip_id`.
  void Polyline(const std::vector<std::pair<double, double>>& points, const char* colour,
                double width, const char* css_class, const std::string& clip_id) {
    if (points.empty()) return;
    text_ += Format(
        "<path class=\"%s\" clip-path=\"url(#%s)\" fill=\"none\" stroke=\"%s\" "
        "stroke-width=\"%.2f\" stroke-linejoin=\"round\" d=\"",
        css_class, clip_id.c_str(), colour, width);
    // Coordinates are written to 0.1 px: points that round alike, and the inner points of a
    // horizontal run (a spectrum lying on the floor of the plot), add nothing but bytes.
    std::string previous;
    for (std::size_t index = 0; index < points.size(); ++index) {
      const std::string point = Format("%.1f %.1f", points[index].first, points[index].second);
      if (point == previous) continue;
      const bool inside_run = index > 0 && index + 1 < points.size() &&
                              RoundedY(points[index - 1]) == RoundedY(points[index]) &&
                              RoundedY(points[index + 1]) == RoundedY(points[index]);
      if (inside_run) continue;
      text_ += (previous.empty() ? "M" : " L") + point;
      previous = point;
    }
    text_ += "\"/>\n";
  }

  void Raw(const std::string& element) { text_ += element; }

  std::string Finish() {
    text_ += "</svg>\n";
    return std::move(text_);
  }

 private:
  std::string text_;
  int clip_count_ = 0;
};

// Frame, grid, tick labels and axis titles of `panel`.
void DrawAxes(SvgWriter& svg, const Panel& panel, double x_step, double x_scale, double y_step,
              const std::string& x_title, const std::string& y_title) {
  const int x_decimals = DecimalsFor(x_step * x_scale);
  const int y_decimals = DecimalsFor(y_step);
  for (double tick = std::ceil(panel.x_min / x_step - 1e-9) * x_step;
       tick <= panel.x_max + x_step * 1e-9; tick += x_step) {
    const double x = panel.X(tick);
    svg.Line(x, panel.top, x, panel.bottom, kGridColour, 1.0);
    svg.Line(x, panel.bottom, x, panel.bottom + 5, kAxisColour, 1.0);
    svg.Text(x, panel.bottom + 19, FormatNumber(tick * x_scale, x_decimals), "middle");
  }
  for (double tick = std::ceil(panel.y_min / y_step - 1e-9) * y_step;
       tick <= panel.y_max + y_step * 1e-9; tick += y_step) {
    const double y = panel.Y(tick);
    svg.Line(panel.left, y, panel.right, y, kGridColour, 1.0);
    svg.Line(panel.left - 5, y, panel.left, y, kAxisColour, 1.0);
    svg.Text(panel.left - 8, y + 4, FormatNumber(tick, y_decimals), "end");
  }
  svg.Raw(Format(
      "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"none\" "
      "stroke=\"%s\" stroke-width=\"1\"/>\n",
      panel.left, panel.top, panel.right - panel.left, panel.bottom - panel.top, kAxisColour));
  svg.Text((panel.left + panel.right) / 2, panel.bottom + 38, x_title, "middle");
  const double y_middle = (panel.top + panel.bottom) / 2;
  svg.Text(panel.left - 56, y_middle, y_title, "middle",
           Format(" transform=\"rotate(-90 %.1f %.1f)\"", panel.left - 56, y_middle).c_str());
}

// Points of a series of `count` values at x = first_x + index * x_step, as SVG coordinates:
// every value when they are few, else the minimum and maximum of each pixel column.
template <typename ValueAt>
std::vector<std::pair<double, double>> SeriesPoints(const Panel& panel, std::size_t count,
                                                    double first_x, double x_step,
                                                    ValueAt value_at) {
  std::vector<std::pair<double, double>> points;
  const double pixels = panel.right - panel.left;
  if (static_cast<double>(count) <= kPointsPerPixelForEnvelope * pixels) {
    for (std::size_t index = 0; index < count; ++index) {
      const double x = first_x + static_cast<double>(index) * x_step;
      points.emplace_back(panel.X(x), panel.Y(value_at(index)));
    }
    return points;
  }
  std::size_t index = 0;
  for (int column = 0; column < static_cast<int>(pixels) && index < count; ++column) {
    const double column_end = panel.x_min + (column + 1) / pixels * (panel.x_max - panel.x_min);
    double low = value_at(index);
    double high = low;
    while (index < count && first_x + static_cast<double>(index) * x_step < column_end) {
      low = std::min(low, value_at(index));
      high = std::max(high, value_at(index));
      ++index;
    }
    const double x = panel.left + column + 0.5;
    points.emplace_back(x, panel.Y(high));
    if (low != high) points.emplace_back(x, panel.Y(low));
  }
  return points;
}

double FiniteOrZero(float value) { return std::isfinite(value) ? value : 0.0; }

double AmplitudeToDbfs(double amplitude) {
  return amplitude > 0.0 ? 20.0 * std::log10(amplitude) : -1000.0;
}

void DrawWaveform(SvgWriter& svg, const float* samples, std::size_t count,
                  const SignalAnalysis& analysis, const Panel& frame) {
  const double seconds =
      analysis.has_pitch ? kWaveformPeriods / analysis.fundamental_hz : kUnpitchedWaveformSeconds;
  const std::size_t shown =
      std::min(count, static_cast<std::size_t>(std::ceil(seconds * analysis.sample_rate)) + 1);
  double largest = 0.0;
  for (std::size_t index = 0; index < shown; ++index) {
    largest = std::max(largest, std::abs(FiniteOrZero(samples[index])));
  }
  Panel panel = frame;
  panel.x_min = 0.0;
  panel.x_max = std::max(seconds, 1.0 / analysis.sample_rate);
  panel.y_max = largest > 0.0 ? NiceCeiling(largest * kHeadroom) : 1.0;
  panel.y_min = -panel.y_max;

  const std::string title =
      analysis.has_pitch
          ? Format("Waveform: the first %.0f periods (%zu samples)", kWaveformPeriods, shown)
          : Format("Waveform: the first %.0f ms (%zu samples)", kUnpitchedWaveformSeconds * 1e3,
                   shown);
  svg.Text(panel.left, panel.top - 12, title, "start", " font-size=\"14\" font-weight=\"bold\"");
  DrawAxes(svg, panel, NiceStep(panel.x_max, 10.0), 1e3, NiceStep(2 * panel.y_max, 8.0),
           "time (ms)", "amplitude (1.0 = 10 V)");
  svg.Line(panel.left, panel.Y(0.0), panel.right, panel.Y(0.0), kAxisColour, 0.8);

  const auto points =
      SeriesPoints(panel, shown, 0.0, 1.0 / analysis.sample_rate,
                   [samples](std::size_t index) { return FiniteOrZero(samples[index]); });
  const std::string clip_id = svg.ClipTo(panel);
  svg.Polyline(points, kWaveColour, 1.6, "waveform", clip_id);
  // Few samples per period: show where the samples are, not only the line between them.
  if (shown <= 120) {
    svg.Raw(Format("<g clip-path=\"url(#%s)\" fill=\"%s\">", clip_id.c_str(), kWaveColour));
    for (const auto& [x, y] : points) {
      svg.Raw(Format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"2\"/>", x, y));
    }
    svg.Raw("</g>\n");
  }
  if (count == 0) {
    svg.Text((panel.left + panel.right) / 2, (panel.top + panel.bottom) / 2 - 8, "no samples",
             "middle");
  }
}

void DrawSpectrum(SvgWriter& svg, const SignalAnalysis& analysis, const Panel& frame) {
  const Spectrum& spectrum = analysis.spectrum;
  const double nyquist_hz = analysis.sample_rate / 2.0;
  Panel panel = frame;
  panel.x_min = 0.0;
  panel.x_max = analysis.has_pitch
                    ? std::min(nyquist_hz, kSpectrumHarmonicSpan * analysis.fundamental_hz)
                    : nyquist_hz;

  const std::size_t last_bin =
      spectrum.amplitude.empty()
          ? 0
          : std::min(spectrum.amplitude.size() - 1,
                     static_cast<std::size_t>(std::floor(panel.x_max / spectrum.bin_hz)));
  const std::size_t bin_count = spectrum.amplitude.empty() ? 0 : last_bin + 1;
  double loudest_db = -1000.0;
  for (std::size_t bin = 0; bin < bin_count; ++bin) {
    loudest_db = std::max(loudest_db, AmplitudeToDbfs(spectrum.amplitude[bin]));
  }
  for (const HarmonicLevel& harmonic : analysis.harmonics) {
    if (harmonic.present) loudest_db = std::max(loudest_db, AmplitudeToDbfs(harmonic.amplitude));
  }
  panel.y_max = loudest_db > -1000.0
                    ? kSpectrumStepDb * std::ceil((loudest_db + 1.0) / kSpectrumStepDb)
                    : 0.0;
  panel.y_min = panel.y_max - kSpectrumRangeDb;

  std::string title = "Magnitude spectrum";
  if (analysis.has_pitch) title += ", harmonics 1 to 16 marked";
  if (analysis.spectrum_sample_count < analysis.sample_count) {
    title += Format(" (first %.1f s)",
                    static_cast<double>(analysis.spectrum_sample_count) / analysis.sample_rate);
  }
  svg.Text(panel.left, panel.top - 30, title, "start", " font-size=\"14\" font-weight=\"bold\"");
  const bool in_khz = panel.x_max >= 2000.0;
  DrawAxes(svg, panel, NiceStep(panel.x_max, 10.0), in_khz ? 1e-3 : 1.0, kSpectrumStepDb,
           in_khz ? "frequency (kHz)" : "frequency (Hz)", "level (dB re full scale)");

  const auto points =
      SeriesPoints(panel, bin_count, 0.0, spectrum.bin_hz, [&spectrum](std::size_t bin) {
        return std::max(AmplitudeToDbfs(spectrum.amplitude[bin]), -1000.0);
      });
  svg.Polyline(points, kSpectrumColour, 1.0, "spectrum", svg.ClipTo(panel));

  if (analysis.silent) {
    svg.Text((panel.left + panel.right) / 2, (panel.top + panel.bottom) / 2, "silent", "middle",
             " font-size=\"16\"", kSubtleTextColour);
  }
  if (!analysis.has_pitch) return;
  for (const HarmonicLevel& harmonic : analysis.harmonics) {
    if (!harmonic.present || harmonic.frequency_hz > panel.x_max) continue;
    const double x = panel.X(harmonic.frequency_hz);
    const double level_dbfs = AmplitudeToDbfs(harmonic.amplitude);
    const double y = panel.Y(level_dbfs);
    const bool below_range = level_dbfs < panel.y_min;
    svg.Raw(Format("<g class=\"harmonic\" data-number=\"%d\">", harmonic.number));
    svg.Raw(Format("<title>harmonic %d: %.3f Hz, %.2f dB re strongest</title>", harmonic.number,
                   harmonic.frequency_hz, harmonic.level_db));
    svg.Line(x, panel.top, x, panel.bottom, kHarmonicColour, 0.8,
             " stroke-dasharray=\"3 3\" stroke-opacity=\"0.55\"");
    svg.Raw(
        Format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"3.5\" fill=\"%s\" stroke=\"%s\" "
               "stroke-width=\"1.2\"/>",
               x, y, below_range ? "white" : kHarmonicColour, kHarmonicColour));
    svg.Raw(
        Format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" fill=\"%s\" "
               "font-size=\"11\">%d</text>",
               x, panel.top - 6, kHarmonicColour, harmonic.number));
    svg.Raw("</g>\n");
  }
}

std::string Subtitle(const SignalAnalysis& analysis) {
  const auto level = [](double value) {
    return value > 0.0 ? Format("%.4f (%.1f dBFS)", value, 20.0 * std::log10(value))
                       : Format("%.4f", value);
  };
  std::string text = Format(
      "%.0f Hz, %zu samples (%.3f s) \u00b7 peak %s \u00b7 RMS %s \u00b7 "
      "DC offset %s",
      analysis.sample_rate, analysis.sample_count, analysis.duration_seconds,
      level(analysis.peak).c_str(), level(analysis.rms).c_str(),
      FormatNumber(analysis.dc_offset, 6).c_str());
  if (analysis.non_finite_count > 0) {
    text += Format(" \u00b7 %zu non-finite samples drawn as 0", analysis.non_finite_count);
  }
  return text;
}

}  // namespace

std::string PlotAnalysisSvg(const float* samples, std::size_t count, const SignalAnalysis& analysis,
                            const std::string& name) {
  SvgWriter svg;
  std::string pitch;
  if (analysis.has_pitch) {
    pitch = Format("fundamental %.3f Hz", analysis.fundamental_hz);
  } else {
    pitch = analysis.silent ? "silent, no pitch" : "no pitch";
  }
  svg.Text(kPlotLeft, 30, name + ": " + pitch, "start", " font-size=\"18\" font-weight=\"bold\"");
  svg.Text(kPlotLeft, 52, Subtitle(analysis), "start", "", kSubtleTextColour);

  const Panel waveform{kPlotLeft, 96.0, kPlotRight, 330.0, 0.0, 1.0, -1.0, 1.0};
  DrawWaveform(svg, samples, std::min(count, analysis.sample_count), analysis, waveform);
  const Panel spectrum{kPlotLeft, 440.0, kPlotRight, 720.0, 0.0, 1.0, -1.0, 0.0};
  DrawSpectrum(svg, analysis, spectrum);
  return svg.Finish();
}

}  // namespace modhost
