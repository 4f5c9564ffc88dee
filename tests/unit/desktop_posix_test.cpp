// POSIX services of the browser sign-in: the listener on both loopback addresses and no
// other, the random source, xdg-open started without waiting and only with a display; and
// the sign-in ending when nobody comes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "config/settings.h"
#include "oauth/browser_flow.h"
#include "oauth/token_file.h"
#include "platform/platform.h"
#include "test_files.h"

namespace {

// Connects to address:port of the family; true when the connection was taken.
bool can_connect(int family, const char* address, uint16_t port) {
  int fd = socket(family, SOCK_STREAM, 0);
  if (fd < 0) return false;
  bool connected;
  if (family == AF_INET) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    inet_pton(AF_INET, address, &target.sin_addr);
    connected = connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0;
  } else {
    sockaddr_in6 target{};
    target.sin6_family = AF_INET6;
    target.sin6_port = htons(port);
    inet_pton(AF_INET6, address, &target.sin6_addr);
    connected = connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0;
  }
  close(fd);
  return connected;
}

// Whether this machine can listen on ::1 at all.
bool has_ipv6_loopback() {
  int fd = socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  bool ok = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

TEST(LoopbackPosix, BothLoopbackAddressesOnOnePortAndNoOther) {
  uint16_t port = 0;
  platform::LoopbackListener* listener = platform::listen_loopback(&port);
  ASSERT_NE(listener, nullptr);
  EXPECT_TRUE(can_connect(AF_INET, "127.0.0.1", port));
  platform::Socket taken = platform::accept_loopback(listener, 2000);
  EXPECT_NE(taken, platform::kInvalidSocket);
  platform::close_socket(taken);
  if (has_ipv6_loopback()) {
    EXPECT_TRUE(can_connect(AF_INET6, "::1", port));
    taken = platform::accept_loopback(listener, 2000);
    EXPECT_NE(taken, platform::kInvalidSocket);
    platform::close_socket(taken);
    // IPv6 only: an IPv4-mapped address does not reach the ::1 socket.
    EXPECT_FALSE(can_connect(AF_INET6, "::ffff:127.0.0.2", port));
  }
  // Bound to 127.0.0.1 itself, not to the whole loopback net or every interface.
  EXPECT_FALSE(can_connect(AF_INET, "127.0.0.2", port));
  platform::close_listener(listener);
  EXPECT_FALSE(can_connect(AF_INET, "127.0.0.1", port));
}

TEST(LoopbackPosix, AcceptWaitsNoLongerThanAsked) {
  uint16_t port = 0;
  platform::LoopbackListener* listener = platform::listen_loopback(&port);
  ASSERT_NE(listener, nullptr);
  const uint32_t started = platform::tick_count();
  EXPECT_EQ(platform::accept_loopback(listener, 200), platform::kInvalidSocket);
  const uint32_t spent = platform::tick_count() - started;
  EXPECT_GE(spent, 195u);
  EXPECT_LT(spent, 3000u);
  platform::close_listener(listener);
}

TEST(RandomPosix, FillsEveryByte) {
  // 4 KiB of zeros from a working source is as good as impossible; two draws differ.
  std::string a(4096, '\0');
  std::string b(4096, '\0');
  ASSERT_TRUE(platform::random_bytes(&a[0], a.size()));
  ASSERT_TRUE(platform::random_bytes(&b[0], b.size()));
  EXPECT_NE(a, b);
  EXPECT_NE(a.substr(4064), std::string(32, '\0')) << "the tail was left unfilled";
  EXPECT_TRUE(platform::random_bytes(nullptr, 0));
}

// Sets or clears a variable for one test and puts it back afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value == nullptr) {
      unsetenv(name);
    } else {
      setenv(name, value, 1);
    }
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

class OpenBrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = scratch_path("browser", "");
    ASSERT_EQ(mkdir(dir_.c_str(), 0700), 0);
    record_ = dir_ + "/opened";
    // The stand-in records its arguments one a line, after a pause that a caller that
    // waited for it would show.
    const std::string script = dir_ + "/xdg-open";
    write_file(script, "#!/bin/sh\nsleep 1\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" +
                           record_ + ".part'\necho out; echo err >&2\nmv '" + record_ + ".part' '" +
                           record_ + "'\n");
    ASSERT_EQ(chmod(script.c_str(), 0700), 0);
  }
  void TearDown() override {
    unlink((dir_ + "/xdg-open").c_str());
    unlink(record_.c_str());
    rmdir(dir_.c_str());
  }
  // The recorded arguments, waiting at most 10 s for them.
  std::string recorded() {
    for (int i = 0; i < 100; ++i) {
      std::string text = read_file(record_);
      if (text != "<missing>") return text;
      platform::sleep_ms(100);
    }
    return "<missing>";
  }
  std::string dir_;
  std::string record_;
};

TEST_F(OpenBrowserTest, StartsXdgOpenWithoutWaiting) {
  ScopedEnv path("PATH", ("/nonexistent::" + dir_ + ":/usr/bin:/bin").c_str());
  ScopedEnv display("DISPLAY", ":99");
  ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
  const std::string url = "https://login.example/authorize?a=1&b=x%20y;$(id)'\"";
  const uint32_t started = platform::tick_count();
  EXPECT_TRUE(platform::open_browser(url));
  EXPECT_LT(platform::tick_count() - started, 800u) << "waited for the opener";
  EXPECT_EQ(recorded(), url + "\n") << "one argument, exactly the URL, no shell between";
}

TEST_F(OpenBrowserTest, WaylandAloneIsADisplayToo) {
  ScopedEnv path("PATH", (dir_ + ":/usr/bin:/bin").c_str());
  ScopedEnv display("DISPLAY", nullptr);
  ScopedEnv wayland("WAYLAND_DISPLAY", "wayland-0");
  EXPECT_TRUE(platform::open_browser("https://a.example/"));
  EXPECT_EQ(recorded(), "https://a.example/\n");
}

TEST_F(OpenBrowserTest, NothingStartsWithoutADisplayOrAnOpener) {
  {
    ScopedEnv path("PATH", (dir_ + ":/usr/bin:/bin").c_str());
    ScopedEnv display("DISPLAY", "");
    ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
    EXPECT_FALSE(platform::open_browser("https://a.example/"));
  }
  {
    // The current directory is no place to find the opener in.
    ScopedEnv path("PATH", "/nonexistent:");
    ScopedEnv display("DISPLAY", ":99");
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    const bool opened = platform::open_browser("https://a.example/");
    ASSERT_EQ(chdir(here), 0);
    EXPECT_FALSE(opened);
  }
  platform::sleep_ms(1500);
  EXPECT_EQ(read_file(record_), "<missing>");
}

TEST(BrowserSignIn, NobodyComingEndsTheWaitWithNothingStored) {
  const std::string saved_path = g_settings.settings_path;
  g_settings.settings_path = scratch_path("browser", ".ini");
  const std::string tokens = token_file_path();
  platform::remove_file(tokens);
  OAuthConfig config;
  config.provider = 3;
  config.client_id = "c";
  config.authorize_url = "http://127.0.0.1:9/authorize";
  config.token_url = "http://127.0.0.1:9/token";
  // No display: nothing is opened, the URL is only printed.
  ScopedEnv display("DISPLAY", nullptr);
  ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
  const uint32_t started = platform::tick_count();
  EXPECT_FALSE(sign_in_with_browser_within(config, 400));
  const uint32_t spent = platform::tick_count() - started;
  EXPECT_GE(spent, 390u);
  EXPECT_LT(spent, 5000u);
  EXPECT_EQ(read_file(tokens), "<missing>");
  g_settings.settings_path = saved_path;
}

}  // namespace
