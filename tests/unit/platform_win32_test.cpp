// The Windows platform layer: work files, the profile functions with relative paths, the
// environment, the time zone, sockets that fail without hanging, and thread time limits.
#include "platform/platform.h"
#include "platform/platform_win32.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace {

std::string temp_dir() {
  std::string dir = ::testing::TempDir();
  if (!dir.empty() && dir.back() != '\\' && dir.back() != '/') dir += '\\';
  return dir;
}

std::string temp_name(const char* stem) {
  return temp_dir() + stem + std::to_string(platform::process_id());
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

TEST(PlatformWin32, WorkFileIsNewAndBinary) {
  std::string path = temp_name("vorna_excl_");
  std::remove(path.c_str());
  std::FILE* file = platform::create_exclusive(path);
  ASSERT_NE(file, nullptr);
  std::fputs("a\nb\r\n", file);
  EXPECT_EQ(platform::create_exclusive(path), nullptr) << "an open work file must not be reused";
  std::fflush(file);
  EXPECT_EQ(platform::file_size(file), 5) << "LF must not become CR LF in a work file";
  std::fclose(file);
  EXPECT_EQ(read_file(path), "a\nb\r\n");
  EXPECT_EQ(platform::create_exclusive(path), nullptr) << "an existing file must not be reused";
  std::remove(path.c_str());
  EXPECT_EQ(platform::create_exclusive(temp_dir()), nullptr) << "a directory is taken too";
}

TEST(PlatformWin32, FileBeingReadCanBeDeleted) {
  // The end of a failed run removes the work file that was being sent.
  std::string path = temp_name("vorna_read_");
  std::remove(path.c_str());
  std::FILE* work = platform::create_exclusive(path);
  ASSERT_NE(work, nullptr);
  std::fputs("Base64", work);
  std::fclose(work);
  std::FILE* file = platform::open_for_reading(path);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(std::remove(path.c_str()), 0) << "an open work file must not block the clean-up";
  char buffer[8] = {};
  EXPECT_EQ(std::fread(buffer, 1, sizeof buffer, file), 6u);
  std::fclose(file);
  EXPECT_EQ(platform::open_for_reading(path), nullptr) << "the file is gone once closed";
}

TEST(PlatformWin32, ProfileFunctionsUseTheFileMeant) {
  // A relative name must mean the current directory, not the Windows directory.
  std::string dir;
  ASSERT_TRUE(platform::current_dir(&dir));
  std::string name = "vorna_profile_" + std::to_string(platform::process_id()) + ".ini";
  std::string in_cwd = dir + "\\" + name;
  std::remove(in_cwd.c_str());
  ASSERT_TRUE(platform::profile_write_string("SMTP", "SMTP_USER", "\x83\x65\x83\x58\x83\x67", name));
  ASSERT_TRUE(platform::profile_write_string("SMTP", "SMTP_AUTH", "-1", name));
  ASSERT_TRUE(platform::profile_write_string("POP3", "POP3_PORT", "65646", name));
  EXPECT_NE(read_file(in_cwd).find("SMTP_USER="), std::string::npos) << "written elsewhere";

  // Shift_JIS comes back byte for byte; names are matched without regard to case.
  EXPECT_EQ(platform::profile_get_string("smtp", "smtp_user", "dummy", 255, in_cwd),
            "\x83\x65\x83\x58\x83\x67");
  EXPECT_EQ(platform::profile_get_string("SMTP", "SMTP_USER", "dummy", 3, name), "\x83\x65");
  EXPECT_EQ(platform::profile_get_string("SMTP", "SMTP_PASS", "24682468", 511, name), "24682468");
  EXPECT_EQ(platform::profile_get_string("SMTP", "SMTP_PASS", "24682468", 0, name), "");
  EXPECT_EQ(platform::profile_get_int("SMTP", "SMTP_AUTH", 0, name), -1);
  EXPECT_EQ(platform::profile_get_int("POP3", "POP3_PORT", 110, name), 65646);
  EXPECT_EQ(platform::profile_get_int("POP3", "POP3_TIME_OUT", 10, name), 10);
  EXPECT_EQ(platform::profile_get_int("POP3", "POP3_USE", 0, name + ".missing"), 0);
  std::remove(in_cwd.c_str());
}

TEST(PlatformWin32, EnvironmentNamesIgnoreCase) {
  ASSERT_EQ(_putenv("WinDir_Vorna=C:\\Windows"), 0);
  std::string value;
  EXPECT_TRUE(platform::get_env_nocase("windir_vorna", &value));
  EXPECT_EQ(value, "C:\\Windows");
  ASSERT_EQ(_putenv("WinDir_Vorna="), 0);  // removes it
  EXPECT_FALSE(platform::get_env_nocase("windir_vorna", &value));
  EXPECT_FALSE(platform::get_env("VORNA_SURELY_NOT_SET", &value));
}

TEST(PlatformWin32, ExecutablePathIsTheRunningProgram) {
  std::string path;
  ASSERT_TRUE(platform::executable_path(&path));
  ASSERT_GT(path.size(), 3u);
  EXPECT_EQ(path[1], ':') << path;
  EXPECT_EQ(path[2], '\\') << path;
  const std::string tail = "vorna_unit_tests.exe";
  ASSERT_GE(path.size(), tail.size());
  EXPECT_EQ(lower(path.substr(path.size() - tail.size())), tail) << path;
  EXPECT_EQ(platform::path_separator(), '\\');

  // Both ways of finding it work wherever their libraries exist; the process list of an
  // NT system names the file alone.
  std::string nt_path;
  ASSERT_TRUE(platform::win32::executable_path_nt(&nt_path));
  EXPECT_EQ(nt_path, path);
  std::string listed;
  ASSERT_TRUE(platform::win32::executable_path_95(&listed));
  ASSERT_GE(listed.size(), tail.size());
  EXPECT_EQ(lower(listed.substr(listed.size() - tail.size())), tail) << listed;
}

TEST(PlatformWin32, TimeZoneComesFromTz) {
  ASSERT_EQ(_putenv("TZ=JST-9"), 0);
  EXPECT_EQ(platform::timezone_seconds_west(), -9 * 3600);
  EXPECT_EQ(platform::local_time(0).tm_hour, 9);
  ASSERT_EQ(_putenv("TZ=EST5"), 0);
  EXPECT_EQ(platform::timezone_seconds_west(), 5 * 3600);
  EXPECT_EQ(platform::local_time(0).tm_hour, 19);
  ASSERT_EQ(_putenv("TZ="), 0);
}

TEST(PlatformWin32, SocketFailuresEndWithoutHanging) {
  ASSERT_TRUE(platform::net_startup());
  uint32_t address = 0;
  ASSERT_TRUE(platform::parse_ipv4("127.0.0.1", &address));
  EXPECT_FALSE(platform::parse_ipv4("255.255.255.255", &address));
  EXPECT_FALSE(platform::parse_ipv4("mail.example.test", &address));
  std::string host;
  EXPECT_TRUE(platform::local_host_name(&host));
  EXPECT_FALSE(host.empty());

  platform::NetAddress loopback;
  ASSERT_TRUE(platform::parse_address("127.0.0.1", &loopback));
  platform::Socket socket = platform::kInvalidSocket;
  std::size_t winner = 99;
  uint32_t start = platform::tick_count();
  EXPECT_EQ(platform::connect_any({loopback, loopback}, 1, 250, 5000, &socket, &winner),
            platform::ConnectStatus::kFailed)
      << "port 1 refuses";
  EXPECT_LT(platform::tick_count() - start, 4500u);
  EXPECT_EQ(socket, platform::kInvalidSocket);
  EXPECT_EQ(winner, 99u);
  platform::net_cleanup();
}

int quick_worker(void* argument) {
  *static_cast<int*>(argument) = 7;
  return 3;
}

int stuck_worker(void*) {
  for (;;) platform::sleep_ms(50);
}

TEST(PlatformWin32, ThreadsEndOrAreStoppedAtTheLimit) {
  int seen = 0;
  platform::Thread* quick = platform::start_thread(quick_worker, &seen);
  ASSERT_NE(quick, nullptr);
  EXPECT_TRUE(platform::wait_thread(quick, 5000));
  EXPECT_EQ(seen, 7);
  platform::close_thread(quick);

  platform::Thread* stuck = platform::start_thread(stuck_worker, nullptr);
  ASSERT_NE(stuck, nullptr);
  uint32_t start = platform::tick_count();
  EXPECT_FALSE(platform::wait_thread(stuck, 200));
  EXPECT_GE(platform::tick_count() - start, 150u);
  platform::terminate_thread(stuck, 19);
  EXPECT_TRUE(platform::wait_thread(stuck, 2000)) << "a terminated thread has ended";
  platform::close_thread(stuck);
}

}  // namespace
