// Placeholder until the browser sign-in lands: it prints nothing and signs nobody in.
#include "oauth/sign_in.h"

bool sign_in_with_browser(const OAuthConfig&) { return false; }
