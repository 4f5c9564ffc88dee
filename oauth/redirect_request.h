// The browser's redirect back to the loopback listener (RFC 8252 section 7.3), read as
// hostile input: any program on the machine can connect to the port. One request per
// connection, its head bounded in size and time; only a GET of the redirect path whose
// state is this sign-in's own is acted on, everything else is answered and ignored.
#pragma once

#include <cstddef>
#include <string>

#include "platform/platform.h"

// The request line and the whole head may not be longer; an authorization code of a few
// KB and a browser's usual headers fit well.
constexpr std::size_t kRedirectMaxLine = 8192;
constexpr std::size_t kRedirectMaxHead = 32768;

enum class RedirectVerdict {
  kIncomplete,  // the head has not ended yet: read on
  kBadRequest,  // 400, ignored: not a GET by HTTP/1.x, too large, malformed, a parameter
                // twice, the state missing or wrong, neither code nor error
  kNotFound,    // 404, ignored: a path other than the redirect's ("/favicon.ico")
  kCode,        // the right state and a code
  kError,       // the right state and an error: the sign-in ends
};

struct RedirectRequest {
  RedirectVerdict verdict = RedirectVerdict::kIncomplete;
  std::string code;               // kCode
  std::string error;              // kError: printable ASCII only, cut to 100 characters
  std::string error_description;  // kError: the same, cut to 300; empty when none came
};

// One connection's bytes up to the end of the request head; what follows is never kept.
struct RedirectReader {
  std::string head;
  std::size_t scanned = 0;                   // bytes already searched
  std::size_t line_end = std::string::npos;  // where the request line's CR LF starts
};

// Takes the next bytes received on the connection and judges the request once its head
// is complete or cannot become valid any more. Pure: no input or output, and the verdict
// does not depend on how the bytes were split. state is the one this sign-in sent.
RedirectRequest redirect_reader_take(RedirectReader* reader, const char* data, std::size_t length,
                                     const std::string& state);

// The answer to send for a verdict (other than kIncomplete): a full HTTP/1.1 response
// that closes the connection. kCode and kError get a short Japanese page (UTF-8, no
// script) that tells the person to go back to VORNA.
std::string redirect_response(RedirectVerdict verdict);

enum class RedirectWait { kCode, kError, kTimedOut, kFailed };

struct RedirectOutcome {
  RedirectWait result = RedirectWait::kFailed;
  std::string code;
  std::string error;
  std::string error_description;
};

// Serves the listener's connections one at a time until a request with the right state
// has come (kCode or kError, answered), limit_ms have passed (kTimedOut), or the listener
// fails (kFailed). Each connection gets at most kRedirectConnectionMs for its head.
constexpr int kRedirectConnectionMs = 10000;
RedirectOutcome wait_for_redirect(platform::LoopbackListener* listener, const std::string& state,
                                  int limit_ms);
