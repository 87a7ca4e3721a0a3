// Line plots as stand-alone SVG documents, for osutil's miss-ratio curve and
// the benchmark report: a frame with grid lines and tick labels on both axes,
// one polyline with point markers per series, and a legend. Every text is
// escaped, so titles and labels may hold any characters.
//
//   svg::LinePlot plot;
//   plot.title = "Miss ratio";
//   plot.x = {"budget", svg::Scale::kLog, 1024, 65536, {{1024, "1 KiB"}, {65536, "64 KiB"}}};
//   plot.y = {"miss ratio", svg::Scale::kLinear, 0, 1, {{0, "0"}, {1, "1"}}};
//   plot.series.push_back({"", "#1f77b4", false, {{1024, 0.9, ""}, {65536, 0.1, ""}}});
//   std::string document = svg::render(plot);
#ifndef OBJSTORE_TOOLS_SVG_PLOT_H_
#define OBJSTORE_TOOLS_SVG_PLOT_H_

#include <string>
#include <vector>

namespace svg {

enum class Scale { kLinear, kLog };

struct Tick {
  double value;
  std::string label;
};

// The range [low, high] spans the plot's width or height. A range of one
// value is widened around it (by 0.5 on a linear scale, by a factor of
// sqrt(2) on a log scale), so a lone point lands in the middle.
struct Axis {
  std::string title;  // empty: none
  Scale scale = Scale::kLinear;
  // On a log scale both ends must be above 0.
  double low = 0;
  double high = 1;
  std::vector<Tick> ticks;  // a grid line and a label each; those outside the range are left out
};

struct Point {
  double x;
  double y;
  std::string note;  // shown as the marker's tooltip; empty: none
};

struct Series {
  std::string label;   // the legend entry; empty: not in the legend
  std::string colour;  // any SVG colour, e.g. "#1f77b4"
  bool dashed = false;
  std::vector<Point> points;  // in drawing order
};

struct LinePlot {
  std::string title;
  Axis x;
  Axis y;
  std::vector<Series> series;
  double width = 760;  // of the whole document, legend included
  double height = 460;
};

// The plot as an SVG document with its XML declaration. Points that a scale
// cannot place (NaN, infinite, or not above 0 on a log scale) are left out; a
// series left without points draws nothing and has no legend entry.
std::string render(const LinePlot& plot);

// base^k for every whole k with low <= base^k <= high, ascending: the usual
// ticks of a log axis.
std::vector<double> powersInRange(double base, double low, double high);

// `text` with the five characters that XML reserves written as entities.
std::string escapeXml(const std::string& text);

}  // namespace svg

#endif  // OBJSTORE_TOOLS_SVG_PLOT_H_
