// The SMTP dialogue's pure pieces: the sender split, the recipient walk, and the texts that
// the authentication mechanisms send.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/base64.h"
#include "transfer/smtp_auth.h"
#include "transfer/smtp_dialogue.h"

namespace {

TEST(SenderSplit, DisplayNameAndAddressForms) {
  struct Case {
    const char* sender;
    const char* display_name;
    const char* address;
    bool bracketed;
  };
  const Case cases[] = {
      {"Taro  <taro@example.jp>", "Taro", "<taro@example.jp>", true},
      {"taro@example.jp", "", "taro@example.jp", false},
      {"", "", "", false},
      {"<taro@example.jp>", "", "<taro@example.jp>", true},
      {"Taro <taro@example.jp> (office)", "Taro", "<taro@example.jp> (office)", true},
      {"A <x> B <y>", "A", "<y>", true},
      {"A <x> B <y", "", "A <x> B <y", false},
      {"Taro <taro@example.jp", "", "Taro <taro@example.jp", false},
      {"a>b", "", "a>b", false},
  };
  for (const Case& c : cases) {
    SenderParts parts = split_sender(c.sender);
    EXPECT_EQ(parts.display_name, c.display_name) << c.sender;
    EXPECT_EQ(parts.address, c.address) << c.sender;
    EXPECT_EQ(parts.bracketed, c.bracketed) << c.sender;
  }
}

// A recipient written as kind letter (T, C, B), address and "," when followed by a comma.
std::string describe(const std::vector<Recipient>& recipients) {
  std::string text;
  for (const Recipient& r : recipients) {
    text += r.kind == Recipient::kTo ? "T:" : r.kind == Recipient::kCc ? "C:" : "B:";
    text += r.address;
    text += r.followed_by_comma ? ", " : "; ";
  }
  return text;
}

TEST(RecipientWalk, SplitsStrictlyAtCommas) {
  struct Case {
    const char* list;
    const char* expected;
  };
  const Case cases[] = {
      {"a,CC:b,BCC:c", "T:a, C:b, B:c; "},
      {"a,,b", "T:a, "},
      {"a,", "T:a, "},
      {",a", ""},
      {"cc:b,bcc:c", "T:cc:b, T:bcc:c; "},
      {"a, b", "T:a, T: b; "},
      {"BCC:", "B:; "},
      {"CC:BCC:x", "C:BCC:x; "},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(describe(split_recipients(c.list)), c.expected) << c.list;
  }
}

TEST(Authentication, PlainCredentialsHoldUserTwiceAndPassword) {
  std::string credentials = plain_credentials("user", "secret");
  EXPECT_EQ(credentials, std::string("user\0user\0secret", 16));
  EXPECT_EQ(base64_encode(credentials), "dXNlcgB1c2VyAHNlY3JldA==");
}

TEST(Authentication, CramMd5ResponseOfRfc2195Example) {
  EXPECT_EQ(
      cram_md5_response("tim", "tanstaaftanstaaf", "<1896.697170952@postoffice.reston.mci.net>"),
      "tim b913a602c7eda7a495b4e6e7334d3890");
}

}  // namespace
