// Base64: the buffer encoder against a reference, the decoder on any text (round trip of
// every encoding, bounds of its output), and the attachment streamer's layout: lines of
// 76 characters ended by CR LF, one empty line at the end, and the original bytes back.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "codec/base64.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string reference_encode(const std::string& bytes) {
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t n = static_cast<unsigned char>(bytes[i]) << 16;
    std::size_t left = bytes.size() - i;
    if (left > 1) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (left > 2) n |= static_cast<unsigned char>(bytes[i + 2]);
    text.push_back(kAlphabet[(n >> 18) & 63]);
    text.push_back(kAlphabet[(n >> 12) & 63]);
    text.push_back(left > 1 ? kAlphabet[(n >> 6) & 63] : '=');
    text.push_back(left > 2 ? kAlphabet[n & 63] : '=');
  }
  return text;
}

// Decodes into a buffer of exactly the documented size, so that AddressSanitizer sees any
// write past it. -1 when the decoder refuses the text.
int decode(const std::string& text, std::string* bytes) {
  std::vector<unsigned char> dest(3 * (text.size() / 4) + 1);
  std::size_t count = 0;
  int result = base64_decode(text.data(), text.size(), dest.data(), &count);
  if (result == 0) {
    FUZZ_CHECK(count <= 3 * (text.size() / 4), text);
    FUZZ_CHECK(dest[count] == 0, text);
    bytes->assign(reinterpret_cast<const char*>(dest.data()), count);
  }
  return result;
}

void check_buffers(const std::string& input) {
  const std::string expected = reference_encode(input);
  FUZZ_CHECK(base64_encode(input) == expected, input);

  // The capacity test: too small leaves dest untouched, enough gives the text.
  std::size_t capacity = input.empty() ? 0 : static_cast<unsigned char>(input[0]) % 16 +
                                                 expected.size() - (expected.size() > 8 ? 8 : 0);
  std::vector<char> dest(capacity + 1, '#');
  std::size_t needed = 0;
  int result = base64_encode(reinterpret_cast<const unsigned char*>(input.data()), input.size(),
                             dest.data(), capacity, &needed);
  FUZZ_CHECK(needed == expected.size(), input);
  if (capacity < expected.size()) {
    FUZZ_CHECK(result == -2, input);
    for (std::size_t i = 0; i < capacity; ++i) FUZZ_CHECK(dest[i] == '#', input);
  } else {
    FUZZ_CHECK(result == 0 && std::string(dest.data(), expected.size()) == expected, input);
  }

  std::string back;
  FUZZ_CHECK(decode(expected, &back) == 0 && back == input, input);
  std::string ignored;
  decode(input, &ignored);  // any text: only the bounds are checked
}

void check_stream(const std::string& input) {
  const std::string source = scratch_path("base64-source");
  const std::string work = scratch_path("base64-work");
  write_file(source, input);
  std::FILE* file = std::fopen(work.c_str(), "wb");
  FUZZ_CHECK(file != nullptr, work);
  FUZZ_CHECK(base64_stream_file(source, file) == 0, input);
  std::fclose(file);
  std::string part = read_file(work);
  std::remove(source.c_str());
  std::remove(work.c_str());

  const std::string head = "Content-Transfer-Encoding: base64\r\n\r\n";
  FUZZ_CHECK(part.compare(0, head.size(), head) == 0, part);
  // Each full line of 76 characters ends in CR LF, a shorter last one does not; one more
  // CR LF ends the part (after a full last line, that is an empty line).
  const std::string encoded = reference_encode(input);
  std::string expected = head;
  for (std::size_t at = 0; at < encoded.size(); at += 76) {
    expected += encoded.substr(at, 76);
    if (encoded.size() - at >= 76) expected += "\r\n";
  }
  expected += "\r\n";
  FUZZ_CHECK(part == expected, "size " + std::to_string(input.size()) + ", ends with " +
                                   part.substr(part.size() > 84 ? part.size() - 84 : 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size > 16384) return 0;
  std::string input(reinterpret_cast<const char*>(data), size);
  check_buffers(input);
  check_stream(input);
  return 0;
}
