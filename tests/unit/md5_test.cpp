// MD5 against the RFC 1321 test suite, HMAC-MD5 against RFC 2202, and the APOP digest
// against RFC 1939.
#include "codec/md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

std::string to_hex(const unsigned char digest[16]) {
  char hex[33];
  for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  return std::string(hex, 32);
}

const unsigned char* bytes_of(const std::string& text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

// Feeds text in pieces of the given size (0: in one call).
std::string md5_hex(const std::string& text, std::size_t piece = 0) {
  Md5Context context;
  md5_init(&context);
  if (piece == 0) piece = text.size() + 1;
  for (std::size_t done = 0; done < text.size(); done += piece) {
    md5_update(&context, bytes_of(text) + done, std::min(piece, text.size() - done));
  }
  unsigned char digest[16];
  md5_final(digest, &context);
  return to_hex(digest);
}

TEST(Md5, Rfc1321SuiteInAnyPieces) {
  const struct {
    std::string text;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
       "0",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) {
    for (std::size_t piece : {0, 1, 3, 55, 56, 63, 64, 65}) {
      EXPECT_EQ(md5_hex(c.text, piece), c.digest) << "'" << c.text << "' in pieces of " << piece;
    }
  }
  std::string all_bytes;
  for (int round = 0; round < 4; ++round) {
    for (int b = 0; b < 256; ++b) all_bytes += static_cast<char>(b);
  }
  EXPECT_EQ(md5_hex(all_bytes, 7), "b2ea9f7fcea831a4a63b213f41a8855b");
}

TEST(HmacMd5, Rfc2202CasesAndBlockSizeKey) {
  std::string key_64;
  for (int i = 0; i < 64; ++i) key_64 += static_cast<char>(i);
  const struct {
    std::string key;
    std::string text;
    const char* digest;
  } cases[] = {
      {std::string(16, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
      {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
      {std::string(16, '\xaa'), std::string(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6"},
      {"\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14\x15"
       "\x16\x17\x18\x19",
       std::string(50, '\xcd'), "697eaf0aca3a3aea3a75164746ffaa79"},
      {std::string(16, '\x0c'), "Test With Truncation", "56461ef2342edc00f9bab995690efd4c"},
      {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
      {std::string(80, '\xaa'),
       "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
       "6f630fad67cda0ee1fb1f562db3aa53e"},
      // A key of exactly one block is used as it is, not hashed.
      {key_64, "sixty-four byte key", "73a7199d977f8ec628d639bf84a92c19"},
      {"", "", "74e6f7298a9c2d168935f58c001bad88"},
  };
  for (const auto& c : cases) {
    unsigned char digest[16];
    hmac_md5(bytes_of(c.text), c.text.size(), bytes_of(c.key), c.key.size(), digest);
    EXPECT_EQ(to_hex(digest), c.digest) << "text '" << c.text.substr(0, 20) << "'";
  }
}

TEST(Apop, DigestOfTimestampAndPassword) {
  // The input of the RFC 1939 example. The digest printed there, c4c9334b..., is not the
  // MD5 of this text; this is (checked with an independent MD5).
  EXPECT_EQ(apop_digest("<1896.697170952@dbc.mtview.ca.us>", "tanstaafl"),
            "a6f0dd348916c9ee9539661f94c75203");
  EXPECT_EQ(apop_digest("", "tanstaafl"), md5_hex("tanstaafl"));
  // Texts far longer than one greeting line are digested whole.
  EXPECT_EQ(apop_digest(std::string(2000, 'x'), std::string(300, 'y')),
            "c479a058eea800df5a0995c519ad1862");
}

}  // namespace
