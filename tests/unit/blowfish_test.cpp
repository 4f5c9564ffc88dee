// The Blowfish core against the published ECB vectors, whose halves are big-endian.
#include "config/blowfish.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> from_hex(const std::string& hex) {
  std::vector<unsigned char> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

uint32_t big_endian(const unsigned char* b) {
  return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
         static_cast<uint32_t>(b[2]) << 8 | b[3];
}

struct Vector {
  const char* key;
  const char* plain;
  const char* cipher;
};

// Published ECB vectors (Eric Young's set, including its variable-key-length cases).
const Vector kVectors[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
    {"F0", "FEDCBA9876543210", "F9AD597C49DB005E"},
    {"F0E1", "FEDCBA9876543210", "E91D21C1D961A6D6"},
    {"F0E1D2C3B4A596", "FEDCBA9876543210", "8BB77032F960629D"},
    {"F0E1D2C3B4A59687", "FEDCBA9876543210", "E87A244E2CC85E82"},
    {"F0E1D2C3B4A5968778", "FEDCBA9876543210", "15750E7A4F4EC577"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E", "FEDCBA9876543210", "79D9373A714CA34F"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677", "FEDCBA9876543210", "05044B62FA52D080"},
};

TEST(Blowfish, PublishedVectorsEncipherAndDecipher) {
  for (const Vector& v : kVectors) {
    std::vector<unsigned char> key = from_hex(v.key);
    std::vector<unsigned char> plain = from_hex(v.plain);
    std::vector<unsigned char> cipher = from_hex(v.cipher);
    BlowfishState state;
    blowfish_key_setup(&state, key.data(), key.size());
    uint32_t left = big_endian(plain.data());
    uint32_t right = big_endian(plain.data() + 4);
    blowfish_encipher(state, &left, &right);
    EXPECT_EQ(left, big_endian(cipher.data())) << "key " << v.key;
    EXPECT_EQ(right, big_endian(cipher.data() + 4)) << "key " << v.key;
    blowfish_decipher(state, &left, &right);
    EXPECT_EQ(left, big_endian(plain.data())) << "key " << v.key;
    EXPECT_EQ(right, big_endian(plain.data() + 4)) << "key " << v.key;
  }
}

}  // namespace
