// The browser sign-in with its wait for the redirect bounded by a given time;
// sign_in_with_browser (oauth/sign_in.h) waits kBrowserWaitMs.
#pragma once

#include "oauth/provider.h"

constexpr int kBrowserWaitMs = 5 * 60 * 1000;

bool sign_in_with_browser_within(const OAuthConfig& config, int limit_ms);
