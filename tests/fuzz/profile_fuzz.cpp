// The settings-file reader and writer on any file bytes. Input: the file's bytes, then a
// section, a key, a value and a second key (fields ended by 0x00, mapped to name
// characters: ASCII letters, digits, "_", "." and bytes of 0x80 and above, as Shift_JIS
// names have). Properties: a read is cut to its size; a key written reads back as
// written, and leaves another key's value as it was; the writer changes at most the one
// line of the key and adds nothing but its lines, keeping every other byte.
//
// Names are kept to those characters because the file's format cannot carry others back:
// blanks around a name or value are not part of it, and a key that begins with "[" and
// holds a "]" reads as a section header. The program's own names are all of this kind.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

std::string plain(const std::string& field, bool blanks_inside) {
  static const char kNameChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_.";
  std::string text;
  for (unsigned char c : field) {
    if (blanks_inside && c == ' ' && !text.empty()) {
      text.push_back(' ');
    } else if ((std::strchr(kNameChars, c) != nullptr && c != 0) || c >= 0x80) {
      text.push_back(static_cast<char>(c));
    } else {
      text.push_back(kNameChars[c % (sizeof kNameChars - 1)]);
    }
  }
  // Cut first, then drop the blanks at the end: the reader drops a value's trailing
  // blanks, so a value that ends in one cannot read back as written.
  text.resize(std::min<std::size_t>(text.size(), 40));
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

bool same_name(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 32) : a[i];
    char y = b[i] >= 'a' && b[i] <= 'z' ? static_cast<char>(b[i] - 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size > 8192) return 0;
  const std::string content = take_field(&data, &size);
  const std::string section = plain(take_field(&data, &size), false);
  const std::string key = plain(take_field(&data, &size), false);
  const std::string value = plain(take_field(&data, &size), true);
  const std::string other_key = plain(take_field(&data, &size), false);
  const std::string path = scratch_path("profile.ini");
  write_file(path, content);

  const std::size_t limit = 1 + section.size();
  std::string read = platform::profile_get_string(section.c_str(), key.c_str(), "fallback", limit, path);
  FUZZ_CHECK(read.size() < limit, content);
  platform::profile_get_int(section.c_str(), key.c_str(), 7, path);
  if (section.empty() || key.empty() || other_key.empty()) {
    std::remove(path.c_str());
    return 0;
  }

  const std::string before =
      platform::profile_get_string(section.c_str(), other_key.c_str(), "\x01", 4096, path);
  const bool written =
      platform::profile_write_string(section.c_str(), key.c_str(), value.c_str(), path);
  const std::string file_after = read_file(path);
  // What changed: the bytes between the longest common start and end of the two files.
  const std::string detail = content + " | [" + section + "] " + key + "=" + value +
                             " | after: " + file_after;
  FUZZ_CHECK(written, detail);
  std::size_t same_start = 0;
  while (same_start < content.size() && same_start < file_after.size() &&
         content[same_start] == file_after[same_start]) {
    ++same_start;
  }
  std::size_t same_end = 0;
  while (same_end < content.size() - same_start && same_end < file_after.size() - same_start &&
         content[content.size() - 1 - same_end] == file_after[file_after.size() - 1 - same_end]) {
    ++same_end;
  }
  const std::string removed = content.substr(same_start, content.size() - same_start - same_end);
  const std::string added =
      file_after.substr(same_start, file_after.size() - same_start - same_end);
  // At most part of one line goes; what comes is the key's line, perhaps its section's
  // header, and a line end for a last line that had none.
  FUZZ_CHECK(removed.find('\n') == std::string::npos, detail);
  FUZZ_CHECK(std::count(added.begin(), added.end(), '\n') <= 3, detail);
  for (char c : added) {
    FUZZ_CHECK(std::strchr("[]=\r\n", c) != nullptr || section.find(c) != std::string::npos ||
                   key.find(c) != std::string::npos || value.find(c) != std::string::npos,
               detail);
  }
  FUZZ_CHECK(platform::profile_get_string(section.c_str(), key.c_str(), "\x01", 4096, path) == value,
             detail);
  if (!same_name(key, other_key)) {
    FUZZ_CHECK(platform::profile_get_string(section.c_str(), other_key.c_str(), "\x01", 4096, path) ==
                   before,
               detail + " | other key " + other_key);
  }
  std::remove(path.c_str());
  return 0;
}
