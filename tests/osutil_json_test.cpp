// osutil's --json output, read back with a real JSON parser and held against
// the same command's text lines.
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <string>

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

using JsonTest = OsutilTest;

TEST_F(JsonTest, ObjectsCarryTheFieldsOfTheTextLines) {
  writeFile(path("sized"), std::string(70000, 'x'));
  ASSERT_EQ(osutil({"registry", "set", "MediaManager", "subclient7", dir_}).status, 0);
  for (const Strings& command : {Strings{"fs", "size", path("sized")}, Strings{"fs", "df", dir_},
                                 Strings{"probe", "disklib", "7"}}) {
    SCOPED_TRACE(::testing::PrintToString(command));
    const std::map<std::string, std::string> text = fields(osutil(command).out);
    Strings withJson = command;
    withJson.push_back("--json");
    const RunResult run = osutil(withJson);
    ASSERT_EQ(run.status, 0) << run.err;
    json object = parseObject(run);
    if (command[0] == "probe") {
      EXPECT_EQ(object.value("subclient", 0), 7);
      object.erase("subclient");
    }
    EXPECT_EQ(object.size(), text.size()) << run.out;
    for (const auto& [key, value] : text) {
      EXPECT_TRUE(object.contains(key)) << key;
      // Free space moves while other programs write; the rest stays put.
      const uint64_t tolerance = key == "free" ? uint64_t{256} << 20 : 0;
      const uint64_t got = object.value(key, uint64_t{0}), want = std::stoull(value);
      EXPECT_LE(got > want ? got - want : want - got, tolerance) << key;
    }
  }

  // A failure prints no JSON at all: the message goes to stderr only.
  for (const Strings& command : {Strings{"fs", "size", "--json", path("missing")},
                                 Strings{"fs", "df", "--json", path("missing")},
                                 Strings{"probe", "disklib", "--json", "8"}}) {
    const RunResult run = osutil(command);
    EXPECT_EQ(run.status, 1) << ::testing::PrintToString(command);
    EXPECT_EQ(run.out, "") << ::testing::PrintToString(command);
    EXPECT_NE(run.err, "") << ::testing::PrintToString(command);
  }
}

TEST_F(JsonTest, ProbeRpcbindAgreesWithTheTextAnswer) {
  Port111Lock lock;
  // Held when this process may take port 111, so that the answer is
  // "running"; otherwise it is whatever the host has.
  const int listener = bindPort111();
  const bool held = listener >= 0 && listen(listener, 4) == 0;
  const RunResult text = osutil({"probe", "rpcbind"});
  const RunResult run = osutil({"probe", "rpcbind", "--json"});
  if (listener >= 0) close(listener);
  const json object = parseObject(run);
  EXPECT_EQ(object.size(), 1u) << run.out;
  EXPECT_EQ(object.value("running", false), text.out == "running\n") << run.out;
  EXPECT_EQ(run.status, text.status);
  if (held) {
    EXPECT_EQ(run.status, 0) << "a held port is a running port mapper";
  }
}

}  // namespace
