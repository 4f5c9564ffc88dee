// The Shift_JIS to ISO-2022-JP converter and the header encoded-words, on any bytes.
// Properties: line ends are neither added, dropped nor split; every line end and the end
// of a converted text are in a one-byte set; bytes from the first NUL on are kept; an
// encoded word decodes and holds no line end.
#include <cstdint>
#include <string>

#include "codec/base64.h"
#include "codec/jis_convert.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/iso2022.h"

namespace {

void check_conversion(const std::string& input) {
  std::string output = input;
  convert_sjis_to_jis(output);
  const std::string detail = input + " -> " + output;
  FUZZ_CHECK(count_of(output, "\r") == count_of(input, "\r"), detail);
  FUZZ_CHECK(count_of(output, "\n") == count_of(input, "\n"), detail);
  FUZZ_CHECK(count_of(output, "\r\n") == count_of(input, "\r\n"), detail);
  std::size_t nul = input.find('\0');
  if (nul != std::string::npos) {
    std::string tail = input.substr(nul);
    FUZZ_CHECK(output.size() >= tail.size() &&
                   output.compare(output.size() - tail.size(), tail.size(), tail) == 0,
               detail);
  }
  if (!has_shift_bytes(input)) {
    FUZZ_CHECK(first_unclosed_line_end(output) == std::string::npos, detail);
  }
  // Text of printable ASCII and line ends is never touched.
  bool plain = true;
  for (unsigned char c : input) plain = plain && ((c >= 0x20 && c < 0x7f) || c == '\r' || c == '\n');
  if (plain) FUZZ_CHECK(output == input, detail);
}

void check_encoded_word(const std::string& input) {
  std::string word = input;
  encode_header_word(word);
  word.resize(word.find('\0') == std::string::npos ? word.size() : word.find('\0'));
  const std::string prefix = "=?ISO-2022-JP?B?";
  // Only a word the encoder made is judged; a text that already begins like one is not.
  if (input.compare(0, prefix.size(), prefix) == 0 || word.compare(0, prefix.size(), prefix) != 0) return;
  const std::string detail = input + " -> " + word;
  FUZZ_CHECK(word.size() >= prefix.size() + 2 && word.compare(word.size() - 2, 2, "?=") == 0,
             detail);
  std::string inner = word.substr(prefix.size(), word.size() - prefix.size() - 2);
  FUZZ_CHECK(inner.find_first_of("\r\n") == std::string::npos, detail);
  std::string decoded(3 * (inner.size() / 4) + 1, '\0');
  std::size_t count = 0;
  FUZZ_CHECK(base64_decode(inner.data(), inner.size(),
                           reinterpret_cast<unsigned char*>(&decoded[0]), &count) == 0,
             detail);
  decoded.resize(count);
  if (!has_shift_bytes(input.substr(0, input.find('\0')))) {
    FUZZ_CHECK(first_unclosed_line_end(decoded) == std::string::npos, detail + " = " + decoded);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size > 8192) return 0;
  std::string input(reinterpret_cast<const char*>(data), size);
  check_conversion(input);
  check_encoded_word(input);
  return 0;
}
