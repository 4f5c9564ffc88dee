// The process-wide record of one run: what the command line asked for, the output modes,
// and the bookkeeping of the attachments' work files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The version text shown in the banners, the menus and the X-Mailer field.
constexpr const char* kVersion = "3.14";
constexpr const char* kProgramTitle = "VORNA";

struct RunState {
  std::string program_name;  // first element of the command line

  // Values of the options.
  std::string mail_server;     // -h
  std::string subject;         // -s, at most 256 bytes
  std::string sender;          // -f
  std::string body_file;       // -F, the path the file is opened by (as it was given)
  std::string body_file_shown; // -F as shown: in code page 932 like every console text
  std::string body_text;       // -T, at most 1024 bytes
  bool body_text_given = false;
  int32_t priority = 0;        // -p
  std::string user_value;      // -u, accepted and used nowhere
  bool recipient_given = false;
  std::string recipient_list;  // the first non-option argument

  // Output modes and flags.
  bool debug_mode = false;      // -d
  bool info_mode = false;       // -i
  bool silent_mode = false;     // -S
  bool tz_adjust = false;       // -t, only when "TZ" exists
  std::string tz_value;         // the value of "TZ" when -t took effect
  bool help_requested = false;  // -? and the settings menu

  // Attachments (-a) and their work files.
  std::string attachment_list;               // the paths as typed
  std::vector<std::string> attachment_paths; // one entry per attachment, in order, as given
  std::vector<std::string> attachment_paths_shown;  // the same in code page 932
  int32_t attachment_count = 0;
  bool attachments_present = false;  // the message is multipart; work files to delete
  std::string work_dir;
  // The work files and the attachments' display names, in step: the i-th work file holds
  // the attachment shown under the i-th name. Kept as lists rather than comma-joined
  // texts so that a comma in a directory or file name cannot shift them apart.
  std::vector<std::string> work_file_list;
  std::vector<std::string> attachment_name_list;
  std::string boundary;
  uint32_t start_tick = 0;
};

extern RunState g_run;
