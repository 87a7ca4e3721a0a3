// The counters in the text formats that monitoring systems scrape.
//
// A host that wants its counters in Prometheus writes them periodically as a
// file for the node exporter's text-file collector:
//
//   // every 15 seconds or so, from any thread
//   ObjectStore::writePerfMetricsFile("/var/lib/prometheus/node-exporter/objstore.prom");
//
// or serves formatPerfMetrics() itself over HTTP, with the content type
// "text/plain; version=0.0.4; charset=utf-8" (PERF_METRICS_PROMETHEUS) or
// "application/openmetrics-text; version=1.0.0; charset=utf-8"
// (PERF_METRICS_OPENMETRICS).
//
// Every counter the engine has registered (the 49 of the catalogue and any a
// host added) gives four series, labelled with its name and id:
//
//   objstore_perf_operation_duration_seconds_count{counter="read",id="12"}
//       operations timed (summary count)
//   objstore_perf_operation_duration_seconds_sum{...}
//       their total time, seconds (summary sum)
//   objstore_perf_operation_duration_min_seconds{...}
//   objstore_perf_operation_duration_max_seconds{...}
//       shortest and longest operation, seconds; NaN while the count is 0
//
// All four count from start-up or the last clearPerfCounters; a reset looks
// to Prometheus like a counter reset, which rate() handles. The gauge
// objstore_perf_counters_enabled is 1 while timing scopes reach the engine.
//
// Without an engine (the counters disabled by "nzeltDisablePerfCounters", or
// InitPerfCounters not yet called) the text is still a valid exposition: the
// gauge objstore_perf_counters_enabled reads 0 and no counter series appear,
// so an alert can tell "disabled" from "process gone".
#ifndef OBJSTORE_PERF_PERFMETRICS_H_
#define OBJSTORE_PERF_PERFMETRICS_H_

#include <string>

#include "host/Export.h"

namespace ObjectStore {

enum PerfMetricsFormat : int {
  // The Prometheus text format 0.0.4: what the node exporter's text-file
  // collector and `promtool check metrics` read.
  PERF_METRICS_PROMETHEUS = 0,
  // OpenMetrics 1.0.0 text: the same families and samples, with UNIT lines
  // and the closing "# EOF".
  PERF_METRICS_OPENMETRICS = 1,
};

// The engine's counters as an exposition in `format`. Reads each counter
// under its own lock, so it may run while other threads time operations. Any
// other value of `format` gives the Prometheus text format.
OBJSTORE_API std::string formatPerfMetrics(PerfMetricsFormat format = PERF_METRICS_PROMETHEUS);

// Replaces the file at `path` with formatPerfMetrics(format), atomically: the
// text goes to a temporary file in the same directory, which is synced, given
// mode 0644 and renamed over `path`, so a reader sees the previous file or
// the new one, never a part. Returns 0, or the errno value of the step that
// failed (EINVAL for an empty path, EISDIR for one ending in '/'), with a
// level -1 message naming the file; then `path` is left as it was and no
// temporary file remains. Write to a folder the collector reads and give the
// file the suffix ".prom" (the temporary files never have it).
OBJSTORE_API int writePerfMetricsFile(const std::string& path,
                                      PerfMetricsFormat format = PERF_METRICS_PROMETHEUS);

}  // namespace ObjectStore

#endif  // OBJSTORE_PERF_PERFMETRICS_H_
