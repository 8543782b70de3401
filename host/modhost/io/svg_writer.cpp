// The SVG toolkit's text and layout (see svg_writer.h).
#include "host/modhost/io/svg_writer.h"

#include <cstdio>

namespace modhost {
namespace svg {
namespace {

double RoundedY(const std::pair<double, double>& point) { return std::round(point.second * 10.0); }

}  // namespace

double NiceStep(double range, double target_count) {
  const double raw = range / target_count;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  for (double multiple : {1.0, 2.0, 5.0}) {
    if (raw <= multiple * magnitude * 1.0001) return multiple * magnitude;
  }
  return 10.0 * magnitude;
}

double NiceCeiling(double value) {
  const double magnitude = std::pow(10.0, std::floor(std::log10(value)));
  for (double multiple : {1.0, 1.2, 1.5, 2.0, 2.5, 3.0, 4.0, 5.0, 6.0, 8.0}) {
    if (value <= multiple * magnitude * 1.0000001) return multiple * magnitude;
  }
  return 10.0 * magnitude;
}

int DecimalsFor(double step) {
  return std::clamp(static_cast<int>(std::ceil(-std::log10(step) - 1e-9)), 0, 9);
}

std::string FormatNumber(double value, int decimals) {
  if (std::abs(value) < 0.5 * std::pow(10.0, -decimals)) value = 0.0;  // no "-0.0"
  return Format("%.*f", decimals, value);
}

Writer::Writer(double width, double height) {
  text_ += Format(
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
      "viewBox=\"0 0 %.0f %.0f\" font-family=\"DejaVu Sans, Helvetica, Arial, sans-serif\" "
      "font-size=\"12\">\n",
      width, height, width, height);
  text_ += Format("<rect x=\"0\" y=\"0\" width=\"%.0f\" height=\"%.0f\" fill=\"white\"/>\n", width,
                  height);
}

void Writer::Text(double x, double y, const std::string& content, const char* anchor,
                  const std::string& extra, const char* colour) {
  text_ += Format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"%s\" fill=\"%s\"%s>%s</text>\n", x, y,
                  anchor, colour, extra.c_str(), EscapeXml(content).c_str());
}

void Writer::Line(double x1, double y1, double x2, double y2, const char* colour, double width,
                  const char* extra) {
  text_ += Format(
      "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" "
      "stroke-width=\"%.2f\"%s/>\n",
      x1, y1, x2, y2, colour, width, extra);
}

std::string Writer::ClipTo(const Panel& panel) {
  const std::string id = Format("plot-area-%d", ++clip_count_);
  text_ += Format(
      "<clipPath id=\"%s\"><rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" "
      "height=\"%.1f\"/></clipPath>\n",
      id.c_str(), panel.left, panel.top, panel.right - panel.left, panel.bottom - panel.top);
  return id;
}

void Writer::Polyline(const std::vector<std::pair<double, double>>& points, const char* colour,
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

std::string Writer::Finish() {
  text_ += "</svg>\n";
  return std::move(text_);
}

void DrawAxes(Writer& svg, const Panel& panel, double x_step, double x_scale, double y_step,
              const std::string& x_title, const std::string& y_title) {
  const int x_decimals = DecimalsFor(x_step * x_scale);
  const int y_decimals = y_step > 0.0 ? DecimalsFor(y_step) : 0;
  for (double tick = std::ceil(panel.x_min / x_step - 1e-9) * x_step;
       tick <= panel.x_max + x_step * 1e-9; tick += x_step) {
    const double x = panel.X(tick);
    svg.Line(x, panel.top, x, panel.bottom, kGridColour, 1.0);
    svg.Line(x, panel.bottom, x, panel.bottom + 5, kAxisColour, 1.0);
    svg.Text(x, panel.bottom + 19, FormatNumber(tick * x_scale, x_decimals), "middle");
  }
  for (double tick = std::ceil(panel.y_min / y_step - 1e-9) * y_step;
       y_step > 0.0 && tick <= panel.y_max + y_step * 1e-9; tick += y_step) {
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
           Format(" transform=\"rotate(-90 %.1f %.1f)\"", panel.left - 56, y_middle));
}

}  // namespace svg
}  // namespace modhost
