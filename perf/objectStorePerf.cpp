#include "perf/objectStorePerf.h"
#include "perf/objectStorePerf_internal.h"

#include <climits>
#include <new>

#include "host/LogWriter.h"
#include "objstore/objStrUtils.h"

namespace ObjectStore {

PerfCounterInfo PerfCounters[PERF_COUNTER_COUNT] = {
    {0, "backupinit", CTRBASETYPE_ELAPSED_TIME},
    {1, "backupjobstart", CTRBASETYPE_ELAPSED_TIME},
    {2, "backupitem", CTRBASETYPE_ELAPSED_TIME},
    {3, "create", CTRBASETYPE_ELAPSED_TIME},
    {4, "createAndOpen", CTRBASETYPE_ELAPSED_TIME},
    {5, "createSymLink", CTRBASETYPE_ELAPSED_TIME},
    {6, "mkdir", CTRBASETYPE_ELAPSED_TIME},
    {7, "open", CTRBASETYPE_ELAPSED_TIME},
    {8, "close", CTRBASETYPE_ELAPSED_TIME},
    {9, "writeExtent", CTRBASETYPE_ELAPSED_TIME},
    {10, "write", CTRBASETYPE_ELAPSED_TIME},
    {11, "readExtent", CTRBASETYPE_ELAPSED_TIME},
    {12, "read", CTRBASETYPE_ELAPSED_TIME},
    {13, "unlink", CTRBASETYPE_ELAPSED_TIME},
    {14, "rmdir", CTRBASETYPE_ELAPSED_TIME},
    {15, "rename", CTRBASETYPE_ELAPSED_TIME},
    {16, "getattr", CTRBASETYPE_ELAPSED_TIME},
    {17, "setattr", CTRBASETYPE_ELAPSED_TIME},
    {18, "getxattr", CTRBASETYPE_ELAPSED_TIME},
    {19, "setxattr", CTRBASETYPE_ELAPSED_TIME},
    {20, "fsync", CTRBASETYPE_ELAPSED_TIME},
    {21, "flock", CTRBASETYPE_ELAPSED_TIME},
    {22, "lock", CTRBASETYPE_ELAPSED_TIME},
    {23, "chmod", CTRBASETYPE_ELAPSED_TIME},
    {24, "utimes", CTRBASETYPE_ELAPSED_TIME},
    {25, "chown", CTRBASETYPE_ELAPSED_TIME},
    {26, "truncate", CTRBASETYPE_ELAPSED_TIME},
    {27, "guidToPath", CTRBASETYPE_ELAPSED_TIME},
    {28, "pathToGuid", CTRBASETYPE_ELAPSED_TIME},
    {29, "readdir", CTRBASETYPE_ELAPSED_TIME},
    {30, "read_for_backup", CTRBASETYPE_ELAPSED_TIME},
    {31, "write_to_pipeline", CTRBASETYPE_ELAPSED_TIME},
    {32, "updateVolumeSize", CTRBASETYPE_ELAPSED_TIME},
    {33, "readDirEnt", CTRBASETYPE_ELAPSED_TIME},
    {34, "addToDirEnt", CTRBASETYPE_ELAPSED_TIME},
    {35, "diskRead", CTRBASETYPE_ELAPSED_TIME},
    {36, "diskWrite", CTRBASETYPE_ELAPSED_TIME},
    {37, "custom1", CTRBASETYPE_ELAPSED_TIME},
    {38, "custom2", CTRBASETYPE_ELAPSED_TIME},
    {39, "custom3", CTRBASETYPE_ELAPSED_TIME},
    {40, "DiskCacheSync", CTRBASETYPE_ELAPSED_TIME},
    {41, "DiskCacheFstat", CTRBASETYPE_ELAPSED_TIME},
    {42, "DiskCacheDiskRead", CTRBASETYPE_ELAPSED_TIME},
    {43, "DiskCacheDiskWrite", CTRBASETYPE_ELAPSED_TIME},
    {44, "DiskCacheOpen", CTRBASETYPE_ELAPSED_TIME},
    {45, "DiskCacheSeek", CTRBASETYPE_ELAPSED_TIME},
    {46, "DiskCacheClose", CTRBASETYPE_ELAPSED_TIME},
    {47, "pipeline_commit", CTRBASETYPE_ELAPSED_TIME},
    {48, "stream_lock_wait", CTRBASETYPE_ELAPSED_TIME},
};

bool g_object_store_enable_perf = false;
ThrdPerfCounter* g_object_store_counter = nullptr;

void InitPerfCounters() {
  if (g_object_store_enable_perf) return;

  const int disabled = getRegistryValue<int>("nzeltDisablePerfCounters", 0, 0, INT_MAX);
  if (disabled != 0) {
    g_object_store_enable_perf = false;
    OBJSTORE_LOG(2, kInitPerfCountersSignature, "Info: performance counters are disabled.");
    return;
  }

  // An engine left by an earlier call that failed half-way is reused: the
  // engine is never replaced, and registering a counter twice is harmless.
  if (g_object_store_counter == nullptr) {
    g_object_store_counter = new (std::nothrow) ThrdPerfCounter(nullptr);
    if (g_object_store_counter == nullptr) {
      OBJSTORE_LOG(-1, kInitPerfCountersSignature,
                   "Err: Failed to allocate memory for object store perf counters.");
      g_object_store_enable_perf = false;
      return;
    }
  }
  ThrdPerfCounter& engine = *g_object_store_counter;
  engine.SetInterval(300);
  try {
    for (const PerfCounterInfo& row : PerfCounters) {
      engine.AddPerfCounter(row.id, row.name, row.baseType, false);
    }
  } catch (const std::bad_alloc&) {
    // A counter's name could not be stored; the flag stays clear and a later
    // call completes the registrations on the same engine.
    OBJSTORE_LOG(-1, kInitPerfCountersSignature,
                 "Err: Failed to allocate memory for object store perf counters.");
    return;
  }

  // Published last, with release order, so that whoever sees the flag set
  // also sees the engine and every counter registered.
  __atomic_store_n(&g_object_store_enable_perf, true, __ATOMIC_RELEASE);
}

void clearPerfCounters() {
  if (g_object_store_counter == nullptr) return;
  g_object_store_counter->ResetPerfCounters("PerfCtr", nullptr, -1);
}

}  // namespace ObjectStore
