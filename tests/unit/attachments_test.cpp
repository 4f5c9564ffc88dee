// The bookkeeping of -a that the console does not show: a multipart message without
// any attachment when -a names nothing.
#include "app/attachments.h"

#include <gtest/gtest.h>

#include <string>

#include "app/run_state.h"

namespace {

TEST(Attachments, OptionNamingNothingStillMakesTheMessageMultipart) {
  for (const char* value : {"", ",", ",,,"}) {
    g_run = RunState();
    prepare_attachments(value);
    EXPECT_TRUE(g_run.attachments_present) << "value [" << value << "]";
    EXPECT_EQ(g_run.attachment_count, 0);
    EXPECT_TRUE(g_run.attachment_paths.empty());
    EXPECT_TRUE(g_run.work_file_list.empty());
    EXPECT_TRUE(g_run.attachment_name_list.empty());
    EXPECT_FALSE(g_run.work_dir.empty());
  }
}

}  // namespace
