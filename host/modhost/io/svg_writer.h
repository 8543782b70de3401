// The small SVG toolkit behind modhost's plots: a writer of elements as plain text, panels that
// map data to the page, axes with grid and ticks, and the reduction of long series to one range
// per pixel column, so that a plot of any signal stays small and no spike disappears. Plain text,
// so that it needs no library and opens in any browser.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "host/modhost/io/text.h"

namespace modhost {
namespace svg {

inline constexpr const char* kGridColour = "#e3e3e3";
inline constexpr const char* kAxisColour = "#555555";
inline constexpr const char* kTextColour = "#222222";
inline constexpr const char* kSubtleTextColour = "#666666";

// A tick step of 1, 2 or 5 times a power of ten giving about `target_count` steps over `range`.
double NiceStep(double range, double target_count);
// The smallest of 1, 1.2, 1.5, 2, 2.5, 3, 4, 5, 6, 8 times a power of ten that is >= value > 0.
double NiceCeiling(double value);
// Decimals that show every tick of `step` exactly.
int DecimalsFor(double step);
// `value` with `decimals` decimals, never "-0.0".
std::string FormatNumber(double value, int decimals);

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

class Writer {
 public:
  // A document of `width` × `height` pixels on a white background.
  Writer(double width, double height);

  void Text(double x, double y, const std::string& content, const char* anchor = "start",
            const std::string& extra = "", const char* colour = kTextColour);
  void Line(double x1, double y1, double x2, double y2, const char* colour, double width,
            const char* extra = "");
  // A clip path of the rectangle of `panel`, to be named in the clip-path of elements.
  std::string ClipTo(const Panel& panel);
  // An open path through `points` (x, y pairs in SVG coordinates), clipped to `clip_id`.
  void Polyline(const std::vector<std::pair<double, double>>& points, const char* colour,
                double width, const char* css_class, const std::string& clip_id);
  void Raw(const std::string& element) { text_ += element; }
  std::string Finish();

 private:
  std::string text_;
  int clip_count_ = 0;
};

// Frame, grid, tick labels and axis titles of `panel`; tick labels show x × `x_scale`. A
// `y_step` of 0 leaves the vertical ticks to the caller.
void DrawAxes(Writer& svg, const Panel& panel, double x_step, double x_scale, double y_step,
              const std::string& x_title, const std::string& y_title);

// Points of a series of `count` values at x = first_x + index * x_step, as SVG coordinates:
// every value when they are few, else the minimum and maximum of each pixel column.
template <typename ValueAt>
std::vector<std::pair<double, double>> SeriesPoints(const Panel& panel, std::size_t count,
                                                    double first_x, double x_step,
                                                    ValueAt value_at) {
  constexpr double kPointsPerPixelForEnvelope = 2.0;
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

}  // namespace svg
}  // namespace modhost
