#include "tests/support/metrics_exposition.h"

#include <cstdlib>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>

namespace testing_support {

std::map<int, MetricSample> Exposition::samplesById(const std::string& name) const {
  std::map<int, MetricSample> result;
  for (const MetricSample& sample : samples) {
    const auto id = sample.labels.find("id");
    if (sample.name == name)
      result[id == sample.labels.end() ? -1 : std::stoi(id->second)] = sample;
  }
  return result;
}

std::map<int, double> Exposition::byId(const std::string& name) const {
  std::map<int, double> result;
  for (const auto& [id, sample] : samplesById(name)) {
    result[id] = std::strtod(sample.value.c_str(), nullptr);
  }
  return result;
}

Exposition parseExposition(const std::string& text) {
  static const std::regex kMeta(R"(# (HELP|TYPE|UNIT) ([a-zA-Z_:][\w:]*) (.+))");
  static const std::regex kSample(R"(([a-zA-Z_:][\w:]*)(?:\{(.*)\})? (\S+))");
  static const std::regex kLabel(R"(([a-zA-Z_]\w*)=\"((?:[^"\\]|\\[\\"n])*)\"(,|$))");
  static const std::regex kValue(R"([-+]?(\d+(\.\d*)?([eE][-+]?\d+)?|Inf|NaN))");
  if (!text.empty() && text.back() != '\n') throw std::invalid_argument("no final newline");
  Exposition result;
  std::string current;         // the family whose lines are being read
  std::set<std::string> done;  // families whose lines have ended
  std::set<std::pair<std::string, std::map<std::string, std::string>>> series;
  std::istringstream stream(text);
  std::string line;
  for (int number = 1; std::getline(stream, line); ++number) {
    auto fail = [&](const char* why) {
      throw std::invalid_argument("line " + std::to_string(number) + ": " + why + ": " + line);
    };
    std::smatch match;
    if (result.eof) fail("text after # EOF");
    if (line == "# EOF") {
      result.eof = true;
    } else if (std::regex_match(line, match, kMeta)) {
      const std::string family = match[2];
      if (family != current && (done.count(family) || result.families.count(family))) fail("split");
      if (family != current && !current.empty()) done.insert(current);
      current = family;
      if (!result.families[family].emplace(match[1], match[3]).second) fail("repeated metadata");
    } else if (std::regex_match(line, match, kSample)) {
      MetricSample sample{match[1], {}, match[3]};
      const auto& type = result.families[current]["TYPE"];
      const bool summary = type == "summary" &&
                           (sample.name == current + "_count" || sample.name == current + "_sum");
      if (type.empty() || (sample.name != current && !summary)) fail("sample outside its family");
      const std::string labels = match[2];
      for (auto at = labels.cbegin(); at != labels.cend(); at = match[0].second) {
        if (!std::regex_search(at, labels.cend(), match, kLabel) || match.position(0) != 0)
          fail("bad label");
        const std::string escaped = match[2];
        std::string value;
        for (size_t i = 0; i < escaped.size(); ++i) {
          char c = escaped[i];
          if (c == '\\') c = escaped[++i] == 'n' ? '\n' : escaped[i];  // the regex allows \\ \" \n
          value += c;
        }
        if (!sample.labels.emplace(match[1], value).second) fail("repeated label");
      }
      if (!std::regex_match(sample.value, kValue)) fail("bad value");
      if (!series.emplace(sample.name, sample.labels).second) fail("duplicate series");
      result.samples.push_back(sample);
    } else {
      fail("neither metadata nor a sample");
    }
  }
  return result;
}

}  // namespace testing_support
