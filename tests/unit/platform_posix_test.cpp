// The POSIX platform layer: work-file creation, environment lookups and the tick count.
#include "platform/platform.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

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

}  // namespace
