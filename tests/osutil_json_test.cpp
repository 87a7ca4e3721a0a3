// osutil's --json output, read back with a real JSON parser and held against
// the same command's text lines.
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/osutil_run.h"
#include "tests/support/port111.h"

namespace {

using namespace testing_support;
using nlohmann::json;

// The one object that a --json run printed, on one line of its own.
json parseObject(const RunResult& run) {
  EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << "not one line: " << run.out;
  const json object = json::parse(run.out, nullptr, /*allow_exceptions=*/false);
  EXPECT_TRUE(object.is_object()) << run.out;
  return object;
}

// The object's keys, in sorted order: JSON gives their order no meaning.
std::vector<std::string> keysOf(const json& object) {
  std::vector<std::string> keys;
  for (const auto& item : object.items()) keys.push_back(item.key());
  return keys;
}

using JsonTest = OsutilTest;

TEST_F(JsonTest, FsSizeAndDfCarryTheTextValues) {
  const std::string file = path("sized");
  writeFile(file, std::string(70000, 'x'));

  const RunResult size = osutil({"fs", "size", "--json", file});
  ASSERT_EQ(size.status, 0) << size.err;
  const json sizeObject = parseObject(size);
  EXPECT_EQ(keysOf(sizeObject), (std::vector<std::string>{"allocated", "size"}));
  const auto sizeText = fields(osutil({"fs", "size", file}).out);
  EXPECT_EQ(sizeObject.value("size", uint64_t{0}), field(sizeText, "size"));
  EXPECT_EQ(sizeObject.value("allocated", uint64_t{0}), field(sizeText, "allocated"));

  const RunResult df = osutil({"fs", "df", dir_, "--json"});
  ASSERT_EQ(df.status, 0) << df.err;
  const json dfObject = parseObject(df);
  EXPECT_EQ(keysOf(dfObject), (std::vector<std::string>{"free", "total"}));
  const auto dfText = fields(osutil({"fs", "df", dir_}).out);
  EXPECT_EQ(dfObject.value("total", uint64_t{0}), field(dfText, "total"));
  EXPECT_LE(dfObject.value("free", ~uint64_t{0}), dfObject.value("total", uint64_t{0}));

  // A failure prints no JSON at all: the message goes to stderr only.
  for (const char* command : {"size", "df"}) {
    const RunResult missing = osutil({"fs", command, "--json", path("missing")});
    EXPECT_EQ(missing.status, 1) << command;
    EXPECT_EQ(missing.out, "") << command;
    EXPECT_NE(missing.err.find("No such file"), std::string::npos) << missing.err;
  }
}

TEST_F(JsonTest, ProbeDisklibAnswersOrFails) {
  ASSERT_EQ(osutil({"registry", "set", "MediaManager", "subclient7", dir_}).status, 0);
  const RunResult run = osutil({"probe", "disklib", "--json", "7"});
  ASSERT_EQ(run.status, 0) << run.err;
  const json object = parseObject(run);
  EXPECT_EQ(keysOf(object), (std::vector<std::string>{"capacity", "free", "subclient"}));
  EXPECT_EQ(object.value("subclient", 0), 7);
  // The library's capacity is the whole file system that holds the mount.
  const uint64_t total = field(fields(osutil({"fs", "df", dir_}).out), "total");
  EXPECT_EQ(object.value("capacity", uint64_t{0}), total);
  EXPECT_LE(object.value("free", ~uint64_t{0}), total);

  const RunResult unknown = osutil({"probe", "disklib", "--json", "8"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.out, "");
  EXPECT_NE(unknown.err.find("subclient 8"), std::string::npos) << unknown.err;
}

TEST_F(JsonTest, ProbeRpcbindAgreesWithTheTextAnswer) {
  Port111Lock lock;
  // When this process may take port 111, "running" is seen too; otherwise
  // both runs see whatever the host has.
  const int listener = bindPort111();
  if (listener >= 0) {
    ASSERT_EQ(listen(listener, 4), 0);
  }
  for (bool held : {true, false}) {
    if (!held && listener >= 0) close(listener);
    const RunResult text = osutil({"probe", "rpcbind"});
    const RunResult run = osutil({"probe", "rpcbind", "--json"});
    const json object = parseObject(run);
    EXPECT_EQ(keysOf(object), std::vector<std::string>{"running"});
    const bool running = object.value("running", false);
    EXPECT_EQ(running, text.out == "running\n") << "held " << held;
    EXPECT_EQ(run.status, text.status) << "held " << held;
  }
}

}  // namespace
