// The authorization code grant with PKCE on a loopback redirect (RFC 6749 section 4.1,
// RFC 7636, RFC 8252): a listener on a free loopback port, the authorization URL opened in
// the user's browser and printed, one wait for the browser's redirect, then the code
// exchanged at the token endpoint. The wait reads no input; Ctrl+C ends the program as it
// ends the menu, with nothing stored.
#include "oauth/browser_flow.h"

#include <string>

#include "app/console.h"
#include "oauth/pkce.h"
#include "oauth/redirect_request.h"
#include "oauth/sign_in.h"
#include "oauth/sign_in_result.h"
#include "oauth/token_endpoint.h"
#include "oauth/token_state.h"
#include "platform/platform.h"

namespace {

// "Sign in in the browser. When no browser opens, open the following URL by hand." /
// the URL / "Sign in within %d minutes. No input is taken while waiting (Ctrl+C cancels)."
const char kOpenBrowser[] =
    "\x83\x75\x83\x89\x83\x45\x83\x55\x82\xc5\x83\x54\x83\x43\x83\x93\x83\x43\x83\x93"
    "\x82\xb5\x82\xc4\x82\xad\x82\xbe\x82\xb3\x82\xa2\x81\x42\x83\x75\x83\x89\x83\x45\x83\x55"
    "\x82\xaa\x8a\x4a\x82\xa9\x82\xc8\x82\xa2\x82\xc6\x82\xab\x82\xcd\x81\x41\x8e\x9f"
    "\x82\xcc URL \x82\xf0\x8e\xe8\x82\xc5\x8a\x4a\x82\xa2\x82\xc4\x82\xad\x82\xbe\x82\xb3\x82"
    "\xa2\x81\x42\n"
    "%s\n"
    "%d \x95\xaa\x88\xc8\x93\xe0\x82\xc9\x83\x54\x83\x43\x83\x93\x83\x43\x83\x93\x82\xb5\x82\xc4"
    "\x82\xad\x82\xbe\x82\xb3\x82\xa2\x81\x42\x91\xd2\x82\xc1\x82\xc4\x82\xa2\x82\xe9\x8a\xd4"
    "\x81\x41\x93\xfc\x97\xcd\x82\xcd\x8e\xf3\x82\xaf\x95\x74\x82\xaf\x82\xdc\x82\xb9\x82\xf1"
    "(\x92\x86\x8e\x7e\x82\xcd Ctrl+C)\x81\x42\n";
// "cannot get random numbers"
const char kNoRandom[] =
    "\x97\x90\x90\x94\x82\xf0\x8e\xe6\x93\xbe\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1";
// "cannot open the port that receives the browser's answer"
const char kNoListener[] =
    "\x83\x75\x83\x89\x83\x45\x83\x55\x82\xa9\x82\xe7\x82\xcc\x89\x9e\x93\x9a\x82\xf0"
    "\x8e\xf3\x82\xaf\x82\xe9\x91\xd2\x82\xbf\x8e\xf3\x82\xaf\x83\x7c\x81\x5b\x83\x67\x82\xf0"
    "\x8a\x4a\x82\xaf\x82\xdc\x82\xb9\x82\xf1";
// "the sign-in did not end within the time allowed"
const char kTimedOut[] =
    "\x91\xd2\x82\xbf\x8e\x9e\x8a\xd4\x93\xe0\x82\xc9\x83\x54\x83\x43\x83\x93\x83\x43\x83\x93"
    "\x82\xaa\x8f\x49\x82\xed\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x82\xc5\x82\xb5\x82\xbd";
// "can no longer wait for the browser's answer"
const char kWaitFailed[] =
    "\x83\x75\x83\x89\x83\x45\x83\x55\x82\xa9\x82\xe7\x82\xcc\x89\x9e\x93\x9a\x82\xf0"
    "\x91\xd2\x82\xc4\x82\xc8\x82\xad\x82\xc8\x82\xe8\x82\xdc\x82\xb5\x82\xbd";
// "the sign-in in the browser was refused: " followed by the error
const char kRefused[] =
    "\x83\x75\x83\x89\x83\x45\x83\x55\x82\xc5\x82\xcc\x83\x54\x83\x43\x83\x93\x83\x43"
    "\x83\x93\x82\xaa\x8b\x91\x94\xdb\x82\xb3\x82\xea\x82\xdc\x82\xb5\x82\xbd: ";

// The URL for the console whole (a cut one would not work): printable ASCII as it is,
// any other byte percent-encoded, which is what a browser would make of it.
std::string printable_url(const std::string& url) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : url) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte > 0x20 && byte < 0x7F) {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 15]);
    }
  }
  return out;
}

// The wait in the browser; the code and the error it ended with.
RedirectOutcome authorize(const OAuthConfig& config, const PkceSecrets& secrets,
                          platform::LoopbackListener* listener, uint16_t port, int limit_ms) {
  const std::string url = authorization_url(config, loopback_redirect_uri(port), secrets.state,
                                            pkce_challenge(secrets.verifier));
  // Whether a browser appeared cannot be told (the opener answers before it knows), so
  // the URL is always printed as well.
  platform::open_browser(url);
  console_printf(kOpenBrowser, printable_url(url).c_str(), (limit_ms + 59999) / 60000);
  console_flush();
  return wait_for_redirect(listener, secrets.state, limit_ms);
}

}  // namespace

bool sign_in_with_browser_within(const OAuthConfig& config, int limit_ms) {
  PkceSecrets secrets;
  if (!make_pkce_secrets(&secrets)) {
    report_sign_in_failure(kNoRandom);
    return false;
  }
  if (!platform::net_startup()) {
    report_sign_in_failure(kNoListener);
    return false;
  }
  uint16_t port = 0;
  platform::LoopbackListener* listener = platform::listen_loopback(&port);
  if (listener == nullptr) {
    platform::net_cleanup();
    report_sign_in_failure(kNoListener);
    return false;
  }
  const RedirectOutcome outcome = authorize(config, secrets, listener, port, limit_ms);
  // Closed before the exchange: nothing more is taken from the browser.
  platform::close_listener(listener);
  platform::net_cleanup();

  switch (outcome.result) {
    case RedirectWait::kCode:
      break;
    case RedirectWait::kError: {
      std::string why = kRefused + outcome.error;
      if (!outcome.error_description.empty()) why += " " + outcome.error_description;
      report_sign_in_failure(why);
      return false;
    }
    case RedirectWait::kTimedOut:
      report_sign_in_failure(kTimedOut);
      return false;
    case RedirectWait::kFailed:
      report_sign_in_failure(kWaitFailed);
      return false;
  }
  // The redirect URI must be the one of the authorization request, to the byte.
  const TokenReply reply = request_tokens(config, {{"grant_type", "authorization_code"},
                                                   {"code", outcome.code},
                                                   {"redirect_uri", loopback_redirect_uri(port)},
                                                   {"code_verifier", secrets.verifier}});
  return finish_sign_in(config, 2, reply);
}

bool sign_in_with_browser(const OAuthConfig& config) {
  return sign_in_with_browser_within(config, kBrowserWaitMs);
}
