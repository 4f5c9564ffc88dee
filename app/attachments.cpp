// Attachment preparation. When -a is read, every path it names is checked at once and
// Base64-encoded into a work file of its own in the work directory; the SMTP dialogue
// later copies each work file unchanged into its MIME part. The work files are removed
// at the end of the run, successful or not.
#include "app/attachments.h"

#include <cstdio>
#include <string>
#include <vector>

#include "app/errors.h"
#include "app/options.h"
#include "app/run_state.h"
#include "codec/base64.h"
#include "codec/jis_convert.h"
#include "platform/platform.h"

namespace {

// The directory for work files: "TMP", then "TEMP", then the system's own temporary
// directory variable, then the current directory.
std::string choose_work_dir() {
  std::string dir;
  if (platform::get_env("TMP", &dir)) return dir;
  if (platform::get_env("TEMP", &dir)) return dir;
  if (platform::system_temp_dir(&dir)) return dir;
  if (platform::current_dir(&dir)) return dir;
  return ".";
}

// "<work_dir><sep>~S<TICK><PID>-<i>.tmp", the tick and process id in uppercase hex.
std::string work_file_name(uint32_t process, int position) {
  char tail[64];
  std::snprintf(tail, sizeof tail, "~S%lX%lX-%d.tmp", static_cast<unsigned long>(g_run.start_tick),
                static_cast<unsigned long>(process), position);
  return g_run.work_dir + platform::path_separator() + tail;
}

// The name the attachment is shown under in its part: the text after the last separator.
std::string display_name(const std::string& path) {
  std::string::size_type cut = path.rfind(platform::path_separator());
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

// The display name goes into quoted header parameters; a CR, LF or double quote in it
// would end them early.
bool usable_display_name(const std::string& name) {
  return name.find_first_of("\r\n\"") == std::string::npos;
}

void forget_work_files() {
  delete_work_files();
  g_run.attachment_name_list.clear();
}

// A failure while the work files are being written: those written so far go too.
[[noreturn]] void abandon_preparation(int code) {
  forget_work_files();
  error_exit(code);
}

}  // namespace

namespace {

// The comma-separated pieces of a list that are not empty (leading, trailing or doubled
// commas name nothing).
std::vector<std::string> split_paths(const std::string& text) {
  std::vector<std::string> paths;
  std::string::size_type start = 0;
  while (start <= text.size()) {
    std::string::size_type comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    if (comma > start) paths.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return paths;
}

}  // namespace

void prepare_attachments(const std::string& text) { prepare_attachments(text, text); }

void prepare_attachments(const std::string& text, const std::string& shown) {
  // A repeated -a replaces the earlier one; its work files would otherwise stay behind.
  forget_work_files();
  g_run.attachments_present = false;

  g_run.attachment_list = shown;
  g_run.attachment_paths.clear();
  g_run.attachment_paths_shown.clear();
  g_run.attachment_count = 0;

  const uint32_t process = platform::process_id();
  g_run.start_tick = platform::tick_count();
  char boundary[96];
  std::snprintf(boundary, sizeof boundary, "------_7356%ldQWEORfsdEYfi_MULTIPART_MIXED_",
                static_cast<long>(static_cast<int32_t>(g_run.start_tick)));
  g_run.boundary = boundary;
  g_run.work_dir = choose_work_dir();

  // Every path is checked before any work file is made. A converted list has its commas
  // where the given one has them; should the two ever disagree, the given one is shown.
  const std::vector<std::string> paths = split_paths(text);
  std::vector<std::string> shown_paths = split_paths(shown);
  if (shown_paths.size() != paths.size()) shown_paths = paths;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (!file_is_readable(paths[i]) || !usable_display_name(display_name(shown_paths[i])) ||
        !usable_display_name(display_name(paths[i]))) {
      error_exit(kErrAttachmentMissing);
    }
    g_run.attachment_paths.push_back(paths[i]);
    g_run.attachment_paths_shown.push_back(shown_paths[i]);
  }
  g_run.attachment_count = static_cast<int32_t>(g_run.attachment_paths.size());

  for (int i = 0; i < g_run.attachment_count; ++i) {
    const std::string& path = g_run.attachment_paths[i];
    const std::string name = work_file_name(process, i);
    // Made fresh and for the owner only: a file or link already bearing the name is
    // never appended to or written through.
    std::FILE* work_file = platform::create_work_file(name);
    if (work_file == nullptr) abandon_preparation(kErrWorkFile);
    g_run.work_file_list.push_back(name);

    std::string name_shown = display_name(g_run.attachment_paths_shown[i]);
    encode_header_word(name_shown);
    g_run.attachment_name_list.push_back(name_shown);

    if (base64_stream_file(expand_tilde(path), work_file) != 0) {
      std::fclose(work_file);
      abandon_preparation(kErrEncode);
    }
    // A work file cut short (a full disk) would send a damaged attachment as if whole.
    const bool write_failed = std::ferror(work_file) != 0;
    if (std::fclose(work_file) != 0 || write_failed) abandon_preparation(kErrWorkFile);
  }
  g_run.attachments_present = true;
}

void delete_work_files() {
  // Through the platform: a work directory too deep for the C runtime's remove is no
  // reason to leave an attachment's copy behind.
  for (const std::string& name : g_run.work_file_list) platform::remove_file(name);
  // Only now: an interruption while they were being removed removes the rest.
  platform::forget_work_files();
  g_run.work_file_list.clear();
}
