// GUID generation: generateGuid beside the old way of making the same text
// (one locked draw from the process-wide generator per call, formatted
// through a string stream), on one thread and on two at once.
//
// The library's own lock is private to it, so the baselines guard the same
// exported generator with a section of the same class; nothing else draws
// from the generator while a benchmark runs.
#include <cstdint>
#include <iomanip>
#include <sstream>
#include <string>

#include <benchmark/benchmark.h>
#include <boost/uuid/uuid.hpp>

#include "objstore/objStrUtils.h"

namespace {

ObjectStore::ZqCriticalSection& BaselineLock() {
  static ObjectStore::ZqCriticalSection lock;
  return lock;
}

boost::uuids::uuid LockedDraw() {
  ObjectStore::ZqCriticalSection& lock = BaselineLock();
  lock.enter(true);
  const boost::uuids::uuid id = ObjectStore::RandomGenerator();
  lock.leave();
  return id;
}

std::string StreamGuid() {
  const boost::uuids::uuid id = LockedDraw();
  std::ostringstream text;
  text << std::hex << std::setfill('0');
  for (const uint8_t byte : id) text << std::setw(2) << static_cast<unsigned>(byte);
  return text.str();
}

// One locked draw per call with generateGuid's formatting: tells what the
// batching of draws gains under contention from what the formatting gains.
std::string OneDrawPerLockGuid() {
  const boost::uuids::uuid id = LockedDraw();
  static constexpr char kHexDigits[] = "0123456789abcdef";
  std::string text(32, '0');
  size_t at = 0;
  for (const uint8_t byte : id) {
    text[at++] = kHexDigits[byte >> 4];
    text[at++] = kHexDigits[byte & 0x0F];
  }
  return text;
}

template <std::string (*Generate)()>
void MakeGuids(benchmark::State& state) {
  for (auto _ : state) {
    std::string guid = Generate();
    benchmark::DoNotOptimize(guid.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

const bool kRegistered = [] {
  benchmark::RegisterBenchmark("guid/generate/ours", MakeGuids<ObjectStore::generateGuid>);
  benchmark::RegisterBenchmark("guid/generate/ostringstream", MakeGuids<StreamGuid>);
  // items_per_second is the GUIDs made by all threads together per second.
  benchmark::RegisterBenchmark("guid/throughput/ours", MakeGuids<ObjectStore::generateGuid>)
      ->Threads(1)
      ->Threads(2)
      ->UseRealTime();
  benchmark::RegisterBenchmark("guid/throughput/one_draw_per_lock", MakeGuids<OneDrawPerLockGuid>)
      ->Threads(1)
      ->Threads(2)
      ->UseRealTime();
  return true;
}();

}  // namespace
