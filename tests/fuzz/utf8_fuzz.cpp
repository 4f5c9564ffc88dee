// The UTF-8 side of a body file and of the trace, on any bytes: the scan that tells a
// UTF-8 file, the piecewise conversion to code page 932 that the body-file reader feeds
// block by block, and the cleaning of a server's bytes for a UTF-8 terminal.
// Input: one byte of flags (bit 0: drop the byte-order mark), two bytes choosing where
// the text is cut into three pieces, then the text.
// Properties: the scan and the conversion give the same result wherever the pieces are
// cut; the conversion keeps every LF and converts each line as it would alone (the reader
// splits lines after converting); what it writes is code page 932 throughout; the text
// for the terminal is well-formed UTF-8 without C1 controls, and well-formed text
// without them is shown unchanged.
#include <cstdint>
#include <string>
#include <utility>

#include "codec/utf8.h"
#include "platform/text.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

std::string to_cp932(const std::string& text, std::size_t* replaced) {
  std::string out;
  *replaced = platform::utf8_to_cp932(text.data(), text.size(), &out);
  return out;
}

bool has_c1(const std::string& text) {
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) == 0xC2 &&
        static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      return true;
    }
  }
  return false;
}

// U+202A..U+202E (E2 80 AA..AE) and U+2066..U+2069 (E2 81 A6..A9).
bool has_bidi_control(const std::string& text) {
  for (std::size_t i = 0; i + 2 < text.size(); ++i) {
    const unsigned char a = static_cast<unsigned char>(text[i + 1]);
    const unsigned char b = static_cast<unsigned char>(text[i + 2]);
    if (static_cast<unsigned char>(text[i]) == 0xE2 &&
        ((a == 0x80 && b >= 0xAA && b <= 0xAE) || (a == 0x81 && b >= 0xA6 && b <= 0xA9))) {
      return true;
    }
  }
  return false;
}

std::size_t count_lf(const std::string& text) {
  std::size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 3 || size > 4096) return 0;
  const bool drop_bom = (data[0] & 1) != 0;
  const std::string text(reinterpret_cast<const char*>(data + 3), size - 3);
  std::size_t cut1 = data[1] % (text.size() + 1);
  std::size_t cut2 = data[2] % (text.size() + 1);
  if (cut1 > cut2) std::swap(cut1, cut2);
  const std::string pieces[3] = {text.substr(0, cut1), text.substr(cut1, cut2 - cut1),
                                 text.substr(cut2)};
  const std::string detail = std::string(drop_bom ? "bom " : "") + std::to_string(cut1) + "/" +
                             std::to_string(cut2) + ": " + text;

  // The scan in pieces agrees with the test of the whole text.
  Utf8Scan scan;
  for (const std::string& piece : pieces) utf8_scan(&scan, piece.data(), piece.size());
  const bool well_formed = is_utf8(text);
  FUZZ_CHECK(utf8_scan_well_formed(scan) == well_formed, detail);
  if (well_formed) {
    bool non_ascii = false;
    for (unsigned char c : text) non_ascii = non_ascii || c >= 0x80;
    FUZZ_CHECK(scan.non_ascii == non_ascii, detail);
  }

  // The conversion in pieces is the conversion of the whole text, the mark dropped.
  Utf8Stream stream;
  stream.drop_bom = drop_bom;
  std::string in_pieces;
  for (const std::string& piece : pieces) {
    std::string converted = piece;
    utf8_stream_convert(&stream, &converted);
    in_pieces += converted;
  }
  in_pieces += utf8_stream_finish(&stream);
  const bool has_bom = text.compare(0, 3, kUtf8Bom) == 0;
  const std::string body = drop_bom && has_bom ? text.substr(3) : text;
  std::size_t replaced = 0;
  const std::string whole = to_cp932(body, &replaced);
  FUZZ_CHECK(in_pieces == whole, detail + " -> " + visible(in_pieces) + " / " + visible(whole));
  FUZZ_CHECK(stream.replaced == replaced, detail);

  // Every LF is kept, and each line converts as it would on its own.
  FUZZ_CHECK(count_lf(whole) == count_lf(body), detail);
  std::string line_by_line;
  for (std::size_t start = 0; start <= body.size();) {
    std::size_t end = body.find('\n', start);
    const std::size_t stop = end == std::string::npos ? body.size() : end + 1;
    std::size_t ignored = 0;
    line_by_line += to_cp932(body.substr(start, stop - start), &ignored);
    if (end == std::string::npos) break;
    start = stop;
  }
  FUZZ_CHECK(line_by_line == whole, detail);

  // What the converter writes is code page 932: it reads back without a replaced byte.
  std::string back;
  platform::cp932_to_utf8(whole.data(), whole.size(), &back);
  FUZZ_CHECK(back.find("\xef\xbf\xbd") == std::string::npos, detail + " -> " + visible(whole));

  // The terminal's form of a server's bytes.
  const std::string shown = utf8_for_terminal(text.data(), text.size());
  FUZZ_CHECK(is_utf8(shown), detail + " -> " + visible(shown));
  FUZZ_CHECK(!has_c1(shown), detail + " -> " + visible(shown));
  FUZZ_CHECK(!has_bidi_control(shown), detail + " -> " + visible(shown));
  if (well_formed && !has_c1(text) && !has_bidi_control(text)) FUZZ_CHECK(shown == text, detail);
  return 0;
}
