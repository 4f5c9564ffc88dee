// Attachment preparation. (Placeholder until the front end is built.)
#include "app/attachments.h"

void prepare_attachments(const std::string&) {}
void delete_work_files() {}
