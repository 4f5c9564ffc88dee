// Japanese text conversion: Shift_JIS to ISO-2022-JP (RFC 1468), with ESC ( J to leave
// kanji and half-width katakana sent between SO and SI, and MIME encoded-words for
// header values (RFC 2047, "B" encoding). Texts of any length convert.
#pragma once

#include <string>

// Converts the text in place. Binary-looking and ASCII-class text stays unchanged.
void convert_sjis_to_jis(std::string& text);

// Converts a header value in place: unchanged, its converted form when that holds no
// kanji, or one encoded-word "=?ISO-2022-JP?B?...?=".
void encode_header_word(std::string& text);
