// Requests to the token endpoint and the reading of its replies (RFC 6749 sections 5.1,
// 5.2 and 6; RFC 8628 section 3.5). A reply is network input: it is parsed without
// exceptions and every member's type is checked before it is read.
#include "oauth/token_endpoint.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "config/settings.h"
#include "oauth/http_settings.h"
#include "platform/http.h"

namespace {

using Json = nlohmann::json;

// Longest expiry taken from a reply: ten years. Larger values are clamped, not refused.
constexpr long long kMaxExpiresIn = 10LL * 365 * 24 * 3600;

// An access or refresh token is 1*VSCHAR (RFC 6749 appendix A.12, A.17). Anything else
// could break the token file's lines or the SMTP command that carries it.
bool token_text(const std::string& text) {
  if (text.empty()) return false;
  for (unsigned char c : text) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

// "expires_in" as a number or, as some servers send it, a string of digits.
bool read_expires_in(const Json& value, long long* seconds) {
  if (value.is_number_unsigned() || value.is_number_integer()) {
    long long n = value.is_number_unsigned()
                      ? static_cast<long long>(std::min<unsigned long long>(
                            value.get<unsigned long long>(), static_cast<unsigned long long>(kMaxExpiresIn)))
                      : value.get<long long>();
    if (n < 0) return false;
    *seconds = std::min(n, kMaxExpiresIn);
    return true;
  }
  if (value.is_number_float()) {
    double d = value.get<double>();
    if (!(d >= 0)) return false;  // also NaN
    *seconds = d > static_cast<double>(kMaxExpiresIn) ? kMaxExpiresIn : static_cast<long long>(d);
    return true;
  }
  if (value.is_string()) {
    const std::string& text = value.get_ref<const std::string&>();
    if (text.empty() || text.size() > 18) return false;
    long long n = 0;
    for (char c : text) {
      if (c < '0' || c > '9') return false;
      n = n * 10 + (c - '0');
    }
    *seconds = std::min(n, kMaxExpiresIn);
    return true;
  }
  return false;
}

const Json* member(const Json& object, const char* name) {
  auto it = object.find(name);
  return it == object.end() ? nullptr : &*it;
}

bool equals_nocase(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
  }
  return i == a.size() && b[i] == '\0';
}

TokenReply unavailable(TokenReply reply, const char* why) {
  reply.outcome = TokenOutcome::kUnavailable;
  reply.access_token.clear();
  reply.refresh_token.clear();
  reply.detail = why;
  return reply;
}

}  // namespace

std::string form_encode(const std::vector<FormField>& fields) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string body;
  auto put = [&body](const std::string& text) {
    for (unsigned char c : text) {
      if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
        body.push_back(static_cast<char>(c));
      } else {
        body.push_back('%');
        body.push_back(kHex[c >> 4]);
        body.push_back(kHex[c & 0x0F]);
      }
    }
  };
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) body.push_back('&');
    put(fields[i].name);
    body.push_back('=');
    put(fields[i].value);
  }
  return body;
}

TokenReply parse_token_reply(long http_status, const std::string& body) {
  TokenReply reply;
  reply.http_status = http_status;
  const Json json = Json::parse(body, nullptr, /*allow_exceptions=*/false);
  const bool object = !json.is_discarded() && json.is_object();

  // An OAuth error: a string "error", wherever the status says otherwise.
  if (object) {
    if (const Json* error = member(json, "error")) {
      if (!error->is_string()) return unavailable(reply, "error member is not a string");
      reply.error = error->get_ref<const std::string&>();
      if (const Json* text = member(json, "error_description")) {
        if (text->is_string()) reply.error_description = text->get_ref<const std::string&>();
      }
      // A server in trouble may still say why in OAuth terms; it may pass all the same.
      if (http_status >= 500 || http_status == 429) return unavailable(reply, "server busy or failing");
      reply.outcome = TokenOutcome::kRefused;
      return reply;
    }
  }
  if (http_status >= 500 || http_status == 429) return unavailable(reply, "server busy or failing");
  if (http_status < 200 || http_status > 299) return unavailable(reply, "unexpected HTTP status");
  if (!object) return unavailable(reply, "reply is not a JSON object");

  const Json* access = member(json, "access_token");
  if (access == nullptr || !access->is_string()) return unavailable(reply, "no access_token");
  if (!token_text(access->get_ref<const std::string&>())) {
    return unavailable(reply, "access_token is not a token");
  }
  if (const Json* type = member(json, "token_type")) {
    // XOAUTH2 and OAUTHBEARER carry bearer tokens only.
    if (!type->is_string() || !equals_nocase(type->get_ref<const std::string&>(), "bearer")) {
      return unavailable(reply, "token_type is not Bearer");
    }
  }
  if (const Json* refresh = member(json, "refresh_token")) {
    if (!refresh->is_string()) return unavailable(reply, "refresh_token is not a string");
    const std::string& text = refresh->get_ref<const std::string&>();
    if (!text.empty() && !token_text(text)) return unavailable(reply, "refresh_token is not a token");
    reply.refresh_token = text;
  }
  if (const Json* expires = member(json, "expires_in")) {
    if (!expires->is_null() && !read_expires_in(*expires, &reply.expires_in)) {
      return unavailable(reply, "expires_in is not a number");
    }
  }
  reply.access_token = access->get_ref<const std::string&>();
  reply.outcome = TokenOutcome::kIssued;
  return reply;
}

DeviceReply parse_device_reply(long http_status, const std::string& body) {
  DeviceReply reply;
  const Json json = Json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (json.is_discarded() || !json.is_object()) {
    reply.detail = "HTTP " + std::to_string(http_status) + ", reply is not a JSON object";
    return reply;
  }
  if (const Json* error = member(json, "error")) {
    if (error->is_string()) reply.error = error->get_ref<const std::string&>();
    if (const Json* text = member(json, "error_description")) {
      if (text->is_string()) reply.error_description = text->get_ref<const std::string&>();
    }
    reply.detail = "HTTP " + std::to_string(http_status) + ", refused";
    return reply;
  }
  if (http_status < 200 || http_status > 299) {
    reply.detail = "HTTP " + std::to_string(http_status);
    return reply;
  }
  auto text = [&json](const char* name, std::string* value) {
    const Json* field = member(json, name);
    if (field == nullptr || !field->is_string()) return false;
    *value = field->get_ref<const std::string&>();
    return token_text(*value);
  };
  if (!text("device_code", &reply.device_code) || !text("user_code", &reply.user_code) ||
      !(text("verification_uri", &reply.verification_uri) ||
        text("verification_url", &reply.verification_uri))) {
    reply.detail = "device_code, user_code or verification_uri missing or mistyped";
    return reply;
  }
  if (const Json* expires = member(json, "expires_in")) {
    if (!read_expires_in(*expires, &reply.expires_in)) {
      reply.detail = "expires_in is not a number";
      return reply;
    }
  }
  if (const Json* interval = member(json, "interval")) {
    if (!read_expires_in(*interval, &reply.interval)) {
      reply.detail = "interval is not a number";
      return reply;
    }
  }
  // A person needs minutes, not hours; a server's zero interval would be a busy loop.
  reply.expires_in = std::min(reply.expires_in, 30LL * 60);
  reply.interval = std::max(1LL, std::min(reply.interval, 60LL));
  reply.ok = true;
  return reply;
}

TokenReply request_tokens(const OAuthConfig& config, const std::vector<FormField>& grant) {
  TokenReply reply;
  reply.host = url_host(config.token_url);
  if (!endpoint_allowed(config.token_url)) return unavailable(reply, "endpoint not allowed");
  std::vector<FormField> fields = grant;
  fields.push_back(FormField{"client_id", config.client_id});
  if (!config.client_secret.empty()) {
    fields.push_back(FormField{"client_secret", config.client_secret});
  }
  const platform::HttpResponse response =
      platform::http_post_form(config.token_url, form_encode(fields), oauth_http_params());
  if (response.status != platform::HttpStatus::kOk) {
    reply.detail = response.detail.empty() ? "no reply" : response.detail;
    return reply;
  }
  reply = parse_token_reply(response.http_status, response.body);
  reply.host = url_host(config.token_url);
  return reply;
}
