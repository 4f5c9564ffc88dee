// The loopback listener for the browser's redirect: 127.0.0.1 and ::1 on one port, two
// sockets (a dual-stack socket would listen on every interface). IPv6 needs Windows
// Sockets 2, which the listener starts for itself for as long as it lives.
#include "platform/windows_api.h"

#include <cstring>

#include "platform/platform.h"

namespace platform {

struct LoopbackListener {
  SOCKET v4 = INVALID_SOCKET;
  SOCKET v6 = INVALID_SOCKET;  // INVALID_SOCKET where the machine has no IPv6 loopback
};

namespace {

// Attempts at a port free on both addresses: the system picks one for 127.0.0.1, and
// another program may hold it on ::1.
constexpr int kPortAttempts = 8;

void close_if_open(SOCKET* socket) {
  if (*socket != INVALID_SOCKET) closesocket(*socket);
  *socket = INVALID_SOCKET;
}

// A listening socket bound to the address; INVALID_SOCKET on failure, *error the reason.
SOCKET listen_on(const sockaddr* address, int length, int* error) {
  SOCKET listener = socket(address->sa_family, SOCK_STREAM, IPPROTO_TCP);
  if (listener == INVALID_SOCKET) {
    *error = WSAGetLastError();
    return INVALID_SOCKET;
  }
  // Not handed to helper commands the program starts.
  SetHandleInformation(reinterpret_cast<HANDLE>(listener), HANDLE_FLAG_INHERIT, 0);
  // No other program may bind the same port to take the redirect (with the address-reuse
  // option, Windows would let it).
  BOOL on = TRUE;
  setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
             sizeof on);
  if (address->sa_family == AF_INET6) {
    DWORD v6_only = 1;
    setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&v6_only),
               sizeof v6_only);
  }
  u_long non_blocking = 1;
  if (bind(listener, address, length) != 0 || listen(listener, SOMAXCONN) != 0 ||
      ioctlsocket(listener, FIONBIO, &non_blocking) != 0) {
    *error = WSAGetLastError();
    closesocket(listener);
    return INVALID_SOCKET;
  }
  return listener;
}

// Both sockets on one port; false when 127.0.0.1 cannot be had, or ::1 exists but its port
// is taken (*retry: worth another port).
bool listen_pair(LoopbackListener* listener, uint16_t* port, bool* retry) {
  *retry = false;
  sockaddr_in v4;
  std::memset(&v4, 0, sizeof v4);
  v4.sin_family = AF_INET;
  v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int error = 0;
  listener->v4 = listen_on(reinterpret_cast<const sockaddr*>(&v4), sizeof v4, &error);
  if (listener->v4 == INVALID_SOCKET) return false;
  int length = sizeof v4;
  if (getsockname(listener->v4, reinterpret_cast<sockaddr*>(&v4), &length) != 0) {
    close_if_open(&listener->v4);
    return false;
  }
  *port = ntohs(v4.sin_port);

  sockaddr_in6 v6;
  std::memset(&v6, 0, sizeof v6);
  v6.sin6_family = AF_INET6;
  v6.sin6_addr = in6addr_loopback;
  v6.sin6_port = v4.sin_port;
  listener->v6 = listen_on(reinterpret_cast<const sockaddr*>(&v6), sizeof v6, &error);
  if (listener->v6 != INVALID_SOCKET) return true;
  // No IPv6 on the machine, or no ::1 on it: 127.0.0.1 alone.
  if (error == WSAEAFNOSUPPORT || error == WSAEPROTONOSUPPORT || error == WSAEADDRNOTAVAIL ||
      error == WSAEPFNOSUPPORT || error == WSAESOCKTNOSUPPORT) {
    return true;
  }
  close_if_open(&listener->v4);
  *retry = error == WSAEADDRINUSE || error == WSAEACCES;
  return false;
}

}  // namespace

LoopbackListener* listen_loopback(uint16_t* port) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return nullptr;
  LoopbackListener* listener = new LoopbackListener;
  for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
    bool retry = false;
    if (listen_pair(listener, port, &retry)) return listener;
    if (!retry) break;
  }
  delete listener;
  WSACleanup();
  return nullptr;
}

Socket accept_loopback(LoopbackListener* listener, int timeout_ms) {
  uint32_t start = tick_count();
  for (;;) {
    uint32_t spent = tick_count() - start;
    if (timeout_ms >= 0 && spent >= static_cast<uint32_t>(timeout_ms)) return kInvalidSocket;
    int wait = timeout_ms < 0 ? -1 : timeout_ms - static_cast<int>(spent);
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(listener->v4, &ready);
    if (listener->v6 != INVALID_SOCKET) FD_SET(listener->v6, &ready);
    timeval limit{};
    limit.tv_sec = wait / 1000;
    limit.tv_usec = (wait % 1000) * 1000;
    int count = select(0, &ready, nullptr, nullptr, wait < 0 ? nullptr : &limit);
    if (count == SOCKET_ERROR) return kInvalidSocket;
    if (count == 0) continue;  // the time is judged above
    for (SOCKET candidate : {listener->v4, listener->v6}) {
      if (candidate == INVALID_SOCKET || !FD_ISSET(candidate, &ready)) continue;
      SOCKET accepted = accept(candidate, nullptr, nullptr);
      // A client that gave up between the wait and the accept: wait on.
      if (accepted == INVALID_SOCKET) continue;
      SetHandleInformation(reinterpret_cast<HANDLE>(accepted), HANDLE_FLAG_INHERIT, 0);
      // Every wait on it is bounded with select() by the socket functions.
      u_long non_blocking = 1;
      ioctlsocket(accepted, FIONBIO, &non_blocking);
      return static_cast<Socket>(accepted);
    }
  }
}

void close_listener(LoopbackListener* listener) {
  if (listener == nullptr) return;
  close_if_open(&listener->v4);
  close_if_open(&listener->v6);
  delete listener;
  WSACleanup();
}

}  // namespace platform
