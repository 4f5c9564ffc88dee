// Requests to the token endpoint (RFC 6749 sections 4.1.3, 6; RFC 8628 section 3.4) and
// the reading of its JSON replies. Every grant goes through request_tokens, which adds the
// client ID and, where one is set, the client secret.
#pragma once

#include <string>
#include <vector>

#include "oauth/provider.h"

struct FormField {
  std::string name;
  std::string value;
};

// application/x-www-form-urlencoded: each name and value percent-encoded (RFC 3986
// unreserved characters kept), joined with "=" and "&".
std::string form_encode(const std::vector<FormField>& fields);

enum class TokenOutcome {
  kIssued,       // tokens came
  kRefused,      // the server answered with an OAuth error ("error" is set)
  kUnavailable,  // no usable answer: transport failure, time-out, 5xx, 429, not the JSON expected
};

struct TokenReply {
  TokenOutcome outcome = TokenOutcome::kUnavailable;
  std::string access_token;
  std::string refresh_token;  // empty when the reply had none
  long long expires_in = 0;   // seconds
  std::string error;              // kRefused: the "error" member
  std::string error_description;  // kRefused: "error_description", where sent
  long http_status = 0;           // 0 when no reply came
  std::string host;               // the endpoint's host, for the trace
  std::string detail;             // kUnavailable: why, one ASCII line
};

// Reads a token endpoint's reply. Never trusts its shape: a missing or mistyped member
// makes kUnavailable (or kRefused where "error" is a string).
TokenReply parse_token_reply(long http_status, const std::string& body);

// The device authorization endpoint's reply (RFC 8628 section 3.2). Google names the
// page "verification_url"; both names are read.
struct DeviceReply {
  bool ok = false;
  std::string device_code;
  std::string user_code;
  std::string verification_uri;
  long long expires_in = 900;  // seconds; 900 where the reply has none
  long long interval = 5;      // seconds between polls, at least 1
  std::string error;              // an OAuth error, where the server sent one
  std::string error_description;
  std::string detail;             // why the reply was not taken, one ASCII line
};

DeviceReply parse_device_reply(long http_status, const std::string& body);

// POSTs the grant's fields, the client ID and the secret (where set) to the token
// endpoint of config, within one deadline of 60 s.
TokenReply request_tokens(const OAuthConfig& config, const std::vector<FormField>& grant);
