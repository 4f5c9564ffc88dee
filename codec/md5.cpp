// MD5 (RFC 1321), HMAC-MD5 (RFC 2104) and the APOP digest (RFC 1939 section 7).
#include "codec/md5.h"

#include <cstring>

namespace {

// RFC 1321 section 3.4: the sine table T[1..64], the per-round shift amounts, and the
// order in which each round takes the sixteen message words.
const uint32_t kSine[64] = {
    0xD76AA478, 0xE8C7B756, 0x242070DB, 0xC1BDCEEE, 0xF57C0FAF, 0x4787C62A, 0xA8304613, 0xFD469501,
    0x698098D8, 0x8B44F7AF, 0xFFFF5BB1, 0x895CD7BE, 0x6B901122, 0xFD987193, 0xA679438E, 0x49B40821,
    0xF61E2562, 0xC040B340, 0x265E5A51, 0xE9B6C7AA, 0xD62F105D, 0x02441453, 0xD8A1E681, 0xE7D3FBC8,
    0x21E1CDE6, 0xC33707D6, 0xF4D50D87, 0x455A14ED, 0xA9E3E905, 0xFCEFA3F8, 0x676F02D9, 0x8D2A4C8A,
    0xFFFA3942, 0x8771F681, 0x6D9D6122, 0xFDE5380C, 0xA4BEEA44, 0x4BDECFA9, 0xF6BB4B60, 0xBEBFBC70,
    0x289B7EC6, 0xEAA127FA, 0xD4EF3085, 0x04881D05, 0xD9D4D039, 0xE6DB99E5, 0x1FA27CF8, 0xC4AC5665,
    0xF4292244, 0x432AFF97, 0xAB9423A7, 0xFC93A039, 0x655B59C3, 0x8F0CCC92, 0xFFEFF47D, 0x85845DD1,
    0x6FA87E4F, 0xFE2CE6E0, 0xA3014314, 0x4E0811A1, 0xF7537E82, 0xBD3AF235, 0x2AD7D2BB, 0xEB86D391,
};
const int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

uint32_t rotate_left(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// Runs the four rounds over one 64-byte block.
void transform(uint32_t state[4], const unsigned char block[64]) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) {
    // Words are little-endian (RFC 1321 section 2).
    x[i] = static_cast<uint32_t>(block[4 * i]) | static_cast<uint32_t>(block[4 * i + 1]) << 8 |
           static_cast<uint32_t>(block[4 * i + 2]) << 16 |
           static_cast<uint32_t>(block[4 * i + 3]) << 24;
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (int i = 0; i < 64; ++i) {
    int round = i / 16;
    uint32_t f;
    int word;
    switch (round) {
      case 0:
        f = (b & c) | (~b & d);
        word = i;
        break;
      case 1:
        f = (b & d) | (c & ~d);
        word = (5 * i + 1) % 16;
        break;
      case 2:
        f = b ^ c ^ d;
        word = (3 * i + 5) % 16;
        break;
      default:
        f = c ^ (b | ~d);
        word = (7 * i) % 16;
        break;
    }
    uint32_t next = b + rotate_left(a + f + kSine[i] + x[word], kShift[round][i % 4]);
    a = d;
    d = c;
    c = b;
    b = next;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

void md5_init(Md5Context* context) {
  context->state[0] = 0x67452301;
  context->state[1] = 0xEFCDAB89;
  context->state[2] = 0x98BADCFE;
  context->state[3] = 0x10325476;
  context->count[0] = 0;
  context->count[1] = 0;
  std::memset(context->buffer, 0, sizeof context->buffer);
}

void md5_update(Md5Context* context, const unsigned char* input, std::size_t length) {
  if (length == 0) return;
  std::size_t used = (context->count[0] >> 3) & 0x3F;
  // The bit count is kept modulo 2^64, low word first.
  uint64_t bits = (static_cast<uint64_t>(context->count[1]) << 32 | context->count[0]) +
                  (static_cast<uint64_t>(length) << 3);
  context->count[0] = static_cast<uint32_t>(bits);
  context->count[1] = static_cast<uint32_t>(bits >> 32);
  std::size_t done = 0;
  if (used > 0) {
    std::size_t room = 64 - used;
    if (length < room) {
      std::memcpy(context->buffer + used, input, length);
      return;
    }
    std::memcpy(context->buffer + used, input, room);
    transform(context->state, context->buffer);
    done = room;
  }
  for (; done + 64 <= length; done += 64) transform(context->state, input + done);
  if (done < length) std::memcpy(context->buffer, input + done, length - done);
}

void md5_final(unsigned char digest[16], Md5Context* context) {
  unsigned char length_bytes[8];
  for (int i = 0; i < 8; ++i) {
    length_bytes[i] = static_cast<unsigned char>(context->count[i / 4] >> (8 * (i % 4)));
  }
  // One 0x80 byte, then zeros up to 56 bytes modulo 64, then the 64-bit bit count.
  static const unsigned char kPadding[64] = {0x80};
  std::size_t used = (context->count[0] >> 3) & 0x3F;
  md5_update(context, kPadding, used < 56 ? 56 - used : 120 - used);
  md5_update(context, length_bytes, 8);
  for (int i = 0; i < 16; ++i) {
    digest[i] = static_cast<unsigned char>(context->state[i / 4] >> (8 * (i % 4)));
  }
  std::memset(context, 0, sizeof *context);
}

void hmac_md5(const unsigned char* text, std::size_t text_length, const unsigned char* key,
              std::size_t key_length, unsigned char digest[16]) {
  unsigned char key_digest[16];
  if (key_length > 64) {
    Md5Context key_context;
    md5_init(&key_context);
    md5_update(&key_context, key, key_length);
    md5_final(key_digest, &key_context);
    key = key_digest;
    key_length = 16;
  }
  unsigned char inner_pad[64] = {};
  unsigned char outer_pad[64] = {};
  if (key_length > 0) {
    std::memcpy(inner_pad, key, key_length);
    std::memcpy(outer_pad, key, key_length);
  }
  for (int i = 0; i < 64; ++i) {
    inner_pad[i] ^= 0x36;
    outer_pad[i] ^= 0x5C;
  }
  Md5Context context;
  md5_init(&context);
  md5_update(&context, inner_pad, 64);
  md5_update(&context, text, text_length);
  unsigned char inner_digest[16];
  md5_final(inner_digest, &context);
  md5_init(&context);
  md5_update(&context, outer_pad, 64);
  md5_update(&context, inner_digest, 16);
  md5_final(digest, &context);
}

std::string digest_hex(const unsigned char digest[16]) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(32);
  for (int i = 0; i < 16; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 0x0F];
  }
  return hex;
}

std::string apop_digest(const std::string& timestamp, const std::string& password) {
  // Each text counts up to its first zero byte. Two updates instead of one joined work
  // buffer give the same digest and take texts of any length.
  Md5Context context;
  md5_init(&context);
  md5_update(&context, reinterpret_cast<const unsigned char*>(timestamp.c_str()),
             std::strlen(timestamp.c_str()));
  md5_update(&context, reinterpret_cast<const unsigned char*>(password.c_str()),
             std::strlen(password.c_str()));
  unsigned char digest[16];
  md5_final(digest, &context);
  return digest_hex(digest);
}
