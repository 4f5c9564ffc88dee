// The command line of a delivery run: options, the recipient list and the sender syntax.
#pragma once

#include <cstdint>
#include <string>

// Reads the arguments after the program name strictly left to right into g_run; each
// option takes effect when it is met. Failures end the run.
void read_options(int argc, char** argv);

// Takes the recipient argument; an empty one (or one holding CR or LF) is error 1.
void copy_recipient_list(const std::string& argument);

// A path beginning with "~" has the tilde replaced by the work directory.
std::string expand_tilde(const std::string& path);

// The -p value read as a decimal number: leading blanks and a sign accepted, reading
// stops at the first non-digit, no digits gives 0.
int32_t parse_priority(const std::string& value);

// True when the file can be opened for reading, by its path exactly as written. A
// directory counts as not readable, as it cannot be opened on Windows.
bool file_is_readable(const std::string& path);
