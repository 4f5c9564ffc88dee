// The OAuth 2.0 settings as one record, with each provider's own endpoints and scope
// filled in where the settings leave them empty, and the rule for which endpoints may be
// used at all.
#pragma once

#include <string>

struct OAuthConfig {
  int provider = 0;  // 1 Microsoft 365 / Outlook.com, 2 Google, 3 other
  int flow = 0;      // as set: 0 the provider's usual flow, 1 device code, 2 browser
  std::string client_id;
  std::string client_secret;  // plain text; empty when none is set
  std::string tenant;         // Microsoft only
  std::string scope;
  std::string device_url;
  std::string token_url;
  std::string authorize_url;
};

// The record for g_settings.
OAuthConfig oauth_config();

// True for an https:// URL, and for an http:// URL whose host is a loopback address
// (127.0.0.0/8, ::1, localhost), which local proxies and the tests use.
bool endpoint_allowed(const std::string& url);

// The host part of a URL, for the debug trace.
std::string url_host(const std::string& url);

// The flow that a sign-in with this record uses: 1 device code, 2 browser.
int effective_flow(const OAuthConfig& config);
