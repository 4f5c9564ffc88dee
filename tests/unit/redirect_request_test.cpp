// The redirect-request reader as a table of requests and verdicts, the same verdicts
// however the bytes arrive, the size limits, and the wait on a real loopback listener
// with clients that stray, stall or flood before the good request.
#include "oauth/redirect_request.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace {

const char kState[] = "s7Gq-0_xyzSTATE";

// Feeds the request in pieces of the given size (0: at once) and gives the first verdict
// that is not kIncomplete (or kIncomplete when the bytes run out).
RedirectRequest take(const std::string& bytes, std::size_t piece = 0) {
  RedirectReader reader;
  RedirectRequest request;
  if (piece == 0) piece = bytes.size() + 1;
  for (std::size_t done = 0; done < bytes.size(); done += piece) {
    const std::size_t n = std::min(piece, bytes.size() - done);
    request = redirect_reader_take(&reader, bytes.data() + done, n, kState);
    if (request.verdict != RedirectVerdict::kIncomplete) break;
  }
  return request;
}

std::string get(const std::string& target) {
  return "GET " + target + " HTTP/1.1\r\nHost: localhost:5000\r\nAccept: */*\r\n\r\n";
}

const char* name_of(RedirectVerdict verdict) {
  switch (verdict) {
    case RedirectVerdict::kIncomplete:
      return "incomplete";
    case RedirectVerdict::kBadRequest:
      return "400";
    case RedirectVerdict::kNotFound:
      return "404";
    case RedirectVerdict::kCode:
      return "code";
    case RedirectVerdict::kError:
      return "error";
  }
  return "?";
}

struct Case {
  const char* what;
  std::string request;
  RedirectVerdict verdict;
  std::string code;
};

TEST(RedirectRequest, VerdictsInAnyPieces) {
  const std::string state = std::string("state=") + kState;
  const Case cases[] = {
      {"good", get("/?code=abc&" + state), RedirectVerdict::kCode, "abc"},
      {"good, extra parameters, state first",
       get("/?" + state + "&code=M.R3_BAY.c0de&session_state=x&scope=a+b"), RedirectVerdict::kCode,
       "M.R3_BAY.c0de"},
      {"code percent-decoded", get("/?code=4%2F0Ad-x%3D+y&" + state), RedirectVerdict::kCode,
       "4/0Ad-x= y"},
      {"HTTP/1.0 without headers", "GET /?code=c&" + state + " HTTP/1.0\r\n\r\n",
       RedirectVerdict::kCode, "c"},
      {"empty pairs skipped", get("/?&code=c&&" + state + "&"), RedirectVerdict::kCode, "c"},
      {"error with the right state", get("/?error=access_denied&" + state), RedirectVerdict::kError,
       ""},
      {"error beats code", get("/?code=c&error=x&" + state), RedirectVerdict::kError, ""},
      // Without this sign-in's state nothing counts.
      {"no state", get("/?code=abc"), RedirectVerdict::kBadRequest, ""},
      {"wrong state", get("/?code=abc&state=s7Gq-0_xyzSTATF"), RedirectVerdict::kBadRequest, ""},
      {"state cut short", get("/?code=abc&state=s7Gq-0_xyzSTAT"), RedirectVerdict::kBadRequest, ""},
      {"state too long", get("/?code=abc&" + state + "E"), RedirectVerdict::kBadRequest, ""},
      {"empty state", get("/?code=abc&state="), RedirectVerdict::kBadRequest, ""},
      {"error without state", get("/?error=access_denied"), RedirectVerdict::kBadRequest, ""},
      {"error with wrong state", get("/?error=access_denied&state=x"), RedirectVerdict::kBadRequest,
       ""},
      // A parameter twice: which one was meant cannot be told.
      {"state twice", get("/?code=c&" + state + "&" + state), RedirectVerdict::kBadRequest, ""},
      {"code twice", get("/?code=c&code=d&" + state), RedirectVerdict::kBadRequest, ""},
      {"code twice, one encoded", get("/?code=c&%63ode=d&" + state), RedirectVerdict::kBadRequest,
       ""},
      {"other name twice", get("/?code=c&x=1&x=1&" + state), RedirectVerdict::kBadRequest, ""},
      {"right state, nothing to act on", get("/?" + state), RedirectVerdict::kBadRequest, ""},
      {"empty code", get("/?code=&" + state), RedirectVerdict::kBadRequest, ""},
      {"code with a line feed", get("/?code=a%0Ab&" + state), RedirectVerdict::kBadRequest, ""},
      {"code with a high byte", get("/?code=a%C3%A9&" + state), RedirectVerdict::kBadRequest, ""},
      {"bad escape", get("/?code=a%G1&" + state), RedirectVerdict::kBadRequest, ""},
      {"escape cut at the end", get("/?" + state + "&code=a%4"), RedirectVerdict::kBadRequest, ""},
      {"lone percent at the end", get("/?" + state + "&code=a%"), RedirectVerdict::kBadRequest, ""},
      {"no query", get("/"), RedirectVerdict::kBadRequest, ""},
      // Other paths are not the redirect's.
      {"favicon", get("/favicon.ico"), RedirectVerdict::kNotFound, ""},
      {"other path with the right query", get("/callback?code=c&" + state),
       RedirectVerdict::kNotFound, ""},
      {"encoded slash path", get("/%2F?code=c&" + state), RedirectVerdict::kNotFound, ""},
      // The request itself.
      {"POST", "POST /?code=c&" + state + " HTTP/1.1\r\n\r\n", RedirectVerdict::kBadRequest, ""},
      {"lower-case method", "get /?code=c&" + state + " HTTP/1.1\r\n\r\n",
       RedirectVerdict::kBadRequest, ""},
      {"HTTP/2.0", "GET /?code=c&" + state + " HTTP/2.0\r\n\r\n", RedirectVerdict::kBadRequest, ""},
      {"HTTP/0.9 form", "GET /?code=c&" + state + "\r\n\r\n", RedirectVerdict::kBadRequest, ""},
      {"two blanks", "GET  /?code=c&" + state + " HTTP/1.1\r\n\r\n", RedirectVerdict::kBadRequest,
       ""},
      {"absolute form", get("http://localhost:5000/?code=c&" + state), RedirectVerdict::kBadRequest,
       ""},
      {"raw high byte in the target", get("/?code=c\xc3\xa9&" + state),
       RedirectVerdict::kBadRequest, ""},
      {"header without colon", "GET /?code=c&" + state + " HTTP/1.1\r\nHost\r\n\r\n",
       RedirectVerdict::kBadRequest, ""},
      {"folded header", "GET /?code=c&" + state + " HTTP/1.1\r\nA: b\r\n c\r\n\r\n",
       RedirectVerdict::kBadRequest, ""},
      {"blank before colon", "GET /?code=c&" + state + " HTTP/1.1\r\nHost : x\r\n\r\n",
       RedirectVerdict::kBadRequest, ""},
      {"bare LF in a header", "GET /?code=c&" + state + " HTTP/1.1\r\nA: b\nc\r\n\r\n",
       RedirectVerdict::kBadRequest, ""},
      {"head not ended", "GET /?code=c&" + state + " HTTP/1.1\r\nHost: x\r\n",
       RedirectVerdict::kIncomplete, ""},
      {"line not ended", "GET /?code=c&" + state, RedirectVerdict::kIncomplete, ""},
      {"bytes after the head are not read",
       get("/?code=c&" + state) + "GET /?code=d&" + state + " HTTP/1.1\r\n\r\n",
       RedirectVerdict::kCode, "c"},
  };
  for (const Case& c : cases) {
    for (std::size_t piece : {0, 1, 2, 3, 7}) {
      const RedirectRequest request = take(c.request, piece);
      EXPECT_STREQ(name_of(request.verdict), name_of(c.verdict))
          << c.what << " in pieces of " << piece;
      EXPECT_EQ(request.code, c.code) << c.what << " in pieces of " << piece;
    }
  }
}

TEST(RedirectRequest, ErrorTextIsPrintableAndBounded) {
  const RedirectRequest request =
      take(get("/?state=" + std::string(kState) +
               "&error=access%1B[31m_denied&error_description=" + std::string(400, 'd') + "%0D"));
  ASSERT_EQ(request.verdict, RedirectVerdict::kError);
  EXPECT_EQ(request.error, "access?[31m_denied");
  EXPECT_EQ(request.error_description, std::string(300, 'd'));
  EXPECT_EQ(take(get("/?state=" + std::string(kState) +
                     "&error=invalid_scope&error_description=The+"
                     "scope+is+%22bad%22"))
                .error_description,
            "The scope is \"bad\"");
}

TEST(RedirectRequest, SizeLimits) {
  // The request line may be kRedirectMaxLine bytes long, not one more.
  const std::string prefix = "GET /?state=" + std::string(kState) + "&code=";
  const std::string suffix = " HTTP/1.1";
  std::string longest = prefix + std::string(kRedirectMaxLine - prefix.size() - suffix.size(), 'c');
  longest += suffix;
  ASSERT_EQ(longest.size(), kRedirectMaxLine);
  EXPECT_EQ(take(longest + "\r\n\r\n", 4096).verdict, RedirectVerdict::kCode);
  const std::string over = prefix + "c" + longest.substr(prefix.size());
  EXPECT_EQ(take(over + "\r\n\r\n", 4096).verdict, RedirectVerdict::kBadRequest);
  // Refused as soon as the line cannot end in time, without keeping more than the limit.
  RedirectReader reader;
  const std::string megabyte(1 << 20, 'a');
  const RedirectRequest request =
      redirect_reader_take(&reader, megabyte.data(), megabyte.size(), kState);
  EXPECT_EQ(request.verdict, RedirectVerdict::kBadRequest);
  EXPECT_LE(reader.head.size(), kRedirectMaxHead);
  EXPECT_EQ(take(std::string(kRedirectMaxLine + 2, 'a'), 1).verdict, RedirectVerdict::kBadRequest);
  EXPECT_EQ(take(std::string(kRedirectMaxLine + 1, 'a'), 1).verdict, RedirectVerdict::kIncomplete);

  // Headers past the whole head's limit.
  std::string head = "GET /?state=" + std::string(kState) + "&code=c HTTP/1.1\r\n";
  while (head.size() < kRedirectMaxHead) head += "Cookie: " + std::string(100, 'k') + "\r\n";
  EXPECT_EQ(take(head + "\r\n", 1000).verdict, RedirectVerdict::kBadRequest);
  // A head of exactly the limit still counts.
  std::string exact = "GET /?state=" + std::string(kState) + "&code=c HTTP/1.1\r\nX: ";
  exact += std::string(kRedirectMaxHead - exact.size() - 4, 'v') + "\r\n\r\n";
  ASSERT_EQ(exact.size(), kRedirectMaxHead);
  EXPECT_EQ(take(exact, 999).verdict, RedirectVerdict::kCode);
}

TEST(RedirectRequest, ResponsesCloseAndRunNothing) {
  for (RedirectVerdict verdict : {RedirectVerdict::kCode, RedirectVerdict::kError,
                                  RedirectVerdict::kBadRequest, RedirectVerdict::kNotFound}) {
    const std::string text = redirect_response(verdict);
    const std::size_t end = text.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos) << name_of(verdict);
    const std::string body = text.substr(end + 4);
    EXPECT_NE(text.find("Content-Length: " + std::to_string(body.size()) + "\r\n"),
              std::string::npos)
        << name_of(verdict);
    EXPECT_NE(text.find("Connection: close\r\n"), std::string::npos) << name_of(verdict);
    EXPECT_EQ(body.find("<script"), std::string::npos) << name_of(verdict);
  }
  EXPECT_EQ(redirect_response(RedirectVerdict::kNotFound).compare(0, 13, "HTTP/1.1 404 "), 0);
  EXPECT_EQ(redirect_response(RedirectVerdict::kBadRequest).compare(0, 13, "HTTP/1.1 400 "), 0);
  const std::string page = redirect_response(RedirectVerdict::kCode);
  EXPECT_EQ(page.compare(0, 13, "HTTP/1.1 200 "), 0);
  EXPECT_NE(page.find("charset=utf-8"), std::string::npos);
}

// ------------------------------------------------------------ the wait on a listener

// A client of the listener on 127.0.0.1: sends the bytes, then reads the answer until the
// listener closes the connection.
platform::Socket connect_loopback(uint16_t port) {
  platform::NetAddress address;
  platform::parse_address("127.0.0.1", &address);
  platform::Socket socket = platform::kInvalidSocket;
  std::size_t winner = 0;
  if (platform::connect_any({address}, port, 250, 5000, &socket, &winner) !=
      platform::ConnectStatus::kConnected) {
    return platform::kInvalidSocket;
  }
  return socket;
}

std::string talk(uint16_t port, const std::string& bytes, int stall_ms = 0) {
  platform::Socket socket = connect_loopback(port);
  if (socket == platform::kInvalidSocket) return "<no connection>";
  if (stall_ms > 0) platform::sleep_ms(static_cast<uint32_t>(stall_ms));
  for (std::size_t done = 0; done < bytes.size();) {
    std::size_t sent = platform::send_some(socket, bytes.data() + done, bytes.size() - done, 5000);
    if (sent == 0) break;  // refused part way: the answer may still be there
    done += sent;
  }
  std::string answer;
  char buffer[4096];
  std::size_t received = 0;
  while (platform::recv_some(socket, buffer, sizeof buffer, 5000, &received) ==
         platform::RecvStatus::kData) {
    answer.append(buffer, received);
  }
  platform::close_socket(socket);
  return answer;
}

std::string status_of(const std::string& answer) { return answer.substr(0, 12); }

class RedirectWaitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::net_startup());
    listener_ = platform::listen_loopback(&port_);
    ASSERT_NE(listener_, nullptr);
    ASSERT_NE(port_, 0);
  }
  void TearDown() override {
    platform::close_listener(listener_);
    platform::net_cleanup();
  }
  platform::LoopbackListener* listener_ = nullptr;
  uint16_t port_ = 0;
};

TEST_F(RedirectWaitTest, StrayRequestsAreAnsweredAndTheWaitGoesOn) {
  std::vector<std::string> answers;
  std::thread browser([&] {
    answers.push_back(talk(port_, get("/favicon.ico")));
    answers.push_back(talk(port_, get("/?code=evil&state=guess")));
    answers.push_back(talk(port_, get("/?error=access_denied")));
    answers.push_back(talk(port_, std::string(1 << 20, 'A')));
    answers.push_back(talk(port_, get("/?code=good&state=" + std::string(kState))));
  });
  const RedirectOutcome outcome = wait_for_redirect(listener_, kState, 30000);
  browser.join();
  EXPECT_EQ(outcome.result, RedirectWait::kCode);
  EXPECT_EQ(outcome.code, "good");
  ASSERT_EQ(answers.size(), 5u);
  EXPECT_EQ(status_of(answers[0]), "HTTP/1.1 404");
  EXPECT_EQ(status_of(answers[1]), "HTTP/1.1 400");
  EXPECT_EQ(status_of(answers[2]), "HTTP/1.1 400");
  EXPECT_EQ(status_of(answers[4]), "HTTP/1.1 200");
}

TEST_F(RedirectWaitTest, AnIdleConnectionDoesNotHoldUpTheRequest) {
  // A browser may open a spare connection that sends nothing; the request on the next
  // one is served at once, not after the spare one's time limit.
  std::string answer;
  std::thread browser([&] {
    platform::Socket spare = connect_loopback(port_);
    answer = talk(port_, get("/?state=" + std::string(kState) + "&error=access_denied"));
    if (spare != platform::kInvalidSocket) platform::close_socket(spare);
  });
  const uint32_t started = platform::tick_count();
  const RedirectOutcome outcome = wait_for_redirect(listener_, kState, 30000);
  const uint32_t spent = platform::tick_count() - started;
  browser.join();
  EXPECT_EQ(outcome.result, RedirectWait::kError);
  EXPECT_EQ(outcome.error, "access_denied");
  EXPECT_EQ(status_of(answer), "HTTP/1.1 200");
  EXPECT_LT(spent, static_cast<uint32_t>(kRedirectConnectionMs / 2));
}

TEST_F(RedirectWaitTest, NobodyComesWithinTheLimit) {
  const uint32_t started = platform::tick_count();
  EXPECT_EQ(wait_for_redirect(listener_, kState, 300).result, RedirectWait::kTimedOut);
  const uint32_t spent = platform::tick_count() - started;
  EXPECT_GE(spent, 290u);
  EXPECT_LT(spent, 5000u);
  // A request that never ends its head does not stretch the limit either.
  std::thread slow([&] { talk(port_, "GET /?code=c", 0); });
  const uint32_t again = platform::tick_count();
  EXPECT_EQ(wait_for_redirect(listener_, kState, 500).result, RedirectWait::kTimedOut);
  EXPECT_LT(platform::tick_count() - again, 5000u);
  slow.join();
}

}  // namespace
