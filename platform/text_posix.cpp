// Text conversions on POSIX: the locale's codeset through nl_langinfo, and glibc's iconv
// with its "CP932" converter (the Microsoft form of Shift_JIS, as Windows uses it).
#include "platform/text.h"

#include <errno.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <strings.h>

#include <cstring>
#include <mutex>

namespace platform {

namespace {

constexpr const char* kCp932 = "CP932";
constexpr const char* kUtf8 = "UTF-8";
constexpr const char* kReplacement = "\xef\xbf\xbd";  // U+FFFD

// One converter of each direction for the whole process, opened on first use; each is
// used under its lock, as the console is written from two threads.
struct Converter {
  const char* to;
  const char* from;
  std::once_flag opened;
  iconv_t handle = reinterpret_cast<iconv_t>(-1);
  std::mutex lock;
};

Converter g_from_utf8{kCp932, kUtf8, {}, reinterpret_cast<iconv_t>(-1), {}};
Converter g_to_utf8{kUtf8, kCp932, {}, reinterpret_cast<iconv_t>(-1), {}};

bool usable(Converter& converter) {
  std::call_once(converter.opened, [&] { converter.handle = iconv_open(converter.to, converter.from); });
  return converter.handle != reinterpret_cast<iconv_t>(-1);
}

// Runs the converter over the text, appending to *out. At a byte sequence it cannot take,
// `replace` appends the substitute and tells how many input bytes it stands for.
template <typename Replace>
void convert(Converter& converter, const char* data, std::size_t length, std::string* out,
             Replace replace) {
  std::lock_guard<std::mutex> hold(converter.lock);
  iconv(converter.handle, nullptr, nullptr, nullptr, nullptr);
  char* in = const_cast<char*>(data);
  std::size_t in_left = length;
  char block[4096];
  while (in_left > 0) {
    char* produced = block;
    std::size_t room = sizeof block;
    std::size_t result = iconv(converter.handle, &in, &in_left, &produced, &room);
    const int error = errno;
    out->append(block, static_cast<std::size_t>(produced - block));
    if (result != static_cast<std::size_t>(-1)) break;
    if (error == E2BIG) continue;
    // EILSEQ (a character with no counterpart, or a malformed sequence) or EINVAL (an
    // incomplete sequence at the end): one substitute, then on after it.
    std::size_t skipped = replace(in, in_left, out);
    in += skipped;
    in_left -= skipped;
    iconv(converter.handle, nullptr, nullptr, nullptr, nullptr);
  }
}

}  // namespace

bool terminal_is_utf8() {
  static const bool utf8 = [] {
    // The choice of the user's variables is read and then undone: the program itself
    // works in the "C" locale throughout.
    const char* previous = setlocale(LC_CTYPE, nullptr);
    std::string saved = previous != nullptr ? previous : "C";
    bool is_utf8 = false;
    if (setlocale(LC_CTYPE, "") != nullptr) {
      const char* codeset = nl_langinfo(CODESET);
      is_utf8 = codeset != nullptr &&
                (strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "UTF8") == 0);
    }
    setlocale(LC_CTYPE, saved.c_str());
    // Without the code page 932 converters the terminal gets the bytes as they are.
    return is_utf8 && usable(g_from_utf8) && usable(g_to_utf8);
  }();
  return utf8;
}

std::size_t utf8_to_cp932(const char* data, std::size_t length, std::string* out) {
  std::size_t replaced = 0;
  auto replace = [&](const char* at, std::size_t left, std::string* text) -> std::size_t {
    *text += kGetaMark;
    ++replaced;
    const int sequence = utf8_sequence_length(at, left);
    return sequence > 0 ? static_cast<std::size_t>(sequence) : 1;
  };
  if (!usable(g_from_utf8)) {
    // No converter: ASCII passes, every other character is one geta mark.
    for (std::size_t i = 0; i < length;) {
      if (static_cast<unsigned char>(data[i]) < 0x80) {
        out->push_back(data[i++]);
      } else {
        i += replace(data + i, length - i, out);
      }
    }
    return replaced;
  }
  convert(g_from_utf8, data, length, out, replace);
  return replaced;
}

void cp932_to_utf8(const char* data, std::size_t length, std::string* out) {
  auto replace = [](const char*, std::size_t, std::string* text) -> std::size_t {
    *text += kReplacement;
    return 1;
  };
  if (!usable(g_to_utf8)) {
    for (std::size_t i = 0; i < length; ++i) {
      if (static_cast<unsigned char>(data[i]) < 0x80) {
        out->push_back(data[i]);
      } else {
        replace(data + i, length - i, out);
      }
    }
    return;
  }
  convert(g_to_utf8, data, length, out, replace);
}

}  // namespace platform
