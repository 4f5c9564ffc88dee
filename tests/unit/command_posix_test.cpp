// Helper commands on POSIX: the first line of their output, the ways they fail, and the
// time limit.
#include "platform/platform.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace {

using platform::CommandStatus;

CommandStatus run(const std::string& command, std::string* line, int timeout_ms = 20000,
                  std::size_t limit = 1 << 20) {
  return platform::run_command(command, timeout_ms, limit, line);
}

TEST(CommandPosix, FirstLineWithoutItsLineEnd) {
  struct Case {
    const char* command;
    const char* line;
  };
  const Case cases[] = {
      {"printf 'secret\\r\\nsecond\\r\\n'", "secret"},
      {"printf 'no line end'", "no line end"},
      {"printf 'a\\rb\\n'", "ab"},
      {"printf '\\n'", ""},
      {"true", ""},
      // Blanks, quotes and the shell's own syntax reach /bin/sh as written.
      {"x='two  words'; echo \"$x\"", "two  words"},
  };
  for (const Case& c : cases) {
    std::string line = "stale";
    EXPECT_EQ(run(c.command, &line), CommandStatus::kDone) << c.command;
    EXPECT_EQ(line, c.line) << c.command;
  }
}

TEST(CommandPosix, LongOutputIsNeitherCutNorBlocking) {
  // A 64 KB first line, then 1 MB more that must be read away or the command would block
  // on a full pipe.
  std::string line;
  ASSERT_EQ(run("head -c 65536 /dev/zero | tr '\\0' t; echo; head -c 1048576 /dev/zero", &line),
            CommandStatus::kDone);
  EXPECT_EQ(line, std::string(65536, 't'));
  EXPECT_EQ(run("head -c 2000 /dev/zero | tr '\\0' t", &line, 20000, 1999),
            CommandStatus::kTooLong);
  EXPECT_EQ(line, "");
}

TEST(CommandPosix, FailuresAreTold) {
  std::string line = "stale";
  EXPECT_EQ(run("echo secret; exit 3", &line), CommandStatus::kFailed);
  EXPECT_EQ(line, "") << "a failed command's output is not handed out";
  EXPECT_EQ(run("/nonexistent/helper 2>/dev/null", &line), CommandStatus::kFailed);
  EXPECT_EQ(run("echo secret; kill -9 $$", &line), CommandStatus::kFailed);
}

TEST(CommandPosix, TimeLimitKillsTheCommand) {
  std::string line;
  uint32_t started = platform::tick_count();
  EXPECT_EQ(run("echo early; exec sleep 30", &line, 500), CommandStatus::kTimedOut);
  EXPECT_LT(platform::tick_count() - started, 10000u);
  // A command that closes its output but goes on running is still bounded.
  EXPECT_EQ(run("exec >&-; exec sleep 30", &line, 500), CommandStatus::kTimedOut);
}

TEST(CommandPosix, EndedCommandIsDoneWhileItsChildHoldsTheOutput) {
  // The token is printed and the command ends; something it left behind keeps the pipe
  // open. The run does not wait for that.
  std::string line;
  uint32_t started = platform::tick_count();
  EXPECT_EQ(run("echo token; (sleep 5 &)", &line), CommandStatus::kDone);
  EXPECT_EQ(line, "token");
  EXPECT_LT(platform::tick_count() - started, 4000u);
}

TEST(CommandPosix, StandardInputIsEmpty) {
  // Whatever the test runner has on standard input, the command reads end of input.
  std::string line;
  ASSERT_EQ(run("if read x; then echo \"read[$x]\"; else echo eof; fi", &line),
            CommandStatus::kDone);
  EXPECT_EQ(line, "eof");
}

// A pipe whose write end the command and everything it starts inherit: its read end
// reaches end of file only once none of them is left.
class Witness {
 public:
  Witness() {
    EXPECT_EQ(pipe(fds_), 0);
  }
  ~Witness() {
    close(fds_[0]);
    if (fds_[1] >= 0) close(fds_[1]);
  }
  // True when the read end is at its end within the time (this side's write end closed).
  bool all_gone(int within_ms) {
    close(fds_[1]);
    fds_[1] = -1;
    pollfd ready{fds_[0], POLLIN, 0};
    if (poll(&ready, 1, within_ms) != 1) return false;
    char byte;
    return read(fds_[0], &byte, 1) == 0;
  }

 private:
  int fds_[2] = {-1, -1};
};

TEST(CommandPosix, WhatTheCommandStartedEndsWithIt) {
  struct Case {
    const char* name;
    const char* command;
    int timeout_ms;
    std::size_t limit;
    CommandStatus status;
  };
  const Case cases[] = {
      {"time limit", "sleep 60 & wait", 300, 1 << 20, CommandStatus::kTimedOut},
      {"done, a child left behind", "sleep 60 & echo token", 20000, 1 << 20,
       CommandStatus::kDone},
      {"done, a grandchild left behind", "(sleep 60 &); echo token", 20000, 1 << 20,
       CommandStatus::kDone},
      {"first line too long", "sleep 60 & head -c 3000 /dev/zero | tr '\\0' t; wait", 20000,
       100, CommandStatus::kTooLong},
  };
  for (const Case& c : cases) {
    Witness witness;
    std::string line;
    EXPECT_EQ(run(c.command, &line, c.timeout_ms, c.limit), c.status) << c.name;
    EXPECT_TRUE(witness.all_gone(3000)) << c.name << ": a sleep outlived the command";
  }
}

TEST(CommandPosix, AnEarlyEndOfTheRunEndsTheCommandsGroup) {
  // An error on another thread (or an interruption) ends the process while the command
  // runs: everything the command started goes, and the waiting run returns at once.
  Witness witness;
  CommandStatus status = CommandStatus::kDone;
  std::string line;
  std::thread runner([&] { status = run("sleep 60 & sleep 60; echo late", &line); });
  platform::sleep_ms(300);
  const uint32_t ended = platform::tick_count();
  platform::end_helper_command();
  runner.join();
  EXPECT_LT(platform::tick_count() - ended, 5000u);
  EXPECT_EQ(status, CommandStatus::kFailed);
  EXPECT_TRUE(witness.all_gone(3000));
  // Nothing is running now: a further call does nothing, and the next command runs.
  platform::end_helper_command();
  EXPECT_EQ(run("echo next", &line), CommandStatus::kDone);
  EXPECT_EQ(line, "next");
}

TEST(CommandPosix, BrokenPipeIsTheCommandsDefault) {
  // This process ignores SIGPIPE; the command must not inherit that, or a writer in a
  // pipeline that does not look at its write errors would run on after the reader ended.
  struct sigaction ignore {};
  struct sigaction before {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ASSERT_EQ(sigaction(SIGPIPE, &ignore, &before), 0);
  std::string line;
  EXPECT_EQ(run("(while :; do echo y; done) 2>/dev/null | head -1", &line, 5000),
            CommandStatus::kDone);
  EXPECT_EQ(line, "y");
  sigaction(SIGPIPE, &before, nullptr);
}

}  // namespace
