// The budget sweep of a cache replay and its two outputs: a CSV table and a
// line plot (SVG) of the miss ratio over the budget.
#ifndef OBJSTORE_TOOLS_OSUTIL_MISS_RATIO_CURVE_H_
#define OBJSTORE_TOOLS_OSUTIL_MISS_RATIO_CURVE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tools/osutil/replay.h"

namespace osutil {

struct SweepPoint {
  int32_t budgetBytes;
  ReplayResult result;
};

// `count` budgets spaced evenly on a log scale from `largest` / `span` to
// `largest`, ascending, the last one exactly `largest`; budgets that round
// to the same byte count (tiny budgets) appear once.
std::vector<int32_t> sweepBudgets(int32_t largest, int count, int span);

// The output path that means standard output.
constexpr char kStandardOutput[] = "-";

// Header "budget_bytes,accesses,hits,misses,miss_ratio,evictions,refused",
// then one row per point, to `path` or, for "-", to standard output. Throws
// std::runtime_error when the file cannot be written.
void writeMissRatioCsv(const std::string& path, const std::vector<SweepPoint>& points);

// A line plot of the miss ratio (0 to 1, linear) over the budget (log scale,
// ticks at powers of two), titled with `workload`. Writes and throws like
// the CSV.
void writeMissRatioSvg(const std::string& path, const std::vector<SweepPoint>& points,
                       const std::string& workload);

}  // namespace osutil

#endif  // OBJSTORE_TOOLS_OSUTIL_MISS_RATIO_CURVE_H_
