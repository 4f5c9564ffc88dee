// Helper commands on Windows: the command line as written, the first line of the output,
// the ways a command fails, and the time limit.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using platform::CommandStatus;

CommandStatus run(const std::string& command, std::string* line, int timeout_ms = 30000) {
  return platform::run_command(command, timeout_ms, 1 << 20, line);
}

TEST(CommandWin32, FirstLineWithoutCrLf) {
  std::string line;
  ASSERT_EQ(run("cmd /c \"echo secret& echo second\"", &line), CommandStatus::kDone);
  EXPECT_EQ(line, "secret");
  ASSERT_EQ(run("cmd /c echo two  words", &line), CommandStatus::kDone);
  EXPECT_EQ(line, "two  words");
}

TEST(CommandWin32, FailuresAreTold) {
  std::string line = "stale";
  EXPECT_EQ(run("cmd /c \"echo secret& exit 3\"", &line), CommandStatus::kFailed);
  EXPECT_EQ(line, "");
  EXPECT_EQ(run("C:\\nonexistent\\helper.exe", &line), CommandStatus::kNotStarted);
}

TEST(CommandWin32, TimeLimitEndsTheCommand) {
  std::string line;
  uint32_t started = platform::tick_count();
  EXPECT_EQ(run("cmd /c ping -n 30 127.0.0.1", &line, 1000), CommandStatus::kTimedOut);
  EXPECT_LT(platform::tick_count() - started, 15000u);
}

}  // namespace
