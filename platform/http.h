// HTTPS requests for the OAuth 2.0 token endpoints, behind one interface: http_posix.cpp
// implements it with libcurl, http_win32.cpp with WinHTTP; CMake compiles exactly one of
// them. No other folder includes an HTTP library header. Like the rest of the platform
// layer, a failure is reported by the result; which error code it becomes is the caller's
// business.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

struct HttpParams {
  // Certificate chain and host name checks (SSL_VERIFY); false turns both off.
  bool verify = true;
  // Empty: the system's trusted roots; else a PEM file of CA certificates trusted instead
  // of them (SSL_CA_FILE), as for the mail connections.
  std::string ca_file;
  // One deadline for the whole exchange: connecting, the handshake, the request and the
  // whole reply. Where the system's client can only bound each phase, the phases are
  // bounded so that together they stay within it.
  int timeout_ms = 60 * 1000;
  // The longest reply body taken; a longer one fails with kTooLarge.
  std::size_t max_body = 1024 * 1024;
};

enum class HttpStatus {
  kOk,             // a reply came; its HTTP status may still be an error (4xx, 5xx)
  kConnectFailed,  // the name did not resolve or nothing answered
  kTlsFailed,      // the handshake or the certificate check failed
  kTimedOut,       // the deadline passed
  kTooLarge,       // the body was longer than max_body
  kFailed,         // anything else (a broken reply, a refused URL)
};

struct HttpResponse {
  HttpStatus status = HttpStatus::kFailed;
  long http_status = 0;  // the reply's status code, for kOk
  std::string body;      // the reply's body, for kOk
  std::string detail;    // one ASCII line saying why, for the other results
};

// POSTs body, already form-encoded by the caller, to url with "Content-Type:
// application/x-www-form-urlencoded" and "Accept: application/json". Only http:// and
// https:// URLs are taken (which of them may be used is the caller's decision); no
// redirect is followed. The proxy comes from the system (Linux: the environment as
// libcurl reads it; Windows: the system's proxy settings). On https://, nothing of the
// body leaves the process before the server's certificate has been accepted.
HttpResponse http_post_form(const std::string& url, const std::string& body,
                            const HttpParams& params);

}  // namespace platform
