// The sign-ins that the settings menu starts. Each talks to the person on the console,
// stores the tokens in the token file on success, and says what happened; none stores
// anything on failure.
#pragma once

#include "oauth/provider.h"

// The device authorization grant (RFC 8628): the person opens the verification page and
// types the user code while this polls the token endpoint.
bool sign_in_with_device_code(const OAuthConfig& config);

// The authorization code grant with PKCE on a loopback redirect (RFC 6749 section 4.1,
// RFC 7636, RFC 8252), in the user's browser.
bool sign_in_with_browser(const OAuthConfig& config);
