// Drives the cache and its reference model (cache_reference_model.h) through
// one run of random operations on both keys: updates, lookups, deletions,
// promotions, bulk renames through a scripted rename function, dumps and
// clearing. After every step the result, all nine statistics, the elements
// handed to the release callback (in order), the log messages, the recency
// order and the structure of both tables must agree with the model; at the
// end, destruction must release every remaining element once, in the order of
// the primary table.
//
// The randomized model test and the cache fuzz target share it; they differ
// only in where the choices come from (a seeded generator, the fuzzer's
// bytes) and in the configurations and key spaces they explore.
#ifndef OBJSTORE_TESTS_SUPPORT_CACHE_MODEL_DRIVER_H_
#define OBJSTORE_TESTS_SUPPORT_CACHE_MODEL_DRIVER_H_

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cache/mem_cache.h"
#include "tests/support/capture_log_writer.h"

namespace testing_support {

// The stream of choices a run makes, one byte per decision in program order.
class ChoiceSource {
 public:
  virtual ~ChoiceSource() = default;
  // The next byte; a source that has run dry answers 0.
  virtual uint8_t Byte() = 0;
  // True once a finite source has run dry: the run ends at the next step.
  virtual bool Exhausted() const = 0;

  bool Bool() { return (Byte() & 1) != 0; }
  // A value in [0, n) from one byte (n <= 256).
  unsigned Below(unsigned n) { return n == 0 ? 0 : Byte() % n; }
  // Two bytes, little-endian.
  uint16_t U16() {
    const unsigned low = Byte();
    return static_cast<uint16_t>(low | static_cast<unsigned>(Byte()) << 8);
  }
};

struct CacheModelConfig {
  // Creation arguments. The bucket count follows from them: the largest power
  // of two not above max_bytes / (expected_entry_size + 96).
  int max_bytes;
  int expected_entry_size;
  bool key1_case_sensitive;
  bool key2_case_sensitive;
  HashFunc key1_hash = nullptr;  // null: the default hash of the table's case flag
  HashFunc key2_hash = nullptr;
  bool release_callback = true;
  // A new key is 1 to max_key_pieces pieces of its space, so that keys shared
  // by many elements, keys differing only in case and keys sharing a bucket
  // are all frequent.
  std::vector<std::string> key1_pieces;
  std::vector<std::string> key2_pieces;
  int max_key_pieces = 1;
  int max_steps;
  std::FILE* trace = nullptr;  // where to list each step, to read a reproducer
};

// Runs the cache against the model until max_steps or until the choices run
// dry. Returns an empty string, or the first disagreement with the step that
// revealed it. Installs nothing: `log` must be the process's log writer.
std::string RunCacheModel(const CacheModelConfig& config, ChoiceSource& choices,
                          CaptureLogWriter& log);

}  // namespace testing_support

#endif  // OBJSTORE_TESTS_SUPPORT_CACHE_MODEL_DRIVER_H_
