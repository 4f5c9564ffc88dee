// UTF-8 beside code page 932: the system converters in both directions, the well-formed
// test, the scan and the piecewise conversion of a text that arrives in pieces, and the
// cleaning of a peer's bytes for a UTF-8 terminal.
#include <gtest/gtest.h>

#include <string>

#include "codec/utf8.h"
#include "platform/text.h"

namespace {

const std::string kGeta = "\x81\xac";
// "日本語ﾃｽﾄ" in UTF-8 and in code page 932 (three kanji, three half-width katakana).
const std::string kJapaneseUtf8 = "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xef\xbe\x83\xef\xbd\xbd\xef\xbe\x84";
const std::string kJapaneseSjis = "\x93\xfa\x96\x7b\x8c\xea\xc3\xbd\xc4";
const std::string kEmoji = "\xf0\x9f\x98\x80";  // U+1F600

std::string to_cp932(const std::string& text, std::size_t* replaced = nullptr) {
  std::string out;
  std::size_t count = platform::utf8_to_cp932(text.data(), text.size(), &out);
  if (replaced != nullptr) *replaced = count;
  return out;
}

std::string to_utf8(const std::string& text) {
  std::string out;
  platform::cp932_to_utf8(text.data(), text.size(), &out);
  return out;
}

// The text converted in two pieces cut at `cut`, through the piecewise converter.
std::string in_two_pieces(const std::string& text, std::size_t cut, bool drop_bom,
                          std::size_t* replaced) {
  Utf8Stream stream;
  stream.drop_bom = drop_bom;
  std::string first = text.substr(0, cut), second = text.substr(cut);
  utf8_stream_convert(&stream, &first);
  utf8_stream_convert(&stream, &second);
  std::string out = first + second + utf8_stream_finish(&stream);
  *replaced = stream.replaced;
  return out;
}

TEST(Utf8SequenceLength, AcceptsOnlyWellFormedSequences) {
  struct Case {
    std::string bytes;
    int length;
  } cases[] = {
      {"A", 1},           {"\xc3\xa9", 2},     {"\xe3\x81\x82", 3}, {kEmoji, 4},
      {"\xf4\x8f\xbf\xbf", 4},                 // U+10FFFF, the last one
      {"\x80", 0},        {"\xbf", 0},                               // continuation bytes alone
      {"\xc0\xaf", 0},    {"\xc1\xbf", 0},     {"\xe0\x9f\xbf", 0},  // overlong forms
      {"\xed\xa0\x80", 0},                                           // a surrogate
      {"\xf4\x90\x80\x80", 0}, {"\xf5\x80\x80\x80", 0}, {"\xff", 0},  // beyond U+10FFFF
      {"\xe3\x41\x82", 0},                                           // broken by ASCII
      {"\xe3\x81", -1},   {"\xf0\x9f\x98", -1}, {"", -1},            // cut off
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::utf8_sequence_length(c.bytes.data(), c.bytes.size()), c.length)
        << testing::PrintToString(c.bytes);
  }
}

TEST(Utf8ToCp932, ConvertsJapaneseAndKeepsAscii) {
  std::size_t replaced = 9;
  EXPECT_EQ(to_cp932("abc " + kJapaneseUtf8 + "\r\n", &replaced), "abc " + kJapaneseSjis + "\r\n");
  EXPECT_EQ(replaced, 0u);
  // The full-width forms a Windows keyboard types, and the ideographic space.
  EXPECT_EQ(to_cp932("\xef\xbd\x9e\xef\xbc\x8d\xe3\x80\x80"), "\x81\x60\x81\x7c\x81\x40");
  EXPECT_EQ(to_cp932(std::string("a\0b", 3)), std::string("a\0b", 3));
  EXPECT_EQ(to_cp932(""), "");
}

TEST(Utf8ToCp932, EveryCharacterWithoutAFormBecomesOneGetaMark) {
  std::size_t replaced = 0;
  // An emoji between kanji, and a character from outside Japanese (Hangul).
  EXPECT_EQ(to_cp932("\xe6\x97\xa5" + kEmoji + "\xe6\x9c\xac\xea\xb0\x80x", &replaced),
            "\x93\xfa" + kGeta + "\x96\x7b" + kGeta + "x");
  EXPECT_EQ(replaced, 2u);
  // Ill-formed bytes: each one a mark of its own, the text around them intact.
  EXPECT_EQ(to_cp932("a\xff" "b\xe3\x81", &replaced), "a" + kGeta + "b" + kGeta + kGeta);
  EXPECT_EQ(replaced, 3u);
  // Many in a row, beyond any internal block size.
  std::string many;
  for (int i = 0; i < 3000; ++i) many += kEmoji;
  std::string expected;
  for (int i = 0; i < 3000; ++i) expected += kGeta;
  EXPECT_EQ(to_cp932(many, &replaced), expected);
  EXPECT_EQ(replaced, 3000u);
}

TEST(Cp932ToUtf8, ConvertsTheProgramsTextsAndNeverDropsAByte) {
  EXPECT_EQ(to_utf8("ERR-0012:" + kJapaneseSjis + " \n"), "ERR-0012:" + kJapaneseUtf8 + " \n");
  // The white square, the geta mark and the full-width colon of the program's texts.
  EXPECT_EQ(to_utf8("\x81\xa0\x81\xac\x81\x46"), "\xe2\x96\xa1\xe3\x80\x93\xef\xbc\x9a");
  // A backslash and a tilde stay ASCII, as the console shows them.
  EXPECT_EQ(to_utf8("\\~"), "\\~");
  // Bytes that begin no character, and a lead byte at the end: U+FFFD each, the rest kept.
  const std::string replacement = "\xef\xbf\xbd";
  EXPECT_EQ(to_utf8("a\xff" "b\x81"), "a" + replacement + "b" + replacement);
  // ISO-2022-JP escapes (a debug trace of a sent body line) pass unchanged.
  EXPECT_EQ(to_utf8("\x1b$B4A\x1b(J\r\n"), "\x1b$B4A\x1b(J\r\n");
}

TEST(Utf8Conversions, RoundTripOfEveryDoubleByteCharacterOfARow) {
  // Row 0x88 (kanji) through both directions.
  std::string sjis;
  for (int trail = 0x9f; trail <= 0xfc; ++trail) {
    sjis += '\x88';
    sjis += static_cast<char>(trail);
  }
  const std::string utf8 = to_utf8(sjis);
  EXPECT_TRUE(is_utf8(utf8));
  EXPECT_EQ(utf8.find("\xef\xbf\xbd"), std::string::npos);
  EXPECT_EQ(to_cp932(utf8), sjis);
}

TEST(IsUtf8, TellsUtf8FromShiftJis) {
  EXPECT_TRUE(is_utf8(""));
  EXPECT_TRUE(is_utf8("plain ascii"));
  EXPECT_TRUE(is_utf8(kJapaneseUtf8));
  EXPECT_FALSE(is_utf8(kJapaneseSjis));
  EXPECT_FALSE(is_utf8(kJapaneseUtf8.substr(0, 4)));  // cut inside a character
}

TEST(Utf8Scan, JudgesTheWholeTextWhereverThePiecesAreCut) {
  const std::string text = "ab" + kJapaneseUtf8 + kEmoji + "\n";
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    Utf8Scan scan;
    utf8_scan(&scan, text.data(), cut);
    utf8_scan(&scan, text.data() + cut, text.size() - cut);
    EXPECT_TRUE(utf8_scan_well_formed(scan)) << cut;
    EXPECT_TRUE(scan.non_ascii) << cut;
  }
  // A character cut into three pieces, one byte at a time.
  Utf8Scan bytewise;
  for (char c : kEmoji) utf8_scan(&bytewise, &c, 1);
  EXPECT_TRUE(utf8_scan_well_formed(bytewise));

  Utf8Scan ascii;
  utf8_scan(&ascii, "abc\n", 4);
  EXPECT_TRUE(utf8_scan_well_formed(ascii));
  EXPECT_FALSE(ascii.non_ascii);

  Utf8Scan later_sjis;  // well-formed first, Shift_JIS in a later piece
  utf8_scan(&later_sjis, kJapaneseUtf8.data(), kJapaneseUtf8.size());
  utf8_scan(&later_sjis, kJapaneseSjis.data(), kJapaneseSjis.size());
  EXPECT_FALSE(utf8_scan_well_formed(later_sjis));

  Utf8Scan cut_at_end;  // a text that ends inside a character is not UTF-8
  utf8_scan(&cut_at_end, kJapaneseUtf8.data(), 4);
  EXPECT_FALSE(utf8_scan_well_formed(cut_at_end));
}

TEST(Utf8Stream, GivesTheWholeTextsConversionWhereverThePiecesAreCut) {
  const std::string text = std::string(kUtf8Bom) + "a" + kJapaneseUtf8 + kEmoji + "z\n";
  const std::string expected = "a" + kJapaneseSjis + kGeta + "z\n";
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    std::size_t replaced = 0;
    EXPECT_EQ(in_two_pieces(text, cut, true, &replaced), expected) << cut;
    EXPECT_EQ(replaced, 1u) << cut;
  }
}

TEST(Utf8Stream, DropsTheMarkOnlyAtTheStartAndOnlyWhenAsked) {
  std::size_t replaced = 0;
  const std::string bom = kUtf8Bom;
  // Without the request the mark is a character (U+FEFF, no code page 932 form).
  EXPECT_EQ(in_two_pieces(bom + "a", 2, false, &replaced), kGeta + "a");
  // A second mark later in the text is a character too.
  EXPECT_EQ(in_two_pieces(bom + "a\n" + bom + "b", 3, true, &replaced), "a\n" + kGeta + "b");
  // A text of the mark alone, or of part of it, converts to nothing or marks.
  EXPECT_EQ(in_two_pieces(bom, 1, true, &replaced), "");
  EXPECT_EQ(in_two_pieces(bom.substr(0, 2), 1, true, &replaced), kGeta + kGeta);
  // A text cut off inside its last character: the rest becomes marks, nothing is lost.
  EXPECT_EQ(in_two_pieces("x\xe3\x81", 2, false, &replaced), "x" + kGeta + kGeta);
}

TEST(Utf8ForTerminal, KeepsUtf8AndReplacesEveryOtherByte) {
  const std::string replacement = "\xef\xbf\xbd";
  EXPECT_EQ(utf8_for_terminal("220 ok\r\n", 8), "220 ok\r\n");
  const std::string mixed = "250 " + kJapaneseUtf8 + "\x82\xa0" "\xe3\x81";
  EXPECT_EQ(utf8_for_terminal(mixed.data(), mixed.size()),
            "250 " + kJapaneseUtf8 + replacement + replacement + replacement + replacement);
  // The C1 controls (U+0080 to U+009F) are written out as their bytes; U+00A0 on is text.
  const std::string c1 = "a\xc2\x9b" "2J\xc2\x80\xc2\x9f\xc2\xa0\xc2\xa9";
  EXPECT_EQ(utf8_for_terminal(c1.data(), c1.size()),
            "a\\xc2\\x9b" "2J\\xc2\\x80\\xc2\\x9f\xc2\xa0\xc2\xa9");
  // A lone C2 at the end is a cut-off sequence, not a control.
  EXPECT_EQ(utf8_for_terminal("x\xc2", 2), "x" + replacement);
}

TEST(Utf8ForTerminal, BidirectionalControlsAreWrittenOut) {
  // U+202A..U+202E and U+2066..U+2069 reorder the text after them; their neighbours
  // (U+2029, U+202F, U+2065, U+206A) and a cut-off override are no such control.
  const std::string hostile =
      "220 \xe2\x80\xaegnp.exe \xe2\x80\xaa\xe2\x81\xa6\xe2\x81\xa9 "
      "\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa\xe2\x80";
  EXPECT_EQ(utf8_for_terminal(hostile.data(), hostile.size()),
            "220 \\xe2\\x80\\xaegnp.exe \\xe2\\x80\\xaa\\xe2\\x81\\xa6\\xe2\\x81\\xa9 "
            "\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa\xef\xbf\xbd\xef\xbf\xbd");
}

}  // namespace
