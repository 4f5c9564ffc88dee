// UTF-8 text beside the program's code page 932: telling whether bytes are UTF-8,
// converting a text that arrives in pieces, and making a peer's bytes safe to show on a
// UTF-8 terminal. The conversions themselves are the system's (platform/text.h).
#pragma once

#include <cstddef>
#include <string>

// The UTF-8 byte-order mark.
constexpr const char* kUtf8Bom = "\xef\xbb\xbf";

// True when the whole text is well-formed UTF-8 (plain ASCII included).
bool is_utf8(const std::string& text);

// A scan of a text that arrives in pieces: is it well-formed UTF-8, and does it hold
// anything besides ASCII? A sequence cut by the end of a piece is judged with the next.
struct Utf8Scan {
  std::string carry;  // the start of a sequence that the last piece cut off
  bool well_formed = true;
  bool non_ascii = false;
};
void utf8_scan(Utf8Scan* scan, const char* data, std::size_t length);
// The verdict once the last piece has been scanned: well-formed to its very end.
bool utf8_scan_well_formed(const Utf8Scan& scan);

// Converts UTF-8 text that arrives in pieces (lines or chunks) to code page 932. A
// sequence that a piece ends inside of is carried to the next piece, so a character is
// never split; the byte-order mark at the very start is dropped when asked for.
struct Utf8Stream {
  bool drop_bom = false;
  bool started = false;
  std::string carry;
  std::size_t replaced = 0;  // geta marks written so far
};
// Replaces *piece by its code page 932 form (without the carried-over tail).
void utf8_stream_convert(Utf8Stream* stream, std::string* piece);
// The code page 932 form of whatever is still carried at the end of the text (a cut-off
// sequence becomes geta marks); empty in the usual case.
std::string utf8_stream_finish(Utf8Stream* stream);

// The text with every byte that is not part of a well-formed UTF-8 sequence replaced by
// U+FFFD, and each control character U+0080 to U+009F and each bidirectional control
// U+202A to U+202E and U+2066 to U+2069 written as its bytes in "\x.." text, for showing a
// peer's bytes on a UTF-8 terminal.
std::string utf8_for_terminal(const char* data, std::size_t length);
