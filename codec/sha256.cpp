// SHA-256 (FIPS 180-4 sections 4.2.2, 5.1.1, 5.3.3 and 6.2).
#include "codec/sha256.h"

#include <cstring>

namespace {

// FIPS 180-4 section 4.2.2: the first 32 bits of the fractional parts of the cube roots
// of the first 64 primes.
const uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

uint32_t rotate_right(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// Runs the 64 rounds over one 64-byte block.
void transform(uint32_t state[8], const unsigned char block[64]) {
  uint32_t w[64];
  for (int t = 0; t < 16; ++t) {
    // Words are big-endian (FIPS 180-4 section 3.1).
    w[t] = static_cast<uint32_t>(block[4 * t]) << 24 |
           static_cast<uint32_t>(block[4 * t + 1]) << 16 |
           static_cast<uint32_t>(block[4 * t + 2]) << 8 | static_cast<uint32_t>(block[4 * t + 3]);
  }
  for (int t = 16; t < 64; ++t) {
    uint32_t s0 = rotate_right(w[t - 15], 7) ^ rotate_right(w[t - 15], 18) ^ (w[t - 15] >> 3);
    uint32_t s1 = rotate_right(w[t - 2], 17) ^ rotate_right(w[t - 2], 19) ^ (w[t - 2] >> 10);
    w[t] = w[t - 16] + s0 + w[t - 7] + s1;
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (int t = 0; t < 64; ++t) {
    uint32_t sum1 = rotate_right(e, 6) ^ rotate_right(e, 11) ^ rotate_right(e, 25);
    uint32_t choose = (e & f) ^ (~e & g);
    uint32_t t1 = h + sum1 + choose + kRound[t] + w[t];
    uint32_t sum0 = rotate_right(a, 2) ^ rotate_right(a, 13) ^ rotate_right(a, 22);
    uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
    uint32_t t2 = sum0 + majority;
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

}  // namespace

void sha256_init(Sha256Context* context) {
  // FIPS 180-4 section 5.3.3.
  static const uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::memcpy(context->state, kInitial, sizeof kInitial);
  context->length = 0;
  context->buffered = 0;
  std::memset(context->buffer, 0, sizeof context->buffer);
}

void sha256_update(Sha256Context* context, const unsigned char* input, std::size_t length) {
  context->length += length;
  if (context->buffered > 0) {
    std::size_t take = 64 - context->buffered;
    if (take > length) take = length;
    std::memcpy(context->buffer + context->buffered, input, take);
    context->buffered += take;
    input += take;
    length -= take;
    if (context->buffered < 64) return;
    transform(context->state, context->buffer);
    context->buffered = 0;
  }
  for (; length >= 64; input += 64, length -= 64) transform(context->state, input);
  if (length > 0) std::memcpy(context->buffer, input, length);
  context->buffered = length;
}

void sha256_final(unsigned char digest[32], Sha256Context* context) {
  // FIPS 180-4 section 5.1.1: a 1 bit, zeros up to 56 bytes of the last block, then the
  // message length in bits as a big-endian 64-bit number.
  const uint64_t bits = context->length * 8;
  unsigned char padding[72] = {0x80};
  std::size_t pad = context->buffered < 56 ? 56 - context->buffered : 120 - context->buffered;
  for (int i = 0; i < 8; ++i) padding[pad + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
  sha256_update(context, padding, pad + 8);
  for (int i = 0; i < 8; ++i) {
    digest[4 * i] = static_cast<unsigned char>(context->state[i] >> 24);
    digest[4 * i + 1] = static_cast<unsigned char>(context->state[i] >> 16);
    digest[4 * i + 2] = static_cast<unsigned char>(context->state[i] >> 8);
    digest[4 * i + 3] = static_cast<unsigned char>(context->state[i]);
  }
  std::memset(context, 0, sizeof *context);
}

std::string sha256(const std::string& bytes) {
  Sha256Context context;
  sha256_init(&context);
  sha256_update(&context, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  unsigned char digest[32];
  sha256_final(digest, &context);
  return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}
