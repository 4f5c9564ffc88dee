// The device authorization grant (RFC 8628): one request for a device code, the page and
// the user code shown to the person, then polls of the token endpoint at the server's
// interval until the person approves, refuses, or the code expires. The wait reads no
// input; Ctrl+C ends the program as it ends the menu.
#include <algorithm>
#include <cstdio>
#include <ctime>

#include "app/console.h"
#include "oauth/http_settings.h"
#include "oauth/sign_in.h"
#include "oauth/sign_in_result.h"
#include "oauth/token_endpoint.h"
#include "oauth/token_state.h"
#include "platform/http.h"
#include "platform/platform.h"

namespace {

const char kDeviceGrant[] = "urn:ietf:params:oauth:grant-type:device_code";

// "Open the following page in a browser and enter the code." / "  page : %s" /
// "  code : %s" / "Enter it within %d minutes. No input is taken while waiting (Ctrl+C
// cancels)."
const char kShowCode[] =
    "\x83\x75\x83\x89\x83\x45\x83\x55\x82\xc5\x8e\x9f\x82\xcc\x83\x79\x81\x5b\x83\x57\x82\xf0"
    "\x8a\x4a\x82\xab\x81\x41\x83\x52\x81\x5b\x83\x68\x82\xf0\x93\xfc\x97\xcd\x82\xb5\x82\xc4"
    "\x82\xad\x82\xbe\x82\xb3\x82\xa2\x81\x42\n"
    "  \x83\x79\x81\x5b\x83\x57 : %s\n"
    "  \x83\x52\x81\x5b\x83\x68 : %s\n"
    "%d \x95\xaa\x88\xc8\x93\xe0\x82\xc9\x93\xfc\x97\xcd\x82\xb5\x82\xc4\x82\xad\x82\xbe\x82\xb3"
    "\x82\xa2\x81\x42\x91\xd2\x82\xc1\x82\xc4\x82\xa2\x82\xe9\x8a\xd4\x81\x41\x93\xfc\x97\xcd"
    "\x82\xcd\x8e\xf3\x82\xaf\x95\x74\x82\xaf\x82\xdc\x82\xb9\x82\xf1(\x92\x86\x8e\x7e\x82\xcd"
    " Ctrl+C)\x81\x42\n";
// "the code has expired"
const char kExpired[] =
    "\x83\x52\x81\x5b\x83\x68\x82\xcc\x97\x4c\x8c\xf8\x8a\xfa\x8c\xc0\x90\xd8\x82\xea";
// "refused: " followed by the error code
const char kDenied[] = "\x8b\x91\x94\xdb\x82\xb3\x82\xea\x82\xdc\x82\xb5\x82\xbd: ";
// "the code was not accepted: " followed by the error code
const char kBadCode[] =
    "\x83\x52\x81\x5b\x83\x68\x82\xaa\x94\x46\x82\xdf\x82\xe7\x82\xea\x82\xdc\x82\xb9\x82\xf1: ";
// "cannot get a device code: " followed by the reason
const char kNoDevice[] =
    "\x83\x66\x83\x6f\x83\x43\x83\x58\x83\x52\x81\x5b\x83\x68\x82\xf0\x8e\xe6\x93\xbe\x82\xc5"
    "\x82\xab\x82\xdc\x82\xb9\x82\xf1: ";

// Seconds added to the interval by each slow_down (RFC 8628 section 3.5).
constexpr long long kSlowDownStep = 5;
// The longest wait between polls after polls that got no usable answer.
constexpr long long kMaxBackoff = 60;

bool request_device_code(const OAuthConfig& config, DeviceReply* device) {
  std::vector<FormField> fields = {{"client_id", config.client_id}};
  if (!config.scope.empty()) fields.push_back(FormField{"scope", config.scope});
  if (!config.client_secret.empty()) {
    fields.push_back(FormField{"client_secret", config.client_secret});
  }
  const platform::HttpResponse response =
      platform::http_post_form(config.device_url, form_encode(fields), oauth_http_params());
  if (response.status != platform::HttpStatus::kOk) {
    report_sign_in_failure(kNoDevice + safe_text(url_host(config.device_url)) + " " +
                           safe_text(response.detail));
    return false;
  }
  *device = parse_device_reply(response.http_status, response.body);
  if (device->ok) return true;
  std::string why = safe_text(url_host(config.device_url)) + " " + safe_text(device->detail);
  if (!device->error.empty()) why += " " + safe_text(device->error);
  if (!device->error_description.empty()) why += " " + safe_text(device->error_description);
  report_sign_in_failure(kNoDevice + why);
  return false;
}

}  // namespace

bool sign_in_with_device_code(const OAuthConfig& config) {
  DeviceReply device;
  if (!request_device_code(config, &device)) return false;

  // The server's "message" is English and says the same: it is not shown.
  console_printf(kShowCode, safe_text(device.verification_uri).c_str(),
                 safe_text(device.user_code).c_str(),
                 static_cast<int>((device.expires_in + 59) / 60));
  console_flush();

  const std::time_t deadline = std::time(nullptr) + static_cast<std::time_t>(device.expires_in);
  long long interval = device.interval;
  // A poll that got no usable answer (the network, a 5xx, a 429) is tried again with the
  // wait doubled, up to a minute (RFC 8628 section 3.5): the person may still be typing
  // the code, and one lost request must not throw the sign-in away.
  long long backoff = 0;
  TokenReply unanswered;
  bool any_unanswered = false;
  for (;;) {
    const long long wait = backoff > 0 ? backoff : interval;
    if (std::time(nullptr) + wait > deadline) {
      if (any_unanswered) return finish_sign_in(config, 1, unanswered);
      report_sign_in_failure(kExpired);
      return false;
    }
    platform::sleep_ms(static_cast<uint32_t>(wait * 1000));
    const TokenReply reply = request_tokens(
        config, {{"grant_type", kDeviceGrant}, {"device_code", device.device_code}});
    if (reply.outcome == TokenOutcome::kUnavailable) {
      unanswered = reply;
      any_unanswered = true;
      backoff = std::min<long long>(kMaxBackoff, wait * 2);
      continue;
    }
    backoff = 0;
    any_unanswered = false;
    if (reply.outcome != TokenOutcome::kRefused) return finish_sign_in(config, 1, reply);
    if (reply.error == "authorization_pending") continue;
    if (reply.error == "slow_down") {
      interval += kSlowDownStep;
      continue;
    }
    if (reply.error == "expired_token") {
      report_sign_in_failure(kExpired);
    } else if (reply.error == "access_denied" || reply.error == "authorization_declined") {
      report_sign_in_failure(kDenied + reply.error);
    } else if (reply.error == "bad_verification_code") {
      report_sign_in_failure(kBadCode + reply.error);
    } else {
      report_sign_in_failure(refusal_reason(reply));
    }
    return false;
  }
}
