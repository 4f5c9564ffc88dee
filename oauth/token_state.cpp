// The sign-in state and the shared output texts of the oauth folder.
#include "oauth/token_state.h"

#include <cstdio>
#include <ctime>

#include "oauth/provider.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t kLongestShown = 500;

}  // namespace

SignInState sign_in_state(StoredTokens* tokens) {
  if (!read_token_file(tokens)) return SignInState::kNone;
  return tokens_match(*tokens, oauth_config()) ? SignInState::kSignedIn
                                               : SignInState::kOtherSettings;
}

const char* provider_name(int provider) {
  switch (provider) {
    case 1:
      return "Microsoft 365 / Outlook.com";
    case 2:
      return "Google";
    case 3:
      return "\x82\xbb\x82\xcc\x91\xbc";  // "other"
    default:
      return "";
  }
}

const char* flow_name(int flow) {
  switch (flow) {
    case 1:
      return "\x83\x66\x83\x6f\x83\x43\x83\x58\x83\x52\x81\x5b\x83\x68";  // "device code"
    case 2:
      return "\x83\x75\x83\x89\x83\x45\x83\x55";  // "browser"
    default:
      return "";
  }
}

std::string utc_text(int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  const std::tm* utc = std::gmtime(&t);
  if (utc == nullptr) return "?";
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d UTC", utc->tm_year + 1900,
                utc->tm_mon + 1, utc->tm_mday, utc->tm_hour, utc->tm_min, utc->tm_sec);
  return text;
}

std::string local_text(int64_t seconds) {
  const std::tm local = platform::local_time(static_cast<std::time_t>(seconds));
  char text[40];
  std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min);
  return text;
}

std::string safe_text(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string shown;
  for (unsigned char c : text) {
    if (shown.size() >= kLongestShown) {
      shown += "...";
      break;
    }
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      shown.push_back(static_cast<char>(c));
    } else {
      shown += "\\x";
      shown.push_back(kHex[c >> 4]);
      shown.push_back(kHex[c & 0x0F]);
    }
  }
  return shown;
}
