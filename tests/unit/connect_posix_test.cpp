// connect_any on loopback: the stagger past an address that does not answer, at once past
// one that refuses, and one time limit for all attempts. An address that does not answer
// is a listener whose accept queue is full: the system drops further connection requests
// without a reply, as a dead route would. 127.0.0.2 and 127.0.0.3 are loopback addresses
// too, so every test keeps to this machine.
#include "platform/platform.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace {

platform::NetAddress at(const char* text) {
  platform::NetAddress address;
  EXPECT_TRUE(platform::parse_address(text, &address)) << text;
  return address;
}

// A listening socket on ip:port (port 0: the system chooses); -1 on failure.
int listen_on(const char* ip, uint16_t* port, int backlog) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(*port);
  inet_pton(AF_INET, ip, &where.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || listen(fd, backlog) != 0) {
    close(fd);
    return -1;
  }
  socklen_t length = sizeof where;
  getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length);
  *port = ntohs(where.sin_port);
  return fd;
}

// A listener that answers no connection request: its queue is filled and never accepted.
struct SilentListener {
  int fd = -1;
  std::vector<int> fillers;
  SilentListener(const char* ip, uint16_t* port) {
    fd = listen_on(ip, port, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(*port);
    inet_pton(AF_INET, ip, &where.sin_addr);
    for (int i = 0; i < 3; ++i) {
      int filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      connect(filler, reinterpret_cast<sockaddr*>(&where), sizeof where);
      fillers.push_back(filler);
    }
    usleep(100 * 1000);
  }
  ~SilentListener() {
    for (int filler : fillers) close(filler);
    if (fd >= 0) close(fd);
  }
};

TEST(ConnectAny, NextAddressStartsAfterTheStaggerAndTheFirstToConnectWins) {
  uint16_t port = 0;
  SilentListener silent("127.0.0.2", &port);
  ASSERT_GE(silent.fd, 0);
  int good = listen_on("127.0.0.1", &port, 4);
  ASSERT_GE(good, 0);
  platform::Socket socket = platform::kInvalidSocket;
  std::size_t winner = 99;
  uint32_t start = platform::tick_count();
  ASSERT_EQ(platform::connect_any({at("127.0.0.2"), at("127.0.0.1")}, port, 250, 20000, &socket,
                                  &winner),
            platform::ConnectStatus::kConnected);
  uint32_t elapsed = platform::tick_count() - start;
  EXPECT_EQ(winner, 1u);
  EXPECT_GE(elapsed, 240u) << "the first address had its 250 ms";
  EXPECT_LT(elapsed, 1500u) << "the second address was not started at the stagger";
  int accepted = accept(good, nullptr, nullptr);
  EXPECT_GE(accepted, 0);
  EXPECT_EQ(platform::send_some(socket, "x", 1, 1000), 1u);
  char byte = 0;
  EXPECT_EQ(recv(accepted, &byte, 1, 0), 1);
  EXPECT_EQ(byte, 'x');
  close(accepted);
  platform::close_socket(socket);
  close(good);
}

TEST(ConnectAny, RefusedAddressIsPassedAtOnce) {
  uint16_t port = 0;
  int good = listen_on("127.0.0.1", &port, 4);
  ASSERT_GE(good, 0);
  platform::Socket socket = platform::kInvalidSocket;
  std::size_t winner = 99;
  uint32_t start = platform::tick_count();
  ASSERT_EQ(platform::connect_any({at("127.0.0.3"), at("127.0.0.3"), at("127.0.0.1")}, port, 250,
                                  20000, &socket, &winner),
            platform::ConnectStatus::kConnected);
  EXPECT_EQ(winner, 2u);
  EXPECT_LT(platform::tick_count() - start, 200u);
  platform::close_socket(socket);
  close(good);
}

TEST(ConnectAny, OneTimeLimitForAllAttempts) {
  uint16_t port = 0;
  SilentListener first("127.0.0.2", &port);
  SilentListener second("127.0.0.3", &port);
  ASSERT_GE(first.fd, 0);
  ASSERT_GE(second.fd, 0);
  platform::Socket socket = platform::kInvalidSocket;
  std::size_t winner = 99;
  uint32_t start = platform::tick_count();
  EXPECT_EQ(platform::connect_any({at("127.0.0.2"), at("127.0.0.3")}, port, 250, 700, &socket,
                                  &winner),
            platform::ConnectStatus::kFailed);
  uint32_t elapsed = platform::tick_count() - start;
  EXPECT_GE(elapsed, 690u);
  EXPECT_LT(elapsed, 1500u);
  EXPECT_EQ(socket, platform::kInvalidSocket);
  EXPECT_EQ(winner, 99u);
}

TEST(ConnectAny, NothingToConnectToFails) {
  uint16_t port = 0;
  int probe = listen_on("127.0.0.1", &port, 1);
  ASSERT_GE(probe, 0);
  close(probe);  // the port is free now: connecting is refused
  platform::Socket socket = platform::kInvalidSocket;
  std::size_t winner = 99;
  uint32_t start = platform::tick_count();
  EXPECT_EQ(platform::connect_any({at("127.0.0.1"), at("127.0.0.3")}, port, 250, 20000, &socket,
                                  &winner),
            platform::ConnectStatus::kFailed);
  EXPECT_LT(platform::tick_count() - start, 1000u);
  EXPECT_EQ(platform::connect_any({}, port, 250, 20000, &socket, &winner),
            platform::ConnectStatus::kFailed);
  EXPECT_EQ(socket, platform::kInvalidSocket);
}

}  // namespace
