// Password protection: the machine key, the ECB use of Blowfish with little-endian
// halves, and the stored form of hex digits.
#include "config/password.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "config/blowfish.h"
#include "platform/platform.h"

namespace {

// The built-in part of the machine key. Fixed for every run on every machine; changing
// it makes every stored password come back wrong.
const unsigned char kBuiltInKeyBytes[7] = {0xD6, 0x3B, 0x8A, 0x71, 0x2E, 0x80, 0x5C};

constexpr std::size_t kKeyCapacity = 256;
constexpr std::size_t kIdentifierCapacity = 249;
// The cipher-text and plain-text work areas of one stored form.
constexpr std::size_t kBufferBytes = 256;

// One cipher state for the process, rebuilt by every key set-up. The POP3 login and
// the SMTP authentication use it one after the other, never at the same time.
BlowfishState g_cipher;

uint32_t read_half(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void write_half(uint32_t half, unsigned char* bytes) {
  bytes[0] = static_cast<unsigned char>(half);
  bytes[1] = static_cast<unsigned char>(half >> 8);
  bytes[2] = static_cast<unsigned char>(half >> 16);
  bytes[3] = static_cast<unsigned char>(half >> 24);
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

std::string text_to_zero(const std::string& text) { return std::string(text.c_str()); }

}  // namespace

void password_key_setup() { password_key_setup(platform::machine_id()); }

void password_key_setup(const std::string& machine_identifier) {
  unsigned char key[kKeyCapacity] = {};
  for (std::size_t i = 0; i < 7; ++i) {
    unsigned char byte = kBuiltInKeyBytes[i] & 0x7F;
    // A zero would end the key text early.
    key[i] = byte != 0 ? byte : '0';
  }
  std::string identifier = text_to_zero(machine_identifier);
  if (identifier.size() > kIdentifierCapacity) identifier.resize(kIdentifierCapacity);
  std::memcpy(key + 7, identifier.data(), identifier.size());
  blowfish_key_setup(&g_cipher, key, 7 + identifier.size());
}

std::size_t padded_length(std::size_t n) { return (n + 7) / 8 * 8; }

std::size_t encipher_buffer(const unsigned char* source, unsigned char* destination,
                            std::size_t n) {
  std::size_t padded = padded_length(n);
  for (std::size_t offset = 0; offset < padded; offset += 8) {
    unsigned char* block = destination + offset;
    std::size_t take = n - offset < 8 ? n - offset : 8;
    std::memcpy(block, source + offset, take);
    std::memset(block + take, 0, 8 - take);
    uint32_t left = read_half(block);
    uint32_t right = read_half(block + 4);
    blowfish_encipher(g_cipher, &left, &right);
    write_half(left, block);
    write_half(right, block + 4);
  }
  return padded;
}

void decipher_buffer(const unsigned char* source, unsigned char* destination, std::size_t n) {
  for (std::size_t offset = 0; offset < n; offset += 8) {
    unsigned char* block = destination + offset;
    std::memcpy(block, source + offset, 8);
    uint32_t left = read_half(block);
    uint32_t right = read_half(block + 4);
    blowfish_decipher(g_cipher, &left, &right);
    write_half(left, block);
    write_half(right, block + 4);
  }
}

namespace {

const char kHexDigits[] = "0123456789ABCDEF";

std::string hex_form(const unsigned char* bytes, std::size_t length) {
  std::string form;
  form.reserve(2 * length);
  for (std::size_t i = 0; i < length; ++i) {
    form += kHexDigits[bytes[i] >> 4];
    form += kHexDigits[bytes[i] & 0x0F];
  }
  return form;
}

}  // namespace

bool store_password(const std::string& password, std::string* stored) {
  return store_password(password, stored, platform::machine_id());
}

bool store_password(const std::string& password, std::string* stored,
                    const std::string& machine_identifier) {
  std::string text = text_to_zero(password);
  // A longer password would need 512 digits, more than the settings field keeps.
  if (text.size() > kMaxStoredPassword) return false;
  password_key_setup(machine_identifier);
  unsigned char cipher_text[kBufferBytes] = {};
  std::size_t length = encipher_buffer(reinterpret_cast<const unsigned char*>(text.data()),
                                       cipher_text, text.size());
  *stored = hex_form(cipher_text, length);
  return true;
}

bool store_token(const std::string& token, std::size_t max_length, std::string* stored) {
  std::string text = text_to_zero(token);
  if (text.size() > max_length) return false;
  password_key_setup();
  std::vector<unsigned char> cipher_text(padded_length(text.size()) + 8);
  std::size_t length = encipher_buffer(reinterpret_cast<const unsigned char*>(text.data()),
                                       cipher_text.data(), text.size());
  *stored = hex_form(cipher_text.data(), length);
  return true;
}

std::string recover_token(const std::string& stored) {
  return recover_token(stored, platform::machine_id());
}

std::string recover_token(const std::string& stored, const std::string& machine_identifier) {
  password_key_setup(machine_identifier);
  std::string digits = text_to_zero(stored);
  std::size_t count = digits.size() / 2;
  // Room for whole blocks and the zero byte that ends a text filling them.
  std::vector<unsigned char> cipher_text(padded_length(count) + 8, 0);
  for (std::size_t i = 0; i < count; ++i) {
    cipher_text[i] =
        static_cast<unsigned char>(hex_value(digits[2 * i]) << 4 | hex_value(digits[2 * i + 1]));
  }
  std::vector<unsigned char> plain_text(cipher_text.size(), 0);
  decipher_buffer(cipher_text.data(), plain_text.data(), count);
  return std::string(reinterpret_cast<const char*>(plain_text.data()));
}

std::string recover_password(const std::string& stored) {
  return recover_password(stored, platform::machine_id());
}

std::string recover_password(const std::string& stored, const std::string& machine_identifier) {
  password_key_setup(machine_identifier);
  std::string digits = text_to_zero(stored);
  // Whole pairs only, and no more than the work area holds; the rest of the last block
  // stays zero, so a damaged form still gives the same text every time.
  std::size_t count = digits.size() / 2;
  if (count > kBufferBytes) count = kBufferBytes;
  unsigned char cipher_text[kBufferBytes] = {};
  for (std::size_t i = 0; i < count; ++i) {
    cipher_text[i] =
        static_cast<unsigned char>(hex_value(digits[2 * i]) << 4 | hex_value(digits[2 * i + 1]));
  }
  unsigned char plain_text[kBufferBytes + 1] = {};
  decipher_buffer(cipher_text, plain_text, count);
  // The text ends at its first zero byte; the extra byte past the work area ends a text
  // that fills all 256 bytes.
  std::string password(reinterpret_cast<const char*>(plain_text));
  if (password.size() > kBufferBytes - 1) password.resize(kBufferBytes - 1);
  return password;
}
