// Configuration lookups against stores that are cut short, garbage, enormous
// or not files at all. Whatever lies at the store's path, a lookup returns
// promptly with a value written there or the default, and logs only
// documented messages.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/PlatformInfo.h"
#include "objstore/objStrUtils.h"
#include "tests/support/capture_log_writer.h"
#include "tests/support/file_text.h"
#include "tests/support/temp_registry.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ScopedCaptureLog;

constexpr int kDefault = -7;  // no store below holds this number
constexpr size_t kStoreLimit = 4 * 1024 * 1024;

int LookUpNumber(const char* name) {
  return ObjectStore::getRegistryValue<int>(name, kDefault, 0, INT_MAX);
}

class RegistryFireTest : public ::testing::Test {
 protected:
  std::string StoreFile() const { return registry_.file("Fire"); }
  void WriteStore(const std::string& contents) const {
    ASSERT_TRUE(testing_support::WriteFile(StoreFile(), contents)) << StoreFile();
  }
  std::string ReadStore() const { return testing_support::ReadFile(StoreFile()); }
  // A message about a problem of the store: a line it skips, or the count of
  // those not shown.
  bool IsProblemMessage(const std::string& text) const {
    const std::string prefix = "Error: Can't parse [" + StoreFile() + "]";
    return text.compare(0, prefix.size(), prefix) == 0;
  }

  testing_support::TempRegistry registry_{"Fire"};
};

// ---------------------------------------------------------------------------
// A store cut short
// ---------------------------------------------------------------------------

struct Setting {
  bool numeric;
  const char* name;
  const char* text;
  size_t begin = 0;  // where the value's text lies in the store
  size_t end = 0;
};

std::string RightTrimmed(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// A store cut at any byte is what a crash or a full disk leaves behind a
// writer that does not replace the file atomically. A final line without a
// line break is valid INI, so the store cannot tell a cut value from a short
// one: the sound guarantee is the whole value when its line is complete
// (a cut line elsewhere is skipped and logged), and otherwise the default or
// the cut value itself, only when the cut falls inside that very value. Never
// a neighbour's value, never bytes from elsewhere.
TEST_F(RegistryFireTest, AStoreCutAtAnyByteGivesTheValueItsCutOrTheDefault) {
  std::vector<Setting> settings = {
      {false, "sHostName", "media01"},
      {false, "sPath", "/srv/lib one"},
      {true, "nRetries", "12345"},
      {true, "nOffset", "-42"},
      {true, "nzeltDisablePerfCounters", "1"},
  };
  std::string store = "; written by hand\n[Zelt]\n";
  for (Setting& s : settings) {
    if (s.numeric && store.find("[~Zelt]") == std::string::npos) store += "\n[~Zelt]\n";
    store += s.name;
    store += s.numeric ? " = " : "=";
    s.begin = store.size();
    store += s.text;
    s.end = store.size();
    store += "\n";
  }

  long CutValues = 0;
  for (size_t cut = 0; cut <= store.size(); ++cut) {
    WriteStore(store.substr(0, cut));
    for (const Setting& s : settings) {
      SCOPED_TRACE("cut at " + std::to_string(cut) + ", " + s.name);
      ScopedCaptureLog log(10);
      std::string got;
      if (s.numeric) {
        const int number = LookUpNumber(s.name);
        if (number != kDefault) got = std::to_string(number);
      } else {
        got = ObjectStore::getRegistryString(s.name);
      }
      const std::vector<std::string> messages = log->texts();
      ASSERT_LE(messages.size(), 1u);
      const bool problem = !messages.empty() && IsProblemMessage(messages[0]);
      const bool complete = cut >= s.end;
      const bool cut_inside = cut > s.begin && cut < s.end;
      const std::string cut_text = cut_inside ? std::string(s.text, cut - s.begin) : "";

      if (got == s.text) {
        EXPECT_TRUE(complete);
      } else if (got.empty()) {
        EXPECT_FALSE(complete) << "a complete value was lost";
      } else {
        ASSERT_TRUE(cut_inside) << "read [" << got << "], which was never written";
        std::istringstream number(cut_text);
        int parsed = 0;
        EXPECT_EQ(got,
                  s.numeric ? (number >> parsed, std::to_string(parsed)) : RightTrimmed(cut_text));
        ++CutValues;
      }
      if (!messages.empty() && !problem) {
        // The one other message: a number cut down to nothing, or to its sign.
        ASSERT_TRUE(s.numeric) << messages[0];
        EXPECT_TRUE(messages[0] ==
                        "Error: Can't parse [" + std::string(s.name) + "]: [" + cut_text + "]" &&
                    !complete)
            << messages[0];
      }
    }
  }
  std::cout << "[ figures  ] " << store.size() + 1 << " cuts of a " << store.size()
            << "-byte store, " << (store.size() + 1) * settings.size() << " lookups, " << CutValues
            << " of them read a value cut short\n";
}

// ---------------------------------------------------------------------------
// Garbage
// ---------------------------------------------------------------------------

struct Garbage {
  std::string what;
  std::string bytes;
};

std::vector<Garbage> GarbageStores() {
  std::mt19937 random(20240611);
  const auto RandomBytes = [&random](size_t size, const std::string& alphabet) {
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = alphabet[pick(random)];
    return bytes;
  };
  std::string any_byte(256, '\0');
  for (int i = 0; i < 256; ++i) any_byte[static_cast<size_t>(i)] = static_cast<char>(i);
  // Everything that gives INI structure, so that sections, keys and their
  // errors do occur; the probes' names cannot be spelt with it.
  static const char kPunctuation[] = "[]=;#~ \t\r\n\v\fZeltab01\0\x80\xff";
  const std::string punctuation(kPunctuation, sizeof kPunctuation - 1);

  std::vector<Garbage> stores;
  for (size_t size : {1, 31, 4095, 4096, 4097, 65536, 1 << 20}) {
    stores.push_back({"random bytes, " + std::to_string(size), RandomBytes(size, any_byte)});
  }
  for (int round = 0; round < 8; ++round) {
    stores.push_back({"random INI punctuation, round " + std::to_string(round),
                      RandomBytes(16384, punctuation)});
  }
  stores.push_back({"NULs only", std::string(65536, '\0')});
  stores.push_back({"0xff only", std::string(65536, '\xff')});
  stores.push_back({"a 1 MiB line without a line break", std::string(1 << 20, 'x')});
  stores.push_back({"a section header that never closes", "[~Zelt" + std::string(100000, ' ')});
  stores.push_back({"a 1 MiB value", "[~Zelt]\nnLong=" + std::string(1 << 20, '7') + "\n"});
  stores.push_back({"a 1 MiB name", "[~Zelt]\n" + std::string(1 << 20, 'n') + "=1\n"});
  return stores;
}

// Garbage alone holds no probe, so every lookup of one finds nothing; garbage
// beside a valid store leaves its values whole. The garbage's problems are
// logged by the first lookup of each store only, at most ten and a count.
TEST_F(RegistryFireTest, GarbageNeverYieldsAValue) {
  const std::string valid = "[Zelt]\nsValue=media01\n[~Zelt]\nnValue=12345\n";
  long lookups = 0;
  size_t bytes = 0;
  for (const Garbage& garbage : GarbageStores()) {
    const std::string layouts[] = {garbage.bytes, valid + garbage.bytes,
                                   garbage.bytes + "\n" + valid};
    for (size_t layout = 0; layout < 3; ++layout) {
      SCOPED_TRACE(garbage.what + ", layout " + std::to_string(layout));
      WriteStore(layouts[layout]);
      bytes += layouts[layout].size();
      ScopedCaptureLog log(10);
      EXPECT_EQ(LookUpNumber("nProbe"), kDefault);
      const size_t first_lookup_messages = log->texts().size();
      EXPECT_EQ(ObjectStore::getRegistryString("sProbe"), "");
      const int number = LookUpNumber("nValue");
      const std::string text = ObjectStore::getRegistryString("sValue");
      lookups += 4;
      const std::vector<std::string> messages = log->texts();
      EXPECT_EQ(messages.size(), first_lookup_messages) << "only the first lookup logs";
      EXPECT_LE(messages.size(), 11u);
      for (const std::string& m : messages) EXPECT_TRUE(IsProblemMessage(m)) << m;
      EXPECT_EQ(number, layout == 0 ? kDefault : 12345);
      EXPECT_EQ(text, layout == 0 ? "" : "media01");
    }
  }
  std::cout << "[ figures  ] " << lookups << " lookups in " << bytes << " bytes of garbage\n";
}

// The number handed to the library is a C string, so a NUL inside the value
// ends it; the text lookup returns the value's bytes as they are.
TEST_F(RegistryFireTest, ANulInsideAValueEndsTheNumberButNotTheText) {
  WriteStore(std::string("[~Zelt]\nnNul=12\0 34\n[Zelt]\nsNul=ab\0cd\n", 37));
  ScopedCaptureLog log(10);
  EXPECT_EQ(LookUpNumber("nNul"), 12);
  EXPECT_EQ(ObjectStore::getRegistryString("sNul"), std::string("ab\0cd", 5));
  EXPECT_TRUE(log->texts().empty());
}

// ---------------------------------------------------------------------------
// Size
// ---------------------------------------------------------------------------

// Every lookup reads the whole store: a 100 MiB file would make each one
// read and hold 100 MiB. The store refuses any file above its limit before
// reading a byte of it.
TEST_F(RegistryFireTest, AnEnormousStoreIsRefusedAtOnce) {
  struct statvfs volume;
  ASSERT_EQ(::statvfs(registry_.dir().c_str(), &volume), 0);
  if (static_cast<unsigned long long>(volume.f_bavail) * volume.f_frsize < (1ull << 30)) {
    GTEST_SKIP() << "less than 1 GiB free in " << registry_.dir();
  }
  constexpr off_t kSize = 100 << 20;
  const std::string refused = "Error: Can't read [" + StoreFile() + "]: larger than " +
                              std::to_string(kStoreLimit) + " bytes";
  const auto expect_refused_at_once = [&] {
    ScopedCaptureLog log(10);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(LookUpNumber("nProbe"), kDefault);
    EXPECT_EQ(ObjectStore::getRegistryString("sProbe"), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(log->texts(), std::vector<std::string>(2, refused));
  };

  // Sparse: 100 MiB of NULs in one line, no blocks on the disk.
  const int fd = ::open(StoreFile().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, kSize), 0);
  ::close(fd);
  expect_refused_at_once();

  // 100 MiB of valid settings with the probes at the very end.
  {
    std::string block;
    char line[32];
    for (int i = 0; block.size() < (1 << 20); ++i) {
      std::snprintf(line, sizeof line, "nKey%06d=%d\n", i, i);
      block += line;
    }
    std::ofstream out(StoreFile(), std::ios::binary | std::ios::trunc);
    for (int b = 0; static_cast<off_t>(out.tellp()) < kSize; ++b)
      out << "[Block" << b << "]\n" << block;
    out << "[~Zelt]\nnProbe=5\n[Zelt]\nsProbe=found\n";
    out.close();
    ASSERT_TRUE(out.good());
  }
  expect_refused_at_once();
}

// A store of exactly `size` bytes: padding settings, then the probes.
std::string StoreOfSize(size_t size) {
  const std::string tail = "[~Zelt]\nnProbe=5\n[Zelt]\nsProbe=found\n";
  std::string store = "[Pad]\n";
  char line[40];
  for (int i = 0; store.size() + 64 + tail.size() < size; ++i) {
    std::snprintf(line, sizeof line, "p%07d=%020d\n", i, i);
    store += line;
  }
  // One last setting takes up the rest exactly.
  const size_t rest = size - store.size() - tail.size();
  store += "last=" + std::string(rest - 6, 'x') + "\n";
  return store + tail;
}

TEST_F(RegistryFireTest, TheSizeLimitIsExactAndTheSettersKeepToIt) {
  WriteStore(StoreOfSize(kStoreLimit + 1));
  {
    ScopedCaptureLog log(10);
    EXPECT_EQ(LookUpNumber("nProbe"), kDefault);
    ASSERT_EQ(log->texts().size(), 1u);
    EXPECT_EQ(log->texts()[0], "Error: Can't read [" + StoreFile() + "]: larger than " +
                                   std::to_string(kStoreLimit) + " bytes");
    // Rewriting a store it cannot read would lose its contents.
    const std::string before = ReadStore();
    EXPECT_FALSE(ZQPlatformInfo().setValue("~Zelt", "nProbe", 6));
    EXPECT_EQ(ReadStore(), before);
  }

  const std::string at_limit = StoreOfSize(kStoreLimit);
  ASSERT_EQ(at_limit.size(), kStoreLimit);
  WriteStore(at_limit);
  ScopedCaptureLog log(10);
  EXPECT_EQ(ObjectStore::getRegistryString("sProbe"), "found")
      << "a store at the limit reads in full";
  EXPECT_TRUE(log->texts().empty());

  // The setter writes the store back in the same form: changing a value for
  // one of the same length stays within the limit, a new value would not.
  ZQPlatformInfo store;
  EXPECT_TRUE(store.setValue("~Zelt", "nProbe", 6));
  const std::string before = ReadStore();
  EXPECT_EQ(before.size(), kStoreLimit);
  EXPECT_NE(before.find("\nnProbe=6\n"), std::string::npos);
  EXPECT_FALSE(store.setValue("~Zelt", "nNew", 1));
  EXPECT_EQ(ReadStore(), before);
  ASSERT_EQ(log->texts().size(), 1u);
  EXPECT_EQ(log->texts()[0], "Error: Can't store [~Zelt] [nNew]: the store would exceed " +
                                 std::to_string(kStoreLimit) + " bytes");
}

// ---------------------------------------------------------------------------
// Something other than a readable file
// ---------------------------------------------------------------------------

struct OddPath {
  const char* what;
  // Puts the odd thing at the store's path; returns a descriptor to close
  // afterwards, or -1.
  std::function<int(const std::string& path, const std::string& dir)> make;
  // The end of each lookup's message after "[file]: ", or null for silence.
  const char* reason;
};

// Lookups on a FIFO used to block in open() until some writer appeared, or in
// read() while a writer kept it open; /dev/zero was read until memory ran out.
// Each lookup runs under a watchdog that, should it block, fails the test and
// unblocks the FIFO so that the test still ends.
TEST_F(RegistryFireTest, WhateverIsAtThePathTheLookupReturnsAtOnce) {
  const std::string loop = std::strerror(ELOOP);
  const OddPath cases[] = {
      {"no file", [](const std::string&, const std::string&) { return -1; }, nullptr},
      {"a dangling symbolic link",
       [](const std::string& path, const std::string& dir) {
         fs::create_symlink(dir + "/nowhere.ini", path);
         return -1;
       },
       nullptr},
      {"a symbolic link to itself",
       [](const std::string& path, const std::string&) {
         fs::create_symlink(path, path);
         return -1;
       },
       loop.c_str()},
      {"a directory",
       [](const std::string& path, const std::string&) {
         fs::create_directory(path);
         return -1;
       },
       "not a regular file"},
      {"a FIFO without a writer",
       [](const std::string& path, const std::string&) {
         EXPECT_EQ(::mkfifo(path.c_str(), 0644), 0);
         return -1;
       },
       "not a regular file"},
      {"a FIFO whose writer never writes",
       [](const std::string& path, const std::string&) {
         EXPECT_EQ(::mkfifo(path.c_str(), 0644), 0);
         return ::open(path.c_str(), O_RDWR | O_NONBLOCK);
       },
       "not a regular file"},
      {"a link to /dev/zero",
       [](const std::string& path, const std::string&) {
         fs::create_symlink("/dev/zero", path);
         return -1;
       },
       "not a regular file"},
      {"a link to /dev/null",
       [](const std::string& path, const std::string&) {
         fs::create_symlink("/dev/null", path);
         return -1;
       },
       "not a regular file"},
  };
  const std::string path = StoreFile();
  for (const OddPath& c : cases) {
    SCOPED_TRACE(c.what);
    const int held = c.make(path, registry_.dir());
    ScopedCaptureLog log(10);
    std::packaged_task<std::pair<int, std::string>()> lookups([] {
      return std::make_pair(LookUpNumber("nProbe"), ObjectStore::getRegistryString("sProbe"));
    });
    std::future<std::pair<int, std::string>> result = lookups.get_future();
    std::thread worker(std::move(lookups));
    const bool blocked = result.wait_for(std::chrono::seconds(10)) != std::future_status::ready;
    EXPECT_FALSE(blocked) << "the lookup blocked";
    if (held >= 0) ::close(held);
    while (result.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
      // Give a reader stuck in open() its writer, and then the end of file.
      const int unblock = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
      if (unblock >= 0) ::close(unblock);
    }
    worker.join();
    const std::pair<int, std::string> got = result.get();
    EXPECT_EQ(got.first, kDefault);
    EXPECT_EQ(got.second, "");
    const std::vector<std::string> messages = log->texts();
    if (c.reason == nullptr) {
      EXPECT_TRUE(messages.empty()) << ::testing::PrintToString(messages);
    } else {
      const std::string verb = c.reason == loop ? "open" : "read";
      EXPECT_EQ(messages, std::vector<std::string>(
                              2, "Error: Can't " + verb + " [" + path + "]: " + c.reason));
    }
    std::error_code ignored;
    fs::remove(path, ignored);
  }

  // A registry directory that is a file is no store either.
  setenv("OBJSTORE_REGISTRY_DIR", (registry_.dir() + "/not-a-directory").c_str(), 1);
  std::ofstream(registry_.dir() + "/not-a-directory") << "[~Zelt]\nnProbe=5\n";
  ScopedCaptureLog log(10);
  EXPECT_EQ(LookUpNumber("nProbe"), kDefault);
  EXPECT_TRUE(log->texts().empty());
}

// Permission is checked by open(2), which root passes; as root the lookups
// run in a child that has given up its privileges.
TEST_F(RegistryFireTest, AStoreThatMayNotBeReadIsEmptyAndLogged) {
  WriteStore("[~Zelt]\nnProbe=5\n[Zelt]\nsProbe=found\n");
  ASSERT_EQ(::chmod(StoreFile().c_str(), 0), 0);
  ASSERT_EQ(::chmod(registry_.dir().c_str(), 0711), 0);
  const std::string denied = "Error: Can't open [" + StoreFile() + "]: " + std::strerror(EACCES);
  const auto LookUpDenied = [&denied] {
    ScopedCaptureLog log(10);
    return LookUpNumber("nProbe") == kDefault && ObjectStore::getRegistryString("sProbe").empty() &&
           log->texts() == std::vector<std::string>(2, denied);
  };
  if (::geteuid() != 0) {
    EXPECT_TRUE(LookUpDenied());
    return;
  }
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(77);
    _exit(LookUpDenied() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot drop root privileges here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the unprivileged lookups misbehaved";
}

}  // namespace
