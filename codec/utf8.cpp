// UTF-8 checks and piecewise conversion to code page 932.
#include "codec/utf8.h"

#include <cstring>

#include "platform/text.h"

namespace {

// Walks the text: each well-formed sequence, ill-formed byte or cut-off end is reported
// to `step` as (position, sequence length: > 0, 0 for one ill-formed byte, -1 for the
// cut-off rest).
template <typename Step>
void walk(const char* data, std::size_t length, Step step) {
  std::size_t i = 0;
  while (i < length) {
    int sequence = platform::utf8_sequence_length(data + i, length - i);
    step(i, sequence);
    if (sequence < 0) return;
    i += sequence > 0 ? static_cast<std::size_t>(sequence) : 1;
  }
}

// The number of bytes at the end of the text that begin a sequence the text cuts off.
std::size_t cut_off_tail(const char* data, std::size_t length) {
  std::size_t tail = 0;
  walk(data, length, [&](std::size_t at, int sequence) {
    if (sequence < 0) tail = length - at;
  });
  return tail;
}

}  // namespace

bool is_utf8(const std::string& text) {
  bool ok = true;
  walk(text.data(), text.size(), [&](std::size_t, int sequence) {
    if (sequence <= 0) ok = false;
  });
  return ok;
}

void utf8_scan(Utf8Scan* scan, const char* data, std::size_t length) {
  if (!scan->well_formed) return;
  std::string joined;
  if (!scan->carry.empty()) {
    // The cut-off sequence is completed by the first bytes of this piece.
    joined = scan->carry;
    joined.append(data, length < 4 ? length : 4);
    int sequence = platform::utf8_sequence_length(joined.data(), joined.size());
    if (sequence == 0) {
      scan->well_formed = false;
      return;
    }
    if (sequence < 0) {  // still cut off: the piece was shorter than the rest
      scan->carry = joined;
      return;
    }
    const std::size_t used = static_cast<std::size_t>(sequence) - scan->carry.size();
    scan->carry.clear();
    scan->non_ascii = true;
    data += used;
    length -= used;
  }
  walk(data, length, [&](std::size_t at, int sequence) {
    if (sequence == 0) scan->well_formed = false;
    if (sequence < 0) scan->carry.assign(data + at, length - at);
    if (sequence > 1) scan->non_ascii = true;
  });
  if (!scan->well_formed) scan->carry.clear();
}

bool utf8_scan_well_formed(const Utf8Scan& scan) { return scan.well_formed && scan.carry.empty(); }

void utf8_stream_convert(Utf8Stream* stream, std::string* piece) {
  std::string text;
  text.swap(stream->carry);
  text += *piece;
  std::size_t begin = 0;
  if (!stream->started) {
    // The mark may itself arrive cut: wait until three bytes are at hand.
    if (stream->drop_bom && text.size() < 3 && std::memcmp(text.data(), kUtf8Bom, text.size()) == 0) {
      stream->carry = text;
      piece->clear();
      return;
    }
    stream->started = true;
    if (stream->drop_bom && text.compare(0, 3, kUtf8Bom) == 0) begin = 3;
  }
  const std::size_t tail = cut_off_tail(text.data() + begin, text.size() - begin);
  stream->carry.assign(text, text.size() - tail, tail);
  piece->clear();
  stream->replaced += platform::utf8_to_cp932(text.data() + begin, text.size() - begin - tail, piece);
}

std::string utf8_stream_finish(Utf8Stream* stream) {
  std::string out;
  std::size_t begin = 0;
  if (!stream->started && stream->drop_bom && stream->carry.compare(0, 3, kUtf8Bom) == 0) begin = 3;
  stream->started = true;
  if (stream->carry.size() > begin) {
    stream->replaced +=
        platform::utf8_to_cp932(stream->carry.data() + begin, stream->carry.size() - begin, &out);
  }
  stream->carry.clear();
  return out;
}

namespace {

// U+0080 to U+009F are control characters to a UTF-8 terminal (U+009B begins a command);
// U+202A to U+202E and U+2066 to U+2069 (the bidirectional embeddings, overrides and
// isolates) reorder what the terminal shows after them.
bool terminal_control(const unsigned char* c, int sequence) {
  if (sequence == 2) return c[0] == 0xC2 && c[1] < 0xA0;
  if (sequence != 3 || c[0] != 0xE2) return false;
  return (c[1] == 0x80 && c[2] >= 0xAA && c[2] <= 0xAE) ||
         (c[1] == 0x81 && c[2] >= 0xA6 && c[2] <= 0xA9);
}

}  // namespace

std::string utf8_for_terminal(const char* data, std::size_t length) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(length);
  walk(data, length, [&](std::size_t at, int sequence) {
    const unsigned char* c = reinterpret_cast<const unsigned char*>(data + at);
    if (terminal_control(c, sequence)) {
      // Shown as their bytes in "\x" form, as the other control bytes are.
      for (int i = 0; i < sequence; ++i) {
        out += "\\x";
        out.push_back(kHex[c[i] >> 4]);
        out.push_back(kHex[c[i] & 0x0F]);
      }
    } else if (sequence > 0) {
      out.append(data + at, static_cast<std::size_t>(sequence));
    } else if (sequence == 0) {
      out += "\xef\xbf\xbd";
    } else {
      for (std::size_t i = at; i < length; ++i) out += "\xef\xbf\xbd";
    }
  });
  return out;
}
