// Text conversions on Windows: MultiByteToWideChar and WideCharToMultiByte with code page
// 932 and CP_UTF8. The console always takes the code page 932 bytes unchanged.
#include "platform/windows_api.h"

#include <climits>
#include <vector>

#include "platform/text.h"

namespace platform {

namespace {

constexpr UINT kCp932 = 932;
constexpr std::size_t kPiece = 1 << 20;  // a longer text goes through in pieces of this size

// The UTF-16 form of a piece of text in the given code page. Flags 0: a byte sequence the
// code page does not know becomes U+FFFD (CP_UTF8) or the code page's default character.
std::wstring widen(UINT code_page, const char* data, int length) {
  std::wstring wide;
  if (length <= 0) return wide;
  int count = MultiByteToWideChar(code_page, 0, data, length, nullptr, 0);
  if (count <= 0) return wide;
  wide.resize(static_cast<std::size_t>(count));
  MultiByteToWideChar(code_page, 0, data, length, &wide[0], count);
  return wide;
}

// Appends the code page 932 form of UTF-16 text; false when some character has none
// (nothing appended then).
bool narrow_exact(const wchar_t* wide, int length, std::string* out) {
  BOOL used_default = FALSE;
  int count = WideCharToMultiByte(kCp932, WC_NO_BEST_FIT_CHARS, wide, length, nullptr, 0,
                                  nullptr, &used_default);
  if (count <= 0 || used_default) return false;
  std::vector<char> bytes(static_cast<std::size_t>(count));
  WideCharToMultiByte(kCp932, WC_NO_BEST_FIT_CHARS, wide, length, bytes.data(), count, nullptr,
                      &used_default);
  if (used_default) return false;
  out->append(bytes.data(), bytes.size());
  return true;
}

// Cuts a text into pieces that end at whole UTF-8 sequences (or at a byte that begins
// none), so that no character is split between two conversions.
std::size_t utf8_piece(const char* data, std::size_t length) {
  if (length <= kPiece) return length;
  std::size_t cut = kPiece;
  while (cut > kPiece - 4 && (static_cast<unsigned char>(data[cut]) & 0xC0) == 0x80) --cut;
  return cut;
}

std::size_t utf8_piece_to_cp932(const char* data, std::size_t length, std::string* out) {
  // Ill-formed bytes are each replaced here, as on every system, rather than by the
  // system's own rule for them.
  std::size_t replaced = 0;
  std::size_t start = 0;
  auto flush_run = [&](std::size_t end) {
    if (end == start) return;
    std::wstring wide = widen(CP_UTF8, data + start, static_cast<int>(end - start));
    if (narrow_exact(wide.data(), static_cast<int>(wide.size()), out)) return;
    // Some character has no code page 932 form: the run is taken one character at a time
    // (a surrogate pair is one character), each one that fails becoming a geta mark.
    for (std::size_t i = 0; i < wide.size();) {
      int units = 1;
      if (wide[i] >= 0xD800 && wide[i] <= 0xDBFF && i + 1 < wide.size()) units = 2;
      if (!narrow_exact(wide.data() + i, units, out)) {
        *out += kGetaMark;
        ++replaced;
      }
      i += static_cast<std::size_t>(units);
    }
  };
  std::size_t i = 0;
  while (i < length) {
    int sequence = utf8_sequence_length(data + i, length - i);
    if (sequence > 0) {
      i += static_cast<std::size_t>(sequence);
      continue;
    }
    flush_run(i);
    *out += kGetaMark;
    ++replaced;
    start = ++i;
  }
  flush_run(length);
  return replaced;
}

}  // namespace

bool terminal_is_utf8() { return false; }

std::size_t utf8_to_cp932(const char* data, std::size_t length, std::string* out) {
  std::size_t replaced = 0;
  while (length > 0) {
    std::size_t piece = utf8_piece(data, length);
    replaced += utf8_piece_to_cp932(data, piece, out);
    data += piece;
    length -= piece;
  }
  return replaced;
}

void cp932_to_utf8(const char* data, std::size_t length, std::string* out) {
  while (length > 0) {
    // Pieces end before a byte that would be a lead byte at the cut, so that no
    // double-byte character is split.
    std::size_t piece = length;
    if (piece > kPiece) {
      piece = kPiece;
      std::size_t lead_run = 0;
      for (std::size_t i = 0; i < piece; ++i) {
        if (IsDBCSLeadByteEx(kCp932, static_cast<BYTE>(data[i])) && i + 1 < piece) {
          ++i;
        } else if (IsDBCSLeadByteEx(kCp932, static_cast<BYTE>(data[i]))) {
          lead_run = 1;
        }
      }
      piece -= lead_run;
    }
    // A byte that is no code page 932 character: U+FFFD, one byte at a time.
    std::size_t start = 0;
    auto flush_run = [&](std::size_t end) {
      if (end == start) return;
      std::wstring wide = widen(kCp932, data + start, static_cast<int>(end - start));
      int count = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
      if (count <= 0) return;
      std::vector<char> bytes(static_cast<std::size_t>(count));
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), bytes.data(),
                          count, nullptr, nullptr);
      out->append(bytes.data(), bytes.size());
    };
    if (MultiByteToWideChar(kCp932, MB_ERR_INVALID_CHARS, data, static_cast<int>(piece), nullptr,
                            0) > 0) {
      start = 0;
      flush_run(piece);
      data += piece;
      length -= piece;
      continue;
    }
    for (std::size_t i = 0; i < piece;) {
      int units = IsDBCSLeadByteEx(kCp932, static_cast<BYTE>(data[i])) ? 2 : 1;
      if (units == 2 && i + 1 < piece &&
          MultiByteToWideChar(kCp932, MB_ERR_INVALID_CHARS, data + i, 2, nullptr, 0) > 0) {
        i += 2;
        continue;
      }
      if (units == 1 &&
          MultiByteToWideChar(kCp932, MB_ERR_INVALID_CHARS, data + i, 1, nullptr, 0) > 0) {
        ++i;
        continue;
      }
      flush_run(i);
      *out += "\xef\xbf\xbd";
      start = ++i;
    }
    flush_run(piece);
    data += piece;
    length -= piece;
  }
}

}  // namespace platform
