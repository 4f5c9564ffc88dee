// The profile (INI) file operations for POSIX systems: the program's own reader and
// writer, with the semantics of the Windows profile functions. Section and key names
// match without regard to case, blanks around names and values do not count, a value in
// matching quotes loses them, and the first matching section and key win. An integer is
// read as the Windows function reads it: an optional sign and the leading decimal digits,
// wrapping modulo 2^32; a value without digits (an empty one included) reads as 0. The
// writer changes one line (or adds one or two) and keeps every other line byte for byte,
// line end included.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace platform {

namespace {

const char kByteOrderMark[] = "\xEF\xBB\xBF";

// The longest text the Windows function reads for an integer.
constexpr std::size_t kIntTextLimit = 29;

// One line of the file as it stands: the text without its line end, and the line end
// ("\n", "\r\n" or nothing for a last line that has none).
struct ProfileLine {
  std::string text;
  std::string end;
};

// Blanks around names and values, as the Windows reader trims them.
bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string trim(const std::string& text) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && is_blank(text[first])) ++first;
  while (last > first && is_blank(text[last - 1])) --last;
  return text.substr(first, last - first);
}

// ASCII letters fold; bytes of Shift_JIS characters compare as they are.
bool same_name(const std::string& a, const char* b) {
  std::size_t length = std::strlen(b);
  if (a.size() != length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Reads the whole file; false when it is missing or cannot be read.
bool read_file(const std::string& path, std::string* content) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  content->clear();
  char buffer[8192];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      close(fd);
      return false;
    }
    if (got == 0) break;
    content->append(buffer, static_cast<std::size_t>(got));
  }
  close(fd);
  return true;
}

std::vector<ProfileLine> split_lines(const std::string& content) {
  std::vector<ProfileLine> lines;
  std::size_t start = 0;
  while (start < content.size()) {
    std::size_t lf = content.find('\n', start);
    ProfileLine line;
    if (lf == std::string::npos) {
      line.text = content.substr(start);
      start = content.size();
    } else {
      std::size_t text_end = lf;
      if (text_end > start && content[text_end - 1] == '\r') --text_end;
      line.text = content.substr(start, text_end - start);
      line.end = content.substr(text_end, lf + 1 - text_end);
      start = lf + 1;
    }
    lines.push_back(line);
  }
  return lines;
}

// A line whose first non-blank character is "[" and that holds a "]" after it opens a
// section; its name is the text up to the last "]", without the blanks around it.
bool section_name(const std::string& text, std::string* name) {
  std::size_t first = 0;
  while (first < text.size() && is_blank(text[first])) ++first;
  if (first == text.size() || text[first] != '[') return false;
  std::size_t close = text.rfind(']');
  if (close == std::string::npos || close <= first) return false;
  *name = trim(text.substr(first + 1, close - first - 1));
  return true;
}

// A KEY=value line: the key and value without their surrounding blanks.
bool key_line(const std::string& text, std::string* key, std::string* value) {
  std::size_t equals = text.find('=');
  if (equals == std::string::npos) return false;
  *key = trim(text.substr(0, equals));
  if (value != nullptr) *value = trim(text.substr(equals + 1));
  return true;
}

// Where a section and a key stand in the file. section is the index of the section's
// header line (-1 when absent); key the index of the key's line (-1 when absent); last
// the index of the section's last line that is not empty, after which a new key goes.
struct Position {
  long section = -1;
  long key = -1;
  long last = -1;
};

Position find_key(const std::vector<ProfileLine>& lines, const char* section, const char* key) {
  Position at;
  bool inside = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    // A UTF-8 byte order mark before the first line is no part of it.
    std::string text = lines[i].text;
    if (i == 0 && text.compare(0, 3, kByteOrderMark) == 0) text.erase(0, 3);
    std::string name;
    if (section_name(text, &name)) {
      if (inside) break;  // the first matching section is the one that counts
      if (same_name(name, section)) {
        inside = true;
        at.section = at.last = static_cast<long>(i);
      }
      continue;
    }
    if (!inside) continue;
    if (!trim(text).empty()) at.last = static_cast<long>(i);
    std::string line_key;
    if (at.key < 0 && key_line(text, &line_key, nullptr) && same_name(line_key, key)) {
      at.key = static_cast<long>(i);
    }
  }
  return at;
}

// Looks the key up; false when the file, the section or the key is missing.
bool lookup(const char* section, const char* key, const std::string& path, std::string* value) {
  if (section == nullptr || key == nullptr) return false;
  std::string content;
  if (!read_file(path, &content)) return false;
  std::vector<ProfileLine> lines = split_lines(content);
  Position at = find_key(lines, section, key);
  if (at.key < 0) return false;
  std::string found_key;
  key_line(lines[static_cast<std::size_t>(at.key)].text, &found_key, value);
  // The value is text: a NUL in it ends it. One enclosed in a matching pair of quotes is
  // read without them.
  value->resize(std::strlen(value->c_str()));
  if (value->size() >= 2 && ((*value)[0] == '"' || (*value)[0] == '\'') &&
      value->back() == (*value)[0]) {
    *value = value->substr(1, value->size() - 2);
  }
  return true;
}

bool has_line_break(const char* text) { return std::strpbrk(text, "\r\n") != nullptr; }

// Writes all of data to fd; false on any failure.
bool write_all(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t put = write(fd, data.data() + done, data.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<std::size_t>(put);
  }
  return true;
}

// Replaces the file at path with content: written to a new file beside it, then renamed
// over it, so that a failure leaves the old file whole. The new file keeps the old
// file's permission bits, or is owner-only when it is new.
bool replace_file(const std::string& path, const std::string& content, const struct stat* old) {
  std::string temp = path + ".XXXXXX";
  int fd = mkstemp(&temp[0]);  // owner-only, created exclusively, no link followed
  if (fd < 0) return false;
  bool ok = true;
  if (old != nullptr) ok = fchmod(fd, old->st_mode & 07777) == 0;
  ok = ok && write_all(fd, content) && fsync(fd) == 0;
  ok = (close(fd) == 0) && ok;
  ok = ok && rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) unlink(temp.c_str());
  return ok;
}

}  // namespace

std::string profile_get_string(const char* section, const char* key, const char* fallback,
                               std::size_t size, const std::string& path) {
  if (size == 0) return std::string();
  std::string value;
  if (!lookup(section, key, path, &value)) value = fallback != nullptr ? fallback : "";
  if (value.size() > size - 1) value.resize(size - 1);
  return value;
}

int profile_get_int(const char* section, const char* key, int fallback, const std::string& path) {
  // The value is read as text of at most 29 characters, as the Windows function does, then
  // as an optional sign and leading decimal digits; a value without digits (an empty one
  // included) reads as 0.
  std::string value;
  if (!lookup(section, key, path, &value)) return fallback;
  if (value.size() > kIntTextLimit) value.resize(kIntTextLimit);
  std::size_t i = 0;
  while (i < value.size() && static_cast<unsigned char>(value[i]) <= ' ') ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) negative = value[i++] == '-';
  // Digits up to the first character that is none; the rest is ignored. The value wraps
  // modulo 2^32 as the Windows function's does.
  uint32_t magnitude = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    magnitude = magnitude * 10u + static_cast<uint32_t>(value[i] - '0');
  }
  if (negative) magnitude = 0u - magnitude;
  return static_cast<int>(static_cast<int32_t>(magnitude));
}

bool profile_write_string(const char* section, const char* key, const char* value,
                          const std::string& path) {
  if (section == nullptr || key == nullptr || value == nullptr) return false;
  // A line break in a name or value would smuggle further lines into the file.
  if (has_line_break(section) || has_line_break(key) || has_line_break(value)) return false;
  if (std::strchr(section, ']') != nullptr || std::strchr(key, '=') != nullptr) return false;

  struct stat old {};
  bool exists = lstat(path.c_str(), &old) == 0;
  // Never write through a link: it may have been planted to redirect the write.
  if (exists && !S_ISREG(old.st_mode)) return false;
  std::string content;
  if (exists && !read_file(path, &content)) return false;

  std::vector<ProfileLine> lines = split_lines(content);
  std::string eol = "\n";
  for (const ProfileLine& line : lines) {
    if (!line.end.empty()) {
      eol = line.end;
      break;
    }
  }
  std::string entry = std::string(key) + "=" + value;
  Position at = find_key(lines, section, key);
  if (at.key >= 0) {
    lines[static_cast<std::size_t>(at.key)].text = entry;
  } else {
    // A line added after the file's last line needs that line ended first.
    std::size_t insert_at = at.section >= 0 ? static_cast<std::size_t>(at.last) + 1 : lines.size();
    if (insert_at == lines.size() && !lines.empty() && lines.back().end.empty()) {
      lines.back().end = eol;
    }
    if (at.section >= 0) {
      lines.insert(lines.begin() + static_cast<long>(insert_at), ProfileLine{entry, eol});
    } else {
      lines.push_back(ProfileLine{"[" + std::string(section) + "]", eol});
      lines.push_back(ProfileLine{entry, eol});
    }
  }

  std::string updated;
  for (const ProfileLine& line : lines) updated += line.text + line.end;
  return replace_file(path, updated, exists ? &old : nullptr);
}

}  // namespace platform
