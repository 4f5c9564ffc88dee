// Japanese text conversion: decides whether a text needs converting, converts Shift_JIS
// to ISO-2022-JP (RFC 1468) and wraps header values holding kanji in one MIME
// encoded-word (RFC 2047). Outgoing text leaves kanji with ESC ( J and sends half-width
// katakana as 7-bit bytes between SO and SI.
#include "codec/jis_convert.h"

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

enum class Shift { kPlain, kKanji, kKatakana };

// Writes the sequence that ends the current shift and returns to plain state.
void close_shift(Shift* shift, std::string* out) {
  if (*shift == Shift::kKanji) {
    *out += "\x1b(J";
  } else if (*shift == Shift::kKatakana) {
    *out += static_cast<char>(kShiftIn);
  }
  *shift = Shift::kPlain;
}

// Converts n bytes (none of them zero) of Shift_JIS to ISO-2022-JP.
std::string shift_convert(const unsigned char* text, std::size_t n) {
  std::string out;
  out.reserve(n + n / 2 + 8);
  Shift shift = Shift::kPlain;
  for (std::size_t i = 0; i < n; ++i) {
    unsigned c = text[i];
    if (is_sjis_lead(c)) {
      if (i + 1 >= n) {
        // A lead byte without its trail goes out as it is, in plain state.
        close_shift(&shift, &out);
        out += static_cast<char>(c);
        return out;
      }
      unsigned t = text[++i];
      if (shift != Shift::kKanji) {
        if (shift == Shift::kKatakana) out += static_cast<char>(kShiftIn);
        out += "\x1b$B";
        shift = Shift::kKanji;
      }
      if (is_sjis_trail(t)) {
        JisPair pair =
            sjis_pair_to_jis(static_cast<unsigned char>(c), static_cast<unsigned char>(t));
        out += static_cast<char>(pair.first);
        out += static_cast<char>(pair.second);
      } else {
        // An invalid pair is passed on unchanged inside the kanji shift.
        out += static_cast<char>(c);
        out += static_cast<char>(t);
      }
    } else if (in_range(c, 0xA0, 0xDF)) {
      if (shift == Shift::kKanji) {
        out += "\x1b(J";
        shift = Shift::kPlain;
      }
      if (shift != Shift::kKatakana) {
        out += static_cast<char>(kShiftOut);
        shift = Shift::kKatakana;
      }
      out += static_cast<char>(c & 0x7F);
    } else {
      // ASCII, control bytes, and 0x80, 0xFD-0xFF, which go out unchanged.
      close_shift(&shift, &out);
      out += static_cast<char>(c);
    }
  }
  close_shift(&shift, &out);
  return out;
}

}  // namespace

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

// Each branch below either decides, moves past the bytes it took ("go on"), or moves
// to the byte it took without passing it, so that byte is judged afresh ("examine").
TextClass detect_text_class(const unsigned char* text, std::size_t length) {
  bool kanji_mark = false;     // K: a pair that EUC-JP and Shift_JIS both allow
  bool katakana_mark = false;  // H: 0x8E followed by a half-width katakana byte
  std::size_t i = 0;
  while (i < length) {
    unsigned c = text[i];
    if (c == kEsc) {
      EscapeStep step = scan_escape(text, length, &i);
      if (step == EscapeStep::kJis) return TextClass::kJis;
      if (step == EscapeStep::kRanOut) break;
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
        katakana_mark = true;
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
      kanji_mark = true;
      i += 2;
      continue;
    }
    if (b == 0xFD || b == 0xFE) return TextClass::kEucJp;
    i += 1;
  }
  if (kanji_mark) return TextClass::kEucOrShiftJis;
  if (katakana_mark) return TextClass::kShiftJis;
  return TextClass::kAscii;
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
  std::string converted = shift_convert(bytes, length);
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
