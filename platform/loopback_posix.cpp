// POSIX loopback listener for the browser's redirect: one socket on 127.0.0.1 and one on
// ::1 with the same port, each bound to its loopback address alone. A dual-stack socket
// on [::] would take both families but listen on every interface, so it is never used.
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/platform.h"

namespace platform {

struct LoopbackListener {
  int fds[2] = {-1, -1};
  int count = 0;
};

namespace {

// A port taken on 127.0.0.1 may be in use on ::1; a few new ports are tried then.
constexpr int kPortAttempts = 8;
constexpr int kBacklog = 8;

int new_socket(int family) {
  int fd = socket(family, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  // Non-blocking, so that an accept after poll never waits on a connection that was
  // reset in between.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
  return fd;
}

// Listens on 127.0.0.1 at a port of the system's choice; -1 on failure.
int listen_ipv4(uint16_t* port) {
  int fd = new_socket(AF_INET);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, kBacklog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

enum class Ipv6Result { kListening, kNone, kPortTaken };

// Listens on ::1 at port, IPv6 only. kNone where the machine has no IPv6 loopback (the
// family or the address is missing), or it cannot be used for another reason: a browser
// that tries ::1 first falls back to 127.0.0.1 when refused there.
Ipv6Result listen_ipv6(uint16_t port, int* fd_out) {
  int fd = new_socket(AF_INET6);
  if (fd < 0) return Ipv6Result::kNone;
  int on = 1;
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  address.sin6_port = htons(port);
  if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) {
    close(fd);
    return Ipv6Result::kNone;
  }
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const bool taken = errno == EADDRINUSE;
    close(fd);
    return taken ? Ipv6Result::kPortTaken : Ipv6Result::kNone;
  }
  if (listen(fd, kBacklog) != 0) {
    const bool taken = errno == EADDRINUSE;
    close(fd);
    return taken ? Ipv6Result::kPortTaken : Ipv6Result::kNone;
  }
  *fd_out = fd;
  return Ipv6Result::kListening;
}

}  // namespace

LoopbackListener* listen_loopback(uint16_t* port) {
  for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
    uint16_t chosen = 0;
    int fd4 = listen_ipv4(&chosen);
    if (fd4 < 0) return nullptr;
    int fd6 = -1;
    Ipv6Result ipv6 = listen_ipv6(chosen, &fd6);
    if (ipv6 == Ipv6Result::kPortTaken) {
      close(fd4);
      continue;
    }
    LoopbackListener* listener = new LoopbackListener;
    listener->fds[listener->count++] = fd4;
    if (ipv6 == Ipv6Result::kListening) listener->fds[listener->count++] = fd6;
    *port = chosen;
    return listener;
  }
  return nullptr;
}

Socket accept_loopback(LoopbackListener* listener, int timeout_ms) {
  const uint32_t start = tick_count();
  for (;;) {
    const uint32_t spent = tick_count() - start;
    if (spent >= static_cast<uint32_t>(timeout_ms)) return kInvalidSocket;
    pollfd entries[2];
    for (int i = 0; i < listener->count; ++i) entries[i] = {listener->fds[i], POLLIN, 0};
    int ready = poll(entries, static_cast<nfds_t>(listener->count),
                     static_cast<int>(static_cast<uint32_t>(timeout_ms) - spent));
    if (ready < 0 && errno != EINTR) return kInvalidSocket;
    for (int i = 0; ready > 0 && i < listener->count; ++i) {
      if ((entries[i].revents & POLLIN) == 0) continue;
      int fd = accept(listener->fds[i], nullptr, nullptr);
      if (fd < 0) {
        // Gone again (reset before it was taken): wait on. Anything else (no descriptors
        // left) would come back at once on every poll: give up rather than spin.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EINTR ||
            errno == EPROTO) {
          continue;
        }
        return kInvalidSocket;
      }
      fcntl(fd, F_SETFD, FD_CLOEXEC);
      return static_cast<Socket>(fd);
    }
  }
}

void close_listener(LoopbackListener* listener) {
  if (listener == nullptr) return;
  for (int i = 0; i < listener->count; ++i) close(listener->fds[i]);
  delete listener;
}

}  // namespace platform
