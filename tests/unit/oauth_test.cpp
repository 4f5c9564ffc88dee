// The oauth folder's portable parts: form encoding, the reading of token and device
// replies from untrusted servers, endpoint rules, provider presets, and the token file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/password.h"
#include "config/settings.h"
#include "oauth/provider.h"
#include "oauth/token_endpoint.h"
#include "oauth/token_file.h"
#include "test_files.h"

namespace {

TEST(FormEncode, KeepsUnreservedAndPercentEncodesTheRest) {
  EXPECT_EQ(form_encode({}), "");
  EXPECT_EQ(form_encode({{"a", ""}}), "a=");
  EXPECT_EQ(form_encode({{"grant_type", "refresh_token"}, {"client_id", "A-z.0_9~"}}),
            "grant_type=refresh_token&client_id=A-z.0_9~");
  // The separators and "+" inside a value must not split or change it.
  EXPECT_EQ(form_encode({{"refresh_token", "a b&c=d+\xc3\xa9/%"}}),
            "refresh_token=a%20b%26c%3Dd%2B%C3%A9%2F%25");
  EXPECT_EQ(form_encode({{"scope", "https://x/SMTP.Send offline_access"}}),
            "scope=https%3A%2F%2Fx%2FSMTP.Send%20offline_access");
  EXPECT_EQ(form_encode({{"k", std::string("\0\x7f", 2)}}), "k=%00%7F");
}

TEST(TokenReply, IssuedTokensAreRead) {
  TokenReply r = parse_token_reply(
      200, R"({"token_type":"Bearer","expires_in":3599,"access_token":"eyJ.a-b_c",
               "refresh_token":"0.AAA","scope":"x"})");
  EXPECT_EQ(r.outcome, TokenOutcome::kIssued);
  EXPECT_EQ(r.access_token, "eyJ.a-b_c");
  EXPECT_EQ(r.refresh_token, "0.AAA");
  EXPECT_EQ(r.expires_in, 3599);

  // Some servers send expires_in as a string, and Google leaves out the refresh token on
  // a refresh; token_type's case does not matter.
  r = parse_token_reply(200, R"({"access_token":"t","expires_in":"3600","token_type":"bearer"})");
  EXPECT_EQ(r.outcome, TokenOutcome::kIssued);
  EXPECT_EQ(r.expires_in, 3600);
  EXPECT_EQ(r.refresh_token, "");

  r = parse_token_reply(200, R"({"access_token":"t"})");
  EXPECT_EQ(r.outcome, TokenOutcome::kIssued);
  EXPECT_EQ(r.expires_in, 0);

  // A far-off expiry is clamped, not refused.
  r = parse_token_reply(200, R"({"access_token":"t","expires_in":99999999999999999999})");
  EXPECT_EQ(r.outcome, TokenOutcome::kIssued);
  EXPECT_EQ(r.expires_in, 10LL * 365 * 24 * 3600);
}

TEST(TokenReply, OAuthErrorsAreRefusalsWithTheirDescription) {
  TokenReply r = parse_token_reply(
      400, R"({"error":"invalid_grant","error_description":"AADSTS70008: expired","error_codes":[70008]})");
  EXPECT_EQ(r.outcome, TokenOutcome::kRefused);
  EXPECT_EQ(r.error, "invalid_grant");
  EXPECT_EQ(r.error_description, "AADSTS70008: expired");
  EXPECT_EQ(r.http_status, 400);
  EXPECT_TRUE(r.access_token.empty());

  // A description of another type is dropped, the error kept.
  r = parse_token_reply(401, R"({"error":"invalid_client","error_description":[1]})");
  EXPECT_EQ(r.outcome, TokenOutcome::kRefused);
  EXPECT_EQ(r.error_description, "");

  // A server in trouble may pass: never a refusal, whatever its body says.
  for (long status : {500L, 503L, 429L}) {
    r = parse_token_reply(status, R"({"error":"invalid_grant"})");
    EXPECT_EQ(r.outcome, TokenOutcome::kUnavailable) << status;
    EXPECT_EQ(r.error, "invalid_grant") << status;
  }
}

TEST(TokenReply, AnythingElseIsUnavailableNeverACrash) {
  const struct {
    long status;
    const char* body;
  } cases[] = {
      {200, ""},
      {200, "<html>502 Bad Gateway</html>"},
      {200, R"({"access_token":"t")"},  // cut short
      {200, "[1,2,3]"},
      {200, "\"access_token\""},
      {200, "null"},
      {200, R"({})"},
      {200, R"({"access_token":42})"},
      {200, R"({"access_token":""})"},
      {200, R"({"access_token":null})"},
      {200, R"({"access_token":["t"]})"},
      {200, R"({"access_token":"a\nb"})"},
      {200, R"({"access_token":"a b\u0000"})"},
      {200, R"({"access_token":"\u00e9"})"},
      {200, R"({"access_token":"t","token_type":"mac"})"},
      {200, R"({"access_token":"t","token_type":7})"},
      {200, R"({"access_token":"t","refresh_token":7})"},
      {200, R"({"access_token":"t","refresh_token":"r\r\n"})"},
      {200, R"({"access_token":"t","expires_in":-1})"},
      {200, R"({"access_token":"t","expires_in":"soon"})"},
      {200, R"({"access_token":"t","expires_in":"-5"})"},
      {200, R"({"access_token":"t","expires_in":{}})"},
      {200, R"({"access_token":"t","expires_in":true})"},
      {200, R"({"error":404})"},
      {302, R"({"access_token":"t"})"},
      {400, R"({"access_token":"t"})"},
      {400, "Bad Request"},
  };
  for (const auto& c : cases) {
    TokenReply r = parse_token_reply(c.status, c.body);
    EXPECT_EQ(r.outcome, TokenOutcome::kUnavailable) << c.status << " " << c.body;
    EXPECT_TRUE(r.access_token.empty()) << c.body;
    EXPECT_FALSE(r.detail.empty()) << c.body;
  }
}

TEST(DeviceReply, MicrosoftAndGoogleShapesAreRead) {
  DeviceReply d = parse_device_reply(
      200, R"({"user_code":"ABCD-EFGH","device_code":"DAQAB","verification_uri":"https://microsoft.com/devicelogin",
               "expires_in":900,"interval":5,"message":"To sign in, use a web browser..."})");
  ASSERT_TRUE(d.ok) << d.detail;
  EXPECT_EQ(d.user_code, "ABCD-EFGH");
  EXPECT_EQ(d.device_code, "DAQAB");
  EXPECT_EQ(d.verification_uri, "https://microsoft.com/devicelogin");
  EXPECT_EQ(d.expires_in, 900);
  EXPECT_EQ(d.interval, 5);

  d = parse_device_reply(200, R"({"device_code":"d","user_code":"u",
                                  "verification_url":"https://www.google.com/device","expires_in":"1800"})");
  ASSERT_TRUE(d.ok) << d.detail;
  EXPECT_EQ(d.verification_uri, "https://www.google.com/device");
  EXPECT_EQ(d.interval, 5);  // the default of RFC 8628
  EXPECT_EQ(d.expires_in, 1800);

  // A zero interval would poll without pause; a day-long code would hold the menu.
  d = parse_device_reply(200, R"({"device_code":"d","user_code":"u","verification_uri":"v",
                                  "interval":0,"expires_in":86400})");
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.interval, 1);
  EXPECT_EQ(d.expires_in, 1800);
}

TEST(DeviceReply, RefusalsAndBrokenRepliesAreNotTaken) {
  DeviceReply d = parse_device_reply(
      400, R"({"error":"invalid_client","error_description":"AADSTS7000218: public client"})");
  EXPECT_FALSE(d.ok);
  EXPECT_EQ(d.error, "invalid_client");
  EXPECT_EQ(d.error_description, "AADSTS7000218: public client");
  for (const char* body : {"", "[]", R"({"device_code":"d","user_code":"u"})",
                           R"({"device_code":"d","user_code":5,"verification_uri":"v"})",
                           R"({"device_code":"d","user_code":"u","verification_uri":"v","interval":"x"})",
                           R"({"device_code":"d\n","user_code":"u","verification_uri":"v"})"}) {
    EXPECT_FALSE(parse_device_reply(200, body).ok) << body;
  }
  EXPECT_FALSE(parse_device_reply(500, R"({"device_code":"d","user_code":"u","verification_uri":"v"})").ok);
}

TEST(Endpoint, HttpsAnywhereHttpOnlyToLoopback) {
  const struct {
    const char* url;
    bool allowed;
  } cases[] = {
      {"https://login.microsoftonline.com/common/oauth2/v2.0/token", true},
      {"HTTPS://example.com/token", true},
      {"http://127.0.0.1:8080/token", true},
      {"http://127.1.2.3/token", true},
      {"http://localhost:9/token", true},
      {"http://LocalHost/token", true},
      {"http://[::1]:443/token", true},
      {"http://[::1]", true},
      {"http://example.com/token", false},
      {"http://128.0.0.1/token", false},
      {"http://127.0.0.1.example.com/token", false},
      {"http://localhost.example.com/", false},
      {"http://127.0.0.1@example.com/token", false},
      {"http://example.com@127.0.0.1/token", false},
      {"http://127.0.0.256/", false},
      {"http://127.0.0/", false},
      {"http://0x7f.0.0.1/", false},
      {"http://[::2]/", false},
      {"http://[::ffff:127.0.0.1]/", false},
      {"http://127.0.0.1:80x/", false},
      {"http://127.0.0.1 /token", false},
      {"https://", false},
      {"ftp://127.0.0.1/", false},
      {"127.0.0.1/token", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(endpoint_allowed(c.url), c.allowed) << c.url;
  EXPECT_EQ(url_host("https://login.microsoftonline.com/common/x"), "login.microsoftonline.com");
  EXPECT_EQ(url_host("http://127.0.0.1:8080/token?x"), "127.0.0.1");
  EXPECT_EQ(url_host("http://[::1]:80/"), "::1");
  EXPECT_EQ(url_host("https://user@host:1/"), "host");
}

class OAuthSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    g_settings = Settings();
    path_ = scratch_path("oauth", ".ini");
    g_settings.settings_path = path_;
    std::remove(token_path().c_str());
  }
  void TearDown() override {
    std::remove(token_path().c_str());
    std::remove(path_.c_str());
    g_settings = Settings();
  }
  std::string token_path() { return path_.substr(0, path_.size() - 4) + ".tok"; }

  std::string path_;
};

TEST_F(OAuthSettings, ProviderPresetsAndOverrides) {
  g_settings.oauth_provider = 1;
  g_settings.oauth_client_id = "cid";
  OAuthConfig c = oauth_config();
  EXPECT_EQ(c.tenant, "common");
  EXPECT_EQ(c.device_url, "https://login.microsoftonline.com/common/oauth2/v2.0/devicecode");
  EXPECT_EQ(c.token_url, "https://login.microsoftonline.com/common/oauth2/v2.0/token");
  EXPECT_EQ(c.authorize_url, "https://login.microsoftonline.com/common/oauth2/v2.0/authorize");
  EXPECT_EQ(c.scope, "https://outlook.office.com/SMTP.Send offline_access");
  EXPECT_EQ(c.client_secret, "");
  EXPECT_EQ(effective_flow(c), 1);

  g_settings.oauth_tenant = "contoso.onmicrosoft.com";
  g_settings.oauth_token_url = "http://127.0.0.1:5/token";
  c = oauth_config();
  EXPECT_EQ(c.device_url,
            "https://login.microsoftonline.com/contoso.onmicrosoft.com/oauth2/v2.0/devicecode");
  EXPECT_EQ(c.token_url, "http://127.0.0.1:5/token");

  g_settings = Settings();
  g_settings.oauth_provider = 2;
  ASSERT_TRUE(store_password("GOCSPX-secret", &g_settings.oauth_client_secret_stored));
  c = oauth_config();
  EXPECT_EQ(c.tenant, "");
  EXPECT_EQ(c.device_url, "https://oauth2.googleapis.com/device/code");
  EXPECT_EQ(c.token_url, "https://oauth2.googleapis.com/token");
  EXPECT_EQ(c.authorize_url, "https://accounts.google.com/o/oauth2/v2/auth");
  EXPECT_EQ(c.scope, "https://mail.google.com/");
  EXPECT_EQ(c.client_secret, "GOCSPX-secret");
  EXPECT_EQ(effective_flow(c), 2);
  g_settings.oauth_flow = 1;
  EXPECT_EQ(effective_flow(oauth_config()), 1);

  // Provider 3 has no presets; its usual flow follows OAUTH_DEVICE_URL.
  g_settings = Settings();
  g_settings.oauth_provider = 3;
  c = oauth_config();
  EXPECT_EQ(c.token_url, "");
  EXPECT_EQ(c.scope, "");
  EXPECT_EQ(effective_flow(c), 2);
  g_settings.oauth_device_url = "https://idp.example/device";
  EXPECT_EQ(effective_flow(oauth_config()), 1);
  g_settings.oauth_flow = 2;
  EXPECT_EQ(effective_flow(oauth_config()), 2);
}

TEST_F(OAuthSettings, TokensAreUsedOnlyForWhatTheyWereIssuedFor) {
  g_settings.oauth_provider = 1;
  g_settings.oauth_client_id = "cid";
  TokenReply reply;
  reply.outcome = TokenOutcome::kIssued;
  reply.access_token = "at";
  reply.refresh_token = "rt";
  reply.expires_in = 3600;
  const StoredTokens tokens = tokens_from_reply(oauth_config(), 1, reply, 1000);
  EXPECT_EQ(tokens.expires_at, 4600);
  EXPECT_EQ(tokens.tenant, "common");
  EXPECT_TRUE(tokens_match(tokens, oauth_config()));

  // A changed endpoint is not a change of what the tokens were issued for.
  g_settings.oauth_token_url = "https://proxy.example/token";
  EXPECT_TRUE(tokens_match(tokens, oauth_config()));

  Settings base = g_settings;
  g_settings.oauth_client_id = "other";
  EXPECT_FALSE(tokens_match(tokens, oauth_config()));
  g_settings = base;
  g_settings.oauth_tenant = "organizations";
  EXPECT_FALSE(tokens_match(tokens, oauth_config()));
  g_settings = base;
  g_settings.oauth_scope = "https://outlook.office.com/SMTP.Send";
  EXPECT_FALSE(tokens_match(tokens, oauth_config()));
  g_settings = base;
  g_settings.oauth_provider = 3;
  EXPECT_FALSE(tokens_match(tokens, oauth_config()));
}

TEST_F(OAuthSettings, TokenFileBesideTheSettingsFile) {
  g_settings.settings_path = "/home/u/vorna.ini";
  EXPECT_EQ(token_file_path(), "/home/u/vorna.tok");
  g_settings.settings_path = "/home/u.d/vorna";
  EXPECT_EQ(token_file_path(), "/home/u.d/vorna.tok");
  g_settings.settings_path = "/opt/bin/mailer.cfg.ini";
  EXPECT_EQ(token_file_path(), "/opt/bin/mailer.cfg.tok");
}

StoredTokens sample_tokens() {
  StoredTokens t;
  t.provider = 1;
  t.tenant = "common";
  t.client_id = "00000000-1111-2222-3333-444444444444";
  t.scope = "https://outlook.office.com/SMTP.Send offline_access";
  t.flow = 2;
  t.refresh_token = "0.ARwA" + std::string(1500, 'r');
  t.access_token = "eyJ0eXAi." + std::string(2500, 'a') + "=~/+";
  t.expires_at = 1796000000;
  return t;
}

TEST_F(OAuthSettings, TokenFileRoundTripWithNoTokenInClear) {
  StoredTokens none;
  EXPECT_FALSE(read_token_file(&none));

  const StoredTokens t = sample_tokens();
  ASSERT_TRUE(write_token_file(t));
  StoredTokens back;
  ASSERT_TRUE(read_token_file(&back));
  EXPECT_EQ(back.provider, t.provider);
  EXPECT_EQ(back.tenant, t.tenant);
  EXPECT_EQ(back.client_id, t.client_id);
  EXPECT_EQ(back.scope, t.scope);
  EXPECT_EQ(back.flow, t.flow);
  EXPECT_EQ(back.refresh_token, t.refresh_token);
  EXPECT_EQ(back.access_token, t.access_token);
  EXPECT_EQ(back.expires_at, t.expires_at);

  const std::string bytes = read_file(token_path());
  EXPECT_EQ(bytes.find("rrrrrrrr"), std::string::npos);
  EXPECT_EQ(bytes.find("eyJ0eXAi"), std::string::npos);
  EXPECT_EQ(bytes.find("outlook"), std::string::npos);

  // A second write replaces the first whole.
  StoredTokens second = t;
  second.access_token = "short";
  ASSERT_TRUE(write_token_file(second));
  ASSERT_TRUE(read_token_file(&back));
  EXPECT_EQ(back.access_token, "short");

  EXPECT_TRUE(remove_token_file());
  EXPECT_FALSE(read_token_file(&back));
  EXPECT_TRUE(remove_token_file());  // already gone
}

TEST_F(OAuthSettings, DamagedOrAlteredTokenFileIsNoTokenFile) {
  ASSERT_TRUE(write_token_file(sample_tokens()));
  const std::string good = read_file(token_path());
  const std::size_t digits = good.find('\n') + 1;
  std::vector<std::pair<std::string, std::string>> damaged = {
      {"empty", ""},
      {"header only", good.substr(0, digits)},
      {"cut in the middle", good.substr(0, digits + (good.size() - digits) / 2)},
      {"cut by one block", good.substr(0, good.size() - 17) + "\n"},
      {"other version", "VORNA-TOKENS 2\n" + good.substr(digits)},
      {"not hex", good.substr(0, digits) + "ZZ" + good.substr(digits + 2)},
  };
  // One digit changed anywhere: the check over the record catches it.
  for (std::size_t at : {digits, digits + 40, good.size() / 2, good.size() - 3}) {
    std::string altered = good;
    altered[at] = altered[at] == '0' ? '1' : '0';
    damaged.push_back({"digit " + std::to_string(at), altered});
  }
  for (const auto& [name, bytes] : damaged) {
    write_file(token_path(), bytes);
    StoredTokens t;
    EXPECT_FALSE(read_token_file(&t)) << name;
  }
  // A file far too large for a token file is not read.
  std::remove(token_path().c_str());
  write_file(token_path(), std::string(2 * 1024 * 1024, '0'));
  StoredTokens t;
  EXPECT_FALSE(read_token_file(&t));
}

TEST_F(OAuthSettings, TokenFileRefusesWhatWouldBreakItsLines) {
  StoredTokens t = sample_tokens();
  t.access_token = "a\nrefresh_token=evil";
  EXPECT_FALSE(write_token_file(t));
  t = sample_tokens();
  t.client_id = std::string("c\0d", 3);
  EXPECT_FALSE(write_token_file(t));
  t = sample_tokens();
  t.refresh_token.clear();
  EXPECT_FALSE(write_token_file(t));
  StoredTokens back;
  EXPECT_FALSE(read_token_file(&back));
}

TEST_F(OAuthSettings, KeysAreSavedOnlyWhenSetAndTheSecretEnciphered) {
  save_settings();
  EXPECT_EQ(read_file(path_).find("OAUTH"), std::string::npos);

  g_settings.oauth_provider = 2;
  g_settings.oauth_flow = 2;
  g_settings.oauth_client_id = "123-abc.apps.googleusercontent.com";
  ASSERT_TRUE(store_password("GOCSPX-topsecret", &g_settings.oauth_client_secret_stored));
  g_settings.oauth_token_url = "http://127.0.0.1:8/token";
  save_settings();
  const std::string saved = read_file(path_);
  EXPECT_NE(saved.find("[OAUTH]"), std::string::npos);
  EXPECT_EQ(saved.find("GOCSPX"), std::string::npos);
  EXPECT_EQ(saved.find("OAUTH_TENANT"), std::string::npos);
  EXPECT_EQ(saved.find("OAUTH_DEVICE_URL"), std::string::npos);

  const Settings written = g_settings;
  g_settings = Settings();
  g_settings.settings_path = path_;
  load_settings();
  EXPECT_EQ(g_settings.oauth_provider, 2);
  EXPECT_EQ(g_settings.oauth_flow, 2);
  EXPECT_EQ(g_settings.oauth_client_id, written.oauth_client_id);
  EXPECT_EQ(g_settings.oauth_tenant, "common");
  EXPECT_EQ(g_settings.oauth_token_url, "http://127.0.0.1:8/token");
  EXPECT_EQ(oauth_config().client_secret, "GOCSPX-topsecret");

  // Back to the defaults: keys the file has stay, with their default values.
  g_settings.oauth_provider = 0;
  g_settings.oauth_client_secret_stored.clear();
  save_settings();
  g_settings = Settings();
  g_settings.settings_path = path_;
  load_settings();
  EXPECT_EQ(g_settings.oauth_provider, 0);
  EXPECT_EQ(g_settings.oauth_client_secret_stored, "");
  EXPECT_NE(read_file(path_).find("OAUTH_PROVIDER=0"), std::string::npos);
}

}  // namespace
