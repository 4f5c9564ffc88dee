// PKCE secrets and the authorization URL of the browser sign-in (RFC 7636, RFC 6749
// section 4.1.1, RFC 8252).
#include "oauth/pkce.h"

#include <vector>

#include "codec/base64.h"
#include "codec/sha256.h"
#include "oauth/token_endpoint.h"
#include "platform/platform.h"

namespace {

// 32 bytes make the 43 characters that RFC 7636 section 4.1 recommends; the state needs
// no more than 128 bits, 192 leave a margin.
constexpr std::size_t kVerifierBytes = 32;
constexpr std::size_t kStateBytes = 24;

bool random_text(std::size_t bytes, std::string* text) {
  std::string raw(bytes, '\0');
  if (!platform::random_bytes(&raw[0], raw.size())) return false;
  *text = base64url_encode(raw);
  return true;
}

}  // namespace

bool make_pkce_secrets(PkceSecrets* secrets) {
  return random_text(kVerifierBytes, &secrets->verifier) &&
         random_text(kStateBytes, &secrets->state);
}

std::string pkce_challenge(const std::string& verifier) {
  return base64url_encode(sha256(verifier));
}

std::string loopback_redirect_uri(uint16_t port) {
  return "http://localhost:" + std::to_string(port) + "/";
}

std::string authorization_url(const OAuthConfig& config, const std::string& redirect_uri,
                              const std::string& state, const std::string& challenge) {
  std::vector<FormField> query = {
      {"response_type", "code"},
      {"client_id", config.client_id},
      {"redirect_uri", redirect_uri},
      {"scope", config.scope},
      {"state", state},
      {"code_challenge", challenge},
      {"code_challenge_method", "S256"},
  };
  if (config.provider == 2) {
    query.push_back({"access_type", "offline"});
    query.push_back({"prompt", "consent"});
  }
  const std::string& base = config.authorize_url;
  std::string joint;
  if (base.find('?') == std::string::npos) {
    joint = "?";
  } else if (base.back() != '?' && base.back() != '&') {
    joint = "&";
  }
  return base + joint + form_encode(query);
}
