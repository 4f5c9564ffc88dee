// The access token for a send with SMTP_AUTH 4 or 5 when OAUTH_PROVIDER names a provider
// and no SMTP_PASS_COMMAND is set: the stored one while it has more than five minutes
// left, else a fresh one from the refresh token, stored before it is used.
#pragma once

#include <string>

// The access token, or the end of the run: error 27 when a person must act (no usable
// token file, tokens for other settings, an endpoint not allowed, the refresh refused for
// good), error 28 when a later run may succeed. Debug mode shows one line for the step.
std::string oauth_access_token();
