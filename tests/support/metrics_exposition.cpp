#include "tests/support/metrics_exposition.h"

#include <cmath>
#include <cstdlib>
#include <set>
#include <sstream>
#include <stdexcept>

namespace testing_support {
namespace {

bool isNameStart(char c, bool colonAllowed) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (colonAllowed && c == ':');
}
bool isNameChar(char c, bool colonAllowed) {
  return isNameStart(c, colonAllowed) || (c >= '0' && c <= '9');
}

class LineReader {
 public:
  LineReader(const std::string& line, size_t number) : line_(line), number_(number) {}

  [[noreturn]] void fail(const std::string& why) const {
    throw std::invalid_argument("line " + std::to_string(number_) + ": " + why + ": " + line_);
  }
  bool atEnd() const { return at_ == line_.size(); }
  char peek() const { return atEnd() ? '\0' : line_[at_]; }
  void expect(char c) {
    if (peek() != c) fail(std::string("expected '") + c + "'");
    ++at_;
  }
  std::string name(bool colonAllowed) {
    const size_t start = at_;
    if (!isNameStart(peek(), colonAllowed)) fail("bad name");
    while (!atEnd() && isNameChar(line_[at_], colonAllowed)) ++at_;
    return line_.substr(start, at_ - start);
  }
  std::string quoted() {
    expect('"');
    std::string value;
    while (peek() != '"') {
      if (atEnd()) fail("unterminated label value");
      char c = line_[at_++];
      if (c == '\\') {
        const char escaped = peek();
        ++at_;
        if (escaped == 'n') {
          c = '\n';
        } else if (escaped == '\\' || escaped == '"') {
          c = escaped;
        } else {
          fail("bad escape");
        }
      }
      value += c;
    }
    ++at_;
    return value;
  }
  std::string rest() {
    const std::string text = line_.substr(at_);
    at_ = line_.size();
    return text;
  }

 private:
  const std::string& line_;
  size_t number_;
  size_t at_ = 0;
};

// The family a sample belongs to: its own name, or for a summary or
// histogram the name without the sample's suffix.
std::string familyOf(const std::string& sample,
                     const std::map<std::string, MetricFamilyInfo>& families) {
  if (families.count(sample)) return sample;
  for (const char* suffix : {"_count", "_sum", "_bucket"}) {
    const std::string s = suffix;
    if (sample.size() > s.size() && sample.compare(sample.size() - s.size(), s.size(), s) == 0) {
      const auto it = families.find(sample.substr(0, sample.size() - s.size()));
      if (it != families.end() && (it->second.type == "summary" || it->second.type == "histogram"))
        return it->first;
    }
  }
  return "";
}

}  // namespace

bool MetricSample::operator==(const MetricSample& other) const {
  const bool sameValue = value == other.value || (std::isnan(value) && std::isnan(other.value));
  return name == other.name && labels == other.labels && sameValue;
}

std::map<int, MetricSample> Exposition::byId(const std::string& name) const {
  std::map<int, MetricSample> result;
  for (const MetricSample& sample : samples) {
    if (sample.name != name) continue;
    const auto id = sample.labels.find("id");
    result.emplace(id == sample.labels.end() ? -1 : std::stoi(id->second), sample);
  }
  return result;
}

Exposition parseExposition(const std::string& text) {
  if (!text.empty() && text.back() != '\n') throw std::invalid_argument("no final newline");
  Exposition result;
  std::set<std::string> closedFamilies;  // families whose samples have ended
  std::string currentFamily;
  std::set<std::pair<std::string, std::map<std::string, std::string>>> series;
  std::istringstream stream(text);
  std::string line;
  for (size_t number = 1; std::getline(stream, line); ++number) {
    LineReader reader(line, number);
    if (result.eof) reader.fail("text after # EOF");
    if (line == "# EOF") {
      result.eof = true;
      continue;
    }
    if (line.rfind("#", 0) == 0) {
      reader.expect('#');
      reader.expect(' ');
      const std::string keyword = reader.name(false);
      if (keyword != "HELP" && keyword != "TYPE" && keyword != "UNIT") reader.fail("stray comment");
      reader.expect(' ');
      const std::string family = reader.name(true);
      reader.expect(' ');
      const bool seen = result.families.count(family) != 0;
      if (closedFamilies.count(family) || (seen && family != currentFamily)) {
        reader.fail("family split");
      }
      MetricFamilyInfo& info = result.families[family];
      std::string& field =
          keyword == "HELP" ? info.help : (keyword == "TYPE" ? info.type : info.unit);
      if (!field.empty()) reader.fail("repeated " + keyword);
      field = reader.rest();
      if (field.empty()) reader.fail("empty " + keyword);
      if (!currentFamily.empty() && currentFamily != family) closedFamilies.insert(currentFamily);
      currentFamily = family;
      continue;
    }
    MetricSample sample;
    sample.name = reader.name(true);
    if (reader.peek() == '{') {
      reader.expect('{');
      while (reader.peek() != '}') {
        const std::string label = reader.name(false);
        reader.expect('=');
        if (!sample.labels.emplace(label, reader.quoted()).second) reader.fail("repeated label");
        if (reader.peek() == ',') reader.expect(',');
      }
      reader.expect('}');
    }
    reader.expect(' ');
    const std::string value = reader.rest();
    char* end = nullptr;
    sample.value = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0') reader.fail("bad value");
    const std::string family = familyOf(sample.name, result.families);
    if (family.empty() || result.families[family].type.empty()) reader.fail("sample without TYPE");
    if (family != currentFamily) reader.fail("sample outside its family");
    if (!series.emplace(sample.name, sample.labels).second) reader.fail("duplicate series");
    result.samples.push_back(sample);
  }
  return result;
}

}  // namespace testing_support
