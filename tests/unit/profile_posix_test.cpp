// The POSIX profile (INI) reader and writer: name matching, blanks, line ends, cut
// values, integers, and a writer that changes one line and keeps the rest byte for byte.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "test_files.h"

namespace {

class Profile : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = scratch_path("profile", ".ini");
    std::remove(path_.c_str());
  }
  void TearDown() override { std::remove(path_.c_str()); }

  void put(const std::string& content) { write_file(path_, content); }
  std::string get() { return read_file(path_); }
  std::string text(const char* section, const char* key, std::size_t size = 255) {
    return platform::profile_get_string(section, key, "DEF", size, path_);
  }
  int number(const char* section, const char* key) {
    return platform::profile_get_int(section, key, -77, path_);
  }
  mode_t mode() {
    struct stat info {};
    stat(path_.c_str(), &info);
    return info.st_mode & 07777;
  }

  std::string path_;
};

TEST_F(Profile, ReadsNamesWithoutCaseAndValuesWithoutBlanks) {
  put("top=outside\r\n"
      "[POP3]\r\n"
      "garbage line without equals\r\n"
      "  pop3_server  =   mail.example.test  \r\n"
      "POP3_USER=\r\n"
      "\tPOP3_PASS\t=\tA1 B2\t\r\n"
      "POP3_SERVER=second.example.test\r\n"
      "[  smtp  ]\n"
      "SMTP_USER=user@example.test\n"
      "[POP3]\n"
      "POP3_PORT=999\n"
      "[OTHER]\n"
      "SMTP_PORT=2525\n"
      "[QUOTED]\n"
      "DOUBLE=\" a \"\n"
      "SINGLE='b'\n"
      "EMPTY=\"\"\n"
      "UNPAIRED=\"c'\n"
      "LONE=\"\n"
      "[BROKEN\n"
      "AFTER=x\v");
  struct {
    const char* section;
    const char* key;
    std::string want;
  } cases[] = {
      {"pop3", "POP3_SERVER", "mail.example.test"},  // first key wins, blanks gone
      {"POP3", "pop3_user", ""},                     // present but empty: not the default
      {"POP3", "POP3_PASS", "A1 B2"},                // inner blank kept
      {"SMTP", "SMTP_USER", "user@example.test"},    // blanks inside the brackets
      {"POP3", "top", "DEF"},                        // keys before any section belong to none
      {"POP3", "garbage line without equals", "DEF"},
      {"POP3", "POP3_PORT", "DEF"},    // only the first POP3 section counts
      {"SMTP", "SMTP_PORT", "DEF"},    // a key of another section
      {"OTHER", "SMTP_PORT", "2525"},
      // A matching pair of quotes is taken off; the text between keeps its blanks.
      {"QUOTED", "DOUBLE", " a "},
      {"QUOTED", "SINGLE", "b"},
      {"QUOTED", "EMPTY", ""},
      {"QUOTED", "UNPAIRED", "\"c'"},
      {"QUOTED", "LONE", "\""},
      // "[" without "]" opens no section: the key stays in the one before.
      {"BROKEN", "AFTER", "DEF"},
      {"QUOTED", "AFTER", "x"},  // last line without a line end; \v is a blank
      {"NONE", "SMTP_PORT", "DEF"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(text(c.section, c.key), c.want) << c.section << "/" << c.key;
  }
}

TEST_F(Profile, ByteOrderMarkAndNulDoNotHideValues) {
  // A file saved by an editor that marks UTF-8, and a value with a NUL in it.
  const char content[] = "\xEF\xBB\xBF[POP3]\nPOP3_USER=bob\0x\nPOP3_PORT=1\0" "2\n";
  const char changed[] = "\xEF\xBB\xBF[POP3]\nPOP3_USER=eve\nPOP3_PORT=1\0" "2\n";
  put(std::string(content, sizeof content - 1));
  EXPECT_EQ(text("POP3", "POP3_USER"), "bob");
  EXPECT_EQ(number("POP3", "POP3_PORT"), 1);
  ASSERT_TRUE(platform::profile_write_string("POP3", "POP3_USER", "eve", path_));
  EXPECT_EQ(get(), std::string(changed, sizeof changed - 1));
}

TEST_F(Profile, MissingFileGivesDefaultsAndValuesAreCut) {
  EXPECT_EQ(text("POP3", "POP3_SERVER"), "DEF");
  EXPECT_EQ(number("POP3", "POP3_PORT"), -77);
  EXPECT_EQ(text("POP3", "POP3_SERVER", 3), "DE") << "the default is cut too";

  put("[S]\nK=" + std::string(300, 'x') + "\n");
  EXPECT_EQ(text("S", "K"), std::string(254, 'x'));
  EXPECT_EQ(text("S", "K", 511), std::string(300, 'x'));
  EXPECT_EQ(text("S", "K", 1), "");
  EXPECT_EQ(text("S", "K", 0), "");
}

TEST_F(Profile, IntegersAreSignAndLeadingDigits) {
  // An optional sign and leading decimal digits, wrapping modulo 2^32 as the Windows
  // function does; no digits at all (an empty value too) read as 0.
  struct {
    const char* value;
    int want;
  } cases[] = {
      {"25", 25},
      {"+7", 7},
      {"-1", -1},
      {"65646", 65646},
      {"12abc", 12},
      {"abc", 0},
      {"", 0},
      {"\"\"", 0},
      {"\"42\"", 42},
      {"-", 0},
      {"010", 10},
      {"0x10", 0},
      {"-0b101", 0},
      {"  42  ", 42},
      {"2147483647", INT_MAX},
      {"-2147483648", INT_MIN},
      {"2147483648", INT_MIN},  // wraps modulo 2^32
      {"4294967406", 110},
      {"99999999999999999999", 1661992959},
      {"0000000000000000000000000000012", 0},  // only the first 29 characters count
  };
  for (const auto& c : cases) {
    put(std::string("[S]\nN=") + c.value + "\n");
    EXPECT_EQ(number("S", "N"), c.want) << "value \"" << c.value << "\"";
  }
  EXPECT_EQ(number("S", "ABSENT"), -77);
}

TEST_F(Profile, WriterChangesOnlyItsLine) {
  struct {
    const char* name;
    std::string before;
    const char* section;
    const char* key;
    std::string after;
  } cases[] = {
      {"replace keeps other lines and their ends",
       "; note\r\n[POP3]\r\nPOP3_USE = 1\nodd line\r\n\r\n[SMTP]\r\nSMTP_PORT=25\r\n", "pop3",
       "pop3_use", "; note\r\n[POP3]\r\npop3_use=V\nodd line\r\n\r\n[SMTP]\r\nSMTP_PORT=25\r\n"},
      {"add to a section goes after its last line, before blank lines",
       "[POP3]\r\nA=1\r\n\r\n[SMTP]\r\nB=2\r\n", "POP3", "C",
       "[POP3]\r\nA=1\r\nC=V\r\n\r\n[SMTP]\r\nB=2\r\n"},
      {"add a section to an LF file", "[POP3]\nA=1\n", "SMTP", "B", "[POP3]\nA=1\n[SMTP]\nB=V\n"},
      {"a last line without an end is ended first", "[POP3]\r\nA=1", "POP3", "B",
       "[POP3]\r\nA=1\r\nB=V\r\n"},
      {"replacing a last line keeps it unended", "[POP3]\nA=1", "POP3", "A", "[POP3]\nA=V"},
      {"the line end of the file's first line is used", "x\n[S]\r\n", "S", "K", "x\n[S]\r\nK=V\n"},
      {"empty file", "", "S", "K", "[S]\nK=V\n"},
      {"keys of other sections are not touched", "[A]\nK=1\n[B]\n", "B", "K",
       "[A]\nK=1\n[B]\nK=V\n"},
  };
  for (const auto& c : cases) {
    put(c.before);
    EXPECT_TRUE(platform::profile_write_string(c.section, c.key, "V", path_)) << c.name;
    EXPECT_EQ(get(), c.after) << c.name;
  }
}

TEST_F(Profile, WriterLeavesOwnerOnlyFiles) {
  ASSERT_TRUE(platform::profile_write_string("SMTP", "SMTP_PORT", "587", path_));
  EXPECT_EQ(get(), "[SMTP]\nSMTP_PORT=587\n");
  EXPECT_EQ(mode(), 0600u);
  EXPECT_EQ(number("smtp", "smtp_port"), 587);

  // A file that others could read (as an editor or a copy leaves it) holds the enciphered
  // passwords after a save: it becomes owner-only.
  for (mode_t before : {0644u, 0640u, 0666u, 0400u}) {
    ASSERT_EQ(chmod(path_.c_str(), before), 0);
    ASSERT_TRUE(platform::profile_write_string("SMTP", "SMTP_PORT", "25", path_));
    EXPECT_EQ(mode(), 0600u) << "was " << std::oct << before;
  }

  std::filesystem::path file(path_);
  for (const auto& entry : std::filesystem::directory_iterator(file.parent_path())) {
    std::string name = entry.path().filename().string();
    EXPECT_FALSE(name != file.filename().string() && name.rfind(file.filename().string(), 0) == 0)
        << "temporary file left behind: " << name;
  }
}

TEST_F(Profile, WriterRefusesLinksAndLineBreaks) {
  std::string target = path_ + ".target";
  std::remove(target.c_str());
  ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
  EXPECT_FALSE(platform::profile_write_string("S", "K", "V", path_));
  struct stat info {};
  EXPECT_NE(stat(target.c_str(), &info), 0) << "nothing may be created through the link";
  std::remove(path_.c_str());

  put("[S]\nK=1\n");
  EXPECT_FALSE(platform::profile_write_string("S", "K", "2\n[T]\nX=3", path_));
  EXPECT_FALSE(platform::profile_write_string("S", "K\r", "2", path_));
  EXPECT_EQ(get(), "[S]\nK=1\n");
}

TEST_F(Profile, HeldFileIsReadOnceForAllLookups) {
  put("[POP3]\nPOP3_USER=bob\nPOP3_PORT=110\n");
  platform::profile_hold(path_);
  // Changed and then removed under the hold: the lookups still see the file as it was read.
  put("[POP3]\nPOP3_USER=eve\n");
  EXPECT_EQ(text("POP3", "POP3_USER"), "bob");
  std::remove(path_.c_str());
  EXPECT_EQ(text("pop3", "pop3_user"), "bob");
  EXPECT_EQ(number("POP3", "POP3_PORT"), 110);
  EXPECT_EQ(text("POP3", "ABSENT"), "DEF");
  EXPECT_EQ(text("SMTP", "POP3_USER"), "DEF");
  // Another path is read as usual.
  std::string other = path_ + ".other";
  write_file(other, "[S]\nK=7\n");
  EXPECT_EQ(platform::profile_get_int("S", "K", 0, other), 7);
  std::remove(other.c_str());
  platform::profile_release();
  EXPECT_EQ(text("POP3", "POP3_USER"), "DEF") << "after the release the file is read again";

  // A file missing when it is held stays missing for the held lookups.
  platform::profile_hold(path_);
  put("[POP3]\nPOP3_USER=late\n");
  EXPECT_EQ(text("POP3", "POP3_USER"), "DEF");
  // A write ends the hold: what it wrote is what is read.
  ASSERT_TRUE(platform::profile_write_string("POP3", "POP3_PORT", "995", path_));
  EXPECT_EQ(text("POP3", "POP3_USER"), "late");
  EXPECT_EQ(number("POP3", "POP3_PORT"), 995);
  platform::profile_release();
}

TEST_F(Profile, WritingManyKeysAtOnceEqualsWritingThemOneByOne) {
  const std::string before =
      "\xEF\xBB\xBF; kept\r\n[SMTP]\r\nSMTP_PORT=25\r\n\r\n[POP3]\r\nPOP3_USE=1\r\nodd\r\nLAST=x";
  const std::vector<platform::ProfileEntry> entries = {
      {"POP3", "POP3_USE", "0"},    {"POP3", "POP3_SERVER", "pop.example.test"},
      {"SMTP", "SMTP_AUTH", "2"},   {"SMTP", "SMTP_PORT", "587"},
      {"NEW", "A", "1"},            {"new", "B", ""},
      {"POP3", "BAD", "x\r\ny=z"},  // refused, the others still go
  };
  put(before);
  for (const auto& e : entries) platform::profile_write_string(e.section, e.key, e.value.c_str(), path_);
  const std::string one_by_one = get();

  put(before);
  EXPECT_FALSE(platform::profile_write_strings(entries, path_)) << "one entry was refused";
  EXPECT_EQ(get(), one_by_one);
  EXPECT_EQ(one_by_one,
            "\xEF\xBB\xBF; kept\r\n[SMTP]\r\nSMTP_PORT=587\r\nSMTP_AUTH=2\r\n\r\n[POP3]\r\n"
            "POP3_USE=0\r\nodd\r\nLAST=x\r\nPOP3_SERVER=pop.example.test\r\n[NEW]\r\nA=1\r\n"
            "B=\r\n");
  EXPECT_TRUE(platform::profile_write_strings({{"NEW", "A", "2"}}, path_));
}

TEST_F(Profile, OnlyRegularFilesAreRead) {
  // A FIFO with no writer would block an ordinary open for ever; it reads as no file.
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  EXPECT_EQ(text("POP3", "POP3_USER"), "DEF");
  platform::profile_hold(path_);
  EXPECT_EQ(number("POP3", "POP3_PORT"), -77);
  platform::profile_release();
  EXPECT_FALSE(platform::profile_write_string("POP3", "POP3_PORT", "1", path_));
  std::remove(path_.c_str());

  ASSERT_EQ(mkdir(path_.c_str(), 0700), 0);
  EXPECT_EQ(text("POP3", "POP3_USER"), "DEF");
  EXPECT_FALSE(platform::profile_write_string("POP3", "POP3_PORT", "1", path_));
  rmdir(path_.c_str());
}

}  // namespace
