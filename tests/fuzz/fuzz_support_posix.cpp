// The fuzz harness services on POSIX (the fuzz targets are built with clang on Linux).
#include "tests/fuzz/fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/errors.h"
#include "platform/platform.h"

namespace {

[[noreturn]] void throw_ending(int status) { throw RunEnded{status}; }

FILE* g_saved_stdout = nullptr;
char* g_capture_data = nullptr;
std::size_t g_capture_size = 0;

}  // namespace

void catch_run_endings() { set_ending_hook(throw_ending); }

// glibc lets stdout be replaced; the console functions write through it.
void begin_console_capture() {
  std::fflush(stdout);
  g_saved_stdout = stdout;
  stdout = open_memstream(&g_capture_data, &g_capture_size);
}

std::string end_console_capture() {
  std::fclose(stdout);
  stdout = g_saved_stdout;
  std::string text(g_capture_data, g_capture_size);
  std::free(g_capture_data);
  g_capture_data = nullptr;
  g_capture_size = 0;
  return text;
}

std::string scratch_path(const char* tag) {
  const char* dir = std::getenv("TMPDIR");
  std::string path = dir != nullptr && *dir != '\0' ? dir : "/tmp";
  return path + "/vorna-fuzz-" + std::to_string(platform::process_id()) + "-" + tag;
}

void write_file(const std::string& path, const std::string& bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) property_failed("scratch file can be written", path);
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

std::string read_file(const std::string& path) {
  std::string bytes;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return bytes;
  char block[4096];
  std::size_t count;
  while ((count = std::fread(block, 1, sizeof block, file)) > 0) bytes.append(block, count);
  std::fclose(file);
  return bytes;
}

std::string visible(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      text.push_back(static_cast<char>(c));
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      text += escaped;
    }
  }
  return text;
}

void property_failed(const char* what, const std::string& detail) {
  if (g_saved_stdout != nullptr && stdout != g_saved_stdout) {
    std::fclose(stdout);
    stdout = g_saved_stdout;
  }
  std::fprintf(stderr, "PROPERTY BROKEN: %s\n  %s\n", what, visible(detail).c_str());
  std::abort();
}

std::string take_field(const uint8_t** data, std::size_t* size) {
  const uint8_t* end = static_cast<const uint8_t*>(std::memchr(*data, 0, *size));
  std::size_t length = end == nullptr ? *size : static_cast<std::size_t>(end - *data);
  std::string field(reinterpret_cast<const char*>(*data), length);
  std::size_t used = end == nullptr ? length : length + 1;
  *data += used;
  *size -= used;
  return field;
}
