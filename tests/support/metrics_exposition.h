// A strict reader of the Prometheus / OpenMetrics text expositions, for tests
// that check what monitoring would scrape. It rejects what a scraper would
// reject (bad names, bad escapes, samples before or outside their family,
// split families, duplicate series, a missing final newline) and, to keep the
// writer honest, any comment other than HELP, TYPE, UNIT and a final EOF.
#ifndef OBJSTORE_TESTS_SUPPORT_METRICS_EXPOSITION_H_
#define OBJSTORE_TESTS_SUPPORT_METRICS_EXPOSITION_H_

#include <map>
#include <string>
#include <vector>

namespace testing_support {

struct MetricSample {
  std::string name;                           // e.g. "x_seconds_count"
  std::map<std::string, std::string> labels;  // unescaped values
  double value;
  bool operator==(const MetricSample& other) const;
};

struct MetricFamilyInfo {
  std::string type, help, unit;  // empty when not given
};

struct Exposition {
  std::map<std::string, MetricFamilyInfo> families;
  std::vector<MetricSample> samples;  // in the order written
  bool eof = false;                   // ended with "# EOF"

  // The samples named `name`, keyed by their label "id" (-1 when unlabelled).
  std::map<int, MetricSample> byId(const std::string& name) const;
};

// Throws std::invalid_argument naming the line at the first fault.
Exposition parseExposition(const std::string& text);

}  // namespace testing_support

#endif  // OBJSTORE_TESTS_SUPPORT_METRICS_EXPOSITION_H_
