// The order of a run. (Placeholder until the front end is built.)
#include "app/run_sequence.h"

#include "app/errors.h"
#include "app/options.h"
#include "app/run_state.h"
#include "config/settings.h"
#include "transfer/smtp_dialogue.h"

int run_program(int argc, char** argv) {
  g_run.program_name = argc > 0 ? argv[0] : "vorna";
  locate_settings_file();
  load_settings();
  read_options(argc, argv);
  send_mail();
  end_process(0);
}
