// The converter against the C library's own Shift_JIS and ISO-2022-JP tables (glibc
// iconv): every JIS X 0208 character, and a round trip of mixed text.
#include <gtest/gtest.h>
#include <iconv.h>

#include <cerrno>
#include <string>

#include "codec/jis_convert.h"

namespace {

// Converts the whole input with iconv, including the closing shift; false when iconv
// cannot open the pair or rejects the input.
bool iconv_text(const char* to, const char* from, const std::string& in, std::string* out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string input = in;
  char* in_ptr = input.data();
  std::size_t in_left = input.size();
  char buffer[4096];
  char* out_ptr = buffer;
  std::size_t out_left = sizeof buffer;
  bool ok = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) != static_cast<std::size_t>(-1) &&
            iconv(cd, nullptr, nullptr, &out_ptr, &out_left) != static_cast<std::size_t>(-1);
  iconv_close(cd);
  out->assign(buffer, out_ptr);
  return ok;
}

// Every cell of rows 1 to 84 that the C library maps: its Shift_JIS pair must give back
// the same JIS bytes, and converted as text it must be that pair between the shifts.
TEST(JisConvertIconv, EveryJisX0208CharacterMatches) {
  int compared = 0;
  for (int row = 1; row <= 84; ++row) {
    for (int cell = 1; cell <= 94; ++cell) {
      std::string jis = {static_cast<char>(0x20 + row), static_cast<char>(0x20 + cell)};
      std::string sjis;
      if (!iconv_text("SHIFT_JIS", "ISO-2022-JP", "\x1b$B" + jis + "\x1b(B", &sjis)) continue;
      if (sjis.size() != 2) continue;
      JisPair pair = sjis_pair_to_jis(static_cast<unsigned char>(sjis[0]),
                                      static_cast<unsigned char>(sjis[1]));
      ASSERT_EQ(pair.first, 0x20 + row) << "row " << row << " cell " << cell;
      ASSERT_EQ(pair.second, 0x20 + cell) << "row " << row << " cell " << cell;
      std::string text = sjis;
      convert_sjis_to_jis(text);
      ASSERT_EQ(text, "\x1b$B" + jis + "\x1b(J") << "row " << row << " cell " << cell;
      ++compared;
    }
  }
  EXPECT_GE(compared, 6800) << "the C library maps nearly all 6,879 characters";
}

TEST(JisConvertIconv, MixedTextMatchesAndRoundTrips) {
  // Kanji, hiragana, full-width forms and ASCII, with line ends (no backslash or tilde,
  // which read differently in the Roman set).
  const std::string lines[] = {
      "\x93\xfa\x96\x7b\x8c\xea\x82\xcc\x83\x65\x83\x4c\x83\x58\x83\x67 mail test\r\n",
      "To: \x8e\x52\x93\x63 <a@example.jp>\x81\x41\x82\xa8\x8a\xe8\x82\xa2\x81\x42\n",
      "\x82\x60\x82\x61\x82\x62 123 \x81\x79\x92\x8d\x88\xd3\x81\x7a end",
  };
  for (const std::string& sjis : lines) {
    std::string reference;
    ASSERT_TRUE(iconv_text("ISO-2022-JP", "SHIFT_JIS", sjis, &reference)) << sjis;
    // The C library leaves kanji with ESC ( B; this converter with ESC ( J.
    for (std::size_t at = reference.find("\x1b(B"); at != std::string::npos;
         at = reference.find("\x1b(B", at)) {
      reference[at + 2] = 'J';
    }
    std::string text = sjis;
    convert_sjis_to_jis(text);
    EXPECT_EQ(text, reference) << sjis;
    std::string back;
    ASSERT_TRUE(iconv_text("SHIFT_JIS", "ISO-2022-JP", text, &back)) << sjis;
    EXPECT_EQ(back, sjis);
  }
}

}  // namespace
