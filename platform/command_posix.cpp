// Helper commands on POSIX systems: /bin/sh -c TEXT in a child process made with fork and
// execv, its standard input /dev/null, its standard output a pipe read with poll against
// the time limit, its standard error this process's own.
//
// The command leads a process group of its own, and the whole group is killed once the
// command is done, at the time limit, and when this process ends early: nothing it
// started outlives the run holding the caller's standard error open. While this process
// has the terminal in the foreground, the command's group gets it for the command's time,
// so that a helper may still ask on the terminal; an interruption typed there then reaches
// the command, and a command it ends passes it on to this process.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <termios.h>

#include <atomic>
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

// The process group of the command now running (its own pid), 0 when none; and the
// terminal it was given, -1 when none. Each is taken by an exchange, so that the end of
// the run and an early end of the process (on another thread, or in a signal handler)
// never both act on it.
std::atomic<pid_t> g_running_group{0};
std::atomic<int> g_given_terminal{-1};

// The signals held back while the group is made and recorded, so that an interruption
// never finds a command running that it cannot end; SIGTTOU too, as a process that moves
// the terminal's foreground away from its own group would get it.
void fill_held_signals(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGINT);
  sigaddset(set, SIGTERM);
  sigaddset(set, SIGHUP);
  sigaddset(set, SIGTTOU);
}

// The controlling terminal, open, when this process's group has it in the foreground;
// -1 otherwise (no terminal, a background job).
int foreground_terminal() {
  int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  if (tcgetpgrp(fd) != getpgrp()) {
    close(fd);
    return -1;
  }
  return fd;
}

// Gives the terminal back to this process's group (SIGTTOU held meanwhile) and closes it.
void take_terminal_back() {
  int fd = g_given_terminal.exchange(-1);
  if (fd < 0) return;
  sigset_t hold;
  sigset_t previous;
  sigemptyset(&hold);
  sigaddset(&hold, SIGTTOU);
  pthread_sigmask(SIG_BLOCK, &hold, &previous);
  tcsetpgrp(fd, getpgrp());
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  close(fd);
}

// The child's side, between fork and exec: only calls that are safe there.
[[noreturn]] void become_command(int null_fd, int out_fd, int terminal, char* const* argv) {
  setpgid(0, 0);
  // SIGTTOU is still held here, as the parent held it across the fork.
  if (terminal >= 0) tcsetpgrp(terminal, getpid());
  if (!move_fd(null_fd, STDIN_FILENO) || !move_fd(out_fd, STDOUT_FILENO)) _exit(127);
  // This process ignores SIGPIPE, and an ignored signal stays ignored across exec: the
  // command gets the default back, as it would have from a shell.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(SIGPIPE, &fallback, nullptr);
  // This process's interruption handler must not run here if one is pending (exec resets
  // it, but only at exec); one that is ignored stays so, as a shell would leave it.
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
      sigaction(signal_number, &fallback, nullptr);
    }
  }
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

// True once the child has ended. It is not reaped yet: its pid, which names the group,
// stays taken until end_group has killed what is left of the group.
bool has_ended(pid_t pid) {
  for (;;) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
      return info.si_pid == pid;
    }
    if (errno != EINTR) return false;
  }
}

// Kills the command's whole group (unless an early end already did), gives the terminal
// back, and reaps the command; *status receives its wait status.
void end_group(pid_t pid, int* status) {
  if (g_running_group.exchange(0) == pid) kill(-pid, SIGKILL);
  take_terminal_back();
  while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

void end_helper_command() {
  pid_t group = g_running_group.exchange(0);
  if (group > 0) kill(-group, SIGKILL);
  take_terminal_back();
}

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

  int terminal = foreground_terminal();

  sigset_t held;
  sigset_t previous;
  fill_held_signals(&held);
  pthread_sigmask(SIG_BLOCK, &held, &previous);
  const uint32_t started = tick_count();
  pid_t pid = fork();
  if (pid == 0) become_command(null_fd, out[1], terminal, argv);
  if (pid > 0) {
    // Made here too, so that the group exists whichever side runs first.
    setpgid(pid, pid);
    g_running_group.store(pid);
    if (terminal >= 0) {
      tcsetpgrp(terminal, pid);
      g_given_terminal.store(terminal);
    }
  } else if (terminal >= 0) {
    close(terminal);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
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
      if (!ended) ended = has_ended(pid);
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

  // The output has closed; the command itself gets what is left of the time.
  while (!ended && !line.too_long) {
    ended = has_ended(pid);
    if (ended) break;
    int left = left_ms(started, timeout_ms);
    if (left == 0) break;
    sleep_ms(static_cast<uint32_t>(left < 20 ? left : 20));
  }
  // Whatever the command left running goes with it.
  end_group(pid, &status);
  if (line.too_long) return CommandStatus::kTooLong;
  if (!ended) return CommandStatus::kTimedOut;
  // An interruption typed on the terminal while the command had it was meant for the run.
  if (terminal >= 0 && WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) raise(SIGINT);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return CommandStatus::kFailed;
  *first_line = line.text;
  return CommandStatus::kDone;
}

}  // namespace platform
