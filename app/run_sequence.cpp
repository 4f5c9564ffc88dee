// The order of a run. A start without arguments opens the settings menu; any other start
// reads the command line, checks that there is somewhere to send to, optionally shows
// the information block and logs in to POP3, delivers, and removes its work files. Every
// failure ends the process through error_exit.
#include "app/run_sequence.h"

#include <new>

#include "app/attachments.h"
#include "app/console.h"
#include "app/errors.h"
#include "app/information.h"
#include "app/options.h"
#include "app/run_state.h"
#include "config/settings.h"
#include "config/settings_menu.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "transfer/pop_before_smtp.h"
#include "transfer/smtp_dialogue.h"

namespace {

void run(int argc, char** argv) {
  // Before anything can make a work file or write to the console.
  platform::install_interrupt_handling();
  // Whether the terminal takes UTF-8 is decided here, once, before any other thread runs.
  platform::terminal_is_utf8();
  std::size_t replaced = 0;  // the program's own name is only shown
  g_run.program_name = terminal_text_to_cp932(argc > 0 ? argv[0] : "vorna", &replaced);
  g_run.body_file.clear();
  g_run.body_file_shown.clear();
  g_run.attachment_list.clear();
  g_run.tz_adjust = false;

  // The settings are loaded before any argument is looked at, so that the menu shows the
  // stored values and a delivery uses them.
  locate_settings_file();
  load_settings();

  if (argc <= 1) settings_menu();

  read_options(argc, argv);
  if (!g_run.recipient_given) error_exit(kErrNoRecipient);
  if (g_run.mail_server.empty()) error_exit(kErrNoServer);
  // A mistyped encryption mode ends the run before the information block claims a plain
  // connection and before anything connects.
  require_valid_encryption_modes();

  if (g_run.info_mode) show_information();
  if (g_settings.pop3_use == 1) {
    int result = pop_before_smtp();
    if (result != 0) error_exit(result);
  }
  send_mail();
  if (g_run.attachments_present) delete_work_files();
}

}  // namespace

int run_program(int argc, char** argv) {
  try {
    run(argc, argv);
  } catch (const std::bad_alloc&) {
    // Work files may be half made when storage runs out while -a is read.
    delete_work_files();
    error_exit(kErrMemory);
  }
  end_process(kOk);
}
