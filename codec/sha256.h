// SHA-256 (FIPS 180-4 section 6.2), for the PKCE code challenge of the browser sign-in
// (RFC 7636 section 4.2).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct Sha256Context {
  uint32_t state[8];
  uint64_t length;  // message length in bytes so far
  unsigned char buffer[64];
  std::size_t buffered;
};

void sha256_init(Sha256Context* context);
void sha256_update(Sha256Context* context, const unsigned char* input, std::size_t length);
// Writes the 32-byte digest and clears the context to zero.
void sha256_final(unsigned char digest[32], Sha256Context* context);

// The 32 digest bytes of bytes, as a string.
std::string sha256(const std::string& bytes);
