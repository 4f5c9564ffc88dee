// Japanese text conversion: decides whether a text needs converting, converts Shift_JIS
// to ISO-2022-JP (RFC 1468) and wraps header values holding kanji in one MIME
// encoded-word (RFC 2047). Outgoing text leaves kanji with ESC ( J and sends half-width
// katakana as 7-bit bytes between SO and SI.
#include "codec/jis_convert.h"

#include <cstring>

#include "codec/base64.h"

TextClass g_leave_alone_class = TextClass::kNone;

namespace {

constexpr unsigned char kEsc = 0x1B;
constexpr unsigned char kShiftOut = 0x0E;
constexpr unsigned char kShiftIn = 0x0F;
// The binary test and the tie-break scan look no further than this.
constexpr std::size_t kScanLimit = 1024;

bool in_range(unsigned c, unsigned low, unsigned high) { return c >= low && c <= high; }

// What an ESC at text[*i] tells the two scans: a JIS designation (ESC $ B, ESC $ @,
// ESC K), that the text ran out, or that the byte after ESC (or after ESC $) must be
// examined afresh, in which case *i is moved to it.
enum class EscapeStep { kJis, kRanOut, kExamine };

EscapeStep scan_escape(const unsigned char* text, std::size_t length, std::size_t* i) {
  if (*i + 1 >= length) return EscapeStep::kRanOut;
  unsigned b = text[*i + 1];
  if (b == 0x4B) return EscapeStep::kJis;
  if (b != 0x24) {
    *i += 1;
    return EscapeStep::kExamine;
  }
  if (*i + 2 >= length) return EscapeStep::kRanOut;
  unsigned d = text[*i + 2];
  if (d == 0x42 || d == 0x40) return EscapeStep::kJis;
  *i += 2;
  return EscapeStep::kExamine;
}

// Length of the text up to its first zero byte.
std::size_t text_length(const std::string& text) {
  std::size_t end = text.find('\0');
  return end == std::string::npos ? text.size() : end;
}

using Shift = JisShift;

// Writes the sequence that ends the current shift and returns to plain state.
void close_shift(Shift* shift, std::string* out) {
  if (*shift == Shift::kKanji) {
    *out += "\x1b(J";
  } else if (*shift == Shift::kKatakana) {
    *out += static_cast<char>(kShiftIn);
  }
  *shift = Shift::kPlain;
}

// Converts n bytes (none of them zero) of Shift_JIS to ISO-2022-JP, appending to *out,
// in the shift state *shift. With at_end the text ends here: a final lead byte goes out
// alone and the shift is closed. Otherwise a final lead byte waits for its second byte:
// the result is the number of bytes used (n, or n - 1 when the last one waits).
std::size_t shift_convert(const unsigned char* text, std::size_t n, bool at_end, Shift* shift,
                          std::string* out) {
  for (std::size_t i = 0; i < n; ++i) {
    unsigned c = text[i];
    if (is_sjis_lead(c)) {
      if (i + 1 >= n) {
        if (!at_end) return i;
        // A lead byte without its trail goes out as it is, in plain state.
        close_shift(shift, out);
        out->push_back(static_cast<char>(c));
        return n;
      }
      unsigned t = text[i + 1];
      if (t < 0x40) {
        // No second byte can be this low: the lead byte goes out alone, in plain state,
        // and t is judged afresh, so a CR or LF is never swallowed into a pair.
        close_shift(shift, out);
        out->push_back(static_cast<char>(c));
        continue;
      }
      ++i;
      if (*shift != Shift::kKanji) {
        if (*shift == Shift::kKatakana) out->push_back(static_cast<char>(kShiftIn));
        *out += "\x1b$B";
        *shift = Shift::kKanji;
      }
      if (is_sjis_trail(t)) {
        JisPair pair =
            sjis_pair_to_jis(static_cast<unsigned char>(c), static_cast<unsigned char>(t));
        out->push_back(static_cast<char>(pair.first));
        out->push_back(static_cast<char>(pair.second));
      } else {
        // An invalid pair is passed on unchanged inside the kanji shift.
        out->push_back(static_cast<char>(c));
        out->push_back(static_cast<char>(t));
      }
    } else if (in_range(c, 0xA0, 0xDF)) {
      if (*shift == Shift::kKanji) {
        *out += "\x1b(J";
        *shift = Shift::kPlain;
      }
      if (*shift != Shift::kKatakana) {
        out->push_back(static_cast<char>(kShiftOut));
        *shift = Shift::kKatakana;
      }
      out->push_back(static_cast<char>(c & 0x7F));
    } else {
      // ASCII, control bytes, and 0x80, 0xFD-0xFF, which go out unchanged.
      close_shift(shift, out);
      out->push_back(static_cast<char>(c));
    }
  }
  if (at_end) close_shift(shift, out);
  return n;
}

// The class scan over text[from, length). It keeps its two marks in *kanji_mark (K: a
// pair that EUC-JP and Shift_JIS both allow) and *katakana_mark (H: 0x8E followed by a
// half-width katakana byte). With at_end the text ends at length and the scan always
// gives a class. Otherwise running out of bytes gives kNone with *stop at the byte where
// the scan must go on once more bytes have come (every byte before it is judged).
TextClass detect_scan(const unsigned char* text, std::size_t length, std::size_t from,
                      bool at_end, bool* kanji_mark, bool* katakana_mark, std::size_t* stop) {
  // Each branch below either decides, moves past the bytes it took ("go on"), or moves
  // to the byte it took without passing it, so that byte is judged afresh ("examine").
  std::size_t i = from;
  while (i < length) {
    unsigned c = text[i];
    if (c == kEsc) {
      std::size_t at = i;
      EscapeStep step = scan_escape(text, length, &i);
      if (step == EscapeStep::kJis) return TextClass::kJis;
      if (step == EscapeStep::kRanOut) {
        i = at;
        break;
      }
      continue;
    }
    if (c <= 0x80 || c == 0xA0 || c == 0xFF) {
      ++i;
      continue;
    }
    if (i + 1 >= length) break;
    unsigned b = text[i + 1];
    if (c == 0x8E) {
      if (in_range(b, 0xA0, 0xDF)) {
        *katakana_mark = true;
        i += 2;
        continue;
      }
      if (is_sjis_trail(b)) return TextClass::kShiftJis;
      i += 1;
      continue;
    }
    if (in_range(c, 0x81, 0x9F)) {
      if (is_sjis_trail(b)) return TextClass::kShiftJis;
      i += 1;
      continue;
    }
    if (in_range(c, 0xA1, 0xDF) || c == 0xFD || c == 0xFE) {
      if (in_range(b, 0xA1, 0xDF)) return resolve_euc_or_sjis(text + i + 2, length - (i + 2));
      if (in_range(b, 0xE0, 0xFE)) return TextClass::kEucJp;
      i += 1;
      continue;
    }
    // c is 0xE0 to 0xFC.
    if (in_range(b, 0x40, 0xA0) && b != 0x7F) return TextClass::kShiftJis;
    if (in_range(b, 0xA1, 0xFC)) {
      *kanji_mark = true;
      i += 2;
      continue;
    }
    if (b == 0xFD || b == 0xFE) return TextClass::kEucJp;
    i += 1;
  }
  if (!at_end) {
    *stop = i;
    return TextClass::kNone;
  }
  if (*kanji_mark) return TextClass::kEucOrShiftJis;
  if (*katakana_mark) return TextClass::kShiftJis;
  return TextClass::kAscii;
}

const unsigned char* ubytes(const char* data) {
  return reinterpret_cast<const unsigned char*>(data);
}

// A text held while deciding is now known to need converting.
void start_converting(JisStream* s, bool at_end, std::string* out) {
  s->mode = JisStream::Mode::kConverting;
  std::size_t used = shift_convert(ubytes(s->held.data()), s->held.size(), at_end, &s->shift, out);
  s->held.erase(0, used);
}

// Bytes of the text (no zero among them) while its class is still open.
void decide_more(JisStream* s, const char* data, std::size_t n, std::string* out) {
  s->held.append(data, n);
  if (!s->binary_judged) {
    if (s->held.size() < kScanLimit) return;
    s->binary_judged = true;
    if (looks_binary(ubytes(s->held.data()), s->held.size())) {
      s->mode = JisStream::Mode::kUnchanged;
      *out += s->held;
      s->held.clear();
      return;
    }
  }
  std::size_t stop = 0;
  TextClass found = detect_scan(ubytes(s->held.data()), s->held.size(), s->scan_from, false,
                                &s->kanji_mark, &s->katakana_mark, &stop);
  // Either mark already rules out the ASCII class, the one class left unconverted here.
  if (found != TextClass::kNone || s->kanji_mark || s->katakana_mark) {
    start_converting(s, false, out);
    return;
  }
  s->scan_from = stop;
  if (s->held.size() >= kJisDecideLimit) {
    // Plain so far: what is judged goes out as it is, the unfinished pattern stays.
    out->append(s->held, 0, stop);
    s->held.erase(0, stop);
    s->scan_from = 0;
  }
}

// The end of the text (the end of the input, or its first zero byte).
void end_text(JisStream* s, std::string* out) {
  if (s->mode == JisStream::Mode::kDeciding) {
    const unsigned char* held = ubytes(s->held.data());
    bool binary = !s->binary_judged && looks_binary(held, s->held.size());
    std::size_t stop = 0;
    TextClass found = binary ? TextClass::kAscii
                             : detect_scan(held, s->held.size(), s->scan_from, true,
                                           &s->kanji_mark, &s->katakana_mark, &stop);
    if (found == TextClass::kAscii) {
      *out += s->held;
      s->held.clear();
    } else {
      start_converting(s, true, out);
    }
  } else if (s->mode == JisStream::Mode::kConverting) {
    shift_convert(ubytes(s->held.data()), s->held.size(), true, &s->shift, out);
    s->held.clear();
  }
  s->mode = JisStream::Mode::kUnchanged;
  s->text_ended = true;
}

}  // namespace

void jis_stream_feed(JisStream* s, const char* data, std::size_t n, std::string* out) {
  if (s->mode == JisStream::Mode::kUnchanged) {
    out->append(data, n);
    return;
  }
  const void* zero = std::memchr(data, 0, n);
  std::size_t text = zero == nullptr ? n : static_cast<std::size_t>(
                                               static_cast<const char*>(zero) - data);
  if (s->mode == JisStream::Mode::kDeciding) {
    decide_more(s, data, text, out);
  } else if (text > 0) {
    std::size_t from = 0;
    if (!s->held.empty()) {
      // A lead byte from the last piece meets its second byte.
      s->held.push_back(data[0]);
      shift_convert(ubytes(s->held.data()), 2, false, &s->shift, out);
      s->held.clear();
      from = 1;
    }
    std::size_t used = shift_convert(ubytes(data) + from, text - from, false, &s->shift, out);
    s->held.assign(data + from + used, text - from - used);
  }
  if (zero != nullptr) {
    if (!s->text_ended) end_text(s, out);
    out->append(data + text, n - text);
  }
}

void jis_stream_end(JisStream* s, std::string* out) {
  if (!s->text_ended) end_text(s, out);
}

bool is_sjis_lead(unsigned c) { return in_range(c, 0x81, 0x9F) || in_range(c, 0xE0, 0xFC); }

bool is_sjis_trail(unsigned c) { return in_range(c, 0x40, 0xFC) && c != 0x7F; }

bool looks_binary(const unsigned char* text, std::size_t length) {
  std::size_t considered = length < kScanLimit ? length : kScanLimit;
  std::size_t count = 0;
  for (std::size_t i = 0; i < considered; ++i) {
    unsigned c = text[i];
    if (c <= 0x06 || c == 0x0B || in_range(c, 0x10, 0x19) || in_range(c, 0x1C, 0x1F)) ++count;
  }
  return count * 32 > considered;
}

TextClass detect_text_class(const unsigned char* text, std::size_t length) {
  bool kanji_mark = false;
  bool katakana_mark = false;
  std::size_t stop = 0;
  return detect_scan(text, length, 0, true, &kanji_mark, &katakana_mark, &stop);
}

// Running out of bytes anywhere, also in the middle of a pair, means EUC-JP.
TextClass resolve_euc_or_sjis(const unsigned char* bytes, std::size_t count) {
  std::size_t length = count < kScanLimit ? count : kScanLimit;
  std::size_t i = 0;
  while (i < length) {
    unsigned c = bytes[i];
    if (c == kEsc) {
      EscapeStep step = scan_escape(bytes, length, &i);
      if (step == EscapeStep::kJis) return TextClass::kJis;
      if (step == EscapeStep::kRanOut) break;
      continue;
    }
    if (c <= 0x80 || c == 0xA0) {
      ++i;
      continue;
    }
    if (c == 0x8E) {
      i += 2;  // the next byte is skipped unexamined
      continue;
    }
    if (c >= 0xE0) return TextClass::kEucJp;
    if (i + 1 >= length) break;
    unsigned b = bytes[i + 1];
    if (c <= 0x9F) {
      if (is_sjis_trail(b)) return TextClass::kShiftJis;
    } else if (in_range(b, 0xE0, 0xFE)) {  // c is 0xA1 to 0xDF
      return TextClass::kEucJp;
    }
    i += 1;
  }
  return TextClass::kEucJp;
}

JisPair sjis_pair_to_jis(unsigned char lead, unsigned char trail) {
  // Two Shift_JIS lead bytes cover the 94 cells of two JIS rows: a trail below 0x9F
  // means the odd row, from 0x9F on the even row. Arithmetic is modulo 256.
  unsigned row_base = lead <= 0x9F ? 0x70 : 0xB0;
  JisPair pair{};
  if (trail < 0x9F) {
    pair.first = static_cast<unsigned char>(2 * (lead - row_base) - 1);
    pair.second = static_cast<unsigned char>(trail < 0x7F ? trail - 0x1F : trail - 0x20);
  } else {
    pair.first = static_cast<unsigned char>(2 * (lead - row_base));
    pair.second = static_cast<unsigned char>(trail - 0x7E);
  }
  return pair;
}

void convert_sjis_to_jis(std::string& text) {
  std::size_t length = text_length(text);
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data());
  if (looks_binary(bytes, length)) return;
  TextClass text_class = detect_text_class(bytes, length);
  if (text_class == TextClass::kAscii || text_class == g_leave_alone_class) return;
  // Every other class is converted as Shift_JIS; 7-bit JIS passes through unchanged.
  std::string converted;
  converted.reserve(length + length / 2 + 8);
  Shift shift = Shift::kPlain;
  shift_convert(bytes, length, true, &shift, &converted);
  text.replace(0, length, converted);
}

void build_encoded_word(const std::string& text, std::string* output) {
  *output = "=?ISO-2022-JP?B?";
  *output += base64_encode(text.substr(0, text_length(text)));
  *output += "?=";
}

void encode_header_word(std::string& text) {
  // Text that is already JIS is taken as it is.
  TextClass remembered = g_leave_alone_class;
  g_leave_alone_class = TextClass::kJis;
  convert_sjis_to_jis(text);
  g_leave_alone_class = remembered;
  std::size_t length = text_length(text);
  if (text.substr(0, length).find("\x1b$B") != std::string::npos) {
    std::string word;
    build_encoded_word(text, &word);
    text.replace(0, length, word);
  }
}
