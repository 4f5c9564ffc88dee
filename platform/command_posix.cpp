// Helper commands on POSIX systems: /bin/sh -c TEXT in a child process made with fork and
// execv, its standard input /dev/null, its standard output a pipe read with poll against
// the time limit, its standard error this process's own.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>

#include "platform/command_output.h"
#include "platform/platform.h"

namespace platform {

namespace {

// How often a wait looks whether the command has ended while its output stays open.
constexpr int kPollSliceMs = 100;

// Puts fd on target for the child, open across exec. dup2 onto itself would leave the
// close-on-exec flag set, so that case clears it instead.
bool move_fd(int fd, int target) {
  if (fd == target) return fcntl(target, F_SETFD, 0) == 0;
  return dup2(fd, target) == target;
}

// The child's side, between fork and exec: only calls that are safe there.
[[noreturn]] void become_command(int null_fd, int out_fd, char* const* argv) {
  if (!move_fd(null_fd, STDIN_FILENO) || !move_fd(out_fd, STDOUT_FILENO)) _exit(127);
  // This process ignores SIGPIPE, and an ignored signal stays ignored across exec: the
  // command gets the default back, as it would have from a shell.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(SIGPIPE, &fallback, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execv("/bin/sh", argv);
  _exit(127);
}

// Milliseconds left until the deadline, 0 once it has passed.
int left_ms(uint32_t started, int limit_ms) {
  uint32_t spent = tick_count() - started;
  if (limit_ms <= 0 || spent >= static_cast<uint32_t>(limit_ms)) return 0;
  return limit_ms - static_cast<int>(spent);
}

// True once the child has ended; *status then holds its wait status.
bool has_ended(pid_t pid, int* status) {
  for (;;) {
    pid_t got = waitpid(pid, status, WNOHANG);
    if (got == pid) return true;
    if (got < 0 && errno == EINTR) continue;
    return false;
  }
}

void kill_and_reap(pid_t pid) {
  kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

CommandStatus run_command(const std::string& command, int timeout_ms, std::size_t line_limit,
                          std::string* first_line) {
  first_line->clear();
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return CommandStatus::kNotStarted;
  int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null_fd < 0) {
    close(out[0]);
    close(out[1]);
    return CommandStatus::kNotStarted;
  }
  // Everything the child needs is made before the fork.
  std::string shell_name = "sh";
  std::string option = "-c";
  std::string text = command;
  char* argv[] = {&shell_name[0], &option[0], &text[0], nullptr};

  const uint32_t started = tick_count();
  pid_t pid = fork();
  if (pid == 0) become_command(null_fd, out[1], argv);
  close(out[1]);
  close(null_fd);
  if (pid < 0) {
    close(out[0]);
    return CommandStatus::kNotStarted;
  }

  FirstLine line;
  int status = 0;
  bool ended = false;
  bool output_open = true;
  char buffer[4096];
  while (output_open) {
    int left = left_ms(started, timeout_ms);
    if (left == 0) break;
    pollfd ready{out[0], POLLIN, 0};
    int polled = poll(&ready, 1, left < kPollSliceMs ? left : kPollSliceMs);
    if (polled < 0 && errno != EINTR) break;
    if (polled <= 0) {
      // Nothing to read: a command that has ended while something it started still holds
      // its output open is done all the same.
      if (!ended) ended = has_ended(pid, &status);
      if (ended) output_open = false;
      continue;
    }
    ssize_t count = read(out[0], buffer, sizeof buffer);
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (count <= 0) {
      output_open = false;
      continue;
    }
    line.take(buffer, static_cast<std::size_t>(count), line_limit);
    if (line.too_long) break;
  }
  close(out[0]);

  if (line.too_long) {
    if (!ended) kill_and_reap(pid);
    return CommandStatus::kTooLong;
  }
  // The output has closed; the command itself gets what is left of the time.
  while (!ended) {
    ended = has_ended(pid, &status);
    if (ended) break;
    int left = left_ms(started, timeout_ms);
    if (left == 0) break;
    sleep_ms(static_cast<uint32_t>(left < 20 ? left : 20));
  }
  if (!ended) {
    kill_and_reap(pid);
    return CommandStatus::kTimedOut;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return CommandStatus::kFailed;
  *first_line = line.text;
  return CommandStatus::kDone;
}

}  // namespace platform
