// SHA-256 against the FIPS 180-4 examples and the lengths where the padding changes
// shape, fed in any pieces; Base64url without padding (RFC 4648 section 5).
#include "codec/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "codec/base64.h"

namespace {

std::string to_hex(const std::string& digest) {
  std::string hex;
  char pair[3];
  for (unsigned char byte : digest) {
    std::snprintf(pair, sizeof pair, "%02x", byte);
    hex += pair;
  }
  return hex;
}

// Feeds text in pieces of the given size (0: in one call).
std::string sha256_hex(const std::string& text, std::size_t piece = 0) {
  Sha256Context context;
  sha256_init(&context);
  if (piece == 0) piece = text.size() + 1;
  for (std::size_t done = 0; done < text.size(); done += piece) {
    sha256_update(&context, reinterpret_cast<const unsigned char*>(text.data()) + done,
                  std::min(piece, text.size() - done));
  }
  unsigned char digest[32];
  sha256_final(digest, &context);
  return to_hex(std::string(reinterpret_cast<const char*>(digest), 32));
}

std::string counting(std::size_t n) {
  std::string bytes;
  for (std::size_t i = 0; i < n; ++i) bytes += static_cast<char>(i % 256);
  return bytes;
}

TEST(Sha256, PublishedExamplesAndPaddingEdgesInAnyPieces) {
  const struct {
    std::string text;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
       "lmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      // 55 bytes leave room for the length in the same block, 56 do not; 64 and 120 fill
      // whole blocks before the padding.
      {counting(55), "463eb28e72f82e0a96c0a4cc53690c571281131f672aa229e0d45ae59b598b59"},
      {counting(56), "da2ae4d6b36748f2a318f23e7ab1dfdf45acdc9d049bd80e59de82a60895f562"},
      {counting(63), "29af2686fd53374a36b0846694cc342177e428d1647515f078784d69cdb9e488"},
      {counting(64), "fdeab9acf3710362bd2658cdc9a29e8f9c757fcf9811603a8c447cd1d9151108"},
      {counting(119), "da18797ed7c3a777f0847f429724a2d8cd5138e6ed2895c3fa1a6d39d18f7ec6"},
      {counting(120), "f52b23db1fbb6ded89ef42a23ce0c8922c45f25c50b568a93bf1c075420bbb7c"},
      {counting(1000), "a8af099bf2e878609558dbf69d8f88f4a31040a8cf84b549a0cfa912f12ffc3f"},
  };
  for (const auto& c : cases) {
    for (std::size_t piece : {0, 1, 3, 55, 56, 63, 64, 65}) {
      EXPECT_EQ(sha256_hex(c.text, piece), c.digest)
          << c.text.size() << " bytes in pieces of " << piece;
    }
    EXPECT_EQ(to_hex(sha256(c.text)), c.digest) << c.text.size() << " bytes at once";
  }
}

TEST(Sha256, OneMillionA) {
  EXPECT_EQ(sha256_hex(std::string(1000000, 'a'), 4096),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Base64Url, UrlAlphabetWithoutPadding) {
  const struct {
    std::string bytes;
    const char* text;
  } cases[] = {
      {"", ""},
      {"f", "Zg"},
      {"fo", "Zm8"},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg"},
      {std::string("\xfb\xff", 2), "-_8"},
      {std::string("\xfb\xef\xbe", 3), "----"},
      {std::string("\xff\xff\xff", 3), "____"},
      {std::string("\x00\x00", 2), "AAA"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(base64url_encode(c.bytes), c.text) << c.text;
  }
}

}  // namespace
