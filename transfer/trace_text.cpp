// Escaping of server bytes for the debug trace.
#include "transfer/trace_text.h"

std::string trace_text(const char* data, std::size_t length) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(data[i]);
    bool control = (c < 0x20 && c != '\r' && c != '\n' && c != '\t') || c == 0x7F;
    if (!control) {
      text.push_back(static_cast<char>(c));
      continue;
    }
    text += "\\x";
    text.push_back(kHex[c >> 4]);
    text.push_back(kHex[c & 0x0F]);
  }
  return text;
}
