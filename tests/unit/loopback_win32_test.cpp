// The redirect listener: both loopback addresses on one port, bounded waits, and accepted
// connections that work with the socket functions.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Whether this machine has an IPv6 loopback to bind to.
bool have_ipv6_loopback() {
  SOCKET probe = socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
  if (probe == INVALID_SOCKET) return false;
  sockaddr_in6 address;
  std::memset(&address, 0, sizeof address);
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  bool bound = bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  closesocket(probe);
  return bound;
}

// A blocking client connection to the address family's loopback; INVALID_SOCKET on failure.
SOCKET connect_to(int family, uint16_t port) {
  SOCKET client = socket(family, SOCK_STREAM, IPPROTO_TCP);
  if (client == INVALID_SOCKET) return INVALID_SOCKET;
  sockaddr_storage address;
  std::memset(&address, 0, sizeof address);
  int length = 0;
  if (family == AF_INET) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof *v4;
  } else {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    v6->sin6_addr = in6addr_loopback;
    length = sizeof *v6;
  }
  if (connect(client, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    closesocket(client);
    return INVALID_SOCKET;
  }
  return client;
}

// A request goes in through the client and the answer comes back through the accepted
// socket's platform functions.
void exchange(platform::LoopbackListener* listener, int family, uint16_t port) {
  SOCKET client = connect_to(family, port);
  ASSERT_NE(client, INVALID_SOCKET) << "family " << family;
  platform::Socket accepted = platform::accept_loopback(listener, 5000);
  ASSERT_NE(accepted, platform::kInvalidSocket) << "family " << family;
  ASSERT_EQ(send(client, "GET /", 5, 0), 5);
  char buffer[16];
  std::size_t received = 0;
  ASSERT_EQ(platform::recv_some(accepted, buffer, sizeof buffer, 5000, &received),
            platform::RecvStatus::kData);
  EXPECT_EQ(std::string(buffer, received), "GET /");
  EXPECT_EQ(platform::send_some(accepted, "200", 3, 5000), 3u);
  EXPECT_EQ(recv(client, buffer, sizeof buffer, 0), 3);
  platform::close_socket(accepted);
  closesocket(client);
}

TEST(LoopbackListener, AcceptsOnBothLoopbackAddressesOfOnePort) {
  // The test's own client sockets need the library beyond the listener's life.
  ASSERT_TRUE(platform::net_startup());
  uint16_t port = 0;
  platform::LoopbackListener* listener = platform::listen_loopback(&port);
  ASSERT_NE(listener, nullptr);
  EXPECT_NE(port, 0);
  exchange(listener, AF_INET, port);
  if (have_ipv6_loopback()) {
    exchange(listener, AF_INET6, port);
  } else {
    std::printf("no IPv6 loopback here: ::1 not tried\n");
  }
  // A second listener gets a port of its own.
  uint16_t other = 0;
  platform::LoopbackListener* second = platform::listen_loopback(&other);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(other, port);
  platform::close_listener(second);
  platform::close_listener(listener);
  EXPECT_EQ(connect_to(AF_INET, port), INVALID_SOCKET) << "still listening after the close";
  platform::net_cleanup();
}

TEST(LoopbackListener, WaitEndsAtTheLimitWhenNobodyComes) {
  uint16_t port = 0;
  platform::LoopbackListener* listener = platform::listen_loopback(&port);
  ASSERT_NE(listener, nullptr);
  uint32_t start = platform::tick_count();
  EXPECT_EQ(platform::accept_loopback(listener, 300), platform::kInvalidSocket);
  uint32_t spent = platform::tick_count() - start;
  EXPECT_GE(spent, 250u);
  EXPECT_LT(spent, 3000u);
  platform::close_listener(listener);
}

}  // namespace
