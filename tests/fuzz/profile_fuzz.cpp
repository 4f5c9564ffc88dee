// The settings-file reader and writer on any file bytes. Input: the file's bytes, then a
// section, a key, a value and a second key (fields ended by 0x00, mapped to plain name
// characters). Properties: a read is cut to its size; a key written reads back as written,
// and leaves another key's value as it was; the writer keeps every other line.
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
    } else if (std::strchr(kNameChars, c) != nullptr && c != 0) {
      text.push_back(static_cast<char>(c));
    } else {
      text.push_back(kNameChars[c % (sizeof kNameChars - 1)]);
    }
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text.substr(0, 40);
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
  const std::string detail = content + " | [" + section + "] " + key + "=" + value +
                             " | after: " + file_after;
  FUZZ_CHECK(written, detail);
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
