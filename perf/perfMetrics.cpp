#include "perf/perfMetrics.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "host/LogWriter.h"
#include "host/PerfCounter.h"
#include "internal/replace_file.h"
#include "perf/objectStorePerf.h"

namespace ObjectStore {
namespace {

struct MetricFamily {
  const char* name;
  const char* type;
  const char* unit;  // null: no unit
  const char* help;  // plain text: nothing in it needs escaping
};

const MetricFamily kEnabledFamily = {
    "objstore_perf_counters_enabled", "gauge", nullptr,
    "Whether timing scopes reach the counter engine (0: counters disabled or not started)."};
const MetricFamily kDurationFamily = {
    "objstore_perf_operation_duration_seconds", "summary", "seconds",
    "Operations timed under each performance counter and their total time."};
const MetricFamily kMinFamily = {
    "objstore_perf_operation_duration_min_seconds", "gauge", "seconds",
    "Shortest operation timed under each performance counter; NaN before the first."};
const MetricFamily kMaxFamily = {
    "objstore_perf_operation_duration_max_seconds", "gauge", "seconds",
    "Longest operation timed under each performance counter; NaN before the first."};

void appendHeader(std::string& out, const MetricFamily& family, PerfMetricsFormat format) {
  out.append("# HELP ").append(family.name).append(" ").append(family.help).append("\n");
  out.append("# TYPE ").append(family.name).append(" ").append(family.type).append("\n");
  if (format == PERF_METRICS_OPENMETRICS && family.unit != nullptr) {
    out.append("# UNIT ").append(family.name).append(" ").append(family.unit).append("\n");
  }
}

// Length of the well-formed UTF-8 sequence at `s[0..size)`, or 0 when the
// bytes there are not one (overlong forms and surrogates included).
size_t utf8SequenceLength(const unsigned char* s, size_t size) {
  const unsigned char lead = s[0];
  if (lead < 0x80) return 1;
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (size < length || s[1] < low || s[1] > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (s[i] < 0x80 || s[i] > 0xBF) return 0;
  }
  return length;
}

// A label value must be UTF-8 with '\\', '"' and newline escaped. Counter
// names are arbitrary bytes: a byte that begins no valid sequence becomes
// U+FFFD, so the exposition always parses and a scraper never rejects it.
void appendLabelValue(std::string& out, const std::string& value) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(value.data());
  size_t at = 0;
  while (at < value.size()) {
    const char c = value[at];
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else if (const size_t length = utf8SequenceLength(bytes + at, value.size() - at)) {
      out.append(value, at, length);
      at += length;
      continue;
    } else {
      out += "\xEF\xBF\xBD";
    }
    ++at;
  }
}

// Nanoseconds as exact decimal seconds, without the rounding of a double:
// 1500000000 -> "1.5", 1200 -> "0.0000012".
void appendSeconds(std::string& out, uint64_t ns) {
  char text[32];
  int length =
      std::snprintf(text, sizeof text, "%" PRIu64 ".%09" PRIu64, ns / 1000000000, ns % 1000000000);
  while (text[length - 1] == '0') --length;
  if (text[length - 1] == '.') --length;
  out.append(text, static_cast<size_t>(length));
}

void appendLabels(std::string& out, const PerfCounterStats& counter, int id) {
  out += "{counter=\"";
  appendLabelValue(out, counter.name);
  out += "\",id=\"" + std::to_string(id) + "\"} ";
}

// The engine's registered counters, each read consistently under its lock,
// with the ids that label them.
struct CounterSnapshot {
  int id;
  PerfCounterStats stats;
};

std::vector<CounterSnapshot> readCounters(const ThrdPerfCounter& engine) {
  std::vector<CounterSnapshot> counters;
  for (int id = 0; id < ThrdPerfCounter::kMaxCounters; ++id) {
    CounterSnapshot counter{id, {}};
    if (engine.getStats(id, counter.stats)) counters.push_back(std::move(counter));
  }
  return counters;
}

void appendExtremes(std::string& out, const MetricFamily& family,
                    const std::vector<CounterSnapshot>& counters, PerfMetricsFormat format,
                    bool maximum) {
  appendHeader(out, family, format);
  for (const CounterSnapshot& counter : counters) {
    out += family.name;
    appendLabels(out, counter.stats, counter.id);
    // The engine reads 0 before the first operation; 0 would claim one took no time.
    if (counter.stats.count == 0) {
      out += "NaN";
    } else {
      appendSeconds(out, maximum ? counter.stats.maxNs : counter.stats.minNs);
    }
    out += '\n';
  }
}

}  // namespace

std::string formatPerfMetrics(PerfMetricsFormat format) {
  if (format != PERF_METRICS_OPENMETRICS) format = PERF_METRICS_PROMETHEUS;
  // Pairs with the release store that publishes the engine in InitPerfCounters:
  // once the flag reads true, the engine and its counters are complete.
  const ThrdPerfCounter* engine = __atomic_load_n(&g_object_store_enable_perf, __ATOMIC_ACQUIRE)
                                      ? g_object_store_counter
                                      : nullptr;
  std::string out;
  appendHeader(out, kEnabledFamily, format);
  out.append(kEnabledFamily.name).append(engine != nullptr && engine->enabled ? " 1\n" : " 0\n");

  if (engine != nullptr) {
    const std::vector<CounterSnapshot> counters = readCounters(*engine);
    appendHeader(out, kDurationFamily, format);
    // A summary's count and sum of one label set stay together.
    for (const CounterSnapshot& counter : counters) {
      out.append(kDurationFamily.name).append("_count");
      appendLabels(out, counter.stats, counter.id);
      out.append(std::to_string(counter.stats.count)).append("\n");
      out.append(kDurationFamily.name).append("_sum");
      appendLabels(out, counter.stats, counter.id);
      appendSeconds(out, counter.stats.totalNs);
      out += '\n';
    }
    appendExtremes(out, kMinFamily, counters, format, false);
    appendExtremes(out, kMaxFamily, counters, format, true);
  }
  if (format == PERF_METRICS_OPENMETRICS) out += "# EOF\n";
  return out;
}

int writePerfMetricsFile(const std::string& path, PerfMetricsFormat format) {
  static const char kSignature[] =
      "int ObjectStore::writePerfMetricsFile(const std::string&, ObjectStore::PerfMetricsFormat)";
  if (path.empty() || path.back() == '/') {
    const int error = path.empty() ? EINVAL : EISDIR;
    OBJSTORE_LOG(-1, kSignature, "Error: Can't write [%s]: %s", path.c_str(), strerror(error));
    return error;
  }
  const std::string text = formatPerfMetrics(format);

  // Replaced whole through a temporary beside it, whose name never ends in
  // ".prom": the collector reads only "*.prom" files and must not see one
  // half written. 0644, since the collector often runs as another user.
  objstore_internal::ReplaceStep failed;
  const int error = objstore_internal::replaceFile(path, text, 0644, nullptr, -1, &failed);
  if (failed == objstore_internal::ReplaceStep::kCreateTemporary) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    OBJSTORE_LOG(-1, kSignature, "Error: Can't create a temporary file in [%s]: %s", dir.c_str(),
                 strerror(error));
  } else if (error != 0) {
    OBJSTORE_LOG(-1, kSignature, "Error: Can't write [%s]: %s", path.c_str(), strerror(error));
  }
  return error;
}

}  // namespace ObjectStore
