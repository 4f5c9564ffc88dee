// POSIX desktop services for the browser sign-in: the kernel's random source, and the
// user's browser through xdg-open.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/random.h>
#endif

#include "platform/platform.h"

namespace platform {

namespace {

bool read_device_random(unsigned char* out, std::size_t length) {
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  bool ok = fstat(fd, &info) == 0 && S_ISCHR(info.st_mode);
  std::size_t done = 0;
  while (ok && done < length) {
    ssize_t got = read(fd, out + done, length - done);
    if (got > 0) {
      done += static_cast<std::size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      ok = false;
    }
  }
  close(fd);
  return ok;
}

bool has_value(const char* name) {
  std::string value;
  return get_env(name, &value) && !value.empty();
}

// The first executable xdg-open on PATH; empty when there is none.
std::string find_xdg_open() {
  std::string path;
  if (!get_env("PATH", &path)) return std::string();
  std::size_t start = 0;
  for (;;) {
    std::size_t end = path.find(':', start);
    std::string dir =
        path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    // An empty entry is the current directory, which is not searched here: a program
    // named xdg-open there is nothing the user chose.
    if (!dir.empty() && dir[0] == '/') {
      std::string candidate = dir + "/xdg-open";
      if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    if (end == std::string::npos) return std::string();
    start = end + 1;
  }
}

// The grandchild's side, between fork and exec: only calls that are safe there.
[[noreturn]] void become_opener(int null_fd, const char* path, char* const* argv) {
  if (dup2(null_fd, STDIN_FILENO) < 0 || dup2(null_fd, STDOUT_FILENO) < 0 ||
      dup2(null_fd, STDERR_FILENO) < 0) {
    _exit(127);
  }
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(SIGPIPE, &fallback, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execv(path, argv);
  _exit(127);
}

}  // namespace

bool random_bytes(void* buffer, std::size_t length) {
  unsigned char* out = static_cast<unsigned char*>(buffer);
  std::size_t done = 0;
#if defined(__linux__)
  while (done < length) {
    ssize_t got = getrandom(out + done, length - done, 0);
    if (got > 0) {
      done += static_cast<std::size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else if (got < 0 && errno == ENOSYS) {
      break;  // a kernel older than 3.17: the device below
    } else {
      return false;
    }
  }
#endif
  return done == length || read_device_random(out + done, length - done);
}

bool open_browser(const std::string& url) {
  // Without a display xdg-open would start a text browser on this very console, which
  // the sign-in is still printing to: the URL printed there is the way then.
  if (!has_value("DISPLAY") && !has_value("WAYLAND_DISPLAY")) return false;
  const std::string path = find_xdg_open();
  if (path.empty()) return false;
  int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) return false;
  // Everything the grandchild needs is made before the fork.
  std::string name = "xdg-open";
  std::string argument = url;
  char* argv[] = {&name[0], &argument[0], nullptr};

  // The opener runs in a grandchild of its own session, so it outlives nothing of this
  // process's and is never waited for: the child in between ends at once and is reaped.
  pid_t child = fork();
  if (child == 0) {
    setsid();
    pid_t grandchild = fork();
    if (grandchild == 0) become_opener(null_fd, path.c_str(), argv);
    _exit(grandchild < 0 ? 1 : 0);
  }
  close(null_fd);
  if (child < 0) return false;
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace platform
