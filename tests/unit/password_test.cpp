// Stored forms of passwords: their layout, the machine binding, the length limit, and
// damaged forms that must come back the same wrong way every time.
#include "config/password.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace {

const std::string kMachine = "vorna-test-machine";

// Stored forms computed independently with a reference Blowfish (big-endian halves),
// each half byte-reversed before and after, under the key of the seven built-in bytes
// followed by the identifier. They pin the key, the block layout and the digits.
TEST(Password, StoredFormsMatchReference) {
  struct Case {
    const char* identifier;
    const char* password;
    const char* stored;
  } cases[] = {
      {"vorna-test-machine", "secret", "7536B99EF479327C"},
      {"", "secret", "EFE78DEEF5A65D3D"},
      {"vorna-test-machine", "12345678abc", "847E768AC2A17256D499ED66FE17395F"},
  };
  for (const Case& c : cases) {
    std::string stored;
    ASSERT_TRUE(store_password(c.password, &stored, c.identifier));
    EXPECT_EQ(stored, c.stored) << c.password << " on '" << c.identifier << "'";
    EXPECT_EQ(recover_password(c.stored, c.identifier), c.password);
  }
}

TEST(Password, RoundTripsAndFormLengths) {
  struct Case {
    std::size_t length;
    std::size_t digits;
  } cases[] = {{0, 0}, {1, 16}, {7, 16}, {8, 16}, {9, 32}, {16, 32}, {248, 496}};
  for (const Case& c : cases) {
    std::string password;
    for (std::size_t i = 0; i < c.length; ++i) password += static_cast<char>('!' + i % 90);
    std::string stored;
    ASSERT_TRUE(store_password(password, &stored, kMachine)) << c.length;
    EXPECT_EQ(stored.size(), c.digits) << c.length;
    EXPECT_EQ(stored.find_first_not_of("0123456789ABCDEF"), std::string::npos) << stored;
    EXPECT_EQ(recover_password(stored, kMachine), password) << c.length;
    std::string again;
    store_password(password, &again, kMachine);
    EXPECT_EQ(again, stored) << "the same password must give the same form";
  }
  // The key also binds the empty identifier, and the plain forms use this machine's own.
  std::string stored;
  ASSERT_TRUE(store_password("pass word", &stored, ""));
  EXPECT_EQ(recover_password(stored, ""), "pass word");
  ASSERT_TRUE(store_password("pass word", &stored));
  EXPECT_EQ(recover_password(stored), "pass word");
}

TEST(Password, LowerCaseDigitsReadAlike) {
  std::string stored;
  ASSERT_TRUE(store_password("Tanstaafl9", &stored, kMachine));
  std::string lower = stored;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  ASSERT_NE(lower, stored);
  EXPECT_EQ(recover_password(lower, kMachine), "Tanstaafl9");
}

TEST(Password, OtherMachineGivesOtherFormAndWrongPassword) {
  std::string here, there;
  ASSERT_TRUE(store_password("secret", &here, kMachine));
  ASSERT_TRUE(store_password("secret", &there, "another-machine"));
  EXPECT_NE(here, there);
  EXPECT_NE(recover_password(here, "another-machine"), "secret");
}

TEST(Password, OverlongPasswordIsRefusedAndFieldKept) {
  std::string stored = "UNCHANGED";
  EXPECT_FALSE(store_password(std::string(249, 'x'), &stored, kMachine));
  EXPECT_FALSE(store_password(std::string(255, 'x'), &stored, kMachine));
  EXPECT_EQ(stored, "UNCHANGED");
  // Only the text up to a zero byte counts towards the limit.
  EXPECT_TRUE(store_password(std::string("ab\0", 3) + std::string(300, 'x'), &stored, kMachine));
  EXPECT_EQ(recover_password(stored, kMachine), "ab");
}

// Damaged forms: each must give the same result on every call, whatever ran before, and
// never read past the work areas (the sanitizer build checks the latter).
TEST(Password, DamagedFormsAreDeterministic) {
  std::string full;
  ASSERT_TRUE(store_password("abcdefghijklmnop", &full, kMachine));
  const std::string cases[] = {
      "24682468",             // the default: half a block
      full.substr(0, 20),     // one and a half blocks
      full + "7",             // an odd trailing digit
      "ZZ" + full.substr(2),  // a pair that is not hex
      std::string(600, 'F'),  // longer than the field
      std::string(1000, '7'),
  };
  for (const std::string& form : cases) {
    // Fill the shared state with something else first, then compare two readings.
    std::string other;
    store_password(std::string(248, '\x7f'), &other, kMachine);
    recover_password(other, kMachine);
    std::string first = recover_password(form, kMachine);
    recover_password(full, kMachine);
    EXPECT_EQ(recover_password(form, kMachine), first) << form.substr(0, 24);
    EXPECT_LE(first.size(), 255u);
  }
  // An odd last digit is ignored; a non-hex character reads as the digit 0.
  EXPECT_EQ(recover_password(full + "7", kMachine), "abcdefghijklmnop");
  EXPECT_EQ(recover_password(full.substr(0, 16) + "0G" + full.substr(18), kMachine),
            recover_password(full.substr(0, 16) + "00" + full.substr(18), kMachine));
  // A partial last block deciphers as if zero-filled.
  EXPECT_EQ(recover_password("24682468", kMachine), recover_password("2468246800000000", kMachine));
}

}  // namespace
