// The token file beside the settings file (vorna.ini gives vorna.tok): the refresh token,
// the access token with its expiry, and what they were issued for. Protected as well as
// the platform allows: the content enciphered as stored passwords are, the file
// owner-only, and on Windows the whole of it enciphered for the user with DPAPI. Written
// atomically, so a run that reads it never sees half a file.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "oauth/provider.h"
#include "oauth/token_endpoint.h"

struct StoredTokens {
  // What the tokens were issued for; tokens issued for other values are not used.
  int provider = 0;
  std::string tenant;
  std::string client_id;
  std::string scope;
  int flow = 0;  // the flow that signed in: 1 device code, 2 browser
  std::string refresh_token;
  std::string access_token;
  int64_t expires_at = 0;  // the access token's expiry, seconds since 1970 UTC
};

// The token file's path: the settings path with its extension replaced by ".tok".
std::string token_file_path();

// False when the file is missing or cannot be read back whole.
bool read_token_file(StoredTokens* tokens);
bool write_token_file(const StoredTokens& tokens);
bool remove_token_file();

// True when tokens were issued for what config asks (provider, tenant, client ID, scope).
bool tokens_match(const StoredTokens& tokens, const OAuthConfig& config);

// The record to store for a reply that issued tokens at time now.
StoredTokens tokens_from_reply(const OAuthConfig& config, int flow, const TokenReply& reply,
                               std::time_t now);
