// Base64 (RFC 2045): buffer encoder and decoder for SMTP authentication, and the streamer
// that turns an attachment into the Base64 body of its MIME part inside a work file.
#include "codec/base64.h"

#include <cstdint>
#include <cstring>
#include <memory>

#include "platform/platform.h"

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of each 7-bit character, or kInvalid. "=" is invalid here; the decoder tests for
// it itself before it consults the table.
constexpr unsigned char kInvalid = 0xFF;

struct DecodeTable {
  unsigned char value[128];
  DecodeTable() {
    std::memset(value, kInvalid, sizeof value);
    for (int i = 0; i < 64; ++i) value[static_cast<unsigned char>(kAlphabet[i])] = i;
  }
};

const DecodeTable& decode_table() {
  static const DecodeTable table;
  return table;
}

// Value of a character, or kInvalid for anything outside the alphabet (bytes 0x80 and
// above included).
unsigned char char_value(char c) {
  unsigned char byte = static_cast<unsigned char>(c);
  if (byte >= 128) return kInvalid;
  return decode_table().value[byte];
}

// Writes the four characters of a whole group of three bytes.
inline void encode_three(const unsigned char* in, char* out) {
  out[0] = kAlphabet[in[0] >> 2];
  out[1] = kAlphabet[((in[0] & 3) << 4) | (in[1] >> 4)];
  out[2] = kAlphabet[((in[1] & 0x0F) << 2) | (in[2] >> 6)];
  out[3] = kAlphabet[in[2] & 0x3F];
}

// Writes the four characters of a final group holding one or two bytes.
inline void encode_tail(const unsigned char* in, std::size_t count, char* out) {
  unsigned char group[3] = {in[0], count > 1 ? in[1] : static_cast<unsigned char>(0), 0};
  encode_three(group, out);
  out[3] = '=';
  if (count == 1) out[2] = '=';
}

// The characters of every 12-bit value, two at a time: a group of three bytes is two
// lookups and two 2-byte copies. 8 KiB, built once on first use.
struct PairTable {
  char pair[4096][2];
  PairTable() {
    for (int v = 0; v < 4096; ++v) {
      pair[v][0] = kAlphabet[v >> 6];
      pair[v][1] = kAlphabet[v & 63];
    }
  }
};

const PairTable& pair_table() {
  static const PairTable table;
  return table;
}

// Encodes whole 57-byte lines: each becomes 76 characters and CR LF. Six bytes at a time
// (two groups, eight characters) keep the loads and stores few; byte loads and memcpy
// keep it independent of the machine's word order and alignment.
char* encode_lines(const unsigned char* in, std::size_t lines, char* out) {
  const char(*pair)[2] = pair_table().pair;
  for (; lines > 0; --lines) {
    for (int g = 0; g < 18; g += 2, in += 6, out += 8) {
      const uint32_t a = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
      const uint32_t b = (uint32_t{in[3]} << 16) | (uint32_t{in[4]} << 8) | in[5];
      std::memcpy(out, pair[a >> 12], 2);
      std::memcpy(out + 2, pair[a & 0xFFF], 2);
      std::memcpy(out + 4, pair[b >> 12], 2);
      std::memcpy(out + 6, pair[b & 0xFFF], 2);
    }
    const uint32_t c = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
    std::memcpy(out, pair[c >> 12], 2);
    std::memcpy(out + 2, pair[c & 0xFFF], 2);
    out[4] = '\r';
    out[5] = '\n';
    in += 3;
    out += 6;
  }
  return out;
}

// An attachment line carries 19 groups: 57 bytes become 76 characters and CR LF.
constexpr std::size_t kLineBytes = 57;
constexpr std::size_t kLineText = 78;
// The attachment is read in blocks of whole lines, so a block always ends a line.
constexpr std::size_t kBlockLines = 4096;
constexpr std::size_t kBlockBytes = kLineBytes * kBlockLines;

const char kPartHeader[] = "Content-Transfer-Encoding: base64\r\n\r\n";

// Reads until the block is full or the file gives no more. A read error counts as the end
// of the file.
std::size_t fill_block(std::FILE* file, unsigned char* block) {
  std::size_t filled = 0;
  while (filled < kBlockBytes) {
    std::size_t got = std::fread(block + filled, 1, kBlockBytes - filled, file);
    if (got == 0) break;
    filled += got;
  }
  return filled;
}

}  // namespace

const char* base64_encode_group(int count, const unsigned char* group) {
  static char result[5];
  if (count >= 3) {
    encode_three(group, result);
  } else {
    encode_tail(group, static_cast<std::size_t>(count < 1 ? 0 : count), result);
  }
  result[4] = '\0';
  return result;
}

int base64_encode(const unsigned char* source, std::size_t n, char* dest, std::size_t capacity,
                  std::size_t* needed) {
  std::size_t length = 4 * ((n + 2) / 3);
  if (needed != nullptr) *needed = length;
  if (capacity < length) return -2;
  char* out = dest;
  std::size_t whole = n / 3 * 3;
  for (std::size_t i = 0; i < whole; i += 3, out += 4) encode_three(source + i, out);
  if (n > whole) encode_tail(source + whole, n - whole, out);
  if (length < capacity) dest[length] = '\0';
  return 0;
}

std::string base64_encode(const std::string& bytes) {
  std::size_t length = 4 * ((bytes.size() + 2) / 3);
  std::string text(length + 1, '\0');
  base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &text[0],
                text.size(), nullptr);
  text.resize(length);
  return text;
}

std::string base64url_encode(const std::string& bytes) {
  std::string text = base64_encode(bytes);
  while (!text.empty() && text.back() == '=') text.pop_back();
  for (char& c : text) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return text;
}

int base64_decode(const char* text, std::size_t length, unsigned char* dest, std::size_t* count) {
  if (dest == nullptr) return -1;
  std::size_t groups = length / 4;
  std::size_t available = length;
  // A challenge may arrive as "+ text"; the marker is skipped but the group count stays
  // that of the whole length. A group that would reach past the given text is refused
  // like an invalid character, so nothing beyond the text is ever read.
  if (length >= 2 && text[0] == '+' && text[1] == ' ') {
    text += 2;
    available -= 2;
  }
  if (available > 0 && text[0] == '\r') return -1;
  unsigned char* out = dest;
  for (std::size_t g = 0; g < groups; ++g, text += 4) {
    if (4 * g + 4 > available) return -1;
    unsigned char a = char_value(text[0]);
    unsigned char b = char_value(text[1]);
    bool pad3 = text[2] == '=';
    bool pad4 = text[3] == '=';
    unsigned char c = pad3 ? 0 : char_value(text[2]);
    unsigned char d = pad4 ? 0 : char_value(text[3]);
    if (a == kInvalid || b == kInvalid || c == kInvalid || d == kInvalid) return -1;
    *out++ = static_cast<unsigned char>((a << 2) | (b >> 4));
    if (pad3) continue;
    *out++ = static_cast<unsigned char>((b << 4) | (c >> 2));
    if (pad4) continue;
    *out++ = static_cast<unsigned char>((c << 6) | d);
  }
  *out = '\0';
  if (count != nullptr) *count = static_cast<std::size_t>(out - dest);
  return 0;
}

int base64_stream_file(const std::string& path, std::FILE* work_file) {
  // A regular file only, never waited on: a FIFO or device is refused like a missing file.
  std::FILE* file = platform::open_for_reading(path);
  if (file == nullptr) return 1;
  bool written =
      std::fwrite(kPartHeader, 1, sizeof kPartHeader - 1, work_file) == sizeof kPartHeader - 1;

  // Whole lines of 57 bytes become 76 characters and CR LF; the block size is a multiple
  // of 57, so only the last block can end in a partial line. That line is ended by the
  // final CR LF below; a file whose last line is full (19 groups, the last one whole or
  // not) ends with an empty line instead.
  std::unique_ptr<unsigned char[]> block(new unsigned char[kBlockBytes]);
  std::unique_ptr<char[]> text(new char[kBlockLines * kLineText + kLineText]);
  std::size_t got;
  do {
    got = fill_block(file, block.get());
    const unsigned char* in = block.get();
    char* out = text.get();
    std::size_t left = got;
    const std::size_t lines = left / kLineBytes;
    out = encode_lines(in, lines, out);
    in += lines * kLineBytes;
    left -= lines * kLineBytes;
    std::size_t whole = left / 3 * 3;
    for (std::size_t i = 0; i < whole; i += 3, out += 4) encode_three(in + i, out);
    if (left > whole) {
      encode_tail(in + whole, left - whole, out);
      out += 4;
      // A partial group that is the line's 19th still fills the line, which then ends
      // like every full line; the final CR LF below adds the empty line after it.
      if (whole == kLineBytes - 3) {
        *out++ = '\r';
        *out++ = '\n';
      }
    }
    std::size_t size = static_cast<std::size_t>(out - text.get());
    if (written && size > 0) written = std::fwrite(text.get(), 1, size, work_file) == size;
  } while (written && got == kBlockBytes);
  std::fclose(file);

  // A failed write stays on the work file's error indicator for the caller to judge;
  // the flush makes a full disk show there now rather than only at the caller's close.
  if (written && std::fwrite("\r\n", 1, 2, work_file) == 2) std::fflush(work_file);
  return 0;
}
