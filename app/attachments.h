// Attachment preparation: each attachment named by -a is checked and Base64-encoded at
// once into a work file of its own, which the SMTP dialogue later copies into the message.
#pragma once

#include <string>

// Runs when -a is met, with the text after the two option characters. Fills the
// attachment fields of g_run and writes the work files; failures end the run.
void prepare_attachments(const std::string& text);

// Removes every work file listed in g_run, ignoring failures.
void delete_work_files();
