// POP before SMTP: a time-limited POP3 login (RFC 1939, USER/PASS or APOP) that opens
// the server for relaying.
#pragma once

#include <string>

// Logs in to the POP3 server of the settings on a worker thread, bounded by
// pop3_time_out seconds (the pause after the login included). Returns 0 when the login
// went through, else an error code for error_exit (5, 7, 19 to 22, or 23 and 24 for a
// refused STLS and a failed TLS handshake).
int pop_before_smtp();

// The worker's entry; its result is also left for pop_before_smtp. The argument is
// unused.
int pop_login_thread(void* unused);

// Copies the APOP timestamp of a greeting into *timestamp: from the first "<" at index 4
// or later up to and including the next ">" (to the end of the text when none follows).
// Returns false and leaves *timestamp unchanged when the greeting holds no such "<".
bool extract_apop_timestamp(const std::string& greeting, std::string* timestamp);
