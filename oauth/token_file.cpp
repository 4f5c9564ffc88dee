// The token file. Its layout, before any protection:
//
//   VORNA-TOKENS 1
//   <the stored form of the record, as a password's: hex digits of its Blowfish cipher>
//
// and the record inside is "name=value" lines ending with "check=" and the MD5 of the
// lines before it, so that a damaged or altered file is told from a good one (ECB
// deciphers any digits into something). The whole is then passed through the platform's
// protection for the user (DPAPI on Windows) and written atomically, owner-only.
#include "oauth/token_file.h"

#include <cstdio>
#include <string_view>
#include <vector>

#include "codec/md5.h"
#include "config/password.h"
#include "config/settings.h"
#include "platform/platform.h"

namespace {

const char kHeader[] = "VORNA-TOKENS 1\n";
// Tokens run to a few kilobytes; the file, with its hex form, stays far below this.
constexpr std::size_t kMaxFileBytes = 1024 * 1024;
constexpr std::size_t kMaxRecordBytes = 256 * 1024;

std::string md5_hex(const std::string& text) {
  Md5Context context;
  md5_init(&context);
  md5_update(&context, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  unsigned char digest[16];
  md5_final(digest, &context);
  return digest_hex(digest);
}

bool fits_line(const std::string& value) {
  return value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

bool read_int64(std::string_view text, int64_t* value) {
  if (text.empty() || text.size() > 18) return false;
  bool negative = text.front() == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty()) return false;
  int64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  *value = negative ? -n : n;
  return true;
}

std::string record_text(const StoredTokens& t) {
  std::string text;
  text += "provider=" + std::to_string(t.provider) + "\n";
  text += "tenant=" + t.tenant + "\n";
  text += "client_id=" + t.client_id + "\n";
  text += "scope=" + t.scope + "\n";
  text += "flow=" + std::to_string(t.flow) + "\n";
  text += "expires_at=" + std::to_string(t.expires_at) + "\n";
  text += "access_token=" + t.access_token + "\n";
  text += "refresh_token=" + t.refresh_token + "\n";
  return text + "check=" + md5_hex(text) + "\n";
}

bool parse_record(const std::string& text, StoredTokens* tokens) {
  std::size_t check_at = text.rfind("check=");
  if (check_at == std::string::npos || (check_at > 0 && text[check_at - 1] != '\n')) return false;
  const std::string body = text.substr(0, check_at);
  if (text.compare(check_at, std::string::npos, "check=" + md5_hex(body) + "\n") != 0) return false;

  StoredTokens t;
  int64_t number = 0;
  int seen = 0;
  std::size_t at = 0;
  while (at < body.size()) {
    std::size_t end = body.find('\n', at);
    if (end == std::string::npos) return false;
    std::string_view line(body.data() + at, end - at);
    at = end + 1;
    std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) return false;
    std::string_view name = line.substr(0, equals);
    std::string value(line.substr(equals + 1));
    if (name == "provider") {
      if (!read_int64(value, &number)) return false;
      t.provider = static_cast<int>(number);
    } else if (name == "tenant") {
      t.tenant = value;
    } else if (name == "client_id") {
      t.client_id = value;
    } else if (name == "scope") {
      t.scope = value;
    } else if (name == "flow") {
      if (!read_int64(value, &number)) return false;
      t.flow = static_cast<int>(number);
    } else if (name == "expires_at") {
      if (!read_int64(value, &t.expires_at)) return false;
    } else if (name == "access_token") {
      t.access_token = value;
    } else if (name == "refresh_token") {
      t.refresh_token = value;
    } else {
      continue;  // a later version's addition
    }
    ++seen;
  }
  if (seen < 8 || t.refresh_token.empty()) return false;
  *tokens = t;
  return true;
}

}  // namespace

std::string token_file_path() {
  std::string path = g_settings.settings_path;
  std::size_t name_start = path.find_last_of(std::string("/") + platform::path_separator());
  name_start = name_start == std::string::npos ? 0 : name_start + 1;
  std::size_t dot = path.rfind('.');
  if (dot != std::string::npos && dot >= name_start) path.erase(dot);
  return path + ".tok";
}

bool read_token_file(StoredTokens* tokens) {
  std::string blob;
  if (!platform::read_small_file(token_file_path(), kMaxFileBytes, &blob)) return false;
  std::string content;
  if (!platform::unprotect_for_user(blob, &content)) return false;
  const std::size_t header = sizeof kHeader - 1;
  if (content.compare(0, header, kHeader) != 0) return false;
  std::string digits = content.substr(header);
  if (!digits.empty() && digits.back() == '\n') digits.pop_back();
  if (digits.empty() || digits.size() % 16 != 0 ||
      digits.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos) {
    return false;
  }
  return parse_record(recover_token(digits), tokens);
}

bool write_token_file(const StoredTokens& tokens) {
  for (const std::string* field : {&tokens.tenant, &tokens.client_id, &tokens.scope,
                                   &tokens.access_token, &tokens.refresh_token}) {
    if (!fits_line(*field)) return false;
  }
  if (tokens.refresh_token.empty()) return false;
  std::string stored;
  if (!store_token(record_text(tokens), kMaxRecordBytes, &stored)) return false;
  std::string blob;
  if (!platform::protect_for_user(kHeader + stored + "\n", &blob)) return false;
  return platform::replace_file(token_file_path(), blob);
}

bool remove_token_file() { return platform::remove_file(token_file_path()); }

bool tokens_match(const StoredTokens& tokens, const OAuthConfig& config) {
  return tokens.provider == config.provider && tokens.tenant == config.tenant &&
         tokens.client_id == config.client_id && tokens.scope == config.scope;
}

StoredTokens tokens_from_reply(const OAuthConfig& config, int flow, const TokenReply& reply,
                               std::time_t now) {
  StoredTokens tokens;
  tokens.provider = config.provider;
  tokens.tenant = config.tenant;
  tokens.client_id = config.client_id;
  tokens.scope = config.scope;
  tokens.flow = flow;
  tokens.refresh_token = reply.refresh_token;
  tokens.access_token = reply.access_token;
  tokens.expires_at = static_cast<int64_t>(now) + reply.expires_in;
  return tokens;
}
