// A reader of ISO-2022-JP shift states for the fuzz properties: where a line ends, the
// text must be back in a one-byte set (ASCII or JIS X 0201 Roman) and not shifted out.
#pragma once

#include <cstddef>
#include <string>

// The offset of the first CR or LF met while kanji or half-width katakana is in effect, or
// of the end of the text when it ends so; std::string::npos when there is none.
inline std::size_t first_unclosed_line_end(const std::string& text) {
  bool kanji = false;
  bool shifted_out = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == 0x1b && i + 2 < text.size()) {
      if (text[i + 1] == '$' && (text[i + 2] == 'B' || text[i + 2] == '@')) kanji = true;
      if (text[i + 1] == '(' && (text[i + 2] == 'B' || text[i + 2] == 'J')) kanji = false;
    } else if (c == 0x0e) {
      shifted_out = true;
    } else if (c == 0x0f) {
      shifted_out = false;
    } else if ((c == '\r' || c == '\n') && (kanji || shifted_out)) {
      return i;
    }
  }
  return kanji || shifted_out ? text.size() : std::string::npos;
}

inline std::size_t count_of(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

inline bool has_shift_bytes(const std::string& text) {
  return text.find_first_of(std::string("\x1b\x0e\x0f", 3)) != std::string::npos;
}
