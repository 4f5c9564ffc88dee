// The command-line reader. Options are "-" and one case-sensitive letter with the value
// written directly after it; the first argument that is not an option is the recipient
// list. Every option takes effect the moment it is read, so a mode such as -S governs
// only what follows it.
#include "app/options.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "app/attachments.h"
#include "app/console.h"
#include "app/errors.h"
#include "app/information.h"
#include "app/run_state.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t kSubjectLimit = 256;
constexpr std::size_t kBodyTextLimit = 1024;
constexpr std::size_t kPriorityLimit = 2;

// A value that ends up in a header line or a protocol command must stay on one line: a
// CR or LF in it would let the command line add header fields or SMTP commands.
bool has_line_break(const std::string& text) {
  return text.find_first_of("\r\n") != std::string::npos;
}

// The usage text, then error 17.
[[noreturn]] void option_error() {
  show_usage();
  error_exit(kErrOption);
}

// A value in the header or on the wire: refused when it would break the line.
const std::string& single_line_value(const std::string& value) {
  if (has_line_break(value)) option_error();
  return value;
}

void check_limit(const std::string& value, std::size_t limit) {
  if (value.size() > limit) error_exit(kErrTooLong);
}

// -?: the usage text (unless silent), and the run ends at once with status 0.
[[noreturn]] void show_help_and_end() {
  g_run.help_requested = true;
  show_usage();
  // Work files of an earlier -a would otherwise outlive the run.
  if (g_run.attachments_present) delete_work_files();
  end_process(kOk);
}

// The arguments' characters that had no code page 932 form, told in debug mode.
struct Replacement {
  std::size_t count;
  std::string what;
};
std::vector<Replacement> g_replacements;

// What a replacement line names: the option, or the recipient list.
std::string text_name(const std::string& argument) {
  if (argument.empty() || argument[0] != '-') return "the recipient list";
  return argument.substr(0, argument.size() > 1 ? 2 : 1);
}

// `argument` is the element in code page 932; `given` is the element as it came, whose
// bytes name the files of -F and -a.
void read_option(const std::string& argument, const std::string& given) {
  const char letter = argument.size() > 1 ? argument[1] : '\0';
  const std::string value = argument.size() > 2 ? argument.substr(2) : std::string();
  switch (letter) {
    case 'h':
      g_run.mail_server = single_line_value(value);
      break;
    case 's':
      check_limit(value, kSubjectLimit);
      g_run.subject = single_line_value(value);
      break;
    case 'f':
      g_run.sender = single_line_value(value);
      break;
    case 'F':
      g_run.body_file = given.size() > 2 ? given.substr(2) : std::string();
      g_run.body_file_shown = value;
      if (!g_run.body_file.empty() && !file_is_readable(g_run.body_file)) error_exit(kErrBodyFile);
      break;
    case 'T':
      check_limit(value, kBodyTextLimit);
      g_run.body_text = value;
      g_run.body_text_given = true;
      break;
    case 'a':
      prepare_attachments(given.size() > 2 ? given.substr(2) : std::string(), value);
      break;
    case 'p':
      check_limit(value, kPriorityLimit);
      g_run.priority = parse_priority(value);
      break;
    case 'i':
      g_run.info_mode = true;
      break;
    case 'd':
      g_run.debug_mode = true;
      break;
    case 'S':
      g_run.silent_mode = true;
      break;
    case 't': {
      std::string tz;
      if (platform::get_env("TZ", &tz)) {
        g_run.tz_adjust = true;
        g_run.tz_value = tz;
      }
      break;
    }
    case '?':
      show_help_and_end();
    case 'u':
      g_run.user_value = value;
      break;
    default:
      // Any other letter, none at all, or the first byte of a double-byte character.
      option_error();
  }
}

}  // namespace

void read_options(int argc, char** argv) {
  int plain_arguments = 0;
  g_replacements.clear();
  for (int i = 1; i < argc; ++i) {
    const std::string given = argv[i];
    // A terminal's UTF-8 becomes code page 932 before the element is read, so that limits
    // count the bytes that are sent and a Japanese subject converts as typed in Shift_JIS.
    std::size_t replaced = 0;
    const std::string argument = terminal_text_to_cp932(given, &replaced);
    if (replaced > 0) g_replacements.push_back({replaced, text_name(argument)});
    if (argument.empty() || argument[0] != '-') {
      if (plain_arguments > 0) option_error();
      copy_recipient_list(argument);
      ++plain_arguments;
    } else {
      read_option(argument, given);
    }
  }
  if (g_run.debug_mode) {
    for (const Replacement& r : g_replacements) console_report_replaced(r.count, r.what.c_str());
  }
}

void copy_recipient_list(const std::string& argument) {
  // The whole list is checked here, before anything is sent, so that no element can
  // smuggle a second command into RCPT TO or a header line.
  if (argument.empty() || has_line_break(argument)) error_exit(kErrNoRecipient);
  g_run.recipient_list = argument;
  g_run.recipient_given = true;
}

std::string expand_tilde(const std::string& path) {
  if (!path.empty() && path[0] == '~') return g_run.work_dir + path.substr(1);
  return path;
}

int32_t parse_priority(const std::string& value) {
  std::size_t i = 0;
  while (i < value.size() && std::strchr(" \t\n\v\f\r", value[i]) != nullptr) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
    negative = value[i] == '-';
    ++i;
  }
  int64_t number = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    number = number * 10 + (value[i] - '0');
    if (number > INT32_MAX) break;  // only reachable for long values; -p allows two
  }
  return static_cast<int32_t>(negative ? -number : number);
}

bool file_is_readable(const std::string& path) {
  // Only a regular file counts: a directory, a FIFO or a device is refused at once,
  // without waiting on it and without reading from it.
  std::FILE* file = platform::open_for_reading(path);
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}
