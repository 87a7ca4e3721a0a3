// Logging a store's problems. Invariants: the problems of one version of a
// store are logged once, however many lookups read it, and at most
// kLoggedProblems one by one, so a garbage file cannot flood the log; the
// memory of versions seen is bounded (kRememberedVersions) and safe to use
// from any thread.
#include "host/PlatformInfo_internal.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <unordered_set>

#include "host/LogWriter.h"

namespace platformInfo {
namespace {

// Problems of one version of a store that are logged one by one; the rest
// are only counted.
constexpr size_t kLoggedProblems = 10;

// Versions of stores whose problems have been logged. A forgotten version is
// logged again when it is read again; the bound keeps the memory small when a
// store keeps changing.
constexpr size_t kRememberedVersions = 4096;

// A version of a store: its path, the file's identity and times, and its
// bytes. The bytes tell apart two contents that a writer rewriting in place
// leaves within one timestamp tick, and a half-written file from the whole.
uint64_t versionOf(const std::string& path, const StoreFile& file) {
  const std::hash<std::string_view> hash;
  uint64_t version = hash(file.text);
  const auto mix = [&version](uint64_t value) {
    version ^= value + 0x9e3779b97f4a7c15ull + (version << 6) + (version >> 2);
  };
  mix(hash(path));
  mix(file.status.st_dev);
  mix(file.status.st_ino);
  mix(static_cast<uint64_t>(file.status.st_size));
  mix(static_cast<uint64_t>(file.status.st_mtim.tv_sec));
  mix(static_cast<uint64_t>(file.status.st_mtim.tv_nsec));
  mix(static_cast<uint64_t>(file.status.st_ctim.tv_sec));
  mix(static_cast<uint64_t>(file.status.st_ctim.tv_nsec));
  return version;
}

// The versions whose problems were logged, oldest forgotten first.
class ReportedVersions {
 public:
  // True for the first caller that offers `version` while it is remembered.
  bool firstReport(uint64_t version) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!seen_.insert(version).second) return false;
    order_.push_back(version);
    if (order_.size() > kRememberedVersions) {
      seen_.erase(order_.front());
      order_.pop_front();
    }
    return true;
  }

 private:
  std::mutex mutex_;
  std::unordered_set<uint64_t> seen_;
  std::deque<uint64_t> order_;
};

ReportedVersions& reportedVersions() {
  static ReportedVersions versions;
  return versions;
}

}  // namespace

void logProblemsOnce(const std::string& path, const StoreFile& file, const char* signature) {
  if (!reportedVersions().firstReport(versionOf(path, file))) return;
  size_t logged = 0;
  size_t more = 0;
  walkProblems(file.text, [&](unsigned long line, const std::string& reason) {
    if (logged == kLoggedProblems) {
      ++more;
      return;
    }
    ++logged;
    OBJSTORE_LOG(-1, signature, "Error: Can't parse [%s] at line %lu: %s", path.c_str(), line,
                 reason.c_str());
  });
  if (more > 0) {
    OBJSTORE_LOG(-1, signature, "Error: Can't parse [%s]: %zu more problems not shown",
                 path.c_str(), more);
  }
}

}  // namespace platformInfo
