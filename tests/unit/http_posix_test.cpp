// HTTPS form POSTs with libcurl against a one-shot server on 127.0.0.1: what is sent,
// statuses passed through, no redirect followed, and the body cap and the deadline
// holding against a server that sends too much or nothing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/http.h"

namespace {

// Accepts one connection, reads the request (headers and a Content-Length body), sends
// the reply and closes; with a hold it keeps the connection that long before answering.
// Without read_request it answers at once, whatever comes (a TLS client's hello).
class OneShotServer {
 public:
  explicit OneShotServer(std::string reply, int hold_ms = 0, bool read_request = true)
      : reply_(std::move(reply)), hold_ms_(hold_ms), read_request_(read_request) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 1);
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~OneShotServer() {
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
  }
  std::string url(const std::string& path = "/token") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  const std::string& request() const { return request_; }

 private:
  void serve() {
    int client = accept(listener_, nullptr, nullptr);
    if (client < 0) return;
    char buffer[4096];
    std::size_t need = std::string::npos;
    while (read_request_ && (need == std::string::npos || request_.size() < need)) {
      ssize_t got = recv(client, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      request_.append(buffer, static_cast<std::size_t>(got));
      std::size_t end = request_.find("\r\n\r\n");
      if (end != std::string::npos && need == std::string::npos) {
        std::size_t at = request_.find("Content-Length: ");
        std::size_t body = at == std::string::npos ? 0 : std::strtoul(&request_[at + 16], nullptr, 10);
        need = end + 4 + body;
      }
    }
    if (hold_ms_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(hold_ms_));
    std::size_t sent = 0;
    while (sent < reply_.size()) {
      ssize_t put = send(client, reply_.data() + sent, reply_.size() - sent, MSG_NOSIGNAL);
      if (put <= 0) break;
      sent += static_cast<std::size_t>(put);
    }
    close(client);
  }

  std::string reply_;
  int hold_ms_;
  bool read_request_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::string request_;
  std::thread thread_;
};

class HttpPost : public ::testing::Test {
 protected:
  void SetUp() override {
    // A developer's proxy would take even 127.0.0.1.
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
      unsetenv(name);
    }
  }
};

std::string reply_with(const std::string& status, const std::string& body) {
  return "HTTP/1.1 " + status + "\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

TEST_F(HttpPost, SendsTheFormAndReturnsStatusAndBody) {
  OneShotServer server(reply_with("200 OK", R"({"access_token":"t"})"));
  platform::HttpResponse r =
      platform::http_post_form(server.url(), "grant_type=refresh_token&x=a%20b", {});
  ASSERT_EQ(r.status, platform::HttpStatus::kOk) << r.detail;
  EXPECT_EQ(r.http_status, 200);
  EXPECT_EQ(r.body, R"({"access_token":"t"})");
  const std::string& q = server.request();
  EXPECT_EQ(q.rfind("POST /token HTTP/1.1\r\n", 0), 0u) << q;
  EXPECT_NE(q.find("Content-Type: application/x-www-form-urlencoded\r\n"), std::string::npos) << q;
  EXPECT_NE(q.find("Accept: application/json\r\n"), std::string::npos) << q;
  EXPECT_EQ(q.substr(q.find("\r\n\r\n") + 4), "grant_type=refresh_token&x=a%20b");
}

TEST_F(HttpPost, LoopbackIsReachedPastAProxyOfTheEnvironment) {
  setenv("http_proxy", "http://127.0.0.1:9", 1);
  setenv("no_proxy", "example.com", 1);
  OneShotServer server(reply_with("200 OK", "{}"));
  platform::HttpResponse r = platform::http_post_form(server.url(), "a=b", {});
  unsetenv("http_proxy");
  unsetenv("no_proxy");
  ASSERT_EQ(r.status, platform::HttpStatus::kOk) << r.detail;
  EXPECT_EQ(r.http_status, 200);
}

TEST_F(HttpPost, ErrorStatusesAndRedirectsComeBackAsTheyAre) {
  {
    OneShotServer server(reply_with("400 Bad Request", R"({"error":"invalid_grant"})"));
    platform::HttpResponse r = platform::http_post_form(server.url(), "a=b", {});
    ASSERT_EQ(r.status, platform::HttpStatus::kOk);
    EXPECT_EQ(r.http_status, 400);
    EXPECT_EQ(r.body, R"({"error":"invalid_grant"})");
  }
  {
    // A redirect could take the refresh token elsewhere: it is never followed.
    OneShotServer server(
        "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:9/steal\r\nContent-Length: 0\r\n\r\n");
    platform::HttpResponse r = platform::http_post_form(server.url(), "a=b", {});
    ASSERT_EQ(r.status, platform::HttpStatus::kOk);
    EXPECT_EQ(r.http_status, 302);
  }
}

TEST_F(HttpPost, BodyCapHoldsWithAndWithoutContentLength) {
  platform::HttpParams params;
  params.max_body = 1000;
  {
    OneShotServer server(reply_with("200 OK", std::string(5000, 'x')));
    EXPECT_EQ(platform::http_post_form(server.url(), "a=b", params).status,
              platform::HttpStatus::kTooLarge);
  }
  {
    // Without a length the body ends with the connection; only the callback can stop it.
    OneShotServer server("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + std::string(5000, 'x'));
    platform::HttpResponse r = platform::http_post_form(server.url(), "a=b", params);
    EXPECT_EQ(r.status, platform::HttpStatus::kTooLarge) << r.detail;
    EXPECT_TRUE(r.body.empty());
  }
  {
    OneShotServer server(reply_with("200 OK", std::string(1000, 'x')));
    EXPECT_EQ(platform::http_post_form(server.url(), "a=b", params).status,
              platform::HttpStatus::kOk);
  }
}

TEST_F(HttpPost, DeadlineEndsASilentServer) {
  OneShotServer server(reply_with("200 OK", "{}"), 1500);
  platform::HttpParams params;
  params.timeout_ms = 300;
  const auto start = std::chrono::steady_clock::now();
  platform::HttpResponse r = platform::http_post_form(server.url(), "a=b", params);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.status, platform::HttpStatus::kTimedOut) << r.detail;
  EXPECT_LT(took, std::chrono::milliseconds(2500));
  EXPECT_FALSE(r.detail.empty());
}

TEST_F(HttpPost, NothingListeningAndNoTlsAreTold) {
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  const int port = ntohs(address.sin_port);
  close(probe);  // the port is free now, and nothing listens on it
  platform::HttpResponse r =
      platform::http_post_form("http://127.0.0.1:" + std::to_string(port) + "/", "a=b", {});
  EXPECT_EQ(r.status, platform::HttpStatus::kConnectFailed) << r.detail;

  // A plain HTTP server where TLS was expected.
  OneShotServer server(reply_with("200 OK", "{}"), 0, false);
  std::string url = server.url();
  url.replace(0, 4, "https");
  r = platform::http_post_form(url, "a=b", {});
  EXPECT_EQ(r.status, platform::HttpStatus::kTlsFailed) << r.detail;

  EXPECT_EQ(platform::http_post_form("ftp://127.0.0.1/", "a=b", {}).status,
            platform::HttpStatus::kFailed);
}

}  // namespace
