// The bearer-token mechanisms' texts, the server's error summary, and tokens in stored
// form.
#include <gtest/gtest.h>

#include <string>

#include "config/password.h"
#include "transfer/smtp_bearer.h"

namespace {

TEST(BearerResponses, Xoauth2AndOauthbearerLayouts) {
  EXPECT_EQ(xoauth2_response("someuser@example.com", "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg"),
            std::string("user=someuser@example.com\x01"
                        "auth=Bearer ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg\x01\x01"));
  // The example of RFC 7628 section 4.1.
  EXPECT_EQ(oauthbearer_response("user@example.com", "server.example.com", 143,
                                 "vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg=="),
            std::string("n,a=user@example.com,\x01host=server.example.com\x01port=143\x01"
                        "auth=Bearer vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg==\x01\x01"));
  EXPECT_EQ(oauthbearer_response("", "h", 587, "t"),
            std::string("n,,\x01host=h\x01port=587\x01" "auth=Bearer t\x01\x01"));
}

TEST(BearerResponses, Gs2NamesEscapeCommaAndEquals) {
  EXPECT_EQ(gs2_escape("plain@example.com"), "plain@example.com");
  EXPECT_EQ(gs2_escape("a,b=c,,=="), "a=2Cb=3Dc=2C=2C=3D=3D");
  EXPECT_EQ(gs2_escape("=2C"), "=3D2C") << "an escape-like name is escaped itself";
}

TEST(BearerResponses, OnlyVisibleAsciiTokensAreUsable) {
  EXPECT_TRUE(bearer_token_usable("!ya29.a0-_~+/=" + std::string(8192, 'x') + "~"));
  // 0x01 would end the field and begin another; the rest is no token either.
  for (const std::string& bad : {std::string(), std::string("tok\x01host=evil"),
                                 std::string("tok\0en", 6), std::string("tok en"),
                                 std::string("tok\x7f"), std::string("tok\xc3\xa9"),
                                 std::string("tok\t"), std::string("\x80")}) {
    EXPECT_FALSE(bearer_token_usable(bad)) << bad;
  }
}

TEST(BearerErrors, StatusAndScopeOnOneLine) {
  struct Case {
    const char* json;
    const char* summary;
  };
  const Case cases[] = {
      {R"({"status":"401","schemes":"bearer","scope":"https://mail.google.com/"})",
       "status=401 scope=https://mail.google.com/"},
      {R"({ "scope" : "a b", "status" : 400 })", "status=400 scope=a b"},
      {R"({"status":"invalid_token","scope":"https:\/\/outlook.office.com\/SMTP.Send"})",
       "status=invalid_token scope=https://outlook.office.com/SMTP.Send"},
      {R"({"error":"x"})", "status= scope="},
      {"", "status= scope="},
      // A value that names the key does not count as the key.
      {R"({"x":"status","status":"403"})", "status=403 scope="},
      // A server's line breaks or terminal controls never leave the line.
      {"{\"status\":\"4\n01\",\"scope\":\"\x1b[2J\"}", "status=4 01 scope=\\x1b[2J"},
      {R"({"status":"unterminated)", "status=unterminated scope="},
  };
  for (const Case& c : cases) EXPECT_EQ(bearer_error_summary(c.json), c.summary) << c.json;
}

TEST(StoredTokens, LongTokensComeBackWhole) {
  for (std::size_t length : {1u, 8u, 248u, 249u, 4096u, 10000u}) {
    std::string token;
    for (std::size_t i = 0; i < length; ++i) token.push_back(static_cast<char>('a' + i % 26));
    std::string stored;
    ASSERT_TRUE(store_token(token, 16384, &stored)) << length;
    EXPECT_EQ(stored.size(), padded_length(length) * 2) << length;
    EXPECT_EQ(recover_token(stored), token) << length;
  }
  std::string stored = "unchanged";
  EXPECT_FALSE(store_token(std::string(101, 'x'), 100, &stored));
  EXPECT_EQ(stored, "unchanged");
}

TEST(StoredTokens, ShortTokensMatchPasswords) {
  // Up to the password limit a token's stored form is a password's, so either reading
  // gives the same text back.
  std::string as_password;
  std::string as_token;
  ASSERT_TRUE(store_password("short-token", &as_password));
  ASSERT_TRUE(store_token("short-token", 16384, &as_token));
  EXPECT_EQ(as_password, as_token);
  EXPECT_EQ(recover_token(as_password), "short-token");
  EXPECT_EQ(recover_password(as_token), "short-token");
}

}  // namespace
