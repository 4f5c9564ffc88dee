// Windows file names of any length and the small files replaced whole: the "\\?\" form
// itself (Wine takes long names without it, so only its text proves it), files at deep
// paths through every function that opens one, the profile functions there, and the
// atomic replacement while another reader holds the old file.
#include "platform/windows_api.h"

#include "platform/platform.h"
#include "platform/platform_win32.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string temp_dir() {
  std::string dir = ::testing::TempDir();
  if (!dir.empty() && dir.back() != '\\' && dir.back() != '/') dir += '\\';
  return dir;
}

std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// A directory some 400 characters deep under the temporary directory (made through the
// "\\?\" form, which only the test itself needs to know of).
std::string deep_dir(const char* stem) {
  std::string path = temp_dir() + stem + std::to_string(platform::process_id());
  for (int level = 0; level < 4; ++level) {
    path += "\\" + std::string(100, static_cast<char>('a' + level));
  }
  return path;
}

// Every directory of path that is missing, made; the test's own use of the "\\?\" form.
bool make_dirs(const std::string& path) {
  std::wstring full = platform::win32::long_path(path);
  for (std::size_t i = 7; i <= full.size(); ++i) {  // after "\\?\C:\"
    if (i < full.size() && full[i] != L'\\') continue;
    if (!CreateDirectoryW(full.substr(0, i).c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
      return false;
    }
  }
  return true;
}

bool remove_tree_wide(const std::wstring& dir) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring inner = dir + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        remove_tree_wide(inner);
      } else {
        DeleteFileW(inner.c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  return RemoveDirectoryW(dir.c_str()) != 0;
}

bool remove_tree(const std::string& path) {
  return remove_tree_wide(platform::win32::long_path(path));
}

TEST(LongPath, IsTheFullPathWithThePrefix) {
  EXPECT_EQ(platform::win32::long_path("C:\\dir\\file.txt"), L"\\\\?\\C:\\dir\\file.txt");
  EXPECT_EQ(platform::win32::long_path("C:/dir/./sub/../file.txt"), L"\\\\?\\C:\\dir\\file.txt")
      << "slashes, \".\" and \"..\" are no longer parsed after the prefix";
  EXPECT_EQ(platform::win32::long_path("\\\\server\\share\\f"), L"\\\\?\\UNC\\server\\share\\f");
  EXPECT_EQ(platform::win32::long_path("\\\\?\\C:\\as\\is"), L"\\\\?\\C:\\as\\is");
  EXPECT_EQ(platform::win32::long_path("\\\\.\\pipe\\x"), L"\\\\.\\pipe\\x");
  EXPECT_EQ(platform::win32::long_path(""), L"");

  std::string cwd;
  ASSERT_TRUE(platform::current_dir(&cwd));
  if (cwd.back() == '\\') cwd.pop_back();
  EXPECT_EQ(platform::win32::long_path("rel\\f"), L"\\\\?\\" + wide(cwd) + L"\\rel\\f");
  // A relative path far beyond MAX_PATH comes out whole, not cut.
  std::string deep;
  for (int i = 0; i < 6; ++i) deep += std::string(100, 'x') + "\\";
  deep += "f";
  EXPECT_EQ(platform::win32::long_path(deep), L"\\\\?\\" + wide(cwd) + L"\\" + wide(deep));
}

TEST(LongPath, FilesAtDeepPathsOpenThroughEveryFunction) {
  const std::string dir = deep_dir("vorna_deep_");
  ASSERT_GT(dir.size(), 400u);
  ASSERT_TRUE(make_dirs(dir));
  const std::string path = dir + "\\vorna.tok";

  std::FILE* created = platform::create_exclusive(path);
  ASSERT_NE(created, nullptr) << "a new file at a deep path";
  std::fputs("first", created);
  std::fclose(created);
  EXPECT_EQ(platform::create_exclusive(path), nullptr) << "an existing file must not be reused";

  std::FILE* opened = platform::open_for_reading(path);
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(platform::file_size(opened), 5);
  std::fclose(opened);

  std::string content;
  ASSERT_TRUE(platform::read_small_file(path, 100, &content));
  EXPECT_EQ(content, "first");
  ASSERT_TRUE(platform::replace_file(path, std::string("second\0binary", 13)));
  ASSERT_TRUE(platform::read_small_file(path, 100, &content));
  EXPECT_EQ(content, std::string("second\0binary", 13));

  // A work file there is removed by the interruption's list as by remove_file.
  EXPECT_TRUE(platform::remove_file(path));
  EXPECT_EQ(platform::open_for_reading(path), nullptr);
  EXPECT_TRUE(platform::remove_file(path)) << "a file that is not there is gone";
  EXPECT_TRUE(remove_tree(dir));
}

TEST(LongPath, ProfileFunctionsReadAndWriteADeepSettingsFile) {
  const std::string dir = deep_dir("vorna_deep_ini_");
  ASSERT_TRUE(make_dirs(dir));
  const std::string path = dir + "\\vorna.ini";
  EXPECT_EQ(platform::profile_get_int("SMTP", "SMTP_PORT", 25, path), 25) << "no file yet";
  ASSERT_TRUE(platform::profile_write_string("SMTP", "SMTP_PORT", "2525", path));
  ASSERT_TRUE(platform::profile_write_string("SMTP", "SMTP_USER", "\x83\x65\x83\x58", path));
  EXPECT_EQ(platform::profile_get_int("smtp", "smtp_port", 25, path), 2525);
  EXPECT_EQ(platform::profile_get_string("SMTP", "SMTP_USER", "", 255, path), "\x83\x65\x83\x58");
  std::string content;
  ASSERT_TRUE(platform::read_small_file(path, 1000, &content)) << "written elsewhere";
  EXPECT_NE(content.find("SMTP_PORT=2525"), std::string::npos) << content;

  // The name handed to the system: short enough for it, and the same file.
  std::string name = platform::win32::profile_file_name(path);
  EXPECT_LT(name.size(), 260u) << name;
  std::string again;
  ASSERT_TRUE(platform::read_small_file(name, 1000, &again));
  EXPECT_EQ(again, content);
  // A short path keeps its full form as before.
  std::string cwd;
  ASSERT_TRUE(platform::current_dir(&cwd));
  if (cwd.back() != '\\') cwd += '\\';
  EXPECT_EQ(platform::win32::profile_file_name("v.ini"), cwd + "v.ini");
  EXPECT_TRUE(remove_tree(dir));
}

TEST(SmallFiles, ReadingStopsAtTheLimit) {
  const std::string path = temp_dir() + "vorna_small_" + std::to_string(platform::process_id());
  ASSERT_TRUE(platform::replace_file(path, "0123456789"));
  std::string content = "untouched";
  EXPECT_FALSE(platform::read_small_file(path, 9, &content));
  EXPECT_EQ(content, "untouched") << "nothing is handed out on failure";
  ASSERT_TRUE(platform::read_small_file(path, 10, &content));
  EXPECT_EQ(content, "0123456789");
  ASSERT_TRUE(platform::replace_file(path, ""));
  ASSERT_TRUE(platform::read_small_file(path, 10, &content));
  EXPECT_EQ(content, "");
  EXPECT_FALSE(platform::read_small_file(temp_dir(), 1000, &content)) << "a directory";
  EXPECT_TRUE(platform::remove_file(path));
  EXPECT_FALSE(platform::read_small_file(path, 10, &content)) << "a missing file";
}

struct HeldFile {
  std::FILE* file;
  uint32_t hold_ms;
};

int release_later(void* argument) {
  auto* held = static_cast<HeldFile*>(argument);
  platform::sleep_ms(held->hold_ms);
  std::fclose(held->file);
  return 0;
}

// The names in dir that begin with stem (a search pattern would match "sub" for "sub.*").
int count_named(const std::string& dir, const std::string& stem) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((platform::win32::long_path(dir) + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  int count = 0;
  const std::wstring prefix = wide(stem);
  do {
    if (std::wstring(found.cFileName).compare(0, prefix.size(), prefix) == 0) ++count;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return count;
}

TEST(SmallFiles, ReplacementWaitsForAReaderAndLeavesNoTemporaryFile) {
  const std::string dir = temp_dir() + "vorna_replace_" + std::to_string(platform::process_id());
  ASSERT_TRUE(make_dirs(dir));
  const std::string path = dir + "\\vorna.tok";
  ASSERT_TRUE(platform::replace_file(path, "old"));

  // A reader (another run) still has the old file open for a moment.
  HeldFile held{platform::open_for_reading(path), 300};
  ASSERT_NE(held.file, nullptr);
  platform::Thread* reader = platform::start_thread(release_later, &held);
  ASSERT_NE(reader, nullptr);
  EXPECT_TRUE(platform::replace_file(path, "new")) << "the rename is tried again";
  EXPECT_TRUE(platform::wait_thread(reader, 5000));
  platform::close_thread(reader);
  std::string content;
  ASSERT_TRUE(platform::read_small_file(path, 10, &content));
  EXPECT_EQ(content, "new");

  // A path that cannot be replaced (a directory stands there) fails, and no temporary
  // file is left behind.
  const std::string blocked = dir + "\\sub";
  ASSERT_TRUE(make_dirs(blocked));
  EXPECT_FALSE(platform::replace_file(blocked, "x"));
  EXPECT_EQ(count_named(dir, "sub."), 0);
  EXPECT_EQ(count_named(dir, "vorna.tok."), 0);
  EXPECT_TRUE(remove_tree(dir));
}

}  // namespace
