// MD5 (RFC 1321), HMAC-MD5 (RFC 2104) and the APOP digest (RFC 1939).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct Md5Context {
  uint32_t state[4];
  uint32_t count[2];  // message length in bits, low word first
  unsigned char buffer[64];
};

void md5_init(Md5Context* context);
void md5_update(Md5Context* context, const unsigned char* input, std::size_t length);
// Writes the 16-byte digest and clears the context to zero.
void md5_final(unsigned char digest[16], Md5Context* context);

// HMAC-MD5 with a 64-byte block; a key longer than 64 bytes is replaced by its MD5.
void hmac_md5(const unsigned char* text, std::size_t text_length, const unsigned char* key,
              std::size_t key_length, unsigned char digest[16]);

// A 16-byte digest as 32 lowercase hex digits, as APOP and CRAM-MD5 send it.
std::string digest_hex(const unsigned char digest[16]);

// The MD5 of the timestamp followed by the password (each up to its first zero byte, of
// any length), as 32 lowercase hex digits.
std::string apop_digest(const std::string& timestamp, const std::string& password);
