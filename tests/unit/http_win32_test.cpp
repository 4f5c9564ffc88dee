// The HTTP client against a scripted server of the test's own on the loopback listener:
// the request as it arrives, the reply taken whole, the size cap with and without a
// length, the deadline against a silent and a dripping server, no redirect followed, no
// proxy for loopback. HTTPS is tested against Python servers (test_http_client.py).
#include "platform/http.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>

namespace {

struct Script {
  std::string reply;         // sent after the request has come
  uint32_t drip_ms = 0;      // the body goes a byte at a time, this far apart
  uint32_t hold_ms = 0;      // after the reply, the connection is held this long
};

struct Server {
  platform::LoopbackListener* listener = nullptr;
  uint16_t port = 0;
  Script script;
  std::string request;  // everything the client sent
  std::atomic<bool> stop{false};
  platform::Thread* thread = nullptr;
};

// The header block and as many bytes as its Content-Length says.
void read_request(platform::Socket client, std::string* request) {
  char buffer[4096];
  for (;;) {
    std::size_t end = request->find("\r\n\r\n");
    if (end != std::string::npos) {
      std::size_t length = 0;
      std::size_t field = request->find("Content-Length:");
      if (field != std::string::npos) length = std::strtoul(request->c_str() + field + 15, nullptr, 10);
      if (request->size() >= end + 4 + length) return;
    }
    std::size_t received = 0;
    if (platform::recv_some(client, buffer, sizeof buffer, 5000, &received) !=
        platform::RecvStatus::kData) {
      return;
    }
    request->append(buffer, received);
  }
}

void pause_unless_stopped(Server* server, uint32_t ms) {
  for (uint32_t waited = 0; waited < ms && !server->stop; waited += 10) platform::sleep_ms(10);
}

int serve(void* argument) {
  auto* server = static_cast<Server*>(argument);
  platform::Socket client = platform::accept_loopback(server->listener, 10000);
  if (client == platform::kInvalidSocket) return 1;
  read_request(client, &server->request);
  // The header block goes whole; with drip_ms the body follows a byte at a time.
  const std::string& reply = server->script.reply;
  std::size_t head = reply.find("\r\n\r\n");
  head = head == std::string::npos ? reply.size() : head + 4;
  for (std::size_t done = 0; done < reply.size() && !server->stop;) {
    std::size_t step = done < head ? head - done : server->script.drip_ms > 0 ? 1 : reply.size() - done;
    std::size_t sent = platform::send_some(client, reply.data() + done, step, 5000);
    if (sent == 0) break;
    done += sent;
    if (done > head) pause_unless_stopped(server, server->script.drip_ms);
  }
  pause_unless_stopped(server, server->script.hold_ms);
  platform::close_socket(client);
  return 0;
}

struct Outcome {
  platform::HttpResponse response;
  std::string request;  // what the server received
  uint32_t elapsed_ms = 0;
};

// Posts body to path on a server of its own that follows the script, and stops it.
Outcome post(const Script& script, const std::string& body,
             const platform::HttpParams& params = platform::HttpParams(),
             const std::string& path = "/token") {
  Outcome outcome;
  Server server;
  server.listener = platform::listen_loopback(&server.port);
  EXPECT_NE(server.listener, nullptr);
  if (server.listener == nullptr) return outcome;
  server.script = script;
  platform::Thread* thread = platform::start_thread(serve, &server);
  EXPECT_NE(thread, nullptr);
  uint32_t start = platform::tick_count();
  outcome.response = platform::http_post_form(
      "http://127.0.0.1:" + std::to_string(server.port) + path, body, params);
  outcome.elapsed_ms = platform::tick_count() - start;
  server.stop = true;
  if (thread != nullptr) {
    EXPECT_TRUE(platform::wait_thread(thread, 15000));
    platform::close_thread(thread);
  }
  platform::close_listener(server.listener);
  outcome.request = server.request;
  return outcome;
}

std::string reply_with(const std::string& status, const std::string& body, bool length = true) {
  return "HTTP/1.1 " + status + "\r\n" +
         (length ? "Content-Length: " + std::to_string(body.size()) + "\r\n"
                 : std::string("Connection: close\r\n")) +
         "Content-Type: application/json\r\n\r\n" + body;
}

TEST(HttpClient, FormArrivesAsSentAndTheReplyComesWhole) {
  const std::string form = "grant_type=refresh_token&refresh_token=a%20b%26c";
  Outcome got = post({reply_with("200 OK", "{\"access_token\":\"x\"}")}, form,
                     platform::HttpParams(), "/t/token?api-version=2");
  const platform::HttpResponse& response = got.response;
  ASSERT_EQ(response.status, platform::HttpStatus::kOk) << response.detail;
  EXPECT_EQ(response.http_status, 200);
  EXPECT_EQ(response.body, "{\"access_token\":\"x\"}");
  const std::string& request = got.request;
  EXPECT_EQ(request.rfind("POST /t/token?api-version=2 HTTP/1.1\r\n", 0), 0u) << request;
  EXPECT_NE(request.find("Content-Type: application/x-www-form-urlencoded\r\n"), std::string::npos)
      << request;
  EXPECT_NE(request.find("Accept: application/json\r\n"), std::string::npos) << request;
  EXPECT_NE(request.find("Content-Length: " + std::to_string(form.size()) + "\r\n"),
            std::string::npos);
  EXPECT_EQ(request.substr(request.size() - form.size() - 4), "\r\n\r\n" + form);
}

TEST(HttpClient, ErrorStatusIsAReply) {
  platform::HttpResponse response =
      post({reply_with("400 Bad Request", "{\"error\":\"invalid_grant\"}")}, "a=b").response;
  ASSERT_EQ(response.status, platform::HttpStatus::kOk) << response.detail;
  EXPECT_EQ(response.http_status, 400);
  EXPECT_EQ(response.body, "{\"error\":\"invalid_grant\"}");
}

TEST(HttpClient, RedirectIsReturnedNotFollowed) {
  // The redirect points at a port where nothing listens: following it would fail.
  platform::HttpResponse response =
      post({"HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:1/elsewhere\r\n"
            "Content-Length: 0\r\n\r\n"},
           "a=b")
          .response;
  ASSERT_EQ(response.status, platform::HttpStatus::kOk) << response.detail;
  EXPECT_EQ(response.http_status, 302);
}

TEST(HttpClient, BodyOverTheCapIsRefusedWithOrWithoutItsLength) {
  platform::HttpParams params;
  params.max_body = 1000;
  for (bool length : {true, false}) {
    SCOPED_TRACE(length ? "with Content-Length" : "ended by the close");
    platform::HttpResponse response =
        post({reply_with("200 OK", std::string(1001, 'x'), length)}, "a=b", params).response;
    EXPECT_EQ(response.status, platform::HttpStatus::kTooLarge) << response.detail;
    EXPECT_TRUE(response.body.empty());
    response = post({reply_with("200 OK", std::string(1000, 'y'), length)}, "a=b", params).response;
    ASSERT_EQ(response.status, platform::HttpStatus::kOk) << response.detail;
    EXPECT_EQ(response.body, std::string(1000, 'y'));
  }
}

TEST(HttpClient, DefaultCapIsOneMebibyte) {
  platform::HttpResponse response =
      post({reply_with("200 OK", std::string(1024 * 1024 + 1, 'z'))}, "a=b").response;
  EXPECT_EQ(response.status, platform::HttpStatus::kTooLarge) << response.detail;
}

TEST(HttpClient, SilentServerEndsAtTheDeadline) {
  platform::HttpParams params;
  params.timeout_ms = 1500;
  Outcome got = post({"", 0, 20000}, "a=b", params);
  EXPECT_EQ(got.response.status, platform::HttpStatus::kTimedOut) << got.response.detail;
  EXPECT_GE(got.elapsed_ms, 1400u);
  EXPECT_LT(got.elapsed_ms, 4000u);
}

TEST(HttpClient, DrippingBodyEndsAtTheDeadlineAsAWhole) {
  // Each byte comes well within any per-wait limit; only the one deadline ends it. (Headers
  // that drip are bounded as a whole only where the system bounds their wait so.)
  platform::HttpParams params;
  params.timeout_ms = 1500;
  Script drip{reply_with("200 OK", std::string(200, 'd')), 50, 0};
  Outcome got = post(drip, "a=b", params);
  EXPECT_EQ(got.response.status, platform::HttpStatus::kTimedOut) << got.response.detail;
  EXPECT_GE(got.elapsed_ms, 1400u);
  EXPECT_LT(got.elapsed_ms, 4000u);
}

TEST(HttpClient, LoopbackIsReachedWithoutAProxy) {
  // A proxy from the environment that is not there would fail the request.
  ASSERT_EQ(_putenv("http_proxy=http://127.0.0.1:9"), 0);
  ASSERT_EQ(_putenv("HTTP_PROXY=http://127.0.0.1:9"), 0);
  platform::HttpResponse response = post({reply_with("200 OK", "{}")}, "a=b").response;
  _putenv("http_proxy=");
  _putenv("HTTP_PROXY=");
  ASSERT_EQ(response.status, platform::HttpStatus::kOk) << response.detail;
  EXPECT_EQ(response.body, "{}");
}

TEST(HttpClientWithoutServer, RefusedConnectionAndUnusableUrls) {
  uint16_t port = 0;
  platform::LoopbackListener* listener = platform::listen_loopback(&port);
  ASSERT_NE(listener, nullptr);
  platform::close_listener(listener);  // nothing listens there now
  uint32_t start = platform::tick_count();
  platform::HttpResponse response = platform::http_post_form(
      "http://127.0.0.1:" + std::to_string(port) + "/token", "a=b", platform::HttpParams());
  EXPECT_EQ(response.status, platform::HttpStatus::kConnectFailed) << response.detail;
  EXPECT_LT(platform::tick_count() - start, 10000u);
  EXPECT_FALSE(response.detail.empty());

  for (const char* url : {"ftp://127.0.0.1/token", "not a url", ""}) {
    response = platform::http_post_form(url, "a=b", platform::HttpParams());
    EXPECT_EQ(response.status, platform::HttpStatus::kFailed) << url;
  }
}

}  // namespace
