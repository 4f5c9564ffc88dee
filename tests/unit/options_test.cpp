// The option reader's values, the -p number, the "~" expansion and the readability test
// used for -F and -a. The error endings are covered by the black-box tests, which see
// the exact console output.
#include "app/options.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/run_state.h"
#include "test_files.h"

namespace {

void read(std::vector<std::string> arguments) {
  std::vector<char*> argv;
  for (std::string& a : arguments) argv.push_back(&a[0]);
  read_options(static_cast<int>(argv.size()), argv.data());
}

TEST(Options, ValuesTakeEffectInOrderAndLaterOnesReplaceEarlier) {
  g_run = RunState();
  read({"vorna", "-hfirst", "-dxyz", "to@x.test,CC:cc@x.test", "-hsecond", "-s", "-uany", "-p 9",
        "-i", "-T", "-ffrom@x.test"});
  EXPECT_EQ(g_run.mail_server, "second");
  EXPECT_TRUE(g_run.debug_mode) << "letters after -d are ignored";
  EXPECT_EQ(g_run.recipient_list, "to@x.test,CC:cc@x.test");
  EXPECT_TRUE(g_run.recipient_given);
  EXPECT_EQ(g_run.subject, "") << "-s alone gives an empty subject";
  EXPECT_EQ(g_run.user_value, "any");
  EXPECT_EQ(g_run.priority, 9);
  EXPECT_TRUE(g_run.info_mode);
  EXPECT_TRUE(g_run.body_text_given) << "-T alone still counts as given";
  EXPECT_EQ(g_run.body_text, "");
  EXPECT_EQ(g_run.sender, "from@x.test");
  EXPECT_FALSE(g_run.silent_mode);
  EXPECT_FALSE(g_run.attachments_present);
}

TEST(Options, PriorityReadsLikeADecimalNumber) {
  struct Case {
    const char* value;
    int32_t expected;
  };
  const Case cases[] = {{"5", 5},  {"12", 12}, {"-3", -3}, {"+4", 4}, {" 7", 7},
                        {"4x", 4}, {"x", 0},   {"", 0},    {"-", 0},  {"\t1", 1}};
  for (const Case& c : cases) {
    EXPECT_EQ(parse_priority(c.value), c.expected) << "value [" << c.value << "]";
  }
}

TEST(Options, TildeIsReplacedByTheWorkDirectoryWithoutASeparator) {
  g_run = RunState();
  g_run.work_dir = "/w";
  struct Case {
    const char* path;
    const char* expected;
  };
  const Case cases[] = {
      {"~/a.bin", "/w/a.bin"}, {"~a.bin", "/wa.bin"}, {"~", "/w"}, {"a~.bin", "a~.bin"}, {"", ""},
      {"/x/~y", "/x/~y"}};
  for (const Case& c : cases) {
    EXPECT_EQ(expand_tilde(c.path), c.expected) << "path [" << c.path << "]";
  }
}

TEST(Options, ReadableMeansAFileThatOpens) {
  const std::string dir = ::testing::TempDir();
  const std::string empty = scratch_path("options_empty", ".txt");
  write_file(empty, "");
  EXPECT_TRUE(file_is_readable(empty)) << "an empty file is a file";
  EXPECT_FALSE(file_is_readable(dir)) << "a directory is not a file";
  EXPECT_FALSE(file_is_readable(dir + "vorna_options_missing.txt"));
  std::remove(empty.c_str());
}

}  // namespace
