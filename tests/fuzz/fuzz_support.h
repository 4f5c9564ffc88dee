// Shared by the fuzz targets: catching the end of a run, capturing the console, scratch
// files, and the failure report of a property.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Thrown by the ending hook in place of the end of the process.
struct RunEnded {
  int status;
};

// Installs the ending hook once; a function that would end the run throws RunEnded.
void catch_run_endings();

// Runs f; the status it ended the run with, or -1 when it returned.
template <typename F>
int run_status(F&& f) {
  try {
    f();
  } catch (const RunEnded& ended) {
    return ended.status;
  }
  return -1;
}

// Captures what the program writes to its console between begin and end.
void begin_console_capture();
std::string end_console_capture();

// A path for scratch files of this process, different for each tag.
std::string scratch_path(const char* tag);
void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);

// Reports a broken property with the input's bytes shown, then aborts (libFuzzer saves the
// input as a crash).
[[noreturn]] void property_failed(const char* what, const std::string& detail);
#define FUZZ_CHECK(condition, detail) \
  do {                                \
    if (!(condition)) property_failed(#condition, (detail)); \
  } while (0)

// Bytes shown printable: \xNN for everything outside 0x20-0x7E.
std::string visible(const std::string& bytes);

// Takes the next field of the input: the bytes up to the next 0x00 (consumed) or the end.
std::string take_field(const uint8_t** data, std::size_t* size);
