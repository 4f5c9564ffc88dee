// The secrets and the authorization request of the browser sign-in: the PKCE code
// verifier and its S256 challenge (RFC 7636 sections 4.1 and 4.2), the state that ties the
// redirect to this sign-in (RFC 6749 section 10.12), and the authorization URL (RFC 6749
// section 4.1.1) with the loopback redirect URI (RFC 8252 section 7.3).
#pragma once

#include <cstdint>
#include <string>

#include "oauth/provider.h"

struct PkceSecrets {
  std::string verifier;  // 43 characters of the unreserved set, from 256 random bits
  std::string state;     // 32 characters, from 192 random bits
};

// Draws both from the platform's cryptographic random source; false when it fails, and
// the sign-in must then not go on.
bool make_pkce_secrets(PkceSecrets* secrets);

// BASE64URL(SHA256(verifier)) without padding.
std::string pkce_challenge(const std::string& verifier);

// "http://localhost:PORT/": the host name, not an address, as Microsoft matches it on any
// port and Google accepts it for desktop clients.
std::string loopback_redirect_uri(uint16_t port);

// The authorization endpoint of config with the request's parameters appended (after "&"
// where the endpoint carries a query of its own). Google also gets access_type=offline
// and prompt=consent, without which it sends no refresh token on a repeated sign-in.
std::string authorization_url(const OAuthConfig& config, const std::string& redirect_uri,
                              const std::string& state, const std::string& challenge);
