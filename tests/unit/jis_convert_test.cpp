// The Shift_JIS to ISO-2022-JP converter: text classes, the binary test, shifts, and
// header encoded-words. Bytes are written as escapes; each case names itself by index.
#include "codec/jis_convert.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

const unsigned char* bytes_of(const std::string& text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

std::string hex_dump(const std::string& text) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
    out += ' ';
  }
  return out;
}

std::string converted(std::string text) {
  convert_sjis_to_jis(text);
  return text;
}

TEST(JisConvert, ConvertsTextByteForByte) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      // Two kanji.
      {"\x8a\xbf\x8e\x9a", "\x1b\x24\x42\x34\x41\x3b\x7a\x1b\x28\x4a"},
      // Three kanji, two half-width katakana, three letters.
      {"\x93\xfa\x96\x7b\x8c\xea\xb6\xc5\x61\x62\x63",
       "\x1b\x24\x42\x46\x7c\x4b\x5c\x38\x6c\x1b\x28\x4a\x0e\x36\x45\x0f\x61\x62\x63"},
      // The shift closes before the line end.
      {"\x41\x42\x43\x8a\xbf\x8e\x9a\x0a",
       "\x41\x42\x43\x1b\x24\x42\x34\x41\x3b\x7a\x1b\x28\x4a\x0a"},
      // One half-width katakana is classed ASCII and stays raw; two are shifted.
      {"\xb1\x0a", "\xb1\x0a"},
      {"\xb1\xb2\x0a", "\x0e\x31\x32\x0f\x0a"},
      // A final lead byte alone is classed ASCII.
      {"\x41\x42\x43\x81", "\x41\x42\x43\x81"},
      // One counted control byte in five makes the text binary; TAB does not count.
      {"\x41\x01\x42\x8a\xbf", "\x41\x01\x42\x8a\xbf"},
      {"\x41\x09\x42\x8a\xbf", "\x41\x09\x42\x1b\x24\x42\x34\x41\x1b\x28\x4a"},
      // A lead byte before a byte that no second byte can be (below 0x40) goes out alone
      // in plain state; that byte is then judged on its own.
      {"\x8a\xbf\x82\x20\x41", "\x1b\x24\x42\x34\x41\x1b\x28\x4a\x82\x20\x41"},
      // A lead byte before CR LF does not swallow the CR.
      {"\x8a\xbf\x81\r\nnext", "\x1b\x24\x42\x34\x41\x1b\x28\x4a\x81\r\nnext"},
      // An invalid second byte of 0x40 or above stays with its lead in the kanji shift.
      {"\x8a\xbf\x82\x7f\x41", "\x1b\x24\x42\x34\x41\x82\x7f\x1b\x28\x4a\x41"},
      // A lead byte at the end closes the shift and goes out unchanged.
      {"\x8a\xbf\x8a", "\x1b\x24\x42\x34\x41\x1b\x28\x4a\x8a"},
      // Katakana then kanji (SI before ESC $ B); 0xA0 becomes a blank inside SO.
      {"\xb6\xc5\x8a\xbf", "\x0e\x36\x45\x0f\x1b\x24\x42\x34\x41\x1b\x28\x4a"},
      {"\x8a\xbf\xa0", "\x1b\x24\x42\x34\x41\x1b\x28\x4a\x0e\x20\x0f"},
      // 0x80 and 0xFD-0xFF go out unchanged in plain state.
      {"\x8a\xbf\x80\xfd\xff", "\x1b\x24\x42\x34\x41\x1b\x28\x4a\x80\xfd\xff"},
      // Already JIS: converted again, and being 7-bit it passes through.
      {"\x1b\x24\x42\x34\x41\x1b\x28\x42", "\x1b\x24\x42\x34\x41\x1b\x28\x42"},
      // User-defined area: the arithmetic alone, no substitution.
      {"\xf0\x40", "\x1b\x24\x42\x7f\x21\x1b\x28\x4a"},
      {"", ""},
      // The text ends at a zero byte; what follows is kept as it was.
      {std::string("\x8a\xbf\0\x8a\xbf", 5),
       std::string("\x1b\x24\x42\x34\x41\x1b\x28\x4a\0\x8a\xbf", 11)},
  };
  int index = 0;
  for (const auto& c : cases) {
    EXPECT_EQ(hex_dump(converted(c.in)), hex_dump(c.out)) << "case " << index;
    ++index;
  }
}

TEST(JisConvert, LongTextConvertsWhole) {
  std::string in, out;
  for (int i = 0; i < 3000; ++i) {
    in += "\x8a\xbf\x41";
    out += "\x1b\x24\x42\x34\x41\x1b\x28\x4a\x41";
  }
  EXPECT_EQ(converted(in), out);
  // Control bytes past the first 1,024 do not make a text binary.
  std::string tail_controls = std::string(1024, 'a') + std::string(200, '\x01') + "\x8a\xbf";
  EXPECT_NE(converted(tail_controls), tail_controls);
}

TEST(JisConvert, NoLineEndIsSwallowedOrShifted) {
  // Whatever byte a lead byte meets, a CR or LF in the text comes out once, as itself,
  // with the shift closed before it.
  for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
    if (!is_sjis_lead(lead)) continue;
    for (const char* end : {"\r\n", "\n", "\r"}) {
      std::string text = std::string("\x8a\xbf") + static_cast<char>(lead) + end + "x";
      std::string out = converted(text);
      std::string tail = std::string(1, static_cast<char>(lead)) + end + "x";
      ASSERT_GE(out.size(), tail.size() + 3);
      EXPECT_EQ(out.substr(out.size() - tail.size() - 3), "\x1b(J" + tail)
          << "lead " << lead << " before " << hex_dump(end);
    }
  }
}

// Text made of the pieces the converter treats differently, in random order.
std::string random_text(std::mt19937* random, std::size_t pieces) {
  static const char* const kPieces[] = {
      "\x8a\xbf", "\x8e\x9a", "\xb1", "\xb6\xc5", "a", "bc", " ", "\r", "\n", "\x1b$B",
      "\x1b(J",   "\x81",     "\x80", "\xff",     "\xa4\xa2", "\xe0\xa1", "\x09", "\x01",
      "\x82\x7f", "\xfc\xfc", ".",
  };
  std::string text;
  for (std::size_t i = 0; i < pieces; ++i) {
    text += kPieces[(*random)() % (sizeof kPieces / sizeof kPieces[0])];
  }
  return text;
}

std::string streamed(const std::string& text, const std::vector<std::size_t>& cuts) {
  JisStream stream;
  std::string out;
  std::size_t from = 0;
  for (std::size_t cut : cuts) {
    jis_stream_feed(&stream, text.data() + from, cut - from, &out);
    from = cut;
  }
  jis_stream_feed(&stream, text.data() + from, text.size() - from, &out);
  jis_stream_end(&stream, &out);
  return out;
}

TEST(JisStream, PiecesConvertLikeTheWholeText) {
  std::mt19937 random(1209);
  for (int round = 0; round < 400; ++round) {
    std::string text = random_text(&random, 1 + random() % 40);
    if (round % 4 == 0) text = std::string(random() % 1100, 'a') + text;  // past the binary test
    // Every single cut, then random sets of cuts (empty pieces included).
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
      ASSERT_EQ(hex_dump(streamed(text, {cut})), hex_dump(converted(text)))
          << "text " << hex_dump(text) << " cut at " << cut;
    }
    std::vector<std::size_t> cuts;
    for (std::size_t at = 0; at < text.size(); at += random() % 4) cuts.push_back(at);
    ASSERT_EQ(streamed(text, cuts), converted(text)) << "text " << hex_dump(text);
  }
}

TEST(JisStream, ZeroByteEndsTheTextAcrossPieces) {
  std::string text("\x8a\xbf\x8a\0\x8a\xbf", 6);
  EXPECT_EQ(streamed(text, {3}), converted(text));
  EXPECT_EQ(streamed(text, {4}), converted(text));
}

TEST(JisStream, TextsBeyondTheDecisionLimit) {
  // A long Japanese text converts as a whole would, whatever the piece size.
  std::string kanji;
  for (int i = 0; i < 40000; ++i) kanji += "\x8a\xbf\xb1";
  std::vector<std::size_t> cuts;
  for (std::size_t at = 7; at < kanji.size(); at += 4093) cuts.push_back(at);
  EXPECT_TRUE(streamed(kanji, cuts) == converted(kanji));
  // Plain text longer than the limit, then kanji: the plain part goes out as it is (with
  // a stray byte that alone would not be converted) and the kanji are converted.
  std::string plain = std::string(kJisDecideLimit + 100, 'a') + "\x80";
  std::string text = plain + std::string(kJisDecideLimit, 'b') + "\x8a\xbf";
  std::string out = streamed(text, {kJisDecideLimit, 2 * kJisDecideLimit + 50});
  EXPECT_EQ(out.substr(0, plain.size()), plain);
  EXPECT_EQ(out.substr(out.size() - 8), "\x1b$B4A\x1b(J");
}

TEST(JisConvert, BinaryTest) {
  for (int c = 0; c < 0x20; ++c) {
    std::string one(1, static_cast<char>(c));
    bool counted = c <= 0x06 || c == 0x0b || (c >= 0x10 && c <= 0x19) || c >= 0x1c;
    EXPECT_EQ(looks_binary(bytes_of(one), 1), counted) << "byte " << c;
  }
  EXPECT_FALSE(looks_binary(bytes_of(""), 0));
  // One counted byte in 32 is still text; in 31 it is binary.
  std::string text = std::string(31, 'a') + "\x01";
  EXPECT_FALSE(looks_binary(bytes_of(text), text.size()));
  EXPECT_TRUE(looks_binary(bytes_of(text) + 1, text.size() - 1));
  // Only the first 1,024 bytes are looked at.
  std::string late = std::string(1024, 'a') + std::string(1024, '\x01');
  EXPECT_FALSE(looks_binary(bytes_of(late), late.size()));
}

TEST(JisConvert, DetectsTextClass) {
  const struct {
    std::string text;
    TextClass expected;
  } cases[] = {
      {"", TextClass::kAscii},
      {"plain text\r\n", TextClass::kAscii},
      {"\x1b\x24\x42", TextClass::kJis},
      {"\x1b\x24\x40", TextClass::kJis},
      {"\x1b\x4b", TextClass::kJis},
      {"\x1b\x28\x4a", TextClass::kAscii},
      {"\x1b\x24", TextClass::kAscii},
      // The byte after ESC $ that is not B or @ is examined afresh.
      {"\x1b\x24\x8a\xbf", TextClass::kShiftJis},
      {"\x1b\x1b\x24\x42", TextClass::kJis},
      {"\x8e\xb1", TextClass::kShiftJis},  // H alone
      {"\x8e\x40", TextClass::kShiftJis},  // trail test
      {"\x8e\x0a\x8e", TextClass::kAscii},
      {"\x8a\x7f", TextClass::kAscii},          // invalid trail examined: ASCII
      {"\xe0\xa1", TextClass::kEucOrShiftJis},  // K
      {"\xe0\xa1\x8e\xb1", TextClass::kEucOrShiftJis},
      {"\xe0\x41", TextClass::kShiftJis},
      {"\xe0\xa0", TextClass::kShiftJis},
      {"\xe0\xfd", TextClass::kEucJp},
      {"\xe0\x7f\x8a\xbf", TextClass::kShiftJis},
      {"\xa4\xa2", TextClass::kEucJp},  // tie-break with nothing after it
      {"\xa4\xa2\x41\x8a\xbf", TextClass::kShiftJis},
      {"\xa4\xa2\x1b\x24\x42", TextClass::kJis},
      {"\xa4\xe0", TextClass::kEucJp},
      {"\xfd\x41", TextClass::kAscii},
      {"\xb1\x0a", TextClass::kAscii},
      {"\x41\x42\x43\x81", TextClass::kAscii},
      {"\xa0\xff\x80", TextClass::kAscii},
  };
  int index = 0;
  for (const auto& c : cases) {
    EXPECT_EQ(detect_text_class(bytes_of(c.text), c.text.size()), c.expected)
        << "case " << index << ": " << hex_dump(c.text);
    ++index;
  }
}

TEST(JisConvert, TieBreak) {
  const struct {
    std::string bytes;
    TextClass expected;
  } cases[] = {
      {"", TextClass::kEucJp},
      {"\x41\x42", TextClass::kEucJp},
      {"\x8a\xbf", TextClass::kShiftJis},
      {"\x8a", TextClass::kEucJp},          // runs out inside a pair
      {"\x8e\x8a\xbf", TextClass::kEucJp},  // 0x8A skipped, 0xBF runs out
      {"\x8e\x41\x8a\xbf", TextClass::kShiftJis},
      {"\xa4\xe0", TextClass::kEucJp},
      {"\xa4\x8a\xbf", TextClass::kShiftJis},  // the byte after 0xA4 examined afresh
      {"\xe0", TextClass::kEucJp},
      {"\xff\x8a\xbf", TextClass::kEucJp},
      {"\x1b\x4b", TextClass::kJis},
      {"\x1b\x24\x8a\xbf", TextClass::kShiftJis},
      // The scan stops after 1,024 bytes, also within a pair.
      {std::string(1022, 'a') + "\x8a\xbf", TextClass::kShiftJis},
      {std::string(1023, 'a') + "\x8a\xbf", TextClass::kEucJp},
  };
  int index = 0;
  for (const auto& c : cases) {
    EXPECT_EQ(resolve_euc_or_sjis(bytes_of(c.bytes), c.bytes.size()), c.expected)
        << "case " << index;
    ++index;
  }
}

TEST(JisConvert, HeaderWords) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      // Five full-width characters become one encoded-word, unfolded.
      {"\x8c\x8f\x96\xbc\x83\x65\x83\x58\x83\x67", "=?ISO-2022-JP?B?GyRCN29MPiVGJTklSBsoSg==?="},
      {"Weekly report", "Weekly report"},
      {"", ""},
      // Half-width katakana only: shifted, no encoded-word.
      {"\xb1\xb2\xb3", "\x0e\x31\x32\x33\x0f"},
      // Already JIS before any 8-bit byte: not converted again, only wrapped.
      {"\x1b\x24\x42\x34\x41\x1b\x28\x42\x8a\xbf", "=?ISO-2022-JP?B?GyRCNEEbKEKKvw==?="},
      {"\x61\x8a\xbf", "=?ISO-2022-JP?B?YRskQjRBGyhK?="},
  };
  int index = 0;
  for (const auto& c : cases) {
    std::string text = c.in;
    encode_header_word(text);
    EXPECT_EQ(text, c.out) << "case " << index;
    EXPECT_EQ(g_leave_alone_class, TextClass::kNone) << "case " << index;
    ++index;
  }
}

// The largest growth: kanji and half-width katakana in alternation, 11 bytes out for 3
// in. A 255-byte value gives 935 converted bytes and a word of 16 + 4 * 312 + 2.
TEST(JisConvert, HeaderWordOfWorstCaseValue) {
  std::string value;
  for (int i = 0; i < 85; ++i) value += "\x8a\xbf\xb1";
  std::string body = value;
  convert_sjis_to_jis(body);
  EXPECT_EQ(body.size(), 935u);
  encode_header_word(value);
  EXPECT_EQ(value.size(), 1266u);
  EXPECT_EQ(value.find('\n'), std::string::npos);
  EXPECT_EQ(value.compare(0, 16, "=?ISO-2022-JP?B?"), 0);
  EXPECT_EQ(value.compare(value.size() - 2, 2, "?="), 0);
}

// Short texts drawn from the bytes the scans treat specially, each cut at every length:
// under the sanitizer build this shows no scan reads past its text.
TEST(JisConvert, ArbitraryBytesStayInBounds) {
  const unsigned char kAlphabet[] = {0x1b, 0x24, 0x42, 0x40, 0x4b, 0x41, 0x0a, 0x7f, 0x80,
                                     0x81, 0x8a, 0x8e, 0x9f, 0xa0, 0xa4, 0xb1, 0xdf, 0xe0,
                                     0xea, 0xfc, 0xfd, 0xfe, 0xff, 0x00, 0x01};
  std::mt19937 random(20240607);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    for (int i = 0; i < 12; ++i) text += static_cast<char>(kAlphabet[random() % sizeof kAlphabet]);
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
      std::string piece = text.substr(0, cut);
      std::string body = piece;
      convert_sjis_to_jis(body);
      std::string header = piece;
      encode_header_word(header);
      ASSERT_GE(body.size(), piece.size()) << hex_dump(piece);
    }
  }
}

}  // namespace
