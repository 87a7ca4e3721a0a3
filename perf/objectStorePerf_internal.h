// What the counters' unit shares with the tests and keeps from callers: the
// catalogue's table and the signature texts of its log messages.
#ifndef OBJSTORE_PERF_OBJECTSTOREPERF_INTERNAL_H_
#define OBJSTORE_PERF_OBJECTSTOREPERF_INTERNAL_H_

#include <string>

#include "host/PerfCounter.h"
#include "perf/objectStorePerf.h"

namespace ObjectStore {

// One row of the catalogue.
struct PerfCounterInfo {
  int id;            // equal to the row's index
  std::string name;  // the name the engine reports
  CTRBASETYPE baseType;
};

// The catalogue, rows 0 to PERF_COUNTER_COUNT - 1. Built at load and never
// written afterwards; InitPerfCounters registers every row with the engine.
// Not exported: callers name counters by id.
extern PerfCounterInfo PerfCounters[PERF_COUNTER_COUNT];

constexpr char kInitPerfCountersSignature[] = "void ObjectStore::InitPerfCounters()";

}  // namespace ObjectStore

#endif  // OBJSTORE_PERF_OBJECTSTOREPERF_INTERNAL_H_
