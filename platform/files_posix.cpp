// Small whole files and the protection of data for the user on POSIX systems. There is no
// per-user data protection service to call: protect_for_user hands the data back as it
// is, and the callers rely on their own cipher and an owner-only file.
#include <errno.h>
#include <unistd.h>

#include <cstdio>

#include "platform/platform.h"

namespace platform {

bool read_small_file(const std::string& path, std::size_t max_bytes, std::string* content) {
  content->clear();
  // Opened without following a FIFO or a device (see open_for_reading).
  std::FILE* file = open_for_reading(path);
  if (file == nullptr) return false;
  int64_t size = file_size(file);
  if (size < 0 || static_cast<uint64_t>(size) > max_bytes) {
    std::fclose(file);
    return false;
  }
  content->reserve(static_cast<std::size_t>(size));
  char buffer[16384];
  std::size_t got;
  bool ok = true;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    // The file may grow while it is read; what is beyond the limit is not taken.
    if (content->size() + got > max_bytes) {
      ok = false;
      break;
    }
    content->append(buffer, got);
  }
  ok = ok && std::ferror(file) == 0;
  std::fclose(file);
  if (!ok) content->clear();
  return ok;
}

bool remove_file(const std::string& path) { return unlink(path.c_str()) == 0 || errno == ENOENT; }

bool protect_for_user(const std::string& data, std::string* blob) {
  *blob = data;
  return true;
}

bool unprotect_for_user(const std::string& blob, std::string* data) {
  *data = blob;
  return true;
}

}  // namespace platform
