// Japanese text conversion: Shift_JIS to ISO-2022-JP (RFC 1468), with ESC ( J to leave
// kanji and half-width katakana sent between SO and SI, and MIME encoded-words for
// header values (RFC 2047, "B" encoding). Texts of any length convert.
//
// A text ends at its first zero byte, as a C string would; any bytes from that zero on
// are kept unchanged after the result.
#pragma once

#include <cstddef>
#include <string>

// Converts the text in place. Binary-looking and ASCII-class text stays unchanged.
void convert_sjis_to_jis(std::string& text);

// A Shift_JIS lead byte (0x81-0x9F, 0xE0-0xFC), which begins a double-byte character, and
// a byte that may follow one as its second byte (0x40-0xFC but 0x7F).
bool is_sjis_lead(unsigned c);
bool is_sjis_trail(unsigned c);

// A text converted in pieces as it arrives (a body line of any length), with memory
// bounded by the piece size: the shift state and an unfinished double-byte character
// carry from piece to piece. Until the text shows what it is, up to kJisDecideLimit bytes
// are held back, so a text that shows it within that many bytes (every text shorter than
// that) converts exactly as convert_sjis_to_jis would convert it whole. Beyond that, the
// bytes before the first sign of Japanese text go out as they are and the text is
// converted from the piece holding that sign on. The leave-alone class plays no part.
constexpr std::size_t kJisDecideLimit = 64 * 1024;

enum class JisShift : unsigned char { kPlain, kKanji, kKatakana };

struct JisStream {
  enum class Mode : unsigned char { kDeciding, kConverting, kUnchanged };
  Mode mode = Mode::kDeciding;
  bool binary_judged = false;
  bool text_ended = false;  // a zero byte ended the text; the rest passes unchanged
  bool kanji_mark = false;
  bool katakana_mark = false;
  JisShift shift = JisShift::kPlain;
  std::size_t scan_from = 0;  // where the class scan goes on in held
  std::string held;           // bytes taken but not yet written
};

// Appends the converted form of the next n bytes of the text to *out.
void jis_stream_feed(JisStream* stream, const char* data, std::size_t n, std::string* out);
// Ends the text: writes what was held back and closes the shift.
void jis_stream_end(JisStream* stream, std::string* out);

// Converts a header value in place: unchanged, its converted form when that holds no
// kanji, or one encoded-word "=?ISO-2022-JP?B?...?=".
void encode_header_word(std::string& text);

// ---------------------------------------------------------------- inner operations
// Exposed for the tests; the operations above are the interface for everyone else.

enum class TextClass { kNone, kAscii, kJis, kShiftJis, kEucJp, kEucOrShiftJis };

// The class that convert_sjis_to_jis leaves unchanged besides ASCII: kNone normally,
// kJis while encode_header_word runs.
extern TextClass g_leave_alone_class;

// True when more than one in 32 of the first min(length, 1024) bytes is a control byte
// of 0x00-0x06, 0x0B, 0x10-0x19 or 0x1C-0x1F.
bool looks_binary(const unsigned char* text, std::size_t length);
// Guesses the code of a text from its first decisive byte pattern.
TextClass detect_text_class(const unsigned char* text, std::size_t length);
// Settles an undecided EUC-JP-or-Shift_JIS pair from (at most 1024 of) the bytes after
// it: kShiftJis, kEucJp or kJis.
TextClass resolve_euc_or_sjis(const unsigned char* bytes, std::size_t count);

struct JisPair {
  unsigned char first;
  unsigned char second;
};
// The JIS X 0208 bytes of a Shift_JIS pair, by the row and cell arithmetic alone (no
// table; bytes outside the standard ranges come out as the arithmetic gives them).
JisPair sjis_pair_to_jis(unsigned char lead, unsigned char trail);

// Writes "=?ISO-2022-JP?B?", the Base64 of text (up to its first zero byte) and "?=" into
// *output, as a single unfolded word.
void build_encoded_word(const std::string& text, std::string* output);
