// Data protection for the user (DPAPI) and the random source.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ProtectForUser, RoundTripAndTamperedBlobRefused) {
  const std::string secret("refresh\0token \x83\x65\xff", 18);
  std::string blob;
  ASSERT_TRUE(platform::protect_for_user(secret, &blob));
  EXPECT_EQ(blob.find("refresh"), std::string::npos) << "the plaintext shows in the blob";
  std::string back;
  ASSERT_TRUE(platform::unprotect_for_user(blob, &back));
  EXPECT_EQ(back, secret);

  // Every changed byte of the part that carries the data is caught; the header at the
  // start is format, so the flips are made from the end.
  for (std::size_t from_end : {1u, 8u, 30u, 60u}) {
    ASSERT_LT(from_end, blob.size());
    std::string tampered = blob;
    tampered[tampered.size() - from_end] ^= 0x01;
    std::string out = "untouched";
    EXPECT_FALSE(platform::unprotect_for_user(tampered, &out)) << "flipped at -" << from_end;
    EXPECT_EQ(out, "untouched");
  }
  std::string out;
  EXPECT_FALSE(platform::unprotect_for_user(blob.substr(0, blob.size() / 2), &out)) << "cut";
  EXPECT_FALSE(platform::unprotect_for_user("", &out));
  EXPECT_FALSE(platform::unprotect_for_user(secret, &out)) << "plain data is no blob";
}

TEST(RandomBytes, DifferEachTimeAndFillTheBuffer) {
  unsigned char first[32] = {};
  unsigned char second[32] = {};
  ASSERT_TRUE(platform::random_bytes(first, sizeof first));
  ASSERT_TRUE(platform::random_bytes(second, sizeof second));
  EXPECT_NE(std::string(reinterpret_cast<char*>(first), 32),
            std::string(reinterpret_cast<char*>(second), 32));
  // The whole buffer is filled, up to its last bytes.
  std::string large(4096, '\0');
  ASSERT_TRUE(platform::random_bytes(&large[0], large.size()));
  EXPECT_NE(large.substr(4064), std::string(32, '\0'));
  EXPECT_TRUE(platform::random_bytes(first, 0));
}

}  // namespace
