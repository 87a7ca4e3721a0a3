// The signature texts of the counters' log messages, shared with the tests.
#ifndef OBJSTORE_PERF_OBJECTSTOREPERF_INTERNAL_H_
#define OBJSTORE_PERF_OBJECTSTOREPERF_INTERNAL_H_

namespace ObjectStore {

constexpr char kInitPerfCountersSignature[] = "void ObjectStore::InitPerfCounters()";

}  // namespace ObjectStore

#endif  // OBJSTORE_PERF_OBJECTSTOREPERF_INTERNAL_H_
