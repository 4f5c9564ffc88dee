// The profile (INI) file operations for POSIX systems: the program's own reader and
// writer, with the semantics of the Windows profile functions. Section and key names
// match without regard to case, blanks around names and values do not count, a value in
// matching quotes loses them, and the first matching section and key win. An integer is
// read as the Windows function reads it: an optional sign and the leading decimal digits,
// wrapping modulo 2^32; a value without digits (an empty one included) reads as 0. The
// writer changes one line (or adds one or two) and keeps every other line byte for byte,
// line end included.
//
// The file is read whole once per lookup (or once for a run's lookups, profile_hold) and
// searched where it lies: no copy of its lines is made, so a file of any number of lines
// costs its own size in memory and one pass per key.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace platform {

namespace {

const char kByteOrderMark[] = "\xEF\xBB\xBF";

// The longest text the Windows function reads for an integer.
constexpr std::size_t kIntTextLimit = 29;

// One line of the file where it lies: its text is [start, text_end), its line end ("\n",
// "\r\n" or nothing for a last line that has none) is [text_end, end).
struct LineSpan {
  std::size_t start = 0;
  std::size_t text_end = 0;
  std::size_t end = 0;
};

// The line that begins at *at; *at moves to the next one. False past the last line.
bool next_line(const std::string& content, std::size_t* at, LineSpan* line) {
  if (*at >= content.size()) return false;
  line->start = *at;
  std::size_t lf = content.find('\n', *at);
  if (lf == std::string::npos) {
    line->text_end = line->end = content.size();
  } else {
    line->text_end = lf;
    if (lf > line->start && content[lf - 1] == '\r') --line->text_end;
    line->end = lf + 1;
  }
  *at = line->end;
  return true;
}

std::string_view line_text(const std::string& content, const LineSpan& line) {
  return std::string_view(content).substr(line.start, line.text_end - line.start);
}

// Blanks around names and values, as the Windows reader trims them.
bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view text) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && is_blank(text[first])) ++first;
  while (last > first && is_blank(text[last - 1])) --last;
  return text.substr(first, last - first);
}

// ASCII letters fold; bytes of Shift_JIS characters compare as they are.
bool same_name(std::string_view a, const char* b) {
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

// Reads the whole file; false when it is missing, is no regular file or cannot be read.
// The storage is taken once, with room for spare bytes more (what a writer adds).
bool read_file(const std::string& path, std::string* content, std::size_t spare = 0) {
  content->clear();
  std::FILE* file = open_for_reading(path);
  if (file == nullptr) return false;
  int64_t size = file_size(file);
  if (size > 0) content->reserve(static_cast<std::size_t>(size) + spare);
  char buffer[65536];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) content->append(buffer, got);
  bool ok = std::ferror(file) == 0;
  std::fclose(file);
  if (!ok) content->clear();
  return ok;
}

// A line whose first non-blank character is "[" and that holds a "]" after it opens a
// section; its name is the text up to the last "]", without the blanks around it.
bool section_name(std::string_view text, std::string_view* name) {
  std::size_t first = 0;
  while (first < text.size() && is_blank(text[first])) ++first;
  if (first == text.size() || text[first] != '[') return false;
  std::size_t close = text.rfind(']');
  if (close == std::string_view::npos || close <= first) return false;
  *name = trim(text.substr(first + 1, close - first - 1));
  return true;
}

// A KEY=value line: the key and value without their surrounding blanks.
bool key_line(std::string_view text, std::string_view* key, std::string_view* value) {
  std::size_t equals = text.find('=');
  if (equals == std::string_view::npos) return false;
  *key = trim(text.substr(0, equals));
  if (value != nullptr) *value = trim(text.substr(equals + 1));
  return true;
}

// Where a section and a key stand in the file: the section's header line, the key's line,
// and the section's last line that is not empty, after which a new key goes.
struct Position {
  bool has_section = false;
  bool has_key = false;
  LineSpan key;
  LineSpan last;
};

// The start of the line that holds the byte at offset.
std::size_t line_start_of(const std::string& content, std::size_t offset) {
  std::size_t lf = offset == 0 ? std::string::npos : content.rfind('\n', offset - 1);
  return lf == std::string::npos ? 0 : lf + 1;
}

// The start of the next line, from the line start at, that can matter: outside the
// section sought only a line holding a "[" can open a section; inside it only a line
// that is not all blanks can hold a key or be its last line. The lines passed over are
// skipped at the speed of a byte search, so a file of millions of empty lines costs one
// quick pass per key. npos when no such line is left.
std::size_t next_line_that_counts(const std::string& content, std::size_t at, bool inside) {
  std::size_t found;
  if (inside) {
    found = at;
    while (found < content.size() && is_blank(content[found])) ++found;
    if (found == content.size()) return std::string::npos;
  } else {
    found = content.find('[', at);
    if (found == std::string::npos) return std::string::npos;
  }
  return line_start_of(content, found);
}

Position find_key(const std::string& content, const char* section, const char* key) {
  Position at;
  bool inside = false;
  std::size_t next = 0;
  LineSpan line;
  for (;;) {
    next = next_line_that_counts(content, next, inside);
    if (next == std::string::npos || !next_line(content, &next, &line)) break;
    std::string_view text = line_text(content, line);
    // A UTF-8 byte order mark before the first line is no part of it.
    if (line.start == 0 && text.substr(0, 3) == kByteOrderMark) text.remove_prefix(3);
    std::string_view name;
    if (section_name(text, &name)) {
      if (inside) break;  // the first matching section is the one that counts
      if (same_name(name, section)) {
        inside = true;
        at.has_section = true;
        at.last = line;
      }
      continue;
    }
    if (!inside) continue;
    if (!trim(text).empty()) at.last = line;
    std::string_view line_key;
    if (!at.has_key && key_line(text, &line_key, nullptr) && same_name(line_key, key)) {
      at.has_key = true;
      at.key = line;
    }
  }
  return at;
}

// The copy of the file that profile_hold took.
struct HeldFile {
  bool active = false;
  std::string path;
  bool present = false;
  std::string content;
};
HeldFile g_held;

// The file's content for a lookup: the held copy of that path, or a fresh read.
const std::string* content_for_reading(const std::string& path, std::string* scratch) {
  if (g_held.active && g_held.path == path) return g_held.present ? &g_held.content : nullptr;
  return read_file(path, scratch) ? scratch : nullptr;
}

// Looks the key up; false when the file, the section or the key is missing.
bool lookup(const char* section, const char* key, const std::string& path, std::string* value) {
  if (section == nullptr || key == nullptr) return false;
  std::string scratch;
  const std::string* content = content_for_reading(path, &scratch);
  if (content == nullptr) return false;
  Position at = find_key(*content, section, key);
  if (!at.has_key) return false;
  std::string_view found_key;
  std::string_view found_value;
  key_line(line_text(*content, at.key), &found_key, &found_value);
  // The value is text: a NUL in it ends it. One enclosed in a matching pair of quotes is
  // read without them.
  found_value = found_value.substr(0, found_value.find('\0'));
  if (found_value.size() >= 2 && (found_value[0] == '"' || found_value[0] == '\'') &&
      found_value.back() == found_value[0]) {
    found_value = found_value.substr(1, found_value.size() - 2);
  }
  value->assign(found_value.data(), found_value.size());
  return true;
}

bool has_line_break(const char* text) { return std::strpbrk(text, "\r\n") != nullptr; }

bool acceptable(const ProfileEntry& entry) {
  if (entry.section == nullptr || entry.key == nullptr) return false;
  // A line break in a name or value would smuggle further lines into the file.
  if (has_line_break(entry.section) || has_line_break(entry.key) ||
      entry.value.find_first_of("\r\n") != std::string::npos) {
    return false;
  }
  return std::strchr(entry.section, ']') == nullptr && std::strchr(entry.key, '=') == nullptr;
}

// The line end of new lines: that of the file's first line, else LF.
std::string line_end_of(const std::string& content) {
  std::size_t lf = content.find('\n');
  if (lf != std::string::npos && lf > 0 && content[lf - 1] == '\r') return "\r\n";
  return "\n";
}

// Sets one key in the content, as one write of it to the file would.
void apply_entry(std::string* content, const ProfileEntry& entry) {
  const std::string eol = line_end_of(*content);
  const std::string line = std::string(entry.key) + "=" + entry.value;
  Position at = find_key(*content, entry.section, entry.key);
  if (at.has_key) {
    content->replace(at.key.start, at.key.text_end - at.key.start, line);
    return;
  }
  // A line added after the file's last line needs that line ended first.
  bool at_file_end = !at.has_section || at.last.end == content->size();
  if (at_file_end && !content->empty() && content->back() != '\n') content->append(eol);
  if (at.has_section) {
    std::size_t insert_at = at_file_end ? content->size() : at.last.end;
    content->insert(insert_at, line + eol);
  } else {
    content->append("[" + std::string(entry.section) + "]" + eol + line + eol);
  }
}

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

}  // namespace

// Replaces the file at path with content: written to a new file beside it, then renamed
// over it, so that a failure leaves the old file whole. The new file is owner-only,
// whatever the old one's permissions were: it holds the enciphered passwords.
bool replace_file(const std::string& path, const std::string& content) {
  // An interruption waits until the new file is in place or gone, so that Ctrl+C never
  // leaves the temporary file behind.
  sigset_t interruptions;
  sigset_t previous;
  sigemptyset(&interruptions);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&interruptions, signal_number);
  pthread_sigmask(SIG_BLOCK, &interruptions, &previous);
  std::string temp = path + ".XXXXXX";
  int fd = mkstemp(&temp[0]);  // owner-only, created exclusively, no link followed
  bool ok = fd >= 0;
  if (ok) {
    ok = write_all(fd, content) && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    ok = ok && rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) unlink(temp.c_str());
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return ok;
}


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

bool profile_write_strings(const std::vector<ProfileEntry>& entries, const std::string& path) {
  // What is written changes the file under a held copy.
  if (g_held.active && g_held.path == path) profile_release();

  struct stat old {};
  bool exists = lstat(path.c_str(), &old) == 0;
  // Never write through a link: it may have been planted to redirect the write.
  if (exists && !S_ISREG(old.st_mode)) return false;
  // Room for every line that may be added, so that the file is held once, not copied.
  std::size_t spare = 0;
  for (const ProfileEntry& entry : entries) {
    if (entry.section != nullptr && entry.key != nullptr) {
      spare += std::strlen(entry.section) + std::strlen(entry.key) + entry.value.size() + 8;
    }
  }
  std::string content;
  if (exists && !read_file(path, &content, spare)) return false;

  bool all_taken = true;
  bool changed = false;
  for (const ProfileEntry& entry : entries) {
    if (!acceptable(entry)) {
      all_taken = false;
      continue;
    }
    apply_entry(&content, entry);
    changed = true;
  }
  if (!changed) return false;
  return replace_file(path, content) && all_taken;
}

bool profile_write_string(const char* section, const char* key, const char* value,
                          const std::string& path) {
  if (value == nullptr) return false;
  return profile_write_strings({ProfileEntry{section, key, value}}, path);
}

void profile_hold(const std::string& path) {
  profile_release();
  g_held.active = true;
  g_held.path = path;
  g_held.present = read_file(path, &g_held.content);
}

void profile_release() {
  g_held.active = false;
  g_held.present = false;
  g_held.path.clear();
  std::string().swap(g_held.content);
}

}  // namespace platform
