#include "tools/svg_plot.h"

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

size_t Count(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

TEST(SvgPlot, EscapesTextAndReplacesControlCharacters) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"<a & 'b'> \"c\"", "&lt;a &amp; &apos;b&apos;&gt; &quot;c&quot;"},
      {"tab\tline\ncr\r", "tab\tline\ncr\r"},
      {std::string("x\x01\x1F\0y", 5), "x???y"},
      {"10 \xC2\xB5s", "10 \xC2\xB5s"},  // UTF-8 passes through
  };
  for (const auto& c : cases) EXPECT_EQ(svg::escapeXml(c.in), c.out) << c.out;
}

TEST(SvgPlot, PowersInRange) {
  const struct {
    double base, low, high;
    std::vector<double> powers;
  } cases[] = {
      {2, 3125, 200000, {4096, 8192, 16384, 32768, 65536, 131072}},
      {10, 100, 1000, {100, 1000}},  // exact powers at both ends stay
      {2, 5, 7, {}},
      {10, 0, 10, {}},  // no log range
  };
  for (const auto& c : cases)
    EXPECT_EQ(svg::powersInRange(c.base, c.low, c.high), c.powers) << c.low;
}

// Points a log scale cannot place are left out; a series left without points
// draws nothing and gets no legend entry; a one-value range centres its point.
TEST(SvgPlot, LeavesOutWhatTheScalesCannotPlace) {
  svg::LinePlot plot;
  plot.x = {"", svg::Scale::kLog, 8, 8, {{8, "eight"}, {1000, "far away"}}};
  plot.y = {"", svg::Scale::kLog, 1, 100, {}};
  plot.series.push_back({"drawn", "#000", false, {{8, 10, "x<y"}, {8, NAN, ""}, {8, 0, ""}}});
  plot.series.push_back({"ghost", "#111", true, {{-1, 10, ""}, {8, -5, ""}, {INFINITY, 10, ""}}});
  const std::string document = svg::render(plot);
  const struct {
    const char* text;
    size_t count;
  } expected[] = {{"<circle", 1},  {"<polyline", 1}, {"drawn", 1}, {"ghost", 0},
                  {"far away", 0}, {"nan", 0},       {"inf", 0},   {"<title>x&lt;y</title>", 1}};
  for (const auto& e : expected) EXPECT_EQ(Count(document, e.text), e.count) << e.text;
  // The frame runs from 80 to 530 (760 less 30 and the legend's 200): its middle is 305.
  EXPECT_NE(document.find("cx=\"305.0\" cy=\"220.0\""), std::string::npos) << document;
}

}  // namespace
