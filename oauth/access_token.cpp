// The token step of a send (RFC 6749 section 6): the token file, and where its access
// token is close to expiry, one refresh at the token endpoint. It runs before the SMTP
// connection is made, so that its failure comes before anything is sent.
#include "oauth/access_token.h"

#include <ctime>
#include <vector>

#include "app/console.h"
#include "app/errors.h"
#include "app/run_state.h"
#include "config/settings.h"
#include "oauth/provider.h"
#include "oauth/token_endpoint.h"
#include "oauth/token_file.h"
#include "oauth/token_state.h"

namespace {

// A stored access token with less left than this is refreshed first: the send itself
// may take minutes (large attachments, a slow server).
constexpr int64_t kMinimumLifetime = 5 * 60;

void trace(const std::string& text) {
  if (!g_run.debug_mode) return;
  console_printf("[oauth token : %s]\n", text.c_str());
}

// The refusals that no later run gets past without a person: a sign-in again, consent,
// or a changed setting.
bool needs_person(const std::string& error) {
  static const char* const kErrors[] = {
      "invalid_grant", "invalid_client",   "unauthorized_client", "interaction_required",
      "invalid_scope", "consent_required", "login_required",
  };
  for (const char* known : kErrors) {
    if (error == known) return true;
  }
  return false;
}

std::string status_text(const TokenReply& reply) {
  std::string text = safe_text(reply.host);
  if (reply.http_status != 0) text += " HTTP " + std::to_string(reply.http_status);
  return text;
}

std::string refusal_text(const TokenReply& reply) {
  std::string text = status_text(reply) + " error=" + safe_text(reply.error);
  if (!reply.error_description.empty()) {
    text += " description=" + safe_text(reply.error_description);
  }
  return text;
}

}  // namespace

std::string oauth_access_token() {
  const OAuthConfig config = oauth_config();
  StoredTokens tokens;
  if (!read_token_file(&tokens)) {
    trace("no usable token file");
    error_exit(kErrOAuthSignIn);
  }
  if (!tokens_match(tokens, config)) {
    trace("tokens issued for other settings");
    error_exit(kErrOAuthSignIn);
  }
  const std::time_t now = std::time(nullptr);
  if (!tokens.access_token.empty() && tokens.expires_at - static_cast<int64_t>(now) > kMinimumLifetime) {
    trace("stored token used, valid until " + utc_text(tokens.expires_at));
    return tokens.access_token;
  }
  if (!endpoint_allowed(config.token_url)) {
    trace("endpoint refused: " + safe_text(config.token_url));
    error_exit(kErrOAuthSignIn);
  }

  std::vector<FormField> grant = {
      {"grant_type", "refresh_token"},
      {"refresh_token", tokens.refresh_token},
  };
  // Microsoft issues for the scope asked; Google keeps the one granted.
  if (config.provider == 1) grant.push_back(FormField{"scope", config.scope});
  const TokenReply reply = request_tokens(config, grant);
  switch (reply.outcome) {
    case TokenOutcome::kIssued:
      break;
    case TokenOutcome::kRefused:
      trace(refusal_text(reply));
      error_exit(needs_person(reply.error) ? kErrOAuthSignIn : kErrOAuthToken);
    case TokenOutcome::kUnavailable:
      if (!reply.error.empty()) {
        trace(refusal_text(reply));
      } else {
        trace(status_text(reply) + " (" + safe_text(reply.detail) + ")");
      }
      error_exit(kErrOAuthToken);
  }

  StoredTokens renewed = tokens_from_reply(config, tokens.flow, reply, now);
  if (renewed.refresh_token.empty()) renewed.refresh_token = tokens.refresh_token;
  std::string line = status_text(reply) + ", new token valid until " + utc_text(renewed.expires_at);
  if (renewed.refresh_token != tokens.refresh_token) line += ", refresh token rotated";
  // The token is good for this send even when the file cannot be written; the next run
  // refreshes again with the refresh token it still has.
  if (!write_token_file(renewed)) line += ", token file not written";
  trace(line);
  return renewed.access_token;
}
