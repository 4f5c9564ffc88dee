// POP before SMTP: a time-limited POP3 login (RFC 1939, USER/PASS or APOP) that opens
// the server for relaying.
#pragma once

// Returns 0 when the login went through, else an error code for error_exit.
int pop_before_smtp();
