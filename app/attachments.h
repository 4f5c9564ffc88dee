// Attachment preparation: each attachment named by -a is checked and Base64-encoded at
// once into a work file of its own, which the SMTP dialogue later copies into the message.
#pragma once

#include <string>

// Runs when -a is met, with the text after the two option characters. Fills the
// attachment fields of g_run and writes the work files; failures end the run. The files
// are opened by the paths in `text` as given; `shown` is the same list in code page 932
// (it differs when the terminal's UTF-8 was converted), from which the display names and
// the listed paths come. Without `shown` the paths are shown as given.
void prepare_attachments(const std::string& text);
void prepare_attachments(const std::string& text, const std::string& shown);

// Removes every work file listed in g_run, ignoring failures.
void delete_work_files();
