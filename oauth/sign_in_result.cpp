// The end of a sign-in: storing the tokens, or telling why nothing was stored.
#include "oauth/sign_in_result.h"

#include <cstdio>
#include <ctime>

#include "app/console.h"
#include "oauth/token_file.h"
#include "oauth/token_state.h"

namespace {

// "Signed in. The access token is valid until: %s"
const char kSignedIn[] =
    "\x83\x54\x83\x43\x83\x93\x83\x43\x83\x93\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42\x83\x41"
    "\x83\x4e\x83\x5a\x83\x58\x83\x67\x81\x5b\x83\x4e\x83\x93\x82\xcc\x97\x4c\x8c\xf8\x8a\xfa"
    "\x8c\xc0: %s\n";
// "Could not sign in (%s). Nothing was stored."
const char kFailed[] =
    "\x83\x54\x83\x43\x83\x93\x83\x43\x83\x93\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1\x82\xc5"
    "\x82\xb5\x82\xbd(%s)\x81\x42\x89\xbd\x82\xe0\x95\xdb\x91\xb6\x82\xb5\x82\xc4\x82\xa2\x82\xdc"
    "\x82\xb9\x82\xf1\x81\x42\n";
// "server's answer: %s"
const char kRefused[] = "\x83\x54\x81\x5b\x83\x6f\x82\xcc\x89\x9e\x93\x9a: %s";
// "no answer from the authorization server: %s"
const char kNoServer[] =
    "\x94\x46\x89\xc2\x83\x54\x81\x5b\x83\x6f\x82\xa9\x82\xe7\x89\x9e\x93\x9a\x82\xaa\x82\xa0"
    "\x82\xe8\x82\xdc\x82\xb9\x82\xf1: %s";
// "no refresh token was issued. Offline access must be allowed"
const char kNoRefresh[] =
    "\x83\x8a\x83\x74\x83\x8c\x83\x62\x83\x56\x83\x85\x83\x67\x81\x5b\x83\x4e\x83\x93\x82\xaa"
    "\x94\xad\x8d\x73\x82\xb3\x82\xea\x82\xdc\x82\xb9\x82\xf1\x82\xc5\x82\xb5\x82\xbd\x81\x42"
    "\x83\x49\x83\x74\x83\x89\x83\x43\x83\x93\x83\x41\x83\x4e\x83\x5a\x83\x58\x82\xcc\x8b\x96"
    "\x89\xc2\x82\xaa\x95\x4b\x97\x76\x82\xc5\x82\xb7";
// "cannot write the token file: %s"
const char kNoWrite[] =
    "\x83\x67\x81\x5b\x83\x4e\x83\x93\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xf0\x8f\x91\x82\xab"
    "\x8d\x9e\x82\xdf\x82\xdc\x82\xb9\x82\xf1: %s";

std::string formatted(const char* format, const std::string& text) {
  std::string line(format);
  std::size_t at = line.find("%s");
  if (at != std::string::npos) line.replace(at, 2, text);
  return line;
}

}  // namespace

void report_sign_in_failure(const std::string& reason) {
  console_printf(kFailed, reason.c_str());
}

std::string refusal_reason(const TokenReply& reply) {
  if (reply.outcome == TokenOutcome::kRefused || !reply.error.empty()) {
    std::string text = safe_text(reply.error);
    if (!reply.error_description.empty()) text += " " + safe_text(reply.error_description);
    return formatted(kRefused, text);
  }
  std::string text = safe_text(reply.host);
  if (reply.http_status != 0) text += " HTTP " + std::to_string(reply.http_status);
  if (!reply.detail.empty()) text += " " + safe_text(reply.detail);
  return formatted(kNoServer, text);
}

bool finish_sign_in(const OAuthConfig& config, int flow, const TokenReply& reply) {
  if (reply.outcome != TokenOutcome::kIssued) {
    report_sign_in_failure(refusal_reason(reply));
    return false;
  }
  if (reply.refresh_token.empty()) {
    report_sign_in_failure(kNoRefresh);
    return false;
  }
  const StoredTokens tokens = tokens_from_reply(config, flow, reply, std::time(nullptr));
  if (!write_token_file(tokens)) {
    report_sign_in_failure(formatted(kNoWrite, token_file_path()));
    return false;
  }
  console_printf(kSignedIn, local_text(tokens.expires_at).c_str());
  return true;
}
