// The sign-in as the settings menu and the information block show it, and the texts
// that the oauth folder's output shares.
#pragma once

#include <cstdint>
#include <string>

#include "oauth/token_file.h"

enum class SignInState {
  kNone,           // no token file, or one that cannot be read
  kSignedIn,       // tokens for the current settings
  kOtherSettings,  // tokens issued for another provider, tenant, client ID or scope
};

// Reads the token file into *tokens and judges it against the current settings.
SignInState sign_in_state(StoredTokens* tokens);

// Provider and flow names (code page 932): "Microsoft 365 / Outlook.com", "Google",
// "other"; "device code", "browser". Empty for numbers that name none.
const char* provider_name(int provider);
const char* flow_name(int flow);

// A moment as "2026-12-10 06:40:00 UTC" (the trace) and as the local
// "2026/12/10 15:40" (the menu and the information block).
std::string utc_text(int64_t seconds);
std::string local_text(int64_t seconds);

// Text from a server or the settings for one line of output: bytes outside printable
// ASCII as \xNN, at most 500 bytes.
std::string safe_text(const std::string& text);
