// The command line: any arguments (fields of the input ended by 0x00; those naming files,
// -F and -a, stand as -u), then the recipient and sender splits of what was accepted.
// Properties: a run ends only with a code of the option checks or the -? ending; nothing
// accepted holds a line break (it would add lines to the SMTP dialogue); the limits hold;
// the recipient list comes back from its split, and no address holds a comma; the sender
// split keeps the address as typed.
#include <cstdint>
#include <string>
#include <vector>

#include "app/errors.h"
#include "app/options.h"
#include "app/run_state.h"
#include "transfer/smtp_dialogue.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

bool has_line_break(const std::string& text) { return text.find_first_of("\r\n") != std::string::npos; }

void check_recipients(const std::string& list) {
  std::size_t at = 0;
  for (const Recipient& r : split_recipients(list)) {
    const char* prefix = r.kind == Recipient::kBcc ? "BCC:" : r.kind == Recipient::kCc ? "CC:" : "";
    const std::string element = prefix + r.address;
    FUZZ_CHECK(!element.empty() && list.compare(at, element.size(), element) == 0, list);
    FUZZ_CHECK(r.address.find(',') == std::string::npos, list);
    if (r.kind == Recipient::kTo) {
      FUZZ_CHECK(r.address.compare(0, 3, "CC:") != 0 && r.address.compare(0, 4, "BCC:") != 0, list);
    }
    at += element.size();
    FUZZ_CHECK(r.followed_by_comma == (at < list.size() && list[at] == ','), list);
    if (r.followed_by_comma) ++at;
  }
  // The walk stops at the end or at an empty element only.
  FUZZ_CHECK(at == list.size() || list[at] == ',', list);
}

void check_sender(const std::string& sender) {
  const SenderParts parts = split_sender(sender);
  if (!parts.bracketed) {
    FUZZ_CHECK(parts.address == sender && parts.display_name.empty(), sender);
    return;
  }
  FUZZ_CHECK(!parts.address.empty() && parts.address[0] == '<' &&
                 parts.address.find('>') != std::string::npos,
             sender);
  FUZZ_CHECK(sender.size() >= parts.address.size() &&
                 sender.compare(sender.size() - parts.address.size(), parts.address.size(),
                                parts.address) == 0,
             sender);
  FUZZ_CHECK(sender.compare(0, parts.display_name.size(), parts.display_name) == 0, sender);
  FUZZ_CHECK(parts.display_name.empty() || parts.display_name.back() != ' ', sender);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static bool once = (catch_run_endings(), true);
  (void)once;
  if (size > 4096) return 0;
  std::vector<std::string> arguments = {"vorna"};
  while (size > 0 && arguments.size() < 16) {
    std::string argument = take_field(&data, &size);
    if (argument.compare(0, 2, "-F") == 0 || argument.compare(0, 2, "-a") == 0) argument = "-u";
    arguments.push_back(argument);
  }
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(nullptr);

  g_run = RunState();
  last_reply_code = 0;
  begin_console_capture();
  const int status = run_status([&] { read_options(static_cast<int>(arguments.size()), argv.data()); });
  end_console_capture();
  FUZZ_CHECK(status == -1 || status == kOk || status == kErrNoRecipient || status == kErrOption ||
                 status == kErrTooLong || status == kErrNoServer,
             "status " + std::to_string(status));
  if (status != -1) return 0;

  FUZZ_CHECK(!has_line_break(g_run.mail_server) && !has_line_break(g_run.sender) &&
                 !has_line_break(g_run.subject) && !has_line_break(g_run.recipient_list),
             g_run.mail_server + " | " + g_run.sender + " | " + g_run.subject + " | " +
                 g_run.recipient_list);
  FUZZ_CHECK(g_run.subject.size() <= 256 && g_run.body_text.size() <= 1024, g_run.subject);
  check_recipients(g_run.recipient_list);
  check_sender(g_run.sender);
  return 0;
}
