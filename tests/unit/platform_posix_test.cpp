// The POSIX platform layer: work-file creation, environment lookups and the tick count.
#include "platform/platform.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "tests/unit/test_files.h"

namespace {

std::string temp_name(const char* stem) {
  return std::string(::testing::TempDir()) + stem + std::to_string(getpid());
}

TEST(PlatformPosix, CreateExclusiveIsOwnerOnlyAndRefusesTakenNames) {
  std::string path = temp_name("vorna_excl_");
  std::remove(path.c_str());
  std::FILE* file = platform::create_exclusive(path);
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(platform::create_exclusive(path), nullptr) << "an existing file must not be reused";

  std::string link = temp_name("vorna_link_");
  std::string target = temp_name("vorna_target_");
  std::remove(link.c_str());
  std::remove(target.c_str());
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_EQ(platform::create_exclusive(link), nullptr) << "a planted link must not be followed";
  struct stat target_info {};
  EXPECT_NE(stat(target.c_str(), &target_info), 0) << "nothing may be created through the link";
  std::remove(link.c_str());
  std::remove(path.c_str());
}

TEST(PlatformPosix, OpenForReadingTakesRegularFilesOnlyAndNeverWaits) {
  std::string path = temp_name("vorna_open_");
  std::remove(path.c_str());
  EXPECT_EQ(platform::open_for_reading(path), nullptr);

  // A FIFO without a writer, a directory and a device are refused at once.
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  EXPECT_EQ(platform::open_for_reading(path), nullptr);
  std::remove(path.c_str());
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  EXPECT_EQ(platform::open_for_reading(path), nullptr);
  rmdir(path.c_str());
  EXPECT_EQ(platform::open_for_reading("/dev/null"), nullptr);

  // A regular file reads as usual, also through a link, and blocks as a file does.
  std::FILE* out = std::fopen(path.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  std::fputs("abc", out);
  std::fclose(out);
  std::string link = path + ".link";
  std::remove(link.c_str());
  ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
  for (const std::string& name : {path, link}) {
    std::FILE* in = platform::open_for_reading(name);
    ASSERT_NE(in, nullptr) << name;
    char buffer[8] = {};
    EXPECT_EQ(std::fread(buffer, 1, sizeof buffer, in), 3u);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(fcntl(fileno(in), F_GETFL) & O_NONBLOCK, 0);
    std::fclose(in);
  }
  std::remove(link.c_str());
  std::remove(path.c_str());
}

TEST(PlatformPosix, EnvironmentLookupIgnoresCaseOnlyWhenAsked) {
  setenv("WinDir", "/some/windows", 1);
  std::string value;
  EXPECT_TRUE(platform::get_env_nocase("windir", &value));
  EXPECT_EQ(value, "/some/windows");
  EXPECT_FALSE(platform::get_env("windir", &value));
  unsetenv("WinDir");
  EXPECT_FALSE(platform::get_env_nocase("windir", &value));
}

TEST(PlatformPosix, IpAddressParsing) {
  uint32_t address = 0;
  ASSERT_TRUE(platform::parse_ipv4("192.168.10.5", &address));
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&address);
  EXPECT_EQ(bytes[0], 192);
  EXPECT_EQ(bytes[3], 5);
  EXPECT_FALSE(platform::parse_ipv4("255.255.255.255", &address));
  EXPECT_FALSE(platform::parse_ipv4("mail.example.test", &address));
}

TEST(PlatformPosix, SendFileSendsTheRestOfTheFile) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  std::string path = scratch_path("sendfile", ".bin");
  std::string bytes(3 * 1024 * 1024 + 17, '\0');
  std::mt19937 random(3);
  for (char& b : bytes) b = static_cast<char>(random());
  write_file(path, bytes);
  std::FILE* file = platform::open_for_reading(path);
  ASSERT_NE(file, nullptr);
  char skipped[1000];
  ASSERT_EQ(std::fread(skipped, 1, sizeof skipped, file), sizeof skipped);

  std::string received;
  std::thread reader([&] {
    char buffer[65536];
    ssize_t n;
    while ((n = read(pair[1], buffer, sizeof buffer)) > 0) received.append(buffer, n);
  });
  EXPECT_EQ(platform::send_file(pair[0], file, 60000), platform::SendFileStatus::kDone);
  close(pair[0]);
  reader.join();
  close(pair[1]);
  std::fclose(file);
  std::remove(path.c_str());
  EXPECT_TRUE(received == bytes.substr(sizeof skipped)) << received.size() << " bytes came";
}

TEST(PlatformPosix, SendFileToAClosedPeerFailsWithoutSigpipe) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  close(pair[1]);
  std::string path = scratch_path("sendfile", ".bin");
  write_file(path, std::string(200000, 'x'));
  std::FILE* file = platform::open_for_reading(path);
  ASSERT_NE(file, nullptr);
  // The test process still has SIGPIPE's default action: a raised one would end it here.
  EXPECT_EQ(platform::send_file(pair[0], file, 60000), platform::SendFileStatus::kSendFailed);
  close(pair[0]);
  std::fclose(file);
  std::remove(path.c_str());
}

}  // namespace
