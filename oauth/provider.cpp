// The OAuth 2.0 settings as one record: the provider presets for Microsoft's identity
// platform and Google, overridden by whatever the settings file sets, and the check that
// keeps tokens off plain http:// outside the loopback interface.
#include "oauth/provider.h"

#include <cctype>
#include <string_view>

#include "config/password.h"
#include "config/settings.h"

namespace {

constexpr int kMicrosoft = 1;
constexpr int kGoogle = 2;

const char kMicrosoftLogin[] = "https://login.microsoftonline.com/";
const char kMicrosoftScope[] = "https://outlook.office.com/SMTP.Send offline_access";
const char kGoogleDevice[] = "https://oauth2.googleapis.com/device/code";
const char kGoogleToken[] = "https://oauth2.googleapis.com/token";
const char kGoogleAuthorize[] = "https://accounts.google.com/o/oauth2/v2/auth";
const char kGoogleScope[] = "https://mail.google.com/";

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

bool equals_nocase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && starts_with_nocase(a, b);
}

// The authority of a URL after its scheme: up to the first "/", "?" or "#".
std::string_view authority_of(std::string_view url) {
  std::size_t start = url.find("://");
  if (start == std::string_view::npos) return {};
  std::string_view rest = url.substr(start + 3);
  return rest.substr(0, rest.find_first_of("/?#"));
}

bool all_digits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// 127.0.0.0/8 written as four decimal parts, as nothing else resolves the same way for
// every HTTP client.
bool ipv4_loopback(std::string_view host) {
  int parts = 0;
  std::size_t at = 0;
  while (at <= host.size()) {
    std::size_t end = host.find('.', at);
    if (end == std::string_view::npos) end = host.size();
    std::string_view part = host.substr(at, end - at);
    if (!all_digits(part) || part.size() > 3 || std::stoi(std::string(part)) > 255) return false;
    if (parts == 0 && part != "127") return false;
    ++parts;
    at = end + 1;
  }
  return parts == 4;
}

// Splits "host[:port]" or "[v6][:port]"; false when the port is not a number.
bool split_host(std::string_view authority, std::string_view* host) {
  std::string_view port;
  if (!authority.empty() && authority.front() == '[') {
    std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    *host = authority.substr(1, close - 1);
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return false;
      port = after.substr(1);
      if (!all_digits(port)) return false;
    }
    return true;
  }
  std::size_t colon = authority.find(':');
  *host = authority.substr(0, colon);
  if (colon != std::string_view::npos && !all_digits(authority.substr(colon + 1))) return false;
  return true;
}

bool has_control_or_blank(std::string_view text) {
  for (unsigned char c : text) {
    if (c <= 0x20 || c == 0x7F) return true;
  }
  return false;
}

}  // namespace

OAuthConfig oauth_config() {
  const Settings& s = g_settings;
  OAuthConfig config;
  config.provider = s.oauth_provider;
  config.flow = s.oauth_flow;
  config.client_id = s.oauth_client_id;
  config.client_secret =
      s.oauth_client_secret_stored.empty() ? "" : recover_password(s.oauth_client_secret_stored);
  config.scope = s.oauth_scope;
  config.device_url = s.oauth_device_url;
  config.token_url = s.oauth_token_url;
  config.authorize_url = s.oauth_authorize_url;
  if (config.provider == kMicrosoft) {
    config.tenant = s.oauth_tenant.empty() ? "common" : s.oauth_tenant;
    const std::string base = kMicrosoftLogin + config.tenant + "/oauth2/v2.0/";
    if (config.device_url.empty()) config.device_url = base + "devicecode";
    if (config.token_url.empty()) config.token_url = base + "token";
    if (config.authorize_url.empty()) config.authorize_url = base + "authorize";
    if (config.scope.empty()) config.scope = kMicrosoftScope;
  } else if (config.provider == kGoogle) {
    if (config.device_url.empty()) config.device_url = kGoogleDevice;
    if (config.token_url.empty()) config.token_url = kGoogleToken;
    if (config.authorize_url.empty()) config.authorize_url = kGoogleAuthorize;
    if (config.scope.empty()) config.scope = kGoogleScope;
  }
  return config;
}

bool endpoint_allowed(const std::string& url) {
  if (has_control_or_blank(url)) return false;
  std::string_view authority = authority_of(url);
  if (starts_with_nocase(url, "https://")) return !authority.empty();
  if (!starts_with_nocase(url, "http://")) return false;
  // No user part: "http://127.0.0.1@example.com/" is a request to example.com.
  if (authority.find('@') != std::string_view::npos) return false;
  std::string_view host;
  if (!split_host(authority, &host)) return false;
  return equals_nocase(host, "localhost") || host == "::1" || ipv4_loopback(host);
}

std::string url_host(const std::string& url) {
  std::string_view authority = authority_of(url);
  std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos) authority = authority.substr(at + 1);
  std::string_view host;
  if (!split_host(authority, &host)) return std::string(authority);
  return std::string(host);
}

int effective_flow(const OAuthConfig& config) {
  if (config.flow == 1 || config.flow == 2) return config.flow;
  if (config.provider == kGoogle) return 2;
  if (config.provider == kMicrosoft) return 1;
  return config.device_url.empty() ? 2 : 1;
}
