// PKCE: the S256 challenge of RFC 7636 appendix B, the secrets' form, the authorization
// URL's parameters per provider.
#include "oauth/pkce.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

bool unreserved_only(const std::string& text) {
  for (char c : text) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '.' || c == '_' || c == '~';
    if (!ok) return false;
  }
  return true;
}

// The query of a URL as name -> raw (still encoded) value; a name twice is a failure.
std::map<std::string, std::string> query_of(const std::string& url) {
  std::map<std::string, std::string> parameters;
  std::size_t start = url.find('?');
  EXPECT_NE(start, std::string::npos) << url;
  if (start == std::string::npos) return parameters;
  ++start;
  while (start <= url.size()) {
    std::size_t end = url.find('&', start);
    if (end == std::string::npos) end = url.size();
    const std::string pair = url.substr(start, end - start);
    const std::size_t equals = pair.find('=');
    const std::string name = pair.substr(0, equals);
    EXPECT_EQ(parameters.count(name), 0u) << name << " twice in " << url;
    parameters[name] = equals == std::string::npos ? "" : pair.substr(equals + 1);
    start = end + 1;
  }
  return parameters;
}

TEST(Pkce, ChallengeOfTheRfcExample) {
  EXPECT_EQ(pkce_challenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
            "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
}

TEST(Pkce, SecretsAreFreshAndWellFormed) {
  PkceSecrets a;
  PkceSecrets b;
  ASSERT_TRUE(make_pkce_secrets(&a));
  ASSERT_TRUE(make_pkce_secrets(&b));
  EXPECT_GE(a.verifier.size(), 43u);
  EXPECT_LE(a.verifier.size(), 128u);
  EXPECT_TRUE(unreserved_only(a.verifier)) << a.verifier;
  // At least 128 bits: 22 characters of 6 bits each.
  EXPECT_GE(a.state.size(), 22u);
  EXPECT_TRUE(unreserved_only(a.state)) << a.state;
  EXPECT_NE(a.verifier, b.verifier);
  EXPECT_NE(a.state, b.state);
  EXPECT_NE(a.verifier.substr(0, a.state.size()), a.state) << "one draw used for both";
}

TEST(Pkce, AuthorizationUrlPerProvider) {
  OAuthConfig config;
  config.provider = 1;
  config.client_id = "c1 d&e";
  config.scope = "https://outlook.office.com/SMTP.Send offline_access";
  config.authorize_url = "https://login.microsoftonline.com/common/oauth2/v2.0/authorize";
  const std::string redirect = loopback_redirect_uri(50123);
  EXPECT_EQ(redirect, "http://localhost:50123/");
  const std::string url = authorization_url(config, redirect, "st-1", "ch_2");
  EXPECT_EQ(url.compare(0, config.authorize_url.size() + 1, config.authorize_url + "?"), 0) << url;
  std::map<std::string, std::string> query = query_of(url);
  EXPECT_EQ(query["response_type"], "code");
  EXPECT_EQ(query["client_id"], "c1%20d%26e");
  EXPECT_EQ(query["redirect_uri"], "http%3A%2F%2Flocalhost%3A50123%2F");
  EXPECT_EQ(query["scope"], "https%3A%2F%2Foutlook.office.com%2FSMTP.Send%20offline_access");
  EXPECT_EQ(query["state"], "st-1");
  EXPECT_EQ(query["code_challenge"], "ch_2");
  EXPECT_EQ(query["code_challenge_method"], "S256");
  EXPECT_EQ(query.count("access_type"), 0u);
  EXPECT_EQ(query.count("prompt"), 0u);
  EXPECT_EQ(query.size(), 7u);

  // Google sends a refresh token only when asked for offline access, and again on a
  // repeated sign-in only with the consent screen.
  config.provider = 2;
  config.authorize_url = "https://accounts.google.com/o/oauth2/v2/auth";
  query = query_of(authorization_url(config, redirect, "s", "c"));
  EXPECT_EQ(query["access_type"], "offline");
  EXPECT_EQ(query["prompt"], "consent");

  // An endpoint with a query of its own keeps it.
  config.provider = 3;
  config.authorize_url = "https://idp.example/auth?tenant=x";
  EXPECT_EQ(authorization_url(config, redirect, "s", "c")
                .find("https://idp.example/auth?tenant=x&response_type=code&"),
            0u);
  config.authorize_url = "https://idp.example/auth?";
  EXPECT_EQ(authorization_url(config, redirect, "s", "c")
                .find("https://idp.example/auth?response_type=code&"),
            0u);
}

}  // namespace
