// http_client: a small client of the platform layer's HTTP POST, for the black-box tests of
// the HTTPS client on its own (certificates, deadline, size cap) against Python servers.
//   http_client URL BODY [--ca FILE] [--no-verify] [--timeout MS] [--max BYTES]
// POSTs BODY (already form-encoded) to URL and prints "result: NAME", then for a reply
// "http: STATUS" and "body: N bytes" followed by the body on its own line, otherwise
// "detail: WHY". Exit status: 0 a reply came, 2 usage, 3 connect failed, 4 TLS failed,
// 5 timed out, 6 too large, 7 any other failure.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/http.h"

namespace {

struct Outcome {
  const char* name;
  int exit_status;
};

Outcome outcome_of(platform::HttpStatus status) {
  switch (status) {
    case platform::HttpStatus::kOk: return {"ok", 0};
    case platform::HttpStatus::kConnectFailed: return {"connect-failed", 3};
    case platform::HttpStatus::kTlsFailed: return {"tls-failed", 4};
    case platform::HttpStatus::kTimedOut: return {"timed-out", 5};
    case platform::HttpStatus::kTooLarge: return {"too-large", 6};
    case platform::HttpStatus::kFailed: break;
  }
  return {"failed", 7};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: http_client URL BODY [--ca FILE] [--no-verify] [--timeout MS] "
                         "[--max BYTES]\n");
    return 2;
  }
  platform::HttpParams params;
  for (int i = 3; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--ca" && i + 1 < argc) {
      params.ca_file = argv[++i];
    } else if (option == "--no-verify") {
      params.verify = false;
    } else if (option == "--timeout" && i + 1 < argc) {
      params.timeout_ms = std::atoi(argv[++i]);
    } else if (option == "--max" && i + 1 < argc) {
      params.max_body = static_cast<std::size_t>(std::strtoul(argv[++i], nullptr, 10));
    } else {
      std::fprintf(stderr, "http_client: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  platform::HttpResponse response = platform::http_post_form(argv[1], argv[2], params);
  Outcome outcome = outcome_of(response.status);
  std::printf("result: %s\n", outcome.name);
  if (response.status == platform::HttpStatus::kOk) {
    std::printf("http: %ld\nbody: %zu bytes\n", response.http_status, response.body.size());
    std::fwrite(response.body.data(), 1, response.body.size(), stdout);
    std::printf("\n");
  } else {
    std::printf("detail: %s\n", response.detail.c_str());
  }
  return outcome.exit_status;
}
