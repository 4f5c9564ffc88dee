// Text in the user's character set. The program's own texts, its arguments and its
// settings are code page 932 (Shift_JIS) bytes; a terminal on POSIX may expect UTF-8
// instead, and a text file may be UTF-8 on any system. These conversions are the
// system's own (iconv on POSIX, the Win32 code-page functions on Windows).
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// The geta mark, written for a character that code page 932 cannot hold.
constexpr const char* kGetaMark = "\x81\xac";

// True when the terminal expects UTF-8: on POSIX, the codeset of the locale that LC_ALL,
// LC_CTYPE and LANG choose is UTF-8. Always false on Windows, whose console takes the
// code page 932 bytes as they are. Decided on the first call; the process's own locale
// is left as it was ("C"), so no library call changes its behaviour.
bool terminal_is_utf8();

// The length of the well-formed UTF-8 sequence (RFC 3629) at the start of data, of which
// `available` bytes are at hand: 1 to 4; 0 when the first byte cannot begin one (or the
// bytes after it break it); -1 when the bytes at hand are a correct beginning that ends
// too early.
inline int utf8_sequence_length(const char* data, std::size_t available) {
  if (available == 0) return -1;
  const unsigned char c = static_cast<unsigned char>(data[0]);
  if (c < 0x80) return 1;
  int length;
  unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;   // no overlong forms
    if (c == 0xED) high = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  for (int i = 1; i < length; ++i) {
    if (static_cast<std::size_t>(i) >= available) return -1;
    const unsigned char b = static_cast<unsigned char>(data[i]);
    if (i == 1 ? (b < low || b > high) : (b < 0x80 || b > 0xBF)) return 0;
  }
  return length;
}

// Appends the code page 932 form of UTF-8 text to *out. Each character that code page
// 932 cannot hold, and each byte that is not part of a well-formed UTF-8 sequence,
// becomes the geta mark. Returns the number of geta marks written.
std::size_t utf8_to_cp932(const char* data, std::size_t length, std::string* out);

// Appends the UTF-8 form of code page 932 text to *out. A byte that does not begin a
// code page 932 character becomes U+FFFD, so that nothing is dropped.
void cp932_to_utf8(const char* data, std::size_t length, std::string* out);

}  // namespace platform
