// Reading of token and device replies from an authorization server. Input: one byte that
// picks the HTTP status, then the body. Properties: no crash and no abort whatever the
// JSON holds (a mistyped member must not reach a throwing accessor); issued tokens are
// non-empty printable ASCII with an expiry in range, only under a 2xx status; a refusal or
// an unusable reply carries no token; a 5xx or 429 is never a refusal; device replies
// taken have their codes and a bounded interval and lifetime; the same input gives the
// same result; nothing reaches the console.
#include <cstdint>
#include <string>

#include "oauth/token_endpoint.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

const long kStatuses[] = {200, 201, 400, 401, 403, 429, 500, 503, 302, 0};

bool printable_token(const std::string& text) {
  if (text.empty()) return false;
  for (unsigned char c : text) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0 || size > 65536) return 0;
  const long status = kStatuses[data[0] % (sizeof kStatuses / sizeof kStatuses[0])];
  const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string shown = std::to_string(status) + " " + visible(body);

  begin_console_capture();
  const TokenReply reply = parse_token_reply(status, body);
  const TokenReply again = parse_token_reply(status, body);
  const DeviceReply device = parse_device_reply(status, body);
  const std::string console = end_console_capture();

  FUZZ_CHECK(console.empty(), console);
  FUZZ_CHECK(reply.outcome == again.outcome && reply.access_token == again.access_token &&
                 reply.refresh_token == again.refresh_token && reply.error == again.error,
             shown);
  FUZZ_CHECK(reply.http_status == status, shown);
  switch (reply.outcome) {
    case TokenOutcome::kIssued:
      FUZZ_CHECK(status >= 200 && status <= 299, shown);
      FUZZ_CHECK(printable_token(reply.access_token), shown);
      FUZZ_CHECK(reply.refresh_token.empty() || printable_token(reply.refresh_token), shown);
      FUZZ_CHECK(reply.expires_in >= 0 && reply.expires_in <= 10LL * 365 * 24 * 3600, shown);
      FUZZ_CHECK(reply.error.empty(), shown);
      break;
    case TokenOutcome::kRefused:
      FUZZ_CHECK(status < 500 && status != 429, shown);
      FUZZ_CHECK(reply.access_token.empty() && reply.refresh_token.empty(), shown);
      break;
    case TokenOutcome::kUnavailable:
      FUZZ_CHECK(reply.access_token.empty() && reply.refresh_token.empty(), shown);
      FUZZ_CHECK(!reply.detail.empty(), shown);
      break;
  }
  if (device.ok) {
    FUZZ_CHECK(status >= 200 && status <= 299, shown);
    FUZZ_CHECK(printable_token(device.device_code) && printable_token(device.user_code) &&
                   printable_token(device.verification_uri),
               shown);
    FUZZ_CHECK(device.interval >= 1 && device.interval <= 60, shown);
    FUZZ_CHECK(device.expires_in >= 0 && device.expires_in <= 1800, shown);
  } else {
    FUZZ_CHECK(!device.detail.empty(), shown);
  }
  return 0;
}
