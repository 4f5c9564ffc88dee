// Small whole files on POSIX systems, and the token file's owner-only mode.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "config/settings.h"
#include "oauth/token_file.h"
#include "platform/platform.h"
#include "test_files.h"

namespace {

TEST(SmallFile, ReadsWholeFilesUpToTheLimitOnly) {
  const std::string path = scratch_path("small", ".bin");
  std::string content = "unchanged";
  EXPECT_FALSE(platform::read_small_file(path, 100, &content));  // missing

  write_file(path, std::string("a\0b\r\n", 5));
  ASSERT_TRUE(platform::read_small_file(path, 5, &content));
  EXPECT_EQ(content, std::string("a\0b\r\n", 5));
  EXPECT_FALSE(platform::read_small_file(path, 4, &content));
  EXPECT_TRUE(content.empty());

  write_file(path, "");
  ASSERT_TRUE(platform::read_small_file(path, 0, &content));
  EXPECT_EQ(content, "");

  EXPECT_TRUE(platform::remove_file(path));
  EXPECT_TRUE(platform::remove_file(path));  // gone already

  // A directory or a FIFO of that name is no file, and reading it does not wait.
  const std::string dir = scratch_path("small_dir", "");
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  EXPECT_FALSE(platform::read_small_file(dir, 100, &content));
  EXPECT_FALSE(platform::remove_file(dir));
  rmdir(dir.c_str());
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  EXPECT_FALSE(platform::read_small_file(path, 100, &content));
  unlink(path.c_str());
}

TEST(SmallFile, ProtectionForTheUserIsTheIdentity) {
  const std::string data("\x00\xff token", 8);
  std::string blob;
  std::string back;
  ASSERT_TRUE(platform::protect_for_user(data, &blob));
  ASSERT_TRUE(platform::unprotect_for_user(blob, &back));
  EXPECT_EQ(back, data);
}

TEST(SmallFile, TokenFileIsOwnerOnlyWhateverTheOldOneWas) {
  g_settings = Settings();
  g_settings.settings_path = scratch_path("tokmode", ".ini");
  const std::string path = token_file_path();
  write_file(path, "old");
  chmod(path.c_str(), 0644);
  StoredTokens tokens;
  tokens.provider = 3;
  tokens.client_id = "c";
  tokens.refresh_token = "r";
  tokens.access_token = "a";
  ASSERT_TRUE(write_token_file(tokens));
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  std::remove(path.c_str());
  g_settings = Settings();
}

}  // namespace
