// Configuration lookups while another process keeps rewriting the store.
//
// The writer is this same executable, started again with OBJSTORE_FIRE_WRITER
// set: it runs its loop from a static initialiser and exits before gtest
// starts. A fresh executable rather than fork() keeps ThreadSanitizer sound.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/FileIo_internal.h"
#include "host/PlatformInfo.h"
#include "objstore/objStrUtils.h"
#include "tests/support/capture_log_writer.h"
#include "tests/support/temp_registry.h"

extern char** environ;

namespace {

constexpr int kGenerations = 3;
constexpr int kDefault = -7;  // no generation writes a negative number
constexpr int kSteadyNumber = 4242;
const char kSteadyText[] = "steady value";
constexpr size_t kTextLength = 24;

// Generation g writes 111111111 * (g + 1) and a text of 24 times 'A' + g.
int GenerationNumber(int g) { return 111111111 * (g + 1); }
std::string GenerationText(int g) { return std::string(kTextLength, static_cast<char>('A' + g)); }

// The whole store of generation g. The changing values come after the padding,
// so a reader that saw only part of a file would miss them. With `same_layout`
// every generation has the same length and differs only in the bytes of the
// two changing values; otherwise the padding (and so the size, 1 to 9 KiB,
// up to three read chunks) differs as well.
std::string GenerationStore(int g, bool same_layout) {
  const int padding = same_layout ? 120 : 30 + 90 * g;
  std::string store = "[Zelt]\nsSteady=" + std::string(kSteadyText) + "\n";
  char line[64];
  for (int i = 0; i < padding; ++i) {
    std::snprintf(line, sizeof line, "sPad%04d=padding text %04d\n", i, i);
    store += line;
  }
  store += "sGeneration=" + GenerationText(g) + "\n";
  store += "[~Zelt]\nnSteady=" + std::to_string(kSteadyNumber) + "\n";
  for (int i = 0; i < padding; ++i) {
    std::snprintf(line, sizeof line, "nPad%04d=%d\n", i, i);
    store += line;
  }
  store += "nGeneration=" + std::to_string(GenerationNumber(g)) + "\n";
  return store;
}

// Writes `contents` to a new file beside `path` and renames it over `path`.
bool ReplaceAtomically(const std::string& path, const std::string& contents) {
  const std::string temporary = path + ".writer-tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = writeAll(fd, contents.data(), contents.size()) == 0;
  return ::close(fd) == 0 && written && ::rename(temporary.c_str(), path.c_str()) == 0;
}

// Truncates `path` and writes `contents` in three pieces, so that readers can
// catch the file empty, half written, or between the pieces.
bool RewriteInPlace(const std::string& path, const std::string& contents, unsigned seed) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return false;
  const size_t first = seed % contents.size();
  const size_t second = first + (seed / 7) % (contents.size() - first);
  const bool written = writeAll(fd, contents.data(), first) == 0 &&
                       writeAll(fd, contents.data() + first, second - first) == 0 &&
                       writeAll(fd, contents.data() + second, contents.size() - second) == 0;
  return ::close(fd) == 0 && written;
}

// Whether the parent has closed our standard input, its signal to stop.
bool StopRequested() {
  pollfd input = {0, POLLIN, 0};
  return ::poll(&input, 1, 0) != 0;
}

// The writer process: OBJSTORE_FIRE_WRITER names the mode, OBJSTORE_FIRE_FILE
// the store, OBJSTORE_FIRE_ITERATIONS the least number of replacements; it
// goes on until its standard input closes, then prints how many it made. The
// exit status is 0 when every replacement succeeded.
int RunWriter(const std::string& mode) {
  const char* path = std::getenv("OBJSTORE_FIRE_FILE");
  const char* iterations_text = std::getenv("OBJSTORE_FIRE_ITERATIONS");
  if (path == nullptr || iterations_text == nullptr) return 2;
  const int iterations = std::atoi(iterations_text);
  std::string stores[kGenerations];
  for (int g = 0; g < kGenerations; ++g) stores[g] = GenerationStore(g, mode == "inplace");
  ZQPlatformInfo store;
  int i = 1;
  for (; i <= iterations || !StopRequested(); ++i) {
    const int g = i % kGenerations;
    bool ok;
    if (mode == "rename") {
      ok = ReplaceAtomically(path, stores[g]);
    } else if (mode == "inplace") {
      ok = RewriteInPlace(path, stores[g], static_cast<unsigned>(i) * 2654435761u);
    } else if (mode == "setter") {
      // The store's own writer: alternately the number and the text.
      ok = i % 2 == 0 ? store.setValue("~Zelt", "nGeneration", GenerationNumber(g))
                      : store.setString("Zelt", "sGeneration", GenerationText(g));
    } else {
      return 2;
    }
    if (!ok) return 1;
  }
  std::printf("%d\n", i - 1);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

struct WriterEntry {
  WriterEntry() {
    if (const char* mode = std::getenv("OBJSTORE_FIRE_WRITER")) _exit(RunWriter(mode));
  }
} const writer_entry;

// What the readers saw, by lookup and outcome.
struct Tally {
  long lookups = 0;
  long whole = 0;    // a value exactly as one generation wrote it
  long torn = 0;     // a value made of the bytes of written values, cut or mixed
  long missing = 0;  // the default or the empty text
  long wrong = 0;    // anything else: a value nobody wrote
  int generations_seen = 0;
  std::vector<std::string> wrong_samples;

  void add(const Tally& other) {
    lookups += other.lookups;
    whole += other.whole;
    torn += other.torn;
    missing += other.missing;
    wrong += other.wrong;
    generations_seen |= other.generations_seen;
    for (const std::string& s : other.wrong_samples)
      if (wrong_samples.size() < 10) wrong_samples.push_back(s);
  }
  void wrong_value(const std::string& what) {
    ++wrong;
    if (wrong_samples.size() < 10) wrong_samples.push_back(what);
  }
};

// Whether `text` could come from cutting and mixing, byte position by byte
// position, values of the same length whose bytes are all among `bytes`.
bool IsTornOf(const std::string& text, const std::string& bytes, size_t max_length) {
  if (text.empty() || text.size() > max_length) return false;
  return text.find_first_not_of(bytes) == std::string::npos;
}

bool IsPrefixOf(const std::string& text, const std::string& of) {
  return !text.empty() && text.size() < of.size() && of.compare(0, text.size(), text) == 0;
}

// One round of the four lookups, classified. `torn_allowed` is false while the
// writer replaces the file atomically: then every lookup must find a whole
// generation.
void LookUpOnce(Tally& tally, bool torn_allowed) {
  const int number = ObjectStore::getRegistryValue<int>("nGeneration", kDefault, 0, INT_MAX);
  const std::string text = ObjectStore::getRegistryString("sGeneration");
  const int steady_number = ObjectStore::getRegistryValue<int>("nSteady", kDefault, 0, INT_MAX);
  const std::string steady_text = ObjectStore::getRegistryString("sSteady");
  tally.lookups += 4;

  bool whole_number = false;
  bool whole_text = false;
  for (int g = 0; g < kGenerations; ++g) {
    if (number == GenerationNumber(g)) {
      whole_number = true;
      tally.generations_seen |= 1 << g;
    }
    if (text == GenerationText(g)) {
      whole_text = true;
      tally.generations_seen |= 1 << g;
    }
  }
  const std::string number_text = std::to_string(number);
  const auto classify = [&](bool whole, bool missing, bool torn, const std::string& what) {
    if (whole) {
      ++tally.whole;
    } else if (missing && torn_allowed) {
      ++tally.missing;
    } else if (torn && torn_allowed) {
      ++tally.torn;
    } else {
      tally.wrong_value(what);
    }
  };
  classify(whole_number, number == kDefault, IsTornOf(number_text, "123", 9),
           "nGeneration=" + number_text);
  classify(whole_text, text.empty(), IsTornOf(text, "ABC", kTextLength), "sGeneration=" + text);
  classify(steady_number == kSteadyNumber, steady_number == kDefault,
           IsPrefixOf(std::to_string(steady_number), std::to_string(kSteadyNumber)),
           "nSteady=" + std::to_string(steady_number));
  classify(steady_text == kSteadyText, steady_text.empty(), IsPrefixOf(steady_text, kSteadyText),
           "sSteady=" + steady_text);
}

class RegistryFireConcurrencyTest : public ::testing::Test {
 protected:
  std::string StoreFile() const { return registry_.file("Fire"); }

  // Seeds the store with generation 0, starts the writer process in `mode`
  // and looks values up from `readers` threads until the writer has made at
  // least `replacements` replacements and the readers at least `lookups`
  // lookups, all while the writer runs. Where lookups are slow (sanitizers,
  // debug builds, a loaded machine) a tenth of them will do after 3 s.
  Tally RunAgainstWriter(const char* mode, int replacements, long lookups, bool same_layout,
                         bool torn_allowed, int readers = 2) {
    Tally total;
    EXPECT_TRUE(ReplaceAtomically(StoreFile(), GenerationStore(0, same_layout)));

    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      if (std::strncmp(*entry, "OBJSTORE_FIRE_", 14) != 0) variables.push_back(*entry);
    }
    variables.push_back(std::string("OBJSTORE_FIRE_WRITER=") + mode);
    variables.push_back("OBJSTORE_FIRE_FILE=" + StoreFile());
    variables.push_back("OBJSTORE_FIRE_ITERATIONS=" + std::to_string(replacements));
    std::vector<char*> envp;
    for (std::string& v : variables) envp.push_back(&v[0]);
    envp.push_back(nullptr);
    char program[] = "/proc/self/exe";
    char* argv[] = {program, nullptr};

    // The writer's standard input tells it when to stop; its standard output
    // brings back its count.
    int stop[2];
    int count[2];
    if (::pipe2(stop, O_CLOEXEC) != 0 || ::pipe2(count, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe2: " << std::strerror(errno);
      return total;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, stop[0], 0);
    posix_spawn_file_actions_adddup2(&actions, count[1], 1);
    pid_t child = 0;
    const auto start = std::chrono::steady_clock::now();
    const int spawned = ::posix_spawn(&child, program, &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(stop[0]);
    ::close(count[1]);
    if (spawned != 0) {
      ADD_FAILURE() << "posix_spawn: " << std::strerror(spawned);
      ::close(stop[1]);
      ::close(count[0]);
      return total;
    }

    std::atomic<bool> done{false};
    std::atomic<long> lookups_so_far{0};
    std::mutex mutex;
    std::vector<std::thread> threads;
    for (int r = 0; r < readers; ++r) {
      threads.emplace_back([&] {
        Tally mine;
        // At least one round after the writer is done, so that every reader
        // also sees the final store.
        do {
          LookUpOnce(mine, torn_allowed);
          lookups_so_far.fetch_add(4);
        } while (!done.load());
        LookUpOnce(mine, torn_allowed);
        std::lock_guard<std::mutex> guard(mutex);
        total.add(mine);
      });
    }
    for (;;) {
      const long so_far = lookups_so_far.load();
      if (so_far >= lookups) break;
      if (so_far >= lookups / 10 &&
          std::chrono::steady_clock::now() - start > std::chrono::seconds(3))
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::close(stop[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    done.store(true);
    for (std::thread& t : threads) t.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    char reply[32] = {};
    const ssize_t got = ::read(count[0], reply, sizeof reply - 1);
    ::close(count[0]);
    const long made = got > 0 ? std::atol(reply) : -1;

    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the writer process failed, status " << status;
    EXPECT_GE(made, replacements);
    std::cout << "[ figures  ] " << mode << ": " << made << " replacements, store of "
              << GenerationStore(0, same_layout).size() << " bytes at the start, " << total.lookups
              << " lookups by " << readers << " threads in " << seconds << " s; whole "
              << total.whole << ", torn " << total.torn << ", missing " << total.missing
              << ", wrong " << total.wrong << "\n";
    EXPECT_EQ(total.wrong, 0) << ::testing::PrintToString(total.wrong_samples);
    return total;
  }

  testing_support::TempRegistry registry_{"Fire"};
};

// rename(2) swaps the whole file: each lookup reads one inode from start to
// end, so it sees one complete generation, never a missing value, never a
// message.
TEST_F(RegistryFireConcurrencyTest, AWriterThatRenamesOverTheStoreIsSeenWhole) {
  testing_support::ScopedCaptureLog log(10);
  const Tally tally = RunAgainstWriter("rename", 1000, 8000, false, false);
  EXPECT_GT(tally.generations_seen & 6, 0) << "no replacement was seen";
  EXPECT_EQ(tally.whole, tally.lookups);
  EXPECT_EQ(log->texts(), std::vector<std::string>());
}

// The same through the store's own setter from another process: serialised
// by the directory lock, replaced by rename, one value per update.
TEST_F(RegistryFireConcurrencyTest, TheStoresOwnSetterInAnotherProcessIsSeenWhole) {
  testing_support::ScopedCaptureLog log(10);
  const Tally tally = RunAgainstWriter("setter", 300, 4000, false, false);
  EXPECT_GT(tally.generations_seen & 6, 0) << "no update was seen";
  EXPECT_EQ(tally.whole, tally.lookups);
  EXPECT_EQ(log->texts(), std::vector<std::string>());
}

// A writer that truncates the file and writes it again in place gives readers
// no snapshot to read: a lookup can land on an empty file, on a prefix, or read
// its first chunks from one version and the rest from the next. Nothing in the
// reader can tell such a file from a whole one (a last line without a line
// break is valid), so the sound guarantee is weaker: no crash and no hang, and
// every result is the default, or the empty text, or a value built from the
// written bytes of that very value, cut or mixed position by position; never
// bytes that no version had there. Messages are only the documented ones.
TEST_F(RegistryFireConcurrencyTest, AWriterThatRewritesInPlaceYieldsOnlyWrittenBytes) {
  testing_support::ScopedCaptureLog log(10);
  const Tally tally = RunAgainstWriter("inplace", 4000, 4000, true, true);
  EXPECT_GT(tally.generations_seen & 6, 0) << "no rewrite was seen";
  // A torn read can cut lines anywhere; their problems are logged by line.
  const std::string store_prefix = "Error: Can't parse [" + StoreFile() + "]";
  std::map<std::string, int> unexpected;
  for (const std::string& text : log->texts()) {
    const bool store_problem = text.compare(0, store_prefix.size(), store_prefix) == 0;
    // A line cut right after '=' leaves an empty value, which is no number.
    const bool empty_number = text == "Error: Can't parse [nGeneration]: []" ||
                              text == "Error: Can't parse [nSteady]: []";
    if (!store_problem && !empty_number) ++unexpected[text];
  }
  EXPECT_TRUE(unexpected.empty()) << ::testing::PrintToString(unexpected);
}

}  // namespace
