// A strict reader of the Prometheus / OpenMetrics text expositions, for tests
// that check what monitoring would scrape. It rejects what a scraper would
// (bad names and escapes, samples without a TYPE or outside their family, a
// family split in two, duplicate series) and any comment but HELP, TYPE, UNIT
// and a final EOF.
#ifndef OBJSTORE_TESTS_SUPPORT_METRICS_EXPOSITION_H_
#define OBJSTORE_TESTS_SUPPORT_METRICS_EXPOSITION_H_

#include <map>
#include <string>
#include <vector>

namespace testing_support {

struct MetricSample {
  std::string name;
  std::map<std::string, std::string> labels;  // values unescaped
  std::string value;                          // as written: "0.25", "NaN"
  bool operator==(const MetricSample& other) const {
    return name == other.name && labels == other.labels && value == other.value;
  }
};

struct Exposition {
  std::map<std::string, std::map<std::string, std::string>> families;  // name -> HELP/TYPE/UNIT
  std::vector<MetricSample> samples;
  bool eof = false;  // ended with "# EOF"

  // The values of the samples named `name`, by their label "id" (-1 for none).
  std::map<int, double> byId(const std::string& name) const;
  // The samples named `name`, by their label "id".
  std::map<int, MetricSample> samplesById(const std::string& name) const;
};

// Throws std::invalid_argument naming the line at the first fault.
Exposition parseExposition(const std::string& text);

}  // namespace testing_support

#endif  // OBJSTORE_TESTS_SUPPORT_METRICS_EXPOSITION_H_
