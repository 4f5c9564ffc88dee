// Password protection: passwords are stored as uppercase hex digits of their Blowfish
// ECB ciphertext under a key bound to the machine. A block's 8 bytes are two 32-bit
// halves read and written little-endian (bytes 0-3 the left half, 4-7 the right), so
// stored forms differ from what big-endian Blowfish tools produce.
#pragma once

#include <cstddef>
#include <string>

// The longest password whose stored form fits the settings field (31 blocks).
constexpr std::size_t kMaxStoredPassword = 248;

// Keys the process-wide cipher state with the machine key: seven built-in bytes followed
// by the machine identifier (up to its first zero byte, at most 249 bytes). The plain
// form reads the identifier from platform::machine_id().
void password_key_setup();
void password_key_setup(const std::string& machine_identifier);

// n rounded up to a multiple of 8.
std::size_t padded_length(std::size_t n);
// Enciphers the first n bytes of source into destination with the current key, the last
// block filled up with zero bytes; returns padded_length(n), which destination must hold.
std::size_t encipher_buffer(const unsigned char* source, unsigned char* destination, std::size_t n);
// Deciphers ceil(n / 8) whole blocks of source into destination; both must hold
// padded_length(n) bytes.
void decipher_buffer(const unsigned char* source, unsigned char* destination, std::size_t n);

// Builds the stored form of a password (its text up to the first zero byte) into
// *stored. False, and *stored unchanged, when the password is longer than
// kMaxStoredPassword: its stored form would not fit the settings field.
bool store_password(const std::string& password, std::string* stored);
bool store_password(const std::string& password, std::string* stored,
                    const std::string& machine_identifier);
// The plain-text password of a stored form: the deciphered text up to its first zero
// byte, at most 255 bytes. Upper- and lower-case digits are read alike. A wrong or
// damaged form gives a wrong text, the same on every call: only the first 512 digits
// count, an odd last digit is ignored, a partial last block is filled up with zero
// bytes, and a character that is not a hex digit counts as the digit 0.
std::string recover_password(const std::string& stored);
std::string recover_password(const std::string& stored, const std::string& machine_identifier);

// The same for an access token (SMTP_AUTH 4 and 5), which is often thousands of bytes
// long: the stored form is made the same way, and no length limit applies but the one
// the caller sets (store_token refuses a token longer than max_length). recover_token
// reads every digit pair, so the token comes back whole.
bool store_token(const std::string& token, std::size_t max_length, std::string* stored);
std::string recover_token(const std::string& stored);
std::string recover_token(const std::string& stored, const std::string& machine_identifier);
