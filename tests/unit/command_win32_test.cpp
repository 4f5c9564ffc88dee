// Helper commands on Windows: the command line as written, the first line of the output,
// the ways a command fails, and the time limit.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/windows_api.h"

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

// A pipe whose write end is inheritable, so that the command and everything it starts
// hold it: its read end breaks only once none of them is left.
class Witness {
 public:
  Witness() {
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    EXPECT_TRUE(CreatePipe(&read_, &write_, &inherit, 0));
    SetHandleInformation(read_, HANDLE_FLAG_INHERIT, 0);
  }
  ~Witness() {
    CloseHandle(read_);
    if (write_ != nullptr) CloseHandle(write_);
  }
  // True when the pipe breaks within the time (this side's write end closed).
  bool all_gone(DWORD within_ms) {
    CloseHandle(write_);
    write_ = nullptr;
    const uint32_t started = platform::tick_count();
    while (platform::tick_count() - started < within_ms) {
      DWORD waiting = 0;
      if (!PeekNamedPipe(read_, nullptr, 0, nullptr, &waiting, nullptr)) return true;
      Sleep(50);
    }
    return false;
  }

 private:
  HANDLE read_ = nullptr;
  HANDLE write_ = nullptr;
};

// A child of the command that runs on for a minute unless it is ended.
const char kLeftBehind[] = "start /b ping -n 60 127.0.0.1 >nul";

TEST(CommandWin32, TheTimeLimitEndsWhatTheCommandStarted) {
  Witness witness;
  std::string line;
  EXPECT_EQ(run(std::string("cmd /c \"") + kLeftBehind + " & ping -n 60 127.0.0.1 >nul\"", &line,
                1500),
            CommandStatus::kTimedOut);
  EXPECT_TRUE(witness.all_gone(5000)) << "a child outlived the command";
}

TEST(CommandWin32, WhatAFinishedCommandLeftRunningGoesWithIt) {
  // "start" need not pass handles on, so the child left behind shows that it still runs
  // by the file it makes two seconds later.
  char directory[MAX_PATH];
  ASSERT_GT(GetTempPathA(MAX_PATH, directory), 0u);
  const std::string marker = std::string(directory) + "vorna_left_behind.txt";
  DeleteFileA(marker.c_str());
  std::string line;
  ASSERT_EQ(run("cmd /c \"start /b cmd /c \"ping -n 3 127.0.0.1 >nul & echo late> " + marker +
                    "\" & echo token\"",
                &line),
            CommandStatus::kDone);
  EXPECT_EQ(line, "token");
  Sleep(4000);
  EXPECT_EQ(GetFileAttributesA(marker.c_str()), INVALID_FILE_ATTRIBUTES)
      << "the child left behind ran on";
  DeleteFileA(marker.c_str());
}

TEST(CommandWin32, AnEarlyEndOfTheRunEndsTheCommandsJob) {
  Witness witness;
  CommandStatus status = CommandStatus::kDone;
  std::string line;
  std::thread runner([&] {
    status = run(std::string("cmd /c \"") + kLeftBehind + " & ping -n 60 127.0.0.1 >nul\"", &line);
  });
  Sleep(1000);
  const uint32_t ended = platform::tick_count();
  platform::end_helper_command();
  runner.join();
  EXPECT_LT(platform::tick_count() - ended, 10000u);
  EXPECT_EQ(status, CommandStatus::kFailed);
  EXPECT_TRUE(witness.all_gone(5000));
}

}  // namespace
