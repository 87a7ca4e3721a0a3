#include "tools/svg_plot.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace svg {
namespace {

// Document layout, in SVG user units: the frame sits inside these margins,
// and the legend, when there is one, to the right of the frame.
constexpr double kMarginLeft = 80;
constexpr double kMarginRight = 30;
constexpr double kMarginTop = 50;
constexpr double kMarginBottom = 70;
constexpr double kLegendWidth = 200;
constexpr double kLegendRowHeight = 20;

// Every number in the document goes through a printf format, so that
// coordinates come out the same whatever the stream state or locale.
__attribute__((format(printf, 2, 3))) void appendf(std::string& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length > 0) {
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(length) + 1);
    std::vsnprintf(&out[at], static_cast<size_t>(length) + 1, format, args);
    out.resize(at + static_cast<size_t>(length));
  }
  va_end(args);
}

// One axis's values -> document coordinates along [start, start + length].
// Works in log2 units on a log scale, so a range is widened by the same
// rule on both scales.
class Mapping {
 public:
  Mapping(const Axis& axis, double start, double length, bool upward)
      : log_(axis.scale == Scale::kLog), start_(start), length_(length), upward_(upward) {
    low_ = position(axis.low);
    high_ = position(axis.high);
    if (!std::isfinite(low_) || !std::isfinite(high_)) {  // a range no point could fill
      low_ = 0;
      high_ = 1;
    } else if (std::fabs(high_ - low_) < 1e-9) {  // a single value: centre it
      low_ -= 0.5;
      high_ += 0.5;
    }
  }

  bool places(double value) const { return std::isfinite(position(value)); }
  bool inRange(double value) const {
    const double t = fraction(value);
    return t >= -1e-9 && t <= 1 + 1e-9;
  }
  double at(double value) const {
    const double t = fraction(value);
    return upward_ ? start_ + (1 - t) * length_ : start_ + t * length_;
  }

 private:
  double position(double value) const {
    if (!log_) return value;
    return value > 0 ? std::log2(value) : NAN;
  }
  double fraction(double value) const { return (position(value) - low_) / (high_ - low_); }

  bool log_;
  double start_, length_;
  bool upward_;  // the y axis: larger values higher up, at smaller coordinates
  double low_ = 0, high_ = 1;
};

// The frame and what maps into it.
struct Frame {
  double left, top, width, height;
  Mapping x, y;
};

bool hasLegend(const LinePlot& plot, const Mapping& x, const Mapping& y) {
  for (const Series& series : plot.series) {
    if (series.label.empty()) continue;
    for (const Point& point : series.points)
      if (x.places(point.x) && y.places(point.y)) return true;
  }
  return false;
}

void writeGrid(std::string& out, const LinePlot& plot, const Frame& frame) {
  appendf(out, "<g stroke=\"#ddd\" stroke-width=\"1\">\n");
  for (const Tick& tick : plot.y.ticks) {
    if (!frame.y.places(tick.value) || !frame.y.inRange(tick.value)) continue;
    const double y = frame.y.at(tick.value);
    appendf(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", frame.left, y,
            frame.left + frame.width, y);
  }
  for (const Tick& tick : plot.x.ticks) {
    if (!frame.x.places(tick.value) || !frame.x.inRange(tick.value)) continue;
    const double x = frame.x.at(tick.value);
    appendf(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", x, frame.top, x,
            frame.top + frame.height);
  }
  appendf(out, "</g>\n<g font-family=\"sans-serif\" font-size=\"11\" fill=\"#333\">\n");
  for (const Tick& tick : plot.y.ticks) {
    if (!frame.y.places(tick.value) || !frame.y.inRange(tick.value)) continue;
    appendf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%s</text>\n", frame.left - 8,
            frame.y.at(tick.value) + 4, escapeXml(tick.label).c_str());
  }
  for (const Tick& tick : plot.x.ticks) {
    if (!frame.x.places(tick.value) || !frame.x.inRange(tick.value)) continue;
    appendf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n",
            frame.x.at(tick.value), frame.top + frame.height + 18, escapeXml(tick.label).c_str());
  }
  appendf(out, "</g>\n");
}

void writeFrameAndTitles(std::string& out, const LinePlot& plot, const Frame& frame) {
  appendf(out,
          "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"none\" "
          "stroke=\"#333\"/>\n<g font-family=\"sans-serif\" fill=\"#111\">\n",
          frame.left, frame.top, frame.width, frame.height);
  appendf(out, "<text x=\"%.1f\" y=\"28\" font-size=\"15\" text-anchor=\"middle\">%s</text>\n",
          plot.width / 2, escapeXml(plot.title).c_str());
  if (!plot.x.title.empty()) {
    appendf(out, "<text x=\"%.1f\" y=\"%.1f\" font-size=\"12\" text-anchor=\"middle\">%s</text>\n",
            frame.left + frame.width / 2, plot.height - 22, escapeXml(plot.x.title).c_str());
  }
  if (!plot.y.title.empty()) {
    const double middle = frame.top + frame.height / 2;
    appendf(out,
            "<text x=\"20\" y=\"%.1f\" font-size=\"12\" text-anchor=\"middle\" "
            "transform=\"rotate(-90 20 %.1f)\">%s</text>\n",
            middle, middle, escapeXml(plot.y.title).c_str());
  }
  appendf(out, "</g>\n");
}

// The polyline, then the markers on top of it; returns whether anything was
// drawn, which decides the legend entry.
bool writeSeries(std::string& out, const Series& series, const Frame& frame) {
  std::string points;
  for (const Point& point : series.points)
    if (frame.x.places(point.x) && frame.y.places(point.y))
      appendf(points, "%.1f,%.1f ", frame.x.at(point.x), frame.y.at(point.y));
  if (points.empty()) return false;
  const std::string colour = escapeXml(series.colour);
  appendf(out, "<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"2\"%s points=\"%s\"/>\n",
          colour.c_str(), series.dashed ? " stroke-dasharray=\"6,4\"" : "", points.c_str());
  appendf(out, "<g fill=\"%s\">\n", colour.c_str());
  for (const Point& point : series.points) {
    if (!frame.x.places(point.x) || !frame.y.places(point.y)) continue;
    appendf(out, "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"3.5\">", frame.x.at(point.x),
            frame.y.at(point.y));
    if (!point.note.empty()) appendf(out, "<title>%s</title>", escapeXml(point.note).c_str());
    appendf(out, "</circle>\n");
  }
  appendf(out, "</g>\n");
  return true;
}

void writeLegendEntry(std::string& out, const Series& series, const Frame& frame, int row) {
  const double x = frame.left + frame.width + 15;
  const double y = frame.top + 10 + kLegendRowHeight * row;
  appendf(out,
          "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" "
          "stroke-width=\"2\"%s/>\n",
          x, y, x + 30, y, escapeXml(series.colour).c_str(),
          series.dashed ? " stroke-dasharray=\"6,4\"" : "");
  appendf(out,
          "<text x=\"%.1f\" y=\"%.1f\" font-family=\"sans-serif\" font-size=\"12\">%s</text>\n",
          x + 37, y + 4, escapeXml(series.label).c_str());
}

}  // namespace

std::string render(const LinePlot& plot) {
  // The legend's room is taken from the frame only when there is a legend.
  const Mapping probeX(plot.x, 0, 1, false), probeY(plot.y, 0, 1, true);
  const double right = kMarginRight + (hasLegend(plot, probeX, probeY) ? kLegendWidth : 0);
  const double width = plot.width - kMarginLeft - right;
  const double height = plot.height - kMarginTop - kMarginBottom;
  const Mapping x(plot.x, kMarginLeft, width, false), y(plot.y, kMarginTop, height, true);
  const Frame frame{kMarginLeft, kMarginTop, width, height, x, y};

  std::string out;
  appendf(out,
          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
          "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
          "viewBox=\"0 0 %.0f %.0f\">\n"
          "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
          plot.width, plot.height, plot.width, plot.height);
  writeGrid(out, plot, frame);
  writeFrameAndTitles(out, plot, frame);
  int legendRows = 0;
  for (const Series& series : plot.series)
    if (writeSeries(out, series, frame) && !series.label.empty())
      writeLegendEntry(out, series, frame, legendRows++);
  appendf(out, "</svg>\n");
  return out;
}

std::vector<double> powersInRange(double base, double low, double high) {
  std::vector<double> powers;
  if (!(base > 1) || !(low > 0) || !(high >= low) || !std::isfinite(high)) return powers;
  // Exponents from logarithms, with a little slack so that exact powers at
  // either end are not lost to rounding.
  const double first = std::ceil(std::log(low) / std::log(base) - 1e-9);
  const double last = std::floor(std::log(high) / std::log(base) + 1e-9);
  for (double k = first; k <= last; ++k) powers.push_back(std::pow(base, k));
  return powers;
}

std::string escapeXml(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    switch (c) {
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
      case '\t':
      case '\n':
      case '\r':
        escaped += c;
        break;
      default:
        // XML 1.0 has no way to write the other control characters, not even
        // as references: a file name that holds one still yields a valid file.
        escaped += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
    }
  }
  return escaped;
}

}  // namespace svg
