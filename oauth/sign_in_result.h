// The end of a sign-in, shared by its flows: the tokens stored and the person told, or
// the reason it failed, with nothing stored.
#pragma once

#include <string>

#include "oauth/provider.h"
#include "oauth/token_endpoint.h"

// Stores the tokens of an issued reply (flow: 1 device code, 2 browser) and says so with
// the access token's expiry. Any other reply, one without a refresh token (unattended
// sends would stop within the hour), or a token file that cannot be written is reported
// as a failure. True when the tokens were stored.
bool finish_sign_in(const OAuthConfig& config, int flow, const TokenReply& reply);

// "Could not sign in (reason). Nothing was stored." The reason is code page 932 text.
void report_sign_in_failure(const std::string& reason);

// The reason text of a refusal or of no usable reply, as report_sign_in_failure takes it.
std::string refusal_reason(const TokenReply& reply);
