// POSIX implementation of the platform interface: BSD sockets, pthreads, the monotonic
// clock and the machine-id file stand in for their Windows counterparts.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#if defined(__linux__)
#include <sys/sendfile.h>
#endif
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

extern char** environ;

namespace platform {

// ---------------------------------------------------------------- process and time

uint32_t tick_count() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

uint32_t process_id() { return static_cast<uint32_t>(getpid()); }

void sleep_ms(uint32_t ms) {
  timespec wait{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

bool get_env(const char* name, std::string* value) {
  const char* found = std::getenv(name);
  if (found == nullptr) return false;
  *value = found;
  return true;
}

bool get_env_nocase(const char* name, std::string* value) {
  std::size_t name_length = std::strlen(name);
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (strncasecmp(*entry, name, name_length) == 0 && (*entry)[name_length] == '=') {
      *value = *entry + name_length + 1;
      return true;
    }
  }
  return false;
}

bool system_temp_dir(std::string* dir) { return get_env("TMPDIR", dir); }

bool current_dir(std::string* dir) {
  std::string buffer(256, '\0');
  for (;;) {
    if (getcwd(&buffer[0], buffer.size()) != nullptr) {
      buffer.resize(std::strlen(buffer.c_str()));
      *dir = buffer;
      return true;
    }
    if (errno != ERANGE || buffer.size() > (1u << 20)) return false;
    buffer.resize(buffer.size() * 2);
  }
}

bool executable_path(std::string* path) {
  std::string buffer(PATH_MAX, '\0');
  for (;;) {
    ssize_t length = readlink("/proc/self/exe", &buffer[0], buffer.size());
    if (length < 0) return false;
    if (static_cast<std::size_t>(length) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(length));
      *path = buffer;
      return true;
    }
    if (buffer.size() > (1u << 20)) return false;
    buffer.resize(buffer.size() * 2);
  }
}

char path_separator() { return '/'; }

std::string machine_id() {
  for (const char* file : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
    std::ifstream in(file, std::ios::binary);
    if (!in) continue;
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > 249) line.resize(249);
    // The identifier ends at its first zero byte, as a registry text would.
    line.resize(std::strlen(line.c_str()));
    if (!line.empty()) return line;
  }
  return std::string();
}

std::tm local_time(std::time_t t) {
  tzset();
  std::tm result{};
  localtime_r(&t, &result);
  return result;
}

long timezone_seconds_west() {
  tzset();
  return static_cast<long>(timezone);
}

// ---------------------------------------------------------------- files

std::FILE* create_exclusive(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "wb");
  if (file == nullptr) close(fd);
  return file;
}

std::FILE* open_for_reading(const std::string& path) {
  // Opened without blocking, so that a FIFO without a writer or a device does not hold
  // the run; the kind is then told from the opened file itself.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return nullptr;
  }
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  std::FILE* file = fdopen(fd, "rb");
  if (file == nullptr) close(fd);
  return file;
}

int64_t file_size(std::FILE* file) {
  struct stat info {};
  if (fstat(fileno(file), &info) != 0) return -1;
  return static_cast<int64_t>(info.st_size);
}

// ---------------------------------------------------------------- console

bool stdout_is_terminal() { return isatty(STDOUT_FILENO) == 1; }

void console_set_attribute(int attribute) {
  if (!stdout_is_terminal()) return;
  const char* sequence = "\x1b[0m";
  if (attribute == 14) sequence = "\x1b[1;33m";
  if (attribute == 12) sequence = "\x1b[1;31m";
  std::fflush(stdout);
  std::fputs(sequence, stdout);
  std::fflush(stdout);
}

// ---------------------------------------------------------------- sockets

bool net_startup() { return true; }
void net_cleanup() {}

void close_socket(Socket socket) {
  if (socket != kInvalidSocket) close(static_cast<int>(socket));
}

int last_net_error() { return errno; }

bool parse_ipv4(const char* text, uint32_t* address) {
  in_addr_t value = inet_addr(text);
  if (value == INADDR_NONE) return false;
  *address = static_cast<uint32_t>(value);
  return true;
}

using SocketLength = socklen_t;
// POSIX needs nothing started before getaddrinfo.
struct NetUse {
  NetUse() {}  // a constructor of its own, so that an unused one draws no warning
};

}  // namespace platform

#include "platform/socket_address.inc"

namespace platform {

bool local_host_name(std::string* name) {
  char buffer[256];
  if (gethostname(buffer, sizeof buffer) != 0) return false;
  buffer[sizeof buffer - 1] = '\0';
  *name = buffer;
  return true;
}

namespace {

// Waits until the socket is ready for the given events; false on time-out or error.
bool wait_ready(int fd, short events, int timeout_ms) {
  pollfd entry{fd, events, 0};
  for (;;) {
    int ready = poll(&entry, 1, timeout_ms);
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return false;
  }
}

enum class Begun { kConnected, kPending, kFailed, kNoSocket };

// Starts a non-blocking connect to address:port; *fd is the socket unless kFailed or
// kNoSocket.
Begun begin_connect(const NetAddress& address, uint16_t port, int* fd) {
  sockaddr_storage target;
  socklen_t length = to_sockaddr(address, port, &target);
  if (length == 0) return Begun::kFailed;
  int made = socket(target.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (made < 0) return Begun::kNoSocket;
  // Output is gathered and goes out in whole pieces before every reply is awaited; held
  // back by Nagle's rule, the small last piece of a message after a large one would wait
  // for the server's delayed acknowledgement (tens of milliseconds) for nothing.
  int on = 1;
  setsockopt(made, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (target.ss_family == AF_INET6) {
    int off = 0;  // an IPv4-mapped literal is reached through IPv4
    setsockopt(made, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  }
  int result = connect(made, reinterpret_cast<const sockaddr*>(&target), length);
  if (result == 0 || errno == EINPROGRESS || errno == EINTR) {
    *fd = made;
    return result == 0 ? Begun::kConnected : Begun::kPending;
  }
  close(made);
  return Begun::kFailed;
}

}  // namespace

ConnectStatus connect_any(const std::vector<NetAddress>& addresses, uint16_t port,
                          int stagger_ms, int timeout_ms, Socket* socket, std::size_t* winner) {
  struct Attempt {
    int fd;
    std::size_t index;
  };
  std::vector<Attempt> pending;
  std::vector<pollfd> watched;
  bool made_any = false;
  int connected = -1;
  std::size_t next = 0;
  const uint32_t start = tick_count();
  const uint32_t limit = timeout_ms > 0 ? static_cast<uint32_t>(timeout_ms) : 0;
  const uint32_t stagger = stagger_ms > 0 ? static_cast<uint32_t>(stagger_ms) : 0;
  uint32_t next_start = 0;  // ms after start at which the next attempt is due
  for (;;) {
    const uint32_t elapsed = tick_count() - start;
    if (elapsed >= limit) break;
    if (next < addresses.size() && (pending.empty() || elapsed >= next_start)) {
      const std::size_t index = next++;
      int fd = -1;
      Begun begun = begin_connect(addresses[index], port, &fd);
      made_any = made_any || begun != Begun::kNoSocket;
      if (begun == Begun::kConnected) {
        connected = fd;
        *winner = index;
        break;
      }
      if (begun == Begun::kPending) {
        pending.push_back({fd, index});
        next_start = elapsed + stagger;
      }
      continue;  // a failure makes the next attempt due at once
    }
    if (pending.empty()) break;
    uint32_t wait = limit - elapsed;
    if (next < addresses.size() && next_start - elapsed < wait) wait = next_start - elapsed;
    watched.clear();
    for (const Attempt& attempt : pending) watched.push_back({attempt.fd, POLLOUT, 0});
    int ready = poll(watched.data(), watched.size(), static_cast<int>(wait));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    for (std::size_t i = watched.size(); i-- > 0;) {
      if (watched[i].revents == 0) continue;
      int error = 0;
      socklen_t length = sizeof error;
      bool good = (watched[i].revents & POLLOUT) != 0 &&
                  getsockopt(pending[i].fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
                  error == 0;
      if (good && connected < 0) {
        connected = pending[i].fd;
        *winner = pending[i].index;
      } else {
        close(pending[i].fd);
        next_start = elapsed;
      }
      pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if (connected >= 0) break;
  }
  for (const Attempt& attempt : pending) close(attempt.fd);
  if (connected < 0) {
    bool no_socket = !made_any && !addresses.empty() && next == addresses.size();
    return no_socket ? ConnectStatus::kNoSocket : ConnectStatus::kFailed;
  }
  // The connection is used blocking; every wait on it is a bounded poll.
  fcntl(connected, F_SETFL, fcntl(connected, F_GETFL, 0) & ~O_NONBLOCK);
  *socket = static_cast<Socket>(connected);
  return ConnectStatus::kConnected;
}

std::size_t send_some(Socket socket, const char* data, std::size_t length, int timeout_ms) {
  int fd = static_cast<int>(socket);
  for (;;) {
    if (!wait_ready(fd, POLLOUT, timeout_ms)) return 0;
    ssize_t sent = send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) return static_cast<std::size_t>(sent);
    if (sent < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    return 0;
  }
}

namespace {

// Copies from the file to the socket through a buffer: the portable way.
SendFileStatus send_file_by_reads(Socket socket, std::FILE* file, int timeout_ms) {
  constexpr std::size_t kBlock = 256 * 1024;
  std::unique_ptr<char[]> block(new char[kBlock]);
  std::size_t count;
  while ((count = std::fread(block.get(), 1, kBlock, file)) > 0) {
    for (std::size_t done = 0; done < count;) {
      std::size_t sent = send_some(socket, block.get() + done, count - done, timeout_ms);
      if (sent == 0) return SendFileStatus::kSendFailed;
      done += sent;
    }
  }
  return std::ferror(file) ? SendFileStatus::kReadFailed : SendFileStatus::kDone;
}

}  // namespace

SendFileStatus send_file(Socket socket, std::FILE* file, int timeout_ms) {
#if defined(__linux__)
  const int fd = static_cast<int>(socket);
  const int file_fd = fileno(file);
  struct stat info {};
  off_t offset = ftello(file);
  if (fstat(file_fd, &info) != 0 || !S_ISREG(info.st_mode) || offset < 0) {
    return send_file_by_reads(socket, file, timeout_ms);
  }
  // sendfile has no MSG_NOSIGNAL: a peer that closed must end in a failed send, not in
  // SIGPIPE, so the signal is held for this thread and a pending one dropped afterwards.
  sigset_t pipe_only, previous;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only, &previous);
  // Non-blocking for the copy, so that every wait goes through the bounded poll.
  const int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  SendFileStatus status = SendFileStatus::kDone;
  bool pipe_raised = false;
  while (offset < info.st_size) {
    if (!wait_ready(fd, POLLOUT, timeout_ms)) {
      status = SendFileStatus::kSendFailed;
      break;
    }
    const off_t left = info.st_size - offset;
    const std::size_t ask = left > (1 << 30) ? std::size_t{1} << 30 : static_cast<std::size_t>(left);
    ssize_t sent = sendfile(fd, file_fd, &offset, ask);
    if (sent > 0) continue;
    if (sent < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (sent == 0) {
      status = SendFileStatus::kReadFailed;  // the file ended early (cut while being sent)
    } else {
      pipe_raised = errno == EPIPE;
      status = errno == EIO ? SendFileStatus::kReadFailed : SendFileStatus::kSendFailed;
    }
    break;
  }
  fcntl(fd, F_SETFL, flags);
  if (pipe_raised) {
    timespec none{0, 0};
    sigtimedwait(&pipe_only, nullptr, &none);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  fseeko(file, offset, SEEK_SET);
  return status;
#else
  return send_file_by_reads(socket, file, timeout_ms);
#endif
}

RecvStatus recv_some(Socket socket, char* buffer, std::size_t capacity, int timeout_ms,
                     std::size_t* received) {
  int fd = static_cast<int>(socket);
  for (;;) {
    if (!wait_ready(fd, POLLIN, timeout_ms)) return RecvStatus::kTimeout;
    ssize_t count = recv(fd, buffer, capacity, MSG_DONTWAIT);
    if (count > 0) {
      *received = static_cast<std::size_t>(count);
      return RecvStatus::kData;
    }
    if (count == 0) return RecvStatus::kClosed;
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
    return RecvStatus::kError;
  }
}

// ---------------------------------------------------------------- threads

struct Thread {
  pthread_t handle{};
  ThreadMain entry = nullptr;
  void* argument = nullptr;
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t ended_signal = PTHREAD_COND_INITIALIZER;
  bool ended = false;
  bool abandoned = false;
};

namespace {

void* thread_trampoline(void* raw) {
  Thread* thread = static_cast<Thread*>(raw);
  thread->entry(thread->argument);
  pthread_mutex_lock(&thread->lock);
  thread->ended = true;
  pthread_cond_broadcast(&thread->ended_signal);
  pthread_mutex_unlock(&thread->lock);
  return nullptr;
}

}  // namespace

Thread* start_thread(ThreadMain entry, void* argument) {
  Thread* thread = new Thread;
  thread->entry = entry;
  thread->argument = argument;
  if (pthread_create(&thread->handle, nullptr, thread_trampoline, thread) != 0) {
    delete thread;
    return nullptr;
  }
  return thread;
}

bool wait_thread(Thread* thread, uint32_t timeout_ms) {
  timespec deadline{};
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += static_cast<time_t>(timeout_ms / 1000);
  deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  pthread_mutex_lock(&thread->lock);
  while (!thread->ended) {
    if (pthread_cond_timedwait(&thread->ended_signal, &thread->lock, &deadline) == ETIMEDOUT) break;
  }
  bool ended = thread->ended;
  pthread_mutex_unlock(&thread->lock);
  if (ended) pthread_join(thread->handle, nullptr);
  return ended;
}

void terminate_thread(Thread* thread, int) {
  // A pthread cannot be stopped safely from outside; it is detached and left to end
  // with the process, which ends right after a time-out.
  pthread_detach(thread->handle);
  thread->abandoned = true;
}

void close_thread(Thread* thread) {
  if (!thread->abandoned) delete thread;
}

}  // namespace platform
