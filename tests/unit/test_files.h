// Scratch files for the unit tests: a path that belongs to the running test alone, and
// whole-file writes and reads in binary, so that no byte is changed on the way.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"

// "<test directory>vorna_<stem>_<test name>_<process id><suffix>".
inline std::string scratch_path(const std::string& stem, const std::string& suffix) {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return std::string(::testing::TempDir()) + "vorna_" + stem + "_" + info->name() + "_" +
         std::to_string(platform::process_id()) + suffix;
}

// Makes the file hold exactly these bytes.
inline void write_file(const std::string& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr) << path;
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

// The file's bytes, or "<missing>" when it cannot be opened.
inline std::string read_file(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return "<missing>";
  std::string bytes;
  char block[65536];
  std::size_t got;
  while ((got = std::fread(block, 1, sizeof block, file)) > 0) bytes.append(block, got);
  std::fclose(file);
  return bytes;
}
