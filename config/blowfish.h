// The Blowfish block cipher (Schneier, 1993): 16 rounds, the standard initial tables
// drawn from the hexadecimal digits of pi, and the standard key schedule. It works on
// 32-bit halves; how bytes become halves is the caller's business.
#pragma once

#include <cstddef>
#include <cstdint>

struct BlowfishState {
  uint32_t p[18] = {};
  uint32_t s[4][256] = {};
};

// Rebuilds the state from the initial tables and keys it with length key bytes (taken
// cyclically; bytes past the 72nd are never reached). A length of 0 leaves the P-array
// unmixed but still runs the schedule.
void blowfish_key_setup(BlowfishState* state, const unsigned char* key, std::size_t length);
// Enciphers or deciphers one block given as its left and right halves, in place.
void blowfish_encipher(const BlowfishState& state, uint32_t* left, uint32_t* right);
void blowfish_decipher(const BlowfishState& state, uint32_t* left, uint32_t* right);
